#include "tessera/unified_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tessera/json.h"

namespace ka::tessera {
namespace {

constexpr int kKpRows = 21;

// The three lip-ellipse settings banks were built against, in the order tried.
struct CorpusGeometry {
  const char* name;
  float pad_x, pad_y, down;
};
constexpr CorpusGeometry kCorpus[3] = {
    {"v1", 0.05f, 0.08f, 0.015f}, {"v2", 0.10f, 0.08f, 0.074f}, {"v3", 0.14f, 0.08f, 0.074f}};

uint8_t quantise(double v) {
  if (!(v > 0.0)) return 0;  // NaN included
  if (v > 1.0) v = 1.0;
  return static_cast<uint8_t>(roundHalfEven(v * 255.0));
}

std::string fmt2(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

}  // namespace

void UnifiedPi::setCanvas(int n) {
  canvas = n;
  const size_t len = n > 0 ? size_t(n) : 0;
  gx.assign(len, 0.0f);
  for (size_t i = 0; i < len; ++i)
    gx[i] = n == 1 ? -1.0f : static_cast<float>(double(i) * 2.0 / double(n - 1) - 1.0);
  gy = gx;
}

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifest_text, int canvas) {
  const json::JVal root = json::parse(manifest_text);
  const json::JVal* uni = root.get("unified");
  if (!uni)
    throw std::runtime_error(
        "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose "
        "and cannot state the pi geometry it was baked with; refusing to guess one");
  const json::JVal& pi = uni->req("pi");
  UnifiedPi u;
  const json::JVal& mode = pi.req("mode");
  if (!mode.isStr()) throw std::runtime_error("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    throw std::runtime_error("teeth-pi: unified.pi.mode '" + mode.str +
                             "' is a compose-mask geometry this port cannot name — fail loud, "
                             "never adapt (the stamped-geometry rule)");
  u.mode = mode.str;
  if (const json::JVal* cr = pi.get("corner_recovery")) {
    if (cr->isBool())
      u.corner_recovery = cr->b;
    else if (cr->isStr() && cr->str == "lip_landmark_half")
      u.corner_recovery = true;
    else
      throw std::runtime_error(
          "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer "
          "cannot name must never be guessed");
  }
  const json::JVal& gs = pi.req("prop_gate_scale");
  if (!gs.isNum()) throw std::runtime_error("teeth-pi: unified.pi.prop_gate_scale is not a number");
  u.prop_gate_scale = static_cast<float>(gs.num);
  const json::JVal& li = pi.req("lip_idx");
  if (!li.isArr() || li.size() == 0)
    throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (size_t i = 0; i < li.size(); ++i) {
    const double* e = li.numAt(i);
    // A row outside the keypoint frame would read past the 63 floats of every frame.
    const int r = e ? json::truncInt32(*e) : -1;
    if (r < 0 || r >= kKpRows)
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx names keypoint row " +
                               (e ? std::to_string(r) : std::string("?")) +
                               ", and a keypoint row is 0..20");
    u.lip_idx.push_back(r);
  }
  const json::JVal& gp = pi.req("lip_geom_params");
  if (gp.size() != 3 || !gp.numAt(0) || !gp.numAt(1) || !gp.numAt(2))
    throw std::runtime_error("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  u.pad_x = static_cast<float>(*gp.numAt(0));
  u.pad_y = static_cast<float>(*gp.numAt(1));
  u.down = static_cast<float>(*gp.numAt(2));
  if (const json::JVal* crop = uni->get("crop")) {
    if (const json::JVal* c = crop->get("canvas")) {
      const int cv = c->isNum() ? json::truncInt32(c->num) : INT32_MIN;
      if (cv != canvas)
        throw std::runtime_error("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
                                 " but unified.crop.canvas is " +
                                 (c->isNum() ? std::to_string(cv) : std::string("not a number")));
    }
  }
  u.setCanvas(canvas);
  return u;
}

UnifiedPi::LipStats UnifiedPi::stats(const float* kp) const {
  LipStats s;
  if (lip_idx.empty()) return s;
  s.empty = false;
  for (int r : lip_idx) {
    s.cx += kp[r * 3];
    s.cy += kp[r * 3 + 1];
  }
  s.cx /= double(lip_idx.size());
  s.cy /= double(lip_idx.size());
  for (int r : lip_idx) {
    s.hx = std::max(s.hx, std::fabs(kp[r * 3] - s.cx));
    s.hy = std::max(s.hy, std::fabs(kp[r * 3 + 1] - s.cy));
  }
  return s;
}

UnifiedPi::Ell UnifiedPi::makeEll(const LipStats& s, double add_x, double add_y, double min_rx,
                                  double min_ry, double scale, double dy) {
  Ell e;
  e.rx = std::max(s.hx + add_x, min_rx);
  e.ry = std::max(s.hy + add_y, min_ry);
  if (scale != 1.0) {
    e.rx *= scale;
    e.ry *= scale;
  }
  e.cx = s.cx;
  e.cy = s.cy + dy;
  e.h = std::sqrt(e.rx * e.ry) * 256.0;
  return e;
}

double UnifiedPi::lipScale(const float* kp, const LipStats& s) const {
  if (!corner_recovery) return 1.0;
  const double ax = std::max(s.hx + double(pad_x), 0.1);
  const double ay = std::max(s.hy + double(pad_y), 0.1);
  const double e = std::sqrt(ax * ay) * 256.0;
  double w = 0.0;
  for (int r : lip_idx) {
    const double u = (kp[r * 3] - s.cx) / ax;
    const double v = (kp[r * 3 + 1] - s.cy - double(down)) / ay;
    w = std::max(w, std::sqrt(u * u + v * v));
  }
  return std::max(1.0, 5.0 / e + w);
}

UnifiedPi::Ell UnifiedPi::lipEll(const float* kp) const {
  const LipStats s = stats(kp);
  return makeEll(s, pad_x, pad_y, 0.1, 0.1, lipScale(kp, s), down);
}

UnifiedPi::Ell UnifiedPi::gateEll(const float* kp, double* gate) const {
  const LipStats s = stats(kp);
  double g = 0.0;
  if (!s.empty) {
    const double t = (s.hy - 0.02) / 0.01;
    g = t < 0.0 ? 0.0 : smooth01(std::min(t, 1.0));
  }
  if (gate) *gate = g;
  return makeEll(s, 0.0, 0.0, 0.004, 0.004, prop_gate_scale, 0.0);
}

UnifiedPi::EllParams UnifiedPi::lipParams(const float* kp) const {
  const Ell e = lipEll(kp);
  return {e.cx, e.cy, e.rx, e.ry, static_cast<float>(e.h)};
}

UnifiedPi::EllParams UnifiedPi::gateParams(const float* kp, float* gate) const {
  double g = 0.0;
  const Ell e = gateEll(kp, &g);
  if (gate) *gate = static_cast<float>(g);
  return {e.cx, e.cy, e.rx, e.ry, static_cast<float>(e.h)};
}

Box UnifiedPi::ellBox(const EllParams& p) const {
  const int32_t n = canvas;
  if (n < 2) return {0, 0, std::max(n, 0), std::max(n, 0)};
  const double f = (n - 1) / 2.0;
  Box b;
  b.x0 = std::max(0, clampToInt(std::floor((p.cx - p.rx + 1) * f) - 1, 0, n, 0));
  b.y0 = std::max(0, clampToInt(std::floor((p.cy - p.ry + 1) * f) - 1, 0, n, 0));
  b.x1 = std::min(n, clampToInt(std::ceil((p.cx + p.rx + 1) * f) + 2, 0, n, 0));
  b.y1 = std::min(n, clampToInt(std::ceil((p.cy + p.ry + 1) * f) + 2, 0, n, 0));
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const Box a = ellBox(lipParams(kp));
  const Box b = ellBox(gateParams(kp, nullptr));
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1),
          std::max(a.y1, b.y1)};
}

