#include "base/log_limiter.h"

#include <cstdio>
#include <string_view>

namespace ka::log {

LogLimiter::LogLimiter(int burst, Clock::duration window) : burst_(burst), window_(window) {}

LogLimiter::Line LogLimiter::admit(std::string_view kind, Clock::time_point now) {
  kind = kind.substr(0, sizeof(Slot::kind) - 1);
  std::lock_guard<std::mutex> lock(mu_);
  Slot* slot = nullptr;
  for (size_t i = 0; i < used_ && !slot; ++i)
    if (slots_[i].kind == kind) slot = &slots_[i];
  if (!slot) {
    slot = &slots_[used_ < kKinds ? used_++ : kKinds - 1];
    if (!slot->kind[0]) {
      kind.copy(slot->kind, kind.size());
      slot->windowStart = now;
    }
  }
  Line line;
  if (now - slot->windowStart >= window_) {
    slot->windowStart = now;
    slot->written = 0;
  }
  if (slot->written >= burst_) {
    ++slot->held;
    ++suppressed_;
    return line;
  }
  ++slot->written;
  line.write_ = true;
  if (slot->held > 0)
    std::snprintf(line.note_, sizeof line.note_, " (%llu similar suppressed)", static_cast<unsigned long long>(slot->held));
  slot->held = 0;
  return line;
}

uint64_t LogLimiter::suppressed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return suppressed_;
}

}  // namespace ka::log
