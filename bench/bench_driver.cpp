// Driver playback: 1080p H.264 through the cursor against the ffmpeg tool decoding and
// converting the same file to rgb24, and the cursor's memory for a short and a long
// driver (each played in a fresh process so its peak is its own).
//
// The members are made here with the ffmpeg tool, into $KA_BENCH_DRIVER_DIR when set
// (kept and reused) or a temporary directory (removed). Making the 2,000-frame one takes
// a minute or two.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/path_util.h"
#include "compute/simd.h"
#include "driver/driver_cursor.h"

#ifndef KA_FFMPEG_TOOL
#define KA_FFMPEG_TOOL "ffmpeg"
#endif

extern char** environ;

namespace {

constexpr int kW = 1920, kH = 1080, kAhead = 2, kBehind = 11;
std::string g_dir;
double g_cursorFps = 0, g_toolFps = 0;

std::string member(int nt) { return g_dir + "/driver_" + std::to_string(nt) + ".mp4"; }

int sh(const std::string& cmd) { return std::system(cmd.c_str()); }

void makeMember(int nt) {
  const std::string path = member(nt);
  if (access(path.c_str(), R_OK) == 0) return;
  std::fprintf(stderr, "[bench_driver] encoding %d frames of %dx%d H.264 ...\n", nt, kW, kH);
  const std::string cmd = std::string(KA_FFMPEG_TOOL) +
                          " -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=" +
                          std::to_string(kW) + "x" + std::to_string(kH) + ":rate=25 -frames:v " +
                          std::to_string(nt) +
                          " -c:v libx264 -preset ultrafast -g 50 -pix_fmt yuv420p -x264-params log-level=error " +
                          path + ".part.mp4 && mv " + path + ".part.mp4 " + path;
  if (sh(cmd) != 0) throw std::runtime_error("could not encode " + path);
}

// Sequential playback through the cursor. `copy`: every frame copied out, as the idle
// loop does into its output slot; otherwise the frame is used in its ring slot, the same
// work as the tool's decode-convert-discard baseline below.
void cursorPlayback(benchmark::State& state, bool copy) {
  auto c = ka::DriverCursor::over(ka::driver::openMp4(member(100), 100, kW, kH), kAhead, kBehind);
  std::vector<uint8_t> frame(c->frameBytes);
  int got = -1;
  c->pull(&got);  // decoder warm
  const auto t0 = std::chrono::steady_clock::now();
  int64_t frames = 0;
  for (auto _ : state) {
    if (copy) benchmark::DoNotOptimize(c->pull(frame.data()));
    else benchmark::DoNotOptimize(c->pull(&got));
    ++frames;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!copy) g_cursorFps = frames / s;
  state.SetItemsProcessed(frames);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["seeks"] = static_cast<double>(c->seeks());
}
void BM_CursorPlayback1080p(benchmark::State& state) { cursorPlayback(state, false); }
void BM_CursorPlayback1080pCopied(benchmark::State& state) { cursorPlayback(state, true); }
// The decoder's threads and the cursor's producer work off the calling thread, so the CPU
// column is the whole process's.
BENCHMARK(BM_CursorPlayback1080p)->Iterations(400)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CursorPlayback1080pCopied)->Iterations(400)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// The row kernel's share of the above: one 1080p frame of 4:2:0 converted to RGB24.
void BM_Yuv420ToRgb24Frame1080p(benchmark::State& state) {
  std::vector<uint8_t> y(size_t(kW) * kH), u(size_t(kW / 2) * (kH / 2)), v(u.size()), rgb(size_t(kW) * kH * 3);
  for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(i * 13 + i / kW);
  for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<uint8_t>(i * 7), v[i] = static_cast<uint8_t>(i * 5);
  for (auto _ : state) {
    for (int r = 0; r < kH; ++r)
      ka::simd::yuv420RowToRgb24(y.data() + size_t(r) * kW, u.data() + size_t(r / 2) * (kW / 2),
                                 v.data() + size_t(r / 2) * (kW / 2), kW, 1, rgb.data() + size_t(r) * kW * 3);
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Yuv420ToRgb24Frame1080p)->Unit(benchmark::kMillisecond);

// The baseline: the ffmpeg tool decoding the same member 4 times over (400 frames) and
// converting every frame to rgb24, output discarded.
void BM_FfmpegToolRgb24(benchmark::State& state) {
  const std::string cmd = std::string(KA_FFMPEG_TOOL) +
                          " -hide_banner -loglevel error -nostdin -stream_loop 3 -i " + member(100) +
                          " -pix_fmt rgb24 -f null -";
  int64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (sh(cmd) != 0) state.SkipWithError("ffmpeg tool failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    frames += 400;
  }
  g_toolFps = frames / seconds;
  state.SetItemsProcessed(frames);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FfmpegToolRgb24)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Plays a whole driver in a child process; reports the cursor's estimate and the
// child's peak resident set (VmHWM).
void BM_CursorMemory(benchmark::State& state) {
  const int nt = static_cast<int>(state.range(0));
  for (auto _ : state) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string path = member(nt), ntText = std::to_string(nt);
    char self[] = "/proc/self/exe", mode[] = "--play-child";
    char* argv[] = {self, mode, const_cast<char*>(path.c_str()), const_cast<char*>(ntText.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, self, &fa, nullptr, argv, environ) != 0) throw std::runtime_error("spawn");
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char buf[256] = {};
    const ssize_t n = read(out[0], buf, sizeof buf - 1);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("playback child failed");
      return;
    }
    char* rest = nullptr;
    state.counters["resident_MiB"] = std::strtod(buf, &rest) / 1048576.0;
    state.counters["peak_RSS_MiB"] = std::strtod(rest, nullptr) / 1024.0;
    state.counters["frames"] = nt;
  }
}
BENCHMARK(BM_CursorMemory)->Arg(100)->Arg(2000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

int playChild(const char* path, int nt) {
  auto c = ka::DriverCursor::over(ka::driver::openMp4(path, nt, kW, kH), kAhead, kBehind);
  int got = -1;
  for (int i = 0; i < nt + 5; ++i) c->pull(&got);  // the whole driver and the loop closure
  // The child's own high-water mark: ru_maxrss of a spawned child can carry the parent's
  // peak across the exec.
  long hwmKiB = -1;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::strncmp(line, "VmHWM:", 6) == 0) hwmKiB = std::strtol(line + 6, nullptr, 10);
    std::fclose(f);
  }
  std::printf("%zu %ld\n", c->residentBytes(), hwmKiB);
  return got == 4 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--play-child") == 0) return playChild(argv[2], std::atoi(argv[3]));

  const char* keep = std::getenv("KA_BENCH_DRIVER_DIR");
  std::string tmp;
  if (keep && *keep) {
    g_dir = keep;
    ka::mkdirs(g_dir);
  } else {
    char t[] = "/tmp/ka_bench_driver_XXXXXX";
    if (!mkdtemp(t)) return 1;
    g_dir = tmp = t;
  }
  makeMember(100);
  makeMember(2000);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_cursorFps > 0 && g_toolFps > 0)
    std::printf("cursor playback %.1f fps, ffmpeg tool %.1f fps: ratio %.2f (goal >= 0.8)\n", g_cursorFps,
                g_toolFps, g_cursorFps / g_toolFps);
  if (!tmp.empty()) ka::rmTree(tmp);
  return 0;
}
