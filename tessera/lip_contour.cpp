#include "tessera/lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tessera/json.h"
#include "tessera/unified_pi.h"

namespace ka::tessera {
namespace {

constexpr int kKpRows = 21;
constexpr float kSide = 0.955f;      // chamfer weight of a side step
constexpr float kDiagonal = 1.3693f; // and of a diagonal step
// Vertices are clamped this far around the box before rasterising, so a polygon thrown
// far off the canvas by wild keypoints costs bounded time and cannot overflow.
constexpr int32_t kCoordLimit = 1 << 20;

[[noreturn]] void refuse(const std::string& reason) {
  throw std::runtime_error("lip_template.v1.json: " + reason);
}

bool isKpRow(const double* v) {
  return v && *v == std::floor(*v) && *v >= 0 && *v < kKpRows;
}

// Liang-Barsky: cuts the segment s = (x0, y0, x1, y1) to [0, xmax] x [0, ymax] in place;
// false when no part of it lies inside.
bool clipToRect(double* s, double xmax, double ymax) {
  const double dx = s[2] - s[0], dy = s[3] - s[1];
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {s[0], xmax - s[0], s[1], ymax - s[1]};
  double t0 = 0.0, t1 = 1.0;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0.0) {
      if (q[i] < 0.0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0.0) {
      if (t > t1) return false;
      t0 = std::max(t0, t);
    } else {
      if (t < t0) return false;
      t1 = std::min(t1, t);
    }
  }
  const double x0 = s[0], y0 = s[1];
  s[0] = x0 + t0 * dx;
  s[1] = y0 + t0 * dy;
  s[2] = x0 + t1 * dx;
  s[3] = y0 + t1 * dy;
  return true;
}

}  // namespace

LipContour::LipContour(int canvas, float feather_px, const double* u_canon, int nv,
                       const int* lip_idx, int n_idx)
    : canvas_(canvas), feather_px_(feather_px), nv_(nv) {
  if (canvas < 1) refuse("canvas " + std::to_string(canvas) + " is not positive");
  if (!(feather_px > 0.0f)) refuse("feather_px is not positive");
  if (nv < 1 || !u_canon) refuse("carries no non-empty `u_canon` array");
  if (n_idx < 1 || !lip_idx) refuse("carries a `lip_idx` that is not a non-empty array");
  u_canon_.assign(u_canon, u_canon + 2 * size_t(nv));
  for (int i = 0; i < n_idx; ++i) {
    if (lip_idx[i] < 0 || lip_idx[i] >= kKpRows)
      refuse("lip_idx names keypoint row " + std::to_string(lip_idx[i]) +
             ", and a kd row is 0..20");
    lip_idx_.push_back(lip_idx[i]);
  }
  poly_.resize(2 * size_t(nv));
}

