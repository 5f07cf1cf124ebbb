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
#include <type_traits>
#include <utility>

namespace ka::pool {

namespace detail {
// A non-owning reference to a callable taking (begin, end). Unlike std::function it
// never allocates, so per-frame loops can hand lambdas with any captures to the pool.
// Only parallelRange makes one, for the duration of its call.
class RangeFn {
 public:
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RangeFn>>>
  RangeFn(F&& f) noexcept  // NOLINT: implicit so lambdas convert at the call site
      : obj_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, uint64_t b, uint64_t e) { (*static_cast<std::remove_reference_t<F>*>(o))(b, e); }) {}
  void operator()(uint64_t begin, uint64_t end) const { call_(obj_, begin, end); }

 private:
  void* obj_;
  void (*call_)(void*, uint64_t, uint64_t);
};

void parallelRange(uint64_t total, uint64_t grain, RangeFn fn);
}  // namespace detail

// Thread count for splits and for the runtimes other parts configure: KA_CORE_THREADS,
// else KA_PASTE_THREADS, else 4; at least 1, at most the hardware concurrency when that
// is known. Read once per process.
int threads();

// Always true: callers ask before deciding whether to split.
bool available();

// Parts a range of `total` items is cut into with at least `grain` items per part.
int parts(uint64_t total, uint64_t grain);

// From now on the calling thread's splits use at most n threads, its own included; n <= 0
// lifts the limit. A thread that runs beside other busy threads of the process (the
// session's paste beside the network) keeps to its share of the cores this way.
void limitThisThread(int n);

// Calls fn(begin, end) over disjoint sub-ranges covering [0, total) and returns when
// all have returned. fn must not throw on a worker (that terminates the process); a
// throw from the caller's own part is rethrown after the workers have finished. When a
// worker thread cannot be started, the ones already started are joined and
// std::runtime_error is thrown before any part runs; the next call tries again.
template <typename F>
void parallelRange(uint64_t total, uint64_t grain, F&& fn) {
  detail::parallelRange(total, grain, detail::RangeFn(fn));
}

// Seams for tests and benchmarks; no per-item path reads them.
namespace testing {
// From now on threads() returns n for the whole process (n <= 0 restores the
// environment's choice). A thread's pool whose size no longer matches is rebuilt at its
// next split, so a benchmark can compare pool sizes in one run.
void setThreads(int n);
// Called with the worker's index (1 .. count - 1) just before each worker thread of a
// new pool starts; a throw stands for that thread failing to start. nullptr removes it.
void setWorkerStartHook(void (*hook)(int index));
}  // namespace testing

}  // namespace ka::pool
