#pragma once
// The process's telemetry: hosts and the library record into a live batch; a reader
// seals it (taking it out of recording, so what it read is exactly what a later flush
// clears) and shipping the sealed batch is the host's affair. Each sealed batch gets the
// next id (1, 2, ...), so that of several readers holding the same document only one
// clears it; its window runs from the previous seal (the library's load for the first)
// to its own, so consecutive batches tile time without gaps.
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

  // Clears the sealed batch only when `id` is its id; returns the events it held, 0 when
  // the batch with that id was cleared already, -1 for an id never handed out.
  int64_t flushBatch(uint64_t id) noexcept;

  explicit Recorder(bool enabled);

 private:
  void sealLocked() noexcept;  // with sealedMtx_ held

  const bool enabled_;
  std::mutex liveMtx_;
  EventBatch* live_;     // guarded by liveMtx_
  int64_t liveStartMs_;  // guarded by liveMtx_: when the live batch began taking events
  std::mutex sealedMtx_;
  EventBatch* sealed_;  // guarded by sealedMtx_, as are the three below
  bool isSealed_ = false;
  uint64_t sealedId_ = 0, nextId_ = 1;
  std::string json_;    // the sealed batch's document, built once
  EventBatch a_, b_;
};

}  // namespace ka::telemetry
