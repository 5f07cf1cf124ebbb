// ka_soak: one utterance session with teeth attached, driven for a long time by host
// threads at random through the public C interface, the way a busy host drives it:
// speech pushed in random sizes at a random pace, utterances ended by the host or by
// silence, barge-in interruptions, a puller that keeps pace, pulls in bursts or stalls
// for seconds, and an observer reading the session's statistics meanwhile.
//
// Checked while it runs (any failure makes the exit status non-zero):
//  - a watchdog: no call into the session blocks beyond a bound, and a puller that wants
//    frames gets one within a bound; on a trip it prints what every thread was doing and
//    exits at once with status 3 (a deadlocked session cannot be destroyed);
//  - sequence numbers: 0 for the first frame, +1 per frame, gaps only where an
//    interruption discarded unread frames (at most the 8 the ring holds, per interruption);
//  - speech indices run 0, 1, 2, ... within an utterance, and after an interruption has
//    returned no frame of the interrupted utterance arrives: speech restarts at 0 and
//    the first other frame continues the driver video after the last frame pulled;
//  - never more than 8 frames wait; the session's own frame counts match the host's;
//  - resident memory after warm-up: the least-squares slope, failing when it stays
//    above the bound over the whole measured span and its second half alike (judged
//    when at least 4 minutes follow the warm-up; shorter runs report it);
//  - open file descriptors and threads do not grow after warm-up.
// Prints a summary: frames by kind, utterances, interruptions, memory, descriptors,
// threads and the longest call per function.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ka/ka.h"

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point kStart = Clock::now();

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - kStart).count(); }
double nsToS(int64_t ns) { return static_cast<double>(ns) / 1e9; }

struct Options {
  std::string bundle, motion, model = "b1";
  double seconds = 60.0;
  uint64_t seed = 0;
  bool seedGiven = false;
  double callBoundS = 5.0;         // longest any host call may take
  double destroyBoundS = 60.0;     // ka_utt_destroy joins threads that may be mid-render
  double progressBoundS = 30.0;    // longest a pulling host may go without a frame
  double slopeMaxMiBPerMin = 1.0;  // < 0: report the slope only
  double warmupS = -1.0;           // < 0: a tenth of the run, at least 30 s, at most a third
  int eager = -2;
};

// ---- What each thread is doing, for the watchdog --------------------------------------

// The calls whose latency is tracked, one slot each.
enum Call { kPush, kEnd, kInterrupt, kPull, kAvail, kStats, kRenderStatus, kTeethStats, kSynthW, kDestroy, kCalls };
const char* const kCallName[kCalls] = {"ka_utt_push_audio",    "ka_utt_end_utterance",    "ka_utt_interrupt",
                                       "ka_utt_pull_frame",    "ka_utt_frames_available", "ka_utt_get_stats",
                                       "ka_utt_render_status", "ka_utt_tessera_stats",    "ka_utt_tessera_synth_w",
                                       "ka_utt_destroy"};

struct Activity {
  const char* name;
  std::atomic<int> call{-1};                   // the call in progress, -1 between calls
  std::atomic<int64_t> since{0};               // when the call (or the pause) began
  std::atomic<const char*> doing{"starting"};  // what the thread does between calls
  std::atomic<int64_t> calls{0};
  std::atomic<int64_t> maxNs[kCalls];
  explicit Activity(const char* n) : name(n) {
    for (auto& m : maxNs) m = 0;
  }

  template <class F>
  auto timed(Call c, F&& f) {
    const int64_t t0 = nowNs();
    since = t0;
    call = c;
    auto r = f();
    const int64_t dt = nowNs() - t0;
    call = -1;
    since = nowNs();
    ++calls;
    if (dt > maxNs[c]) maxNs[c] = dt;
    return r;
  }
  void pause(const char* what) {
    doing = what;
    since = nowNs();
  }
};

// ---- Faults found by the checks ------------------------------------------------------

