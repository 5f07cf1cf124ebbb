// The single-frame path at 1080p: render one face (batch-1 director, crop 512) and paste
// it into its driver frame, per frame, beside render alone and paste alone measured in
// the same run. Paste is timed twice: through the interface (driver frame fetched from
// the cursor, then composited) and the compositor alone on a frame already in memory.
//
// The BM_Budget* benchmarks break the engine's own per-frame work (everything that is not
// a network) into stages, with the bundle's own mask and paste transform: decode +
// conversion, frame copy, unsharp, resample + blend, output copy, and the whole of it
// (the driver frame fetched through the cursor, composited, copied out). Arguments:
// pool threads (1 or 2) and whether a child process keeps one core busy, standing in
// for a network running beside the paste. Every benchmark reports wall time and the CPU
// time of the whole process (pool workers and decoder threads included; the busy child
// is not).
//
// The bundle (1920x1080 driver, 24 frames, crop 512, director b1) is made once by the
// project's fixture scripts into KA_BENCH_SINGLE_FRAME_DIR, else
// <build>/bench_fixtures/single_frame, and reused.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "compute/pool.h"
#include "driver/source.h"
#include "ka/context.h"
#include "ka/ka.h"
#include "paste/paste.h"

extern char** environ;

namespace {

ka_ctx* g_ctx = nullptr;
int g_rows = 0;
std::string g_dir;

bool makeBundle(const std::string& dir) {
  const std::string tools = KA_SOURCE_DIR "/tools/fixtures";
  const std::string cmd = "/usr/bin/python3 " + tools + "/make_identity_bundle.py '" + dir +
                          "' --width 1920 --height 1080 --crop 512 --nt 24 --frames 24 >&2 && "
                          "/usr/bin/python3 " + tools + "/make_directors.py '" + dir + "' --keys b1 >&2";
  return std::system(cmd.c_str()) == 0;
}

void BM_RenderAndPaste(benchmark::State& st) {
  int row = 0;
  for (auto _ : st) {
    const int si = g_ctx->drive().si[row];
    if (!ka_render_drive_crop(g_ctx, row) || !ka_paste_last(g_ctx, si)) {
      st.SkipWithError(ka_last_error());
      break;
    }
    row = (row + 1) % g_rows;
  }
}

void BM_RenderOnly(benchmark::State& st) {
  int row = 0;
  for (auto _ : st) {
    if (!ka_render_drive_crop(g_ctx, row)) {
      st.SkipWithError(ka_last_error());
      break;
    }
    row = (row + 1) % g_rows;
  }
}

// Through the interface: the cursor copies driver frame si out, the compositor blends.
void BM_PasteOnly(benchmark::State& st) {
  const float* c = ka_render_drive_crop(g_ctx, 0);
  if (!c) {
    st.SkipWithError(ka_last_error());
    return;
  }
  const std::vector<float> crop(c, c + 3ul * ka_crop(g_ctx) * ka_crop(g_ctx));
  std::vector<uint8_t> out(g_ctx->frameBytes());
  int row = 0;
  for (auto _ : st) {
    if (!ka_paste_crop(g_ctx, g_ctx->drive().si[row], crop.data(), out.data(), out.size())) {
      st.SkipWithError(ka_last_error());
      break;
    }
    row = (row + 1) % g_rows;
  }
}

// The compositor alone, into a frame already in memory.
void BM_CompositeOnly(benchmark::State& st) {
  const float* c = ka_render_drive_crop(g_ctx, 0);
  if (!c) {
    st.SkipWithError(ka_last_error());
    return;
  }
  const std::vector<float> crop(c, c + 3ul * ka_crop(g_ctx) * ka_crop(g_ctx));
  const uint8_t* driver = ka_target_frame(g_ctx, g_ctx->drive().si[0]);
  const std::vector<uint8_t> plain(driver, driver + g_ctx->frameBytes());
  std::vector<uint8_t> frame = plain;
  const float* M = g_ctx->identity().M(g_ctx->drive().si[0]);
  for (auto _ : st) {
    g_ctx->compositor().composite(crop.data(), 255.0f, M, frame.data(), g_ctx->W(), g_ctx->H());
    benchmark::DoNotOptimize(frame.data());
  }
}

BENCHMARK(BM_RenderAndPaste)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_RenderOnly)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_PasteOnly)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_CompositeOnly)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// ---- the per-stage budget

