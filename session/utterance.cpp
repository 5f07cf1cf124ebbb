#include "session/utterance.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <fstream>

#include "bundle/member.h"
#include "ka/context.h"
#include "base/log.h"
#include "compute/pool.h"
#include "render/renderer.h"
#include "session/motion_model.h"
#include "telemetry/recorder.h"

namespace ka {

namespace {
constexpr int kKp = kHostKpRows * 3;
constexpr auto kStep = std::chrono::milliseconds(2);
// Below this many frames pending the conductor keeps asking the model for more.
constexpr int kLowWater = 8;
constexpr int kFrameSamples = 640;  // 40 ms of 16 kHz speech per frame
// A request without audio, finish or known frames is posted at most this often.
constexpr double kPollMs = 4.0;
// After a failed paste the idle loop waits one frame period, doubling with every further
// failure in a row up to this.
constexpr double kPasteBackoffMs = 40.0;
constexpr double kPasteBackoffMaxMs = 1000.0;

// xs_target.bin of the motion directory when it holds exactly nt x 63 floats, else
// nothing: ramps then go straight to idle.
std::vector<float> readXsTarget(const std::string& dir, int nt) {
  std::vector<float> v;
  try {
    std::ifstream in(resolveMember(dir, "xs_target.bin"), std::ios::binary | std::ios::ate);
    if (!in) return v;
    const std::streamoff bytes = in.tellg();
    const std::streamoff want = static_cast<std::streamoff>(nt) * kKp * 4;
    if (bytes != want) return v;
    v.resize(static_cast<size_t>(nt) * kKp);
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(v.data()), want)) v.clear();
  } catch (const std::exception&) {
    v.clear();
  }
  return v;
}


bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}
}  // namespace

Utterance::Utterance(Context& ctx, const UtteranceConfig& cfg)
    : ctx_(ctx),
      cfg_(cfg),
      nt_(ctx.NT()),
      epoch_(Clock::now()),
      xsTarget_(readXsTarget(cfg.motionDir, ctx.NT())),
      out_(ctx.frameBytes()),
      pasteQ_(cfg.pipelinePaste ? static_cast<size_t>(3) * ctx.crop() * ctx.crop() : 0),
      tessQ_(cfg.pipelinePaste ? static_cast<size_t>(3) * ctx.crop() * ctx.crop() : 0, 2) {
  audio_.reserve(16000);
  req_.audio.reserve(16000);
  eagerSent_ = cfg_.hybrid ? 3 : cfg_.eager;
  try {
    conductor_ = std::thread(&Utterance::run, this);
    warmup_ = std::thread(&Utterance::warm, this);
    dispatcher_ = std::thread(&Utterance::dispatchLoop, this);
    if (cfg_.pipelinePaste) paster_ = std::thread(&Utterance::pasteLoop, this);
  } catch (...) {
    // No destructor runs for a half-built session: the threads already started are
    // stopped and joined here.
    shutdown();
    throw;
  }
}

Utterance::~Utterance() {
  shutdown();
  if (cfg_.stageReport) writeStageReport();
}

void Utterance::shutdown() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    pasteStop_ = true;
    tessStop_ = true;
  }
  cv_.notify_all();
  pasteCv_.notify_all();
  pasteRoomCv_.notify_all();
  tessCv_.notify_all();
  if (tesser_.joinable()) tesser_.join();
  if (paster_.joinable()) paster_.join();
  if (conductor_.joinable()) conductor_.join();
  if (warmup_.joinable()) warmup_.join();
  mailbox_.stop();
  if (dispatcher_.joinable()) dispatcher_.join();
  model_.reset();
  // An utterance whose last frames the host never pulled is told with those it did.
  if (heldTel_.valid) {
    heldTel_.frames -= heldUnread_;
    emitUtteranceTelemetry(heldTel_);
    heldTel_ = UttTelemetry{};
  }
}

double Utterance::sinceMs(Clock::time_point t) const {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

size_t Utterance::frameBytes() const { return ctx_.frameBytes(); }

bool Utterance::hasChunkRenderer() {
  std::lock_guard<std::mutex> lk(mu_);
  return chunk_ != nullptr;
}

// ---------------------------------------------------------------- host side

int Utterance::ready(std::string* error) {
  std::lock_guard<std::mutex> lk(mu_);
  if (modelFailed_) {
    if (error) *error = modelError_;
    return -1;
  }
  return model_ ? 1 : 0;
}

void Utterance::pushAudio(const int16_t* samples, int count) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    const double now = sinceMs(epoch_);
    lastPushMs_ = now;
    // Speech that arrives before the model can hear it is dropped, and does not open an
    // utterance: its first-frame latency starts with audio the session can use.
    if (!model_ || count <= 0) return;
    if (segments_.empty() || segments_.back().ended) segments_.push_back(Segment{0, now, false, false});
    segments_.back().samples += static_cast<size_t>(count);
    const size_t at = audio_.size();
    audio_.resize(at + static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) audio_[at + i] = samples[i] * (1.0f / 32768.0f);
  }
  cv_.notify_all();
}

void Utterance::endUtterance() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    // Without an open utterance there is nothing to end.
    if (!segments_.empty()) segments_.back().ended = true;
  }
  cv_.notify_all();
}

