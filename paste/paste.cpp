#include "paste/paste.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "compute/pool.h"
#include "compute/simd.h"
#include "base/log.h"

namespace ka {
namespace {

constexpr int kPhases = 32;
constexpr int kMaxSide = 1024;
// Inverse-transform terms are carried in 1/1024 pixel in int; beyond this the transform
// shrinks the crop below a pixel or throws it far off the frame. A column term plus a
// row term plus the +16 rounding must still fit int, so each stays below 2^29.
constexpr double kMaxFixed = 536870912.0;  // 2^29

std::once_flag g_executor_line;

int envMode() {
  const char* v = std::getenv("KA_PASTE_FAST");
  if (!v) return 0;
  const long m = std::strtol(v, nullptr, 10);
  return (m == 1 || m == 2) ? static_cast<int>(m) : 0;
}

int envKsize(int declared) {
  const char* v = std::getenv("KA_PASTE_KSIZE");
  if (!v || !*v) return declared;
  const long k = std::strtol(v, nullptr, 10);
  return (k >= 3 && k % 2 == 1 && k <= declared) ? static_cast<int>(k) : declared;
}

// Reflection without repeating the edge sample (…, 2, 1, 0, 1, 2, …). Applied until
// the index lands inside, so kernels wider than the crop still read only the crop.
inline int reflect(int i, int n) {
  if (n == 1) return 0;
  for (;;) {
    if (i < 0) i = -i;
    if (i < n) return i;
    i = 2 * (n - 1) - i;
  }
}

// A frame row's part of the inverse transform in 1/1024 crop pixel; the 16 centres
// the 1/32 phase.
inline int rowOffset(int y, double slope, double offset) {
  return static_cast<int>(std::trunc((y * slope + offset) * 1024.0)) + 16;
}

// Frame row y from the driver frame src, when the composite reads one.
inline void copyRow(uint8_t* frame, const uint8_t* src, int W, int y) {
  if (!src) return;
  const size_t row = static_cast<size_t>(3) * W;
  std::memcpy(frame + row * y, src + row * y, row);
}

inline uint8_t storeByte(float o) {
  if (!(o >= 0.0f)) return 0;  // negative or NaN
  if (o > 255.0f) return 255;
  return static_cast<uint8_t>(o);
}

}  // namespace

Paste::Paste(std::vector<uint8_t> mask, int side, const Unsharp& u)
    : side_(side), ksize_(u.ksize), amount_(u.amount), mask_(std::move(mask)) {
  if (side < 1 || mask_.size() != static_cast<size_t>(side) * static_cast<size_t>(side))
    throw std::runtime_error("paste: mask size");
  if (u.ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  if (u.ksize < 1)
    throw std::runtime_error("paste: ksize must be positive (got " + std::to_string(u.ksize) + ")");
  ksize_ = envKsize(u.ksize);
  padded_ = side_ + ksize_ - 1;
  mode_ = envMode();
  buildTables(u.sigma);

  const size_t s2 = static_cast<size_t>(side_) * side_;
  for (auto& p : planes_) p.assign(s2, 0.0f);
  source_.assign(s2, 0.0f);
  blurred_.assign(static_cast<size_t>(3) * padded_ * side_, 0.0f);
  interleaved_.assign(s2 * 4, 0.0f);
}

void Paste::buildTables(float sigma) {
  const int k = ksize_;
  gaussian_.assign(static_cast<size_t>(k), 0.0f);
  std::vector<double> g(static_cast<size_t>(k));
  double sum = 0.0;
  for (int i = 0; i < k; ++i) {
    const double t = i - (k - 1) / 2.0;
    // sigma 0 is the limit of an ever narrower Gaussian: all weight on the centre tap. The
    // Gaussian only sees sigma squared, so a negative sigma means its magnitude.
    g[i] = std::fabs(sigma) > 0.0f ? std::exp(-t * t / (2.0 * double(sigma) * double(sigma))) : (t == 0.0 ? 1.0 : 0.0);
    sum += g[i];
  }
  for (int i = 0; i < k; ++i) gaussian_[i] = static_cast<float>(g[i] / sum);

  lanczos_.assign(kPhases * 8, 0.0f);
  bilinear_.assign(kPhases * 2, 0.0f);
  cubic_.assign(kPhases * 4, 0.0f);
  for (int p = 0; p < kPhases; ++p) {
    const double t = p / 32.0;
    bilinear_[p * 2 + 0] = static_cast<float>(1.0 - t);
    bilinear_[p * 2 + 1] = static_cast<float>(t);

    double w[8];
    if (t < 1e-7) {
      for (double& x : w) x = 0.0;
      w[3] = 1.0;
    } else {
      // Tap i sits at d = t + 3 - i. With a = pi*d/4 = A - i*pi/4 (A = pi*(t+3)/4),
      // sin(a) follows from one sincos of A by the angle-sum identity, and
      // sin(pi*d) = sin(4a) = (-1)^i sin(4A).
      double sn, cs;
      ::sincos(-M_PI * (t + 3.0) / 4.0, &sn, &cs);
      const double sinA = -sn, cosA = cs;
      const double sin4A = 4.0 * sinA * cosA * (cosA * cosA - sinA * sinA);
      double total = 0.0;
      for (int i = 0; i < 8; ++i) {
        const double q = i * M_PI / 4.0;
        const double a = M_PI * (t + 3.0 - i) / 4.0;
        const double sina = sinA * std::cos(q) - cosA * std::sin(q);
        const double sinPiD = (i % 2 ? -sin4A : sin4A);
        w[i] = sinPiD * sina / (a * a);
        total += w[i];
      }
      for (double& x : w) x /= total;
    }
    for (int i = 0; i < 8; ++i) lanczos_[p * 8 + i] = static_cast<float>(w[i]);

    const float tf = static_cast<float>(t);
    const float w1 = (1.25f * tf - 2.25f) * tf * tf + 1.0f;
    const float s = 1.0f - tf;
    const float w2 = (1.25f * s - 2.25f) * s * s + 1.0f;
    const float r = tf + 1.0f;
    const float w0 = ((-0.75f * r + 3.75f) * r - 6.0f) * r + 3.0f;
    const float w3 = 1.0f - w0 - w1 - w2;
    cubic_[p * 4 + 0] = w0;
    cubic_[p * 4 + 1] = w1;
    cubic_[p * 4 + 2] = w2;
    cubic_[p * 4 + 3] = w3;
  }
  lanczosSpread_.assign(simd::kPasteSpreadFloats, 0.0f);
  simd::pasteLanczosSpread(lanczos_.data(), lanczosSpread_.data());
}

void Paste::fillPlanes(const float* crop, float scale) {
  interleavedFresh_ = false;
  const size_t s2 = static_cast<size_t>(side_) * side_;
  for (int c = 0; c < 3; ++c) {
    const float* src = crop + c * s2;
    float* dst = planes_[c].data();
    for (size_t i = 0; i < s2; ++i) dst[i] = src[i] * scale;
  }
}

void Paste::unsharpPlane(std::vector<float>& plane) {
  if (side_ > kMaxSide) throw std::runtime_error("paste: side > 1024");
  const size_t s2 = static_cast<size_t>(side_) * side_;
  // The plane is both the source and the result; the source is read until the last row
  // is written, so it is copied aside first.
  std::memcpy(source_.data(), plane.data(), sizeof(float) * s2);
  float* out[3] = {plane.data(), nullptr, nullptr};
  unsharpPlanes(source_.data(), 1, 1.0f, out, false);
}

void Paste::sharpen(const float* crop, float scale) {
  if (side_ > kMaxSide) throw std::runtime_error("paste: side > 1024");
  float* out[3] = {planes_[0].data(), planes_[1].data(), planes_[2].data()};
  // The row kernel reads the interleaved copy only where it does not read the planes.
  unsharpPlanes(crop, 3, scale, out, mode_ == 0 && !simd::pasteRowReadsPlanes());
}

// Both passes of the unsharp mask for n planes at once, in two splits over the pool. The
// horizontal pass reads each reflected, scaled source row once and keeps only the S
// columns the vertical pass reads; the vertical pass sharpens and writes the result
// straight into the planes (and, for the Lanczos row kernel, interleaved). Every value is
// the same sum in the same order as blurring a reflect-padded copy of the scaled plane.
void Paste::unsharpPlanes(const float* src, int n, float scale, float* const* out, bool interleave) {
  const int S = side_, P = padded_, k = ksize_, h = k / 2;
  const size_t s2 = static_cast<size_t>(S) * S;
  const float* g = gaussian_.data();
  float* blur = blurred_.data();

  pool::parallelRange(static_cast<uint64_t>(n) * P, 64, [&](uint64_t b, uint64_t e) {
    // One padded row; grown once per thread, never per frame.
    thread_local std::vector<float> row;
    if (row.size() < static_cast<size_t>(P)) row.resize(static_cast<size_t>(P));
    for (uint64_t i = b; i < e; ++i) {
      const int c = static_cast<int>(i / P), r = static_cast<int>(i % P);
      const float* in = src + c * s2 + static_cast<size_t>(reflect(r - h, S)) * S;
      float* pad = row.data();
      const int mid = std::min(S, P - h);  // source columns that land unreflected
      for (int q = 0; q < h; ++q) pad[q] = in[reflect(q - h, S)] * scale;
      for (int q = 0; q < mid; ++q) pad[h + q] = in[q] * scale;
      for (int q = h + mid; q < P; ++q) pad[q] = in[reflect(q - h, S)] * scale;
      simd::unsharpRowH(pad, g, k, S, blur + (static_cast<size_t>(c) * P + r) * S);
    }
  });

  const float amount = amount_;
  float* il = interleave ? interleaved_.data() : nullptr;
  pool::parallelRange(static_cast<uint64_t>(S), 64, [&](uint64_t b, uint64_t e) {
    for (uint64_t y = b; y < e; ++y) {
      for (int c = 0; c < n; ++c) {
        float* o = out[c] + y * S;
        simd::unsharpRowV(blur + (static_cast<size_t>(c) * P + y) * S, static_cast<size_t>(S), g, k, S,
                          src + c * s2 + y * S, scale, amount, o);
        if (il)
          for (int x = 0; x < S; ++x) il[4 * (y * S + x) + c] = o[x];
      }
    }
  });
  interleavedFresh_ = il != nullptr;
}

bool Paste::place(const float* M, int W, int H, Placement* p) {
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = a * e - b * d;
  if (det == 0.0 || !std::isfinite(det) || !std::isfinite(c) || !std::isfinite(f)) return false;
  if (W < 1 || H < 1) return false;

  const float fa = M[0], fb = M[1], fc = M[2], fd = M[3], fe = M[4], ff = M[5];
  const float lo = -4.0f, hi = static_cast<float>(side_ + 3);
  const float us[4] = {lo, hi, lo, hi}, vs[4] = {lo, lo, hi, hi};
  float minx = INFINITY, maxx = -INFINITY, miny = INFINITY, maxy = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const float x = fa * us[i] + fb * vs[i] + fc;
    const float y = fd * us[i] + fe * vs[i] + ff;
    minx = std::min(minx, x);
    maxx = std::max(maxx, x);
    miny = std::min(miny, y);
    maxy = std::max(maxy, y);
  }
  // Clamp before converting: a far-off transform must not overflow int.
  const double x0d = std::max(0.0, std::trunc(double(minx)));
  const double x1d = std::min(double(W - 1), std::trunc(double(maxx)));
  const double y0d = std::max(0.0, std::trunc(double(miny)));
  const double y1d = std::min(double(H - 1), std::trunc(double(maxy)));
  if (!(x0d <= x1d) || !(y0d <= y1d)) return false;
  const int x0 = static_cast<int>(x0d), x1 = static_cast<int>(x1d);
  const int y0 = static_cast<int>(y0d), y1 = static_cast<int>(y1d);

  const double ub = -b / det, vb = a / det;
  const double uc = (b * f - c * e) / det, vc = (c * d - a * f) / det;
  const double cu = e / det, cv = -d / det;
  // Every per-column and per-row term is linear, so its extremes sit at the box's edges;
  // keeping each below 2^29 keeps their sums (and the rounding) inside int.
  auto fits = [](double v) { return std::fabs(v * 1024.0) < kMaxFixed; };
  for (const double x : {double(x0), double(x1)})
    if (!fits(cu * x) || !fits(cv * x)) return false;
  for (const double y : {double(y0), double(y1)})
    if (!fits(y * ub + uc) || !fits(y * vb + vc)) return false;

  const size_t cols = static_cast<size_t>(x1 - x0 + 1);
  if (fx_.size() < cols) {
    fx_.resize(cols);
    fy_.resize(cols);
  }
  for (int x = x0; x <= x1; ++x) {
    fx_[x - x0] = static_cast<int>(std::trunc(x * cu * 1024.0));
    fy_[x - x0] = static_cast<int>(std::trunc(x * cv * 1024.0));
  }
  *p = Placement{x0, x1, y0, y1, ub, vb, uc, vc};
  return true;
}

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) {
  Placement pl;
  if (!place(M, W, H, &pl)) return;

  std::call_once(g_executor_line, [&] {
    KA_LOG_INFO("[ka-paste] executor=%s (side=%d, ksize=%d, threads=%d) — 1080p frame\n", "cpu", side_,
                ksize_, pool::threads());
  });

  sharpen(crop, scale);
  compositeTail(frame, W, pl.x0, pl.x1, pl.y0, pl.y1, pl.ub, pl.vb, pl.uc, pl.vc);
}