struct Faults {
  std::mutex mu;
  int64_t count = 0;
  std::vector<std::string> first;
  void add(const std::string& what) {
    std::lock_guard<std::mutex> lk(mu);
    ++count;
    if (first.size() < 20) first.push_back(what);
    if (count <= 20) std::fprintf(stderr, "[soak] FAULT at %.3f s: %s\n", nsToS(nowNs()), what.c_str());
  }
};

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

// ---- Interruptions as the puller must see them ----------------------------------------

// The interrupter announces a call before making it, so that a pull returning after
// the call began always knows it might have been cut.
struct Interrupts {
  struct Span {
    int64_t start, end;
  };
  std::mutex mu;
  std::vector<Span> done;
  int64_t inFlight = -1;  // start of the call in progress, -1 when none

  // Spans that may lie between a pull that began at `after` and one that ended at
  // `before` (a call in progress counts as open-ended); `definite` of them certainly do
  // (began after the earlier pull ended, returned before the later one began).
  void between(int64_t prevStart, int64_t prevEnd, int64_t curStart, int64_t curEnd, size_t& cursor, int& possible,
               int& definite) {
    std::lock_guard<std::mutex> lk(mu);
    possible = definite = 0;
    while (cursor < done.size() && done[cursor].end < prevStart) ++cursor;
    for (size_t i = cursor; i < done.size(); ++i) {
      const Span& s = done[i];
      if (s.start >= curEnd) break;
      ++possible;
      definite += s.start > prevEnd && s.end < curStart;
    }
    if (inFlight >= 0 && inFlight < curEnd) ++possible;
  }
};

// ---- Process resources --------------------------------------------------------------

int64_t residentBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  long long size = 0, resident = 0;
  const int n = std::fscanf(f, "%lld %lld", &size, &resident);
  std::fclose(f);
  return n == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

int countEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

struct Sample {
  double t;
  int64_t rss;
  int fds, threads;
};

// Least-squares slope of resident memory in MiB per minute over samples with t >= from.
double slopeMiBPerMin(const std::vector<Sample>& s, double from) {
  double n = 0, st = 0, sr = 0, stt = 0, str = 0;
  for (const Sample& x : s) {
    if (x.t < from) continue;
    const double r = static_cast<double>(x.rss) / (1024.0 * 1024.0), t = x.t / 60.0;
    n += 1, st += t, sr += r, stt += t * t, str += t * r;
  }
  const double den = n * stt - st * st;
  return n >= 3 && den > 0 ? (n * str - st * sr) / den : 0.0;
}

// ---- The soak -----------------------------------------------------------------------

struct Soak {
  Options o;
  ka_utt* s = nullptr;
  int nt = 0;
  size_t frameBytes = 0;
  std::atomic<bool> stop{false};
  Faults faults;
  Interrupts cuts;
  Activity pusher{"pusher"}, interrupter{"interrupter"}, puller{"puller"}, observer{"observer"}, mainThread{"main"};

  // Counters, written by the thread named.
  std::atomic<int64_t> pushedSamples{0}, pushes{0}, ends{0};  // pusher
  std::atomic<int64_t> interrupts{0};                         // interrupter
  std::atomic<int64_t> byKind[3] = {0, 0, 0};                 // puller
  std::atomic<int64_t> stalls{0}, bursts{0}, smallPulls{0};   // puller
  std::atomic<int64_t> seqChecked{0}, afterCut{0};            // puller
  std::atomic<int64_t> lastFrameNs{0};
  std::atomic<bool> wantsFrames{false};
  std::atomic<int> maxAvail{0};