void LipContour::attachMap(const double* W, const double* b, int rows, int width,
                           const int* anchor_rows, int k) {
  if (rows != 2 * nv_ || width != 2 * k || k < 1 || k > kMaxAnchors || !W || !b || !anchor_rows)
    refuse("lip_map shape does not match the template");
  for (int i = 0; i < k; ++i)
    if (anchor_rows[i] < 0 || anchor_rows[i] >= kKpRows)
      refuse("lip_map lip_idx names a row outside 0..20");
  W_.assign(W, W + size_t(rows) * width);
  b_.assign(b, b + rows);
  map_width_ = width;
  lip_idx_.assign(anchor_rows, anchor_rows + k);
}

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  json::JVal root;
  try {
    root = json::parse(text);
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!root.isObj()) refuse("is not a JSON object");
  const json::JVal* fmt = root.get("format");
  if (!fmt || !fmt->isStr()) refuse("carries no string `format`");
  if (fmt->str != "lip-template-v1")
    refuse("declares format '" + fmt->str + "', not 'lip-template-v1' — this runtime cannot read it");
  if (const json::JVal* edge = root.get("edge"); edge && edge->isStr() && edge->str != "outward")
    refuse("declares edge '" + edge->str +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does "
           "not compute");
  const json::JVal* cv = root.get("canvas");
  if (!cv || !cv->isNum()) refuse("carries no numeric `canvas`");
  const int baked = json::truncInt32(cv->num);
  if (baked != canvas)
    refuse("was baked on a " + std::to_string(baked) + " canvas but this bundle composes on " +
           std::to_string(canvas) + " — refusing to deform a polygon onto a canvas it does not name");
  const json::JVal* fp = root.get("feather_px");
  if (!fp || !fp->isNum()) refuse("carries no numeric `feather_px`");
  if (!(fp->num > 0.0)) {
    char b[64];
    std::snprintf(b, sizeof b, "%.6f", fp->num);
    refuse(std::string("declares feather_px ") + b + ", which is not positive");
  }
  const json::JVal* uc = root.get("u_canon");
  if (!uc || !uc->isArr() || uc->size() == 0) refuse("carries no non-empty `u_canon` array");
  std::vector<double> u;
  for (size_t i = 0; i < uc->size(); ++i) {
    const json::JVal* row = uc->at(i);
    if (!row || row->size() != 2 || !row->numAt(0) || !row->numAt(1))
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    u.push_back(*row->numAt(0));
    u.push_back(*row->numAt(1));
  }
  const json::JVal* li = root.get("lip_idx");
  if (!li || !li->isArr() || li->size() == 0)
    refuse("carries a `lip_idx` that is not a non-empty array");
  std::vector<int> idx;
  for (size_t i = 0; i < li->size(); ++i) {
    const double* e = li->numAt(i);
    const int r = e ? json::truncInt32(*e) : -1;
    if (r < 0 || r >= kKpRows)
      refuse("lip_idx names keypoint row " + (e ? std::to_string(r) : std::string("?")) +
             ", and a kd row is 0..20");
    idx.push_back(r);
  }
  const int nv = static_cast<int>(uc->size());
  LipContour lc(canvas, static_cast<float>(fp->num), u.data(), nv, idx.data(),
                static_cast<int>(idx.size()));
  const json::JVal* map = root.get("lip_map");
  if (!map) return lc;
  if (!map->isObj()) refuse("lip_map is not a JSON object");
  const json::JVal* schema = map->get("schema");
  if (!schema || !schema->isStr() || schema->str != "lip-map-v1")
    refuse("lip_map declares schema '" + (schema && schema->isStr() ? schema->str : std::string("?")) +
           "', not 'lip-map-v1' — this runtime cannot evaluate it");
  const json::JVal* kind = map->get("kind");
  if (!kind || !kind->isStr() || kind->str != "anchor-linear")
    refuse("lip_map kind is not 'anchor-linear'");
  const json::JVal* mi = map->get("lip_idx");
  if (!mi || !mi->isArr() || mi->size() == 0 || mi->size() > size_t(kMaxAnchors))
    refuse("lip_map lip_idx is not 1..8 kd rows");
  std::vector<int> anchors;
  for (size_t i = 0; i < mi->size(); ++i) {
    const double* e = mi->numAt(i);
    if (!isKpRow(e)) refuse("lip_map lip_idx names a row outside 0..20");
    anchors.push_back(static_cast<int>(*e));
  }
  const int k = static_cast<int>(anchors.size());
  const json::JVal* W = map->get("W");
  const json::JVal* b = map->get("b");
  if (!W || !b || !W->isArr() || !b->isArr()) refuse("lip_map carries no W/b arrays");
  if (W->size() != size_t(2 * nv) || b->size() != size_t(2 * nv))
    refuse("lip_map W/b have " + std::to_string(W->size()) + "/" + std::to_string(b->size()) +
           " rows, not 2*nv=" + std::to_string(2 * nv));
  std::vector<double> w, bb;
  auto finite = [](const double* v) { return v && std::isfinite(*v); };
  for (size_t i = 0; i < W->size(); ++i) {
    const json::JVal* row = W->at(i);
    if (!row || row->size() != size_t(2 * k))
      refuse("lip_map W row " + std::to_string(i) + " is not " + std::to_string(2 * k) + " wide");
    for (size_t j = 0; j < row->size(); ++j) {
      if (!finite(row->numAt(j))) refuse("lip_map carries a non-finite coefficient");
      w.push_back(*row->numAt(j));
    }
  }
  for (size_t j = 0; j < b->size(); ++j) {
    if (!finite(b->numAt(j))) refuse("lip_map carries a non-finite coefficient");
    bb.push_back(*b->numAt(j));
  }
  if (const json::JVal* mc = map->get("canvas");
      mc && (!mc->isNum() || json::truncInt32(mc->num) != canvas))
    refuse("lip_map was fitted on another canvas than this bundle composes on");
  lc.attachMap(w.data(), bb.data(), 2 * nv, 2 * k, anchors.data(), k);
  return lc;
}

