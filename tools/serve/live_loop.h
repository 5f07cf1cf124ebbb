#pragma once
// The live stream's clock: a thread that takes a frame from the utterance session every
// 40 ms on a steady clock, pairs it with the 640 samples of speech pushed for it,
// encodes it and hands one immutable message to the hub for every page. It also keeps
// the book of utterances (which pushed speech belongs to which speech frame), so sound
// stays aligned with the picture across utterance boundaries and interruptions.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ka/ka.h"
#include "tools/serve/frame_encoder.h"

namespace ka::serve {

struct LiveMetrics;

constexpr int kFps = 25;
constexpr int kRate = 16000;
constexpr int kFrameSamples = kRate / kFps;  // 640
constexpr size_t kHeaderBytes = 40;

using Bytes = std::vector<uint8_t>;

// What the loop tells the hub. Called on the loop thread.
class LiveOutput {
 public:
  virtual ~LiveOutput() = default;
  // One frame message (header, H.264, audio) for every page.
  virtual void frame(std::shared_ptr<const Bytes> message, bool key) = 0;
  // An utterance event as its JSON text message.
  virtual void event(std::shared_ptr<const std::string> message) = 0;
  // The utterance of `owner` (a client number, 0 for none) is over: back to idle.
  virtual void utteranceEnded(uint32_t id, int owner) = 0;
  // Twice a second: the figures of a stats message.
  struct Stats {
    int fps = 0;
    double firstFrameMs = 0.0;
    int queued = 0;
    double renderMs = 0.0;
    int64_t teethBorrowed = 0, teethRefused = 0;
    int state = 0;
  };
  virtual void stats(const Stats& s) = 0;
};

class LiveLoop {
 public:
  // The session must be ready; it outlives the loop. maxPendingSamples bounds the
  // speech pushed but not yet shown, over all utterances.
  LiveLoop(ka_utt* session, int width, int height, LiveOutput& out, LiveMetrics& metrics, size_t maxPendingSamples);
  ~LiveLoop();  // stops and joins
  LiveLoop(const LiveLoop&) = delete;
  LiveLoop& operator=(const LiveLoop&) = delete;

  void start();
  void stop();

  int width() const { return encoder_.width(); }
  int height() const { return encoder_.height(); }
  const std::string& codec() const { return encoder_.codec(); }

  enum class Push { Ok, TooMuchAudio, Failed };
  // Pushes speech for `owner`'s utterance, opening one when none is open. *id receives
  // the utterance's id.
  Push pushAudio(int owner, const int16_t* pcm, int count, uint32_t* id = nullptr);
  // The open utterance's speech is complete: the rest renders, then the ramp back.
  void endUtterance();
  // Interrupts whatever is pending or speaking: the session ramps back to idle.
  void interrupt();
  // A key frame is wanted soon (a page joined): the next frame, unless one went out
  // less than a second ago, else the first a second after it.
  void forceKeyFrame() { forceKey_.store(true); }
  // True when an utterance is open (pushed to and not ended).
  bool speaking() const;
  // Speech pushed and not yet shown, in samples.
  size_t pendingSamples() const;

 private:
  struct Utterance {
    uint32_t id = 0;
    int owner = 0;
    std::deque<int16_t> pcm;  // pushed speech not yet shown, from sample `base` on
    int64_t base = 0;
    int64_t pushed = 0;
    double pushMs = 0.0;
    bool ended = false;
    bool shown = false;  // its first speech frame went out
    std::chrono::steady_clock::time_point endedAt{};
  };

  void run();
  void takeFrame(const ka_utt_frame_info& info, int16_t* audio, uint32_t& uttId,
                 std::vector<std::shared_ptr<const std::string>>& events, std::vector<std::pair<uint32_t, int>>& ended);
  void dropUtterance(std::deque<Utterance>::iterator it, std::vector<std::shared_ptr<const std::string>>& events,
                     std::vector<std::pair<uint32_t, int>>& ended);
  std::shared_ptr<Bytes> freeBuffer();

  ka_utt* const session_;
  const int srcWidth_, srcHeight_;
  LiveOutput& out_;
  LiveMetrics& metrics_;
  const size_t maxPending_;
  FrameEncoder encoder_;
  std::atomic<bool> forceKey_{true};

  mutable std::mutex mu_;  // the book of utterances and the session's control calls
  std::deque<Utterance> utts_;
  int32_t lastIndex_ = -1;
  uint32_t nextId_ = 0;
  size_t pending_ = 0;  // samples pushed and not yet shown

  std::mutex runMu_;
  std::condition_variable runCv_;
  bool quit_ = false;
  std::thread thread_;
  std::vector<std::shared_ptr<Bytes>> pool_;
};

// Milliseconds since the Unix epoch.
double wallMs();

}  // namespace ka::serve