// A child process spinning on one core for as long as it lives; its CPU time is not
// this process's.
class BusyCore {
 public:
  explicit BusyCore(bool on) {
    if (!on) return;
    char self[] = "/proc/self/exe", mode[] = "--spin";
    char* argv[] = {self, mode, nullptr};
    if (posix_spawn(&pid_, self, nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~BusyCore() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  BusyCore(const BusyCore&) = delete;
  BusyCore& operator=(const BusyCore&) = delete;

 private:
  pid_t pid_ = -1;
};

// Pool size for this benchmark, restored afterwards; the label names the arguments.
struct BudgetArgs {
  BusyCore busy;
  explicit BudgetArgs(benchmark::State& st) : busy(st.range(1) != 0) {
    ka::pool::testing::setThreads(static_cast<int>(st.range(0)));
    st.SetLabel(std::string("threads=") + std::to_string(st.range(0)) + (st.range(1) ? " busy core" : " idle"));
  }
  ~BudgetArgs() { ka::pool::testing::setThreads(0); }
};

const std::vector<float>& budgetCrop() {
  static const std::vector<float> crop = [] {
    const float* c = ka_render_drive_crop(g_ctx, 0);
    return c ? std::vector<float>(c, c + 3ul * ka_crop(g_ctx) * ka_crop(g_ctx)) : std::vector<float>();
  }();
  return crop;
}

// Decoding the driver video and converting it to RGB24, frame after frame, on the
// calling thread (the cursor's producer does this in the session); the decoder's own
// threads count in the CPU column.
void BM_BudgetDecode(benchmark::State& st) {
  BudgetArgs args(st);
  const ka::Manifest& m = g_ctx->manifest();
  auto src = ka::driver::openMp4(g_dir + "/target_frames.mp4", m.NT, m.W, m.H);
  std::vector<uint8_t> frame(src->frameBytes());
  for (auto _ : st)
    if (!src->next(frame.data())) {
      src->rewind();
      src->next(frame.data());
    }
}

// Decoding as BM_BudgetDecode with the decoder's threads forced: 1 (no threading), or 2
// as frame threads or as slice threads. Arguments: pool threads, decoder threads, slices.
void BM_DecodeThreading(benchmark::State& st) {
  ka::pool::testing::setThreads(static_cast<int>(st.range(0)));
  ka::driver::testing::setDecoderThreading(static_cast<int>(st.range(1)), st.range(2) != 0);
  st.SetLabel("pool=" + std::to_string(st.range(0)) + " decoder=" + std::to_string(st.range(1)) +
              (st.range(1) < 2 ? "" : st.range(2) ? " slice" : " frame"));
  {
    const ka::Manifest& m = g_ctx->manifest();
    auto src = ka::driver::openMp4(g_dir + "/target_frames.mp4", m.NT, m.W, m.H);
    std::vector<uint8_t> frame(src->frameBytes());
    for (auto _ : st)
      if (!src->next(frame.data())) {
        src->rewind();
        src->next(frame.data());
      }
  }
  ka::driver::testing::setDecoderThreading(0, false);
  ka::pool::testing::setThreads(0);
}
BENCHMARK(BM_DecodeThreading)
    ->Args({1, 1, 0})->Args({1, 2, 0})->Args({1, 2, 1})
    ->Args({2, 1, 0})->Args({2, 2, 0})->Args({2, 2, 1})
    ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The 6 MB driver frame copied out of its ring slot (the copying pull).
void BM_BudgetFrameCopy(benchmark::State& st) {
  BudgetArgs args(st);
  const uint8_t* slot = ka_target_frame(g_ctx, 0);
  std::vector<uint8_t> out(g_ctx->frameBytes());
  for (auto _ : st) {
    std::memcpy(out.data(), slot, out.size());
    benchmark::DoNotOptimize(out.data());
  }
}

// The session's host pull: the finished frame copied into the host's buffer.
void BM_BudgetOutputCopy(benchmark::State& st) { BM_BudgetFrameCopy(st); }

void BM_BudgetUnsharp(benchmark::State& st) {
  BudgetArgs args(st);
  ka::Paste& p = g_ctx->compositor();
  const auto& crop = budgetCrop();
  for (auto _ : st) p.sharpen(crop.data(), 255.0f);
}

void BM_BudgetResampleBlend(benchmark::State& st) {
  BudgetArgs args(st);
  ka::Paste& p = g_ctx->compositor();
  const int si = g_ctx->drive().si[0];
  std::vector<uint8_t> frame(ka_target_frame(g_ctx, si), ka_target_frame(g_ctx, si) + g_ctx->frameBytes());
  ka::Paste::Placement pl;
  if (!p.place(g_ctx->identity().M(si), g_ctx->W(), g_ctx->H(), &pl)) {
    st.SkipWithError("the crop lands outside the frame");
    return;
  }
  p.sharpen(budgetCrop().data(), 255.0f);
  st.counters["box_px"] = double(pl.x1 - pl.x0 + 1) * (pl.y1 - pl.y0 + 1);
  for (auto _ : st) {
    p.compositeTail(frame.data(), g_ctx->W(), pl.x0, pl.x1, pl.y0, pl.y1, pl.ub, pl.vb, pl.uc, pl.vc);
    benchmark::DoNotOptimize(frame.data());
  }
}

// The whole of it, frame after frame in driver order: the cursor decodes ahead on its
// thread, ka_paste_crop fetches and composites, the host's copy follows.
void BM_BudgetFrame(benchmark::State& st) {
  BudgetArgs args(st);
  const auto& crop = budgetCrop();
  std::vector<uint8_t> out(g_ctx->frameBytes()), host(g_ctx->frameBytes());
  int si = 0;
  for (auto _ : st) {
    if (!ka_paste_crop(g_ctx, si, crop.data(), out.data(), out.size())) {
      st.SkipWithError(ka_last_error());
      break;
    }
    std::memcpy(host.data(), out.data(), host.size());
    benchmark::DoNotOptimize(host.data());
    si = (si + 1) % ka_nt(g_ctx);
  }
}

void budgetArgs(benchmark::internal::Benchmark* b) {
  b->ArgsProduct({{1, 2}, {0, 1}})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
}
BENCHMARK(BM_BudgetDecode)->Apply(budgetArgs);
BENCHMARK(BM_BudgetFrameCopy)->Apply(budgetArgs);
BENCHMARK(BM_BudgetUnsharp)->Apply(budgetArgs);
BENCHMARK(BM_BudgetResampleBlend)->Apply(budgetArgs);
BENCHMARK(BM_BudgetOutputCopy)->Apply(budgetArgs);
BENCHMARK(BM_BudgetFrame)->Apply(budgetArgs);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--spin") == 0) {
    volatile unsigned long x = 0;
    for (;;) x = x + 1;
  }
  const char* env = std::getenv("KA_BENCH_SINGLE_FRAME_DIR");
  const std::string dir = env && *env ? env : KA_BENCH_CACHE "/single_frame";
  g_dir = dir;
  if (!makeBundle(dir)) {
    std::fprintf(stderr, "bench_single_frame: could not make the bundle in %s\n", dir.c_str());
    return 1;
  }
  g_ctx = ka_create(dir.c_str(), "b1", 0, nullptr);
  if (!g_ctx) {
    std::fprintf(stderr, "bench_single_frame: %s\n", ka_last_error());
    return 1;
  }
  g_rows = ka_drive_frames(g_ctx);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ka_destroy(g_ctx);
  return 0;
}
