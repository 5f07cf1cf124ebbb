// Renderer time per frame at crop 512 for the batch-1 director of
// tools/fixtures/make_directors.py, at 1 and 2 intra-op threads, in three arms:
//
//   Render/rewrites        the renderer as it ships: GridSample -> GridSampleFast, the
//                          blend MatMul -> Gemm, the head cubic Resize -> Pad + dw Conv +
//                          DepthToSpace
//   Render/gs_rewrite_off  KA_GS_REWRITE=0 at construction: ORT's own GridSample, the
//                          other two rewrites still applied
//   OrtFile/untouched      the baseline: ONNX Runtime on the exported file as it is, the
//                          same session options, inputs bound the same way
//
//   build/bench/bench_renderer [--benchmark_repetitions=5 --benchmark_report_aggregates_only=true]
//
// The crop-512 bundle is made on first use under KA_BENCH_DIRECTORS (default
// build/bench_models/directors512) by tools/fixtures/make_identity_bundle.py and
// make_directors.py. Each iteration renders one frame, walking the source frames with
// the bundle's own idle-loop keypoints (driving != source, so the warp moves pixels).
// For where the time goes, run one arm with KA_ORT_PROFILE=/tmp/director (the baseline
// arm profiles too) and read the profile named on stderr when the session goes away:
//   KA_ORT_PROFILE=/tmp/director build/bench/bench_renderer --benchmark_filter=threads:1
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "compute/simd.h"
#include "render/custom_ops.h"
#include "render/renderer.h"

#ifndef KA_SOURCE_DIR
#define KA_SOURCE_DIR "."
#endif

namespace {

constexpr int kCrop = 512;

std::string bundleDir() {
  const char* d = std::getenv("KA_BENCH_DIRECTORS");
  return d && *d ? d : "build/bench_models/directors512";
}

template <typename T>
std::vector<T> readRaw(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<T> v(s.size() / sizeof(T));
  std::memcpy(v.data(), s.data(), v.size() * sizeof(T));
  return v;
}

// The bundle, its identity and its idle-loop rows, made once per process.
struct Fixture {
  ka::Manifest m;
  std::unique_ptr<ka::Identity> id;
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
};

Fixture& fixture() {
  static Fixture* f = [] {
    const std::string dir = bundleDir();
    if (!std::ifstream(dir + "/model_b1.onnx")) {
      const std::string tools = std::string(KA_SOURCE_DIR) + "/tools/fixtures/";
      const std::string cmd = "/usr/bin/python3 " + tools + "make_identity_bundle.py '" + dir +
                              "' --nt 8 --frames 8 --width 1280 --height 720 --crop 512 --prior raw && "
                              "/usr/bin/python3 " + tools + "make_directors.py --bundle '" + dir + "' --keys b1";
      std::fprintf(stderr, "making the crop-512 bundle: %s\n", cmd.c_str());
      if (std::system(cmd.c_str()) != 0) throw std::runtime_error("could not make " + dir);
    }
    auto* fx = new Fixture;
    fx->m = ka::loadManifest(dir);
    if (fx->m.crop != kCrop) throw std::runtime_error(dir + " is not a crop-512 bundle");
    fx->id = std::make_unique<ka::Identity>(fx->m);
    fx->xs = readRaw<float>(dir + "/drive/xs.f32");
    fx->xd = readRaw<float>(dir + "/drive/xd.f32");
    fx->si = readRaw<int32_t>(dir + "/drive/si.i32");
    return fx;
  }();
  return *f;
}

void renderArm(benchmark::State& state, bool gsRewrite) {
  Fixture& fx = fixture();
  const int threads = static_cast<int>(state.range(0));
  if (gsRewrite) unsetenv("KA_GS_REWRITE");
  else setenv("KA_GS_REWRITE", "0", 1);
  ka::Renderer r(fx.m, *fx.id, "b1", threads, "");  // the variable is read here, once
  unsetenv("KA_GS_REWRITE");
  const size_t rows = fx.si.size();
  size_t row = 0;
  r.render(&fx.si[0], &fx.xs[0], &fx.xd[0], 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(r.render(&fx.si[row], &fx.xs[63 * row], &fx.xd[63 * row], 1));
    row = (row + 1) % rows;
  }
}

void BM_Render_rewrites(benchmark::State& state) { renderArm(state, true); }
void BM_Render_gs_rewrite_off(benchmark::State& state) { renderArm(state, false); }

// ONNX Runtime on the untouched file with the renderer's session options; the per-frame
// input conversion is done as the renderer does it, so only the graph differs.
void BM_OrtFile_untouched(benchmark::State& state) {
  Fixture& fx = fixture();
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ka-bench");
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(static_cast<int>(state.range(0)));
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  so.AddConfigEntry("mlas.disable_kleidiai", "1");
  ka::registerGridSampleFast(so);
  ka::registerInt8ConvVNNI(so);
  const char* profile = std::getenv("KA_ORT_PROFILE");
  if (profile && *profile) so.EnableProfiling((std::string(profile) + "_untouched").c_str());
  Ort::Session session(env, fx.m.modelPath("b1").c_str(), so);
  Ort::RunOptions ro;
  ro.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  Ort::IoBinding binding(session);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const size_t frame = 3 * kCrop * kCrop;
  std::vector<float> pooled(65536), prior(frame), kd(63), ks(63), out(frame);
  std::vector<Ort::Value> values;
  auto bind = [&](const char* name, std::vector<float>& v, std::vector<int64_t> shape, bool output) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shape.data(), shape.size()));
    if (output) binding.BindOutput(name, values.back());
    else binding.BindInput(name, values.back());
  };
  bind("pooled64", pooled, {1, 64, 32, 32}, false);
  bind("P_rgb", prior, {1, 3, kCrop, kCrop}, false);
  bind("kp_driving", kd, {1, 21, 3}, false);
  bind("kp_source", ks, {1, 21, 3}, false);
  bind("rgb", out, {1, 3, kCrop, kCrop}, true);
  const size_t rows = fx.si.size();
  size_t row = 0;
  auto step = [&] {
    ka::simd::f16ToF32(fx.id->pooled64(fx.si[row]), pooled.data(), pooled.size());
    ka::simd::f16ToF32(fx.id->P(fx.si[row]), prior.data(), prior.size());
    std::memcpy(kd.data(), &fx.xd[63 * row], 63 * sizeof(float));
    std::memcpy(ks.data(), &fx.xs[63 * row], 63 * sizeof(float));
    session.Run(ro, binding);
    row = (row + 1) % rows;
  };
  step();
  for (auto _ : state) step();
  if (profile && *profile) {
    Ort::AllocatorWithDefaultOptions alloc;
    std::fprintf(stderr, "[ka_ort_profile] %s\n", session.EndProfilingAllocated(alloc).get());
  }
}

}  // namespace

BENCHMARK(BM_OrtFile_untouched)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render_gs_rewrite_off)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render_rewrites)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
