#include "compute/core_budget.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace ka {

namespace {
// Past this a batch-1 crop network gains nothing from further intra-op threads; the
// cores are better left to the paste and to other sessions.
constexpr int kDirectorMax = 16;
}  // namespace

CoreBudget CoreBudget::split(int cores) {
  CoreBudget b;
  b.cores = std::max(cores, 1);
  if (b.cores <= 2) return b;  // one core for the network, one for paste + decode
  // The paste of a 1080p frame costs about half a batch-1 render on one core: a quarter
  // of the cores keeps it off the network's critical path.
  b.paste = std::clamp(b.cores / 4, 1, 4);
  b.decoder = std::clamp(b.cores / 8, 1, 4);
  b.motion = b.cores >= 8 ? 2 : 1;
  b.director = std::clamp(b.cores - b.paste, 1, kDirectorMax);
  return b;
}

int CoreBudget::machineCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

const CoreBudget& CoreBudget::machine() {
  static const CoreBudget b = split(machineCores());
  return b;
}

}  // namespace ka
