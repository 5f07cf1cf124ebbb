#pragma once
// ka::Utterance: the real-time session on an engine context. The host pushes 16 kHz
// speech and pulls finished frames of the driver video's size; between utterances the
// frames are the driver video itself, during one the face is driven by keypoints from
// the audio-to-motion model, rendered and pasted into the driver frame of the same
// index, and after it the face eases back onto the driver's pose over a few ramp
// frames. ka_utt (the C handle) is this class.
//
// Threads (started in this order, joined by the destructor):
//   conductor  run()           takes audio, drives the model through the mailbox,
//                              renders, ramps, queues idle frames
//   warm-up    warm()          builds the model and the chunk renderer, then ends
//   dispatcher dispatchLoop()  runs the model on the conductor's requests
//   paste      pasteLoop()     composites queued crops (only when paste is pipelined)
//   teeth      tessLoop()      runs the teeth stage on queued crops (started by the
//                              first teeth attach when paste is pipelined)
//
// Teeth: once a stage is attached every frame passes through it. Inline (paste on the
// conductor) the conductor drives the stage; pipelined, the conductor queues frames
// for the teeth thread, which drives it and queues what it releases for the paste
// thread. Only that one thread ever touches the stage; an attach swaps the session's
// shared pointer under mu_ and the driving thread retires the old stage on its next
// frame, delivering the frame it held.
//
// Locks: the main lock mu_ (owned by this class) guards the pushed audio, the flags,
// the output ring, the paste and teeth queues, the teeth stage pointer and counters,
// the statistics and the failure notes; the mailbox
// has its own lock. No thread holds both; rendering, model runs and compositing run
// with neither held. Every frame carries the utterance generation it was made in, and
// a frame whose generation is stale when it reaches a queue is dropped there.
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
#include "session/dispatch_mailbox.h"
#include "session/output_ring.h"
#include "session/paste_queue.h"
#include "session/speech_ring.h"
#include "session/teeth_stage.h"
#include "session/utterance_config.h"

namespace ka {

class Context;
class MotionModel;
class Renderer;

class Utterance {
 public:
  enum State : int { kIdle = 0, kPending = 1, kSpeaking = 2, kRamp = 3 };

  // Starts the session's threads; the model loads in the background. Throws the
  // configuration's refusals. The context must outlive the session.
  Utterance(Context& ctx, const UtteranceConfig& cfg);
  ~Utterance();
  Utterance(const Utterance&) = delete;
  Utterance& operator=(const Utterance&) = delete;

  // 1 ready, 0 loading, -1 the model failed to load (its text into *error).
  int ready(std::string* error);
  void pushAudio(const int16_t* samples, int count);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  // Idle frames kept ahead in the output ring (1 to OutputRing::kSlots); speech and
  // ramp frames still fill every slot.
  void setIdleLead(int frames) { idleLead_.store(frames, std::memory_order_relaxed); }
  static constexpr int kDefaultIdleLead = 3;
  // 1 copied (and *info, and the frame's 63 keypoints into kp when given), 0 nothing
  // unread, -1 cap below the frame size (the frame stays unread).
  int pull(uint8_t* rgb, size_t cap, ka_utt_frame_info* info, float* kp = nullptr);
  ka_utt_stats stats();
  // Failure count and last text; -1 once a fatal one happened, else 0.
  int renderStatus(int* failures, std::string* text);
  // 0 without a teeth stage, 1 attached and healthy, -1 failed.
  int teethStatus(int64_t* borrowed, int64_t* refused, std::string* text);
  // True with the stage's geometry description when one is attached.
  bool teethGeometry(std::string* text);
  // True with the attached pass's synthesis-weight statistics when it counted a frame.
  bool teethSynth(TeethSynthStats* out);
  // Installs a teeth stage, replacing any earlier one; restarts the teeth counters and
  // the failure state; when paste is pipelined, starts the teeth thread (once).
  void attachTeeth(std::shared_ptr<TeethStage> stage);
  int cropSide() const;
  int driverFrames() const { return nt_; }
  // The motion directory's per-driver-frame target keypoints (nt x 63), or empty.
  const std::vector<float>& xsTarget() const { return xsTarget_; }
  const std::string& lipTemplate() const;
  // Counts a failure and describes it as "ep=<renderer ep> <stage>: <what>".
  void noteRenderFail(const char* stage, const std::string& what, bool fatal);

  const UtteranceConfig& config() const { return cfg_; }
  size_t frameBytes() const;
  bool hasChunkRenderer();

