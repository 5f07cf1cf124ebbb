// Half-precision conversion kernels: plain conversions both ways, the rounding
// multiply of the renderer and the RGB24 -> planar half input packing.
#include <cstring>

#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_half.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/simd_half-inl.h"
#include "compute/simd_strip-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {

void F16ToF32(const uint16_t* src, float* dst, size_t n) {
  Strip<float>(0, n, [&](auto df, size_t i) HWY_ATTR {
    const hn::Rebind<uint16_t, decltype(df)> d16;
    hn::StoreU(HalfToF32(df, hn::LoadU(d16, src + i)), df, dst + i);
  });
}

void F32ToF16(const float* src, uint16_t* dst, size_t n) {
  Strip<float>(0, n, [&](auto df, size_t i) HWY_ATTR {
    const hn::Rebind<uint16_t, decltype(df)> d16;
    hn::StoreU(F32ToHalf(df, hn::LoadU(df, src + i)), d16, dst + i);
  });
}

void RoundF16Mul(const float* a, const float* b, float* out, size_t n) {
  Strip<float>(0, n, [&](auto df, size_t i) HWY_ATTR {
    const auto p = hn::Mul(RoundToHalf(df, hn::LoadU(df, a + i)), hn::LoadU(df, b + i));
    hn::StoreU(p, df, out + i);
  });
}

namespace {

// One quarter of a byte vector: bytes / 255 (a true division, as the reference does)
// rounded to half and stored.
template <class DQ>
HWY_INLINE void StoreScaledQuarter(DQ /* dq */, hn::Vec<DQ> q, uint16_t* dst) {
  const hn::Rebind<int32_t, DQ> di;
  const hn::Rebind<float, DQ> df;
  const hn::Rebind<uint16_t, DQ> d16;
  const auto f = hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, q)), hn::Set(df, 255.0f));
  hn::StoreU(F32ToHalf(df, f), d16, dst);
}

#if HWY_TARGET != HWY_SCALAR
template <class D8>
HWY_INLINE void StoreScaledPlane(D8 /* d8 */, hn::Vec<D8> v, uint16_t* dst) {
  const hn::Half<D8> dh;
  const hn::Half<decltype(dh)> dq;
  const size_t nq = hn::Lanes(dq);
  const auto lo = hn::LowerHalf(dh, v);
  const auto hi = hn::UpperHalf(dh, v);
  StoreScaledQuarter(dq, hn::LowerHalf(dq, lo), dst);
  StoreScaledQuarter(dq, hn::UpperHalf(dq, lo), dst + nq);
  StoreScaledQuarter(dq, hn::LowerHalf(dq, hi), dst + 2 * nq);
  StoreScaledQuarter(dq, hn::UpperHalf(dq, hi), dst + 3 * nq);
}

// Lanes(d8) pixels.
template <class D8>
HWY_INLINE void RgbBlock(D8 d8, const uint8_t* rgb, uint16_t* r, uint16_t* g, uint16_t* b) {
  hn::Vec<D8> vr, vg, vb;
  hn::LoadInterleaved3(d8, rgb, vr, vg, vb);
  StoreScaledPlane(d8, vr, r);
  StoreScaledPlane(d8, vg, g);
  StoreScaledPlane(d8, vb, b);
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace

#if HWY_TARGET == HWY_SCALAR
// Single-lane target: no half vectors to split bytes into, so one byte at a time.
void Rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride, size_t n) {
  const hn::CappedTag<uint8_t, 1> d1;
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < 3; ++c) {
      StoreScaledQuarter(d1, hn::LoadU(d1, rgb + 3 * i + c), dst + c * planeStride + i);
    }
  }
}
#else
void Rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride, size_t n) {
  const hn::ScalableTag<uint8_t> d8;
  const size_t lanes = hn::Lanes(d8);
  uint16_t* r = dst;
  uint16_t* g = dst + planeStride;
  uint16_t* b = dst + 2 * planeStride;
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) RgbBlock(d8, rgb + 3 * i, r + i, g + i, b + i);
  if (i == n) return;
  // The tail runs the same block over a zero-padded copy: the interleaved loads only
  // exist for whole byte vectors.
  const size_t rest = n - i;
  HWY_ALIGN uint8_t in[3 * HWY_MAX_BYTES] = {};
  HWY_ALIGN uint16_t out[3][HWY_MAX_BYTES];
  std::memcpy(in, rgb + 3 * i, 3 * rest);
  RgbBlock(d8, in, out[0], out[1], out[2]);
  std::memcpy(r + i, out[0], rest * sizeof(uint16_t));
  std::memcpy(g + i, out[1], rest * sizeof(uint16_t));
  std::memcpy(b + i, out[2], rest * sizeof(uint16_t));
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(F16ToF32);
HWY_EXPORT(F32ToF16);
HWY_EXPORT(RoundF16Mul);
HWY_EXPORT(Rgb8ToPlanarF16);

void f16ToF32(const uint16_t* src, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n);
}
void f32ToF16(const float* src, uint16_t* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n);
}
void roundF16Mul(const float* a, const float* b, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16Mul)(a, b, out, n);
}
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride, size_t n) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, dst, planeStride, n);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
