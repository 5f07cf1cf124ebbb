#pragma once
// ka::stream::OfflineStream renders one whole utterance into finished frames: it
// computes every frame's keypoints up front with the feature-conditioned delta
// generator, then renders crops on a thread of its own while the caller's thread pastes
// them into their driver frames and hands each frame to a callback, in order.
//
// It owns its engine context (model key "render") and its delta generator and reaches
// both through the C interface, whose texts are the ones a host gets. One run at a time;
// cancel() reaches it from any thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ka/ka.h"

namespace ka::stream {

constexpr int kRingCrops = 4;  // rendering runs at most this many frames ahead of pasting

// A refusal whose text is already the complete interface text (it names the function
// that failed), so the interface stores it as it is.
class InterfaceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The run was stopped by OfflineStream::cancel(); the text says how far it got.
class Cancelled : public InterfaceError {
 public:
  using InterfaceError::InterfaceError;
};

class OfflineStream {
 public:
  // The span of one host call (a run, or a whole movie) in which cancel() reaches it.
  // Opening one forgets any earlier cancel. settle() ends the span's cancellable part:
  // it returns false when a cancel came first, and from then on cancel() returns false,
  // so a cancel the host was told took effect always makes the call report it.
  class CancelScope {
   public:
    explicit CancelScope(OfflineStream& s);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;
    bool settle();

   private:
    OfflineStream& s_;
  };

  // Throws InterfaceError with "ka_create: ...", "ka_fca_create: ..." or
  // "ka_stream_create: cannot read xs_target.bin (NT*63 f32)"; std::runtime_error for
  // refused arguments. Whatever was opened before a failure is released.
  OfflineStream(const std::string& bundleDir, const std::string& encoderPath, int threads, int drop,
                float gain);
  virtual ~OfflineStream();
  OfflineStream(const OfflineStream&) = delete;
  OfflineStream& operator=(const OfflineStream&) = delete;

  // Renders the utterance and returns the frames delivered (0 when none is left after
  // dropping). Throws InterfaceError when the deltas or a render or paste fail; frames
  // before a failed one have been delivered by then. Throws Cancelled when cancel()
  // stopped it; no frame is delivered after the cancel was seen.
  int run(const float* samples, int count, ka_stream_frame_cb onFrame, void* user);
  // run() inside a scope its caller holds (the movie writer's, which spans the whole
  // file); throws Cancelled when a cancel stopped the frames early, and otherwise
  // leaves the settling to the caller.
  int render(const float* samples, int count, ka_stream_frame_cb onFrame, void* user);

  // From any thread, the run's own callbacks included: stops the run in progress, which
  // then delivers no further frame, within the frame being rendered (or the speech
  // encoder's window under way). True when a run was in progress and had not settled;
  // false otherwise, and then nothing changes. Must not race the destructor.
  bool cancel();

  int width() const { return width_; }
  int height() const { return height_; }
  int nt() const { return nt_; }
  int drop() const { return drop_; }
  // Crops of the current run copied into the ring so far (read from any thread).
  int cropsStored() const { return stored_.load(std::memory_order_acquire); }

 protected:
  // The two steps of a frame, through the context's single-frame interface. On failure
  // they return null / false with the reason in ka_last_error() of the calling thread.
  virtual const float* renderCrop(int si, const float* xs, const float* xd);
  virtual bool pasteCrop(int si, const float* crop, uint8_t* rgb, size_t cap);

 private:
  struct Pipe;

  ka_ctx* ctx_ = nullptr;
  ka_fca* fca_ = nullptr;
  std::vector<float> xsTarget_;  // nt x 63
  int nt_ = 0;
  int width_ = 0;
  int height_ = 0;
  int crop_ = 0;
  int drop_ = 0;
  float gain_ = 1.0f;
  std::atomic<int> stored_{0};

  // Owner: cancel() and the run's scope. Guards running_ and pipe_; taken before a
  // pipe's own lock, never while rendering, pasting or calling back.
  std::mutex cancelMtx_;
  bool running_ = false;     // a scope is open and has not settled
  Pipe* pipe_ = nullptr;     // the current run's pipeline, to wake its waits
  std::atomic<bool> cancel_{false};
};

}  // namespace ka::stream

// The C interface's handle.
struct ka_stream final : ka::stream::OfflineStream {
  using ka::stream::OfflineStream::OfflineStream;
};
