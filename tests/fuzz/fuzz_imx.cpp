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
#include "tests/fuzz/fuzz_scratch.h"

namespace {
// Holds the container and (under u/) its unwraps.
const std::string& root() {
  static const std::string& dir = []() -> const std::string& {
    const std::string& d = ka::fuzz::scratchDir("imx");
    setenv("KA_IMX_UNWRAP_ROOT", (d + "/u").c_str(), 1);
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string container = root() + "/c.imx";
  ka::fuzz::writeFile(container, data, size);
  (void)ka::isImxV2File(container);
  bool ok = false;
  try {
    ka::unwrapOnce(container);
    ok = true;
  } catch (const std::runtime_error&) {
  }
  // The container and the unwrap root are all the scratch directory may hold.
  if (ka::fuzz::entriesOf(root()) > 2) std::abort();
  if (!ok && ka::fuzz::entriesOf(root() + "/u") != 0) std::abort();
  ka::rmTree(root() + "/u");
  return 0;
}
