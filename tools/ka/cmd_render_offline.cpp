// ka render-offline: renders a whole spoken clip through the offline stream run (the
// bundle's delta network, model key "render") into an H.264 MP4 with the speech as its
// audio track, showing progress on standard error.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_file.h"
#include "driver/movie_writer.h"
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
constexpr int kFrameSamples = 640;

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

// What the frame callback needs: the movie, the speech for each frame's audio and the
// progress bar's state.
struct Sink {
  MovieWriter* movie = nullptr;
  const std::vector<int16_t>* pcm = nullptr;
  std::vector<int16_t> chunk = std::vector<int16_t>(kFrameSamples);
  int drop = 0;
  int total = 0;
  std::chrono::steady_clock::time_point start;
  double lastDraw = -1.0;
  std::string error;  // a failed write; later frames are skipped
};

void drawProgress(Sink& s, int done, bool final) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.start).count();
  if (!final && t - s.lastDraw < 0.1) return;
  s.lastDraw = t;
  const double fps = t > 0 ? done / t : 0.0;
  const double left = fps > 0 ? (s.total - done) / fps : 0.0;
  constexpr int kBar = 30;
  const int filled = s.total > 0 ? static_cast<int>(static_cast<long long>(kBar) * done / s.total) : kBar;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBar - filled), '.');
  std::fprintf(stderr, "\r[%s] %d/%d frames  %.1f fps  %.1f s left ", bar.c_str(), done, s.total, fps, left);
  if (final) std::fputc('\n', stderr);
  std::fflush(stderr);
}

void onFrame(void* user, int frame, const uint8_t* rgb, int, int) {
  auto& s = *static_cast<Sink*>(user);
  if (!s.error.empty()) return;
  try {
    s.movie->write(rgb);
    const size_t at = static_cast<size_t>(frame + s.drop) * kFrameSamples;
    const size_t have = at < s.pcm->size() ? std::min<size_t>(kFrameSamples, s.pcm->size() - at) : 0;
    std::copy_n(s.pcm->begin() + static_cast<std::ptrdiff_t>(at < s.pcm->size() ? at : 0), have, s.chunk.begin());
    std::fill(s.chunk.begin() + static_cast<std::ptrdiff_t>(have), s.chunk.end(), 0);
    s.movie->writeAudio(s.chunk.data(), s.chunk.size());
  } catch (const std::exception& e) {
    s.error = e.what();
  }
  drawProgress(s, frame + 1, false);
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

  const std::vector<float> speech = readAudio16k(positional[1]);
  std::vector<int16_t> pcm(speech.size());
  for (size_t i = 0; i < speech.size(); ++i)
    pcm[i] = static_cast<int16_t>(std::lround(std::clamp(speech[i], -1.0f, 32767.0f / 32768.0f) * 32768.0f));
  std::printf("speech: %s, %.2f s (%zu samples at 16 kHz)\n", positional[1].c_str(),
              static_cast<double>(speech.size()) / kRate, speech.size());

  std::unique_ptr<ka_stream, StreamDel> st(
      ka_stream_create(positional[0].c_str(), encoder.c_str(), threads, drop, gain));
  if (!st) return fail(ka_stream_last_error());
  const int W = ka_stream_width(st.get()), H = ka_stream_height(st.get());

  OutputFile outFile(out);
  MovieWriter movie(outFile.temp(), W, H, 25, 20, kRate);
  Sink sink;
  sink.movie = &movie;
  sink.pcm = &pcm;
  sink.drop = drop;
  const long long frames = (static_cast<long long>(speech.size()) + kFrameSamples - 1) / kFrameSamples;
  sink.total = static_cast<int>(std::max(0LL, frames - drop));
  std::printf("rendering %d frames at %dx%d\n", sink.total, W, H);
  std::fflush(stdout);
  sink.start = std::chrono::steady_clock::now();
  const int n = ka_stream_run(st.get(), speech.data(), static_cast<int>(speech.size()), onFrame, &sink);
  if (n > 0) drawProgress(sink, n, true);
  if (n < 0) return fail(ka_stream_last_error());
  if (!sink.error.empty()) return fail("render-offline: " + sink.error);
  if (n == 0) return fail("render-offline: no frame left to render (" + std::to_string(frames) +
                          " frames of speech, --drop " + std::to_string(drop) + ")");
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - sink.start).count();
  movie.finish();
  outFile.commit();
  std::printf("wrote %s: %lld frames (%.2f s) with %lld audio samples, %.1f fps over %.2f s\n", out.c_str(),
              static_cast<long long>(movie.frames()), movie.frames() / 25.0,
              static_cast<long long>(movie.audioSamples()), wall > 0 ? n / wall : 0.0, wall);
  return 0;
}

}  // namespace ka::cli