void Utterance::interrupt() {
  UttTelemetry cut;
  {
    std::lock_guard<std::mutex> lk(mu_);
    // The unread speech frames are the newest: first the last ones of an utterance
    // whose telling waits for them, then those of the utterance being made.
    int64_t unread = out_.unreadOfKind(KA_UTT_SPEECH);
    if (heldTel_.valid) {
      cut = heldTel_;
      cut.frames -= heldUnread_;
      cut.interrupted = true;
      unread -= heldUnread_;
      heldTel_ = UttTelemetry{};
    }
    if (uttMark_.active)
      speechDropped_ += std::clamp<int64_t>(unread, 0, speechDelivered_ - uttMark_.speechDelivered);
    audio_.clear();
    segments_.clear();
    out_.clear();
    pasteQ_.clear();
    tessQ_.clear();
    ++generation_;
  }
  cv_.notify_all();
  pasteRoomCv_.notify_all();
  emitUtteranceTelemetry(cut);
}

int Utterance::framesAvailable() {
  std::lock_guard<std::mutex> lk(mu_);
  return out_.unread();
}

int Utterance::pull(uint8_t* rgb, size_t cap, ka_utt_frame_info* info, float* kp) {
  UttTelemetry told;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (cap < ctx_.frameBytes()) return -1;
    if (out_.unread() == 0) return 0;
    const OutputSlot& s = out_.front();
    std::memcpy(rgb, s.rgb.data(), ctx_.frameBytes());
    if (info) {
      info->seq = s.seq;
      info->kind = s.kind;
      info->driver_index = s.driverIndex;
      info->speech_index = s.speechIndex;
    }
    if (kp) std::copy_n(s.kp, kKp, kp);
    lastPulled_.valid = true;
    lastPulled_.kind = s.kind;
    lastPulled_.driverIndex = s.driverIndex;
    std::copy_n(s.kp, kKp, lastPulled_.kp);
    ++stats_.frames_out;
    if (s.kind == KA_UTT_SPEECH) {
      ++stats_.speech_frames_out;
      if (heldTel_.valid && --heldUnread_ == 0) std::swap(told, heldTel_);
    }
    out_.pop();
  }
  cv_.notify_all();
  emitUtteranceTelemetry(told);
  return 1;
}

ka_utt_stats Utterance::stats() {
  std::lock_guard<std::mutex> lk(mu_);
  ka_utt_stats s = stats_;
  s.state = state();
  return s;
}

int Utterance::renderStatus(int* failures, std::string* text) {
  std::lock_guard<std::mutex> lk(mu_);
  if (failures) *failures = failures_;
  if (text) *text = failText_;
  return fatal_ ? -1 : 0;
}

int Utterance::teethStatus(int64_t* borrowed, int64_t* refused, std::string* text) {
  std::lock_guard<std::mutex> lk(mu_);
  if (borrowed) *borrowed = teethBorrowed_;
  if (refused) *refused = teethRefused_;
  if (text) *text = teethText_;
  if (!teeth_) return 0;
  return teethFailed_ ? -1 : 1;
}

bool Utterance::teethGeometry(std::string* text) {
  std::lock_guard<std::mutex> lk(mu_);
  if (text) *text = teeth_ ? teethGeometry_ : std::string();
  return teeth_ != nullptr;
}

bool Utterance::teethSynth(TeethSynthStats* out) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!teeth_ || teethSynth_.frames < 1) return false;
  if (out) *out = teethSynth_;
  return true;
}

int Utterance::cropSide() const { return ctx_.crop(); }

const std::string& Utterance::lipTemplate() const { return ctx_.manifest().lipTemplate; }

void Utterance::attachTeeth(std::shared_ptr<TeethStage> stage) {
  std::string geometry = stage ? stage->geometry() : std::string();
  std::lock_guard<std::mutex> lk(mu_);
  // The thread first: if it cannot start, the session stays as it was.
  if (stage && cfg_.pipelinePaste && !tesser_.joinable()) tesser_ = std::thread(&Utterance::tessLoop, this);
  teeth_ = std::move(stage);
  teethPipelined_ = teeth_ && cfg_.pipelinePaste;
  teethGeometry_ = std::move(geometry);
  teethBorrowed_ = teethRefused_ = 0;
  teethFailed_ = false;
  teethText_.clear();
  teethSynth_ = TeethSynthStats{};
}

void Utterance::noteRenderFail(const char* stage, const std::string& what, bool fatal) {
  // The provider is read before the lock: it never changes once the renderer exists.
  std::string text = "ep=" + (ctx_.hasRenderer() ? ctx_.renderer().ep() : std::string("unknown"));
  text += " ";
  text += stage;
  text += ": ";
  text += what.empty() ? "unknown failure" : what;
  std::lock_guard<std::mutex> lk(mu_);
  ++failures_;
  failText_ = std::move(text);
  if (fatal) fatal_ = true;
}

// ---------------------------------------------------------------- warm-up

