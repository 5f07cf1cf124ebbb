#pragma once
// ka::Paste puts a rendered face crop back into a driver frame: the crop is sharpened
// with an unsharp mask, resampled through the inverse of the frame's paste transform
// (8x8 Lanczos, or a cheaper bicubic / bilinear filter), and blended into the RGB24
// frame under the bilinearly sampled feather mask. Pixels the mask does not cover keep
// the driver's bytes exactly.
//
// One Paste is built per context and serves one composite at a time. Every buffer is
// allocated in the constructor (the per-column tables on first use), so compositing a
// frame allocates nothing. Work inside a call is split over the caller's worker pool.
#include <cstdint>
#include <vector>

#include "bundle/manifest.h"

namespace ka {

class Paste {
 public:
  // Takes the side x side feather mask (0..255). Throws "paste: mask size" when the
  // mask is not side*side bytes, "paste: ksize must be odd" for an even kernel width.
  // Reads KA_PASTE_FAST (0 Lanczos, 1 bicubic, 2 bilinear) and KA_PASTE_KSIZE (a
  // narrower odd kernel width) once, here.
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& u);

  // Blends `crop` (three planes of side*side floats, scaled by `scale`) into `frame`
  // (W x H RGB24, stride 3W) through M = (a, b, c, d, e, f), which maps crop (u, v) to
  // frame (a u + b v + c, d u + e v + f). A singular or non-finite M, or a crop mapped
  // wholly outside the frame, leaves the frame untouched. Throws "paste: side > 1024"
  // for crops wider than 1024 (frame untouched).
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);
  // The same into `frame` from the driver frame `src` (W x H RGB24, not overlapping
  // frame): frame ends up as composite would leave a copy of src, but each row under the
  // crop is copied just before it is blended, while it is still in cache, and the other
  // rows are copied over the pool. On a throw the frame's contents are unspecified.
  void composite(const float* crop, float scale, const float* M, const uint8_t* src, uint8_t* frame, int W,
                 int H);

  // Where M puts the crop: the frame box its filter support covers and the inverse
  // transform's per-row terms (crop u = cu x + ub y + uc, v = cv x + vb y + vc).
  struct Placement {
    int x0, x1, y0, y1;
    double ub, vb, uc, vc;
  };
  // False when M is singular or non-finite, or the crop lands wholly outside the frame;
  // otherwise fills *p and the per-column tables compositeTail reads.
  bool place(const float* M, int W, int H, Placement* p);

  // The stages of composite, exposed for tests and benchmarks: place, sharpen (fillPlanes
  // then unsharpPlane on each plane), compositeTail.
  void sharpen(const float* crop, float scale);
  void fillPlanes(const float* crop, float scale);
  void unsharpPlane(std::vector<float>& plane);
  // With `src`, each frame row is copied from src (stride 3W) before it is blended.
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ub, double vb,
                     double uc, double vc, const uint8_t* src = nullptr);

  int side() const { return side_; }
  int ksize() const { return ksize_; }
  int mode() const { return mode_; }
  const std::vector<float>& gaussian() const { return gaussian_; }
  const std::vector<float>& lanczosTable() const { return lanczos_; }
  const std::vector<float>& cubicTable() const { return cubic_; }
  const std::vector<float>& bilinearTable() const { return bilinear_; }
  const std::vector<float>& plane(int c) const { return planes_[c]; }
  const std::vector<uint8_t>& mask() const { return mask_; }

 private:
  void buildTables(float sigma);
  void unsharpPlanes(const float* src, int n, float scale, float* const* out, bool interleave);
  void compositeRowsFiltered(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ub,
                             double vb, double uc, double vc, const uint8_t* src);

  int side_;
  int ksize_;
  int padded_;
  float amount_;
  int mode_ = 0;
  std::vector<uint8_t> mask_;
  std::vector<float> gaussian_;
  std::vector<float> lanczos_;   // 32 phases x 8 taps
  std::vector<float> lanczosSpread_;  // the same, each weight once per texel float
  std::vector<float> bilinear_;  // 32 phases x 2 taps
  std::vector<float> cubic_;     // 32 phases x 4 taps
  std::vector<float> planes_[3];
  std::vector<float> source_;   // unsharpPlane's copy of its plane
  std::vector<float> blurred_;  // horizontal pass, up to 3 planes of P rows x S
  std::vector<float> interleaved_;
  bool interleavedFresh_ = false;  // interleaved_ holds the planes as they are now
  std::vector<int> fx_, fy_;
};

}  // namespace ka