void Paste::composite(const float* crop, float scale, const float* M, const uint8_t* src, uint8_t* frame, int W,
                      int H) {
  if (W < 1 || H < 1) return;
  const size_t rowBytes = static_cast<size_t>(3) * W;
  // Rows [0, y0) and (y1, H) are plain copies.
  auto copyRows = [&](int y0, int y1) {
    const auto first = static_cast<uint64_t>(y0);
    const auto rows = static_cast<uint64_t>(H) - static_cast<uint64_t>(y1 - y0);
    pool::parallelRange(rows, 64, [&](uint64_t b, uint64_t e) {
      // Item i is row i below the box, row i + (y1 - y0) from the box on.
      for (uint64_t i = b; i < e; ++i) {
        const uint64_t y = i < first ? i : i + static_cast<uint64_t>(y1 - y0);
        std::memcpy(frame + y * rowBytes, src + y * rowBytes, rowBytes);
      }
    });
  };
  Placement pl;
  if (!place(M, W, H, &pl)) {
    copyRows(0, 0);
    return;
  }
  std::call_once(g_executor_line, [&] {
    KA_LOG_INFO("[ka-paste] executor=%s (side=%d, ksize=%d, threads=%d) — 1080p frame\n", "cpu", side_,
                ksize_, pool::threads());
  });
  sharpen(crop, scale);
  copyRows(pl.y0, pl.y1 + 1);
  compositeTail(frame, W, pl.x0, pl.x1, pl.y0, pl.y1, pl.ub, pl.vb, pl.uc, pl.vc, src);
}

