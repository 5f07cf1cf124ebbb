// Reading an arbitrary file as speech: refusals are std::runtime_error, what is
// returned is finite samples in [-1, 1] within the bound the file's size sets, and
// nothing beyond the file is opened (a playlist or manifest posing as audio fetches
// nothing; the scratch directory holds only the input).
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "audio/audio_file.h"
#include "tests/fuzz/fuzz_scratch.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {
const std::string& root() {
  static const std::string& dir = []() -> const std::string& {
    const std::string& d = ka::fuzz::scratchDir("audio");
    av_log_set_level(AV_LOG_QUIET);
    return d;
  }();
  return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = root() + "/speech";
  ka::fuzz::writeFile(path, data, size);
  try {
    const std::vector<float> x = ka::readAudio16k(path);
    if (x.size() > 30 * 16000 + 256 * size) std::abort();
    for (const float v : x)
      if (!(std::fabs(v) <= 1.0f)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
