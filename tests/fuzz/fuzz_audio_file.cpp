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
#include "bundle/path_util.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {
std::string g_root;

void setUp() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_fuzz_audio.XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  g_root = tmpl;
  std::atexit([] { ka::rmTree(g_root); });
  av_log_set_level(AV_LOG_QUIET);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) setUp();
  const std::string path = g_root + "/speech";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  try {
    const std::vector<float> x = ka::readAudio16k(path);
    if (x.size() > 30 * 16000 + 256 * size) std::abort();
    for (const float v : x)
      if (!(std::fabs(v) <= 1.0f)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
