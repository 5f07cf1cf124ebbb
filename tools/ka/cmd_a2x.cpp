// ka a2x: streams an audio file through an audio-to-expression handle the way a host
// does (pushes of a fixed size, pulling every frame as soon as it is final) and prints
// per frame the driver index, the mouth opening and the width value.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/audio_file.h"
#include "bundle/file_io.h"
#include "bundle/member.h"
#include "ka/ka_a2x.h"
#include "tools/ka/commands.h"
#include "tools/ka/output_file.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ka::cli {
namespace {

const char kUsage[] =
    "usage: ka a2x MOTION_DIR AUDIO [--live-chunk MS] [--csv OUT] [--offline] [--w2v ENCODER]\n"
    "              [--lips A,B] [--threads N]\n"
    "\n"
    "Streams AUDIO (any file FFmpeg decodes; resampled to 16 kHz mono) through the\n"
    "audio-to-expression members in MOTION_DIR and prints one line per 40 ms frame:\n"
    "frame, driver index si, mouth opening (distance of lip keypoints A and B of the\n"
    "driven set) and the width value wn (0 without a width output).\n"
    "\n"
    "  --live-chunk MS  push the audio in pieces of MS milliseconds (default 40), pulling\n"
    "                   every frame as soon as it is final; 0 pushes it all at once\n"
    "  --offline        one ka_a2x_deltas call over the whole file instead of streaming\n"
    "  --csv OUT        write the lines as CSV to OUT instead of standard output\n"
    "  --w2v ENCODER    the speech encoder (default: $W2V_ONNX)\n"
    "  --lips A,B       the lip keypoints of the mouth opening (default 17,18)\n"
    "  --threads N      intra-op threads of the networks (default: the worker pool's)\n"
    "\n"
    "A summary (frames, seconds of audio, wall time, real-time factor) and, for long\n"
    "files, progress go to standard error.\n";

constexpr int kRate = 16000;
constexpr int kHop = 640;
constexpr int kKp = 63;

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool parseInt(const std::string& s, long lo, long hi, int* v) {
  char* end = nullptr;
  const long x = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end || x < lo || x > hi) return false;
  *v = static_cast<int>(x);
  return true;
}

struct Options {
  std::string motion, audio, csv, w2v;
  int chunkMs = 40, threads = 0, lipA = 17, lipB = 18;
  bool offline = false;
};

struct A2xCloser {
  void operator()(ka_a2x* a) const { ka_a2x_destroy(a); }
};
struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f && f != stdout) std::fclose(f);
  }
};

class Printer {
 public:
  Printer(const Options& o) : lipA_(o.lipA), lipB_(o.lipB) {
    if (!o.csv.empty()) {
      file_ = std::make_unique<OutputFile>(o.csv);
      out_.reset(std::fopen(file_->temp().c_str(), "w"));
      if (!out_) throw std::runtime_error("a2x: cannot write " + o.csv);
      std::fputs("frame,si,mouth,wn\n", out_.get());
    } else {
      out_.reset(stdout);
      std::fputs("frame  si   mouth       wn\n", stdout);
    }
    csv_ = !o.csv.empty();
  }
  void frame(int si, const float* xd, float wn) {
    const float* a = xd + 3 * lipA_;
    const float* b = xd + 3 * lipB_;
    const float mouth = std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                                  (a[2] - b[2]) * (a[2] - b[2]));
    std::fprintf(out_.get(), csv_ ? "%d,%d,%.6f,%.6f\n" : "%5d %3d %9.6f %9.6f\n", n_++, si, mouth, wn);
  }
  // Ends the output; the CSV file appears under its name only now.
  void close() {
    if (std::fflush(out_.get()) != 0 || std::ferror(out_.get())) throw std::runtime_error("a2x: write failed");
    if (!file_) return;
    std::FILE* f = out_.release();
    if (std::fclose(f) != 0) throw std::runtime_error("a2x: write failed");
    file_->commit();
  }
  int count() const { return n_; }

 private:
  std::unique_ptr<OutputFile> file_;  // declared first: the stream closes before it is removed
  std::unique_ptr<std::FILE, FileCloser> out_;
  bool csv_ = false;
  int lipA_, lipB_, n_ = 0;
};

// For long files, a line on standard error every 10 s of audio.
class Progress {
 public:
  explicit Progress(size_t total) : total_(total) {}
  void at(size_t done) {
    if (total_ < 20 * static_cast<size_t>(kRate)) return;
    const size_t step = 10 * static_cast<size_t>(kRate);
    if (done / step == shown_ / step && done < total_) return;
    shown_ = done;
    std::fprintf(stderr, "[ka a2x] %.1f / %.1f s\n", static_cast<double>(done) / kRate,
                 static_cast<double>(total_) / kRate);
  }

 private:
  size_t total_, shown_ = 0;
};

