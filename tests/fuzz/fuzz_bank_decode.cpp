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

#include "bundle/path_util.h"
#include "tessera/bank_decode.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::string g_root;

void setUp() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_fuzz_bank.XXXXXX";
  if (!mkdtemp(tmpl.data()) || chdir(tmpl.c_str()) != 0) std::abort();
  g_root = tmpl;
  std::atexit([] { ka::rmTree(g_root); });
  av_log_set_level(AV_LOG_QUIET);
}

bool emptyDir(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  int n = 0;
  while (dirent* e = readdir(d)) n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
  closedir(d);
  return n == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) setUp();
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
  if (!emptyDir(g_root)) std::abort();
  return 0;
}
