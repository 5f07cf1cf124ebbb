// Audio-to-expression costs on the fixture networks of tools/fixtures/make_a2x_fixtures.py:
//
//   Frontend/live      the two speech frontends fed as a live stream is (320 ms blocks,
//                      rows up to the audio minus the right context, then the tail):
//                      milliseconds per second of audio of each, and their ratio
//                      (legacy / short), measured in the same iteration
//   LiveStream/threads:N  a whole stream as a host drives it (40 ms pushes, pulling every
//                      frame as it becomes final) with N intra-op threads for the encoder
//                      and decoder: x_realtime (seconds of audio per second of wall
//                      time) and the library's own work between network runs (feature
//                      copies, normalisation, resampling, half rounding, masks,
//                      bookkeeping): lib_cpu_share, the calling thread's processor time
//                      outside ONNX Runtime runs over the whole process's processor time
//                      (steady under load), and lib_wall_share, the wall time outside
//                      runs over all wall time (inflated when the machine is busy)
//
//   build/bench/bench_a2x [--benchmark_repetitions=3 --benchmark_report_aggregates_only=true]
//
// The fixtures are made on first use under KA_BENCH_A2X (default build/bench_fixtures/a2x)
// by tools/fixtures/make_a2x_test_fixtures.sh; the clip is the 10-second sentence three
// times over (30 s). The process-wide frontend sessions are loaded once with one
// intra-op thread, so the thread count of LiveStream applies to the encoder and decoder.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/a2x_stream.h"
#include "audio/audio_file.h"
#include "audio/speech_frontend.h"

#ifndef KA_SOURCE_DIR
#define KA_SOURCE_DIR "."
#endif
#ifndef KA_BENCH_CACHE
#define KA_BENCH_CACHE "build/bench_fixtures"
#endif

namespace {

namespace a2x = ka::a2x;
using Clock = std::chrono::steady_clock;

struct Fixture {
  std::string dir, w2v;
  std::vector<float> audio;
};

const Fixture& fixture() {
  static const Fixture fx = [] {
    Fixture f;
    const char* env = std::getenv("KA_BENCH_A2X");
    f.dir = env && *env ? env : std::string(KA_BENCH_CACHE) + "/a2x";
    const std::string cmd = "bash " KA_SOURCE_DIR "/tools/fixtures/make_a2x_test_fixtures.sh '" + f.dir + "' >&2";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("could not make " + f.dir);
    f.w2v = f.dir + "/motion/w2v/audio_encoder.onnx";
    setenv("W2V_ONNX", f.w2v.c_str(), 1);
    const std::vector<float> once = ka::readAudio16k(f.dir + "/clips/long.wav");
    for (int i = 0; i < 3; ++i) f.audio.insert(f.audio.end(), once.begin(), once.end());
    a2x::loadSharedEncoder(f.w2v, 1);
    if (!a2x::tryShortWindow(1, f.w2v)) throw std::runtime_error("the short-window pair did not load");
    return f;
  }();
  return fx;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double cpuNow(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Feeds a frontend block by block as a live stream does, then finishes; returns seconds.
template <typename Fill>
double liveFill(const std::vector<float>& x, int right, Fill fill) {
  a2x::FeatureRows rows;
  const auto t0 = Clock::now();
  for (size_t n = a2x::kBlock;; n += a2x::kBlock) {
    const size_t have = std::min(n, x.size());
    const int covered = static_cast<int>((have + a2x::kHop - 1) / a2x::kHop);
    fill(a2x::AudioView{x.data(), have, false, covered}, covered - right, rows);
    if (have == x.size()) break;
  }
  const int frames = static_cast<int>((x.size() + a2x::kHop - 1) / a2x::kHop);
  fill(a2x::AudioView{x.data(), x.size(), true, frames}, frames, rows);
  benchmark::DoNotOptimize(rows.data.data());
  return seconds(t0, Clock::now());
}

void BM_FrontendLive(benchmark::State& state) {
  const Fixture& fx = fixture();
  Ort::Session& encoder = a2x::loadSharedEncoder(fx.w2v, 1);
  const a2x::ShortWindowPair pair = a2x::shortWindowPair();
  const double audioSeconds = static_cast<double>(fx.audio.size()) / a2x::kSampleRate;
  double legacy = 0, shortWin = 0;
  for (auto _ : state) {
    a2x::LegacyWindow lw;
    legacy += liveFill(fx.audio, a2x::kDefaultRight, [&](const a2x::AudioView& v, int t, a2x::FeatureRows& r) {
      lw.fillStream(encoder, v, a2x::kDefaultRight, t, r);
    });
    a2x::ShortWindow sw;
    shortWin += liveFill(fx.audio, a2x::kDefaultRight + a2x::kShortFrames,
                         [&](const a2x::AudioView& v, int t, a2x::FeatureRows& r) {
                           sw.fill(pair, v, a2x::kDefaultRight, t, r);
                         });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["legacy_ms_per_s"] = 1000.0 * legacy / n / audioSeconds;
  state.counters["short_ms_per_s"] = 1000.0 * shortWin / n / audioSeconds;
  state.counters["legacy/short"] = legacy / shortWin;
}
BENCHMARK(BM_FrontendLive)->Name("Frontend/live")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LiveStream(benchmark::State& state) {
  const Fixture& fx = fixture();
  const int threads = static_cast<int>(state.range(0));
  a2x::A2xStream s(fx.dir + "/motion", threads);
  const double audioSeconds = static_cast<double>(fx.audio.size()) / a2x::kSampleRate;
  std::vector<int> si(8);
  std::vector<float> xs(8 * 63), xd(8 * 63);
  auto drain = [&] {
    for (;;) {
      int n = s.pull(si.data(), xs.data(), xd.data(), nullptr, 8);
      if (n <= 0 && s.avail() > 0) n = s.pull(si.data(), xs.data(), xd.data(), nullptr, 8);
      if (n <= 0) return;
    }
  };
  double wall = 0, net = 0, ownCpu = 0, processCpu = 0;
  for (auto _ : state) {
    s.reset(0, 1, 1);
    const double net0 = a2x::networkSeconds(), netCpu0 = a2x::networkCpuSeconds();
    const double thread0 = cpuNow(CLOCK_THREAD_CPUTIME_ID), process0 = cpuNow(CLOCK_PROCESS_CPUTIME_ID);
    const auto t0 = Clock::now();
    for (size_t at = 0; at < fx.audio.size(); at += a2x::kHop) {
      s.push(fx.audio.data() + at, static_cast<int>(std::min<size_t>(a2x::kHop, fx.audio.size() - at)));
      drain();
    }
    s.finish();
    drain();
    wall += seconds(t0, Clock::now());
    net += a2x::networkSeconds() - net0;
    ownCpu += (cpuNow(CLOCK_THREAD_CPUTIME_ID) - thread0) - (a2x::networkCpuSeconds() - netCpu0);
    processCpu += cpuNow(CLOCK_PROCESS_CPUTIME_ID) - process0;
  }
  state.counters["x_realtime"] = audioSeconds * static_cast<double>(state.iterations()) / wall;
  state.counters["lib_cpu_share"] = ownCpu / processCpu;
  state.counters["lib_wall_share"] = (wall - net) / wall;
}
BENCHMARK(BM_LiveStream)->Name("LiveStream")->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
