#pragma once
// The process's telemetry: hosts and the library record into a live batch; a reader
// seals it (taking it out of recording, so what it read is exactly what a later flush
// clears) and shipping the sealed batch is the host's affair.
//
// Locks: `liveMtx_` (owned by the recorder, held only to add one event or to swap
// batches) and `sealedMtx_` (held by readers while they format or clear the sealed
// batch; taken before `liveMtx_`, never after). Recording never waits for formatting.
#include <cstdint>
#include <mutex>
#include <string>

#include "telemetry/event_batch.h"

namespace ka::telemetry {

class Recorder {
 public:
  enum class Result { kOk, kOff, kBadName, kNotFinite, kNamesFull };

  // The process-wide recorder; KA_TELEMETRY=off (or 0) turns recording off for the
  // process's lifetime.
  static Recorder& instance();

  bool enabled() const noexcept { return enabled_; }

  Result record(const char* name, double value) noexcept;
  Result recordText(const char* name, const char* text, size_t len) noexcept;

  // The sealed batch as JSON (sealing the live one first when none is sealed) copied
  // into out[cap] when it fits with its NUL; returns the bytes it needs, NUL included.
  // Throws std::bad_alloc when the document cannot be built.
  size_t pendingJson(char* out, size_t cap);

  // Clears the sealed batch (sealing the live one first when none is sealed, so a
  // flush without a read clears what was pending); returns the events it held.
  uint64_t flush() noexcept;

  explicit Recorder(bool enabled);

 private:
  void sealLocked() noexcept;  // with sealedMtx_ held

  const bool enabled_;
  std::mutex liveMtx_;
  EventBatch* live_;  // guarded by liveMtx_
  std::mutex sealedMtx_;
  EventBatch* sealed_;  // guarded by sealedMtx_
  bool isSealed_ = false;
  std::string json_;    // the sealed batch's document, built once
  EventBatch a_, b_;
};

}  // namespace ka::telemetry
