// The library's custom operators and the head cubic rewrite, each against the ONNX
// Runtime kernel it replaces, inside real sessions at 1 and 2 intra-op threads.
//
//   /usr/bin/python3 tools/fixtures/make_onnx_ops.py build/bench_models
//   KA_BENCH_MODELS=build/bench_models build/bench/bench_ops
//
// Pairs to compare (same shapes, same run):
//   GridSample/ort  vs GridSample/fast   [1,3,512,512] and [1,32,64,64], a smooth warp grid
//                                        reaching past [-1, 1] near the edges
//   CubicHead/ort   vs CubicHead/rewritten   [1,64,256,256] -> [1,64,512,512] (+ 1x1 depthwise Conv)
//   Conv/float      vs Conv/int8vnni     [1,64,128,128], 3x3, 64 -> 64, pad 1; the library's
//                                        pool runs on the arm's thread count too, and the
//                                        int8 arm avx2:1 pins the kernels to AVX2
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compute/pool.h"
#include "compute/simd.h"
#include "hwy/targets.h"
#include "render/custom_ops.h"
#include "render/graph_rewrites.h"
#include "render/onnx_codec.h"

namespace {

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "ka-bench");
  return e;
}

std::string modelPath(const char* name) {
  const char* dir = std::getenv("KA_BENCH_MODELS");
  return std::string(dir && *dir ? dir : "build/bench_models") + "/" + name;
}

ka::GsBytes readModel(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return ka::GsBytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct Buffer {
  std::vector<int64_t> shape;
  std::vector<float> f;
  std::vector<int8_t> i8;
};

Buffer randomFloats(std::vector<int64_t> shape, float lo, float hi, uint32_t seed) {
  size_t n = 1;
  for (auto d : shape) n *= size_t(d);
  Buffer b{std::move(shape), std::vector<float>(n), {}};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  for (auto& v : b.f) v = d(rng);
  return b;
}

// A smooth warp like the director's: identity stretched by 10% with a few pixels of
// ripple, so samples near the frame edges fall outside [-1, 1].
Buffer warpGrid(int64_t h, int64_t w) {
  Buffer b{{1, h, w, 2}, std::vector<float>(size_t(h * w * 2)), {}};
  for (int64_t i = 0; i < h; ++i)
    for (int64_t j = 0; j < w; ++j) {
      const float u = (2.f * j + 1.f) / w - 1.f, v = (2.f * i + 1.f) / h - 1.f;
      b.f[size_t(i * w + j) * 2] = 1.1f * u + 0.02f * std::sin(6.f * v);
      b.f[size_t(i * w + j) * 2 + 1] = 1.1f * v + 0.02f * std::cos(5.f * u);
    }
  return b;
}

// One session with its inputs and its output bound to caller memory, run repeatedly.
class Runner {
 public:
  Runner(const ka::GsBytes& model, int threads, std::vector<Buffer> inputs, std::vector<int64_t> outShape)
      : inputs_(std::move(inputs)) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    ka::registerGridSampleFast(so);
    ka::registerInt8ConvVNNI(so);
    session_ = std::make_unique<Ort::Session>(env(), model.data(), model.size(), so);
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::AllocatorWithDefaultOptions alloc;
    for (size_t i = 0; i < inputs_.size(); ++i) {
      names_.push_back(session_->GetInputNameAllocated(i, alloc).get());
      Buffer& b = inputs_[i];
      if (!b.i8.empty())
        in_.push_back(Ort::Value::CreateTensor<int8_t>(mem, b.i8.data(), b.i8.size(), b.shape.data(), b.shape.size()));
      else
        in_.push_back(Ort::Value::CreateTensor<float>(mem, b.f.data(), b.f.size(), b.shape.data(), b.shape.size()));
    }
    outName_ = session_->GetOutputNameAllocated(0, alloc).get();
    size_t n = 1;
    for (auto d : outShape) n *= size_t(d);
    outBuf_.resize(n);
    outShape_ = std::move(outShape);
    out_.push_back(Ort::Value::CreateTensor<float>(mem, outBuf_.data(), n, outShape_.data(), outShape_.size()));
    for (auto& s : names_) cnames_.push_back(s.c_str());
  }

  void run() {
    const char* on = outName_.c_str();
    session_->Run(Ort::RunOptions{nullptr}, cnames_.data(), in_.data(), in_.size(), &on, out_.data(), 1);
  }

 private:
  std::vector<Buffer> inputs_;
  std::unique_ptr<Ort::Session> session_;
  std::vector<std::string> names_;
  std::vector<const char*> cnames_;
  std::vector<Ort::Value> in_, out_;
  std::string outName_;
  std::vector<float> outBuf_;
  std::vector<int64_t> outShape_;
};

bool haveModels(benchmark::State& state, const char* name) {
  if (readModel(modelPath(name)).empty()) {
    state.SkipWithError(("missing " + modelPath(name) + " (run tools/fixtures/make_onnx_ops.py)").c_str());
    return false;
  }
  return true;
}

