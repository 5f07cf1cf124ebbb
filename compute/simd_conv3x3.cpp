// 3x3 convolution, stride 1, zero padding 1, with bias, over a batch of CHW planes.
#include <cstring>
#include <vector>

#include "compute/simd.h"

#ifndef KA_COMPUTE_SIMD_CONV3X3_SCRATCH
#define KA_COMPUTE_SIMD_CONV3X3_SCRATCH
namespace ka::simd::detail {
// The calling thread's padded copy of one batch item; freed when the thread exits.
// It only grows, so after the first call of a given size nothing is allocated.
inline std::vector<float>& conv3x3Scratch() {
  thread_local std::vector<float> scratch;
  return scratch;
}
}  // namespace ka::simd::detail
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_conv3x3.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// At most 16 lanes so a vector never reaches past a scratch row's right padding by
// more than the slack kept at the end of the buffer.
using DConv = hn::CappedTag<float, 16>;

struct Padded {
  const float* data;
  size_t stride;  // floats per row: one zero column left, zeros after the w inputs
  size_t plane;   // floats per channel: (h + 2) rows, the first and last all zero
};

Padded padInput(const float* in, int cin, int h, int w) {
  const size_t stride = (static_cast<size_t>(w) + 15) / 16 * 16 + 2;
  const size_t plane = (static_cast<size_t>(h) + 2) * stride;
  std::vector<float>& s = detail::conv3x3Scratch();
  const size_t need = static_cast<size_t>(cin) * plane + 2 * hn::MaxLanes(DConv());
  if (s.size() < need) s.resize(need);
  float* base = s.data();
  const size_t wz = static_cast<size_t>(w);
  for (int c = 0; c < cin; ++c) {
    float* p = base + static_cast<size_t>(c) * plane;
    std::memset(p, 0, stride * sizeof(float));
    for (int y = 0; y < h; ++y) {
      float* row = p + (static_cast<size_t>(y) + 1) * stride;
      row[0] = 0.0f;
      std::memcpy(row + 1, in + (static_cast<size_t>(c) * h + y) * wz, wz * sizeof(float));
      std::memset(row + 1 + wz, 0, (stride - 1 - wz) * sizeof(float));
    }
    std::memset(p + (static_cast<size_t>(h) + 1) * stride, 0, stride * sizeof(float));
  }
  std::memset(base + static_cast<size_t>(cin) * plane, 0, (need - static_cast<size_t>(cin) * plane) * sizeof(float));
  return {base, stride, plane};
}

// One output channel's accumulators for the J (1 or 2) vectors of a tile.
template <int J, class V>
HWY_INLINE void Accumulate(V w, V v0, V v1, V& a0, V& a1) {
  a0 = hn::MulAdd(w, v0, a0);
  if constexpr (J > 1) a1 = hn::MulAdd(w, v1, a1);
}

template <class D>
HWY_INLINE void StoreRow(D d, hn::Vec<D> v, float* dst, size_t valid) {
  if (valid >= hn::Lanes(d)) {
    hn::StoreU(v, d, dst);
    return;
  }
  // Row end: other threads may be writing the planes that follow, so only the valid
  // lanes are written.
  HWY_ALIGN float tmp[HWY_MAX_BYTES / sizeof(float)];
  hn::Store(v, d, tmp);
  std::memcpy(dst, tmp, valid * sizeof(float));
}

