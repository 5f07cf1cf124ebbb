#pragma once
// Reading the fused m4b director for the convolution engine: every initializer of the
// ONNX file as float arrays (loadOnnx), and the decision whether the graph is the one
// topology the engine implements (m4bResolve).
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

struct OnnxTensor {
  std::string name;
  std::vector<int64_t> dims;
  std::vector<float> values;  // empty when read for shapes only
};

struct OnnxModel {
  std::vector<OnnxTensor> initializers;
  std::vector<int64_t> pooledDims;  // declared shape of the graph input "pooled64"

  // Throws "onnx: missing initializer <name>".
  const OnnxTensor& get(const std::string& name) const;
  const OnnxTensor* find(const std::string& name) const;
};

// Reads the model file whole. withValues false checks every initializer as usual but
// keeps only names and shapes. Throws "ka_conv: cannot open <path>", "ka_conv: short
// read <path>", "ka_conv: pooled64 input not found", "onnx: non-fp32 initializer <name>",
// "onnx: raw size mismatch <name>", "onnx: no data for <name>" and the codec's wire
// errors.
OnnxModel loadOnnx(const std::string& path, bool withValues = true);

// The largest batch the engine takes. Each frame of a batch holds its own activations
// and 512 x 512 intermediates (about 35 MiB), all sized at construction from the
// graph's declared batch, so the batch a file declares is a memory request: 64 frames
// (about 2.2 GiB) is well beyond the chunk renderers bundles ship (24) and still fits
// the machines the library targets.
constexpr int64_t kM4bMaxBatch = 64;

// The initializers found by shape rather than by name.
struct M4bTopology {
  std::string preWeight, preBias, basis, grid32;
  int hidden = 0;  // width of the warp MLP's hidden layer
};

// Throws std::runtime_error whose text is only the reason ("missing s.e0.conv.weight",
// "pre weight (96,85,1,1) absent or ambiguous", ...) when the graph is not the fused m4b.
M4bTopology m4bResolve(const OnnxModel& model);

// Bilinear tap of the 512 x 512 prior at pixel coordinate c: clamped into [0, 511], the
// integer part capped at 510 so both taps exist (511 reads 510 and 511 with weight 1 on
// 511); a negative or NaN coordinate reads index 0 with fraction 0.
inline void m4bPriorTap(float c, int* index, float* frac) {
  if (!(c > 0.f)) c = 0.f;
  if (c > 511.f) c = 511.f;
  int i = static_cast<int>(c);
  if (i > 510) i = 510;
  *index = i;
  *frac = c - static_cast<float>(i);
}

}  // namespace ka
