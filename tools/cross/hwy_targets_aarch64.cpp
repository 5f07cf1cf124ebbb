// Check-only stand-in for the target detection of Highway's runtime library, for the
// AArch64 kernel tests that tools/cross_compile_compute.sh --run links statically (no
// arm64 libhwy is installed on the x86 build host). Never part of the library.
#include <sys/auxv.h>
#include <sys/prctl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "hwy/targets.h"

namespace hwy {
namespace {
int64_t g_forced = 0;  // SetSupportedTargetsForTest; single-threaded test use only
}  // namespace

int64_t SupportedTargets() {
  if (g_forced) return g_forced;
  int64_t t = HWY_NEON;
  const unsigned long hwcap = getauxval(AT_HWCAP);
  const unsigned long hwcap2 = getauxval(AT_HWCAP2);
  const int bytes = prctl(PR_SVE_GET_VL) & PR_SVE_VL_LEN_MASK;
  if (hwcap & (1ul << 22)) {  // HWCAP_SVE
    t |= HWY_SVE;
    if (bytes == 32) t |= HWY_SVE_256;
  }
  if (hwcap2 & (1ul << 1)) {  // HWCAP2_SVE2
    t |= HWY_SVE2;
    if (bytes == 16) t |= HWY_SVE2_128;
  }
  return t;
}

void SetSupportedTargetsForTest(int64_t targets) {
  g_forced = targets;
  GetChosenTarget().DeInit();
}

void DisableTargets(int64_t) {}

ChosenTarget& GetChosenTarget() {
  static ChosenTarget chosen;
  return chosen;
}

HWY_NORETURN void HWY_FORMAT(3, 4) Abort(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "Abort at %s:%d: ", file, line);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::abort();
}

}  // namespace hwy
