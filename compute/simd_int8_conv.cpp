// The integer core of the int8 convolution: activation codes centred on their zero
// point and weights, both 16-bit, multiplied in pairs of input channels and summed into
// 32-bit lanes, one output channel per lane (vpmaddwd on x86, smull/smlal pairs on Arm).
// Every product is exact (|w| <= 128, |q - zp| <= 255) and so is every sum, so all
// targets give the same integers.
#include <cstring>

#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_int8_conv.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

#if HWY_TARGET != HWY_SCALAR

// At most 16 output channels per vector: the packing unit (two vectors) stays <= 32.
using D32 = hn::CappedTag<int32_t, 16>;
using D16 = hn::Repartition<int16_t, D32>;

// The pair of codes act[0], act[1] in every 32-bit lane.
HWY_INLINE hn::Vec<D16> pairOf(const int16_t* act) {
  int32_t v;
  std::memcpy(&v, act, sizeof v);
  return hn::BitCast(D16(), hn::Set(D32(), v));
}

// P (1..4) output pixels times two vectors of output channels starting at channel m0.
// Each weight vector is loaded once per tap and channel pair and feeds P accumulators;
// the 2P independent sums keep the multipliers busy. (Named variables, not arrays:
// scalable vectors cannot form arrays.)
template <int P>
HWY_INLINE void tile(const Int8ConvRowArgs& a, int ox0, size_t m0, int32_t* acc) {
  const D32 d32;
  const D16 d16;
  const size_t n = hn::Lanes(d32);
  auto s00 = hn::Zero(d32), s01 = s00, s02 = s00, s03 = s00, s10 = s00, s11 = s00, s12 = s00, s13 = s00;
  // The second sums of targets whose pairwise multiply leaves odd and even apart.
  auto t00 = s00, t01 = s00, t02 = s00, t03 = s00, t10 = s00, t11 = s00, t12 = s00, t13 = s00;
  const size_t wRow = 2 * static_cast<size_t>(a.mgp);
  for (int t = 0; t < a.taps; ++t) {
    const int16_t* x0 = a.act + static_cast<ptrdiff_t>(ox0) * a.xstep + a.tapOffset[t];
    const int16_t* x1 = x0 + a.xstep;
    const int16_t* x2 = x1 + a.xstep;
    const int16_t* x3 = x2 + a.xstep;
    const int16_t* w = a.w + static_cast<size_t>(t) * a.pairs * wRow + 2 * m0;
    for (int p = 0; p < a.pairs; ++p, w += wRow) {
      const auto w0 = hn::LoadU(d16, w);
      const auto w1 = hn::LoadU(d16, w + 2 * n);
      const auto b0 = pairOf(x0 + 2 * p);
      s00 = hn::ReorderWidenMulAccumulate(d32, w0, b0, s00, t00);
      s10 = hn::ReorderWidenMulAccumulate(d32, w1, b0, s10, t10);
      if constexpr (P > 1) {
        const auto b1 = pairOf(x1 + 2 * p);
        s01 = hn::ReorderWidenMulAccumulate(d32, w0, b1, s01, t01);
        s11 = hn::ReorderWidenMulAccumulate(d32, w1, b1, s11, t11);
      }
      if constexpr (P > 2) {
        const auto b2 = pairOf(x2 + 2 * p);
        s02 = hn::ReorderWidenMulAccumulate(d32, w0, b2, s02, t02);
        s12 = hn::ReorderWidenMulAccumulate(d32, w1, b2, s12, t12);
      }
      if constexpr (P > 3) {
        const auto b3 = pairOf(x3 + 2 * p);
        s03 = hn::ReorderWidenMulAccumulate(d32, w0, b3, s03, t03);
        s13 = hn::ReorderWidenMulAccumulate(d32, w1, b3, s13, t13);
      }
    }
  }
  const size_t stride = static_cast<size_t>(a.mgp);
  int32_t* o = acc + static_cast<size_t>(ox0) * stride + m0;
  hn::StoreU(hn::RearrangeToOddPlusEven(s00, t00), d32, o);
  hn::StoreU(hn::RearrangeToOddPlusEven(s10, t10), d32, o + n);
  if constexpr (P > 1) {
    hn::StoreU(hn::RearrangeToOddPlusEven(s01, t01), d32, o + stride);
    hn::StoreU(hn::RearrangeToOddPlusEven(s11, t11), d32, o + stride + n);
  }
  if constexpr (P > 2) {
    hn::StoreU(hn::RearrangeToOddPlusEven(s02, t02), d32, o + 2 * stride);
    hn::StoreU(hn::RearrangeToOddPlusEven(s12, t12), d32, o + 2 * stride + n);
  }
  if constexpr (P > 3) {
    hn::StoreU(hn::RearrangeToOddPlusEven(s03, t03), d32, o + 3 * stride);
    hn::StoreU(hn::RearrangeToOddPlusEven(s13, t13), d32, o + 3 * stride + n);
  }
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace

size_t Int8ConvChannelBlock() {
#if HWY_TARGET == HWY_SCALAR
  return 1;
#else
  return 2 * hn::Lanes(D32());
#endif
}

void Int8ConvRow(const Int8ConvRowArgs& a, int32_t* acc) {
#if HWY_TARGET == HWY_SCALAR
  for (int ox = 0; ox < a.wo; ++ox)
    for (int m = 0; m < a.mgp; ++m) {
      int32_t s = 0;
      for (int t = 0; t < a.taps; ++t) {
        const int16_t* x = a.act + static_cast<ptrdiff_t>(ox) * a.xstep + a.tapOffset[t];
        const int16_t* w = a.w + static_cast<size_t>(t) * a.pairs * 2 * a.mgp + 2 * static_cast<size_t>(m);
        for (int p = 0; p < a.pairs; ++p, w += 2 * a.mgp) s += w[0] * x[2 * p] + w[1] * x[2 * p + 1];
      }
      acc[static_cast<size_t>(ox) * a.mgp + m] = s;
    }
#else
  const size_t block = Int8ConvChannelBlock();
  for (size_t m0 = 0; m0 + block <= static_cast<size_t>(a.mgp); m0 += block) {
    int ox = 0;
    for (; ox + 4 <= a.wo; ox += 4) tile<4>(a, ox, m0, acc);
    switch (a.wo - ox) {
      case 3: tile<3>(a, ox, m0, acc); break;
      case 2: tile<2>(a, ox, m0, acc); break;
      case 1: tile<1>(a, ox, m0, acc); break;
      default: break;
    }
  }
#endif
}

void QuantiseCentred(const float* x, size_t n, float sx, int zp, int16_t* out) {
#if HWY_TARGET == HWY_SCALAR
  for (size_t i = 0; i < n; ++i) {
    const float v = hn::GetLane(hn::Round(hn::Set(hn::Sisd<float>(), x[i] / sx))) + static_cast<float>(zp);
    const float c = v >= 0.f ? (v <= 255.f ? v : 255.f) : 0.f;  // NaN becomes 0
    out[i] = static_cast<int16_t>(static_cast<int>(c) - zp);
  }
#else
  const hn::CappedTag<float, 16> df;
  const hn::Rebind<int32_t, decltype(df)> di;
  const hn::Rebind<int16_t, decltype(df)> d16;
  const size_t lanes = hn::Lanes(df);
  const auto vsx = hn::Set(df, sx), vzp = hn::Set(df, static_cast<float>(zp));
  const auto lo = hn::Zero(df), hi = hn::Set(df, 255.f);
  const auto izp = hn::Set(di, zp);
  auto code = [&](hn::Vec<decltype(df)> v) {
    // Max first with the bound as second operand: a NaN becomes 0, as fmax would make it.
    const auto c = hn::Min(hn::Max(hn::Add(hn::Round(hn::Div(v, vsx)), vzp), lo), hi);
    return hn::DemoteTo(d16, hn::Sub(hn::ConvertTo(di, c), izp));
  };
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) hn::StoreU(code(hn::LoadU(df, x + i)), d16, out + i);
  if (i < n) {
    HWY_ALIGN float tmp[16] = {};
    HWY_ALIGN int16_t res[16];
    std::memcpy(tmp, x + i, (n - i) * sizeof(float));
    hn::Store(code(hn::Load(df, tmp)), d16, res);
    std::memcpy(out + i, res, (n - i) * sizeof(int16_t));
  }
#endif
}