void LipContour::polygon(const float* kp, double* out) const {
  const int k = std::min<int>(static_cast<int>(lip_idx_.size()), kMaxAnchors);
  const double half = canvas_ / 2.0;
  double px[kMaxAnchors], py[kMaxAnchors];
  double gx = 0, gy = 0;
  for (int a = 0; a < k; ++a) {
    px[a] = (double(kp[lip_idx_[a] * 3]) + 1.0) * half;
    py[a] = (double(kp[lip_idx_[a] * 3 + 1]) + 1.0) * half;
    gx += px[a];
    gy += py[a];
  }
  gx /= k;
  gy /= k;
  if (map_width_ == 0) {
    double hx = 0, hy = 0;
    for (int a = 0; a < k; ++a) {
      hx = std::max(hx, std::fabs(px[a] - gx));
      hy = std::max(hy, std::fabs(py[a] - gy));
    }
    if (hx < 1e-6) hx = 1e-6;
    if (hy < 1e-6) hy = 1e-6;
    for (int v = 0; v < nv_; ++v) {
      out[2 * v] = hx * u_canon_[2 * v] + gx;
      out[2 * v + 1] = hy * u_canon_[2 * v + 1] + gy;
    }
    return;
  }
  double f[2 * kMaxAnchors];
  for (int a = 0; a < k; ++a) {
    f[2 * a] = px[a] - gx;
    f[2 * a + 1] = py[a] - gy;
  }
  for (int j = 0; j < 2 * nv_; ++j) {
    const double* wr = W_.data() + size_t(j) * map_width_;
    double s = b_[j];
    for (int i = 0; i < map_width_; ++i) s += wr[i] * f[i];
    out[j] = s + ((j & 1) ? gy : gx);
  }
}

