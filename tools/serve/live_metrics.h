#pragma once
// The live server's counters, read by /metrics in the Prometheus text format and by the
// stats messages. Atomics: written by the loop, network and synthesis threads alike.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "ka/ka.h"

namespace ka::serve {

// The refusal codes counted by name; anything else counts as "other".
inline constexpr std::string_view kRefusalCodes[] = {
    "bad_json",  "unknown_type",   "text_too_long", "empty_text", "pcm_odd_size",   "pcm_too_big",
    "busy",      "not_talker",     "too_much_audio", "synth_failed", "origin", "not_found",
    "too_large", "slow_reader", "too_many_pages", "token", "speech_too_long", "other"};
inline constexpr size_t kRefusalKinds = sizeof kRefusalCodes / sizeof kRefusalCodes[0];

struct LiveMetrics {
  std::atomic<int64_t> framesSent{0};       // frames the loop broadcast
  std::atomic<int64_t> framesDelivered{0};  // frame messages written to a page
  std::atomic<int64_t> framesLate{0};       // ticks where the session had no frame ready
  std::atomic<int64_t> clients{0};
  std::atomic<int64_t> clientsTotal{0};
  std::atomic<int64_t> clientsDropped{0};
  std::atomic<int64_t> utterances{0};
  std::atomic<int64_t> encodeUs{0};       // last frame's encode time
  std::atomic<int64_t> encodeCpuUsTotal{0};  // CPU time spent encoding, all frames
  std::atomic<int64_t> refusals[kRefusalKinds] = {};

  void refuse(std::string_view code) {
    for (size_t i = 0; i + 1 < kRefusalKinds; ++i)
      if (kRefusalCodes[i] == code) {
        refusals[i].fetch_add(1, std::memory_order_relaxed);
        return;
      }
    refusals[kRefusalKinds - 1].fetch_add(1, std::memory_order_relaxed);
  }
  int64_t refused(std::string_view code) const {
    for (size_t i = 0; i < kRefusalKinds; ++i)
      if (kRefusalCodes[i] == code) return refusals[i].load();
    return 0;
  }
};

// The /metrics page: these counters and the session's own figures.
std::string renderMetrics(const LiveMetrics& m, ka_utt* session);

}  // namespace ka::serve
