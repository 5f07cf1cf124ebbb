#pragma once
// ka::PasteJob: one frame on its way from the renderer to an output slot, when
// compositing runs on its own thread. The crop buffer is sized once when the job is
// made and reused for every frame the job carries afterwards.
#include <chrono>
#include <cstdint>
#include <vector>

#include "ka/ka.h"

namespace ka {

struct PasteJob {
  std::vector<float> crop;  // 3 x S x S floats, planar
  bool hasCrop = false;     // false: an idle frame, the driver frame as it is
  int kind = 0;
  int driverIndex = 0;
  int speechIndex = -1;
  float kp[kHostKpRows * 3] = {};
  uint64_t generation = 0;
  std::chrono::steady_clock::time_point madeAt{};
};

}  // namespace ka
