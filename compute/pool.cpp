#include "compute/pool.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ka::pool {
namespace {

int parseRequest(const char* v) {
  const long n = std::strtol(v, nullptr, 10);
  return n <= 0 ? 1 : static_cast<int>(std::min<long>(n, 1 << 16));
}

int computeThreads() {
  int request = 4;
  const char* core = std::getenv("KA_CORE_THREADS");
  const char* paste = std::getenv("KA_PASTE_THREADS");
  if (core && *core) request = parseRequest(core);
  else if (paste && *paste) request = parseRequest(paste);
  const unsigned hw = std::thread::hardware_concurrency();
  if (hw > 0 && hw < static_cast<unsigned>(request)) request = static_cast<int>(hw);
  return request;
}

// One calling thread's workers. Only the owning thread publishes jobs, so at most one
// job is in flight; `mtx` (owned by the pool) guards the job fields.
class Pool {
 public:
  explicit Pool(int count) : count_(count) {
    workers_.reserve(static_cast<size_t>(count - 1));
    for (int i = 1; i < count; ++i) workers_.emplace_back([this, i] { work(i); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mtx_);
      stop_ = true;
      ++generation_;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void run(uint64_t total, int parts, const detail::RangeFn& fn) {
    {
      std::lock_guard<std::mutex> lock(mtx_);
      fn_ = &fn;
      total_ = total;
      parts_ = parts;
      pending_ = count_ - 1;
      ++generation_;
    }
    wake_.notify_all();
    const uint64_t chunk = (total + static_cast<uint64_t>(parts) - 1) / static_cast<uint64_t>(parts);
    // Workers hold a pointer to fn until they report, so even a part that throws on
    // this thread must wait for them before the exception leaves.
    std::exception_ptr thrown;
    try {
      fn(0, std::min(total, chunk));
    } catch (...) {
      thrown = std::current_exception();
    }
    std::unique_lock<std::mutex> lock(mtx_);
    done_.wait(lock, [this] { return pending_ == 0; });
    fn_ = nullptr;
    if (thrown) std::rethrow_exception(thrown);
  }

 private:
  void work(int index) {
    uint64_t seen = 0;
    for (;;) {
      const detail::RangeFn* fn;
      uint64_t total;
      int parts;
      {
        std::unique_lock<std::mutex> lock(mtx_);
        wake_.wait(lock, [&] { return generation_ != seen || stop_; });
        if (stop_) return;
        seen = generation_;
        fn = fn_;
        total = total_;
        parts = parts_;
      }
      if (index < parts) {
        const uint64_t chunk = (total + static_cast<uint64_t>(parts) - 1) / static_cast<uint64_t>(parts);
        const uint64_t begin = static_cast<uint64_t>(index) * chunk;
        if (begin < total) (*fn)(begin, std::min(total, begin + chunk));
      }
      std::lock_guard<std::mutex> lock(mtx_);
      if (--pending_ == 0) done_.notify_all();
    }
  }

  const int count_;
  std::vector<std::thread> workers_;
  std::mutex mtx_;
  std::condition_variable wake_, done_;
  const detail::RangeFn* fn_ = nullptr;
  uint64_t total_ = 0;
  int parts_ = 0;
  int pending_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
};

// The thread_local unique_ptr is the thread-exit hook: its destructor joins the workers.
thread_local std::unique_ptr<Pool> t_pool;
thread_local bool t_busy = false;

}  // namespace

int threads() {
  static const int n = computeThreads();
  return n;
}

bool available() { return true; }

int parts(uint64_t total, uint64_t grain) {
  const int t = threads();
  if (t <= 1) return 1;
  const uint64_t q = total / std::max<uint64_t>(grain, 1);
  return q > 1 ? static_cast<int>(std::min<uint64_t>(q, static_cast<uint64_t>(t))) : 1;
}

namespace detail {
void parallelRange(uint64_t total, uint64_t grain, RangeFn fn) {
  const int p = t_busy ? 1 : parts(total, grain);
  if (p < 2) {
    fn(0, total);
    return;
  }
  if (!t_pool) t_pool = std::make_unique<Pool>(threads());
  struct Busy {
    Busy() { t_busy = true; }
    ~Busy() { t_busy = false; }
  } busy;
  t_pool->run(total, p, fn);
}
}  // namespace detail

}  // namespace ka::pool
