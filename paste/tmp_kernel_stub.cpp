// TEMP: scalar stand-in for the vector paste row until the kernels land.
#include <cmath>
#include "compute/simd.h"
namespace ka::simd {
void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy,
                      int x0, int x1, uint8_t* outRow) {
  const int S = side;
  for (int x = x0; x <= x1; ++x) {
    const int ux = dx + fx[x - x0], uy = dy + fy[x - x0];
    const int ix = ux >> 10, iy = uy >> 10;
    if (ix < -1 || ix >= S || iy < -1 || iy >= S) continue;
    const int px = (ux >> 5) & 31, py = (uy >> 5) & 31;
    auto t = [&](int yy, int xx) -> float { return (xx < 0 || yy < 0 || xx >= S || yy >= S) ? 0.f : float(mask[yy * S + xx]); };
    const float* bx = bilinear + px * 2; const float* by = bilinear + py * 2;
    const float raw = (t(iy, ix) * bx[0] + t(iy, ix + 1) * bx[1]) * by[0] + (t(iy + 1, ix) * bx[0] + t(iy + 1, ix + 1) * bx[1]) * by[1];
    const float alpha = std::trunc(raw) / 255.f;
    if (!(alpha > 0.f)) continue;
    for (int ch = 0; ch < 3; ++ch) {
      float v = 0.f;
      for (int r = 0; r < 8; ++r) {
        const int sy = iy - 3 + r; if (sy < 0 || sy >= S) continue;
        float rs = 0.f;
        for (int c = 0; c < 8; ++c) { const int sx = ix - 3 + c; if (sx < 0 || sx >= S) continue; rs += lanczos[px * 8 + c] * src4[(sy * S + sx) * 4 + ch]; }
        v += lanczos[py * 8 + r] * rs;
      }
      const float o = outRow[3 * x + ch] * (1.f - alpha) + alpha * v;
      outRow[3 * x + ch] = !(o >= 0.f) ? 0 : (o > 255.f ? 255 : static_cast<uint8_t>(o));
    }
  }
}
}  // namespace ka::simd
