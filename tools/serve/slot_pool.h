#pragma once
// A fixed number of places (open pages, say), each held by a Slot: letting go of the
// last copy of a Slot frees its place, on whatever path the holder ends. Taking a place
// before the work that needs it, rather than counting the work once done, keeps the
// bound when many arrive at once. Safe from any thread; a Slot may outlive its pool.
#include <atomic>
#include <cstddef>
#include <memory>

namespace ka::serve {

class SlotPool {
 public:
  using Slot = std::shared_ptr<void>;

  explicit SlotPool(size_t capacity) : state_(std::make_shared<State>(capacity)) {}

  // A place, or null when all are taken.
  Slot take() {
    size_t n = state_->taken.load();
    do {
      if (n >= state_->capacity) return nullptr;
    } while (!state_->taken.compare_exchange_weak(n, n + 1));
    std::weak_ptr<State> weak = state_;
    // Non-null, so that a slot tests true; never dereferenced.
    return Slot(state_.get(), [weak](void*) {
      if (const auto s = weak.lock()) s->taken.fetch_sub(1);
    });
  }
  size_t taken() const { return state_->taken.load(); }
  size_t capacity() const { return state_->capacity; }

 private:
  struct State {
    explicit State(size_t c) : capacity(c) {}
    const size_t capacity;
    std::atomic<size_t> taken{0};
  };
  std::shared_ptr<State> state_;
};

}  // namespace ka::serve
