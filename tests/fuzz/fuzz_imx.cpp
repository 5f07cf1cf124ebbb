// Unwrapping an arbitrary container: refusals are std::runtime_error, nothing is
// written outside the unwrap root, and a refused container leaves no directory behind.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bundle/imx_unwrap.h"
#include "bundle/path_util.h"

namespace {
std::string g_root;  // holds the container and (under u/) its unwraps

void setUp() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_fuzz_imx.XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  g_root = tmpl;
  setenv("KA_IMX_UNWRAP_ROOT", (g_root + "/u").c_str(), 1);
  std::atexit([] { ka::rmTree(g_root); });
}

// Entries of a directory other than "." and "..".
int entries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  int n = 0;
  while (const dirent* e = readdir(d)) n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
  closedir(d);
  return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) setUp();
  const std::string container = g_root + "/c.imx";
  std::FILE* f = std::fopen(container.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  (void)ka::isImxV2File(container);
  bool ok = false;
  try {
    ka::unwrapOnce(container);
    ok = true;
  } catch (const std::runtime_error&) {
  }
  // The container and the unwrap root are all the scratch directory may hold.
  if (entries(g_root) > 2) std::abort();
  if (!ok && entries(g_root + "/u") != 0) std::abort();
  ka::rmTree(g_root + "/u");
  return 0;
}
