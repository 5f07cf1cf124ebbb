// Retrieval distance terms of the teeth pass. They reproduce a half-precision reference
// computation rounding for rounding: the rankings built on them depend on it.
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

}  // namespace

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
