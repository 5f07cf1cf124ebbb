// Retrieval distance terms of the teeth pass. They reproduce a half-precision reference
// computation rounding for rounding: the rankings built on them depend on it.
#include <cstring>

#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_retrieve.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/simd_half-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {

namespace {

// |half(a_c - b_c)| for colour plane c.
template <class DF>
HWY_INLINE hn::Vec<DF> PlaneDifference(DF df, const uint16_t* a, const uint16_t* b) {
  const hn::Rebind<uint16_t, DF> d16;
  const auto diff = hn::Sub(HalfToF32(df, hn::LoadU(d16, a)), HalfToF32(df, hn::LoadU(d16, b)));
  return hn::Abs(RoundToHalf(df, diff));
}

// (Σ_c |half(a_c - b_c)|) / 3 over the three colour planes, in single precision.
template <class DF>
HWY_INLINE hn::Vec<DF> ColourDistance(DF df, const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  const auto t0 = PlaneDifference(df, a + i, b + i);
  const auto t1 = PlaneDifference(df, a + n + i, b + n + i);
  const auto t2 = PlaneDifference(df, a + 2 * n + i, b + 2 * n + i);
  return hn::Div(hn::Add(hn::Add(t0, t1), t2), hn::Set(df, 3.0f));
}

// weight · float(half(d)), product rounded to single; zero weights contribute nothing,
// even where the distance is infinite or NaN.
template <class DF>
HWY_INLINE hn::Vec<DF> ExactTerm(DF df, const uint16_t* a, const uint16_t* b, const float* weight,
                                 size_t n, size_t i) {
  const auto w = hn::LoadU(df, weight + i);
  const auto term = hn::Mul(w, RoundToHalf(df, ColourDistance(df, a, b, n, i)));
  return hn::IfThenElseZero(hn::Ne(w, hn::Zero(df)), term);
}

// float(half(weight · float(half(d)))) with a half weight.
template <class DF>
HWY_INLINE hn::Vec<DF> PooledTerm(DF df, const uint16_t* a, const uint16_t* b, const uint16_t* weight,
                                  size_t n, size_t i) {
  const hn::Rebind<uint16_t, DF> d16;
  const auto w = HalfToF32(df, hn::LoadU(d16, weight + i));
  return RoundToHalf(df, hn::Mul(w, RoundToHalf(df, ColourDistance(df, a, b, n, i))));
}

// Sums term(d, i) over [lo, hi): lane-wise over the body, the tail at one lane.
template <class Term>
HWY_INLINE float SumTerms(size_t lo, size_t hi, const Term& term) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  auto acc = hn::Zero(df);
  size_t i = lo;
  if (hi > lo && hi - lo >= lanes) {
    for (; i <= hi - lanes; i += lanes) acc = hn::Add(acc, term(df, i));
  }
  const hn::CappedTag<float, 1> d1;
  auto tail = hn::Zero(d1);
  for (; i < hi; ++i) tail = hn::Add(tail, term(d1, i));
  return hn::GetLane(hn::SumOfLanes(df, acc)) + hn::GetLane(tail);
}

// float(half(v / 255)) for bytes v: v times the float nearest 1/255 rounds to the same
// half as the quotient for every byte (checked for all 256), and a product is cheaper.
template <class DF>
HWY_INLINE hn::Vec<DF> ByteHalf(DF df, hn::Vec<hn::Rebind<uint8_t, DF>> v) {
  const hn::Rebind<int32_t, DF> di;
  return RoundToHalf(df, hn::Mul(hn::ConvertTo(df, hn::PromoteTo(di, v)), hn::Set(df, 1.0f / 255.0f)));
}

// float(half(e)) * s for one vector of pixels. The sum of the three differences times
// the float nearest 1/3 rounds to the same half as the quotient by 3 for every sum the
// differences can form (all ordered triples of the table's 831 distinct values checked).
template <class DF>
HWY_INLINE hn::Vec<DF> RgbTerm(DF df, const uint8_t* rgb, const float* f0, const float* f1, const float* f2,
                               hn::Vec<DF> s) {
  const hn::Rebind<uint8_t, DF> d8;
  hn::Vec<decltype(d8)> r, g, b;
  hn::LoadInterleaved3(d8, rgb, r, g, b);
  const auto t0 = hn::Abs(RoundToHalf(df, hn::Sub(ByteHalf(df, r), hn::LoadU(df, f0))));
  const auto t1 = hn::Abs(RoundToHalf(df, hn::Sub(ByteHalf(df, g), hn::LoadU(df, f1))));
  const auto t2 = hn::Abs(RoundToHalf(df, hn::Sub(ByteHalf(df, b), hn::LoadU(df, f2))));
  const auto e = hn::Mul(hn::Add(hn::Add(t0, t1), t2), hn::Set(df, 1.0f / 3.0f));
  return hn::Mul(RoundToHalf(df, e), s);
}

