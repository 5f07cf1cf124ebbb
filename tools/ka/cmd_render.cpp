// ka render: one frame, or the whole idle loop, through the single-frame interface
// (render the face, paste it into its driver frame), the way a host would.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/bundle_path.h"
#include "driver/image_io.h"
#include "driver/movie_writer.h"
#include "ka/context.h"
#include "ka/ka.h"
#include "tools/ka/commands.h"
#include "tools/ka/output_file.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka render BUNDLE --row R [--model KEY] [--out PNG]\n"
    "       ka render BUNDLE --si S --kp FILE [--model KEY] [--out PNG]\n"
    "       ka render BUNDLE --all --out OUT.mp4 [--png FRAME.png] [--model KEY]\n"
    "\n"
    "  --row R      render drive row R (its si, xs and xd) and paste it into driver frame si\n"
    "  --si S       render driver frame S from the keypoints in FILE: 126 little-endian\n"
    "               float32, the source set (21 x 3) then the driving set (21 x 3)\n"
    "  --all        render every drive row into an H.264 MP4 at 25 frames per second;\n"
    "               --png also saves the first row's frame\n"
    "  --model KEY  the rendering model model_KEY.onnx (default: b1 when the bundle has it,\n"
    "               else its only model)\n"
    "  --out        output file (default render.png for a single frame)\n";

int badUsage() { return usage(kUsage, false); }

// A usage error with its reason, then the usage.
int badUsage(const std::string& why) {
  std::fprintf(stderr, "ka render: %s\n", why.c_str());
  return badUsage();
}

struct Options {
  std::string bundle, model, out, png, kp;
  int row = -1, si = -1;
  bool all = false;
};

bool parseInt(const std::string& s, int* v) {
  char* end = nullptr;
  const long x = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end || x < 0 || x > 1000000000) return false;
  *v = static_cast<int>(x);
  return true;
}

// Model keys present in the bundle, from both the legacy (model_KEY.onnx) and the
// canonical (render_model.batchN[.tail].onnx, key bN[_tail]) spellings.
std::set<std::string> modelKeys(const std::string& dir) {
  std::set<std::string> keys;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string n = e.path().filename().string();
    const std::string tail = ".onnx";
    if (n.size() <= tail.size() || n.compare(n.size() - tail.size(), tail.size(), tail) != 0) continue;
    const std::string stem = n.substr(0, n.size() - tail.size());
    if (stem.rfind("model_", 0) == 0 && stem.size() > 6) {
      keys.insert(stem.substr(6));
    } else if (stem.rfind("render_model.batch", 0) == 0) {
      std::string k = "b" + stem.substr(18);
      for (char& c : k)
        if (c == '.') c = '_';
      keys.insert(k);
    }
  }
  return keys;
}

std::string chooseModel(const std::string& bundle) {
  const std::set<std::string> keys = modelKeys(resolveBundlePath(bundle));
  if (keys.count("b1")) return "b1";
  if (keys.size() == 1) return *keys.begin();
  std::string list;
  for (const auto& k : keys) list += (list.empty() ? "" : ", ") + k;
  throw std::runtime_error("render: " + bundle + " carries " +
                           (keys.empty() ? std::string("no rendering model")
                                         : "several rendering models (" + list + ")") +
                           "; name one with --model KEY");
}

std::vector<float> readKeypoints(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("render: cannot open keypoint file " + path);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t want = 2 * kHostKpRows * 3 * sizeof(float);
  if (bytes.size() != want)
    throw std::runtime_error("render: keypoint file " + path + " holds " + std::to_string(bytes.size()) +
                             " bytes; it must hold " + std::to_string(want) +
                             " (126 float32: the source set, then the driving set)");
  std::vector<float> kp(2 * kHostKpRows * 3);
  std::memcpy(kp.data(), bytes.data(), want);
  return kp;
}

struct CtxCloser {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};
using CtxPtr = std::unique_ptr<ka_ctx, CtxCloser>;

// The index options against the opened bundle, so that the refusal names the bundle and
// the valid range rather than only "bad frame index".
int checkRange(ka_ctx* ctx, const Options& o) {
  const int rows = ka_drive_frames(ctx), nt = ka_nt(ctx);
  if (o.row >= rows)
    return failAt(o.bundle, "--row " + std::to_string(o.row) + " is out of range: the idle loop has " +
                                std::to_string(rows) + " rows (0.." + std::to_string(rows - 1) + ")");
  if (o.si >= nt)
    return failAt(o.bundle, "--si " + std::to_string(o.si) + " is out of range: the driver video has " +
                                std::to_string(nt) + " frames (0.." + std::to_string(nt - 1) + ")");
  return 0;
}

