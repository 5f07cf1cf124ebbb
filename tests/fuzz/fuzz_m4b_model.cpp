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

#include "bundle/path_util.h"
#include "render/m4b_model.h"

namespace {
std::string g_root;

void setUp() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_fuzz_m4b.XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  g_root = tmpl;
  std::atexit([] { ka::rmTree(g_root); });
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) setUp();
  const std::string path = g_root + "/model.onnx";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
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
