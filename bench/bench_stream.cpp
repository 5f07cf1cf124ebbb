// The offline stream run (ka_stream_run: deltas for the whole clip, then rendering on its
// own thread while the caller's thread pastes) beside the single-frame path called in a
// plain loop on the same keypoints (render, then paste, one after the other), and each
// stage alone, so the pipeline's rate can be read against the slower stage's. Sizes: the
// demo's (640x360, crop 256, 50 driver frames) and 1080p (1920x1080, crop 512, 24
// frames), the fixture networks (director b1 installed as "render"), 2 s of speech.
//
// Run:  build/bench/bench_stream --benchmark_counters_tabular=true
// Fixtures are made once into <build>/bench_fixtures/stream-<size> by the project's
// fixture scripts. Every arm runs with 2 intra-op threads; rates are per wall second.
//
// One run on a 2-core x86 machine shared with other jobs (load average about 7, so
// expect noise): demo 42.1 fps for the whole run (deltas for 50 frames: 123 ms) against
// 52.2 fps for render + paste in a loop, render alone 44.6, paste alone 184; 1080p 9.5
// fps against 4.1 in a loop, render alone 7.5, paste alone 19.7. Where the paste is a
// real share of the frame (1080p) the pipeline's overlap shows; where the render
// dominates (demo) it stays at the render's rate.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ka/ka.h"

namespace {

constexpr int kThreads = 2;
constexpr int kFrames = 50;  // 2 s of speech

struct Size {
  const char* name;
  int w, h, crop, nt;
};
const Size kSizes[] = {{"demo", 640, 360, 256, 50}, {"1080p", 1920, 1080, 512, 24}};

std::string fixtures(const Size& s) {
  const std::string dir = std::string(KA_BENCH_CACHE) + "/stream-" + s.name;
  const std::string tools = KA_SOURCE_DIR "/tools/fixtures";
  const std::string cmd = "/usr/bin/python3 " + tools + "/make_identity_bundle.py '" + dir + "/bundle' --width " +
                          std::to_string(s.w) + " --height " + std::to_string(s.h) + " --crop " +
                          std::to_string(s.crop) + " --nt " + std::to_string(s.nt) + " --frames " +
                          std::to_string(s.nt) + " >&2 && /usr/bin/python3 " + tools + "/make_directors.py '" + dir +
                          "/bundle' --keys b1 >&2 && /usr/bin/python3 " + tools + "/make_fca_fixtures.py '" + dir +
                          "/bundle' --w2v-dir '" + dir + "/w2v' >&2";
  return std::system(cmd.c_str()) == 0 ? dir : std::string();
}

std::vector<float> speech() {
  std::vector<float> v(static_cast<size_t>(kFrames) * 640);
  for (size_t i = 0; i < v.size(); ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    v[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t) * (0.55 + 0.45 * std::sin(2 * M_PI * 3 * t)));
  }
  return v;
}

// Every frame's driver index and keypoints, as the stream computes them (no drop, gain 1).
struct Keypoints {
  std::vector<int> si;
  std::vector<float> xs, xd;
};

bool keypoints(const std::string& dir, int nt, Keypoints& k) {
  const std::vector<float> x = speech();
  ka_fca* f = ka_fca_create((dir + "/w2v/audio_encoder.onnx").c_str(), (dir + "/bundle/fca_stream.onnx").c_str(),
                            kThreads);
  if (!f) return false;
  std::vector<float> d(static_cast<size_t>(kFrames) * 63);
  const int n = ka_fca_deltas(f, x.data(), static_cast<int>(x.size()), d.data(), kFrames);
  ka_fca_destroy(f);
  if (n != kFrames) return false;
  std::vector<float> target(static_cast<size_t>(nt) * 63);
  FILE* in = std::fopen((dir + "/bundle/xs_target.bin").c_str(), "rb");
  if (!in) return false;
  const size_t got = std::fread(target.data(), sizeof(float), target.size(), in);
  std::fclose(in);
  if (got != target.size()) return false;
  for (int i = 0; i < kFrames; ++i) {
    const int si = nt < 2 ? 0 : i % nt;
    k.si.push_back(si);
    for (int j = 0; j < 63; ++j) {
      k.xs.push_back(target[static_cast<size_t>(si) * 63 + j]);
      k.xd.push_back(target[static_cast<size_t>(si) * 63 + j] + d[static_cast<size_t>(i) * 63 + j]);
    }
  }
  return true;
}