double UnifiedPi::ellAt(const Ell& e, int i, int j) const {
  const double u = (double(gx[i]) - e.cx) / e.rx;
  const double v = (double(gy[j]) - e.cy) / e.ry;
  const double d = (1.0 - std::sqrt(u * u + v * v)) * e.h / 10.0;
  if (!(d > 0.0)) return 0.0;  // outside the ellipse, or NaN keypoints
  return smooth01(std::min(d, 1.0));
}

void UnifiedPi::ellMask(const float* kp, double add_x, double add_y, double min_rx,
                        double min_ry, double scale, double dy, float* out) const {
  if (canvas < 1) return;
  const Ell e = makeEll(stats(kp), add_x, add_y, min_rx, min_ry, scale, dy);
  for (int j = 0; j < canvas; ++j)
    for (int i = 0; i < canvas; ++i) out[size_t(j) * canvas + i] = static_cast<float>(ellAt(e, i, j));
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const LipStats s = stats(kp);
  ellMask(kp, pad_x, pad_y, 0.1, 0.1, lipScale(kp, s), down, out);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  if (canvas < 1) return;
  double g = 0.0;
  const Ell e = gateEll(kp, &g);
  for (int j = 0; j < canvas; ++j)
    for (int i = 0; i < canvas; ++i)
      out[size_t(j) * canvas + i] = static_cast<float>(ellAt(e, i, j) * g);
}