Box LipContour::box(const double* poly) const {
  double mnx = INFINITY, mny = INFINITY, mxx = -INFINITY, mxy = -INFINITY;
  for (int v = 0; v < nv_; ++v) {
    const double x = poly[2 * v], y = poly[2 * v + 1];
    if (!std::isfinite(x) || !std::isfinite(y)) return Box{};  // wild keypoints: no contour
    mnx = std::min(mnx, x);
    mny = std::min(mny, y);
    mxx = std::max(mxx, x);
    mxy = std::max(mxy, y);
  }
  const double m = double(feather_px_) + 2.0;
  const int32_t n = canvas_;
  Box b;
  b.x0 = clampToInt(std::floor(mnx - m), 0, n, 0);
  b.y0 = clampToInt(std::floor(mny - m), 0, n, 0);
  b.x1 = clampToInt(std::ceil(mxx + m) + 1, 0, n, 0);
  b.y1 = clampToInt(std::ceil(mxy + m) + 1, 0, n, 0);
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

void LipContour::fillScanline(const double* poly, const Box& b, uint8_t* out) const {
  const int w = b.x1 - b.x0, h = b.y1 - b.y0;
  if (w <= 0 || h <= 0) return;
  std::memset(out, 0, size_t(w) * h);
  auto vx = [&](int v) {
    return clampToInt(roundHalfEven(poly[2 * v] - b.x0), -kCoordLimit, kCoordLimit, 0);
  };
  auto vy = [&](int v) {
    return clampToInt(roundHalfEven(poly[2 * v + 1] - b.y0), -kCoordLimit, kCoordLimit, 0);
  };
  // Outline first, so thin slivers the even-odd fill misses still count as inside. An
  // edge leaving the box is first cut to it, so a vertex thrown far off the canvas costs
  // no more steps than the box is wide and high; an edge inside the box is drawn as is.
  outline_steps_ = 0;
  for (int v = 0; v < nv_; ++v) {
    const int u = (v + 1) % nv_;
    int x0 = vx(v), y0 = vy(v);
    int x1 = vx(u), y1 = vy(u);
    const bool inside = x0 >= 0 && x0 < w && y0 >= 0 && y0 < h && x1 >= 0 && x1 < w &&
                        y1 >= 0 && y1 < h;
    if (!inside) {
      // The same clamped segment the edge table fills by, so outline and fill agree.
      double s[4] = {double(x0), double(y0), double(x1), double(y1)};
      if (!clipToRect(s, w - 1, h - 1)) continue;
      x0 = clampToInt(roundHalfEven(s[0]), 0, w - 1, 0);
      y0 = clampToInt(roundHalfEven(s[1]), 0, h - 1, 0);
      x1 = clampToInt(roundHalfEven(s[2]), 0, w - 1, 0);
      y1 = clampToInt(roundHalfEven(s[3]), 0, h - 1, 0);
    }
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
      ++outline_steps_;
      if (x0 >= 0 && x0 < w && y0 >= 0 && y0 < h) out[size_t(y0) * w + x0] = 255;
      if (x0 == x1 && y0 == y1) break;
      const int e2 = 2 * err;
      if (e2 >= dy) {
        err += dy;
        x0 += sx;
      }
      if (e2 <= dx) {
        err += dx;
        y0 += sy;
      }
    }
  }
  edges_.clear();
  int top = INT32_MAX, bottom = INT32_MIN;
  for (int v = 0; v < nv_; ++v) {
    const int u = (v + 1) % nv_;
    int x0 = vx(v), y0 = vy(v), x1 = vx(u), y1 = vy(u);
    if (y0 == y1) continue;
    if (y0 > y1) {
      std::swap(x0, x1);
      std::swap(y0, y1);
    }
    edges_.push_back({y0, y1, int64_t(x0) * 65536, (int64_t(x1 - x0) * 65536) / (y1 - y0)});
    top = std::min(top, y0);
    bottom = std::max(bottom, y1);
  }
  for (int row = std::max(top, 0); row < std::min(bottom, h); ++row) {
    xs_.clear();
    for (const Edge& e : edges_)
      if (e.y0 <= row && row < e.y1) xs_.push_back(e.x + e.dxdy * (row - e.y0));
    std::sort(xs_.begin(), xs_.end());
    for (size_t i = 0; i + 1 < xs_.size(); i += 2) {
      const int64_t l = std::max<int64_t>((xs_[i] + 65535) >> 16, 0);
      const int64_t r = std::min<int64_t>(xs_[i + 1] >> 16, w - 1);
      if (l <= r) std::memset(out + size_t(row) * w + l, 255, size_t(r - l + 1));
    }
  }
}