int streamed(ka_a2x* a, const std::vector<float>& x, const Options& o, Printer& p) {
  const size_t chunk = o.chunkMs > 0 ? static_cast<size_t>(o.chunkMs) * kRate / 1000 : x.size();
  const bool width = ka_a2x_width(a) == 1;
  std::vector<int> si(8);
  std::vector<float> xs(8 * kKp), xd(8 * kKp), wn(8);
  auto drain = [&] {
    for (;;) {
      int n = ka_a2x_pull_wn(a, si.data(), xs.data(), xd.data(), wn.data(), 8);
      if (n <= 0 && ka_a2x_avail(a) > 0) n = ka_a2x_pull_wn(a, si.data(), xs.data(), xd.data(), wn.data(), 8);
      if (n < 0) throw std::runtime_error(std::string("a2x: ") + ka_a2x_last_error());
      if (n == 0) return;
      for (int i = 0; i < n; ++i) p.frame(si[i], xd.data() + i * kKp, width ? wn[i] : 0.0f);
    }
  };
  Progress progress(x.size());
  for (size_t at = 0; at < x.size();) {
    const size_t n = std::min(std::max<size_t>(chunk, 1), x.size() - at);
    ka_a2x_push(a, x.data() + at, static_cast<int>(n));
    at += n;
    drain();
    progress.at(at);
  }
  ka_a2x_finish(a);
  drain();
  if (p.count() != ka_a2x_total(a))
    throw std::runtime_error("a2x: the stream stalled after " + std::to_string(p.count()) + " of " +
                             std::to_string(ka_a2x_total(a)) + " frames: " + ka_a2x_last_error());
  return 0;
}

int offline(ka_a2x* a, const std::vector<float>& x, const Options& o, Printer& p) {
  const int frames = static_cast<int>((x.size() + kHop - 1) / kHop);
  std::vector<float> d(static_cast<size_t>(frames) * kKp), wn(static_cast<size_t>(frames), 0.0f);
  const bool width = ka_a2x_width(a) == 1;
  const int got = width ? ka_a2x_deltas_wn(a, x.data(), static_cast<int>(x.size()), d.data(), wn.data(), frames)
                        : ka_a2x_deltas(a, x.data(), static_cast<int>(x.size()), d.data(), frames);
  if (got < 0) throw std::runtime_error(std::string("a2x: ") + ka_a2x_last_error());
  // The deltas apply to the driver frames a fresh stream walks: 0, 1, 2, ... cyclically.
  const std::string bytes = readFile(resolveMember(o.motion, "xs_target.bin"));
  const int nt = static_cast<int>(bytes.size() / (kKp * sizeof(float)));
  if (nt < 1) throw std::runtime_error("a2x: " + o.motion + "/xs_target.bin holds no row");
  std::vector<float> xs(static_cast<size_t>(nt) * kKp), xd(kKp);
  std::memcpy(xs.data(), bytes.data(), xs.size() * sizeof(float));
  for (int t = 0; t < got; ++t) {
    const int si = t % nt;
    for (int k = 0; k < kKp; ++k) xd[k] = xs[static_cast<size_t>(si) * kKp + k] + d[static_cast<size_t>(t) * kKp + k];
    p.frame(si, xd.data(), wn[static_cast<size_t>(t)]);
  }
  return 0;
}

}  // namespace

int a2xCommand(const Args& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options o;
  std::vector<std::string> pos;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--offline") {
      o.offline = true;
    } else if (a == "--live-chunk" && hasValue) {
      if (!parseInt(args[++i], 0, 600000, &o.chunkMs)) return usage();
    } else if (a == "--threads" && hasValue) {
      if (!parseInt(args[++i], 0, 1024, &o.threads)) return usage();
    } else if (a == "--csv" && hasValue) {
      o.csv = args[++i];
    } else if (a == "--w2v" && hasValue) {
      o.w2v = args[++i];
    } else if (a == "--lips" && hasValue) {
      const std::string v = args[++i];
      const size_t comma = v.find(',');
      if (comma == std::string::npos || !parseInt(v.substr(0, comma), 0, 20, &o.lipA) ||
          !parseInt(v.substr(comma + 1), 0, 20, &o.lipB))
        return usage();
    } else if (!a.empty() && a[0] == '-') {
      return usage();
    } else {
      pos.push_back(a);
    }
  }
  if (pos.size() != 2) return usage();
  o.motion = pos[0];
  o.audio = pos[1];
  if (!o.w2v.empty()) setenv("W2V_ONNX", o.w2v.c_str(), 1);

  av_log_set_level(AV_LOG_ERROR);
  const std::vector<float> x = readAudio16k(o.audio);
  const auto t0 = std::chrono::steady_clock::now();
  std::unique_ptr<ka_a2x, A2xCloser> a(ka_a2x_create(o.motion.c_str(), o.threads));
  if (!a) return fail(ka_a2x_last_error());
  Printer p(o);
  const auto t1 = std::chrono::steady_clock::now();
  const int rc = o.offline ? offline(a.get(), x, o, p) : streamed(a.get(), x, o, p);
  p.close();
  const auto t2 = std::chrono::steady_clock::now();
  const double seconds = static_cast<double>(x.size()) / kRate;
  const double run = std::chrono::duration<double>(t2 - t1).count();
  std::fprintf(stderr, "[ka a2x] %d frames from %.2f s of audio (%s) in %.3f s (+%.3f s to open): %.1fx real time\n",
               p.count(), seconds, o.offline ? "offline" : "streamed", run,
               std::chrono::duration<double>(t1 - t0).count(), run > 0 ? seconds / run : 0.0);
  return rc;
}

}  // namespace ka::cli