// Float vectors summed into double lanes.
using DSum = hn::ScalableTag<float>;
#if HWY_TARGET == HWY_SCALAR
using DDouble = hn::Rebind<double, DSum>;
#else
using DDouble = hn::Rebind<double, hn::Half<DSum>>;
#endif

HWY_INLINE void AddToDoubles(hn::Vec<DSum> v, hn::Vec<DDouble>& lo, hn::Vec<DDouble>& hi) {
  const DDouble dd;
#if HWY_TARGET == HWY_SCALAR
  (void)hi;
  lo = hn::Add(lo, hn::PromoteTo(dd, v));
#else
  const hn::Half<DSum> dh;
  lo = hn::Add(lo, hn::PromoteTo(dd, hn::LowerHalf(dh, v)));
  hi = hn::Add(hi, hn::PromoteTo(dd, hn::UpperHalf(dh, v)));
#endif
}

}  // namespace

double RetrieveExactRuns(const RgbRun* runs, size_t count, const float* f0, const float* f1, const float* f2,
                         const float* s) {
  const DSum df;
  const DDouble dd;
  const size_t lanes = hn::Lanes(df);
  constexpr size_t kMax = HWY_MAX_BYTES / sizeof(float);
  auto lo = hn::Zero(dd), hi = hn::Zero(dd);
  for (size_t r = 0; r < count; ++r) {
    const uint8_t* rgb = runs[r].rgb;
    const size_t at = runs[r].at, n = runs[r].n;
    size_t k = 0;
    for (; k + lanes <= n; k += lanes) {
      const size_t j = at + k;
      const auto w = hn::LoadU(df, s + j);
      if (hn::AllTrue(df, hn::Eq(w, hn::Zero(df)))) continue;  // no support: nothing to add
      AddToDoubles(RgbTerm(df, rgb + 3 * k, f0 + j, f1 + j, f2 + j, w), lo, hi);
    }
    if (k == n) continue;
    if (n >= lanes) {
      // The run's last full vector again, with the lanes already counted given no weight.
      const size_t back = n - lanes, j = at + back;
      const auto fresh = hn::Ge(hn::Iota(df, float(back)), hn::Set(df, float(k)));
      const auto w = hn::IfThenElseZero(fresh, hn::LoadU(df, s + j));
      AddToDoubles(RgbTerm(df, rgb + 3 * back, f0 + j, f1 + j, f2 + j, w), lo, hi);
      continue;
    }
    // A run shorter than a vector, through zero-padded copies: zero weights add nothing,
    // and nothing past the run is read.
    HWY_ALIGN float tf[3][kMax] = {}, ts[kMax] = {};
    HWY_ALIGN uint8_t tb[3 * kMax] = {};
    std::memcpy(tb, rgb, 3 * n);
    std::memcpy(tf[0], f0 + at, n * sizeof(float));
    std::memcpy(tf[1], f1 + at, n * sizeof(float));
    std::memcpy(tf[2], f2 + at, n * sizeof(float));
    std::memcpy(ts, s + at, n * sizeof(float));
    AddToDoubles(RgbTerm(df, tb, tf[0], tf[1], tf[2], hn::Load(df, ts)), lo, hi);
  }
  return hn::GetLane(hn::SumOfLanes(dd, hn::Add(lo, hi)));
}

float RetrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* weight, size_t n,
                             size_t lo, size_t hi) {
  return SumTerms(lo, hi, [&](auto df, size_t i) HWY_ATTR { return ExactTerm(df, a, b, weight, n, i); });
}

float RetrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* weight, size_t n) {
  return SumTerms(0, n, [&](auto df, size_t i) HWY_ATTR { return PooledTerm(df, a, b, weight, n, i); });
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveExactRuns);

double retrieveExactRuns(const RgbRun* runs, size_t count, const float* f0, const float* f1,
                         const float* f2, const float* s) {
  return HWY_DYNAMIC_DISPATCH(RetrieveExactRuns)(runs, count, f0, f1, f2, s);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* weight, size_t n,
                             size_t lo, size_t hi) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, weight, n, lo, hi);
}
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* weight, size_t n) {
  return retrieveTermExactRange(a, b, weight, n, 0, n);
}
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* weight, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, weight, n);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