  // Sleeps in short steps so that the end of the run is noticed promptly.
  void nap(double seconds) {
    const int64_t until = nowNs() + static_cast<int64_t>(seconds * 1e9);
    while (!stop && nowNs() < until)
      std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<int64_t>(until - nowNs(), 20'000'000)));
  }

  void runPusher(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    // Speech-like sound: a voiced buzz whose pitch and loudness wander, with noise.
    std::vector<int16_t> pcm(16000 * 10);
    double phase = 0;
    for (size_t i = 0; i < pcm.size(); ++i) {
      const double t = static_cast<double>(i) / 16000.0;
      phase += 2 * M_PI * (140 + 60 * std::sin(2 * M_PI * 0.7 * t)) / 16000.0;
      const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 3.1 * t + std::sin(t));
      const double v = env * (0.6 * std::sin(phase) + 0.3 * std::sin(3 * phase)) + 0.05 * (u(rng) - 0.5);
      pcm[i] = static_cast<int16_t>(std::clamp(v * 14000.0, -32768.0, 32767.0));
    }
    while (!stop) {
      const int64_t want = static_cast<int64_t>(16000 * (0.3 + 7.7 * u(rng)));
      int64_t sent = 0;
      pusher.pause("speaking an utterance");
      while (!stop && sent < want) {
        const int n = u(rng) < 0.05 ? 0 : 1 + static_cast<int>(u(rng) * 4800);
        const size_t at = static_cast<size_t>(u(rng) * static_cast<double>(pcm.size() - 4801));
        const int r = pusher.timed(kPush, [&] { return ka_utt_push_audio(s, pcm.data() + at, n); });
        if (r != 1) faults.add(fmt("ka_utt_push_audio(%d samples) returned %d: %s", n, r, ka_utt_last_error()));
        ++pushes;
        pushedSamples += n;
        sent += n;
        // Mostly around the pace of speech, sometimes much faster or slower, now and then
        // a pause long enough for the session to end the utterance on its own.
        if (u(rng) < 0.03) {
          pusher.pause("pausing mid-utterance");
          nap(0.7 + 1.3 * u(rng));
        } else {
          pusher.pause("pacing pushes");
          nap((0.2 + 1.4 * u(rng)) * n / 16000.0);
        }
      }
      if (u(rng) < 0.65) {
        pusher.timed(kEnd, [&] { return ka_utt_end_utterance(s), 0; });
        ++ends;
      }
      pusher.pause("silent between utterances");
      nap(u(rng) < 0.1 ? 0.0 : 4.0 * u(rng));
    }
    pusher.pause("done");
  }

  void interruptOnce() {
    const int64_t start = nowNs();
    {
      std::lock_guard<std::mutex> lk(cuts.mu);
      cuts.inFlight = start;
    }
    interrupter.timed(kInterrupt, [&] { return ka_utt_interrupt(s), 0; });
    const int64_t end = nowNs();
    std::lock_guard<std::mutex> lk(cuts.mu);
    cuts.done.push_back({start, end});
    cuts.inFlight = -1;
    ++interrupts;
  }

  void runInterrupter(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    while (!stop) {
      interrupter.pause("waiting to barge in");
      nap(0.5 + 9.5 * u(rng));
      if (stop) break;
      interruptOnce();
      if (u(rng) < 0.15) {  // a second barge-in hard on the first
        interrupter.pause("between two barge-ins");
        nap(0.05 * u(rng));
        if (!stop) interruptOnce();
      }
    }
    interrupter.pause("done");
  }

  struct Seen {
    bool have = false;
    ka_utt_frame_info info{};
    int64_t start = 0, end = 0;
  };

  void check(const Seen& prev, const ka_utt_frame_info& f, int64_t start, int64_t end, size_t& cursor) {
    int possible = 0, definite = 0;
    cuts.between(prev.have ? prev.start : 0, prev.have ? prev.end : 0, start, end, cursor, possible, definite);
    const ka_utt_frame_info& p = prev.info;
    ++seqChecked;
    if (f.kind < 0 || f.kind > 2) faults.add(fmt("seq %" PRId64 ": kind %d", f.seq, f.kind));
    if (f.driver_index < 0 || f.driver_index >= nt)
      faults.add(fmt("seq %" PRId64 ": driver index %d outside 0..%d", f.seq, f.driver_index, nt - 1));
    if ((f.kind == KA_UTT_SPEECH) != (f.speech_index >= 0))
      faults.add(fmt("seq %" PRId64 ": kind %d with speech index %d", f.seq, f.kind, f.speech_index));
    if (!prev.have) {
      if (possible == 0 && f.seq != 0) faults.add(fmt("the first frame pulled has seq %" PRId64 ", not 0", f.seq));
      return;
    }
    const int64_t gap = f.seq - p.seq - 1;
    if (possible == 0 && gap != 0)
      faults.add(fmt("seq %" PRId64 " after %" PRId64 " with no interruption between", f.seq, p.seq));
    if (possible > 0 && (gap < 0 || gap > 8LL * possible))
      faults.add(fmt("seq %" PRId64 " after %" PRId64 " across %d interruption(s): at most %d frames may be discarded",
                     f.seq, p.seq, possible, 8 * possible));
    const int next = p.kind == KA_UTT_SPEECH ? p.speech_index + 1 : 0;
    if (f.kind == KA_UTT_SPEECH) {
      const bool restart = f.speech_index == 0, goesOn = f.speech_index == next;
      const bool ok = possible == 0 ? goesOn : definite == possible ? restart : (restart || goesOn);
      if (!ok)
        faults.add(fmt("speech frame seq %" PRId64 " has speech index %d after seq %" PRId64
                       " (kind %d, speech index %d) with %d interruption(s) between (%d certain)",
                       f.seq, f.speech_index, p.seq, p.kind, p.speech_index, possible, definite));
    } else if (possible == 0 || definite == possible) {
      // Idle and ramp frames continue the driver video one frame after the last one
      // pulled, also right after an interruption (the ramp back starts there).
      if (f.driver_index != (p.driver_index + 1) % nt)
        faults.add(fmt("seq %" PRId64 " (kind %d) on driver frame %d after seq %" PRId64
                       " (kind %d) on %d, %d interruption(s) between",
                       f.seq, f.kind, f.driver_index, p.seq, p.kind, p.driver_index, possible));
      if (possible > 0) ++afterCut;
    }
  }

  void runPuller(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<uint8_t> rgb(frameBytes);
    Seen prev;
    size_t cursor = 0;
    auto pullOne = [&]() -> bool {
      ka_utt_frame_info info{};
      const int64_t start = nowNs();
      const int r = puller.timed(kPull, [&] { return ka_utt_pull_frame(s, rgb.data(), rgb.size(), &info); });
      const int64_t end = nowNs();
      if (r != 1) return false;
      lastFrameNs = end;
      check(prev, info, start, end, cursor);
      if (info.kind >= 0 && info.kind <= 2) ++byKind[info.kind];
      prev = {true, info, start, end};
      return true;
    };
    lastFrameNs = nowNs();
    while (!stop) {
      const double m = u(rng);
      if (m < 0.55) {  // keeps pace: a frame every 40 ms
        puller.pause("pulling at 25 fps");
        wantsFrames = true;
        const int64_t until = nowNs() + static_cast<int64_t>((1.0 + 7.0 * u(rng)) * 1e9);
        while (!stop && nowNs() < until) {
          if (u(rng) < 0.01) {  // one byte short: refused, the frame stays for the next pull
            ++smallPulls;
            const int r =
                puller.timed(kPull, [&] { return ka_utt_pull_frame(s, rgb.data(), rgb.size() - 1, nullptr); });
            if (r != 0) faults.add(fmt("a pull into a buffer one byte short returned %d", r));
          }
          pullOne();
          puller.pause("pulling at 25 fps");
          nap(0.040 * (0.75 + 0.5 * u(rng)));
        }
      } else if (m < 0.8) {  // bursts: everything waiting, then a pause
        ++bursts;
        wantsFrames = true;
        const int64_t until = nowNs() + static_cast<int64_t>((0.5 + 2.5 * u(rng)) * 1e9);
        while (!stop && nowNs() < until) {
          puller.pause("pulling a burst");
          while (!stop && pullOne()) {
          }
          puller.pause("between bursts");
          nap(0.1 + 0.5 * u(rng));
        }
      } else {  // stalls: the host stops pulling for seconds
        ++stalls;
        wantsFrames = false;
        puller.pause("stalled, not pulling");
        nap(1.0 + 5.0 * u(rng));
        lastFrameNs = nowNs();
      }
    }
    wantsFrames = false;
    puller.pause("done");
  }

  void runObserver(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    char text[512];
    while (!stop) {
      observer.pause("waiting to look");
      nap(0.05 + 0.45 * u(rng));
      const int avail = observer.timed(kAvail, [&] { return ka_utt_frames_available(s); });
      if (avail < 0 || avail > 8) faults.add(fmt("ka_utt_frames_available returned %d", avail));
      if (avail > maxAvail) maxAvail = avail;
      ka_utt_stats st{};
      observer.timed(kStats, [&] { return ka_utt_get_stats(s, &st), 0; });
      if (st.state < 0 || st.state > 3) faults.add(fmt("session state %d", st.state));
      int failures = 0;
      if (observer.timed(kRenderStatus, [&] { return ka_utt_render_status(s, &failures, text, sizeof text); }) < 0)
        faults.add(fmt("a fatal render failure (%d so far): %s", failures, text));
      int64_t borrowed = 0, refused = 0;
      const int teeth =
          observer.timed(kTeethStats, [&] { return ka_utt_tessera_stats(s, &borrowed, &refused, text, sizeof text); });
      if (teeth != 1) faults.add(fmt("the teeth pass is %s: %s", teeth == 0 ? "detached" : "failed", text));
      double mean = 0, max = 0;
      int64_t count = 0;
      observer.timed(kSynthW, [&] { return ka_utt_tessera_synth_w(s, &mean, &max, &count); });
    }
    observer.pause("done");
  }

  // Trips when a call has lasted too long or a pulling host has had no frame for too
  // long. Does not call into the session: a deadlocked one would block it too.
  bool watchdog(std::string& why) {
    const int64_t t = nowNs();
    for (Activity* a : {&pusher, &interrupter, &puller, &observer, &mainThread}) {
      const int c = a->call;
      const double bound = c == kDestroy ? o.destroyBoundS : o.callBoundS;
      if (c >= 0 && nsToS(t - a->since) > bound) {
        why = fmt("%s has been in %s for %.1f s (bound %.1f s)", a->name, kCallName[c], nsToS(t - a->since), bound);
        return true;
      }
    }
    if (wantsFrames && nsToS(t - lastFrameNs) > o.progressBoundS) {
      why = fmt("the puller has had no frame for %.1f s (bound %.1f s)", nsToS(t - lastFrameNs), o.progressBoundS);
      return true;
    }
    return false;
  }

  void dump(const std::string& why) {
    std::fprintf(stderr, "[soak] WATCHDOG at %.3f s: %s\n", nsToS(nowNs()), why.c_str());
    for (Activity* a : {&pusher, &interrupter, &puller, &observer, &mainThread}) {
      const int c = a->call;
      std::fprintf(stderr, "[soak]   %-11s %s for %.3f s (%" PRId64 " calls made)\n", a->name,
                   c >= 0 ? (std::string("in ") + kCallName[c]).c_str() : a->doing.load(), nsToS(nowNs() - a->since),
                   a->calls.load());
    }
    std::fprintf(stderr,
                 "[soak]   pulled %" PRId64 " idle, %" PRId64 " speech, %" PRId64 " ramp; %" PRId64
                 " interruptions; seed %" PRIu64 "\n",
                 byKind[0].load(), byKind[1].load(), byKind[2].load(), interrupts.load(), o.seed);
    std::fflush(stderr);
  }
};

