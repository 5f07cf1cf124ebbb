#pragma once
// Bounds the log lines one source (a client, or every client of a kind of request) can
// cause: per kind, the first `burst` lines of a window are written, the rest are
// counted, and the next line written says how many of its kind were held back. A line
// written costs what it did before; a line held back costs a lock and a count.
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace ka::log {

class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  // What admit() decided: whether to write the line, and the note to end it with.
  class Line {
   public:
    explicit operator bool() const { return write_; }
    // " (N similar suppressed)" when lines of this kind were held back since the last
    // one written, else "".
    const char* note() const { return note_; }

   private:
    friend class LogLimiter;
    bool write_ = false;
    char note_[48] = "";
  };

  explicit LogLimiter(int burst = 5, Clock::duration window = std::chrono::seconds(10));

  // One line of `kind` (a short word: its first 23 bytes tell kinds apart) would be
  // written now.
  Line admit(std::string_view kind) { return admit(kind, Clock::now()); }
  Line admit(std::string_view kind, Clock::time_point now);
  // Lines held back so far, all kinds, including those a later line already reported.
  uint64_t suppressed() const;

 private:
  // A source meets few kinds; any beyond these share the last slot.
  static constexpr size_t kKinds = 8;
  struct Slot {
    char kind[24] = "";
    Clock::time_point windowStart{};
    int written = 0;      // in this window
    uint64_t held = 0;    // since the last line written
  };
  const int burst_;
  const Clock::duration window_;
  mutable std::mutex mu_;
  std::array<Slot, kKinds> slots_{};
  size_t used_ = 0;
  uint64_t suppressed_ = 0;
};

}  // namespace ka::log
