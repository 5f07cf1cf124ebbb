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

void UnsharpRowH(const float* pad, const float* g, int k, int n, float* out) {
  const hn::ScalableTag<float> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  int x = 0;
  for (; x + lanes <= n; x += lanes) {
    auto acc = hn::Zero(d);
    for (int j = 0; j < k; ++j) acc = hn::Add(acc, hn::Mul(hn::Set(d, g[j]), hn::LoadU(d, pad + x + j)));
    hn::StoreU(acc, d, out + x);
  }
  for (; x < n; ++x) {
    float acc = 0.0f;
    for (int j = 0; j < k; ++j) acc += g[j] * pad[x + j];
    out[x] = acc;
  }
}

void UnsharpRowV(const float* rows, size_t stride, const float* g, int k, int n, const float* in, float scale,
                 float amount, float* out) {
  const hn::ScalableTag<float> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const auto vScale = hn::Set(d, scale), vKeep = hn::Set(d, amount + 1.0f), vAmount = hn::Set(d, amount);
  const auto vMax = hn::Set(d, 255.0f), vZero = hn::Zero(d);
  int x = 0;
  for (; x + lanes <= n; x += lanes) {
    auto acc = hn::Zero(d);
    for (int j = 0; j < k; ++j)
      acc = hn::Add(acc, hn::Mul(hn::Set(d, g[j]), hn::LoadU(d, rows + static_cast<size_t>(j) * stride + x)));
    const auto v = hn::Sub(hn::Mul(vKeep, hn::Mul(hn::LoadU(d, in + x), vScale)), hn::Mul(vAmount, acc));
    // 0 for a negative or NaN value, 255 above 255.
    hn::StoreU(hn::IfThenElseZero(hn::Ge(v, vZero), hn::Min(v, vMax)), d, out + x);
  }
  for (; x < n; ++x) {
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
