#include "compute/pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
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

std::atomic<int> g_threadsOverride{0};
std::atomic<void (*)(int)> g_startHook{nullptr};

// One calling thread's workers. Only the owning thread publishes jobs, so at most one
// job is in flight; `mtx` (owned by the pool) guards the job fields.
class Pool {
 public:
  explicit Pool(int count) : count_(count) {
    workers_.reserve(static_cast<size_t>(count - 1));
    // A thread that fails to start must not leave the started ones joinable while the
    // vector unwinds: that would terminate the process.
    try {
      for (int i = 1; i < count; ++i) {
        if (void (*hook)(int) = g_startHook.load(std::memory_order_acquire)) hook(i);
        workers_.emplace_back([this, i] { work(i); });
      }
    } catch (const std::exception& e) {
      stopAndJoin();
      throw std::runtime_error("ka::pool: cannot start worker thread " + std::to_string(workers_.size() + 1) +
                               " of " + std::to_string(count - 1) + " (" + e.what() + "); the " +
                               std::to_string(workers_.size()) + " already started were joined");
    } catch (...) {
      stopAndJoin();
      throw;
    }
  }
  ~Pool() { stopAndJoin(); }

  int count() const { return count_; }

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
  void stopAndJoin() {
    {
      std::lock_guard<std::mutex> lock(mtx_);
      stop_ = true;
      ++generation_;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

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
thread_local int t_limit = 0;

}  // namespace

int threads() {
  static const int n = computeThreads();
  const int forced = g_threadsOverride.load(std::memory_order_relaxed);
  return forced > 0 ? forced : n;
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
  const int count = t_limit > 0 ? std::min(threads(), t_limit) : threads();
  const int p = t_busy ? 1 : std::min(parts(total, grain), count);
  if (p < 2) {
    fn(0, total);
    return;
  }
  if (t_pool && t_pool->count() != count) t_pool.reset();  // resized: testing::setThreads, limitThisThread
  if (!t_pool) t_pool = std::make_unique<Pool>(count);
  struct Busy {
    Busy() { t_busy = true; }
    ~Busy() { t_busy = false; }
  } busy;
  t_pool->run(total, p, fn);
}
}  // namespace detail

void limitThisThread(int n) { t_limit = n > 0 ? n : 0; }

namespace testing {
void setThreads(int n) { g_threadsOverride.store(n > 0 ? n : 0, std::memory_order_relaxed); }
void setWorkerStartHook(void (*hook)(int index)) { g_startHook.store(hook, std::memory_order_release); }
}  // namespace testing

}  // namespace ka::pool