void WidenRange(const float* x, size_t n, float* lo, float* hi) {
  float l = *lo, h = *hi;
#if HWY_TARGET == HWY_SCALAR
  for (size_t i = 0; i < n; ++i) {
    l = x[i] < l ? x[i] : l;
    h = x[i] > h ? x[i] : h;
  }
#else
  const hn::CappedTag<float, 16> df;
  const size_t lanes = hn::Lanes(df);
  // Compare-and-select rather than Min/Max, whose NaN handling differs between targets:
  // a NaN never compares, so it never enters the range.
  auto vl = hn::Set(df, l), vh = hn::Set(df, h);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto v = hn::LoadU(df, x + i);
    vl = hn::IfThenElse(hn::Lt(v, vl), v, vl);
    vh = hn::IfThenElse(hn::Gt(v, vh), v, vh);
  }
  HWY_ALIGN float tl[16], th[16];
  hn::Store(vl, df, tl);
  hn::Store(vh, df, th);
  for (size_t k = 0; k < lanes; ++k) {
    l = tl[k] < l ? tl[k] : l;
    h = th[k] > h ? th[k] : h;
  }
  for (; i < n; ++i) {
    l = x[i] < l ? x[i] : l;
    h = x[i] > h ? x[i] : h;
  }
#endif
  *lo = l;
  *hi = h;
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(Int8ConvChannelBlock);
HWY_EXPORT(Int8ConvRow);
HWY_EXPORT(QuantiseCentred);
HWY_EXPORT(WidenRange);

size_t int8ConvChannelBlock() { return HWY_DYNAMIC_DISPATCH(Int8ConvChannelBlock)(); }

void int8ConvRow(const Int8ConvRowArgs& args, int32_t* acc) { HWY_DYNAMIC_DISPATCH(Int8ConvRow)(args, acc); }

void quantiseCentred(const float* x, size_t n, float sx, int zp, int16_t* out) {
  HWY_DYNAMIC_DISPATCH(QuantiseCentred)(x, n, sx, zp, out);
}

void widenRange(const float* x, size_t n, float* lo, float* hi) { HWY_DYNAMIC_DISPATCH(WidenRange)(x, n, lo, hi); }

}  // namespace ka::simd
#endif  // HWY_ONCE
