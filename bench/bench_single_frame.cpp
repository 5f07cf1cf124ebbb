// The single-frame path at 1080p: render one face (batch-1 director, crop 512) and paste
// it into its driver frame, per frame, beside render alone and paste alone measured in
// the same run. Paste is timed twice: through the interface (driver frame fetched from
// the cursor, then composited) and the compositor alone on a frame already in memory.
//
// The bundle (1920x1080 driver, 24 frames, crop 512, director b1) is made once by the
// project's fixture scripts into KA_BENCH_SINGLE_FRAME_DIR, else
// <build>/bench_fixtures/single_frame, and reused.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "ka/context.h"
#include "ka/ka.h"

namespace {

ka_ctx* g_ctx = nullptr;
int g_rows = 0;

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

BENCHMARK(BM_RenderAndPaste)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PasteOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CompositeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("KA_BENCH_SINGLE_FRAME_DIR");
  const std::string dir = env && *env ? env : KA_BENCH_CACHE "/single_frame";
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
