#include "tessera/stream_borrow.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "compute/pool.h"
#include "base/log.h"
#include "tessera/box.h"

namespace ka::tessera {
namespace {

constexpr uint64_t kPixelGrain = 4096;

// A unit-range value as the byte the pass sees: the same quantisation on the way in
// and when working out what the pass changed on the way back.
inline uint8_t unitToByte(double v) {
  // `!(v > 0)` also sends NaN to 0 rather than into an undefined cast.
  if (!(v > 0.0)) return 0;
  // Half to even without a floor call: x lies in (0, 255], where truncation is floor.
  const double x = std::min(v, 1.0) * 255.0;
  const int i = static_cast<int>(x);
  const double d = x - i;
  return static_cast<uint8_t>(i + ((d > 0.5 || (d == 0.5 && (i & 1))) ? 1 : 0));
}

// The checks both write-backs share: a result the stamp's window does not describe,
// or a window that would land outside a side x side image, is refused.
void checkWindow(int side, const FrameResult& r, const GeometryStamp& s) {
  const int64_t bytes = int64_t(s.window_h) * s.window_w * 3;
  if (s.window_h < 1 || s.window_w < 1 || int64_t(r.pixels.size()) != bytes)
    throw std::runtime_error("teeth stream: window " + std::to_string(r.pixels.size()) +
                             " bytes does not match the stamp window " + std::to_string(s.window_h) + "x" +
                             std::to_string(s.window_w) + " — refusing to write back");
  if (side < s.canvas_w || side < s.canvas_h || s.window_x0 < 0 || s.window_y0 < 0 ||
      int64_t(s.window_x0) + s.window_w > side || int64_t(s.window_y0) + s.window_h > side)
    throw std::runtime_error("teeth stream: a " + std::to_string(side) + "x" + std::to_string(side) +
                             " image cannot hold the stamp's window " + std::to_string(s.window_w) + "x" +
                             std::to_string(s.window_h) + " at (" + std::to_string(s.window_x0) + ", " +
                             std::to_string(s.window_y0) + ") on its " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " canvas — refusing to write outside it");
}

}  // namespace

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& weights, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lip_template)
    : pass_(bank, weights, config), pi_(pi) {
  const GeometryStamp& s = pass_.stamp();
  if (s.canvas_w != s.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " — ka_core renders a square crop");
  if (pi_.canvas != s.canvas_w)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas) +
                             " != bank compose canvas " + std::to_string(s.canvas_w) +
                             " — refusing to compose a mouth on a canvas the stamp does not name");
  n_ = s.canvas_w;
  c_canon_[0] = bank.c_canon[0];
  c_canon_[1] = bank.c_canon[1];
  if (!lip_template.empty()) {
    lip_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lip_template, n_));
    KA_LOG_INFO("[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) — the ellipse is not reachable in "
                "this session\n",
                lip_->nv(), static_cast<double>(lip_->featherPx()));
  } else {
    KA_LOG_WARN("[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the over-covering "
                "elliptical mask the contour replaces. BACKFILL IT: models/orvane-2/tools/bake_lip_templates.py\n",
                "lip_template.v1.json");
  }
  const size_t px = size_t(n_) * size_t(n_);
  frame_.assign(px * 3, 0);
  mask_.assign(px, 0);
}

bool StreamBorrow::push(const float* planes, const float* keypoints, FrameResult* out) {
  const uint64_t px = uint64_t(n_) * uint64_t(n_);
  uint8_t* frame = frame_.data();
  pool::parallelRange(px, kPixelGrain, [&](uint64_t b, uint64_t e) {
    for (uint64_t p = b; p < e; ++p)
      for (uint64_t c = 0; c < 3; ++c) frame[3 * p + c] = unitToByte(planes[c * px + p]);
  });
  return pushSynth(keypoints, out);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult* out) {
  const size_t px = size_t(n_) * size_t(n_);
  for (size_t p = 0; p < px; ++p)
    for (size_t c = 0; c < 3; ++c) frame_[3 * p + c] = rgba[4 * p + c];
  return pushSynth(keypoints, out);
}

bool StreamBorrow::pushSynth(const float* keypoints, FrameResult* out) {
  int dy = 0, dx = 0;
  const bool ok = lip_ ? lip_->deliveredU8AndShift(keypoints, pi_, c_canon_, mask_.data(), &dy, &dx)
                       : pi_.piU8AndShift(keypoints, c_canon_, mask_.data(), &dy, &dx);
  const int shift[2] = {dy, dx};
  // Without a shift the pass takes the centroid of the mask itself, and reports an
  // empty one as "empty-pi".
  const bool released = pass_.push(counter_, frame_.data(), mask_.data(), ok ? shift : nullptr, out);
  ++counter_;
  return released;
}

bool StreamBorrow::flush(FrameResult* out) { return pass_.flush(out); }

void StreamBorrow::writeWindowDelta(float* planes, int side, const FrameResult& r, const GeometryStamp& stamp) {
  if (r.skipped) return;
  checkWindow(side, r, stamp);
  const size_t plane = size_t(side) * size_t(side);
  const uint8_t* px = r.pixels.data();
  for (int i = 0; i < stamp.window_h; ++i) {
    const size_t row = size_t(stamp.window_y0 + i) * size_t(side) + size_t(stamp.window_x0);
    for (int j = 0; j < stamp.window_w; ++j)
      for (int c = 0; c < 3; ++c) {
        float& x = planes[size_t(c) * plane + row + size_t(j)];
        const int delta = int(px[(size_t(i) * size_t(stamp.window_w) + size_t(j)) * 3 + size_t(c)]) - unitToByte(x);
        // Where the pass kept the byte the delta is 0 and x stays bit-identical.
        x = std::clamp(x + static_cast<float>(delta) / 255.0f, 0.0f, 1.0f);
      }
  }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int side, const FrameResult& r, const GeometryStamp& stamp) {
  if (r.skipped) return;
  checkWindow(side, r, stamp);
  const uint8_t* px = r.pixels.data();
  for (int i = 0; i < stamp.window_h; ++i) {
    uint8_t* row = rgba + (size_t(stamp.window_y0 + i) * size_t(side) + size_t(stamp.window_x0)) * 4;
    for (int j = 0; j < stamp.window_w; ++j)
      for (int c = 0; c < 3; ++c) {
        uint8_t& b = row[size_t(j) * 4 + size_t(c)];
        const double x = b / 255.0;
        const int delta = int(px[(size_t(i) * size_t(stamp.window_w) + size_t(j)) * 3 + size_t(c)]) - unitToByte(x);
        const double v = std::clamp(x + delta / 255.0, 0.0, 1.0);
        b = static_cast<uint8_t>(std::clamp(roundHalfEven(v * 255.0), 0.0, 255.0));
      }
  }
}

}  // namespace ka::tessera
