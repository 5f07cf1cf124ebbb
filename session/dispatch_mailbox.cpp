#include "session/dispatch_mailbox.h"

#include <algorithm>
#include <exception>

#include "session/motion_model.h"

namespace ka {

DispatchMailbox::DispatchMailbox() {
  req_.audio.reserve(16000);
}

void DispatchMailbox::post(DispatchRequest& req) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    req_.reset = req.reset;
    req_.start = req.start;
    req_.direction = req.direction;
    req_.eager = req.eager;
    req_.finish = req.finish;
    req_.maxFrames = req.maxFrames;
    req_.continueAt = req.continueAt;
    req_.audio.swap(req.audio);
    req.audio.clear();
    pending_ = true;
    done_ = false;
  }
  cv_.notify_all();
}

bool DispatchMailbox::done() {
  std::lock_guard<std::mutex> lk(mu_);
  return done_;
}

void DispatchMailbox::stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

void DispatchMailbox::serve(MotionModel& model) {
  DispatchRequest work;
  work.audio.reserve(16000);
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_.wait(lk, [&] { return pending_ || stop_; });
      if (stop_) return;
      work.reset = req_.reset;
      work.start = req_.start;
      work.direction = req_.direction;
      work.eager = req_.eager;
      work.finish = req_.finish;
      work.maxFrames = req_.maxFrames;
      work.continueAt = req_.continueAt;
      work.audio.swap(req_.audio);
      pending_ = false;
    }
    run(model, work);
    work.audio.clear();
    {
      std::lock_guard<std::mutex> lk(mu_);
      done_ = true;
    }
    cv_.notify_all();
  }
}

// Runs outside the lock; only the result arrays and counts of resp_ are written, which
// the conductor does not read until done_.
void DispatchMailbox::run(MotionModel& model, DispatchRequest& req) {
  DispatchResponse& r = resp_;
  r.pulled = 0;
  r.remaining = 0;
  r.failed = false;
  r.error.clear();
  try {
    if (req.reset) model.reset(req.start, req.direction);
    if (req.eager != 0) model.setEager(req.eager);
    bool ok = model.push(req.audio.data(), static_cast<int>(req.audio.size()));
    if (ok && req.finish) ok = model.finish();
    if (ok && req.continueAt >= 0) {
      model.continueAt(req.continueAt);
      const int got = model.pull(r.si.data(), r.xs.data(), r.xd.data(),
                                 std::min(req.maxFrames, SpeechRing::kFrames));
      r.total = model.total();
      if (got < 0) {
        r.failed = true;
        r.error = model.lastError();
        return;
      }
      r.pulled = got;
      r.remaining = -1;
      return;
    }
    const int avail = ok ? model.avail() : -1;
    if (avail < 0) {
      r.failed = true;
      r.error = model.lastError();
      r.total = model.total();
      return;
    }
    const int want = std::min(avail, std::min(req.maxFrames, SpeechRing::kFrames));
    if (want > 0) {
      const int got = model.pull(r.si.data(), r.xs.data(), r.xd.data(), want);
      if (got < 0) {
        r.failed = true;
        r.error = model.lastError();
        r.total = model.total();
        return;
      }
      r.pulled = got;
    }
    r.remaining = std::max(0, avail - r.pulled);
    r.total = model.total();
  } catch (const std::exception& e) {
    r.failed = true;
    r.error = e.what();
  }
}

}  // namespace ka