 private:
  using Clock = std::chrono::steady_clock;
  struct LastPulled {
    bool valid = false;
    int kind = 0;
    int driverIndex = 0;
    float kp[kHostKpRows * 3] = {};
  };
  // One utterance's share of the pushed audio.
  struct Segment {
    size_t samples = 0;        // still in audio_ (at its front, for the first segment)
    double firstPushMs = 0.0;  // its first push, for the first-frame latency
    bool ended = false;        // the host's end mark came after these samples
    bool begun = false;        // the conductor runs it (only the first segment)
  };
  // What one conductor pass took from the shared state.
  struct Pass {
    bool stop = false;
    uint64_t generation = 0;
    bool interrupted = false;
    LastPulled lastPulled;
    bool newAudio = false;
    int queued = 0;  // unread output frames plus the frames queued or in hand for them
    bool outFull = false;
    bool pasteBackoff = false;  // the driver video failed lately: no idle frame yet
    Renderer* chunk = nullptr;
    int stepFrames = 1;  // the model's, once it is built
  };

  // Threads.
  void run();
  void warm();
  void dispatchLoop();
  void pasteLoop();
  void tessLoop();

  // Conductor steps.
  Pass takePass();
  void beginUtterance();
  void onInterrupt(const LastPulled& lp);
  void collectJob();
  void postRequest(const Pass& p);
  int chunkWidth(const Pass& p) const;
  bool firstFramesDue(const Pass& p) const;
  void renderSpeech(int max, Renderer* chunk);
  void endSpeech();
  // The process's telemetry hears of each utterance once, when its last frame is
  // pulled (or it is interrupted, or it rendered nothing): take (with mu_ held) the
  // figures since it began, then emit them with no lock held.
  struct UttTelemetry {
    bool valid = false, teeth = false, interrupted = false;
    int64_t frames = 0, borrowed = 0, refused = 0;
    double pasteMs = 0, firstFrameMs = 0, renderMs = 0;
    int failures = 0;
  };
  UttTelemetry takeUtteranceTelemetry();
  static void emitUtteranceTelemetry(const UttTelemetry& t);
  void recordUtteranceTelemetry(bool interrupted = false);
  void produceRamp();
  void startRamp(int fromIndex, const float* kp, int length);
  void setState(int s) { state_.store(s, std::memory_order_relaxed); }
  int state() const { return state_.load(std::memory_order_relaxed); }
  bool speaking() const { return state() == kPending || state() == kSpeaking; }
  // Idle frames go on while nothing of the utterance has been taken from the model.
  bool showingIdle() const {
    return state() == kIdle || (state() == kPending && pulled_ == 0 && !firstPullInFlight_);
  }

  // Frame hand-off. enqueue() returns true when the frame was consumed: delivered, or
  // refused by a failed teeth stage (counted there); false when it is stale or the
  // session stops.
  bool enqueue(const float* crop, int kind, int driverIndex, int speechIndex, const float* kp,
               double* latencyMs);
  bool enqueueRaw(const float* crop, int kind, int driverIndex, int speechIndex, const float* kp,
                  double* latencyMs);
  bool enqueuePipe(const float* crop, int kind, int driverIndex, int speechIndex, const float* kp);
  bool pasteInto(const float* crop, int kind, int driverIndex, int speechIndex, const float* kp,
                 uint64_t generation, Clock::time_point madeAt, double* latencyMs);
  // Counts a frame the driver video could not give (fatal) and starts the back-off.
  void pasteFailed(const std::string& what);
  bool enqueueTess(const float* crop, int kind, int driverIndex, int speechIndex, const float* kp);
  // Copies a frame into a job of `q` and queues it, waiting in 2 ms steps on `room` while
  // `q` holds `limit` jobs; false once the frame is stale or the session stops.
  bool queueFrame(PasteQueue& q, int limit, std::condition_variable& room,
                  std::condition_variable& wake, const TeethFrame& f, bool countWait);
  bool pushPaste(const TeethFrame& f);
  // One frame through the stage on the thread that drives it.
  bool teethStep(const std::shared_ptr<TeethStage>& stage, const TeethFrame& f,
                 TeethStage::Deliver deliver);
  void tessStage(const PasteJob& job, const std::shared_ptr<TeethStage>& stage);
  void countBorrowed(const TeethFrame& f);
  static bool deliverInline(void* self, const TeethFrame& f);
  static bool tessEmitHeldP(void* self, const TeethFrame& f);

  // Stops and joins every thread, then releases the model.
  void shutdown();
  void writeStageReport();
  double sinceMs(Clock::time_point t) const;

  Context& ctx_;
  const UtteranceConfig cfg_;
  const int nt_;
  const Clock::time_point epoch_;
  std::vector<float> xsTarget_;  // nt_ x 63, or empty