void Utterance::warm() {
  std::unique_ptr<MotionModel> model;
  std::string error;
  try {
    model = std::make_unique<MotionModel>(cfg_.useA2x, cfg_.motionDir, cfg_.threads, cfg_.motionEp, nt_);
    model->setEager(cfg_.hybrid ? 3 : cfg_.eager);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown failure";
  }
  if (!model) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      modelFailed_ = true;
      modelError_ = error.empty() ? "unknown failure" : error;
    }
    cv_.notify_all();
    return;
  }

  bool stopping = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    stopping = stop_;
  }
  std::unique_ptr<Renderer> chunk;
  if (!cfg_.steadyModel.empty() && !stopping) {
    try {
      chunk = std::make_unique<Renderer>(ctx_.manifest(), ctx_.identity(), cfg_.steadyModel,
                                         ctx_.directorThreads(cfg_.directorShare), ctx_.ep());
    } catch (const std::exception&) {
      // A bundle without the chunk model renders frame by frame.
    }
  }
  Renderer& single = ctx_.renderer();
  if (chunk && startsWith(single.ep(), "coreml-native") && !startsWith(chunk->ep(), "coreml-native")) {
    KA_LOG_WARN(
        "[ka_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on "
        "ep=%s while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own "
        "CoreML director costs MORE per frame than the per-frame path it was meant to amortize, "
        "and letting timing choose between two runtimes makes the delivered pixels depend on "
        "scheduling.\n",
        cfg_.steadyModel.c_str(), single.ep().c_str(), chunk->ep().c_str());
    chunk.reset();
  }

  if (ctx_.frames() > 0 && !stopping) {
    int si = ctx_.drive().si[0];
    const float* kp = ctx_.drive().xs.data();
    for (Renderer* r : {&single, chunk.get()}) {
      if (!r) continue;
      try {
        r->render(&si, kp, kp, 1);
      } catch (const std::exception& e) {
        noteRenderFail("warm-up", e.what(), false);
      } catch (...) {
        noteRenderFail("warm-up", "", false);
      }
    }
  }

  {
    std::lock_guard<std::mutex> lk(mu_);
    chunk_ = std::move(chunk);
    model_ = std::move(model);
  }
  cv_.notify_all();
}

// ---------------------------------------------------------------- dispatcher

void Utterance::dispatchLoop() {
  MotionModel* model = nullptr;
  {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [&] { return stop_ || model_ || modelFailed_; });
    if (stop_ || !model_) return;
    model = model_.get();
  }
  mailbox_.serve(*model);
}

// ---------------------------------------------------------------- conductor

Utterance::Pass Utterance::takePass() {
  Pass p;
  std::lock_guard<std::mutex> lk(mu_);
  p.stop = stop_;
  p.generation = generation_;
  p.interrupted = generation_ != seenGen_;
  p.chunk = chunk_.get();
  p.stepFrames = model_ ? model_->stepFrames() : 1;
  p.queued = out_.unread() + pasting_ + pasteQ_.size() + tessQ_.size();
  p.outFull = out_.full();
  p.pasteBackoff = pasteFailStreak_ > 0 && sinceMs(epoch_) < pasteRetryMs_;
  if (p.interrupted) {
    p.lastPulled = lastPulled_;
    return p;
  }
  // Audio waits while a ramp plays or while the current utterance is being finished:
  // it belongs to the next utterance.
  if (model_ && state() != kRamp && !finishWanted_ && !segments_.empty()) {
    Segment& seg = segments_.front();
    if (!seg.begun) {
      seg.begun = true;
      uttPushMs_ = seg.firstPushMs;
      beginUtterance();
    }
    if (seg.samples > 0) {
      const auto end = audio_.begin() + static_cast<std::ptrdiff_t>(seg.samples);
      req_.audio.insert(req_.audio.end(), audio_.begin(), end);
      audio_.erase(audio_.begin(), end);
      if (firstAvail_ > 0) fedSinceAvail_ += static_cast<int64_t>(seg.samples);
      seg.samples = 0;
      p.newAudio = true;
    }
    if (seg.ended) {
      finishWanted_ = true;
      segments_.pop_front();
    }
  }
  if (speaking() && !finishWanted_ && cfg_.autoEndMs >= 0.0 &&
      sinceMs(epoch_) - lastPushMs_ >= cfg_.autoEndMs) {
    finishWanted_ = true;
    if (!segments_.empty() && segments_.front().begun) segments_.pop_front();
  }
  return p;
}

void Utterance::beginUtterance() {
  // Called with mu_ held, from takePass. An utterance whose last frames are still on
  // their way is told now, with what has been delivered of it.
  if (uttMark_.active) deferredTel_ = takeUtteranceTelemetry();
  uttMark_ = UttMark{true, speechDelivered_, speechDropped_, teethBorrowed_, teethRefused_, speechPasteMs_,
                     failures_};
  ring_.clear();
  pulled_ = remaining_ = 0;
  total_ = -1;
  finishWanted_ = finishSent_ = false;
  resetPending_ = true;
  // Where idle stands now; the walk is fixed when the first frames are taken, at the
  // index idle has reached by then.
  resetStart_ = idleCursor_;
  firstAvail_ = 0;
  fedSinceAvail_ = 0;
  speechIndex_ = 0;
  renderedAny_ = false;
  lastJobGot_ = true;
  setState(kPending);
}

