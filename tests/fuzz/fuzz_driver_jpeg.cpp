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

#include "driver/source.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace {
const std::string& root() {
  static const std::string& dir = []() -> const std::string& {
    const std::string& d = ka::fuzz::scratchDir("jpeg");
    return d;
  }();
  return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  ka::fuzz::writeFile((root() + "/frame_000000.jpg"), data + 2, size - 2);
  const int w = data[0] % 64 + 1, h = data[1] % 64 + 1;
  try {
    std::unique_ptr<ka::driver::Source> src = ka::driver::openJpgDir(root(), 1, w, h);
    std::vector<uint8_t> frame(src->frameBytes());
    if (!src->next(frame.data()) || src->next(frame.data())) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