void Paste::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ub, double vb,
                          double uc, double vc, const uint8_t* src) {
  if (mode_ != 0) {
    compositeRowsFiltered(frame, W, x0, x1, y0, y1, ub, vb, uc, vc, src);
    return;
  }
  const size_t s2 = static_cast<size_t>(side_) * side_;
  const float *r = planes_[0].data(), *g = planes_[1].data(), *bl = planes_[2].data();
  float* il = interleaved_.data();
  const int S = side_;
  // Where the row kernel reads the interleaved copy, sharpen leaves it made already;
  // planes set any other way are interleaved here.
  if (!interleavedFresh_ && !simd::pasteRowReadsPlanes()) {
    pool::parallelRange(static_cast<uint64_t>(S), 64, [&](uint64_t b, uint64_t e) {
      for (size_t i = b * S; i < e * S && i < s2; ++i) {
        il[4 * i + 0] = r[i];
        il[4 * i + 1] = g[i];
        il[4 * i + 2] = bl[i];
        il[4 * i + 3] = 0.0f;
      }
    });
    interleavedFresh_ = true;
  }
  const float* planes[3] = {r, g, bl};
  const uint64_t rows = static_cast<uint64_t>(y1 - y0 + 1);
  pool::parallelRange(rows, 64, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k) {
      const int y = y0 + static_cast<int>(k);
      const int dx = rowOffset(y, ub, uc), dy = rowOffset(y, vb, vc);
      copyRow(frame, src, W, y);
      simd::pasteLanczos8RowPlanar(planes, il, S, mask_.data(), lanczos_.data(), lanczosSpread_.data(),
                                   bilinear_.data(), fx_.data(), fy_.data(), dx, dy, x0, x1,
                                   frame + static_cast<size_t>(3) * W * y);
    }
  });
}