void loop(benchmark::State& state, Runner& r) {
  r.run();  // warm-up: first-run allocations and weight packing
  for (auto _ : state) r.run();
}

// args: threads, shape (0: [1,3,512,512], 1: [1,32,64,64])
void gridSample(benchmark::State& state, const char* model) {
  if (!haveModels(state, model)) return;
  const int threads = int(state.range(0));
  const std::vector<int64_t> x = state.range(1) == 0 ? std::vector<int64_t>{1, 3, 512, 512}
                                                     : std::vector<int64_t>{1, 32, 64, 64};
  std::vector<Buffer> in = {randomFloats(x, -1, 1, 1), warpGrid(x[2], x[3])};
  Runner r(readModel(modelPath(model)), threads, std::move(in), x);
  loop(state, r);
}
void BM_GridSample_ort(benchmark::State& s) { gridSample(s, "gs_ref.onnx"); }
void BM_GridSample_fast(benchmark::State& s) { gridSample(s, "gsf.onnx"); }

void cubicHead(benchmark::State& state, bool rewrite) {
  if (!haveModels(state, "cubic_bench.onnx")) return;
  ka::GsBytes model = readModel(modelPath("cubic_bench.onnx"));
  if (rewrite && ka::rewriteHeadCubicResize(model) != 1) {
    state.SkipWithError("the head rewrite did not apply to cubic_bench.onnx");
    return;
  }
  std::vector<Buffer> in = {randomFloats({1, 64, 256, 256}, -1, 1, 3)};
  Runner r(model, int(state.range(0)), std::move(in), {1, 64, 512, 512});
  loop(state, r);
}
void BM_CubicHead_ort(benchmark::State& s) { cubicHead(s, false); }
void BM_CubicHead_rewritten(benchmark::State& s) { cubicHead(s, true); }

// Pins the library's pool to the arm's thread count (ONNX Runtime gets the same count
// as intra-op threads) and, with avx2 set, the vector kernels to the AVX2 target, for the
// benchmark's lifetime.
class ArmSetting {
 public:
  ArmSetting(int threads, bool avx2) {
    ka::pool::testing::setThreads(threads);
#if HWY_ARCH_X86
    if (avx2) hwy::SetSupportedTargetsForTest(HWY_AVX2);
#else
    (void)avx2;
#endif
  }
  ~ArmSetting() {
    ka::pool::testing::setThreads(0);
    hwy::SetSupportedTargetsForTest(0);
  }
  ArmSetting(const ArmSetting&) = delete;
  ArmSetting& operator=(const ArmSetting&) = delete;
};

// args: threads[, avx2 (int8 only: 1 runs the kernels' AVX2 target on any x86)]
void conv(benchmark::State& state, bool int8) {
  const char* name = int8 ? "int8_bench.onnx" : "conv_bench.onnx";
  if (!haveModels(state, name)) return;
  const bool avx2 = int8 && state.range(1) != 0;
#if HWY_ARCH_X86
  if (avx2 && !(hwy::SupportedTargets() & HWY_AVX2)) {
    state.SkipWithError("this processor has no AVX2");
    return;
  }
#endif
  ArmSetting arm(int(state.range(0)), avx2);
  if (int8) state.SetLabel(ka::simd::target());
  const std::vector<int64_t> ws = {64, 64, 3, 3};
  std::vector<Buffer> in = {randomFloats({1, 64, 128, 128}, -1, 2, 4)};
  Buffer w = randomFloats(ws, -0.05f, 0.05f, 5);
  if (int8) {
    w.i8.resize(w.f.size());
    for (size_t i = 0; i < w.f.size(); ++i) w.i8[i] = static_cast<int8_t>(w.f[i] * 2540.f);
    w.f.clear();
    in.push_back(std::move(w));
    in.push_back(randomFloats({64}, 1e-4f, 2e-4f, 6));
  } else {
    in.push_back(std::move(w));
  }
  in.push_back(randomFloats({64}, -0.1f, 0.1f, 7));
  Runner r(readModel(modelPath(name)), int(state.range(0)), std::move(in), {1, 64, 128, 128});
  loop(state, r);
}
void BM_Conv_float(benchmark::State& s) { conv(s, false); }
void BM_Conv_int8vnni(benchmark::State& s) { conv(s, true); }

}  // namespace

BENCHMARK(BM_GridSample_ort)->ArgsProduct({{1, 2}, {0, 1}})->ArgNames({"threads", "shape"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridSample_fast)->ArgsProduct({{1, 2}, {0, 1}})->ArgNames({"threads", "shape"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CubicHead_ort)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CubicHead_rewritten)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond);
// CPU time of the whole process, so the pool's workers and ONNX Runtime's intra-op
// threads count too: on a shared machine it is the figure that compares the work.
BENCHMARK(BM_Conv_float)->Arg(1)->Arg(2)->ArgName("threads")->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Conv_int8vnni)
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->ArgNames({"threads", "avx2"})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
