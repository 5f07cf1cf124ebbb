#pragma once
// The convolution engine's own worker threads, apart from the process-wide pool so the
// engine's thread count is its own. run() hands tasks 0..n-1 out one at a time to the
// workers and the calling thread, and returns when all are done.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace ka {

class ConvWorkers {
 public:
  // threads - 1 workers are started; the caller is the last one. Throws
  // std::runtime_error when a thread cannot be started (the started ones are joined).
  explicit ConvWorkers(int threads);
  ~ConvWorkers();
  ConvWorkers(const ConvWorkers&) = delete;
  ConvWorkers& operator=(const ConvWorkers&) = delete;

  int threads() const { return static_cast<int>(workers_.size()) + 1; }

  // fn(task) for every task in [0, tasks); fn must not throw. Called from one thread at
  // a time.
  template <typename F>
  void run(int tasks, F&& fn) {
    using Fn = std::remove_reference_t<F>;
    runJob(tasks, [](void* o, int t) { (*static_cast<Fn*>(o))(t); }, const_cast<void*>(static_cast<const void*>(&fn)),
           false);
  }

  // fn(index) once on each thread, the caller's index being threads() - 1: for
  // per-thread set-up such as growing scratch buffers.
  template <typename F>
  void onEachThread(F&& fn) {
    using Fn = std::remove_reference_t<F>;
    runJob(threads(), [](void* o, int t) { (*static_cast<Fn*>(o))(t); },
           const_cast<void*>(static_cast<const void*>(&fn)), true);
  }

 private:
  void runJob(int tasks, void (*call)(void*, int), void* obj, bool each);
  void work(void (*call)(void*, int), void* obj, int tasks);
  void loop(int index);

  std::vector<std::thread> workers_;
  // Owned by this object: guards the job fields, generation_, busy_ and stop_.
  std::mutex mu_;
  std::condition_variable wake_, idle_;
  uint64_t generation_ = 0;
  int busy_ = 0;
  bool stop_ = false;
  void (*call_)(void*, int) = nullptr;
  void* obj_ = nullptr;
  int tasks_ = 0;
  bool each_ = false;
  std::atomic<int> next_{0};
};

}  // namespace ka