void sink(void* user, int, const uint8_t* rgb, int, int) {
  benchmark::DoNotOptimize(rgb);
  ++*static_cast<int*>(user);
}

void perFrame(benchmark::State& st, int frames) {
  st.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// ka_stream_run over the whole clip, deltas included.
void BM_StreamRun(benchmark::State& st) {
  const Size& size = kSizes[st.range(0)];
  const std::string dir = fixtures(size);
  if (dir.empty()) return st.SkipWithError("fixtures could not be made");
  ka_stream* s = ka_stream_create((dir + "/bundle").c_str(), (dir + "/w2v/audio_encoder.onnx").c_str(), kThreads, 0,
                                  1.0f);
  if (!s) return st.SkipWithError(ka_stream_last_error());
  const std::vector<float> x = speech();
  int frames = 0;
  ka_stream_run(s, x.data(), static_cast<int>(x.size()), sink, &frames);  // warm-up: builds the renderer
  frames = 0;
  for (auto _ : st) {
    if (ka_stream_run(s, x.data(), static_cast<int>(x.size()), sink, &frames) != kFrames) {
      st.SkipWithError(ka_stream_last_error());
      break;
    }
  }
  perFrame(st, frames);
  st.SetLabel(size.name);
  ka_stream_destroy(s);
}

// The deltas alone: what the run spends before its first frame.
void BM_DeltasOnly(benchmark::State& st) {
  const Size& size = kSizes[st.range(0)];
  const std::string dir = fixtures(size);
  if (dir.empty()) return st.SkipWithError("fixtures could not be made");
  ka_fca* f = ka_fca_create((dir + "/w2v/audio_encoder.onnx").c_str(), (dir + "/bundle/fca_stream.onnx").c_str(),
                            kThreads);
  if (!f) return st.SkipWithError(ka_fca_last_error());
  const std::vector<float> x = speech();
  std::vector<float> d(static_cast<size_t>(kFrames) * 63);
  int frames = 0;
  for (auto _ : st) {
    if (ka_fca_deltas(f, x.data(), static_cast<int>(x.size()), d.data(), kFrames) != kFrames) {
      st.SkipWithError(ka_fca_last_error());
      break;
    }
    frames += kFrames;
  }
  perFrame(st, frames);
  st.SetLabel(size.name);
  ka_fca_destroy(f);
}

// Args: size; mode 0 render then paste, 1 render alone, 2 paste alone.
void BM_SingleFrameLoop(benchmark::State& st) {
  const Size& size = kSizes[st.range(0)];
  const int mode = static_cast<int>(st.range(1));
  const std::string dir = fixtures(size);
  if (dir.empty()) return st.SkipWithError("fixtures could not be made");
  ka_ctx* ctx = ka_create((dir + "/bundle").c_str(), "render", kThreads, nullptr);
  if (!ctx) return st.SkipWithError(ka_last_error());
  Keypoints k;
  if (!keypoints(dir, ka_nt(ctx), k)) {
    ka_destroy(ctx);
    return st.SkipWithError("deltas failed");
  }
  std::vector<uint8_t> rgb(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
  const size_t cropFloats = 3ul * ka_crop(ctx) * ka_crop(ctx);
  const float* first = ka_render_kp_crop(ctx, k.si[0], k.xs.data(), k.xd.data());  // warm-up
  if (!first) {
    ka_destroy(ctx);
    return st.SkipWithError(ka_last_error());
  }
  const std::vector<float> crop(first, first + cropFloats);
  int frames = 0;
  for (auto _ : st) {
    for (int i = 0; i < kFrames; ++i) {
      const float* c = crop.data();
      if (mode != 2) c = ka_render_kp_crop(ctx, k.si[i], k.xs.data() + 63 * i, k.xd.data() + 63 * i);
      if (!c || (mode != 1 && !ka_paste_crop(ctx, k.si[i], c, rgb.data(), rgb.size()))) {
        st.SkipWithError(ka_last_error());
        break;
      }
    }
    frames += kFrames;
  }
  perFrame(st, frames);
  st.SetLabel(std::string(size.name) + (mode == 0 ? " render+paste" : mode == 1 ? " render" : " paste"));
  ka_destroy(ctx);
}

}  // namespace

BENCHMARK(BM_StreamRun)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DeltasOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SingleFrameLoop)
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

BENCHMARK_MAIN();
