#pragma once
// ka::ConvBackend renders the fused m4b director (crop 512) without ONNX Runtime: a
// half-precision convolution engine that reads the weights out of the same ONNX file,
// recognises the graph by its initializers, packs every convolution once and renders
// batches on its own worker threads. The renderer selects it for the provider "neon".
#include <cstdint>
#include <memory>
#include <string>

namespace ka {

class ConvBackend {
 public:
  virtual ~ConvBackend() = default;

  // The first dimension of the model's "pooled64" input.
  virtual int batch() const = 0;

  // Renders n frames (1 <= n <= batch(), else throws "ka_conv: bad n"). Frame i reads
  // pooled[i] (65536 halves, 64 x 32 x 32), prior[i] (3 x 512 x 512 halves, planar),
  // kpSource + 63 * i and kpDriving + 63 * i, and writes 3 x 512 x 512 planar floats at
  // out + i * 786432. Called from one thread at a time.
  virtual void render(const uint16_t* const* pooled, const uint16_t* const* prior, const float* kpSource,
                      const float* kpDriving, int n, float* out) = 0;

  // True on every processor this build targets.
  static bool available();
  // Reads the model's initializer shapes and checks the topology; false when it is not
  // the fused m4b (or cannot be read).
  static bool graphSupported(const std::string& modelPath);
  // threads < 1 means ka::pool::threads(). Throws "ka_conv: fp16 NEON not supported on
  // this CPU" when not available, the loader's and packer's refusals, and "ka_conv: this
  // graph is not the fused m4b topology this kernel implements (<reason>) — use ORT for
  // it".
  static std::unique_ptr<ConvBackend> create(const std::string& modelPath, int threads);
};

}  // namespace ka
