#include "tessera/serve_config.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "tessera/json.h"

namespace ka::tessera {
namespace {

double keyed(const json::JVal& blk, const char* key) {
  const json::JVal* v = blk.get(key);
  if (!v) throw std::runtime_error(std::string("teeth: member JSON lacks key '") + key + "'");
  if (!v->isNum())
    throw std::runtime_error(std::string("teeth: tessera_head.v1 config key '") + key +
                             "' is not a number");
  return v->num;
}

int32_t bounded(const json::JVal& blk, const char* block, const char* key) {
  const int32_t v = json::truncInt32(keyed(blk, key));
  if (v > ServeConfig::kMaxDonorsPerFrame)
    throw std::runtime_error(std::string("teeth: tessera_head.v1 config ") + block + "." + key + "=" +
                             std::to_string(v) + " is over the maximum " +
                             std::to_string(ServeConfig::kMaxDonorsPerFrame) +
                             " donors per frame — refusing to size the blend for it");
  return v;
}

}  // namespace

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  const json::JVal root = json::parse(text);
  const json::JVal* r = root.get("retrieval");
  const json::JVal* t = root.get("temporal");
  if (!r || !t || !r->isObj() || !t->isObj())
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — "
        "refusing to serve defaults (W3-01)");
  ServeConfig c;
  c.kshort = json::truncInt32(keyed(*r, "kshort"));
  c.aperture_tol = keyed(*r, "aperture_tol");
  c.cut = json::truncInt32(keyed(*r, "cut"));
  c.K = bounded(*r, "retrieval", "K");
  c.hysteresis = bounded(*t, "temporal", "hysteresis");
  c.lookahead = bounded(*t, "temporal", "lookahead");
  if (const json::JVal* d = root.get("decode"); d && d->isObj()) {
    if (const json::JVal* e = d->get("envelope_clamp_255")) {
      // A non-number cannot equal the envelope of record either.
      if (!e->isNum() || !(std::fabs(e->num - 12.0) <= 1e-6))
        throw std::runtime_error(
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope "
            "is a gated quantity");
    }
  }
  c.luma_min = 100.0;
  c.rg_max = 25.0;
  c.min_support = 32;
  c.weight_decay = 0.6;
  c.use_lookahead = true;
  return c;
}

std::string ServeConfig::describe() const {
  char b[320];
  std::snprintf(b, sizeof b,
                "kshort=%d aperture_tol=%g cut=%d K=%d hysteresis=%d lookahead=%d luma_min=%g "
                "rg_max=%g min_support=%d weight_decay=%g use_lookahead=%s",
                kshort, aperture_tol, cut, K, hysteresis, lookahead, luma_min, rg_max, min_support,
                weight_decay, use_lookahead ? "yes" : "no");
  return b;
}

}  // namespace ka::tessera
