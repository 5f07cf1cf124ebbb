#pragma once
// ka::PasteQueue: the bounded queue of paste jobs between the thread that renders and
// the thread that composites. Jobs come from a fixed pool made at construction: a
// producer takes a free job, fills it outside any lock, then submits it; the consumer
// pops it, composites, and releases it back. Nothing is allocated per frame.
//
// No lock of its own: every call is made under the owning session's main lock. The
// pool holds capacity queued jobs plus one being filled and one being worked on. The
// same queue, with room for two, feeds the teeth thread.
#include <cstddef>
#include <vector>

#include "session/paste_job.h"

namespace ka {

class PasteQueue {
 public:
  static constexpr int kCapacity = 8;

  explicit PasteQueue(size_t cropFloats, int capacity = kCapacity);

  int size() const { return count_; }
  int capacity() const { return capacity_; }
  bool full() const { return count_ >= capacity_; }
  bool empty() const { return count_ == 0; }

  // A free job, or null when every job is queued or in someone's hands.
  PasteJob* acquire();
  // Queues a job taken with acquire(); the caller checked !full().
  void submit(PasteJob* job);
  // The oldest queued job, or null.
  PasteJob* pop();
  // Hands a job back to the pool (after compositing, or when it was dropped).
  void release(PasteJob* job);
  // Drops every queued job (their frames are stale).
  void clear();

 private:
  int capacity_;
  std::vector<PasteJob> jobs_;
  std::vector<PasteJob*> free_;
  int freeCount_ = 0;
  std::vector<PasteJob*> queue_;
  int head_ = 0;
  int count_ = 0;
};

}  // namespace ka
