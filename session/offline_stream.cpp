#include "session/offline_stream.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "audio/fca_deltas.h"
#include "bundle/member.h"
#include "ka/fca_handle.h"
#include "ka/context.h"

namespace ka::stream {
namespace {

constexpr int kKp = kHostKpRows * 3;

// "<name>: <text>", unless the text already starts with the name (the families' own
// texts do), so the host never reads the function's name twice.
std::string named(const char* name, const std::string& text) {
  const std::string head = std::string(name) + ": ";
  if (text.rfind(head, 0) == 0) return text;
  return head + (text.empty() ? std::string("failed without a reason") : text);
}

std::vector<float> readXsTarget(const std::string& dir, int nt) {
  const std::string path = resolveMember(dir, "xs_target.bin");
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff want = static_cast<std::streamoff>(nt) * kKp * 4;
  if (!in || in.tellg() != want) throw InterfaceError("ka_stream_create: cannot read xs_target.bin (NT*63 f32)");
  std::vector<float> rows(static_cast<size_t>(nt) * kKp);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(rows.data()), want))
    throw InterfaceError("ka_stream_create: cannot read xs_target.bin (NT*63 f32)");
  return rows;
}

std::string cancelledText(int delivered) {
  return "ka_stream_run: cancelled after " + std::to_string(delivered) + " frame" + (delivered == 1 ? "" : "s");
}

}  // namespace

// What the render thread and the caller's thread share during one run.
struct OfflineStream::Pipe {
  // Owner: the run; taken by both threads for the counters and flags only, never while
  // rendering, pasting or calling back; cancel() takes it only to wake the waits.
  std::mutex mtx;
  std::condition_variable ready;  // a crop was stored, or the producer stopped
  std::condition_variable room;   // a crop was consumed, or the consumer stopped
  int stored = 0;
  int consumed = 0;
  bool done = false;
  bool stop = false;  // the consumer left early: the producer must not wait for room
  std::atomic<bool> failed{false};
  int failedAt = -1;
  std::string why;

  void fail(int frame, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mtx);
    if (failedAt < 0) {
      failedAt = frame;
      why = reason;
    }
    failed.store(true);
  }
};

OfflineStream::CancelScope::CancelScope(OfflineStream& s) : s_(s) {
  std::lock_guard<std::mutex> lock(s.cancelMtx_);
  s.cancel_.store(false);
  s.running_ = true;
}

OfflineStream::CancelScope::~CancelScope() {
  std::lock_guard<std::mutex> lock(s_.cancelMtx_);
  s_.running_ = false;
}

bool OfflineStream::CancelScope::settle() {
  std::lock_guard<std::mutex> lock(s_.cancelMtx_);
  s_.running_ = false;
  return !s_.cancel_.load();
}

bool OfflineStream::cancel() {
  std::lock_guard<std::mutex> lock(cancelMtx_);
  if (!running_) return false;
  cancel_.store(true);
  fca_->engine.interrupt();
  if (pipe_) {
    // Taken and released so that a thread between testing its wait's condition and
    // blocking cannot miss the wake-up.
    { std::lock_guard<std::mutex> wait(pipe_->mtx); }
    pipe_->ready.notify_all();
    pipe_->room.notify_all();
  }
  return true;
}

OfflineStream::OfflineStream(const std::string& bundleDir, const std::string& encoderPath, int threads,
                             int drop, float gain)
    : drop_(drop), gain_(gain) {
  // A negative drop would index deltas before the first frame.
  if (drop < 0) throw std::runtime_error("frames to drop must be >= 0, got " + std::to_string(drop));
  if (!std::isfinite(gain)) throw std::runtime_error("delta gain must be finite");
  ctx_ = ka_create(bundleDir.c_str(), "render", threads, nullptr);
  if (!ctx_) throw InterfaceError(named("ka_create", ka_last_error()));
  try {
    nt_ = ka_nt(ctx_);
    width_ = ka_width(ctx_);
    height_ = ka_height(ctx_);
    crop_ = ka_crop(ctx_);
    const std::string dir = ctx_->manifest().dir;
    fca_ = ka_fca_create(encoderPath.c_str(), resolveMember(dir, "fca_stream.onnx").c_str(), threads);
    if (!fca_) throw InterfaceError(named("ka_fca_create", ka_fca_last_error()));
    fca_->engine.setStop(&cancel_);
    xsTarget_ = readXsTarget(dir, nt_);
  } catch (...) {
    ka_fca_destroy(fca_);
    ka_destroy(ctx_);
    throw;
  }
}

OfflineStream::~OfflineStream() {
  ka_fca_destroy(fca_);
  ka_destroy(ctx_);
}

const float* OfflineStream::renderCrop(int si, const float* xs, const float* xd) {
  return ka_render_kp_crop(ctx_, si, xs, xd);
}

bool OfflineStream::pasteCrop(int si, const float* crop, uint8_t* rgb, size_t cap) {
  return ka_paste_crop(ctx_, si, crop, rgb, cap) == 1;
}

int OfflineStream::run(const float* samples, int count, ka_stream_frame_cb onFrame, void* user) {
  CancelScope scope(*this);
  const int n = render(samples, count, onFrame, user);
  if (!scope.settle()) throw Cancelled(cancelledText(n));
  return n;
}

