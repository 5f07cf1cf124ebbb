#pragma once
// ka::tessera::FrameResult: what the teeth pass releases for one frame: the borrowed
// mouth window, or the reason the frame was not borrowed.
#include <cstdint>
#include <string>
#include <vector>

namespace ka::tessera {

struct FrameResult {
  // The window, window_h x window_w x 3 interleaved RGB; empty when skipped.
  std::vector<uint8_t> pixels;
  bool skipped = false;
  // "empty-pi" or "shift-out-of-range" when skipped, else empty.
  std::string reason;
  // Donors blended.
  int32_t n_used = 0;
  // Mean and maximum of the synthesis weight plane over the valid pixels.
  float synth_mean = 0.0f;
  float synth_max = 0.0f;
};

}  // namespace ka::tessera