void Utterance::onInterrupt(const LastPulled& lp) {
  recordUtteranceTelemetry(true);
  // Inline, the held frame belongs to the interrupted utterance; the teeth thread drops
  // its own when the first frame of the new generation reaches it.
  if (!cfg_.pipelinePaste && teethActive_) teethActive_->drop();
  ring_.clear();
  req_.audio.clear();
  pulled_ = remaining_ = 0;
  total_ = -1;
  finishWanted_ = finishSent_ = resetPending_ = false;
  firstAvail_ = 0;
  fedSinceAvail_ = 0;
  speechIndex_ = 0;
  renderedAny_ = false;
  firstPullInFlight_ = false;
  // A job still running belongs to the old generation; collectJob drops its frames.
  if (lp.valid) idleCursor_ = (lp.driverIndex + 1) % nt_;
  if (lp.valid && lp.kind == KA_UTT_SPEECH && !xsTarget_.empty())
    startRamp(lp.driverIndex, lp.kp, cfg_.interruptRampFrames);
  else
    setState(kIdle);
}

void Utterance::collectJob() {
  if (!jobInFlight_ || !mailbox_.done()) return;
  jobInFlight_ = firstPullInFlight_ = false;
  if (jobGen_ != seenGen_) return;
  const DispatchResponse& r = mailbox_.response();
  if (r.failed) {
    // The model cannot go on with this utterance: what was rendered ramps out, the
    // rest of its audio is lost, and the next push starts a new utterance.
    noteRenderFail("motion", r.error, false);
    finishWanted_ = finishSent_ = true;
    total_ = pulled_;
    remaining_ = 0;
    lastJobGot_ = false;
    std::lock_guard<std::mutex> lk(mu_);
    if (!segments_.empty() && segments_.front().begun) {
      const Segment& seg = segments_.front();
      audio_.erase(audio_.begin(), audio_.begin() + static_cast<std::ptrdiff_t>(seg.samples));
      segments_.pop_front();
    }
    return;
  }
  const int n = std::min(r.pulled, ring_.room());
  if (n > 0) ring_.append(n, r.si.data(), r.xs.data(), r.xd.data());
  pulled_ += n;
  remaining_ = r.remaining >= 0 ? r.remaining : std::max(0, remaining_ - n);
  if (pulled_ == 0 && firstAvail_ == 0 && remaining_ > 0) {
    firstAvail_ = remaining_;
    fedSinceAvail_ = 0;
  }
  total_ = r.total;
  lastJobGot_ = n > 0;
}

void Utterance::postRequest(const Pass& p) {
  if (!speaking() || jobInFlight_) return;
  const bool needFinish = finishWanted_ && !finishSent_;
  const bool exhausted = total_ >= 0 && pulled_ >= total_;
  const int pending = ring_.pending();
  const int b = p.chunk ? p.chunk->batch() : 0;
  const bool chunkFill = b > 1 && pending < b && remaining_ > 0 && pending + remaining_ >= b;
  const bool starving = pending < kLowWater && !exhausted;
  const bool haveAudio = !req_.audio.empty();
  if (!haveAudio && !needFinish && !chunkFill && !starving) return;
  // Polling a model that had nothing last time is throttled.
  const double now = sinceMs(epoch_);
  const bool awaitingStep = pulled_ == 0 && !firstFramesDue(p);
  if (!haveAudio && !needFinish && !resetPending_ && (remaining_ == 0 || awaitingStep) && !lastJobGot_ &&
      now - lastPollMs_ < kPollMs)
    return;

  int eager = cfg_.eager;
  if (cfg_.hybrid) {
    const int buffered = pending + remaining_ + p.queued;
    if (eagerCadence_ == 3 && buffered > 23) eagerCadence_ = 24;
    else if (eagerCadence_ == 24 && buffered < 12) eagerCadence_ = 3;
    eager = eagerCadence_;
  }
  req_.reset = resetPending_;
  req_.start = resetStart_;
  req_.direction = 1;
  req_.eager = eager != eagerSent_ ? eager : 0;
  req_.finish = needFinish;
  // Until the model has frames, jobs only feed it: the idle loop goes on meanwhile, and
  // the first frames are taken at the index it has reached, so the walk has no seam.
  const bool first = pulled_ == 0 && firstFramesDue(p);
  req_.continueAt = first ? idleCursor_ : -1;
  req_.maxFrames = pulled_ == 0 && !first ? 0 : ring_.room();
  firstPullInFlight_ = first;
  mailbox_.post(req_);
  eagerSent_ = eager;
  jobInFlight_ = true;
  jobGen_ = seenGen_;
  resetPending_ = false;
  if (needFinish) finishSent_ = true;
  lastPollMs_ = now;
}

// The model makes frames final a step at a time (8 for the streaming engine). Shown as
// soon as the first ones are ready, speech would run dry before the next step lands and
// the picture would stop there; so the first frame waits until the frames ready, plus
// the audio that has arrived since they became ready, cover a whole step. From then on
// each step lands before the previous one has played out.
bool Utterance::firstFramesDue(const Pass& p) const {
  if (remaining_ <= 0) return false;
  if (remaining_ >= p.stepFrames || finishSent_) return true;
  return fedSinceAvail_ >= static_cast<int64_t>(p.stepFrames - firstAvail_) * kFrameSamples;
}

