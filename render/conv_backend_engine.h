#pragma once
// The fused m4b engine behind ka::ConvBackend::create.
#include <memory>

#include "render/conv_backend.h"
#include "render/m4b_model.h"

namespace ka {

// Packs the model's layers and sizes every buffer for its batch; throws the packer's
// refusal when an array is short.
std::unique_ptr<ConvBackend> makeM4bEngine(const OnnxModel& model, const M4bTopology& topo, int threads);

// Wall time spent in each stage over all renders so far, for benchmarks: the motion
// network (through the warp MLP), the basis image, the warp and composition, the
// correction, the tiles. Null when the backend is not this engine.
struct M4bStageTimes {
  static constexpr int kStages = 5;
  static constexpr const char* kNames[kStages] = {"motion", "basis", "warp", "correction", "tiles"};
  double seconds[kStages] = {};
  long renders = 0;
};
const M4bStageTimes* m4bStageTimes(const ConvBackend* backend);

}  // namespace ka
