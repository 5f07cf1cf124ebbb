// Scalar half conversions for callers that convert one value or a short run outside
// the vector kernels (driver sources, renderer).
#include <cstring>

#include "compute/simd.h"

namespace ka {

namespace {

float halfBitsToFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t expo = (h >> 10) & 0x1Fu;
  const uint32_t mant = h & 0x3FFu;
  uint32_t bits;
  if (expo == 0x1F) {
    // Infinity or NaN; NaN is made quiet, as the conversion instructions do.
    bits = 0x7F800000u | (mant << 13) | (mant ? 0x400000u : 0u);
  } else if (expo != 0) {
    bits = ((expo + 112u) << 23) | (mant << 13);
  } else if (mant == 0) {
    bits = 0;
  } else {
    // Subnormal: shift the leading one up to the implicit position.
    uint32_t e = 113;
    uint32_t m = mant;
    while (!(m & 0x400u)) {
      m <<= 1;
      --e;
    }
    bits = (e << 23) | ((m & 0x3FFu) << 13);
  }
  bits |= sign;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace

void halfToFloat(const uint16_t* src, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = halfBitsToFloat(src[i]);
}

uint16_t f32ToF16(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const uint32_t expo = (bits >> 23) & 0xFFu;
  const uint32_t mant = bits & 0x7FFFFFu;
  // Callers store these halves in frames where a NaN must not survive, so NaN becomes
  // an infinity of the same sign.
  if (expo == 0xFF) return sign | 0x7C00u;
  const int e = static_cast<int>(expo) - 127 + 15;
  if (e >= 31) return sign | 0x7C00u;
  uint32_t full;   // significand with the implicit bit, 24 bits
  int shift;       // bits to drop to land on the half's grid
  if (e >= 1) {
    full = mant | 0x800000u;
    shift = 13;
  } else {
    if (expo == 0 || e < -10) return sign;  // below half the smallest subnormal
    full = mant | 0x800000u;
    shift = 14 - e;  // 14 .. 24
  }
  uint32_t kept = full >> shift;
  const uint32_t rest = full & ((1u << shift) - 1);
  const uint32_t halfway = 1u << (shift - 1);
  if (rest > halfway || (rest == halfway && (kept & 1u))) ++kept;
  // For normals the implicit bit is at 0x400 and a mantissa carry moves the exponent
  // up by one (up to infinity at 0x7C00); for subnormals a carry to 0x400 is the
  // smallest normal.
  const uint32_t out = e >= 1 ? (static_cast<uint32_t>(e - 1) << 10) + kept : kept;
  return sign | static_cast<uint16_t>(out);
}

}  // namespace ka
