#pragma once
// ka::TeethStage: the hook through which a session's rendered crops pass when teeth
// borrowing is attached. The stage holds one frame: each frame given to it releases the
// one held before (with its mouth interior replaced), and drain() releases the last.
// A session without a borrow attached has no stage and hands frames straight on.
//
// Called only by the thread that renders (or, when the stage is pipelined, by its own
// thread); the session counts what it borrows and refuses under its main lock.
#include <chrono>
#include <cstdint>
#include <string>

namespace ka {

struct TeethFrame {
  const float* crop = nullptr;  // null for a frame without a face (idle)
  int kind = 0;
  int driverIndex = 0;
  int speechIndex = -1;
  const float* kp = nullptr;  // 63 floats, or null
  uint64_t generation = 0;    // the utterance generation the frame was made in
  std::chrono::steady_clock::time_point madeAt{};
  bool borrowed = false;  // set on release: the pass wrote teeth into the crop
};

// Running statistics of the synthesis weight over the frames a pass emitted.
struct TeethSynthStats {
  int64_t frames = 0;
  double sumMeans = 0.0;
  double max = 0.0;
};

class TeethStage {
 public:
  // Receives a released frame; returns false when the session refused it.
  using Deliver = bool (*)(void* self, const TeethFrame& f);

  virtual ~TeethStage() = default;
  // Takes `f` and delivers the frame held before it, if any. Throws std::runtime_error
  // with the reason when the pass fails or refuses a frame.
  virtual bool push(const TeethFrame& f, Deliver deliver, void* self) = 0;
  // Delivers the held frame, if any. Throws as push does.
  virtual bool drain(Deliver deliver, void* self) = 0;
  // Forgets the held frame (its utterance was interrupted, or the pass failed) and
  // whatever the pass keeps pending for it. Never throws.
  virtual void drop() noexcept = 0;
  // The pass's geometry description.
  virtual std::string geometry() const = 0;
  virtual TeethSynthStats synthStats() const = 0;
};

}  // namespace ka
