// TEMPORARY scalar stand-ins for two kernels of compute/simd.h until the vector kernels
// are linked on this branch. Same arithmetic as documented there; drop this file then.
#include <cstring>

#include "compute/simd.h"

namespace ka::simd {

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb) {
  auto clip = [](int s) -> uint8_t { return static_cast<uint8_t>(s < 0 ? 0 : (s > 255 ? 255 : s)); };
  for (int x = 0; x < width; ++x) {
    const int ci = (x >> 1) * chromaStep;
    const int Y = 298 * (y[x] - 16) + 128;
    const int U = u[ci] - 128;
    const int V = v[ci] - 128;
    rgb[3 * x + 0] = clip((Y + 409 * V) >> 8);
    rgb[3 * x + 1] = clip((Y - 100 * U - 208 * V) >> 8);
    rgb[3 * x + 2] = clip((Y + 516 * U) >> 8);
  }
}

}  // namespace ka::simd

namespace ka {

// Round to nearest even; subnormals; flush below the smallest subnormal; infinity and
// NaN both become a signed infinity.
uint16_t f32ToF16(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const uint32_t exp = (bits >> 23) & 0xFFu;
  uint32_t man = bits & 0x7FFFFFu;
  if (exp == 0xFF) return sign | 0x7C00u;
  const int e = static_cast<int>(exp) - 127 + 15;
  if (e >= 31) return sign | 0x7C00u;
  if (e <= 0) {
    if (e < -10) return sign;
    man |= 0x800000u;
    const int shift = 14 - e;
    uint32_t h = man >> shift;
    const uint32_t rem = man & ((1u << shift) - 1);
    const uint32_t half = 1u << (shift - 1);
    if (rem > half || (rem == half && (h & 1u))) ++h;
    return static_cast<uint16_t>(sign | h);
  }
  uint32_t h = (static_cast<uint32_t>(e) << 10) | (man >> 13);
  const uint32_t rem = man & 0x1FFFu;
  if (rem > 0x1000u || (rem == 0x1000u && (h & 1u))) ++h;  // may carry into infinity
  return static_cast<uint16_t>(sign | h);
}

}  // namespace ka
