#include "session/output_ring.h"

namespace ka {

OutputRing::OutputRing(size_t frameBytes) {
  for (OutputSlot& s : slots_) s.rgb.assign(frameBytes, 0);
}

void OutputRing::publish() {
  writeSlot().seq = nextSeq_++;
  ++write_;
}

}  // namespace ka
