// The paste compositor's row kernel: mask-weighted Lanczos-8 resample of the rendered
// crop, blended into one RGB24 frame row.
#include <cmath>

#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_paste_row.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

constexpr int kTaps = 8;
constexpr int kPhases = 32;
// One support row: 8 texels of 4 floats, contiguous in the crop.
constexpr size_t kRowFloats = 4 * kTaps;

// Lanes divide 32 and are a multiple of 4 or below it, so a vector covers whole texels
// of one support row and the 4-channel fold below lines up.
using DRow = hn::CappedTag<float, kRowFloats>;

// Σ_c wx[c] Σ_r wy[r] · texel[r][c] for the four channels of an 8x8 support whose rows
// start `stride` floats apart. wxRep holds each horizontal weight four times.
HWY_INLINE void Resample(const float* base, size_t stride, const float* wy, const float* wxRep,
                         float v[4]) {
  const DRow d;
  const size_t lanes = hn::Lanes(d);
  HWY_ALIGN float lane[kRowFloats];
  v[0] = v[1] = v[2] = v[3] = 0.0f;
  auto acc = hn::Zero(d);
  for (size_t k = 0; k < kRowFloats; k += lanes) {
    auto col = hn::Mul(hn::Set(d, wy[0]), hn::LoadU(d, base + k));
    for (int r = 1; r < kTaps; ++r) {
      col = hn::MulAdd(hn::Set(d, wy[r]), hn::LoadU(d, base + static_cast<size_t>(r) * stride + k), col);
    }
    if (lanes % 4 == 0) {
      acc = hn::MulAdd(hn::LoadU(d, wxRep + k), col, acc);
    } else {
      // Fewer than four lanes: a lane does not stay on one channel across chunks.
      hn::Store(hn::Mul(hn::LoadU(d, wxRep + k), col), d, lane);
      for (size_t j = 0; j < lanes; ++j) v[(k + j) & 3] += lane[j];
    }
  }
  if (lanes % 4 == 0) {
    hn::Store(acc, d, lane);
    for (size_t j = 0; j < lanes; ++j) v[j & 3] += lane[j];
  }
}

}  // namespace

void PasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy, int x0,
                      int x1, uint8_t* outRow) {
  // Horizontal weights spread over the four floats of a texel, for every phase.
  HWY_ALIGN float wxRep[kPhases * kRowFloats];
  for (int p = 0; p < kPhases; ++p) {
    for (int c = 0; c < kTaps; ++c) {
      for (int k = 0; k < 4; ++k) wxRep[p * kRowFloats + c * 4 + k] = lanczos[p * kTaps + c];
    }
  }
  // Border supports are copied here with the texels outside the crop left at zero,
  // which leaves them out of the sum.
  HWY_ALIGN float patch[kTaps * kRowFloats];
  const size_t side4 = 4 * static_cast<size_t>(side);
  const auto maskAt = [&](int r, int c) -> float {
    return (r >= 0 && r < side && c >= 0 && c < side)
               ? static_cast<float>(mask[static_cast<size_t>(r) * static_cast<size_t>(side) + c])
               : 0.0f;
  };

  for (int x = x0; x <= x1; ++x) {
    const int ux = dx + fx[x - x0];
    const int uy = dy + fy[x - x0];
    const int ix = ux >> 10;
    const int iy = uy >> 10;
    if (ix < -1 || ix >= side || iy < -1 || iy >= side) continue;
    const int px = (ux >> 5) & 31;
    const int py = (uy >> 5) & 31;
    const float bx0 = bilinear[2 * px], bx1 = bilinear[2 * px + 1];
    const float by0 = bilinear[2 * py], by1 = bilinear[2 * py + 1];
    const float raw = (maskAt(iy, ix) * bx0 + maskAt(iy, ix + 1) * bx1) * by0 +
                      (maskAt(iy + 1, ix) * bx0 + maskAt(iy + 1, ix + 1) * bx1) * by1;
    const float alpha = std::trunc(raw) / 255.0f;
    if (!(alpha > 0.0f)) continue;

    const float* base;
    size_t stride;
    if (ix >= 3 && ix + 4 < side && iy >= 3 && iy + 4 < side) {
      base = src4 + (static_cast<size_t>(iy - 3) * static_cast<size_t>(side) + static_cast<size_t>(ix - 3)) * 4;
      stride = side4;
    } else {
      for (int r = 0; r < kTaps; ++r) {
        const int sy = iy - 3 + r;
        for (int c = 0; c < kTaps; ++c) {
          const int sx = ix - 3 + c;
          float* t = patch + r * kRowFloats + c * 4;
          if (sy >= 0 && sy < side && sx >= 0 && sx < side) {
            const float* s = src4 + (static_cast<size_t>(sy) * static_cast<size_t>(side) + static_cast<size_t>(sx)) * 4;
            t[0] = s[0], t[1] = s[1], t[2] = s[2], t[3] = s[3];
          } else {
            t[0] = t[1] = t[2] = t[3] = 0.0f;
          }
        }
      }
      base = patch;
      stride = kRowFloats;
    }
    float v[4];
    Resample(base, stride, lanczos + py * kTaps, wxRep + px * kRowFloats, v);

    uint8_t* o = outRow + 3 * static_cast<size_t>(x);
    for (int ch = 0; ch < 3; ++ch) {
      const float blended = static_cast<float>(o[ch]) * (1.0f - alpha) + alpha * v[ch];
      o[ch] = !(blended >= 0.0f) ? 0 : blended > 255.0f ? 255 : static_cast<uint8_t>(blended);
    }
  }
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(PasteLanczos8Row);

void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy, int x0,
                      int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(src4, side, mask, lanczos, bilinear, fx, fy, dx, dy, x0,
                                         x1, outRow);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
