// The renderer's graph surgeries at crop 512, on the g_cone director of
// tools/fixtures/make_graph_directors.py exported with --detail (its source cone carries
// a 3 -> 16 -> 16 -> 3 conv stack at full resolution, a large share of the frame's work),
// at 1 and 2 intra-op threads:
//
//   Whole/rewritten       the baseline: ONNX Runtime on the director with the node-level
//                         rewrites the renderer applies, no hoist, the renderer's session
//                         options, inputs bound the same way
//   Render/hoisted        the renderer as it ships: the cone cut out and prefetched one
//                         source frame ahead on its own thread, the source frame moving
//                         every frame as the idle walk moves it
//   Render/one_source     the same renderer held on one source frame: the per-frame graph
//                         alone, the cone never runs again
//   Render/warp_node      KA_WARP_NODE=1: cone, sampler and recombination as one
//                         com.tavrin::WarpDirector node (the detail channels of this
//                         director go with the cone, so the picture differs slightly)
//   Prep/cone             the prep graph alone, one thread, as the prefetch runs it
//
// The prefetch hides (one_source + cone) - hoisted per frame.
//
//   build/bench/bench_graph [--benchmark_repetitions=3 --benchmark_report_aggregates_only=true]
//
// The crop-512 bundle is made on first use under KA_BENCH_GRAPH (default
// build/bench_models/graph512) by make_identity_bundle.py and make_graph_directors.py.
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
#include "render/graph_rewrites.h"
#include "render/renderer.h"
#include "render/source_cone.h"

#ifndef KA_SOURCE_DIR
#define KA_SOURCE_DIR "."
#endif

namespace {

constexpr int kCrop = 512;
constexpr const char* kKey = "g_cone";

std::string bundleDir() {
  const char* d = std::getenv("KA_BENCH_GRAPH");
  return d && *d ? d : "build/bench_models/graph512";
}

template <typename T>
std::vector<T> readRaw(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<T> v(s.size() / sizeof(T));
  std::memcpy(v.data(), s.data(), v.size() * sizeof(T));
  return v;
}

struct Fixture {
  ka::Manifest m;
  std::unique_ptr<ka::Identity> id;
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
  ka::GsBytes rewritten;  // the director after the node-level rewrites
};

Fixture& fixture() {
  static Fixture* f = [] {
    const std::string dir = bundleDir();
    if (!std::ifstream(dir + "/model_g_cone.onnx")) {
      const std::string tools = std::string(KA_SOURCE_DIR) + "/tools/fixtures/";
      const std::string cmd = "/usr/bin/python3 " + tools + "make_identity_bundle.py '" + dir +
                              "' --nt 8 --frames 8 --width 1280 --height 720 --crop 512 --prior raw && "
                              "/usr/bin/python3 " + tools + "make_graph_directors.py --bundle '" + dir +
                              "' --keys g_cone --detail";
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
    const std::string bytes = [&] {
      std::ifstream in(fx->m.modelPath(kKey), std::ios::binary);
      return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    fx->rewritten.assign(bytes.begin(), bytes.end());
    ka::rewriteGridSampleToFast(fx->rewritten);
    ka::normaliseStudentBlend(fx->rewritten);
    ka::rewriteHeadCubicResize(fx->rewritten);
    return fx;
  }();
  return *f;
}

Ort::SessionOptions rendererOptions(int threads) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  so.AddConfigEntry("mlas.disable_kleidiai", "1");
  ka::registerGridSampleFast(so);
  ka::registerInt8ConvVNNI(so);
  return so;
}

void renderArm(benchmark::State& state, bool warp, bool oneSource) {
  Fixture& fx = fixture();
  if (warp) setenv("KA_WARP_NODE", "1", 1);
  ka::Renderer r(fx.m, *fx.id, kKey, static_cast<int>(state.range(0)), "");
  unsetenv("KA_WARP_NODE");
  if (r.stages().hoisted == warp) state.SkipWithError("the stage under test did not take hold");
  const size_t rows = fx.si.size();
  size_t row = 0;
  r.render(&fx.si[0], &fx.xs[0], &fx.xd[0], 1);
  for (auto _ : state) {
    const int32_t* si = oneSource ? &fx.si[0] : &fx.si[row];
    benchmark::DoNotOptimize(r.render(si, &fx.xs[63 * row], &fx.xd[63 * row], 1));
    row = (row + 1) % rows;
  }
  state.counters["cone_runs"] = static_cast<double>(r.stages().prepRuns);
}

void BM_Render_hoisted(benchmark::State& state) { renderArm(state, false, false); }
void BM_Render_one_source(benchmark::State& state) { renderArm(state, false, true); }
void BM_Render_warp_node(benchmark::State& state) { renderArm(state, true, false); }

void BM_Whole_rewritten(benchmark::State& state) {
  Fixture& fx = fixture();
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ka-bench");
  Ort::SessionOptions so = rendererOptions(static_cast<int>(state.range(0)));
  Ort::Session session(env, fx.rewritten.data(), fx.rewritten.size(), so);
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
}

void BM_Prep_cone(benchmark::State& state) {
  Fixture& fx = fixture();
  std::string boundary, why;
  ka::GsBytes prep;
  if (ka::findSourceConeBoundary(fx.rewritten, boundary) != 1 ||
      !ka::buildSourceConePrep(fx.rewritten, boundary, prep, why)) {
    state.SkipWithError(("no prep graph: " + why).c_str());
    return;
  }
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ka-bench");
  Ort::SessionOptions so = rendererOptions(1);
  Ort::Session session(env, prep.data(), prep.size(), so);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<float> prior(3 * kCrop * kCrop);
  const int64_t shape[4] = {1, 3, kCrop, kCrop};
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), shape, 4);
  const char* inName = "P_rgb";
  const char* outName = boundary.c_str();
  size_t row = 0;
  for (auto _ : state) {
    ka::simd::f16ToF32(fx.id->P(fx.si[row]), prior.data(), prior.size());
    benchmark::DoNotOptimize(session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1));
    row = (row + 1) % fx.si.size();
  }
}

}  // namespace

BENCHMARK(BM_Whole_rewritten)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render_hoisted)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render_one_source)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render_warp_node)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Prep_cone)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
