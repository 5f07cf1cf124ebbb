// Per-target loop shape shared by the element-wise kernels: full vectors over the body,
// then the same body at one lane for the tail, so no kernel carries a second
// hand-written scalar loop. Toggle guard: included once per target pass.
#if defined(KA_COMPUTE_SIMD_STRIP_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef KA_COMPUTE_SIMD_STRIP_INL_H_
#undef KA_COMPUTE_SIMD_STRIP_INL_H_
#else
#define KA_COMPUTE_SIMD_STRIP_INL_H_
#endif

#include <cstddef>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Calls body(d, i) for i in [lo, hi): with d = ScalableTag<T> at steps of Lanes(d), then
// with a one-lane tag for what is left. body must be a generic lambda over the tag.
template <typename T, class Body>
HWY_INLINE void Strip(size_t lo, size_t hi, const Body& body) {
  const hn::ScalableTag<T> d;
  const size_t lanes = hn::Lanes(d);
  size_t i = lo;
  if (hi > lo && hi - lo >= lanes) {
    for (; i <= hi - lanes; i += lanes) body(d, i);
  }
  const hn::CappedTag<T, 1> d1;
  for (; i < hi; ++i) body(d1, i);
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // KA_COMPUTE_SIMD_STRIP_INL_H_
