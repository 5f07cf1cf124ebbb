#include "session/paste_queue.h"

namespace ka {

PasteQueue::PasteQueue(size_t cropFloats, int capacity)
    : capacity_(capacity),
      jobs_(static_cast<size_t>(capacity) + 2),
      free_(jobs_.size(), nullptr),
      queue_(static_cast<size_t>(capacity), nullptr) {
  for (PasteJob& j : jobs_) {
    j.crop.assign(cropFloats, 0.0f);
    free_[freeCount_++] = &j;
  }
}

PasteJob* PasteQueue::acquire() { return freeCount_ > 0 ? free_[--freeCount_] : nullptr; }

void PasteQueue::submit(PasteJob* job) {
  queue_[(head_ + count_) % capacity_] = job;
  ++count_;
}

PasteJob* PasteQueue::pop() {
  if (count_ == 0) return nullptr;
  PasteJob* j = queue_[head_];
  head_ = (head_ + 1) % capacity_;
  --count_;
  return j;
}

void PasteQueue::release(PasteJob* job) { free_[freeCount_++] = job; }

void PasteQueue::clear() {
  while (PasteJob* j = pop()) release(j);
}

}  // namespace ka
