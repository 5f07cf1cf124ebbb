#include "compute/simd.h"

#include "hwy/highway.h"

namespace ka::simd {

// The best target that is both compiled into the kernels and supported by this
// processor, i.e. the one dispatch lands on.
const char* target() {
  const int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
  if (usable == 0) return "Unknown";
  return hwy::TargetName(usable & -usable);
}

}  // namespace ka::simd