int renderOne(ka_ctx* ctx, const Options& o) {
  if (const int rc = checkRange(ctx, o)) return rc;
  int si = o.si;
  const float* crop = nullptr;
  if (o.row >= 0) {
    crop = ka_render_drive_crop(ctx, o.row);
    if (crop) si = ctx->drive().si[o.row];
  } else {
    const std::vector<float> kp = readKeypoints(o.kp);
    crop = ka_render_kp_crop(ctx, o.si, kp.data(), kp.data() + kHostKpRows * 3);
  }
  if (!crop) return failAt(o.bundle, ka_last_error());
  const uint8_t* rgb = ka_paste_last(ctx, si);
  if (!rgb) return failAt(o.bundle, ka_last_error());
  const std::string out = o.out.empty() ? "render.png" : o.out;
  OutputFile file(out);
  writePNG(file.temp(), rgb, ka_width(ctx), ka_height(ctx));
  file.commit();
  std::printf("%s: driver frame %d with the rendered face, %dx%d\n", out.c_str(), si, ka_width(ctx),
              ka_height(ctx));
  return 0;
}

int renderAll(ka_ctx* ctx, const Options& o) {
  const int rows = ka_drive_frames(ctx), W = ka_width(ctx), H = ka_height(ctx);
  // The encoder's statistics are noise next to our own progress lines.
  av_log_set_level(AV_LOG_ERROR);
  OutputFiles outputs;
  MovieWriter movie(outputs.add(o.out), W, H, 25);
  const auto t0 = std::chrono::steady_clock::now();
  int shown = -1;
  for (int row = 0; row < rows; ++row) {
    const int si = ctx->drive().si[row];
    if (!ka_render_drive_crop(ctx, row)) return failAt(o.bundle, ka_last_error());
    const uint8_t* rgb = ka_paste_last(ctx, si);
    if (!rgb) return failAt(o.bundle, ka_last_error());
    movie.write(rgb);
    if (row == 0 && !o.png.empty()) writePNG(outputs.add(o.png), rgb, W, H);
    const int pct = 100 * (row + 1) / rows;
    if (pct / 10 != shown / 10 || row + 1 == rows) {
      shown = pct;
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::fprintf(stderr, "[ka] render %d/%d frames (%d%%), %.1f s, %.1f frames/s\n", row + 1, rows, pct,
                   s, (row + 1) / (s > 0 ? s : 1e-9));
    }
  }
  movie.finish();
  outputs.commitAll();
  std::printf("%s: %d frames, %dx%d, H.264 at 25 frames/s\n", o.out.c_str(), rows, W, H);
  if (!o.png.empty()) std::printf("%s: driver frame %d with the rendered face\n", o.png.c_str(), ctx->drive().si[0]);
  return 0;
}
}  // namespace

int renderCommand(const Args& a) {
  if (wantsHelp(a)) return usage(kUsage, true);
  if (a.empty()) return badUsage();
  Options o;
  o.bundle = a[0];
  for (size_t i = 1; i < a.size(); ++i) {
    const std::string& k = a[i];
    if (k == "--all") {
      o.all = true;
      continue;
    }
    if (i + 1 >= a.size()) return badUsage(k + " needs a value");
    const std::string& v = a[++i];
    if (k == "--row") {
      if (!parseInt(v, &o.row)) return badUsage("--row needs a row number >= 0, not '" + v + "'");
    } else if (k == "--si") {
      if (!parseInt(v, &o.si)) return badUsage("--si needs a driver frame number >= 0, not '" + v + "'");
    } else if (k == "--kp") {
      o.kp = v;
    } else if (k == "--model") {
      o.model = v;
    } else if (k == "--out") {
      o.out = v;
    } else if (k == "--png") {
      o.png = v;
    } else {
      return badUsage("unknown option " + k);
    }
  }
  const int modes = (o.row >= 0) + (o.si >= 0) + o.all;
  if (modes != 1 || (o.si >= 0) != !o.kp.empty() || (o.all && o.out.empty()) ||
      (!o.all && !o.png.empty()))
    return badUsage();

  const std::string model = o.model.empty() ? chooseModel(o.bundle) : o.model;
  CtxPtr ctx(ka_create(o.bundle.c_str(), model.c_str(), 0, nullptr));
  if (!ctx) return failAt(o.bundle, ka_last_error());
  try {
    return o.all ? renderAll(ctx.get(), o) : renderOne(ctx.get(), o);
  } catch (const std::exception& e) {
    return failAt(o.bundle, e.what());
  }
}

}  // namespace ka::cli
