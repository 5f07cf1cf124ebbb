// Per-frame time of the fused m4b director through the renderer: the half-precision
// convolution engine (ep "neon") against ONNX Runtime (ep ""), same bundle, same run,
// at batch 1 and 4 and 1 and 2 threads. Each iteration renders one full batch of
// distinct frames; "ms_per_frame" (wall) and "cpu_ms_per_frame" (processor time of the
// whole process, all threads) divide by the batch.
//
//   build/bench/bench_conv [--benchmark_repetitions=3 --benchmark_report_aggregates_only=true]
//
// KA_BENCH_AVX2=1 pins the engine's vector kernels to Highway's AVX2 target (on any x86
// that has it) for the whole run; ONNX Runtime keeps its own dispatch.
//
// After the benchmarks it prints where the engine's time goes per stage (batch 1 and 4,
// 2 threads, 3 renders each). The bundle is the test fixture, made on first use under
// KA_BENCH_M4B (default build/fixtures/m4b) by tools/fixtures/make_m4b_director.py.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hwy/targets.h"

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "compute/simd.h"
#include "render/conv_backend.h"
#include "render/conv_backend_engine.h"
#include "render/renderer.h"

#ifndef KA_SOURCE_DIR
#define KA_SOURCE_DIR "."
#endif

namespace {

std::string bundleDir() {
  const char* d = std::getenv("KA_BENCH_M4B");
  return d && *d ? d : "build/fixtures/m4b";
}

void ensureBundle() {
  static bool done = false;
  if (done) return;
  const std::string cmd = "/usr/bin/python3 " KA_SOURCE_DIR "/tools/fixtures/make_m4b_director.py " + bundleDir() +
                          " > /dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "bench_conv: cannot make %s\n", bundleDir().c_str());
  done = true;
}

// Processor time of every thread of the process: on a shared machine the wall time
// carries other people's load, this does not.
double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

void renderArm(benchmark::State& state, const char* ep) {
  ensureBundle();
  const int batch = static_cast<int>(state.range(0)), threads = static_cast<int>(state.range(1));
  ka::Manifest m = ka::loadManifest(bundleDir());
  ka::Identity id(m);
  ka::Renderer r(m, id, batch == 1 ? "m4b1" : "m4b4", threads, ep);
  std::vector<int> si(static_cast<size_t>(batch));
  std::vector<float> xs(63 * si.size(), 0.1f), xd(63 * si.size(), 0.1f);
  for (size_t i = 0; i < xd.size(); ++i) xd[i] += 0.02f * static_cast<float>(i % 7);
  int next = 0;
  r.render(si.data(), xs.data(), xd.data(), batch);  // warm-up
  const auto t0 = std::chrono::steady_clock::now();
  const double c0 = processCpuSeconds();
  for (auto _ : state) {
    for (int& s : si) s = next++ % id.NT();
    benchmark::DoNotOptimize(r.render(si.data(), xs.data(), xd.data(), batch));
  }
  const double frames = static_cast<double>(state.iterations()) * batch;
  state.counters["ms_per_frame"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / frames;
  state.counters["cpu_ms_per_frame"] = (processCpuSeconds() - c0) * 1e3 / frames;
  state.SetLabel(r.backend());
}

void Engine(benchmark::State& s) { renderArm(s, "neon"); }
void Ort(benchmark::State& s) { renderArm(s, ""); }

BENCHMARK(Engine)->ArgNames({"batch", "threads"})->ArgsProduct({{1, 4}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Ort)->ArgNames({"batch", "threads"})->ArgsProduct({{1, 4}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void printStages() {
  ensureBundle();
  const std::vector<uint16_t> pooled(65536 * 4, 0x3400), prior(3 * 512 * 512 * 4, 0x3800);
  std::vector<float> xs(63 * 4, 0.1f), xd(63 * 4, 0.15f), out(3 * 512 * 512 * 4);
  for (int batch : {1, 4}) {
    auto engine = ka::ConvBackend::create(bundleDir() + (batch == 1 ? "/model_m4b1.onnx" : "/model_m4b4.onnx"), 2);
    std::vector<const uint16_t*> p, q;
    for (int i = 0; i < batch; ++i) {
      p.push_back(pooled.data() + 65536 * i);
      q.push_back(prior.data() + 3 * 512 * 512 * i);
    }
    engine->render(p.data(), q.data(), xs.data(), xd.data(), batch, out.data());
    const ka::M4bStageTimes before = *ka::m4bStageTimes(engine.get());
    for (int i = 0; i < 3; ++i) engine->render(p.data(), q.data(), xs.data(), xd.data(), batch, out.data());
    const ka::M4bStageTimes* t = ka::m4bStageTimes(engine.get());
    std::printf("engine stages, batch %d, 2 threads, ms per frame:", batch);
    for (int s = 0; s < ka::M4bStageTimes::kStages; ++s)
      std::printf(" %s %.1f", ka::M4bStageTimes::kNames[s], (t->seconds[s] - before.seconds[s]) * 1e3 / (3.0 * batch));
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
#if HWY_ARCH_X86
  if (const char* a = std::getenv("KA_BENCH_AVX2"); a && std::string(a) == "1") {
    if (!(hwy::SupportedTargets() & HWY_AVX2)) {
      std::fprintf(stderr, "bench_conv: this processor has no AVX2\n");
      return 1;
    }
    hwy::SetSupportedTargetsForTest(HWY_AVX2);
  }
#endif
  benchmark::AddCustomContext("kernels", ka::simd::target());
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printStages();
  return 0;
}
