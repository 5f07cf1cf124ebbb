// The paste compositor's unsharp mask, one row at a time: the horizontal Gaussian of a
// padded row, then the vertical Gaussian, sharpening and clamp. Every output is summed
// tap by tap from zero with separate multiplies and adds, so each target gives the
// bytes of the plain scalar loop.
#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_unsharp.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// At most eight lanes: the taps' loads are unaligned, and a 16-lane load straddles two
// cache lines every time (measured slower than eight lanes on a 512-bit machine).

// Σ_j g[j] · at(j, x) for the lanes from x, j in order from zero. Four vectors at once:
// four independent chains of adds instead of one waiting on the last.
template <class D, class At>
HWY_INLINE void Taps4(D d, const float* g, int k, size_t x, At at, hn::Vec<D>& a0, hn::Vec<D>& a1,
                      hn::Vec<D>& a2, hn::Vec<D>& a3) {
  const size_t n = hn::Lanes(d);
  a0 = a1 = a2 = a3 = hn::Zero(d);
  for (int j = 0; j < k; ++j) {
    const auto w = hn::Set(d, g[j]);
    const float* p = at(j) + x;
    a0 = hn::Add(a0, hn::Mul(w, hn::LoadU(d, p)));
    a1 = hn::Add(a1, hn::Mul(w, hn::LoadU(d, p + n)));
    a2 = hn::Add(a2, hn::Mul(w, hn::LoadU(d, p + 2 * n)));
    a3 = hn::Add(a3, hn::Mul(w, hn::LoadU(d, p + 3 * n)));
  }
}

template <class D, class At>
HWY_INLINE hn::Vec<D> Taps1(D d, const float* g, int k, size_t x, At at) {
  auto a = hn::Zero(d);
  for (int j = 0; j < k; ++j) a = hn::Add(a, hn::Mul(hn::Set(d, g[j]), hn::LoadU(d, at(j) + x)));
  return a;
}

void UnsharpRowH(const float* pad, const float* g, int k, int n, float* out) {
  const hn::CappedTag<float, 8> d;
  const size_t lanes = hn::Lanes(d), end = static_cast<size_t>(n);
  const auto at = [pad](int j) { return pad + j; };
  size_t x = 0;
  for (; x + 4 * lanes <= end; x += 4 * lanes) {
    hn::Vec<decltype(d)> a0, a1, a2, a3;
    Taps4(d, g, k, x, at, a0, a1, a2, a3);
    hn::StoreU(a0, d, out + x);
    hn::StoreU(a1, d, out + x + lanes);
    hn::StoreU(a2, d, out + x + 2 * lanes);
    hn::StoreU(a3, d, out + x + 3 * lanes);
  }
  for (; x + lanes <= end; x += lanes) hn::StoreU(Taps1(d, g, k, x, at), d, out + x);
  for (; x < end; ++x) {
    float acc = 0.0f;
    for (int j = 0; j < k; ++j) acc += g[j] * pad[x + j];
    out[x] = acc;
  }
}

void UnsharpRowV(const float* rows, size_t stride, const float* g, int k, int n, const float* in, float scale,
                 float amount, float* out) {
  const hn::CappedTag<float, 8> d;
  const size_t lanes = hn::Lanes(d), end = static_cast<size_t>(n);
  const auto vScale = hn::Set(d, scale), vKeep = hn::Set(d, amount + 1.0f), vAmount = hn::Set(d, amount);
  const auto vMax = hn::Set(d, 255.0f), vZero = hn::Zero(d);
  const auto at = [rows, stride](int j) { return rows + static_cast<size_t>(j) * stride; };
  // 0 for a negative or NaN value, 255 above 255.
  const auto sharpen = [&](hn::Vec<decltype(d)> acc, size_t i) HWY_ATTR {
    const auto v = hn::Sub(hn::Mul(vKeep, hn::Mul(hn::LoadU(d, in + i), vScale)), hn::Mul(vAmount, acc));
    hn::StoreU(hn::IfThenElseZero(hn::Ge(v, vZero), hn::Min(v, vMax)), d, out + i);
  };
  size_t x = 0;
  for (; x + 4 * lanes <= end; x += 4 * lanes) {
    hn::Vec<decltype(d)> a0, a1, a2, a3;
    Taps4(d, g, k, x, at, a0, a1, a2, a3);
    sharpen(a0, x);
    sharpen(a1, x + lanes);
    sharpen(a2, x + 2 * lanes);
    sharpen(a3, x + 3 * lanes);
  }
  for (; x + lanes <= end; x += lanes) sharpen(Taps1(d, g, k, x, at), x);
  for (; x < end; ++x) {
    float acc = 0.0f;
    for (int j = 0; j < k; ++j) acc += g[j] * rows[static_cast<size_t>(j) * stride + x];
    const float v = (amount + 1.0f) * (in[x] * scale) - amount * acc;
    out[x] = !(v >= 0.0f) ? 0.0f : (v > 255.0f ? 255.0f : v);
  }
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(UnsharpRowH);
HWY_EXPORT(UnsharpRowV);

void unsharpRowH(const float* pad, const float* g, int k, int n, float* out) {
  HWY_DYNAMIC_DISPATCH(UnsharpRowH)(pad, g, k, n, out);
}

void unsharpRowV(const float* rows, size_t stride, const float* g, int k, int n, const float* in, float scale,
                 float amount, float* out) {
  HWY_DYNAMIC_DISPATCH(UnsharpRowV)(rows, stride, g, k, n, in, scale, amount, out);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