int Utterance::chunkWidth(const Pass& p) const {
  if (!renderedAny_ || !p.chunk) return 1;
  const int b = p.chunk->batch();
  const int pending = ring_.pending();
  if (pending >= b) return b;
  if (jobInFlight_ && pending + remaining_ >= b) return 0;  // the job brings a full chunk
  return 1;
}

void Utterance::run() {
  for (;;) {
    bool worked = false;
    try {
      const Pass p = takePass();
      if (p.stop) return;
      if (deferredTel_.valid) {
        emitUtteranceTelemetry(deferredTel_);
        deferredTel_ = UttTelemetry{};
      }
      if (p.interrupted) {
        seenGen_ = p.generation;
        onInterrupt(p.lastPulled);
        continue;
      }
      collectJob();
      postRequest(p);

      if (speaking() && ring_.pending() > 0 && !p.outFull) {
        const int w = chunkWidth(p);
        if (w > 0) {
          setState(kSpeaking);
          renderSpeech(w, p.chunk);
          worked = true;
        }
      }
      if (speaking() && finishSent_ && total_ >= 0 && pulled_ >= total_ && ring_.pending() == 0 &&
          !jobInFlight_)
        endSpeech();
      if (state() == kRamp && rampLeft_ > 0 && !p.outFull) {
        produceRamp();
        worked = true;
      }
      if (showingIdle() && p.queued < idleLead_.load(std::memory_order_relaxed) && !p.pasteBackoff) {
        if (enqueue(nullptr, KA_UTT_IDLE, idleCursor_, -1, nullptr, nullptr))
          idleCursor_ = (idleCursor_ + 1) % nt_;
        worked = true;
      }
    } catch (const std::exception& e) {
      noteRenderFail("conductor", e.what(), true);
    } catch (...) {
      noteRenderFail("conductor", "", true);
    }
    if (!worked) {
      std::unique_lock<std::mutex> lk(mu_);
      if (stop_) return;
      cv_.wait_for(lk, kStep);
    }
  }
}

void Utterance::renderSpeech(int max, Renderer* chunk) {
  const int n = std::min(max, ring_.pending());
  const size_t cropFloats = static_cast<size_t>(3) * ctx_.crop() * ctx_.crop();
  const float* crops = nullptr;
  double chunkMs = 0.0;
  if (n >= 2 && chunk && chunk->batch() >= n) {
    const auto t0 = Clock::now();
    try {
      crops = chunk->render(ring_.siAt(0), ring_.xs(0), ring_.xd(0), n);
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
    } catch (...) {
      noteRenderFail("b24 chunk", "", false);
    }
    chunkMs = sinceMs(t0) / n;
  }
  bool any = false;
  for (int k = 0; k < n; ++k) {
    const int si = ring_.si(0);
    const float* crop = nullptr;
    double ms = chunkMs;
    if (crops) {
      crop = crops + static_cast<size_t>(k) * cropFloats;
    } else {
      // A failed chunk falls back to frame-by-frame rendering.
      const auto t0 = Clock::now();
      try {
        crop = ctx_.renderer().render(ring_.siAt(0), ring_.xs(0), ring_.xd(0), 1);
      } catch (const std::exception& e) {
        noteRenderFail("render", e.what(), false);
      } catch (...) {
        noteRenderFail("render", "", true);
      }
      ms = sinceMs(t0);
    }
    if (crop) {
      idleCursor_ = lastIndex_ = si;
      std::copy_n(ring_.xd(0), kKp, lastKp_);
      const auto h0 = Clock::now();
      if (!enqueue(crop, KA_UTT_SPEECH, si, speechIndex_, ring_.xd(0), nullptr)) break;
      const double handoff = sinceMs(h0);
      any = renderedAny_ = true;
      ++speechIndex_;
      std::lock_guard<std::mutex> lk(mu_);
      stats_.render_ms = haveRenderMs_ ? 0.9 * stats_.render_ms + 0.1 * ms : ms;
      haveRenderMs_ = true;
      stageAMs_ += ms + handoff;
      ++stageAFrames_;
    }
    // A frame that failed to render is skipped; the speech indices stay gapless.
    ring_.advance(1);
  }
  if (any) idleCursor_ = (lastIndex_ + 1) % nt_;
}

void Utterance::startRamp(int fromIndex, const float* kp, int length) {
  const float* base = xsTarget_.data() + static_cast<size_t>(fromIndex) * kKp;
  for (int j = 0; j < kKp; ++j) rampDelta_[j] = kp[j] - base[j];
  rampLen_ = rampLeft_ = length;
  setState(kRamp);
}

void Utterance::endSpeech() {
  // With speech rendered, the utterance is told once its last frame is delivered.
  if (!renderedAny_) recordUtteranceTelemetry();
  finishWanted_ = finishSent_ = false;
  if (renderedAny_ && !xsTarget_.empty()) {
    idleCursor_ = (lastIndex_ + 1) % nt_;
    startRamp(lastIndex_, lastKp_, cfg_.endRampFrames);
  } else {
    setState(kIdle);
  }
}

