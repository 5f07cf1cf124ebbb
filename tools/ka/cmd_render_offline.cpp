// ka render-offline: renders a whole spoken clip through the offline stream run (the
// bundle's delta network, model key "render") into an H.264 MP4 with the speech as its
// audio track, showing progress on standard error.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ka/ka.h"
#include "tools/ka/commands.h"
#include "tools/ka/output_file.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka render-offline BUNDLE --encoder W2V AUDIO --out OUT.mp4 [--drop N] [--gain G]\n"
    "                         [--threads N]\n"
    "\n"
    "  Renders the speech in AUDIO (any file FFmpeg reads; resampled to 16 kHz mono) in one\n"
    "  offline run: keypoint deltas for the whole clip from the speech encoder W2V and the\n"
    "  bundle's fca_stream.onnx, then every frame rendered with the bundle's \"render\"\n"
    "  director and pasted into its driver frame. The frames go to OUT.mp4 (H.264, 25 fps)\n"
    "  with the speech as an AAC track, 640 samples per frame. Progress (frames done of the\n"
    "  total, frames per second, time left) goes to standard error.\n"
    "\n"
    "  --encoder W2V  the 8-second speech encoder (default: $W2V_ONNX)\n"
    "  --drop N       leading frames left out, with their audio (default 0)\n"
    "  --gain G       scale of the predicted deltas (default 1)\n"
    "  --threads N    intra-op threads of the networks (default: the library's choice)\n";

constexpr int kRate = 16000;

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool parseInt(const std::string& v, int& out) {
  char* end = nullptr;
  const long x = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end || x < -1000000000L || x > 1000000000L) return false;
  out = static_cast<int>(x);
  return true;
}

struct StreamDel {
  void operator()(ka_stream* s) const { ka_stream_destroy(s); }
};

// The progress bar's state; the run's figures come in through `stats`.
struct Progress {
  const std::string* audio = nullptr;
  const ka_stream_movie_stats* stats = nullptr;
  int width = 0, height = 0;
  std::chrono::steady_clock::time_point start;
  double lastDraw = -1.0;
};

void drawProgress(Progress& p, int done, int total, bool final) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - p.start).count();
  if (!final && t - p.lastDraw < 0.1) return;
  p.lastDraw = t;
  const double fps = t > 0 ? done / t : 0.0;
  const double left = fps > 0 ? (total - done) / fps : 0.0;
  constexpr int kBar = 30;
  const int filled = total > 0 ? static_cast<int>(static_cast<long long>(kBar) * done / total) : kBar;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBar - filled), '.');
  std::fprintf(stderr, "\r[%s] %d/%d frames  %.1f fps  %.1f s left ", bar.c_str(), done, total, fps, left);
  if (final) std::fputc('\n', stderr);
  std::fflush(stderr);
}

void onProgress(void* user, int done, int total) {
  auto& p = *static_cast<Progress*>(user);
  if (done == 0) {
    const long long samples = p.stats->speech_samples;
    std::printf("speech: %s, %.2f s (%lld samples at 16 kHz)\n", p.audio->c_str(),
                static_cast<double>(samples) / kRate, samples);
    std::printf("rendering %d frames at %dx%d\n", total, p.width, p.height);
    std::fflush(stdout);
    p.start = std::chrono::steady_clock::now();
    return;
  }
  drawProgress(p, done, total, done == total);
}

}  // namespace

int renderOfflineCommand(const Args& args) {
  std::string encoder, out;
  int drop = 0, threads = 0;
  float gain = 1.0f;
  std::vector<std::string> positional;
  if (const char* env = std::getenv("W2V_ONNX")) encoder = env;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--encoder" || a == "--out" || a == "--drop" || a == "--gain" || a == "--threads") {
      if (i + 1 >= args.size()) return usage();
      const std::string& v = args[++i];
      if (a == "--encoder") encoder = v;
      if (a == "--out") out = v;
      if (a == "--drop" && (!parseInt(v, drop) || drop < 0)) return usage();
      if (a == "--threads" && !parseInt(v, threads)) return usage();
      if (a == "--gain") {
        char* end = nullptr;
        gain = std::strtof(v.c_str(), &end);
        if (v.empty() || *end || !std::isfinite(gain)) return usage();
      }
      continue;
    }
    if (!a.empty() && a[0] == '-') return usage();
    positional.push_back(a);
  }
  if (positional.size() != 2 || out.empty()) return usage();
  if (encoder.empty()) return fail("render-offline: no speech encoder: give --encoder or set $W2V_ONNX");
  av_log_set_level(AV_LOG_ERROR);

  std::unique_ptr<ka_stream, StreamDel> st(
      ka_stream_create(positional[0].c_str(), encoder.c_str(), threads, drop, gain));
  if (!st) return fail(ka_stream_last_error());

  OutputFile outFile(out);
  ka_stream_movie_stats stats{};
  Progress progress;
  progress.audio = &positional[1];
  progress.stats = &stats;
  progress.width = ka_stream_width(st.get());
  progress.height = ka_stream_height(st.get());
  const int n = ka_stream_write_movie(st.get(), positional[1].c_str(), outFile.temp().c_str(), onProgress,
                                      &progress, &stats);
  if (n < 0) return fail(ka_stream_last_error());
  outFile.commit();
  std::printf("wrote %s: %lld frames (%.2f s) with %lld audio samples, %.1f fps over %.2f s\n", out.c_str(),
              static_cast<long long>(stats.frames), stats.frames / 25.0,
              static_cast<long long>(stats.audio_samples),
              stats.run_seconds > 0 ? n / stats.run_seconds : 0.0, stats.run_seconds);
  return 0;
}

}  // namespace ka::cli