  // ---- guarded by mu_ ----
  std::mutex mu_;
  std::condition_variable cv_;         // pushes, pulls, readiness, interruption, queue pops
  std::condition_variable pasteCv_;    // a paste job was queued
  std::condition_variable pasteRoomCv_;  // a paste job was taken
  std::vector<float> audio_;
  // The utterances audio_ holds, oldest first: an end mark closes the one being pushed,
  // so audio pushed after it opens the next one however soon the conductor looks.
  std::deque<Segment> segments_;
  uint64_t generation_ = 0;
  double lastPushMs_ = 0.0;
  double uttPushMs_ = 0.0;
  bool stop_ = false;
  bool pasteStop_ = false;
  OutputRing out_;
  PasteQueue pasteQ_;
  int pasting_ = 0;  // the job the paste thread took and has not published yet
  LastPulled lastPulled_;
  std::unique_ptr<MotionModel> model_;
  bool modelFailed_ = false;
  std::string modelError_;
  std::unique_ptr<Renderer> chunk_;
  PasteQueue tessQ_;  // frames for the teeth thread (room for 2)
  std::condition_variable tessCv_;  // a teeth job was queued
  bool tessStop_ = false;
  std::shared_ptr<TeethStage> teeth_;  // the attached stage, or none
  bool teethPipelined_ = false;
  int64_t teethBorrowed_ = 0, teethRefused_ = 0;
  bool teethFailed_ = false;
  std::string teethText_, teethGeometry_;
  TeethSynthStats teethSynth_;
  ka_utt_stats stats_{};
  bool haveRenderMs_ = false;
  int failures_ = 0;
  std::string failText_;
  bool fatal_ = false;
  // Consecutive frames the driver video failed to give, and when the idle loop may ask
  // it again: a source that failed tends to keep failing, so asking at once only burns
  // the machine.
  int pasteFailStreak_ = 0;
  double pasteRetryMs_ = 0.0;
  // Paste time of delivered speech frames, both paste modes (milliseconds).
  double speechPasteMs_ = 0;
  int lastPublishedKind_ = KA_UTT_IDLE;
  // The counters as they stood when the current utterance began; its telemetry is the
  // difference when it ends. `active` while one is being told.
  struct UttMark {
    bool active = false;
    int64_t speechDelivered = 0, speechDropped = 0, borrowed = 0, refused = 0;
    double pasteMs = 0;
    int failures = 0;
  } uttMark_;
  // Stage accumulators (milliseconds).
  int64_t speechDelivered_ = 0, stageAFrames_ = 0, jobsB_ = 0, jobsC_ = 0;
  // Delivered speech frames an interruption took from the ring unread: the host never
  // had them, so the utterance's telemetry does not count them.
  int64_t speechDropped_ = 0;
  // An utterance fully delivered whose last `heldUnread_` speech frames the host has
  // not pulled yet: told when it has (or, less those, when interrupted or closed).
  UttTelemetry heldTel_;
  int heldUnread_ = 0;
  double stageAMs_ = 0, stageAWaitMs_ = 0, stageBMs_ = 0, stageCMs_ = 0, deliverLatMs_ = 0;

  std::atomic<int> idleLead_{kDefaultIdleLead};

  // ---- conductor thread only ----
  std::atomic<int> state_{kIdle};
  // The job taking the utterance's first frames at the idle cursor is in flight: idle
  // frames wait for it, so the first speech frame follows the last idle one.
  bool firstPullInFlight_ = false;
  UttTelemetry deferredTel_;  // an utterance told when the next one began
  // Frames the model first had ready in this utterance, and the samples fed since.
  int firstAvail_ = 0;
  int64_t fedSinceAvail_ = 0;
  SpeechRing ring_;
  DispatchRequest req_;
  DispatchMailbox mailbox_;
  uint64_t seenGen_ = 0;
  bool jobInFlight_ = false;
  uint64_t jobGen_ = 0;
  bool lastJobGot_ = false;
  double lastPollMs_ = 0.0;
  int pulled_ = 0, remaining_ = 0, total_ = -1;
  bool finishWanted_ = false, finishSent_ = false;
  bool resetPending_ = false;
  int resetStart_ = 0;
  int eagerSent_ = 0, eagerCadence_ = 3;
  int idleCursor_ = 0;
  int lastIndex_ = 0;
  float lastKp_[kHostKpRows * 3] = {};
  int speechIndex_ = 0;
  bool renderedAny_ = false;
  float rampDelta_[kHostKpRows * 3] = {};
  float rampKp_[kHostKpRows * 3] = {};
  int rampLen_ = 0, rampLeft_ = 0;

  // ---- the thread that drives the teeth stage only ----
  std::shared_ptr<TeethStage> teethActive_;
  bool countTeeth_ = true;   // false while a replaced stage hands over its last frame
  uint64_t teethHeldGen_ = 0;

  std::thread conductor_, warmup_, dispatcher_, paster_, tesser_;
};

}  // namespace ka

// The C interface's session handle.
struct ka_utt final : ka::Utterance {
  using ka::Utterance::Utterance;
};
