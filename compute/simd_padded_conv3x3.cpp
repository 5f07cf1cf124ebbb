// 3x3 convolution, stride 1, zero padding 1, over planes that already carry their zero
// border, with the bias, an added plane set and the ReLU applied before the one store
// of each output: a stack of small layers (the teeth blend head) runs layer into layer
// without copying each input into a padded scratch or passing over each output again.
// Every output is bias + the 9 * cin products in the order conv3x3Range adds them, so
// the two give the same bits.
#include <cstring>

#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_padded_conv3x3.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// At most 16 lanes: a tile of two vectors reads at most 32 floats past a row's last
// input, which is the slack the caller keeps after the last plane.
using DConv = hn::CappedTag<float, 16>;

// The epilogue and the store of one vector of output channel plane `o`: the added
// plane's values, the ReLU, then only the lanes inside the row (other threads may be
// writing the planes around it, and a padded output's border must stay zero).
template <class D>
HWY_INLINE void Finish(D d, hn::Vec<D> v, const float* add, bool relu, float* dst, size_t valid) {
  const size_t lanes = hn::Lanes(d);
  HWY_ALIGN float tmp[HWY_MAX_BYTES / sizeof(float)];
  if (add) {
    if (valid >= lanes) {
      v = hn::Add(v, hn::LoadU(d, add));
    } else {
      std::memcpy(tmp, add, valid * sizeof(float));
      v = hn::Add(v, hn::Load(d, tmp));
    }
  }
  if (relu) v = hn::Max(v, hn::Zero(d));
  if (valid >= lanes) {
    hn::StoreU(v, d, dst);
    return;
  }
  hn::Store(v, d, tmp);
  std::memcpy(dst, tmp, valid * sizeof(float));
}

// J vectors along a row times K (1..4) consecutive output channels, as conv3x3Range's
// tiles: each input vector is loaded once per tap and feeds K accumulators.
template <int K, int J>
HWY_INLINE void Tile(const PaddedConvArgs& a, const float* in, const float* const* wk, const float* bias, int oc,
                     float* out, size_t y, size_t x) {
  const DConv d;
  const size_t lanes = hn::Lanes(d);
  auto a00 = hn::Set(d, bias[0]), a10 = a00;
  auto a01 = hn::Set(d, bias[K > 1 ? 1 : 0]), a11 = a01;
  auto a02 = hn::Set(d, bias[K > 2 ? 2 : 0]), a12 = a02;
  auto a03 = hn::Set(d, bias[K > 3 ? 3 : 0]), a13 = a03;
  for (int ic = 0; ic < a.cin; ++ic) {
    // Padded row y holds the row above output row y; column x the column left of x.
    const float* s = in + static_cast<size_t>(ic) * a.in_plane + y * a.in_stride + x;
    const size_t wo = static_cast<size_t>(ic) * 9;
    for (int ky = 0; ky < 3; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const float* p = s + static_cast<size_t>(ky) * a.in_stride + kx;
        const size_t t = wo + static_cast<size_t>(ky * 3 + kx);
        const auto v0 = hn::LoadU(d, p);
        const auto v1 = J > 1 ? hn::LoadU(d, p + lanes) : v0;
        a00 = hn::MulAdd(hn::Set(d, wk[0][t]), v0, a00);
        if constexpr (J > 1) a10 = hn::MulAdd(hn::Set(d, wk[0][t]), v1, a10);
        if constexpr (K > 1) {
          a01 = hn::MulAdd(hn::Set(d, wk[1][t]), v0, a01);
          if constexpr (J > 1) a11 = hn::MulAdd(hn::Set(d, wk[1][t]), v1, a11);
        }
        if constexpr (K > 2) {
          a02 = hn::MulAdd(hn::Set(d, wk[2][t]), v0, a02);
          if constexpr (J > 1) a12 = hn::MulAdd(hn::Set(d, wk[2][t]), v1, a12);
        }
        if constexpr (K > 3) {
          a03 = hn::MulAdd(hn::Set(d, wk[3][t]), v0, a03);
          if constexpr (J > 1) a13 = hn::MulAdd(hn::Set(d, wk[3][t]), v1, a13);
        }
      }
    }
  }
  const size_t w = static_cast<size_t>(a.w);
  const size_t plane = static_cast<size_t>(a.h) * w;
  for (int j = 0; j < J; ++j) {
    const size_t xj = x + static_cast<size_t>(j) * lanes;
    if (xj >= w) break;
    const size_t valid = w - xj;
    float* o = out + y * a.out_stride + xj;
    const float* add = a.add ? a.add + static_cast<size_t>(oc) * plane + y * w + xj : nullptr;
    Finish(d, j ? a10 : a00, add, a.relu, o, valid);
    if constexpr (K > 1) Finish(d, j ? a11 : a01, add ? add + plane : nullptr, a.relu, o + a.out_plane, valid);
    if constexpr (K > 2)
      Finish(d, j ? a12 : a02, add ? add + 2 * plane : nullptr, a.relu, o + 2 * a.out_plane, valid);
    if constexpr (K > 3)
      Finish(d, j ? a13 : a03, add ? add + 3 * plane : nullptr, a.relu, o + 3 * a.out_plane, valid);
  }
}

template <int K>
void Channels(const PaddedConvArgs& a, const float* in, int oc, float* out) {
  const size_t lanes = hn::Lanes(DConv());
  const size_t w = static_cast<size_t>(a.w);
  const float* wk[K];
  for (int k = 0; k < K; ++k) wk[k] = a.weight + static_cast<size_t>(oc + k) * a.cin * 9;
  for (size_t y = 0; y < static_cast<size_t>(a.h); ++y) {
    size_t x = 0;
    for (; x + 2 * lanes <= w; x += 2 * lanes) Tile<K, 2>(a, in, wk, a.bias + oc, oc, out, y, x);
    for (; x < w; x += lanes) Tile<K, 1>(a, in, wk, a.bias + oc, oc, out, y, x);
  }
}

}  // namespace

void PaddedConv3x3Range(const PaddedConvArgs& a, int begin, int end) {
  if (a.h <= 0 || a.w <= 0 || a.cout <= 0 || begin >= end) return;
  const int last = end < a.batch * a.cout ? end : a.batch * a.cout;
  for (int p = begin; p < last;) {
    const int n = p / a.cout;
    const int oc = p % a.cout;
    const float* in = a.in + static_cast<size_t>(n) * a.in_item;
    float* out = a.out + static_cast<size_t>(n) * a.out_item + static_cast<size_t>(oc) * a.out_plane;
    int k = last - p;
    if (k > a.cout - oc) k = a.cout - oc;
    if (k > 4) k = 4;
    switch (k) {
      case 4: Channels<4>(a, in, oc, out); break;
      case 3: Channels<3>(a, in, oc, out); break;
      case 2: Channels<2>(a, in, oc, out); break;
      default: Channels<1>(a, in, oc, out); break;
    }
    p += k;
  }
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(PaddedConv3x3Range);

void paddedConv3x3Range(const PaddedConvArgs& args, int begin, int end) {
  HWY_DYNAMIC_DISPATCH(PaddedConv3x3Range)(args, begin, end);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
