// The convolution engine's reading of a bundle's fused director (every initializer as
// float arrays, then the topology check) over arbitrary bytes as the model file: a
// refusal is a std::runtime_error, and every initializer read holds exactly the values
// its dimensions promise, never more than the file could carry.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "render/m4b_model.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace {
const std::string& root() {
  static const std::string& dir = []() -> const std::string& {
    const std::string& d = ka::fuzz::scratchDir("m4b");
    return d;
  }();
  return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = root() + "/model.onnx";
  ka::fuzz::writeFile(path, data, size);
  for (const bool withValues : {false, true}) {
    try {
      const ka::OnnxModel m = ka::loadOnnx(path, withValues);
      size_t values = 0;
      for (const ka::OnnxTensor& t : m.initializers) {
        if (!withValues && !t.values.empty()) std::abort();
        values += t.values.size();
      }
      if (values * sizeof(float) > size) std::abort();
      (void)ka::m4bResolve(m);
    } catch (const std::runtime_error&) {
    }
  }
  return 0;
}