double UnifiedPi::piAt(const Ell& lip, const Ell& gate, double g, int i, int j) const {
  const double a = ellAt(lip, i, j);
  const double b = g > 0.0 ? ellAt(gate, i, j) * g : 0.0;
  return std::max(a, b);
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  if (canvas < 1) return;
  double g = 0.0;
  const Ell lip = lipEll(kp), gate = gateEll(kp, &g);
  for (int j = 0; j < canvas; ++j)
    for (int i = 0; i < canvas; ++i) out[size_t(j) * canvas + i] = quantise(piAt(lip, gate, g, i, j));
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  if (canvas < 1) return;
  std::memset(out, 0, size_t(canvas) * canvas);
  double g = 0.0;
  const Ell lip = lipEll(kp), gate = gateEll(kp, &g);
  const Box b = supportBox(kp);
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i) out[size_t(j) * canvas + i] = quantise(piAt(lip, gate, g, i, j));
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* limit, const Box& box,
                             uint8_t* out) const {
  if (canvas < 1) return;
  std::memset(out, 0, size_t(canvas) * canvas);
  double g = 0.0;
  const Ell lip = lipEll(kp), gate = gateEll(kp, &g);
  const Box b = intersect(intersect(box, supportBox(kp)), Box{0, 0, canvas, canvas});
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i) {
      const size_t o = size_t(j) * canvas + i;
      const float l = limit[o];
      if (!(l > 0.0f)) continue;
      out[o] = quantise(std::min(double(l), piAt(lip, gate, g, i, j)));
    }
}

bool UnifiedPi::piU8Centroid(const uint8_t* pi, double* cx, double* cy) const {
  return piU8Centroid(pi, Box{0, 0, canvas, canvas}, cx, cy);
}

bool UnifiedPi::piU8Centroid(const uint8_t* pi, const Box& box, double* cx, double* cy) const {
  const Box b = intersect(box, Box{0, 0, std::max(canvas, 0), std::max(canvas, 0)});
  double sx = 0, sy = 0;
  int64_t n = 0;
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i)
      if (pi[size_t(j) * canvas + i] & 0x80) {
        sx += i;
        sy += j;
        ++n;
      }
  if (n == 0) return false;
  *cx = sx / double(n);
  *cy = sy / double(n);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double* canon, uint8_t* out,
                             int* row_shift, int* col_shift) const {
  const Box b = supportBox(kp);
  piU8Boxed(kp, out);
  double cx = 0, cy = 0;
  if (!piU8Centroid(out, b, &cx, &cy)) return false;
  *row_shift = static_cast<int>(roundHalfEven(cy - canon[1]));
  *col_shift = static_cast<int>(roundHalfEven(cx - canon[0]));
  return true;
}

