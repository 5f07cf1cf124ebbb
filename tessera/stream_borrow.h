#pragma once
// ka::tessera::StreamBorrow: the teeth pass fed by a session's rendered face crops. From
// each frame's keypoints it makes the delivery mask (the lip contour when the bundle
// carries a template, else the compose ellipse) and the mouth shift, pushes the crop
// through the pass, and writes the window the pass releases back into the crop it was
// given one push earlier.
//
// One thread drives a StreamBorrow; the per-pixel conversions use its worker pool.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessera/bank_data.h"
#include "tessera/frame_result.h"
#include "tessera/head_weights.h"
#include "tessera/lip_contour.h"
#include "tessera/serve_config.h"
#include "tessera/teeth_pass.h"
#include "tessera/unified_pi.h"

namespace ka::tessera {

class StreamBorrow {
 public:
  // `lip_template`: the text of the bundle's lip template, or empty. Throws on a
  // non-square canvas, a pi canvas other than the stamp's, and the pass's refusals.
  StreamBorrow(const BankData& bank, const HeadWeights& weights, const ServeConfig& config,
               const UnifiedPi& pi, const std::string& lip_template);

  // A crop as three float planes (R, G, B) of N x N in [0, 1], with its 21 x 3
  // keypoints. True when `out` holds the previous push's result.
  bool push(const float* planes, const float* keypoints, FrameResult* out);
  // A crop as N x N RGBA bytes (alpha ignored).
  bool pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult* out);
  // The canvas frame already in place (see canvasFrame()).
  bool pushSynth(const float* keypoints, FrameResult* out);
  bool flush(FrameResult* out);

  // Writes a result's window back into N x N float planes / an RGBA image of side x
  // side, keeping sub-byte detail wherever the pass returned the input byte. Nothing
  // for a skipped result; throws when the window size or `side` does not fit.
  static void writeWindowDelta(float* planes, int side, const FrameResult& r,
                               const GeometryStamp& stamp);
  static void writeWindowDeltaRgba(uint8_t* rgba, int side, const FrameResult& r,
                                   const GeometryStamp& stamp);

  bool hostSplit(double*) const { return false; }
  const char* backend() const { return "cpu"; }

  int canvas() const { return n_; }
  bool hasLipContour() const { return lip_ != nullptr; }
  uint8_t* canvasFrame() { return frame_.data(); }
  const uint8_t* deliveryMask() const { return mask_.data(); }
  const TeethPass& pass() const { return pass_; }
  const GeometryStamp& stamp() const { return pass_.stamp(); }

 private:
  TeethPass pass_;
  UnifiedPi pi_;
  double c_canon_[2] = {0.0, 0.0};
  int32_t n_ = 0;
  std::unique_ptr<LipContour> lip_;
  std::vector<uint8_t> frame_;  // N x N x 3
  std::vector<uint8_t> mask_;   // N x N
  int32_t counter_ = 0;
};

}  // namespace ka::tessera
