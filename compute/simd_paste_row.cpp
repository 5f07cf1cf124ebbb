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

// v[c] = Σ of the accumulator's lanes of channel c, texel by texel from zero: the same
// additions in the same order as lane by lane, without a round trip through memory per
// lane.
template <class D, class V>
HWY_INLINE void Fold(D d, V acc, float v[4]) {
#if HWY_TARGET == HWY_SCALAR || HWY_HAVE_SCALABLE
  HWY_ALIGN float lane[kRowFloats];
  hn::Store(acc, d, lane);
  v[0] = v[1] = v[2] = v[3] = 0.0f;
  for (size_t j = 0; j < hn::Lanes(d); ++j) v[j & 3] += lane[j];
#else
  const hn::FixedTag<float, 4> d4;
  constexpr size_t kLanes = hn::MaxLanes(D());
  if constexpr (kLanes == 4) {
    hn::StoreU(hn::Add(hn::Zero(d4), acc), d4, v);
  } else if constexpr (kLanes == 8) {
    hn::StoreU(hn::Add(hn::Add(hn::Zero(d4), hn::LowerHalf(acc)), hn::UpperHalf(hn::Half<D>(), acc)), d4, v);
  } else {
    static_assert(kLanes == 16, "a support row is 32 floats");
    const hn::Half<D> d8;
    const auto lo = hn::LowerHalf(acc), hi = hn::UpperHalf(d8, acc);
    auto sum = hn::Add(hn::Zero(d4), hn::LowerHalf(lo));
    sum = hn::Add(sum, hn::UpperHalf(d4, lo));
    sum = hn::Add(sum, hn::LowerHalf(hi));
    sum = hn::Add(sum, hn::UpperHalf(d4, hi));
    hn::StoreU(sum, d4, v);
  }
#endif
}

// Σ_c wx[c] Σ_r wy[r] · texel[r][c] for the four channels of an 8x8 support whose rows
// start `stride` floats apart. wxRep holds each horizontal weight four times.
HWY_INLINE void Resample(const float* base, size_t stride, const float* wy, const float* wxRep,
                         float v[4]) {
  const DRow d;
  const size_t lanes = hn::Lanes(d);
  HWY_ALIGN float lane[kRowFloats];
  auto acc = hn::Zero(d);
  if (lanes % 4 != 0) v[0] = v[1] = v[2] = v[3] = 0.0f;
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
  if (lanes % 4 == 0) Fold(d, acc, v);
}

// Resample for two supports at once, each with exactly Resample's arithmetic: two
// independent chains keep the multiply-add units busy where one chain waits on latency.
HWY_INLINE void Resample2(const float* baseA, const float* baseB, size_t stride, const float* wyA,
                          const float* wyB, const float* wxA, const float* wxB, float vA[4], float vB[4]) {
  const DRow d;
  const size_t lanes = hn::Lanes(d);
  if (lanes % 4 != 0) {
    Resample(baseA, stride, wyA, wxA, vA);
    Resample(baseB, stride, wyB, wxB, vB);
    return;
  }
  auto accA = hn::Zero(d);
  auto accB = hn::Zero(d);
  for (size_t k = 0; k < kRowFloats; k += lanes) {
    auto colA = hn::Mul(hn::Set(d, wyA[0]), hn::LoadU(d, baseA + k));
    auto colB = hn::Mul(hn::Set(d, wyB[0]), hn::LoadU(d, baseB + k));
    for (int r = 1; r < kTaps; ++r) {
      const size_t at = static_cast<size_t>(r) * stride + k;
      colA = hn::MulAdd(hn::Set(d, wyA[r]), hn::LoadU(d, baseA + at), colA);
      colB = hn::MulAdd(hn::Set(d, wyB[r]), hn::LoadU(d, baseB + at), colB);
    }
    accA = hn::MulAdd(hn::LoadU(d, wxA + k), colA, accA);
    accB = hn::MulAdd(hn::LoadU(d, wxB + k), colB, accB);
  }
  Fold(d, accA, vA);
  Fold(d, accB, vB);
}

// o = dst (1 - alpha) + alpha v per channel; 0 for a negative or NaN o, 255 above 255,
// else o truncated.
HWY_INLINE void Blend(float alpha, const float v[4], uint8_t* o) {
#if HWY_TARGET == HWY_SCALAR
  for (int ch = 0; ch < 3; ++ch) {
    const float blended = static_cast<float>(o[ch]) * (1.0f - alpha) + alpha * v[ch];
    o[ch] = !(blended >= 0.0f) ? 0 : blended > 255.0f ? 255 : static_cast<uint8_t>(blended);
  }
#else
  const hn::FixedTag<float, 4> d4;
  const hn::RebindToSigned<decltype(d4)> di;
  HWY_ALIGN float dst[4] = {static_cast<float>(o[0]), static_cast<float>(o[1]), static_cast<float>(o[2]), 0.0f};
  const auto blended = hn::Add(hn::Mul(hn::Load(d4, dst), hn::Set(d4, 1.0f - alpha)),
                               hn::Mul(hn::Set(d4, alpha), hn::LoadU(d4, v)));
  const auto kept = hn::IfThenElseZero(hn::Ge(blended, hn::Zero(d4)), hn::Min(blended, hn::Set(d4, 255.0f)));
  HWY_ALIGN int32_t out[4];
  hn::Store(hn::ConvertTo(di, kept), di, out);
  o[0] = static_cast<uint8_t>(out[0]);
  o[1] = static_cast<uint8_t>(out[1]);
  o[2] = static_cast<uint8_t>(out[2]);
#endif
}

}  // namespace

