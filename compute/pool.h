#pragma once
// ka::pool splits a loop over an index range across a small set of worker threads.
//
// The pool is per calling thread: each thread that calls parallelRange owns its own
// workers, created on its first splitting call and joined when that thread exits. There
// is no global queue and no work stealing. A call made from inside a part on the owning
// thread runs inline, so nested loops never oversubscribe.
//
// The split is deterministic: with parts p and chunk c = ceil(total / p), part i covers
// [i*c, min(total, (i+1)*c)). A loop whose parts write disjoint outputs gives the same
// result whatever the scheduling.
#include <cstdint>
#include <functional>

namespace ka::pool {

using RangeFn = std::function<void(uint64_t begin, uint64_t end)>;

// Thread count for splits and for the runtimes other parts configure: KA_CORE_THREADS,
// else KA_PASTE_THREADS, else 4; at least 1, at most the hardware concurrency when that
// is known. Read once per process.
int threads();

// Always true: callers ask before deciding whether to split.
bool available();

// Parts a range of `total` items is cut into with at least `grain` items per part.
int parts(uint64_t total, uint64_t grain);

// Calls fn over disjoint sub-ranges covering [0, total) and returns when all have
// returned. fn must not throw (a throw on a worker terminates the process).
void parallelRange(uint64_t total, uint64_t grain, const RangeFn& fn);

}  // namespace ka::pool
