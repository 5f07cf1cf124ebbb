// Worker threads of the convolution engine.
#include "render/conv_backend_workers.h"

#include <stdexcept>
#include <system_error>

namespace ka {

ConvWorkers::ConvWorkers(int threads) {
  try {
    for (int i = 1; i < threads; ++i) workers_.emplace_back([this, i] { loop(i - 1); });
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    throw std::runtime_error(std::string("ka_conv: cannot start a worker thread: ") + e.what());
  }
}

ConvWorkers::~ConvWorkers() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void ConvWorkers::work(void (*call)(void*, int), void* obj, int tasks) {
  for (int t = next_.fetch_add(1, std::memory_order_relaxed); t < tasks; t = next_.fetch_add(1, std::memory_order_relaxed))
    call(obj, t);
}

void ConvWorkers::runJob(int tasks, void (*call)(void*, int), void* obj, bool each) {
  if (tasks <= 0) return;
  if (workers_.empty() || (tasks == 1 && !each)) {
    for (int t = 0; t < tasks; ++t) call(obj, t);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    call_ = call;
    obj_ = obj;
    tasks_ = tasks;
    each_ = each;
    next_.store(0, std::memory_order_relaxed);
    busy_ = static_cast<int>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();
  if (each) call(obj, static_cast<int>(workers_.size()));
  else work(call, obj, tasks);
  std::unique_lock<std::mutex> lock(mu_);
  idle_.wait(lock, [this] { return busy_ == 0; });
}

void ConvWorkers::loop(int index) {
  uint64_t seen = 0;
  for (;;) {
    void (*call)(void*, int);
    void* obj;
    int tasks;
    bool each;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
      call = call_;
      obj = obj_;
      tasks = tasks_;
      each = each_;
    }
    if (each) call(obj, index);
    else work(call, obj, tasks);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (--busy_ == 0) idle_.notify_one();
    }
  }
}

}  // namespace ka