void PasteLanczosSpread(const float* lanczos, float* wxRep) {
  for (int p = 0; p < kPhases; ++p) {
    for (int c = 0; c < kTaps; ++c) {
      for (int k = 0; k < 4; ++k) wxRep[p * kRowFloats + c * 4 + k] = lanczos[p * kTaps + c];
    }
  }
}

void PasteLanczos8RowSpread(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                            const float* wxRep, const float* bilinear, const int* fx, const int* fy, int dx,
                            int dy, int x0, int x1, uint8_t* outRow) {
  // Border supports are copied here with the texels outside the crop left at zero,
  // which leaves them out of the sum.
  HWY_ALIGN float patch[kTaps * kRowFloats];
  const size_t side4 = 4 * static_cast<size_t>(side);
  const auto maskAt = [&](int r, int c) -> float {
    return (r >= 0 && r < side && c >= 0 && c < side)
               ? static_cast<float>(mask[static_cast<size_t>(r) * static_cast<size_t>(side) + c])
               : 0.0f;
  };

  // An inside pixel waiting for a partner.
  struct Held {
    const float *base, *wy, *wx;
    float alpha;
    uint8_t* out;
  } held{nullptr, nullptr, nullptr, 0.0f, nullptr};

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
    float m00, m01, m10, m11;
    if (ix >= 0 && ix + 1 < side && iy >= 0 && iy + 1 < side) {
      const uint8_t* m = mask + static_cast<size_t>(iy) * static_cast<size_t>(side) + ix;
      m00 = m[0], m01 = m[1], m10 = m[side], m11 = m[side + 1];
    } else {
      m00 = maskAt(iy, ix), m01 = maskAt(iy, ix + 1), m10 = maskAt(iy + 1, ix), m11 = maskAt(iy + 1, ix + 1);
    }
    const float raw = (m00 * bx0 + m01 * bx1) * by0 + (m10 * bx0 + m11 * bx1) * by1;
    // trunc(raw) / 255 is positive exactly when trunc(raw) is: uncovered pixels skip the
    // division.
    const float covered = std::trunc(raw);
    if (!(covered > 0.0f)) continue;
    const float alpha = covered / 255.0f;

    const float* wy = lanczos + py * kTaps;
    const float* wx = wxRep + px * kRowFloats;
    uint8_t* out = outRow + 3 * static_cast<size_t>(x);
    if (ix >= 3 && ix + 4 < side && iy >= 3 && iy + 4 < side) {
      // Inside the crop: pixels are independent, so they go through in pairs.
      const float* base =
          src4 + (static_cast<size_t>(iy - 3) * static_cast<size_t>(side) + static_cast<size_t>(ix - 3)) * 4;
      if (!held.out) {
        held = Held{base, wy, wx, alpha, out};
        continue;
      }
      float vA[4], vB[4];
      Resample2(held.base, base, side4, held.wy, wy, held.wx, wx, vA, vB);
      Blend(held.alpha, vA, held.out);
      Blend(alpha, vB, out);
      held.out = nullptr;
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
      float v[4];
      Resample(patch, kRowFloats, wy, wx, v);
      Blend(alpha, v, out);
    }
  }
  if (held.out) {
    float v[4];
    Resample(held.base, side4, held.wy, held.wx, v);
    Blend(held.alpha, v, held.out);
  }
}

void PasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy, int x0,
                      int x1, uint8_t* outRow) {
  HWY_ALIGN float wxRep[kPhases * kRowFloats];
  PasteLanczosSpread(lanczos, wxRep);
  PasteLanczos8RowSpread(src4, side, mask, lanczos, wxRep, bilinear, fx, fy, dx, dy, x0, x1, outRow);
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(PasteLanczos8Row);
HWY_EXPORT(PasteLanczos8RowSpread);

void pasteLanczosSpread(const float* lanczos, float* spread) {
  // Plain copies: every target builds the same table.
  HWY_STATIC_DISPATCH(PasteLanczosSpread)(lanczos, spread);
}

void pasteLanczos8RowSpread(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                            const float* spread, const float* bilinear, const int* fx, const int* fy, int dx,
                            int dy, int x0, int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8RowSpread)(src4, side, mask, lanczos, spread, bilinear, fx, fy, dx, dy, x0,
                                               x1, outRow);
}

void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy, int x0,
                      int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(src4, side, mask, lanczos, bilinear, fx, fy, dx, dy, x0,
                                         x1, outRow);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