Utterance::UttTelemetry Utterance::takeUtteranceTelemetry() {
  UttTelemetry t;
  if (!uttMark_.active) return t;
  const UttMark& m = uttMark_;
  uttMark_.active = false;
  t.valid = true;
  t.frames = (speechDelivered_ - speechDropped_) - (m.speechDelivered - m.speechDropped);
  t.pasteMs = speechPasteMs_ - m.pasteMs;
  t.failures = failures_ - m.failures;
  t.teeth = teeth_ != nullptr;
  // An attach during the utterance restarts the teeth counters.
  t.borrowed = teethBorrowed_ >= m.borrowed ? teethBorrowed_ - m.borrowed : teethBorrowed_;
  t.refused = teethRefused_ >= m.refused ? teethRefused_ - m.refused : teethRefused_;
  t.firstFrameMs = stats_.first_frame_ms;
  t.renderMs = stats_.render_ms;
  return t;
}

void Utterance::emitUtteranceTelemetry(const UttTelemetry& t) {
  auto& tel = telemetry::Recorder::instance();
  if (!t.valid || !tel.enabled()) return;
  tel.record("utt.speech_frames", static_cast<double>(t.frames));
  tel.record("utt.interrupted", t.interrupted ? 1.0 : 0.0);
  tel.record("utt.render_failures", t.failures);
  if (t.frames > 0) {
    tel.record("utt.first_frame_ms", t.firstFrameMs);
    tel.record("utt.render_ms", t.renderMs);
    tel.record("utt.paste_ms", t.pasteMs / static_cast<double>(t.frames));
  }
  if (t.teeth) {
    tel.record("utt.teeth_borrowed", static_cast<double>(t.borrowed));
    tel.record("utt.teeth_refused", static_cast<double>(t.refused));
  }
}

void Utterance::recordUtteranceTelemetry(bool interrupted) {
  UttTelemetry t;
  {
    std::lock_guard<std::mutex> lk(mu_);
    t = takeUtteranceTelemetry();
  }
  t.interrupted = interrupted;
  emitUtteranceTelemetry(t);
}

void Utterance::produceRamp() {
  int si = idleCursor_;
  const float* base = xsTarget_.data() + static_cast<size_t>(si) * kKp;
  const float w = static_cast<float>(rampLeft_ - 1) / static_cast<float>(rampLen_);
  for (int j = 0; j < kKp; ++j) rampKp_[j] = w * rampDelta_[j] + base[j];
  const float* crop = nullptr;
  try {
    crop = ctx_.renderer().render(&si, base, rampKp_, 1);
  } catch (const std::exception& e) {
    noteRenderFail("ramp", e.what(), true);
  } catch (...) {
    noteRenderFail("ramp", "", true);
  }
  lastIndex_ = si;
  std::copy_n(rampKp_, kKp, lastKp_);
  if (crop && !enqueue(crop, KA_UTT_RAMP, si, -1, rampKp_, nullptr)) return;
  idleCursor_ = (si + 1) % nt_;
  if (--rampLeft_ == 0) setState(kIdle);
}

// ---------------------------------------------------------------- frame hand-off

bool Utterance::enqueue(const float* crop, int kind, int driverIndex, int speechIndex,
                        const float* kp, double* latencyMs) {
  std::shared_ptr<TeethStage> stage;
  {
    std::lock_guard<std::mutex> lk(mu_);
    stage = teeth_;
  }
  if (!stage) return enqueueRaw(crop, kind, driverIndex, speechIndex, kp, latencyMs);
  if (cfg_.pipelinePaste) return enqueueTess(crop, kind, driverIndex, speechIndex, kp);
  const TeethFrame f{crop, kind, driverIndex, speechIndex, kp, seenGen_, Clock::now()};
  return teethStep(stage, f, &Utterance::deliverInline);
}

bool Utterance::teethStep(const std::shared_ptr<TeethStage>& stage, const TeethFrame& f,
                          TeethStage::Deliver deliver) {
  if (stage != teethActive_) {
    // A new attach: the replaced pass hands over the frame it held, uncounted, so no
    // frame of the stream is lost to the swap.
    if (teethActive_) {
      countTeeth_ = false;
      try {
        teethActive_->drain(deliver, this);
      } catch (...) {
        teethActive_->drop();  // the old pass's last frame is lost, the new one starts clean
      }
      countTeeth_ = true;
    }
    teethActive_ = stage;
  }
  bool failed = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    failed = teethFailed_ && teeth_ == stage;
    if (failed && f.crop) {
      ++teethRefused_;  // a failed pass refuses faces; the video goes on without them
      return true;
    }
  }
  bool ok = true;
  std::string error;
  try {
    ok = f.crop ? stage->push(f, deliver, this) : stage->drain(deliver, this);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown failure";
  }
  if (!error.empty()) {
    stage->drop();
    ok = true;
  }
  // A frame without a face follows the one the stage released.
  if (!f.crop) ok = deliver(this, f);
  std::lock_guard<std::mutex> lk(mu_);
  if (teeth_ != stage) return ok;
  if (!error.empty()) {
    teethFailed_ = true;
    ++teethRefused_;
    teethText_ = std::move(error);
  }
  teethSynth_ = stage->synthStats();
  return ok;
}

void Utterance::countBorrowed(const TeethFrame& f) {
  if (!f.borrowed || !countTeeth_) return;
  std::lock_guard<std::mutex> lk(mu_);
  ++teethBorrowed_;
}