int OfflineStream::render(const float* samples, int count, ka_stream_frame_cb onFrame, void* user) {
  stored_.store(0, std::memory_order_release);
  const int frames = static_cast<int>(fca::frameCount(count));
  std::vector<float> deltas(static_cast<size_t>(frames) * kKp);
  if (frames > 0 && ka_fca_deltas(fca_, samples, count, deltas.data(), frames) != frames) {
    if (cancel_.load()) throw Cancelled(cancelledText(0));
    throw InterfaceError(named("ka_fca_deltas", ka_fca_last_error()));
  }
  const int out = frames - drop_;
  if (out < 1) return 0;

  // Every frame's keypoints up front; the driver index advances over dropped frames too.
  std::vector<int> si(static_cast<size_t>(out));
  std::vector<float> xs(static_cast<size_t>(out) * kKp), xd(xs.size());
  for (int i = drop_; i < frames; ++i) {
    const int k = i - drop_;
    const int s = nt_ < 2 ? 0 : i % nt_;
    si[static_cast<size_t>(k)] = s;
    const float* src = xsTarget_.data() + static_cast<size_t>(s) * kKp;
    const float* d = deltas.data() + static_cast<size_t>(i) * kKp;
    float* a = xs.data() + static_cast<size_t>(k) * kKp;
    float* b = xd.data() + static_cast<size_t>(k) * kKp;
    for (int j = 0; j < kKp; ++j) {
      a[j] = src[j];
      b[j] = src[j] + gain_ * d[j];
    }
  }

  const size_t cropFloats = static_cast<size_t>(crop_) * crop_ * 3;
  std::vector<float> ring(cropFloats * kRingCrops);
  std::vector<uint8_t> rgb(static_cast<size_t>(width_) * height_ * 3);
  Pipe p;
  // Unlinked before the pipe goes: cancel() wakes the waits of the linked one.
  struct Link {
    OfflineStream& s;
    Link(OfflineStream& st, Pipe* pipe) : s(st) {
      std::lock_guard<std::mutex> lock(s.cancelMtx_);
      s.pipe_ = pipe;
    }
    ~Link() {
      std::lock_guard<std::mutex> lock(s.cancelMtx_);
      s.pipe_ = nullptr;
    }
  } link{*this, &p};
  auto stopped = [&] { return p.failed.load() || cancel_.load(); };

  auto produce = [&] {
    for (int k = 0; k < out && !stopped(); ++k) {
      const size_t at = static_cast<size_t>(k) * kKp;
      const float* crop = renderCrop(si[static_cast<size_t>(k)], xs.data() + at, xd.data() + at);
      if (!crop) {
        p.fail(k, ka_last_error());
        break;
      }
      {
        std::unique_lock<std::mutex> lock(p.mtx);
        p.room.wait(lock, [&] { return p.stored - p.consumed < kRingCrops || p.stop || stopped(); });
        if (p.stop || stopped()) break;
      }
      // The slot is free: the consumer is done with frame k - 4.
      std::memcpy(ring.data() + static_cast<size_t>(k % kRingCrops) * cropFloats, crop, cropFloats * sizeof(float));
      {
        std::lock_guard<std::mutex> lock(p.mtx);
        p.stored = k + 1;
        stored_.store(k + 1, std::memory_order_release);
      }
      p.ready.notify_one();
    }
    {
      std::lock_guard<std::mutex> lock(p.mtx);
      p.done = true;
    }
    p.ready.notify_one();
  };

  // Joined on every way out of this scope, a throwing callback included.
  struct Joiner {
    Pipe& p;
    std::thread t;
    void join() {
      {
        std::lock_guard<std::mutex> lock(p.mtx);
        p.stop = true;
      }
      p.room.notify_one();
      if (t.joinable()) t.join();
    }
    ~Joiner() { join(); }
  } producer{p, std::thread(produce)};

  int delivered = 0;
  for (int k = 0; k < out; ++k) {
    {
      std::unique_lock<std::mutex> lock(p.mtx);
      p.ready.wait(lock, [&] { return p.stored > k || p.done || stopped(); });
      if (p.stored <= k || cancel_.load()) break;
    }
    const float* crop = ring.data() + static_cast<size_t>(k % kRingCrops) * cropFloats;
    if (!pasteCrop(si[static_cast<size_t>(k)], crop, rgb.data(), rgb.size())) {
      p.fail(k, ka_last_error());
      p.room.notify_one();
      break;
    }
    {
      std::lock_guard<std::mutex> lock(p.mtx);
      p.consumed = k + 1;
    }
    p.room.notify_one();
    if (cancel_.load()) break;
    onFrame(user, k, rgb.data(), width_, height_);
    ++delivered;
  }
  producer.join();
  if (p.failed.load())
    throw InterfaceError("ka_stream_run: render/paste failed (frame " + std::to_string(p.failedAt) + ": " +
                         p.why + ")");
  if (delivered < out && cancel_.load()) throw Cancelled(cancelledText(delivered));
  return delivered;
}

}  // namespace ka::stream
