// The teeth members' readers over arbitrary bytes: the head checkpoint (stored zip and
// pickle), its serving config, the bank sidecar with the manifest as the member loader
// reads them from a bundle, and the lip template with one frame's keypoints run through
// its contour. The first byte picks the reader. Only refusals as std::runtime_error may
// leave.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/attach_inputs.h"
#include "tessera/head_weights.h"
#include "tessera/json.h"
#include "tessera/lip_contour.h"
#include "tessera/serve_config.h"

namespace {

void put(const std::string& path, const char* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// One bundle directory for the process: the track, head weights and config stay; each
// input rewrites the sidecar and the manifest.
const std::string& bundle() {
  static const std::string dir = [] {
    const char* root = std::getenv("TMPDIR");
    std::string tmpl = std::string(root && *root ? root : "/tmp") + "/fuzz_tessera.XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    const std::string d = tmpl;
    put(d + "/tessera_bank.v1.mp4", "x", 1);
    put(d + "/tessera_head.v1.pt", "pt", 2);
    put(d + "/tessera_head.v1.json", "{}", 2);
    return d;
  }();
  return dir;
}

void sidecar(const std::string& text) {
  // Sidecar and manifest are split at the first NUL; without one the manifest is minimal.
  const size_t cut = text.find('\0');
  const std::string side = text.substr(0, cut);
  const std::string man = cut == std::string::npos ? std::string("{\"NT\": 4}") : text.substr(cut + 1);
  put(bundle() + "/tessera_bank.v1.json", side.data(), side.size());
  put(bundle() + "/manifest.json", man.data(), man.size());
  const ka::tessera::TesseraAttachInputs in = ka::tessera::loadTesseraMembers(bundle());
  // What a loaded record promises: sizes that fit, and a reorder within the bank.
  const int64_t bytes = in.bankBytes();
  if (bytes < 0 || in.patchBytes() < 1 || in.track_order.size() != size_t(in.n_donors)) std::abort();
  if (bytes <= (int64_t(1) << 16)) {
    std::vector<uint8_t> track(size_t(bytes), 1), out(size_t(bytes), 0);
    ka::tessera::reorderTrackToDonor(in, track.data(), out.data());
  }
}

void lipTemplate(const std::string& text) {
  // Template and keypoints (raw floats, zero-filled) are split at the first NUL; the
  // canvas is the one the template names when it is a sane size, so a template can load.
  const size_t cut = text.find('\0');
  const std::string tmpl = text.substr(0, cut);
  int canvas = 96;
  try {
    const ka::tessera::json::JVal v = ka::tessera::json::parse(tmpl);
    if (const ka::tessera::json::JVal* c = v.get("canvas"); c && c->isNum() && c->num >= 1 && c->num <= 512)
      canvas = static_cast<int>(c->num);
  } catch (const std::runtime_error&) {
  }
  ka::tessera::LipContour lc = ka::tessera::LipContour::fromTemplateJson(tmpl, canvas);
  float kp[63] = {};
  if (cut != std::string::npos)
    std::memcpy(kp, text.data() + cut + 1, std::min(sizeof kp, text.size() - cut - 1));
  std::vector<float> map(size_t(canvas) * size_t(canvas));
  lc.contourF32Canvas(kp, map.data());
  for (float v : map)
    if (!(v >= 0.0f && v <= 1.0f)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::vector<uint8_t> bytes(data + 1, data + size);
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    switch (data[0] % 4) {
      case 0: (void)ka::tessera::loadHeadPt(bytes); break;
      case 1: (void)ka::tessera::ServeConfig::fromHeadMemberJson(text); break;
      case 2: sidecar(text); break;
      default: lipTemplate(text); break;
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