bool Utterance::deliverInline(void* self, const TeethFrame& f) {
  auto* u = static_cast<Utterance*>(self);
  const bool ok = u->enqueueRaw(f.crop, f.kind, f.driverIndex, f.speechIndex, f.kp, nullptr);
  if (ok) u->countBorrowed(f);
  return ok;
}

bool Utterance::tessEmitHeldP(void* self, const TeethFrame& f) {
  auto* u = static_cast<Utterance*>(self);
  const bool ok = u->pushPaste(f);
  if (ok) u->countBorrowed(f);
  return ok;
}

bool Utterance::enqueueTess(const float* crop, int kind, int driverIndex, int speechIndex,
                            const float* kp) {
  const TeethFrame f{crop, kind, driverIndex, speechIndex, kp, seenGen_};
  return queueFrame(tessQ_, tessQ_.capacity(), cv_, tessCv_, f, true);
}

void Utterance::tessLoop() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    tessCv_.wait(lk, [&] { return stop_ || tessStop_ || !tessQ_.empty(); });
    if (stop_ || tessStop_) return;
    PasteJob* job = tessQ_.pop();
    const bool stale = job->generation != generation_;
    std::shared_ptr<TeethStage> stage = teeth_;
    lk.unlock();
    cv_.notify_all();
    const auto t0 = Clock::now();
    if (!stale && stage) tessStage(*job, stage);
    const double ms = sinceMs(t0);
    lk.lock();
    tessQ_.release(job);
    if (!stale) {
      ++jobsB_;
      stageBMs_ += ms;
    }
  }
}

void Utterance::tessStage(const PasteJob& job, const std::shared_ptr<TeethStage>& stage) {
  // The first frame of a new generation: the held one was interrupted.
  if (teethActive_ && job.generation != teethHeldGen_) teethActive_->drop();
  teethHeldGen_ = job.generation;
  TeethFrame f{job.hasCrop ? job.crop.data() : nullptr, job.kind, job.driverIndex, job.speechIndex,
               job.kp, job.generation, job.madeAt};
  teethStep(stage, f, &Utterance::tessEmitHeldP);
}

bool Utterance::pushPaste(const TeethFrame& f) {
  // The teeth thread keeps the paste queue short: it is the last hop before the ring.
  return queueFrame(pasteQ_, 2, pasteRoomCv_, pasteCv_, f, false);
}

bool Utterance::enqueueRaw(const float* crop, int kind, int driverIndex, int speechIndex,
                           const float* kp, double* latencyMs) {
  if (cfg_.pipelinePaste) return enqueuePipe(crop, kind, driverIndex, speechIndex, kp);
  return pasteInto(crop, kind, driverIndex, speechIndex, kp, seenGen_, Clock::now(), latencyMs);
}

bool Utterance::enqueuePipe(const float* crop, int kind, int driverIndex, int speechIndex,
                            const float* kp) {
  const TeethFrame f{crop, kind, driverIndex, speechIndex, kp, seenGen_};
  return queueFrame(pasteQ_, PasteQueue::kCapacity, cv_, pasteCv_, f, true);
}

bool Utterance::queueFrame(PasteQueue& q, int limit, std::condition_variable& room,
                           std::condition_variable& wake, const TeethFrame& f, bool countWait) {
  const auto t0 = Clock::now();
  PasteJob* job = nullptr;
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    if (stop_ || f.generation != generation_) return false;
    if (q.size() < limit && (job = q.acquire())) break;
    room.wait_for(lk, kStep);
  }
  if (countWait) stageAWaitMs_ += sinceMs(t0);
  lk.unlock();

  job->hasCrop = f.crop != nullptr;
  if (f.crop) std::copy_n(f.crop, job->crop.size(), job->crop.data());
  job->kind = f.kind;
  job->driverIndex = f.driverIndex;
  job->speechIndex = f.speechIndex;
  if (f.kp)
    std::copy_n(f.kp, kKp, job->kp);
  else
    std::fill_n(job->kp, kKp, 0.0f);
  job->generation = f.generation;
  // A frame keeps the time it was first queued through every later queue.
  job->madeAt = f.madeAt == Clock::time_point{} ? Clock::now() : f.madeAt;

  lk.lock();
  if (stop_ || f.generation != generation_) {
    q.release(job);
    return false;
  }
  q.submit(job);
  lk.unlock();
  wake.notify_one();
  return true;
}

void Utterance::pasteLoop() {
  // The network renders the next frame on the other cores meanwhile.
  pool::limitThisThread(cfg_.pasteThreads);
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    pasteCv_.wait(lk, [&] { return stop_ || pasteStop_ || !pasteQ_.empty(); });
    if (stop_ || pasteStop_) return;
    PasteJob* job = pasteQ_.pop();
    const bool stale = job->generation != generation_;
    pasting_ = 1;
    lk.unlock();
    cv_.notify_all();
    pasteRoomCv_.notify_all();
    bool done = false;
    const auto t0 = Clock::now();
    if (!stale)
      done = pasteInto(job->hasCrop ? job->crop.data() : nullptr, job->kind, job->driverIndex,
                       job->speechIndex, job->kp, job->generation, job->madeAt, nullptr);
    const double ms = sinceMs(t0);
    lk.lock();
    pasteQ_.release(job);
    pasting_ = 0;
    if (done) {
      ++jobsC_;
      stageCMs_ += ms;
    }
  }
}

