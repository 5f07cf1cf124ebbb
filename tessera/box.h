#pragma once
// Pixel rectangles on the compose canvas, and the few numeric helpers every mask of
// the teeth subsystem shares.
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace ka::tessera {

// Half-open pixel bounds [x0, x1) x [y0, y1).
struct Box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
};

inline Box intersect(const Box& a, const Box& b) {
  Box r{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
  r.x1 = std::max(r.x1, r.x0);
  r.y1 = std::max(r.y1, r.y0);
  return r;
}

// Rounds half to even whatever the floating-point rounding mode is.
inline double roundHalfEven(double x) {
  const double f = std::floor(x);
  const double d = x - f;
  if (d > 0.5) return f + 1.0;
  if (d < 0.5) return f;
  return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// A pixel bound from a computed coordinate: clamped into [lo, hi] before the cast, so
// keypoints far off the canvas (or NaN, which gives `nan_value`) never overflow it.
inline int32_t clampToInt(double v, int32_t lo, int32_t hi, int32_t nan_value) {
  if (std::isnan(v)) return nan_value;
  if (v <= lo) return lo;
  if (v >= hi) return hi;
  return static_cast<int32_t>(v);
}

// The smoothstep rim of every feathered mask.
inline double smooth01(double t) { return t * t * (3.0 - 2.0 * t); }

}  // namespace ka::tessera
