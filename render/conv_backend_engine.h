#pragma once
// The fused m4b engine behind ka::ConvBackend::create.
#include <memory>

#include "render/conv_backend.h"
#include "render/m4b_model.h"

namespace ka {

// Packs the model's layers and sizes every buffer for its batch; throws the packer's
// refusal when an array is short.
std::unique_ptr<ConvBackend> makeM4bEngine(const OnnxModel& model, const M4bTopology& topo, int threads);

}  // namespace ka
