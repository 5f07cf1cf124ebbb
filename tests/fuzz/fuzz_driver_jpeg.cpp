// A driver frame of a JPEG-directory member over arbitrary bytes. Two head bytes state
// the manifest's width and height (1..64); the rest is frame_000000.jpg. A refusal is a
// std::runtime_error; a frame is decoded only at the manifest's size, so what the
// decoder may allocate is bounded by that size rather than by what a header claims.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/path_util.h"
#include "driver/source.h"

namespace {
std::string g_root;

void setUp() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_fuzz_jpeg.XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  g_root = tmpl;
  std::atexit([] { ka::rmTree(g_root); });
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) setUp();
  if (size < 2) return 0;
  std::FILE* f = std::fopen((g_root + "/frame_000000.jpg").c_str(), "wb");
  if (!f) std::abort();
  if (size > 2 && std::fwrite(data + 2, 1, size - 2, f) != size - 2) std::abort();
  std::fclose(f);
  const int w = data[0] % 64 + 1, h = data[1] % 64 + 1;
  try {
    std::unique_ptr<ka::driver::Source> src = ka::driver::openJpgDir(g_root, 1, w, h);
    std::vector<uint8_t> frame(src->frameBytes());
    if (!src->next(frame.data()) || src->next(frame.data())) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