void LipContour::contourF32(const double* poly, const Box& b, float* canvas_map) {
  const int w = b.x1 - b.x0, h = b.y1 - b.y0;
  if (w <= 0 || h <= 0) return;
  const size_t n = size_t(w) * h;
  if (raster_.size() < n) raster_.resize(n);
  if (dist_.size() < n) dist_.resize(n);
  fillScanline(poly, b, raster_.data());
  float* d = dist_.data();
  for (size_t i = 0; i < n; ++i) d[i] = raster_[i] ? 0.0f : 1e10f;
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i) {
      float v = d[size_t(j) * w + i];
      if (i > 0) v = std::min(v, d[size_t(j) * w + i - 1] + kSide);
      if (j > 0) {
        const float* up = d + size_t(j - 1) * w;
        v = std::min(v, up[i] + kSide);
        if (i > 0) v = std::min(v, up[i - 1] + kDiagonal);
        if (i + 1 < w) v = std::min(v, up[i + 1] + kDiagonal);
      }
      d[size_t(j) * w + i] = v;
    }
  for (int j = h - 1; j >= 0; --j)
    for (int i = w - 1; i >= 0; --i) {
      float v = d[size_t(j) * w + i];
      if (i + 1 < w) v = std::min(v, d[size_t(j) * w + i + 1] + kSide);
      if (j + 1 < h) {
        const float* dn = d + size_t(j + 1) * w;
        v = std::min(v, dn[i] + kSide);
        if (i + 1 < w) v = std::min(v, dn[i + 1] + kDiagonal);
        if (i > 0) v = std::min(v, dn[i - 1] + kDiagonal);
      }
      d[size_t(j) * w + i] = v;
    }
  for (int j = 0; j < h; ++j) {
    float* row = canvas_map + size_t(b.y0 + j) * canvas_ + b.x0;
    for (int i = 0; i < w; ++i) {
      const double v = 1.0 - double(d[size_t(j) * w + i]) / double(feather_px_);
      row[i] = v <= 0.0 ? 0.0f : static_cast<float>(smooth01(std::min(v, 1.0)));
    }
  }
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  std::memset(out, 0, sizeof(float) * size_t(canvas_) * canvas_);
  polygon(kp, poly_.data());
  const Box b = box(poly_.data());
  if (!b.empty()) contourF32(poly_.data(), b, out);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  polygon(kp, poly_.data());
  const Box b = box(poly_.data());
  if (b.empty()) {
    std::memset(out, 0, size_t(canvas_) * canvas_);
    return;
  }
  if (map_.size() < size_t(canvas_) * canvas_) map_.resize(size_t(canvas_) * canvas_);
  contourF32(poly_.data(), b, map_.data());
  pi.piU8ShrunkBy(kp, map_.data(), b, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& region, uint8_t* mask) {
  const Box r = intersect(region, Box{0, 0, canvas_, canvas_});
  polygon(kp, poly_.data());
  const Box pb = box(poly_.data());
  const Box in = intersect(pb, r);
  if (in.empty()) {
    for (int j = r.y0; j < r.y1; ++j)
      std::memset(mask + size_t(j) * canvas_ + r.x0, 0, size_t(r.x1 - r.x0));
    return false;
  }
  if (map_.size() < size_t(canvas_) * canvas_) map_.resize(size_t(canvas_) * canvas_);
  contourF32(poly_.data(), pb, map_.data());
  bool any = false;
  for (int j = r.y0; j < r.y1; ++j) {
    uint8_t* row = mask + size_t(j) * canvas_;
    if (j < in.y0 || j >= in.y1) {
      std::memset(row + r.x0, 0, size_t(r.x1 - r.x0));
      continue;
    }
    const float* c = map_.data() + size_t(j) * canvas_;
    for (int i = r.x0; i < r.x1; ++i) {
      if (i < in.x0 || i >= in.x1) {
        row[i] = 0;
        continue;
      }
      const float v = c[i];
      const uint8_t q = v <= 0.0f ? 0 : static_cast<uint8_t>(roundHalfEven(std::min(v, 1.0f) * 255.0));
      row[i] = std::min(row[i], q);
      any = any || row[i] != 0;
    }
  }
  return any;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* canon,
                                     uint8_t* out, int* row_shift, int* col_shift) {
  const bool ok1 = pi.piU8AndShift(kp, canon, out, row_shift, col_shift);
  const bool ok2 = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return ok1 && ok2;
}

}  // namespace ka::tessera
