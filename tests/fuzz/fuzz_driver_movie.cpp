// The driver video and the warp prior as a bundle's member files, opened through the
// confined opener and decoded frame by frame. A four-byte head states what the manifest
// would: bit 0 of the first byte picks the prior (planar half floats of a square side,
// the mp4 family) over the RGB driver, bit 1 the container family of the driver (mp4
// or matroska); then NT 1..64, width and height 1..64 (the prior takes the width as its
// side). The rest is the member. A refusal is a std::runtime_error; a source comes to
// its end (no more frames than NT plus one per byte of the member); seeking inside NT
// either lands or refuses; nothing is opened beyond the member (the scratch directory
// holds only the member).
#include <dirent.h>
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

extern "C" {
#include <libavutil/log.h>
}

namespace {

const std::string& root() {
  static const std::string& dir = []() -> const std::string& {
    const std::string& d = ka::fuzz::scratchDir("driver");
    if (chdir(d.c_str()) != 0) std::abort();
    av_log_set_level(AV_LOG_QUIET);
    // No GPU decoder probe per input: the software decoder is what every machine runs.
    setenv("KA_DRIVER_HWDEC", "0", 1);
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const std::string path = root() + "/member";
  ka::fuzz::writeFile(path, data + 4, size - 4);
  const bool prior = data[0] & 1;
  const int nt = data[1] % 64 + 1, w = data[2] % 64 + 1, h = data[3] % 64 + 1;
  try {
    std::unique_ptr<ka::driver::Source> src =
        prior ? ka::driver::openPriorHevc(path, nt, w)
              : ka::driver::openMovie(path, data[0] & 2 ? "matroska" : "mp4", nt, w, h);
    std::vector<uint8_t> frame(src->frameBytes());
    int got = 0;
    while (src->next(frame.data()))
      if (++got > nt + int(size)) std::abort();
    src->rewind();
    src->seek(nt - 1);
    src->seek(0);
  } catch (const std::runtime_error&) {
  }
  if (ka::fuzz::entriesOf(root()) != 1) std::abort();
  return 0;
}
