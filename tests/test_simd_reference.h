#pragma once
// Reference arithmetic for the kernel tests, written independently of compute/: half
// values are decoded with ldexp and rounded with nearbyint in double precision.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "hwy/highway.h"
#include "hwy/tests/hwy_gtest.h"

namespace ka::test {

inline uint32_t floatBits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}
inline float bitsFloat(uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

// The value of a half as a double (a NaN for every NaN).
inline double halfValue(uint16_t h) {
  const int e = (h >> 10) & 31;
  const int m = h & 1023;
  double mag;
  if (e == 31) mag = m ? std::nan("") : INFINITY;
  else if (e == 0) mag = std::ldexp(m, -24);
  else mag = std::ldexp(1024 + m, e - 25);
  return (h & 0x8000) ? -mag : mag;
}

// The half nearest to f, ties to even; NaN becomes a quiet NaN with f's top payload.
inline uint16_t halfOf(float f) {
  const uint32_t bits = floatBits(f);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  if (std::isnan(f)) return sign | 0x7E00u | ((bits >> 13) & 0x3FFu);
  const double a = std::fabs(static_cast<double>(f));
  if (a >= 65520.0) return sign | 0x7C00u;  // halfway to 2^16 and above
  if (a == 0.0) return sign;
  const int e = std::max(std::ilogb(a), -14);
  const double r = std::nearbyint(std::ldexp(a, 10 - e));  // exact scaling, then RNE
  return static_cast<uint16_t>(sign | (((e + 14) << 10) + static_cast<int>(r)));
}

// float(half(f)).
inline float roundHalf(float f) { return static_cast<float>(halfValue(halfOf(f))); }

// Runs each test once per compiled target this processor supports; the kernels'
// dispatch follows hwy::SetSupportedTargetsForTest.
class PerTarget : public hwy::TestWithParamTarget {};

}  // namespace ka::test
