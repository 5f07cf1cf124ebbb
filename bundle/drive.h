#pragma once
// ka::Drive: the idle loop's keypoint rows. Row r holds the source keypoints xs, the
// driving keypoints xd (21 x 3 floats each) and the driver frame si it belongs to.
#include <cstdint>
#include <vector>

#include "bundle/manifest.h"

namespace ka {

struct Drive {
  std::vector<float> xs;    // frames x 63
  std::vector<float> xd;    // frames x 63
  std::vector<int32_t> si;  // frames, each in [0, NT)
  int32_t frames = 0;
};

// Reads drive/xs.f32, drive/xd.f32 and drive/si.i32 (or their idle_loop/ names), each
// of exactly the manifest's row count; refuses any si outside [0, NT).
Drive loadDrive(const Manifest& m);

}  // namespace ka