void Paste::compositeRowsFiltered(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ub, double vb,
                                  double uc, double vc, const uint8_t* src) {
  const int S = side_;
  const bool cubic = mode_ == 1;
  const int taps = cubic ? 4 : 2, off = cubic ? 1 : 0;
  const float* table = cubic ? cubic_.data() : bilinear_.data();
  const float* bil = bilinear_.data();
  const uint8_t* m = mask_.data();
  const float* planes[3] = {planes_[0].data(), planes_[1].data(), planes_[2].data()};
  const uint64_t rows = static_cast<uint64_t>(y1 - y0 + 1);
  pool::parallelRange(rows, 64, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k) {
      const int y = y0 + static_cast<int>(k);
      const int dx = rowOffset(y, ub, uc), dy = rowOffset(y, vb, vc);
      copyRow(frame, src, W, y);
      uint8_t* out = frame + static_cast<size_t>(3) * W * y;
      for (int x = x0; x <= x1; ++x) {
        const int ux = dx + fx_[x - x0], uy = dy + fy_[x - x0];
        const int ix = ux >> 10, iy = uy >> 10;
        if (ix < -1 || ix >= S || iy < -1 || iy >= S) continue;
        const int px = (ux >> 5) & 31, py = (uy >> 5) & 31;
        auto texel = [&](int yy, int xx) -> float {
          return (xx < 0 || yy < 0 || xx >= S || yy >= S) ? 0.0f : float(m[yy * S + xx]);
        };
        const float bx0 = bil[px * 2], bx1 = bil[px * 2 + 1], by0 = bil[py * 2], by1 = bil[py * 2 + 1];
        const float raw = (texel(iy, ix) * bx0 + texel(iy, ix + 1) * bx1) * by0 +
                          (texel(iy + 1, ix) * bx0 + texel(iy + 1, ix + 1) * bx1) * by1;
        const float alpha = std::trunc(raw) / 255.0f;
        if (!(alpha > 0.0f)) continue;
        const float* wx = table + px * taps;
        const float* wy = table + py * taps;
        for (int ch = 0; ch < 3; ++ch) {
          const float* pl = planes[ch];
          float v = 0.0f;
          for (int rr = 0; rr < taps; ++rr) {
            const int sy = iy - off + rr;
            if (sy < 0 || sy >= S) continue;  // outside rows: left out (cubic) or zero (bilinear)
            float rowSum = 0.0f;
            for (int cc = 0; cc < taps; ++cc) {
              const int sx = ix - off + cc;
              if (sx < 0 || sx >= S) continue;
              rowSum += wx[cc] * pl[sy * S + sx];
            }
            v += wy[rr] * rowSum;
          }
          uint8_t& dst = out[3 * x + ch];
          dst = storeByte(float(dst) * (1.0f - alpha) + alpha * v);
        }
      }
    }
  });
}

}  // namespace ka
