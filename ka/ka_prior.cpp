// The ka_prior_ functions: a stand-alone reader of an identity's HEVC warp prior that
// needs no context. Its errors share the ka_ family's text.
#include <exception>
#include <memory>
#include <string>

#include "bundle/bundle_path.h"
#include "bundle/manifest.h"
#include "driver/driver_cursor.h"
#include "ka/ka.h"
#include "ka/ka_error.h"

static_assert(ka::DriverCursor::kMaxRing == 1024, "ka.h states the ring's limits for ka_prior_open");

using ka::capi::kaClearErr;
using ka::capi::kaSetErr;

struct ka_prior {
  ka::Manifest manifest;
  std::unique_ptr<ka::DriverCursor> cursor;  // its thread runs until close
  std::string backend;
};

extern "C" {

ka_prior* ka_prior_open(const char* bundle_dir, int ahead, int behind) {
  kaClearErr();
  if (!bundle_dir) {
    kaSetErr("ka_prior_open", "NULL bundle_dir");
    return nullptr;
  }
  if (ahead < 1) ahead = 2;
  if (behind < 0) behind = 0;
  try {
    ka::DriverCursor::checkRing(ahead, behind);
    auto p = std::make_unique<ka_prior>();
    p->manifest = ka::loadManifest(ka::resolveBundlePath(bundle_dir));
    p->cursor = ka::DriverCursor::openPrior(p->manifest, ahead, behind);
    p->backend = p->cursor->backend;
    return p.release();
  } catch (const std::exception& e) {
    kaSetErr("ka_prior_open", e);
    return nullptr;
  }
}

size_t ka_prior_row_bytes(const ka_prior* prior) { return prior ? prior->cursor->frameBytes : 0; }

int ka_prior_row(ka_prior* prior, int si, uint8_t* out, size_t cap) {
  kaClearErr();
  if (!prior || !out) {
    kaSetErr("ka_prior_row", "NULL prior/out");
    return 0;
  }
  try {
    const size_t need = prior->cursor->frameBytes;
    if (cap < need) {
      const std::string reason =
          "cap " + std::to_string(cap) + " < row bytes " + std::to_string(need);
      kaSetErr("ka_prior_row", reason.c_str());
      return 0;
    }
    prior->cursor->pullAt(si, out);
    return 1;
  } catch (const std::exception& e) {
    kaSetErr("ka_prior_row", e);
    return 0;
  }
}

const char* ka_prior_backend(const ka_prior* prior) {
  return prior ? prior->backend.c_str() : "";
}

void ka_prior_close(ka_prior* prior) { delete prior; }

}  // extern "C"
