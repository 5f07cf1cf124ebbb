// The utterance session at the demo's size (640x360, crop 256, 50 driver frames, the
// fixture networks): a host pushes 4 s of speech at once, ends the utterance and pulls
// as fast as it can. Reported per run: the speech frames per second the session
// sustains (from the first push to the last speech frame pulled), the first-frame
// latency and the smoothed render time, beside the single-frame interface's serial
// render + paste of the same frames as the baseline. Arms: chunk renderer off or
// b24_fp32; paste on the conductor or on its own thread. The stage report of every
// session is written to standard error.
//
// Run:  build/bench/bench_utt                  (KA_BENCH_UTT_1080=1 adds 1920x1080, crop 512)
// Fixtures are made once into <build>/bench_fixtures/utt-<size> by
// tools/fixtures/make_speak_fixtures.sh.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ka/ka.h"

namespace {

struct Size {
  const char* name;
  int w, h, crop, nt;
};
const Size kDemo{"demo", 640, 360, 256, 50};
const Size kFull{"1080p", 1920, 1080, 512, 24};

std::string fixtures(const Size& s) {
  const std::string dir = std::string(KA_BENCH_CACHE) + "/utt-" + s.name;
  const std::string cmd = "bash " KA_SOURCE_DIR "/tools/fixtures/make_speak_fixtures.sh '" + dir + "' " +
                          std::to_string(s.w) + " " + std::to_string(s.h) + " " + std::to_string(s.crop) +
                          " " + std::to_string(s.nt) + " >&2";
  return std::system(cmd.c_str()) == 0 ? dir : std::string();
}

std::vector<int16_t> speech(int frames) {
  std::vector<int16_t> v(static_cast<size_t>(frames) * 640);
  for (size_t i = 0; i < v.size(); ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    v[i] = static_cast<int16_t>(9000.0 * std::sin(2 * M_PI * 220 * t) * (0.55 + 0.45 * std::sin(2 * M_PI * 3 * t)));
  }
  return v;
}

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// CPU seconds of the whole process: every thread of the session, the runtimes and the
// decoder included.
double processCpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Args: size (0 demo, 1 1080p), chunk renderer (0 off, 1 b24_fp32), paste thread (0, 1).
void BM_SessionSpeech(benchmark::State& st) {
  const Size& size = st.range(0) ? kFull : kDemo;
  const std::string dir = fixtures(size);
  if (dir.empty()) return st.SkipWithError("fixtures could not be made");
  setenv("W2V_ONNX", (dir + "/motion-a2x/w2v/audio_encoder.onnx").c_str(), 0);
  setenv("KA_UTT_STAGE_REPORT", "1", 1);
  setenv("KA_UTT_PIPELINE_PASTE", st.range(2) ? "1" : "0", 1);
  unsetenv("KA_STEADY_MODEL");
  ka_ctx* ctx = ka_create((dir + "/bundle").c_str(), "b1", 0, nullptr);
  if (!ctx) return st.SkipWithError(ka_last_error());
  const std::string motion = dir + "/motion-a2x";
  ka_utt_opts o{};
  o.motion_dir = motion.c_str();
  o.steady_model = st.range(1) ? "b24_fp32" : "-";
  o.auto_end_s = -1;
  ka_utt* s = ka_utt_create(ctx, &o);
  if (!s) {
    ka_destroy(ctx);
    return st.SkipWithError(ka_utt_last_error());
  }
  while (ka_utt_ready(s) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (ka_utt_ready(s) < 0) {
    st.SkipWithError(ka_utt_last_error());
  } else {
    const int kFrames = 100;
    const std::vector<int16_t> pcm = speech(kFrames);
    std::vector<uint8_t> rgb(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
    double fps = 0, first = 0, render = 0, cpu = 0;
    for (auto _ : st) {
      // Start from a drained ring of idle frames, as a host that has been pulling.
      ka_utt_frame_info info{};
      while (ka_utt_pull_frame(s, rgb.data(), rgb.size(), &info) == 1) {
      }
      const auto t0 = std::chrono::steady_clock::now();
      const double c0 = processCpu();
      ka_utt_push_audio(s, pcm.data(), static_cast<int>(pcm.size()));
      ka_utt_end_utterance(s);
      int got = 0;
      while (got < kFrames && since(t0) < 120.0) {
        if (ka_utt_pull_frame(s, rgb.data(), rgb.size(), &info) == 1)
          got += info.kind == KA_UTT_SPEECH;
        else
          std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      fps = got / since(t0);
      cpu = got > 0 ? 1000.0 * (processCpu() - c0) / got : 0.0;
      // Let the ramp play out so the next run starts from idle.
      for (int idle = 0; idle < 3 && since(t0) < 120.0;) {
        if (ka_utt_pull_frame(s, rgb.data(), rgb.size(), &info) == 1)
          idle = info.kind == KA_UTT_IDLE ? idle + 1 : 0;
        else
          std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      ka_utt_stats stats{};
      ka_utt_get_stats(s, &stats);
      first = stats.first_frame_ms;
      render = stats.render_ms;
    }
    st.counters["speech_fps"] = fps;
    st.counters["first_frame_ms"] = first;
    st.counters["render_ms"] = render;
    st.counters["cpu_ms_per_frame"] = cpu;
  }
  ka_utt_destroy(s);
  ka_destroy(ctx);
}

// The baseline: the same 100 frames rendered and pasted one after the other through the
// single-frame interface, on the drive rows' keypoints.
void BM_SerialRenderPaste(benchmark::State& st) {
  const Size& size = st.range(0) ? kFull : kDemo;
  const std::string dir = fixtures(size);
  if (dir.empty()) return st.SkipWithError("fixtures could not be made");
  ka_ctx* ctx = ka_create((dir + "/bundle").c_str(), "b1", 0, nullptr);
  if (!ctx) return st.SkipWithError(ka_last_error());
  std::vector<uint8_t> rgb(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
  double fps = 0, cpu = 0;
  for (auto _ : st) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = processCpu();
    for (int i = 0; i < 100; ++i) {
      const int row = i % ka_drive_frames(ctx);
      const float* crop = ka_render_drive_crop(ctx, row);
      if (!crop || !ka_paste_crop(ctx, row % ka_nt(ctx), crop, rgb.data(), rgb.size())) {
        st.SkipWithError(ka_last_error());
        break;
      }
    }
    fps = 100 / since(t0);
    cpu = 10.0 * (processCpu() - c0);
  }
  st.counters["fps"] = fps;
  st.counters["cpu_ms_per_frame"] = cpu;
  ka_destroy(ctx);
}

void sizes(benchmark::internal::Benchmark* b, bool arms) {
  const bool full = std::getenv("KA_BENCH_UTT_1080") != nullptr;
  for (int s = 0; s <= (full ? 1 : 0); ++s) {
    if (!arms) {
      b->Args({s});
      continue;
    }
    for (int chunk : {0, 1})
      for (int pipe : {0, 1}) b->Args({s, chunk, pipe});
  }
}

BENCHMARK(BM_SerialRenderPaste)->Apply([](auto* b) { sizes(b, false); })->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionSpeech)->Apply([](auto* b) { sizes(b, true); })->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
