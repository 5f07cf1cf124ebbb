#pragma once
// One batch of telemetry: per-name aggregates of numeric events and the text events in
// the order they came. Memory is bounded by the caps below; storage is made on first use
// and kept across clear(), so a warmed-up batch records without allocating.
//
// Not synchronised: the recorder that owns two of these guards each with one lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "telemetry/quantile_sketch.h"

namespace ka::telemetry {

class EventBatch {
 public:
  static constexpr int kMaxNames = 256;               // distinct names per batch
  static constexpr size_t kMaxNameBytes = 64;
  static constexpr int kMaxTextEvents = 4096;         // text events kept per batch
  static constexpr size_t kTextArenaBytes = 4 << 20;  // their bytes, all together
  static constexpr size_t kMaxTextBytes = 64 << 10;   // one text; longer ones are cut

  enum class Put { kOk, kNamesFull };

  EventBatch();

  // name: 1..kMaxNameBytes bytes (the caller checks); v finite.
  Put addNumber(const char* name, size_t nameLen, double v);
  // A text beyond kMaxTextBytes keeps its first kMaxTextBytes (cut on a character
  // boundary); when the caps are reached the oldest texts make room.
  Put addText(const char* name, size_t nameLen, const char* text, size_t textLen,
              int64_t unixMs);

  // Events recorded since the last clear, those the caps dropped included.
  uint64_t events() const noexcept { return events_; }
  void clear() noexcept;
  // The batch's id and the span of time it took events over, for its document.
  void setWindow(uint64_t id, int64_t startUnixMs, int64_t endUnixMs) noexcept {
    id_ = id;
    startMs_ = startUnixMs;
    endMs_ = endUnixMs;
  }

  // Appends the batch as the members "batch", "metrics" and "texts" of a JSON object
  // (each preceded by a comma).
  void appendJson(std::string& out) const;

 private:
  struct Name {
    std::array<char, kMaxNameBytes> bytes;
    uint8_t len;
  };
  struct Series {
    uint64_t count = 0;
    double sum = 0, min = 0, max = 0;
    QuantileSketch sketch;
  };
  struct Text {
    int name;
    int64_t unixMs;
    size_t offset;   // into the arena ring
    size_t len;
    size_t cutBytes;
  };

  int findOrAdd(const char* name, size_t nameLen);  // -1 when the table is full
  void dropOldestText() noexcept;

  static constexpr int kHashSlots = 2 * kMaxNames;
  std::array<Name, kMaxNames> names_;
  std::array<int16_t, kHashSlots> hash_;  // name index + 1, 0 for empty
  int nNames_ = 0;
  std::vector<std::unique_ptr<Series>> series_;  // by name index, made on first use
  std::vector<bool> hasSeries_;

  std::vector<char> arena_;  // ring of text bytes, made on the first text
  std::vector<Text> texts_;  // ring of kMaxTextEvents
  size_t textFirst_ = 0, textCount_ = 0, arenaUsed_ = 0, arenaWrite_ = 0;

  uint64_t events_ = 0, droppedTexts_ = 0, droppedNames_ = 0;
  uint64_t id_ = 0;
  int64_t startMs_ = 0, endMs_ = 0;
};

}  // namespace ka::telemetry
