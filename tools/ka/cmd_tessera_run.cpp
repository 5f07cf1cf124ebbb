// ka tessera run: the teeth pass over frames of a video (or a directory of images), with
// masks from the bundle's compose geometry, for looking at what the pass borrows.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle/file_io.h"
#include "bundle/member.h"
#include "driver/image_io.h"
#include "driver/source.h"
#include "ka/ka.h"
#include "tessera/geometry_stamp.h"
#include "tessera/unified_pi.h"
#include "tools/ka/commands.h"
#include "tools/ka/output_file.h"
#include "tools/ka/teeth_members.h"

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka tessera run BUNDLE VIDEO|FRAMES_DIR [--count N] [--motion DIR] [--out DIR]\n"
    "                      [--strip OUT.png]\n"
    "  runs BUNDLE's teeth pass over face crops of the compose canvas size: the first N\n"
    "  frames of VIDEO (N required for a video, which must hold exactly N frames), or the\n"
    "  images of FRAMES_DIR in name order. Frame i's mask is the compose pi of the target\n"
    "  keypoints of driver frame i mod NT (xs_target.bin of --motion DIR, default the\n"
    "  bundle's). --out writes every frame's window before and after as PNGs; --strip\n"
    "  writes one image: the windows before (top row) and after (bottom row).\n";

struct Frames {
  std::vector<uint8_t> rgb;
  int n = 0;
};

Frames readFrames(const std::string& input, int count, int side) {
  Frames f;
  const size_t bytes = static_cast<size_t>(side) * side * 3;
  if (std::filesystem::is_directory(input)) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(input)) {
      const std::string ext = e.path().extension().string();
      if (ext == ".png" || ext == ".jpg" || ext == ".jpeg") names.push_back(e.path().string());
    }
    std::sort(names.begin(), names.end());
    if (count > 0 && static_cast<size_t>(count) < names.size()) names.resize(static_cast<size_t>(count));
    for (const std::string& name : names) {
      int w = 0, h = 0;
      const std::vector<uint8_t> img = loadImageRGB(name, &w, &h);
      if (w != side || h != side)
        throw std::runtime_error(name + " is " + std::to_string(w) + "x" + std::to_string(h) +
                                 ", the compose canvas is " + std::to_string(side) + "x" + std::to_string(side));
      f.rgb.insert(f.rgb.end(), img.begin(), img.end());
    }
    f.n = static_cast<int>(names.size());
    return f;
  }
  if (count < 1) throw std::runtime_error("a video needs --count N (its exact frame count)");
  auto src = driver::openMp4(input, count, side, side);
  f.rgb.resize(bytes * static_cast<size_t>(count));
  for (f.n = 0; f.n < count && src->next(f.rgb.data() + bytes * static_cast<size_t>(f.n)); ++f.n) {
  }
  f.rgb.resize(bytes * static_cast<size_t>(f.n));
  return f;
}

std::vector<float> readXs(const std::string& dir) {
  const std::string raw = readFile(resolveMember(dir, "xs_target.bin"));
  std::vector<float> xs(raw.size() / sizeof(float));
  std::copy_n(raw.data(), xs.size() * sizeof(float), reinterpret_cast<char*>(xs.data()));
  if (xs.size() < static_cast<size_t>(kHostKpRows) * 3)
    throw std::runtime_error(dir + "/xs_target.bin holds no keypoint row");
  return xs;
}

// The window of a canvas at the stamp's unshifted origin.
void cutWindow(const uint8_t* canvas, const tessera::GeometryStamp& st, uint8_t* out) {
  for (int i = 0; i < st.window_h; ++i)
    std::copy_n(canvas + (static_cast<size_t>(st.window_y0 + i) * st.canvas_w + st.window_x0) * 3,
                static_cast<size_t>(st.window_w) * 3, out + static_cast<size_t>(i) * st.window_w * 3);
}

