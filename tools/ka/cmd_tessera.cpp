// ka tessera inspect: a bundle's teeth members as the pass would see them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bundle/file_io.h"
#include "bundle/member.h"
#include "tessera/attach_inputs.h"
#include "tessera/carriage.h"
#include "tessera/geometry_stamp.h"
#include "tessera/head_weights.h"
#include "tessera/lip_contour.h"
#include "tessera/serve_config.h"
#include "tessera/unified_pi.h"
#include "tools/ka/commands.h"

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka tessera inspect BUNDLE [--motion DIR]\n"
    "       ka tessera run BUNDLE VIDEO|FRAMES_DIR ... (ka tessera run --help)\n"
    "  prints the teeth members (carriage), the donor bank, the blend head, the serving\n"
    "  config and the compose geometry; --motion names the directory whose xs_target.bin\n"
    "  identifies the bank's corpus pi geometry (default: the bundle's own, if any)\n";


// Runs one section; a refusal is printed in its place and remembered.
template <typename F>
void section(bool* ok, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    std::printf("  REFUSED: %s\n", e.what());
    *ok = false;
  }
}

int inspect(const std::string& bundle, const std::string& motion) {
  using namespace ka::tessera;
  const TesseraCarriage car = tesseraCarriage(bundle);
  std::printf("carriage   %s\n", car.dir.c_str());
  std::printf("  complete %s, manifest tessera block %s\n", car.complete ? "yes" : "NO",
              car.declared ? "declared" : "absent");
  for (int i = 0; i < tesseraSlotCount(); ++i) {
    const std::string& key = tesseraSlotKeys()[size_t(i)];
    const bool missing = std::find(car.missing.begin(), car.missing.end(), key) != car.missing.end();
    std::printf("  %-13s %s%s\n", key.c_str(), car.paths[size_t(i)].c_str(), missing ? "  (MISSING)" : "");
  }
  if (!car.planes.empty()) {
    std::string p;
    for (const auto& s : car.planes) p += (p.empty() ? "" : ", ") + s;
    std::printf("  planes   %s\n", p.c_str());
  }
  bool ok = true;
  TesseraAttachInputs in;
  std::printf("bank\n");
  section(&ok, [&] {
    in = loadTesseraMembers(bundle);
    const double amin = *std::min_element(in.aperture.begin(), in.aperture.end());
    const double amax = *std::max_element(in.aperture.begin(), in.aperture.end());
    std::printf("  donors   %d, stored patch %dx%d (%lld bytes each, %lld in all)\n", in.n_donors,
                in.band_w, in.band_h, static_cast<long long>(in.patchBytes()),
                static_cast<long long>(in.bankBytes()));
    std::printf("  track    %s (container %s, codec %s, pix_fmt %s, packing %s)\n",
                in.bank_track_path.c_str(), in.bank_container.c_str(),
                in.bank_codec.empty() ? "unstated" : in.bank_codec.c_str(), in.bank_pix_fmt.c_str(),
                in.bank_packing.c_str());
    std::printf("  c_canon  (%.2f, %.2f), aperture %.4f..%.4f\n", in.c_canon[0], in.c_canon[1], amin, amax);
  });
  if (in.n_donors == 0) return 1;
  std::printf("head\n");
  section(&ok, [&] {
    const HeadWeights w = loadHeadPt(in.head_pt);
    std::printf("  arch     %s, %d parameters (%s), envelope 12/255\n", w.arch(), w.params(),
                w.hasSynthesis() ? "3,489 candidate + 593 synthesis" : "candidate branch only");
  });
  std::printf("serve\n");
  section(&ok, [&] { std::printf("  %s\n", ServeConfig::fromHeadMemberJson(in.head_json).describe().c_str()); });
  std::printf("geometry\n");
  const GeometryStamp st = GeometryStamp::fromArray(in.stamp);
  std::printf("  stamp    %s\n", st.describe().c_str());
  section(&ok, [&] {
    st.validate();
    std::printf("  window   %dx%d at (%d, %d) on the %dx%d canvas; band rows [%d, %d) cols [%d, %d); "
                "pad %d, shift margin %d\n",
                st.window_w, st.window_h, st.window_x0, st.window_y0, st.canvas_w, st.canvas_h,
                st.band_r0, st.band_r1, st.band_c0, st.band_c1, st.pad, st.shift_margin);
  });
  section(&ok, [&] {
    const UnifiedPi pi = UnifiedPi::fromManifestJson(in.manifest_json, st.canvas_w);
    std::printf("  %s\n", pi.describe().c_str());
    std::string xs_path = resolveMember(motion.empty() ? car.dir : motion, "xs_target.bin");
    if (!canOpenForRead(xs_path)) {
      std::printf("  corpus   not identified: no xs_target.bin (give --motion DIR)\n");
      return;
    }
    const std::string raw = readFile(xs_path);
    std::vector<float> xs(raw.size() / sizeof(float));
    std::copy_n(raw.data(), xs.size() * sizeof(float), reinterpret_cast<char*>(xs.data()));
    const int frames = static_cast<int>(xs.size() / 63);
    std::string picked;
    UnifiedPi::corpusFromManifestJson(in.manifest_json, st.canvas_w, xs.data(), frames, in.c_canon, &picked);
    std::printf("  corpus   %s (identified over %d frames of %s)\n", picked.c_str(), frames, xs_path.c_str());
  });
  section(&ok, [&] {
    const std::string lip_path = resolveMember(car.dir, "lip_template.v1.json");
    if (!canOpenForRead(lip_path)) {
      std::printf("  delivery ELLIPSE: no lip_template.v1.json\n");
      return;
    }
    const LipContour lc = LipContour::fromTemplateJson(readFile(lip_path), st.canvas_w);
    std::string rows;
    for (int r : lc.lipIdx()) rows += (rows.empty() ? "" : ",") + std::to_string(r);
    std::printf("  delivery LIP CONTOUR: %d vertices, feather %.1f px, anchors [%s], %s\n", lc.nv(),
                lc.featherPx(), rows.c_str(), lc.mapWidth() ? "anchor-linear map" : "scaled outline");
  });
  return ok ? 0 : 1;
}

}  // namespace

int tesseraCommand(const Args& args) {
  if (!args.empty() && args[0] == "run") return tesseraRunCommand(Args(args.begin() + 1, args.end()));
  if (wantsHelp(args)) return usage(kUsage, true);
  if (args.size() < 2 || args[0] != "inspect") return usage(kUsage, false);
  std::string motion;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--motion" && i + 1 < args.size()) {
      motion = args[++i];
    } else {
      return usage(kUsage, false);
    }
  }
  return inspect(args[1], motion);
}

}  // namespace ka::cli
