// The donor bank's track decoding (FFmpeg behind the in-memory reader) over arbitrary
// bytes. A four-byte head states what the sidecar would: the container family (bit 0:
// the mp4 family, else matroska) and the track order (bit 1: reversed, else identity),
// then n_donors, band width and band height, each 1..64 — so the bank asked for is at
// most 64 x 64 x 64 x 3 bytes. The rest is the track. A refusal is a std::runtime_error;
// a decoded bank is exactly the size asked for; nothing is opened beyond the bytes
// given (the scratch directory the process runs in stays empty).
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/bank_decode.h"
#include "tests/fuzz/fuzz_scratch.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const std::string& root() {
  static const std::string& dir = []() -> const std::string& {
    const std::string& d = ka::fuzz::scratchDir("bank");
    if (chdir(d.c_str()) != 0) std::abort();
    av_log_set_level(AV_LOG_QUIET);
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const std::string container = data[0] & 1 ? "mp4" : "matroska";
  const int n = data[1] % 64 + 1, band_w = data[2] % 64 + 1, band_h = data[3] % 64 + 1;
  std::vector<int> order(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) order[size_t(k)] = data[0] & 2 ? n - 1 - k : k;
  try {
    const std::vector<uint8_t> bank =
        ka::tessera::decodeBankTrack(data + 4, size - 4, container, n, band_h, band_w, order);
    if (bank.size() != size_t(n) * size_t(band_h) * size_t(band_w) * 3) std::abort();
  } catch (const std::runtime_error&) {
  }
  if (ka::fuzz::entriesOf(root()) != 0) std::abort();
  return 0;
}
