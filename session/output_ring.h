#pragma once
// ka::OutputRing: the finished frames waiting for the host, 8 slots of driver-frame
// size with their sequence number, kind, indices and keypoints. Slot buffers are
// allocated once; a frame is written into the slot after the last unread one, outside
// any lock (only one thread writes frames, and the slot is invisible to readers until
// publish()), then published.
//
// No lock of its own: every call but the writing of writeSlot()'s pixels is made under
// the owning session's main lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ka/ka.h"

namespace ka {

struct OutputSlot {
  std::vector<uint8_t> rgb;
  int64_t seq = 0;
  int kind = 0;
  int driverIndex = 0;
  int speechIndex = -1;
  float kp[kHostKpRows * 3] = {};
};

class OutputRing {
 public:
  static constexpr int kSlots = 8;

  explicit OutputRing(size_t frameBytes);

  int unread() const { return static_cast<int>(write_ - read_); }
  bool full() const { return unread() >= kSlots; }

  // The slot the next frame goes into; only valid while !full().
  OutputSlot& writeSlot() { return slots_[write_ % kSlots]; }
  // Stamps the written slot with the next sequence number and makes it readable.
  void publish();
  // Unread frames of one kind (KA_UTT_SPEECH, ...).
  int unreadOfKind(int kind) const {
    int n = 0;
    for (uint64_t i = read_; i < write_; ++i) n += slots_[i % kSlots].kind == kind;
    return n;
  }
  // The oldest unread slot; only valid while unread() > 0.
  const OutputSlot& front() const { return slots_[read_ % kSlots]; }
  void pop() { ++read_; }
  // Forgets every unread frame. Their sequence numbers stay spent: the gap the host
  // sees in them is the number of frames it lost.
  void clear() { read_ = write_; }

 private:
  std::array<OutputSlot, kSlots> slots_;
  uint64_t read_ = 0;
  uint64_t write_ = 0;
  int64_t nextSeq_ = 0;
};

}  // namespace ka
