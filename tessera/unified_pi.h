#pragma once
// ka::tessera::UnifiedPi: the compose-mask geometry. From one frame's 21 face keypoints
// it computes "pi", the mouth-interior mask on the square render canvas: the larger of
// an inflated lip ellipse and a teeth ellipse gated by how far the lips are apart. The
// teeth pass finds each frame's mouth centroid in it, shifts donor patches onto that
// centroid and limits the replaced pixels to it.
#include <cstdint>
#include <string>
#include <vector>

#include "tessera/box.h"

namespace ka::tessera {

class UnifiedPi {
 public:
  // An ellipse in normalised canvas coordinates (-1 = first pixel centre, +1 = last);
  // `edge` is the rim sharpness sqrt(rx*ry)*256.
  struct EllParams {
    double cx = 0, cy = 0, rx = 0, ry = 0;
    float edge = 0;
  };

  int32_t canvas = 0;
  std::string mode = "prop";
  bool corner_recovery = false;
  float prop_gate_scale = 1.0f;
  std::vector<int32_t> lip_idx;
  float pad_x = 0, pad_y = 0, down = 0;
  std::vector<float> gx, gy;

  // Reads the manifest's "unified" block for an engine composing on `canvas` pixels.
  static UnifiedPi fromManifestJson(const std::string& manifest_text, int canvas);
  // As fromManifestJson, with the lip settings of the corpus geometry whose centroid
  // over the driver's target keypoints lies nearest the bank's canonical centre;
  // refuses when none is within 8 px or the best two are within 3 px of each other.
  // `picked` (may be null) receives the chosen geometry's name.
  static UnifiedPi corpusFromManifestJson(const std::string& manifest_text, int canvas,
                                          const float* xs_target, int n_frames,
                                          const double* c_canon, std::string* picked);

  // Sets N and the per-pixel normalised coordinates.
  void setCanvas(int n);

  EllParams lipParams(const float* kp) const;
  EllParams gateParams(const float* kp, float* gate) const;
  Box ellBox(const EllParams& p) const;
  // Feathered ellipse over the whole N x N canvas (nothing written for N < 1).
  void ellMask(const float* kp, double add_x, double add_y, double min_rx, double min_ry,
               double scale, double dy, float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;
  // Union of the lip and gate ellipses' boxes: pi is zero outside it.
  Box supportBox(const float* kp) const;

  void piU8(const float* kp, uint8_t* out) const;
  void piU8Boxed(const float* kp, uint8_t* out) const;
  void piU8ShrunkBy(const float* kp, const float* limit, const Box& box, uint8_t* out) const;

  bool piU8Centroid(const uint8_t* pi, double* cx, double* cy) const;
  bool piU8Centroid(const uint8_t* pi, const Box& box, double* cx, double* cy) const;
  bool piU8AndShift(const float* kp, const double* canon, uint8_t* out, int* row_shift,
                    int* col_shift) const;
  void canonicalCentroid(const float* kp_frames, int n_frames, double* cx, double* cy) const;

  // One line naming the geometry: mode, lip settings, gate scale, anchors, canvas.
  std::string describe() const;

 private:
  struct LipStats {
    double cx = 0, cy = 0, hx = 0, hy = 0;
    bool empty = true;
  };
  // An ellipse ready for per-pixel evaluation.
  struct Ell {
    double cx = 0, cy = 0, rx = 1, ry = 1, h = 0;
  };
  LipStats stats(const float* kp) const;
  double lipScale(const float* kp, const LipStats& s) const;
  Ell lipEll(const float* kp) const;
  Ell gateEll(const float* kp, double* gate) const;
  static Ell makeEll(const LipStats& s, double add_x, double add_y, double min_rx,
                     double min_ry, double scale, double dy);
  double ellAt(const Ell& e, int i, int j) const;
  // Centroid of pi's upper half (the bits piU8Centroid counts) for one frame, evaluated
  // over the support box only; false when pi is empty there.
  bool piCentroid(const float* kp, double* cx, double* cy) const;
  // pi at one pixel, in [0, 1] before quantisation.
  double piAt(const Ell& lip, const Ell& gate, double g, int i, int j) const;
};

}  // namespace ka::tessera
