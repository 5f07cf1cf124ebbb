// The motion generator on the spoken clip of tools/fixtures/make_motion_fixtures.py.
//
//   Utterance/threads:N   the whole clip pushed, finished and pulled, per second of
//                         audio: wall time, the networks' share (encoder, motion model,
//                         stitching) and the library's own share (log-mel windows,
//                         conditioning rows, chunk cross-fades and smoothing, emission),
//                         which is the wall time less the networks
//   LogMelWindow          one 6 480-sample window to 80 x 21 log-mel values; compare
//                         with NumPy doing the same: bench/motion_logmel_numpy.py
//   LiveStream/eager:E    40 ms pieces pushed as fast as they are taken, frames pulled
//                         after every piece, then the finish: rtf = wall / audio time
//
//   build/bench/bench_motion [--benchmark_repetitions=3 --benchmark_report_aggregates_only=true]
//   /usr/bin/python3 bench/motion_logmel_numpy.py build/bench_models/motion
//
// The motion directory is made on first use under KA_BENCH_MOTION (default
// build/bench_models/motion).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/log_mel.h"
#include "audio/motion_generator.h"
#include "audio/motion_members.h"

#ifndef KA_SOURCE_DIR
#define KA_SOURCE_DIR "."
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::string motionDir() {
  const char* d = std::getenv("KA_BENCH_MOTION");
  return d && *d ? d : "build/bench_models/motion";
}

const std::vector<float>& clip() {
  static const std::vector<float> audio = [] {
    const std::string dir = motionDir();
    if (!std::ifstream(dir + "/.complete")) {
      const std::string cmd =
          "/usr/bin/python3 " + std::string(KA_SOURCE_DIR) + "/tools/fixtures/make_motion_fixtures.py '" + dir + "'";
      std::fprintf(stderr, "making the motion directory: %s\n", cmd.c_str());
      if (std::system(cmd.c_str()) != 0) throw std::runtime_error("could not make " + dir);
    }
    std::ifstream f(dir + "/.reference/speech.f32", std::ios::binary);
    const std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> v(s.size() / sizeof(float));
    std::memcpy(v.data(), s.data(), v.size() * sizeof(float));
    return v;
  }();
  return audio;
}

// Pulls everything available into the scratch arrays.
void drain(ka::audio::MotionGenerator& g, std::vector<int>& si, std::vector<float>& xs, std::vector<float>& xd) {
  while (g.pull(si.data(), xs.data(), xd.data(), static_cast<int>(si.size())) > 0) {
  }
}

void BM_Utterance(benchmark::State& state) {
  const std::vector<float>& audio = clip();
  ka::audio::MotionGenerator g(motionDir(), static_cast<int>(state.range(0)), "");
  std::vector<int> si(64);
  std::vector<float> xs(64 * 63), xd(64 * 63);
  double wallMs = 0;
  g.clearTimes();
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    g.reset(0, 1, 1);
    g.push(audio.data(), audio.size());
    g.finish();
    drain(g, si, xs, xd);
    wallMs += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  }
  const double seconds = static_cast<double>(audio.size()) / 16000.0 * static_cast<double>(state.iterations());
  const ka::audio::MotionTimes& t = g.times();
  const double nets = t.hubertMs + t.lmdmMs + t.stitchMs;
  state.counters["wall_ms_per_s"] = wallMs / seconds;
  state.counters["nets_ms_per_s"] = nets / seconds;
  state.counters["encoder_ms_per_s"] = t.hubertMs / seconds;
  state.counters["lmdm_ms_per_s"] = t.lmdmMs / seconds;
  state.counters["stitch_ms_per_s"] = t.stitchMs / seconds;
  state.counters["own_ms_per_s"] = (wallMs - nets) / seconds;
  state.counters["logmel_ms_per_s"] = t.logMelMs / seconds;
}

void BM_LogMelWindow(benchmark::State& state) {
  const std::vector<float>& audio = clip();
  const std::string dir = motionDir();
  const ka::audio::LogMel mel(ka::audio::readFloatsExact(dir + "/hubert_stft_window.bin", 512),
                              ka::audio::readFloatsExact(dir + "/hubert_stft_binmat.bin", 257 * 80));
  std::vector<float> out(80 * 21);
  const float* window = audio.data() + 16000;  // a spoken second, not the lead-in
  for (auto _ : state) {
    mel.compute(window, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void BM_LiveStream(benchmark::State& state) {
  const std::vector<float>& audio = clip();
  ka::audio::MotionGenerator g(motionDir(), 1, "");
  g.setEager(static_cast<int>(state.range(0)));
  std::vector<int> si(64);
  std::vector<float> xs(64 * 63), xd(64 * 63);
  double wallMs = 0;
  long speculative = 0;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    g.reset(0, 1, 1);
    g.clearTimes();
    for (size_t pos = 0; pos < audio.size(); pos += 640) {
      g.push(audio.data() + pos, std::min<size_t>(640, audio.size() - pos));
      drain(g, si, xs, xd);
    }
    g.finish();
    drain(g, si, xs, xd);
    wallMs += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    speculative = g.times().chunks - g.chunksRun();
  }
  const double seconds = static_cast<double>(audio.size()) / 16000.0 * static_cast<double>(state.iterations());
  state.counters["rtf"] = wallMs / 1000.0 / seconds;
  state.counters["speculative_chunks"] = static_cast<double>(speculative);
}

}  // namespace

BENCHMARK(BM_Utterance)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LogMelWindow)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LiveStream)->Arg(0)->Arg(3)->ArgName("eager")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