int run(const std::string& bundle, const std::string& input, int count, const std::string& motion,
        const std::string& outDir, const std::string& strip) {
  const TeethMembers tm = TeethMembers::open(bundle);
  const ka_tessera_members* m = tm.m.get();
  const tessera::GeometryStamp st = tessera::GeometryStamp::fromArray(ka_tessera_members_stamp(m));
  st.validate();
  const int side = st.canvas_w;
  const Frames frames = readFrames(input, count, side);
  if (frames.n < 1) return fail("tessera run: no frame in " + input);

  const std::vector<float> xs = readXs(motion.empty() ? bundle : motion);
  const int rows = static_cast<int>(xs.size() / (kHostKpRows * 3));
  std::string picked;
  const tessera::UnifiedPi pi = tessera::UnifiedPi::corpusFromManifestJson(
      ka_tessera_members_manifest_json(m), side, xs.data(), rows, ka_tessera_members_c_canon(m), &picked);
  const size_t pixels = static_cast<size_t>(side) * side;
  std::vector<uint8_t> masks(pixels * static_cast<size_t>(frames.n));
  for (int i = 0; i < frames.n; ++i)
    pi.piU8(xs.data() + static_cast<size_t>(i % rows) * kHostKpRows * 3, masks.data() + pixels * static_cast<size_t>(i));

  const size_t window = static_cast<size_t>(st.window_w) * st.window_h * 3;
  std::vector<uint8_t> before(window * static_cast<size_t>(frames.n)), after(before.size());
  for (int i = 0; i < frames.n; ++i)
    cutWindow(frames.rgb.data() + pixels * 3 * static_cast<size_t>(i), st, before.data() + window * static_cast<size_t>(i));
  after = before;  // a skipped frame's window stays as it was
  std::vector<int32_t> skipped(static_cast<size_t>(frames.n), 0);
  char err[1024] = "";
  if (ka_tessera_run(tm.bank.data(), ka_tessera_members_n_donors(m), ka_tessera_members_cent(m),
                     ka_tessera_members_c_canon(m), ka_tessera_members_aperture(m), ka_tessera_members_stamp(m),
                     ka_tessera_members_head_pt(m), ka_tessera_members_head_pt_len(m),
                     ka_tessera_members_head_json(m), frames.rgb.data(), masks.data(), frames.n,
                     after.data(), skipped.data(), err, sizeof err) != 0)
    return fail(err);

  int borrowed = 0;
  for (int i = 0; i < frames.n; ++i) {
    borrowed += skipped[static_cast<size_t>(i)] == 0;
    std::printf("frame %d: %s\n", i, skipped[static_cast<size_t>(i)] ? "skipped" : "borrowed");
  }
  std::printf("tessera run: %d frames, %d borrowed, %d skipped (corpus geometry %s, window %dx%d)\n", frames.n,
              borrowed, frames.n - borrowed, picked.c_str(), st.window_w, st.window_h);
  OutputFiles outputs;
  if (!outDir.empty()) {
    std::filesystem::create_directories(outDir);
    for (int i = 0; i < frames.n; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "/window_%04d_in.png", i);
      writePNG(outputs.add(outDir + name), before.data() + window * static_cast<size_t>(i), st.window_w, st.window_h);
      std::snprintf(name, sizeof name, "/window_%04d_out.png", i);
      writePNG(outputs.add(outDir + name), after.data() + window * static_cast<size_t>(i), st.window_w, st.window_h);
    }
  }
  if (!strip.empty()) {
    const int w = st.window_w * frames.n, h = st.window_h * 2;
    std::vector<uint8_t> img(static_cast<size_t>(w) * h * 3);
    for (int i = 0; i < frames.n; ++i)
      for (int r = 0; r < st.window_h; ++r)
        for (int half = 0; half < 2; ++half) {
          const uint8_t* src = (half ? after : before).data() + window * static_cast<size_t>(i) +
                               static_cast<size_t>(r) * st.window_w * 3;
          std::copy_n(src, static_cast<size_t>(st.window_w) * 3,
                      img.data() + (static_cast<size_t>(half * st.window_h + r) * w + static_cast<size_t>(i) * st.window_w) * 3);
        }
    writePNG(outputs.add(strip), img.data(), w, h);
  }
  outputs.commitAll();
  if (!outDir.empty()) std::printf("wrote %d window pairs to %s\n", frames.n, outDir.c_str());
  if (!strip.empty())
    std::printf("wrote %s (%dx%d)\n", strip.c_str(), st.window_w * frames.n, st.window_h * 2);
  return 0;
}

}  // namespace

int tesseraRunCommand(const Args& args) {
  if (wantsHelp(args)) return usage(kUsage, true);
  std::vector<std::string> positional;
  std::string motion, outDir, strip;
  int count = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--count" || a == "--motion" || a == "--out" || a == "--strip") {
      if (i + 1 >= args.size()) return usage(kUsage, false);
      const std::string& v = args[++i];
      if (a == "--count") {
        char* end = nullptr;
        count = static_cast<int>(std::strtol(v.c_str(), &end, 10));
        if (v.empty() || *end || count < 1) return usage(kUsage, false);
      }
      if (a == "--motion") motion = v;
      if (a == "--out") outDir = v;
      if (a == "--strip") strip = v;
      continue;
    }
    if (!a.empty() && a[0] == '-') return usage(kUsage, false);
    positional.push_back(a);
  }
  if (positional.size() != 2) return usage(kUsage, false);
  try {
    return run(positional[0], positional[1], count, motion, outDir, strip);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace ka::cli
