// Half-precision convolution rows: the calling thread converts the k input rows of a
// window to floats once, then every output block accumulates P pixels x NV vectors.
#include "compute/simd_conv_f16.h"

#include <cstring>
#include <vector>

#ifndef KA_COMPUTE_SIMD_CONV_F16_SCRATCH
#define KA_COMPUTE_SIMD_CONV_F16_SCRATCH
namespace ka::simd::detail {
// The calling thread's float copy of one window of rows; it only grows.
inline std::vector<float>& convF16Scratch() {
  thread_local std::vector<float> scratch;
  return scratch;
}
}  // namespace ka::simd::detail
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_conv_f16.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "compute/simd_half-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// At most 8 lanes: packed blocks are multiples of 8 channels wide, so vectors never
// straddle two blocks.
using DF = hn::CappedTag<float, 8>;
using D16 = hn::Rebind<uint16_t, DF>;

// Pixels per step: enough accumulators to hide the multiply-add latency without
// running out of registers.
template <int NV>
constexpr int kPixels = NV == 1 ? 8 : NV == 2 ? 6 : NV == 3 ? 4 : 3;

template <int NV>
void Chunk(const float* src, size_t srcRow, const ConvF16RowArgs& a, const uint16_t* wblock, int bw, int c0,
           int ochan) {
  constexpr int P = kPixels<NV>;
  const DF d;
  const D16 d16;
  const size_t N = hn::Lanes(d);
  const size_t cs = static_cast<size_t>(a.cs);
  const float* bias = a.bias + ochan;
  const auto zero = hn::Zero(d);
  for (int x0 = 0; x0 < a.w; x0 += P) {
    hn::Vec<DF> acc[P][NV];
    for (int j = 0; j < NV; ++j) {
      const auto b = hn::LoadU(d, bias + j * N);
      for (int p = 0; p < P; ++p) acc[p][j] = b;
    }
    for (int ky = 0; ky < a.k; ++ky)
      for (int kx = 0; kx < a.k; ++kx) {
        const float* s = src + ky * srcRow + static_cast<size_t>(x0 + kx) * cs;
        const uint16_t* wt = wblock + static_cast<size_t>(ky * a.k + kx) * cs * bw + c0;
        for (size_t ci = 0; ci < cs; ++ci) {
          hn::Vec<DF> wv[NV];
          for (int j = 0; j < NV; ++j) wv[j] = HalfToF32(d, hn::LoadU(d16, wt + ci * bw + j * N));
          for (int p = 0; p < P; ++p) {
            const auto v = hn::Set(d, s[p * cs + ci]);
            for (int j = 0; j < NV; ++j) acc[p][j] = hn::MulAdd(v, wv[j], acc[p][j]);
          }
        }
      }
    const int valid = a.w - x0 < P ? a.w - x0 : P;
    for (int p = 0; p < valid; ++p) {
      const size_t o = static_cast<size_t>(x0 + p) * a.outPixelStride + ochan;
      for (int j = 0; j < NV; ++j) {
        const auto v = a.relu ? hn::Max(acc[p][j], zero) : acc[p][j];
        if (a.outF32) hn::StoreU(v, d, a.outF32 + o + j * N);
        else hn::StoreU(F32ToHalf(d, v), d16, a.outF16 + o + j * N);
      }
    }
  }
}

void ConvF16Row(const ConvF16RowArgs& a) {
  const DF d;
  const D16 d16;
  const size_t N = hn::Lanes(d);
  const size_t cs = static_cast<size_t>(a.cs);
  // Room for the widest pixel step past the row end; those columns read zeros.
  const size_t pixels = static_cast<size_t>(a.w + a.k - 1 + 8);
  const size_t srcRow = pixels * cs;
  std::vector<float>& scratch = detail::convF16Scratch();
  if (scratch.size() < srcRow * a.k) scratch.resize(srcRow * a.k);
  const size_t used = static_cast<size_t>(a.w + a.k - 1) * cs;
  for (int r = 0; r < a.k; ++r) {
    const uint16_t* in = a.in + r * a.inRowStride;
    float* dst = scratch.data() + r * srcRow;
    for (size_t i = 0; i < used; i += N) hn::StoreU(HalfToF32(d, hn::LoadU(d16, in + i)), d, dst + i);
    std::memset(dst + used, 0, (srcRow - used) * sizeof(float));
  }
  for (int b = 0; 32 * b < a.coutPadded; ++b) {
    const int bw = a.coutPadded - 32 * b < 32 ? a.coutPadded - 32 * b : 32;
    const uint16_t* wblock = a.weight + static_cast<size_t>(32) * b * cs * a.k * a.k;
    for (int c0 = 0; c0 < bw;) {
      const int nv = static_cast<int>((static_cast<size_t>(bw - c0) / N) < 4 ? (bw - c0) / N : 4);
      switch (nv) {
        case 1: Chunk<1>(scratch.data(), srcRow, a, wblock, bw, c0, 32 * b + c0); break;
        case 2: Chunk<2>(scratch.data(), srcRow, a, wblock, bw, c0, 32 * b + c0); break;
        case 3: Chunk<3>(scratch.data(), srcRow, a, wblock, bw, c0, 32 * b + c0); break;
        default: Chunk<4>(scratch.data(), srcRow, a, wblock, bw, c0, 32 * b + c0); break;
      }
      c0 += nv * static_cast<int>(N);
    }
  }
}

}  // namespace

void ConvF16RowExport(const ConvF16RowArgs& a) { ConvF16Row(a); }

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(ConvF16RowExport);

void convF16Row(const ConvF16RowArgs& args) { HWY_DYNAMIC_DISPATCH(ConvF16RowExport)(args); }

}  // namespace ka::simd
#endif  // HWY_ONCE
