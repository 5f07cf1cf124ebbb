#include "tools/serve/live_loop.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "base/log.h"
#include "tools/serve/live_metrics.h"

namespace ka::serve {
namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::microseconds(1000000 / kFps);
// Frame messages kept for reuse: a message is free again once no page's queue holds
// it; queues are bounded, so this many covers the slowest page in the common case.
constexpr size_t kPoolSize = 96;
// An utterance ended before any of its speech was shown is given this long for its
// frames to come out of the session's ring before it is written off.
constexpr auto kUnshownGrace = std::chrono::milliseconds(1000);
// A page that joins waits for a key frame at most this many frames (a second): forced
// key frames come no closer together than that, so pages joining over and over cannot
// make every frame a key frame (each one several times a predicted frame's size, for
// every viewer).
constexpr int64_t kMinForcedKeyGap = kFps;

template <typename T>
void put(uint8_t* at, T v) {
  std::memcpy(at, &v, sizeof v);  // little-endian hosts only, as the page expects
}

std::shared_ptr<const std::string> eventText(uint32_t id, const char* event, double pushMs) {
  char buf[160];
  if (pushMs > 0.0)
    std::snprintf(buf, sizeof buf, "{\"type\":\"utterance\",\"id\":%u,\"event\":\"%s\",\"push_ms\":%.1f}", id, event,
                  pushMs);
  else
    std::snprintf(buf, sizeof buf, "{\"type\":\"utterance\",\"id\":%u,\"event\":\"%s\"}", id, event);
  return std::make_shared<const std::string>(buf);
}
}  // namespace

// CPU time of the calling thread: what encoding costs, whatever else the machine runs.
static int64_t threadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

double wallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

LiveLoop::LiveLoop(ka_utt* session, int width, int height, LiveOutput& out, LiveMetrics& metrics,
                   size_t maxPendingSamples)
    : session_(session),
      srcWidth_(width),
      srcHeight_(height),
      out_(out),
      metrics_(metrics),
      maxPending_(maxPendingSamples),
      encoder_(width, height, kFps) {
  encoder_.codec();  // probed now, not when the first page says hello
}

LiveLoop::~LiveLoop() { stop(); }

void LiveLoop::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void LiveLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(runMu_);
    quit_ = true;
  }
  runCv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool LiveLoop::speaking() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !utts_.empty() && !utts_.back().ended;
}

size_t LiveLoop::pendingSamples() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_;
}

LiveLoop::Push LiveLoop::pushAudio(int owner, const int16_t* pcm, int count, uint32_t* id) {
  std::shared_ptr<const std::string> started;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (pending_ + static_cast<size_t>(count) > maxPending_) return Push::TooMuchAudio;
    if (utts_.empty() || utts_.back().ended) {
      Utterance u;
      u.id = ++nextId_;
      u.owner = owner;
      u.pushMs = wallMs();
      utts_.push_back(std::move(u));
      started = eventText(utts_.back().id, "start", utts_.back().pushMs);
      metrics_.utterances.fetch_add(1);
    }
    Utterance& u = utts_.back();
    if (count > 0 && !ka_utt_push_audio(session_, pcm, count)) return Push::Failed;
    u.pcm.insert(u.pcm.end(), pcm, pcm + count);
    u.pushed += count;
    pending_ += static_cast<size_t>(count);
    if (id) *id = u.id;
  }
  if (started) out_.event(started);
  return Push::Ok;
}

void LiveLoop::endUtterance() {
  std::lock_guard<std::mutex> lock(mu_);
  if (utts_.empty() || utts_.back().ended) return;
  utts_.back().ended = true;
  utts_.back().endedAt = Clock::now();
  ka_utt_end_utterance(session_);
}

void LiveLoop::interrupt() {
  std::vector<std::shared_ptr<const std::string>> events;
  std::vector<std::pair<uint32_t, int>> ended;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ka_utt_interrupt(session_);
    // The session drops what was pending: utterances not yet shown are over now; the
    // one showing ramps back and ends at its first idle frame.
    for (auto it = utts_.begin(); it != utts_.end();) {
      if (!it->shown) {
        const uint32_t id = it->id;
        dropUtterance(it, events, ended);
        it = std::find_if(utts_.begin(), utts_.end(), [&](const Utterance& u) { return u.id > id; });
        continue;
      }
      it->ended = true;
      it->endedAt = Clock::now();
      pending_ -= std::min<size_t>(pending_, it->pcm.size());
      it->pcm.clear();
      ++it;
    }
  }
  for (auto& e : events) out_.event(e);
  for (auto& [id, owner] : ended) out_.utteranceEnded(id, owner);
}