// J vectors along the row times K (1..4) consecutive output channels: each input
// vector is loaded once per tap and feeds K accumulators, and the J*K independent
// accumulators keep the multiply-add units busy instead of waiting on one chain.
// (Named variables rather than arrays: scalable vector types cannot form arrays.)
template <int K, int J>
HWY_INLINE void convTile(const Padded& src, int cin, const float* const* wk, const float* bias,
                         size_t y, size_t x, size_t w, size_t hw, float* out) {
  const DConv d;
  const size_t lanes = hn::Lanes(d);
  auto a00 = hn::Set(d, bias[0]), a10 = a00;
  auto a01 = hn::Set(d, bias[K > 1 ? 1 : 0]), a11 = a01;
  auto a02 = hn::Set(d, bias[K > 2 ? 2 : 0]), a12 = a02;
  auto a03 = hn::Set(d, bias[K > 3 ? 3 : 0]), a13 = a03;
  for (int ic = 0; ic < cin; ++ic) {
    const float* s = src.data + static_cast<size_t>(ic) * src.plane + y * src.stride + x;
    const size_t wo = static_cast<size_t>(ic) * 9;
    for (int ky = 0; ky < 3; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const float* p = s + static_cast<size_t>(ky) * src.stride + kx;
        const size_t t = wo + static_cast<size_t>(ky * 3 + kx);
        const auto v0 = hn::LoadU(d, p);
        const auto v1 = J > 1 ? hn::LoadU(d, p + lanes) : v0;
        Accumulate<J>(hn::Set(d, wk[0][t]), v0, v1, a00, a10);
        if constexpr (K > 1) Accumulate<J>(hn::Set(d, wk[1][t]), v0, v1, a01, a11);
        if constexpr (K > 2) Accumulate<J>(hn::Set(d, wk[2][t]), v0, v1, a02, a12);
        if constexpr (K > 3) Accumulate<J>(hn::Set(d, wk[3][t]), v0, v1, a03, a13);
      }
    }
  }
  for (int j = 0; j < J; ++j) {
    const size_t xj = x + static_cast<size_t>(j) * lanes;
    if (xj >= w) break;
    float* o = out + y * w + xj;
    const size_t valid = w - xj;
    StoreRow(d, j ? a10 : a00, o, valid);
    if constexpr (K > 1) StoreRow(d, j ? a11 : a01, o + hw, valid);
    if constexpr (K > 2) StoreRow(d, j ? a12 : a02, o + 2 * hw, valid);
    if constexpr (K > 3) StoreRow(d, j ? a13 : a03, o + 3 * hw, valid);
  }
}

// K consecutive output channels starting at oc of one batch item.
template <int K>
void convChannels(const Padded& src, int cin, int h, int w, const float* weight, const float* bias,
                  int oc, float* out) {
  const size_t lanes = hn::Lanes(DConv());
  const size_t wz = static_cast<size_t>(w);
  const size_t hw = static_cast<size_t>(h) * wz;
  const float* wk[K];
  for (int k = 0; k < K; ++k) wk[k] = weight + static_cast<size_t>(oc + k) * cin * 9;
  for (size_t y = 0; y < static_cast<size_t>(h); ++y) {
    size_t x = 0;
    for (; x + 2 * lanes <= wz; x += 2 * lanes) convTile<K, 2>(src, cin, wk, bias + oc, y, x, wz, hw, out);
    for (; x < wz; x += lanes) convTile<K, 1>(src, cin, wk, bias + oc, y, x, wz, hw, out);
  }
}

}  // namespace

void Conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight,
                  const float* bias, int cout, float* out, int begin, int end) {
  if (h <= 0 || w <= 0 || cout <= 0 || begin >= end) return;
  const size_t hw = static_cast<size_t>(h) * static_cast<size_t>(w);
  const int last = end < batch * cout ? end : batch * cout;
  int item = -1;
  Padded src{};
  for (int p = begin; p < last;) {
    const int n = p / cout;
    const int oc = p % cout;
    if (n != item) {
      src = padInput(in + static_cast<size_t>(n) * cin * hw, cin, h, w);
      item = n;
    }
    // Up to four channels per pass, never crossing into the next batch item.
    int k = last - p;
    if (k > cout - oc) k = cout - oc;
    if (k > 4) k = 4;
    float* o = out + static_cast<size_t>(p) * hw;
    switch (k) {
      case 4: convChannels<4>(src, cin, h, w, weight, bias, oc, o); break;
      case 3: convChannels<3>(src, cin, h, w, weight, bias, oc, o); break;
      case 2: convChannels<2>(src, cin, h, w, weight, bias, oc, o); break;
      default: convChannels<1>(src, cin, h, w, weight, bias, oc, o); break;
    }
    p += k;
  }
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(Conv3x3Range);

void conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight,
                  const float* bias, int cout, float* out, int begin, int end) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, batch, cin, h, w, weight, bias, cout, out, begin, end);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