bool UnifiedPi::piCentroid(const float* kp, double* cx, double* cy) const {
  // The same pixels in the same order as piU8 followed by piU8Centroid over the canvas
  // (pi is zero outside the support box), so the sums are bit-identical at a fraction of
  // the cost: the box is the mouth, the canvas the whole face.
  if (canvas < 1) return false;
  double g = 0.0;
  const Ell lip = lipEll(kp), gate = gateEll(kp, &g);
  const Box b = intersect(supportBox(kp), Box{0, 0, canvas, canvas});
  double sx = 0, sy = 0;
  int64_t n = 0;
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i)
      if (quantise(piAt(lip, gate, g, i, j)) & 0x80) {
        sx += i;
        sy += j;
        ++n;
      }
  if (n == 0) return false;
  *cx = sx / double(n);
  *cy = sy / double(n);
  return true;
}

void UnifiedPi::canonicalCentroid(const float* kp_frames, int n_frames, double* cx,
                                  double* cy) const {
  double sx = 0, sy = 0;
  int n = 0;
  for (int f = 0; f < n_frames; ++f) {
    double x = 0, y = 0;
    if (piCentroid(kp_frames + size_t(f) * kKpRows * 3, &x, &y)) {
      sx += x;
      sy += y;
      ++n;
    }
  }
  if (n == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid "
        "this bundle's frame is identified by");
  *cx = sx / n;
  *cy = sy / n;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifest_text, int canvas,
                                            const float* xs_target, int n_frames,
                                            const double* c_canon, std::string* picked) {
  if (!xs_target || n_frames < 1)
    throw std::runtime_error(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was "
        "supplied — refusing to fall back to the stamped geometry, which is the GRAPH's compose "
        "field");
  const UnifiedPi base = fromManifestJson(manifest_text, canvas);
  struct Cand {
    int row;
    double dist;
  };
  std::vector<Cand> cands;
  for (int r = 0; r < 3; ++r) {
    UnifiedPi u = base;
    u.pad_x = kCorpus[r].pad_x;
    u.pad_y = kCorpus[r].pad_y;
    u.down = kCorpus[r].down;
    double cx = 0, cy = 0;
    u.canonicalCentroid(xs_target, n_frames, &cx, &cy);
    cands.push_back({r, std::hypot(cx - c_canon[0], cy - c_canon[1])});
  }
  std::stable_sort(cands.begin(), cands.end(),
                   [](const Cand& a, const Cand& b) { return a.dist < b.dist; });
  std::string listing;
  for (const Cand& c : cands)
    listing += std::string(" ") + kCorpus[c.row].name + "=" + fmt2(c.dist) + "px";
  if (!(cands[0].dist <= 8.0))
    throw std::runtime_error("teeth-pi: no corpus pi geometry matches this bank's c_canon (" +
                             fmt2(c_canon[0]) + "," + fmt2(c_canon[1]) + ") within 8.00px —" +
                             listing +
                             " — the bank's pi frame is unknown and donors will NOT be placed "
                             "against a frame nobody can name");
  if (cands[1].dist - cands[0].dist < 3.0)
    throw std::runtime_error("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —" +
                             listing + " — refusing to guess the bank frame");
  UnifiedPi out = base;
  out.pad_x = kCorpus[cands[0].row].pad_x;
  out.pad_y = kCorpus[cands[0].row].pad_y;
  out.down = kCorpus[cands[0].row].down;
  if (picked) *picked = kCorpus[cands[0].row].name;
  return out;
}

std::string UnifiedPi::describe() const {
  char b[256];
  std::snprintf(b, sizeof b,
                "pi mode=%s canvas=%d lip ellipse pad_x=%.3f pad_y=%.3f down=%.3f "
                "corner_recovery=%s prop_gate_scale=%.3f lip_idx=[",
                mode.c_str(), canvas, pad_x, pad_y, down, corner_recovery ? "yes" : "no",
                prop_gate_scale);
  std::string s = b;
  for (size_t i = 0; i < lip_idx.size(); ++i) s += (i ? "," : "") + std::to_string(lip_idx[i]);
  return s + "]";
}

}  // namespace ka::tessera