void LiveLoop::dropUtterance(std::deque<Utterance>::iterator it, std::vector<std::shared_ptr<const std::string>>& events,
                             std::vector<std::pair<uint32_t, int>>& ended) {
  pending_ -= std::min<size_t>(pending_, it->pcm.size());
  events.push_back(eventText(it->id, "end", 0.0));
  ended.emplace_back(it->id, it->owner);
  utts_.erase(it);
}

// Under mu_: the frame's speech samples into audio (silence unless a speech frame) and
// its utterance id; utterance events to send once the lock is released.
void LiveLoop::takeFrame(const ka_utt_frame_info& info, int16_t* audio, uint32_t& uttId,
                         std::vector<std::shared_ptr<const std::string>>& events,
                         std::vector<std::pair<uint32_t, int>>& ended) {
  std::fill(audio, audio + kFrameSamples, int16_t{0});
  uttId = 0;
  auto current = utts_.begin();
  const bool haveCurrent = current != utts_.end() && current->shown;
  if (info.kind == KA_UTT_SPEECH) {
    // A speech index that does not continue the one showing starts the next utterance.
    if (haveCurrent && info.speech_index <= lastIndex_) {
      dropUtterance(current, events, ended);
      current = utts_.begin();
    }
    if (current == utts_.end()) return;  // speech nobody pushed for: shown silent
    Utterance& u = *current;
    uttId = u.id;
    lastIndex_ = info.speech_index;
    if (!u.shown) {
      u.shown = true;
      events.push_back(eventText(u.id, "first_frame", u.pushMs));
    }
    const int64_t from = static_cast<int64_t>(info.speech_index) * kFrameSamples;
    // Speech before this frame will not be shown any more.
    while (u.base < from && !u.pcm.empty()) {
      u.pcm.pop_front();
      ++u.base;
      --pending_;
    }
    const int64_t skip = std::max<int64_t>(0, from - u.base);
    for (int i = 0; i < kFrameSamples && skip + i < static_cast<int64_t>(u.pcm.size()); ++i)
      audio[i] = u.pcm[static_cast<size_t>(skip + i)];
    const size_t take = std::min<size_t>(u.pcm.size(), static_cast<size_t>(skip + kFrameSamples));
    u.pcm.erase(u.pcm.begin(), u.pcm.begin() + static_cast<std::ptrdiff_t>(take));
    u.base += static_cast<int64_t>(take);
    pending_ -= std::min(pending_, take);
    return;
  }
  if (info.kind == KA_UTT_RAMP) {
    if (haveCurrent) uttId = current->id;
    return;
  }
  // Idle: the utterance that was showing is over.
  if (haveCurrent) {
    dropUtterance(current, events, ended);
    lastIndex_ = -1;
  }
  // Ended before anything was shown and the session is idle again: its frames are not
  // coming (too short to make one).
  if (!utts_.empty() && !utts_.front().shown && utts_.front().ended &&
      Clock::now() - utts_.front().endedAt > kUnshownGrace) {
    ka_utt_stats st{};
    ka_utt_get_stats(session_, &st);
    if (st.state == 0) dropUtterance(utts_.begin(), events, ended);
  }
}

std::shared_ptr<Bytes> LiveLoop::freeBuffer() {
  for (auto& b : pool_)
    if (b.use_count() == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);  // the last reader is done with it
      return b;
    }
  auto b = std::make_shared<Bytes>();
  if (pool_.size() < kPoolSize) pool_.push_back(b);
  return b;
}

