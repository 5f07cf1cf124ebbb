#include "bundle/manifest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <onnxruntime_c_api.h>

#include "bundle/bundle_path.h"
#include "bundle/file_io.h"
#include "bundle/manifest_fields.h"
#include "bundle/manifest_key.h"
#include "bundle/member.h"
#include "base/log.h"

namespace ka {
namespace {

int intField(const std::string& text, const std::string& key) {
  return toInt32Field(numberAt(text, findKey(text, key)), key);
}

int intFieldEither(const std::string& text, const std::string& key, const std::string& alias) {
  return toInt32Field(numFieldEither(text, key, alias), key);
}

// The number at `key`, else at `alias` (consulted only when `key` is absent).
bool optIntEither(const std::string& text, const std::string& key, const std::string& alias,
                  int32_t& out) {
  long long pos = manifest_key::scalarValuePos(text, key);
  const std::string* used = &key;
  if (pos < 0) {
    pos = manifest_key::scalarValuePos(text, alias);
    used = &alias;
  }
  if (pos < 0) return false;
  out = toInt32Field(numberAt(text, static_cast<size_t>(pos)), *used);
  return true;
}

}  // namespace

std::string Manifest::modelPath(const std::string& key) const {
  return resolveMember(dir, "model_" + key + ".onnx");
}

Manifest loadManifest(const std::string& path) {
  Manifest m;
  m.dir = resolveBundlePath(path);
  const std::string text = readFile(m.dir + "/manifest.json");

  if (strField(text, "format") != "ka-bundle-v0")
    throw std::runtime_error("not an ka-bundle-v0: " + m.dir);
  m.agent = strField(text, "agent");

  m.NT = intFieldEither(text, "NT", "frame_count");
  m.H = intField(text, "H");
  m.W = intField(text, "W");
  m.crop = intFieldEither(text, "crop", "crop_size");
  m.unsharp.amount = static_cast<float>(numberAt(text, findKey(text, "amount")));
  m.unsharp.sigma = static_cast<float>(numberAt(text, findKey(text, "sigma")));
  m.unsharp.ksize = intField(text, "ksize");
  m.frames = intField(text, "frames");
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");

  int32_t sw = 0, sh = 0;
  const bool haveW = optIntEither(text, "M_src_w", "paste_source_width", sw);
  const bool haveH = optIntEither(text, "M_src_h", "paste_source_height", sh);
  if (!haveW || !haveH) {
    const char* ok = std::getenv("ORVANE2_MSRC_MISSING_OK");
    if (ok && std::strcmp(ok, "1") == 0) {
      KA_LOG_WARN(
          "[ka] WARNING ORVANE2_MSRC_MISSING_OK=1: %s/manifest.json carries no "
          "paste-space stamp; ASSUMING M was authored on this %dx%d canvas. If it "
          "was not, the face pastes off-target (tv#144) and nothing will say so.\n",
          m.dir.c_str(), m.W, m.H);
      sw = m.W;
      sh = m.H;
    } else {
      throw std::runtime_error(
          m.dir + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
                  "paste_source_width/height) — the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that "
          "size. Re-stamp the bundle (models/orvane-2/inference/backfill_msrc), or set "
          "ORVANE2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
    }
  }
  m.MsrcW = sw;
  m.MsrcH = sh;
  if (m.MsrcW < 1 || m.MsrcH < 1)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");

  const std::string lip = resolveMember(m.dir, "lip_template.v1.json");
  if (canOpenForRead(lip)) m.lipTemplate = readFile(lip);
  return m;
}

std::string coremlCacheDir(const std::string& dir) {
  const char* v = OrtGetApiBase()->GetVersionString();
  return dir + "/.coreml_cache/ort" + ((v && *v) ? std::string(v) : std::string("unknown"));
}

}  // namespace ka