bool Utterance::pasteInto(const float* crop, int kind, int driverIndex, int speechIndex,
                          const float* kp, uint64_t generation, Clock::time_point madeAt,
                          double* latencyMs) {
  std::unique_lock<std::mutex> lk(mu_);
  // Idle frames queued before the driver video failed are not asked of it again.
  if (!crop && pasteFailStreak_ > 0 && sinceMs(epoch_) < pasteRetryMs_) return true;
  for (;;) {
    if (stop_ || generation != generation_) return false;
    if (!out_.full()) break;
    cv_.wait_for(lk, kStep);
  }
  // Only this thread writes frames, and the slot after the last unread one stays
  // invisible to the host until publish().
  OutputSlot& slot = out_.writeSlot();
  lk.unlock();

  const auto t0 = Clock::now();
  try {
    if (crop) {
      // Composited straight from the cursor's ring slot, each row copied as it is blended.
      int got = -1;
      const uint8_t* driver = ctx_.cursor().pullAt(driverIndex, &got);
      ctx_.compositor().composite(crop, 255.0f, ctx_.identity().M(driverIndex), driver, slot.rgb.data(),
                                  ctx_.W(), ctx_.H());
    } else {
      ctx_.cursor().pullAt(driverIndex, slot.rgb.data());
      ctx_.identity().walkP(driverIndex);
    }
  } catch (const std::exception& e) {
    // The frame is lost, not retried; the idle loop backs off before its next one.
    pasteFailed(e.what());
    return true;
  } catch (...) {
    pasteFailed("");
    return true;
  }
  const double pasteMs = sinceMs(t0);
  if (latencyMs) *latencyMs += pasteMs;
  slot.kind = kind;
  slot.driverIndex = driverIndex;
  slot.speechIndex = speechIndex;
  if (kp)
    std::copy_n(kp, kKp, slot.kp);
  else
    std::fill_n(slot.kp, kKp, 0.0f);

  lk.lock();
  pasteFailStreak_ = 0;
  if (stop_ || generation != generation_) return false;
  out_.publish();
  // The first frame after an utterance's speech closes it for telemetry.
  const bool uttDelivered = kind != KA_UTT_SPEECH && lastPublishedKind_ == KA_UTT_SPEECH;
  lastPublishedKind_ = kind;
  UttTelemetry told = uttDelivered ? takeUtteranceTelemetry() : UttTelemetry{}, older;
  // Told once the host has pulled its last speech frame: until then an interruption may
  // still drop some of them.
  if (told.valid) {
    const int unread = static_cast<int>(std::min<int64_t>(out_.unreadOfKind(KA_UTT_SPEECH), told.frames));
    if (unread > 0) {
      older = heldTel_;  // one still waiting for its frames: told as it stands
      heldTel_ = told;
      heldUnread_ = unread;
      told = UttTelemetry{};
    }
  }
  if (kind == KA_UTT_SPEECH) {
    ++speechDelivered_;
    speechPasteMs_ += pasteMs;
    deliverLatMs_ += sinceMs(madeAt);
    if (speechIndex == 0) {
      ++stats_.utterances;
      stats_.first_frame_ms = sinceMs(epoch_) - uttPushMs_;
    }
  }
  lk.unlock();
  cv_.notify_all();
  emitUtteranceTelemetry(older);
  emitUtteranceTelemetry(told);
  return true;
}

void Utterance::pasteFailed(const std::string& what) {
  noteRenderFail("paste", what, true);
  std::lock_guard<std::mutex> lk(mu_);
  const int doublings = std::min(pasteFailStreak_++, 5);
  pasteRetryMs_ = sinceMs(epoch_) + std::min(kPasteBackoffMs * (1 << doublings), kPasteBackoffMaxMs);
}

// ---------------------------------------------------------------- stage report

void Utterance::writeStageReport() {
  const int pipe = teethPipelined_ ? 1 : 0;
  if (jobsC_ > 0) {
    const double frames = stageAFrames_ > 0 ? static_cast<double>(stageAFrames_) : 1.0;
    const double a = stageAMs_ / frames;
    const double wait = stageAWaitMs_ / frames;
    KA_LOG_INFO(
        "[ka_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f "
        "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech "
        "frames\n",
        pipe, static_cast<long long>(jobsB_), static_cast<long long>(jobsC_), a, a - wait, wait,
        jobsB_ > 0 ? stageBMs_ / jobsB_ : 0.0, stageCMs_ / jobsC_,
        speechDelivered_ > 0 ? deliverLatMs_ / speechDelivered_ : 0.0,
        static_cast<long long>(speechDelivered_));
  } else {
    KA_LOG_INFO(
        "[ka_utt-stage] MEASURED NOTHING — the stage report was asked for and the paste-job "
        "counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). "
        "stageA/stageB/stageC and the deliver latency are NOT reported rather than reported as "
        "zero: on this path the paste does not run through the counted queue.\n",
        pipe, static_cast<long long>(jobsB_), static_cast<long long>(speechDelivered_));
  }
}

}  // namespace ka
