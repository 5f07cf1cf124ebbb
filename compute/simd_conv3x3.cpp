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

// K consecutive output channels starting at oc of one batch item: each input vector is
// loaded once per tap and used by all K accumulators.
template <int K>
void convChannels(const Padded& src, int cin, int h, int w, const float* weight, const float* bias,
                  int oc, float* out) {
  const DConv d;
  const size_t lanes = hn::Lanes(d);
  const size_t hw = static_cast<size_t>(h) * static_cast<size_t>(w);
  const float* wk[K];
  for (int k = 0; k < K; ++k) wk[k] = weight + static_cast<size_t>(oc + k) * cin * 9;
  for (int y = 0; y < h; ++y) {
    for (size_t x = 0; x < static_cast<size_t>(w); x += lanes) {
      hn::Vec<DConv> acc[K];
      for (int k = 0; k < K; ++k) acc[k] = hn::Set(d, bias[oc + k]);
      for (int ic = 0; ic < cin; ++ic) {
        const float* s = src.data + static_cast<size_t>(ic) * src.plane + static_cast<size_t>(y) * src.stride + x;
        const size_t wo = static_cast<size_t>(ic) * 9;
        for (int ky = 0; ky < 3; ++ky) {
          for (int kx = 0; kx < 3; ++kx) {
            const auto v = hn::LoadU(d, s + static_cast<size_t>(ky) * src.stride + kx);
            for (int k = 0; k < K; ++k) acc[k] = hn::MulAdd(hn::Set(d, wk[k][wo + ky * 3 + kx]), v, acc[k]);
          }
        }
      }
      const size_t o = static_cast<size_t>(y) * static_cast<size_t>(w) + x;
      if (x + lanes <= static_cast<size_t>(w)) {
        for (int k = 0; k < K; ++k) hn::StoreU(acc[k], d, out + k * hw + o);
      } else {
        // Row end: other threads may be writing the planes that follow, so only the
        // valid lanes are written.
        HWY_ALIGN float tmp[HWY_MAX_BYTES / sizeof(float)];
        for (int k = 0; k < K; ++k) {
          hn::Store(acc[k], d, tmp);
          std::memcpy(out + k * hw + o, tmp, (static_cast<size_t>(w) - x) * sizeof(float));
        }
      }
    }
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
