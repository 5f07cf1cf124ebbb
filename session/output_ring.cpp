#include "session/output_ring.h"

namespace ka {

OutputRing::OutputRing(size_t frameBytes) {
  for (OutputSlot& s : slots_) s.rgb.assign(frameBytes, 0);
}

void OutputRing::publish() {
  writeSlot().seq = nextSeq_++;
  ++write_;
}

void OutputRing::clear() {
  nextSeq_ -= static_cast<int64_t>(write_ - read_);
  read_ = write_;
}

}  // namespace ka