void LiveLoop::run() {
  const int W = srcWidth_;
  std::vector<uint8_t> rgb(static_cast<size_t>(W) * srcHeight_ * 3, 0);
  std::vector<int16_t> audio(kFrameSamples);
  std::vector<std::shared_ptr<const std::string>> events;
  std::vector<std::pair<uint32_t, int>> ended;
  events.reserve(8);
  ended.reserve(8);
  int64_t seq = 0;
  auto due = Clock::now();
  auto nextStats = due;
  // When the last frames went out, for the frames-per-second figure.
  std::array<Clock::time_point, 2 * kFps> sentAt{};
  Clock::time_point lastSent{};
  int64_t sinceKey = kMinForcedKeyGap;  // frames since the last key frame
  std::string failure;  // the last failure logged, so a lasting one is logged once
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(runMu_);
      if (runCv_.wait_until(lock, due, [&] { return quit_; })) break;
    }
    ka_utt_frame_info info{};
    const int got = ka_utt_pull_frame(session_, rgb.data(), rgb.size(), &info);
    if (got != 1) {
      // The session had nothing ready on time: try again shortly, the clock keeps its
      // pace (a frame late is shown late, not skipped).
      if (*ka_utt_last_error()) {
        if (failure != ka_utt_last_error()) {
          failure = ka_utt_last_error();
          KA_LOG_ERROR("[serve] the session gave no frame: %s", failure.c_str());
        }
        due = Clock::now() + kPeriod;
      } else {
        due = Clock::now() + std::chrono::milliseconds(2);
      }
      if (seq > 0 && Clock::now() - lastSent > kPeriod + std::chrono::milliseconds(2) &&
          Clock::now() - lastSent <= kPeriod + std::chrono::milliseconds(4))
        metrics_.framesLate.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    const double takenMs = wallMs();
    uint32_t uttId = 0;
    events.clear();
    ended.clear();
    {
      std::lock_guard<std::mutex> lock(mu_);
      takeFrame(info, audio.data(), uttId, events, ended);
    }
    bool key = false;
    const auto t0 = Clock::now();
    const int64_t cpu0 = threadCpuUs();
    std::span<const uint8_t> au;
    const bool force = sinceKey >= kMinForcedKeyGap && forceKey_.exchange(false);
    try {
      au = encoder_.encode(rgb.data(), 3 * W, force, key);
    } catch (const std::exception& e) {
      if (force) forceKey_.store(true);  // still wanted
      KA_LOG_ERROR("[serve] %s", e.what());
      due += kPeriod;
      continue;
    }
    if (key) {
      // Any key frame serves the pages waiting for one, whoever asked for it; it reaches
      // them, since they joined before this frame is handed on.
      forceKey_.store(false);
      sinceKey = 0;
    }
    ++sinceKey;
    metrics_.encodeUs.store(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count(),
                            std::memory_order_relaxed);
    metrics_.encodeCpuUsTotal.fetch_add(threadCpuUs() - cpu0, std::memory_order_relaxed);

    std::shared_ptr<Bytes> msg = freeBuffer();
    msg->resize(kHeaderBytes + au.size() + 2 * kFrameSamples);
    uint8_t* p = msg->data();
    p[0] = 1;
    p[1] = static_cast<uint8_t>(info.kind == KA_UTT_SPEECH ? 1 : info.kind == KA_UTT_RAMP ? 2 : 0);
    p[2] = key ? 1 : 0;
    p[3] = 0;
    put<uint32_t>(p + 4, uttId);
    put<int64_t>(p + 8, seq);
    put<int64_t>(p + 16, seq * 40000);
    put<double>(p + 24, takenMs);
    put<uint32_t>(p + 32, static_cast<uint32_t>(au.size()));
    put<uint32_t>(p + 36, static_cast<uint32_t>(kFrameSamples));
    std::memcpy(p + kHeaderBytes, au.data(), au.size());
    std::memcpy(p + kHeaderBytes + au.size(), audio.data(), 2 * kFrameSamples);
    ++seq;
    metrics_.framesSent.fetch_add(1, std::memory_order_relaxed);

    // A first speech frame's event goes out after the frame, an end before the idle one.
    for (auto& e : events)
      if (e->find("\"first_frame\"") == std::string::npos) out_.event(e);
    for (auto& [id, owner] : ended) out_.utteranceEnded(id, owner);
    out_.frame(std::move(msg), key);
    for (auto& e : events)
      if (e->find("\"first_frame\"") != std::string::npos) out_.event(e);

    const auto now = Clock::now();
    lastSent = now;
    sentAt[static_cast<size_t>(seq) % sentAt.size()] = now;
    if (now >= nextStats) {
      LiveOutput::Stats s;
      s.fps = static_cast<int>(std::count_if(sentAt.begin(), sentAt.end(), [&](Clock::time_point t) {
        return t != Clock::time_point{} && now - t < std::chrono::seconds(1);
      }));
      ka_utt_stats st{};
      ka_utt_get_stats(session_, &st);
      s.firstFrameMs = st.first_frame_ms;
      s.renderMs = st.render_ms;
      s.state = st.state;
      s.queued = ka_utt_frames_available(session_);
      char text[8];
      ka_utt_tessera_stats(session_, &s.teethBorrowed, &s.teethRefused, text, sizeof text);
      out_.stats(s);
      nextStats = now + std::chrono::milliseconds(500);
    }
    // Steady pace; after a long stall (a slow machine, a debugger) start afresh rather
    // than bursting to catch up.
    due += kPeriod;
    if (now - due > 5 * kPeriod) due = now;
  }
}

}  // namespace ka::serve