void usage() {
  std::fprintf(stderr,
               "usage: ka_soak --bundle DIR --motion DIR [--seconds S] [--seed N] [--model KEY]\n"
               "               [--call-bound S] [--progress-bound S] [--destroy-bound S]\n"
               "               [--slope-max MIB_PER_MIN] [--warmup S] [--eager N]\n"
               "  --slope-max   fail when resident memory grows faster after warm-up, in MiB per\n"
               "                minute (default 1; negative: report only)\n"
               "  exit status   0 clean, 1 a check failed, 2 bad usage or setup, 3 watchdog\n");
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    char* end = nullptr;
    auto num = [&](double& out) {
      out = std::strtod(v, &end);
      return *v && !*end;
    };
    if (a == "--bundle")
      o.bundle = v;
    else if (a == "--motion")
      o.motion = v;
    else if (a == "--model")
      o.model = v;
    else if (a == "--seed") {
      o.seed = std::strtoull(v, &end, 10);
      o.seedGiven = true;
      if (!*v || *end) return false;
    } else if (a == "--eager") {
      o.eager = static_cast<int>(std::strtol(v, &end, 10));
      if (!*v || *end) return false;
    } else if (a == "--seconds") {
      if (!num(o.seconds) || !(o.seconds > 0)) return false;
    } else if (a == "--call-bound") {
      if (!num(o.callBoundS) || !(o.callBoundS > 0)) return false;
    } else if (a == "--progress-bound") {
      if (!num(o.progressBoundS) || !(o.progressBoundS > 0)) return false;
    } else if (a == "--destroy-bound") {
      if (!num(o.destroyBoundS) || !(o.destroyBoundS > 0)) return false;
    } else if (a == "--slope-max") {
      if (!num(o.slopeMaxMiBPerMin)) return false;
    } else if (a == "--warmup") {
      if (!num(o.warmupS) || o.warmupS < 0) return false;
    } else
      return false;
  }
  return !o.bundle.empty() && !o.motion.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Soak k;
  if (!parse(argc, argv, k.o)) {
    usage();
    return 2;
  }
  Options& o = k.o;
  if (!o.seedGiven) o.seed = std::random_device{}() ^ (static_cast<uint64_t>(std::time(nullptr)) << 20);
  const double warmup = o.warmupS >= 0 ? o.warmupS : std::min(std::max(30.0, o.seconds / 10), o.seconds / 3);
  std::printf("[soak] seed %" PRIu64 " (rerun with --seed %" PRIu64 "), %.0f s, warm-up %.0f s\n", o.seed, o.seed,
              o.seconds, warmup);
  std::fflush(stdout);

  ka_ctx* ctx = ka_create(o.bundle.c_str(), o.model.c_str(), 0, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "[soak] %s\n", ka_last_error());
    return 2;
  }
  k.nt = ka_nt(ctx);
  k.frameBytes = static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3;
  ka_utt_opts opts{};
  opts.motion_dir = o.motion.c_str();
  opts.eager = o.eager;
  k.s = ka_utt_create(ctx, &opts);
  if (!k.s) {
    std::fprintf(stderr, "[soak] %s\n", ka_utt_last_error());
    ka_destroy(ctx);
    return 2;
  }
  int ready;
  const int64_t readyFrom = nowNs();
  while ((ready = ka_utt_ready(k.s)) == 0 && nsToS(nowNs() - readyFrom) < 300)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  char err[1024] = "";
  if (ready != 1 || ka_utt_tessera_attach_bundle(k.s, o.bundle.c_str(), err, sizeof err) != 0) {
    std::fprintf(stderr, "[soak] %s\n",
                 ready != 1 ? (ready == 0 ? "the session never became ready" : ka_utt_last_error()) : err);
    ka_utt_destroy(k.s);
    ka_destroy(ctx);
    return 2;
  }
  char geometry[256] = "";
  ka_utt_tessera_geometry(k.s, geometry, sizeof geometry);
  std::printf("[soak] %dx%d, %d driver frames, teeth attached (%s), ready after %.1f s\n", ka_width(ctx),
              ka_height(ctx), k.nt, geometry, nsToS(nowNs() - readyFrom));
  std::fflush(stdout);

  std::mt19937_64 seeds(o.seed);
  const uint64_t s1 = seeds(), s2 = seeds(), s3 = seeds(), s4 = seeds();
  const int64_t t0 = nowNs();
  std::vector<Sample> samples;
  auto sample = [&] {
    samples.push_back(
        {nsToS(nowNs() - t0), residentBytes(), countEntries("/proc/self/fd"), countEntries("/proc/self/task")});
  };
  sample();
  std::thread pusher([&] { k.runPusher(s1); });
  std::thread interrupter([&] { k.runInterrupter(s2); });
  std::thread puller([&] { k.runPuller(s3); });
  std::thread observer([&] { k.runObserver(s4); });

  int64_t nextSample = t0 + 1'000'000'000, nextReport = t0 + 60'000'000'000;
  std::string why;
  k.mainThread.pause("watching");
  while (nsToS(nowNs() - t0) < o.seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (k.watchdog(why)) {
      k.dump(why);
      std::_Exit(3);
    }
    if (nowNs() >= nextSample) {
      sample();
      nextSample += 1'000'000'000;
    }
    if (nowNs() >= nextReport) {
      const Sample& x = samples.back();
      std::printf("[soak] %5.0f s: %" PRId64 " idle, %" PRId64 " speech, %" PRId64 " ramp pulled, %" PRId64
                  " interruptions, rss %.1f MiB, %d fds, %d threads\n",
                  x.t, k.byKind[0].load(), k.byKind[1].load(), k.byKind[2].load(), k.interrupts.load(),
                  static_cast<double>(x.rss) / 1048576.0, x.fds, x.threads);
      std::fflush(stdout);
      nextReport += 60'000'000'000;
    }
  }
  // The last sample is taken while the host threads still run, like every one before.
  sample();
  k.stop = true;
  // The host threads end within a nap step; the watchdog keeps watching meanwhile.
  std::atomic<bool> joined{false};
  std::thread closer([&] {
    pusher.join();
    interrupter.join();
    puller.join();
    observer.join();
    joined = true;
  });
  while (!joined) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (k.watchdog(why)) {
      k.dump(why);
      std::_Exit(3);
    }
  }
  closer.join();
  const Sample end = samples.back();

  ka_utt_stats st{};
  ka_utt_get_stats(k.s, &st);
  int64_t borrowed = 0, refused = 0;
  char teethText[512] = "";
  const int teeth = ka_utt_tessera_stats(k.s, &borrowed, &refused, teethText, sizeof teethText);
  int renderFailures = 0;
  char renderText[512] = "";
  ka_utt_render_status(k.s, &renderFailures, renderText, sizeof renderText);
  const int64_t pulled = k.byKind[0] + k.byKind[1] + k.byKind[2];
  if (st.frames_out != pulled || st.speech_frames_out != k.byKind[1])
    k.faults.add(fmt("the session counts %" PRId64 " frames (%" PRId64 " speech) pulled, the host %" PRId64 " (%" PRId64
                     ")",
                     st.frames_out, st.speech_frames_out, pulled, k.byKind[1].load()));
  if (k.byKind[1] == 0 || st.utterances == 0) k.faults.add("no speech frame was pulled: nothing was soaked");

  // Destroy under the watchdog: a session whose threads cannot be joined trips it.
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    k.mainThread.timed(kDestroy, [&] { return ka_utt_destroy(k.s), 0; });
    destroyed = true;
  });
  while (!destroyed) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (k.watchdog(why)) {
      k.dump(why);
      std::_Exit(3);
    }
  }
  destroyer.join();
  ka_destroy(ctx);

  // Memory, descriptors and threads after warm-up.
  // Descriptors and threads come and go while the session settles (decoders, pools):
  // the most seen during warm-up is the level they must not stay above.
  Sample base = samples.front();
  int fdsWarm = 0, threadsWarm = 0;
  for (const Sample& x : samples)
    if (x.t <= warmup) {
      base = x;
      fdsWarm = std::max(fdsWarm, x.fds);
      threadsWarm = std::max(threadsWarm, x.threads);
    }
  const double measured = end.t - base.t;
  const double slope = slopeMiBPerMin(samples, base.t), lateSlope = slopeMiBPerMin(samples, base.t + measured / 2);
  int fdsLate = std::numeric_limits<int>::max(), threadsLate = std::numeric_limits<int>::max(), fdsMax = 0, thMax = 0;
  for (size_t i = samples.size() >= 5 ? samples.size() - 5 : 0; i < samples.size(); ++i) {
    fdsLate = std::min(fdsLate, samples[i].fds);
    threadsLate = std::min(threadsLate, samples[i].threads);
  }
  for (const Sample& x : samples) {
    fdsMax = std::max(fdsMax, x.fds);
    thMax = std::max(thMax, x.threads);
  }
  // Resident memory moves in steps of tens of MiB for a while (allocator and runtime
  // arenas), so a slope over a few minutes says nothing: it is judged on longer runs.
  constexpr double kSlopeSpanS = 240;
  const bool judgeSlope = o.slopeMaxMiBPerMin >= 0 && measured >= kSlopeSpanS;
  if (o.slopeMaxMiBPerMin >= 0 && !judgeSlope)
    std::printf("[soak] the memory slope is reported, not judged: %.0f s after warm-up, judged from %.0f s\n", measured,
                kSlopeSpanS);
  if (measured < 10) {
    std::printf("[soak] descriptors and threads not judged: only %.0f s after warm-up\n", measured);
  } else {
    if (judgeSlope && slope > o.slopeMaxMiBPerMin && lateSlope > o.slopeMaxMiBPerMin)
      k.faults.add(fmt("resident memory grows %.3f MiB/min after warm-up (%.3f over the second half), bound %.3f",
                       slope, lateSlope, o.slopeMaxMiBPerMin));
    if (fdsLate > fdsWarm)
      k.faults.add(fmt("open descriptors grew from at most %d in warm-up to %d", fdsWarm, fdsLate));
    if (threadsLate > threadsWarm)
      k.faults.add(fmt("threads grew from at most %d in warm-up to %d", threadsWarm, threadsLate));
  }

  const double mib = 1048576.0;
  std::printf("[soak] summary (seed %" PRIu64 ", %.0f s)\n", o.seed, end.t);
  std::printf("[soak]   frames pulled: %" PRId64 " (idle %" PRId64 ", speech %" PRId64 ", ramp %" PRId64 "), %" PRId64
              " checked in sequence, %" PRId64 " first frames after an interruption\n",
              pulled, k.byKind[0].load(), k.byKind[1].load(), k.byKind[2].load(), k.seqChecked.load(),
              k.afterCut.load());
  std::printf("[soak]   utterances %" PRId64 ", interruptions %" PRId64 ", ends %" PRId64 ", pushes %" PRId64
              " (%.1f s of speech), stalls %" PRId64 ", bursts %" PRId64 ", short-buffer pulls %" PRId64
              ", most frames waiting %d\n",
              st.utterances, k.interrupts.load(), k.ends.load(), k.pushes.load(), k.pushedSamples / 16000.0,
              k.stalls.load(), k.bursts.load(), k.smallPulls.load(), k.maxAvail.load());
  std::printf("[soak]   teeth: %s, %" PRId64 " borrowed, %" PRId64 " refused%s%s; render failures %d%s%s\n",
              teeth == 1   ? "healthy"
              : teeth == 0 ? "detached"
                           : "failed",
              borrowed, refused, *teethText ? ": " : "", teethText, renderFailures, *renderText ? ": " : "",
              renderText);
  std::printf(
      "[soak]   rss: start %.1f MiB, after warm-up (%.0f s) %.1f MiB, end %.1f MiB; slope after warm-up "
      "%+.3f MiB/min (second half %+.3f; bound %s)\n",
      samples.front().rss / mib, base.t, base.rss / mib, end.rss / mib, slope, lateSlope,
      judgeSlope ? fmt("%.3f", o.slopeMaxMiBPerMin).c_str() : "none, reported only");
  std::printf(
      "[soak]   fds: start %d, warm-up max %d, end %d, max %d; threads: start %d, warm-up max %d, end %d, "
      "max %d\n",
      samples.front().fds, fdsWarm, end.fds, fdsMax, samples.front().threads, threadsWarm, end.threads, thMax);
  std::printf("[soak]   longest call (bound %.1f s):", o.callBoundS);
  for (int c = 0; c < kCalls; ++c) {
    int64_t m = 0;
    for (Activity* a : {&k.pusher, &k.interrupter, &k.puller, &k.observer, &k.mainThread})
      m = std::max(m, a->maxNs[c].load());
    std::printf("%s %s %.1f ms", c ? "," : "", kCallName[c] + 7, m / 1e6);
  }
  std::printf("\n[soak] %s: %" PRId64 " fault(s)\n", k.faults.count ? "FAILED" : "passed", k.faults.count);
  for (const std::string& f : k.faults.first) std::printf("[soak]   %s\n", f.c_str());
  return k.faults.count ? 1 : 0;
}
