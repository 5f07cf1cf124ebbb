// Selection entry points of the convolution engine.
#include "render/conv_backend.h"

#include <stdexcept>

#include "compute/pool.h"
#include "render/conv_backend_engine.h"
#include "render/m4b_model.h"

namespace ka {

// Every processor the build targets either computes in half precision (AArch64 with
// ASIMDHP) or converts halves in the vector kernels and computes in single precision
// (compute/simd_conv_f16.cpp), so the engine runs wherever the library does.
bool ConvBackend::available() { return true; }

bool ConvBackend::graphSupported(const std::string& modelPath) {
  try {
    m4bResolve(loadOnnx(modelPath, false));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string& modelPath, int threads) {
  if (!available()) throw std::runtime_error("ka_conv: fp16 NEON not supported on this CPU");
  const OnnxModel model = loadOnnx(modelPath);
  M4bTopology topo;
  try {
    topo = m4bResolve(model);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("ka_conv: this graph is not the fused m4b topology this kernel implements (") +
                             e.what() + ") — use ORT for it");
  }
  return makeM4bEngine(model, topo, threads < 1 ? pool::threads() : threads);
}

}  // namespace ka
