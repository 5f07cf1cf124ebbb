// Half-precision convolution rows in single-precision arithmetic (the Highway kernel of
// every target; AArch64 processors with half arithmetic branch off to
// compute/simd_conv_f16_halfarith.cpp in convF16Row). The calling thread converts the k
// input rows of a window to floats once, and on wide rows each block's weights too; then
// every output block is walked in chunks of one or two vectors of channels, accumulating
// P pixels at a time.
#include "compute/simd_conv_f16.h"

#include <cstring>
#include <vector>

#if defined(__aarch64__)
#include <sys/auxv.h>
#endif

#ifndef KA_COMPUTE_SIMD_CONV_F16_SCRATCH
#define KA_COMPUTE_SIMD_CONV_F16_SCRATCH
namespace ka::simd::detail {
// The calling thread's float copy of one window of rows; it only grows.
inline std::vector<float>& convF16Scratch() {
  thread_local std::vector<float> scratch;
  return scratch;
}
// Floats per window row: room for the widest pixel step (8) past the row end, where
// the kernel reads zeros.
inline size_t convF16ScratchRow(int w, int cs, int k) {
  return static_cast<size_t>(w + k - 1 + 8) * static_cast<size_t>(cs);
}
// The calling thread's float copy of one block of weights; it only grows.
inline std::vector<float>& convF16WeightScratch() {
  thread_local std::vector<float> scratch;
  return scratch;
}
// Rows at least this wide convert each block's weights to floats once per row rather
// than once per weight vector and pixel group: the conversion then costs under 1/32 of
// the multiply-adds and leaves the inner loop with loads and multiply-adds only.
inline constexpr int kConvF16FloatWeightsMinWidth = 32;
inline size_t convF16WeightBlock(int cs, int k) { return static_cast<size_t>(32) * cs * k * k; }
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
// Full blocks of 32 channels on targets with 16-lane vectors.
using DWide = hn::CappedTag<float, 16>;

// A vector of weights, packed as halves or converted to floats for the whole row.
template <class D>
HWY_INLINE hn::Vec<D> LoadWeights(D d, const uint16_t* p) {
  return HalfToF32(d, hn::LoadU(hn::Rebind<uint16_t, D>(), p));
}
template <class D>
HWY_INLINE hn::Vec<D> LoadWeights(D d, const float* p) {
  return hn::LoadU(d, p);
}

// Output values of one pixel: bias added already, ReLU here, rounded to half once.
template <class D>
HWY_INLINE void Put(D d, hn::Vec<D> v, const ConvF16RowArgs& a, size_t o) {
  if (a.relu) v = hn::Max(v, hn::Zero(d));
  if (a.outF32) hn::StoreU(v, d, a.outF32 + o);
  else hn::StoreU(F32ToHalf(d, v), hn::Rebind<uint16_t, D>(), a.outF16 + o);
}

// Two vectors of output channels times six pixels: twelve accumulators, two weight
// vectors and a broadcast input fit sixteen registers, and each converted weight vector
// serves six multiply-adds. (Named variables, not arrays: scalable vectors cannot be
// array elements.)
template <class D, class W>
void Chunk2(const float* src, size_t srcRow, const ConvF16RowArgs& a, const W* wblock, int bw, int c0, int ochan) {
  const D d;
  const size_t N = hn::Lanes(d);
  const size_t cs = static_cast<size_t>(a.cs);
  for (int x0 = 0; x0 < a.w; x0 += 6) {
    const auto b0 = hn::LoadU(d, a.bias + ochan), b1 = hn::LoadU(d, a.bias + ochan + N);
    auto a00 = b0, a01 = b1, a10 = b0, a11 = b1, a20 = b0, a21 = b1;
    auto a30 = b0, a31 = b1, a40 = b0, a41 = b1, a50 = b0, a51 = b1;
    for (int ky = 0; ky < a.k; ++ky)
      for (int kx = 0; kx < a.k; ++kx) {
        const float* sp = src + ky * srcRow + static_cast<size_t>(x0 + kx) * cs;
        const W* wt = wblock + static_cast<size_t>(ky * a.k + kx) * cs * bw + c0;
        for (size_t ci = 0; ci < cs; ++ci) {
          const auto w0 = LoadWeights(d, wt + ci * bw);
          const auto w1 = LoadWeights(d, wt + ci * bw + N);
#define KA_CONV_STEP(p, A0, A1)                       \
  {                                                   \
    const auto v = hn::Set(d, sp[(p) * cs + ci]);     \
    A0 = hn::MulAdd(v, w0, A0);                       \
    A1 = hn::MulAdd(v, w1, A1);                       \
  }
          KA_CONV_STEP(0, a00, a01)
          KA_CONV_STEP(1, a10, a11)
          KA_CONV_STEP(2, a20, a21)
          KA_CONV_STEP(3, a30, a31)
          KA_CONV_STEP(4, a40, a41)
          KA_CONV_STEP(5, a50, a51)
#undef KA_CONV_STEP
        }
      }
    const int valid = a.w - x0;
    const size_t o = static_cast<size_t>(x0) * a.outPixelStride + ochan;
    const size_t ps = a.outPixelStride;
    Put(d, a00, a, o), Put(d, a01, a, o + N);
    if (valid > 1) Put(d, a10, a, o + ps), Put(d, a11, a, o + ps + N);
    if (valid > 2) Put(d, a20, a, o + 2 * ps), Put(d, a21, a, o + 2 * ps + N);
    if (valid > 3) Put(d, a30, a, o + 3 * ps), Put(d, a31, a, o + 3 * ps + N);
    if (valid > 4) Put(d, a40, a, o + 4 * ps), Put(d, a41, a, o + 4 * ps + N);
    if (valid > 5) Put(d, a50, a, o + 5 * ps), Put(d, a51, a, o + 5 * ps + N);
  }
}

// One vector of output channels times eight pixels.
template <class D, class W>
void Chunk1(const float* src, size_t srcRow, const ConvF16RowArgs& a, const W* wblock, int bw, int c0, int ochan) {
  const D d;
  const size_t cs = static_cast<size_t>(a.cs);
  for (int x0 = 0; x0 < a.w; x0 += 8) {
    const auto b = hn::LoadU(d, a.bias + ochan);
    auto a0 = b, a1 = b, a2 = b, a3 = b, a4 = b, a5 = b, a6 = b, a7 = b;
    for (int ky = 0; ky < a.k; ++ky)
      for (int kx = 0; kx < a.k; ++kx) {
        const float* sp = src + ky * srcRow + static_cast<size_t>(x0 + kx) * cs;
        const W* wt = wblock + static_cast<size_t>(ky * a.k + kx) * cs * bw + c0;
        for (size_t ci = 0; ci < cs; ++ci) {
          const auto w0 = LoadWeights(d, wt + ci * bw);
          a0 = hn::MulAdd(hn::Set(d, sp[ci]), w0, a0);
          a1 = hn::MulAdd(hn::Set(d, sp[cs + ci]), w0, a1);
          a2 = hn::MulAdd(hn::Set(d, sp[2 * cs + ci]), w0, a2);
          a3 = hn::MulAdd(hn::Set(d, sp[3 * cs + ci]), w0, a3);
          a4 = hn::MulAdd(hn::Set(d, sp[4 * cs + ci]), w0, a4);
          a5 = hn::MulAdd(hn::Set(d, sp[5 * cs + ci]), w0, a5);
          a6 = hn::MulAdd(hn::Set(d, sp[6 * cs + ci]), w0, a6);
          a7 = hn::MulAdd(hn::Set(d, sp[7 * cs + ci]), w0, a7);
        }
      }
    const int valid = a.w - x0;
    const size_t o = static_cast<size_t>(x0) * a.outPixelStride + ochan;
    const size_t ps = a.outPixelStride;
    Put(d, a0, a, o);
    if (valid > 1) Put(d, a1, a, o + ps);
    if (valid > 2) Put(d, a2, a, o + 2 * ps);
    if (valid > 3) Put(d, a3, a, o + 3 * ps);
    if (valid > 4) Put(d, a4, a, o + 4 * ps);
    if (valid > 5) Put(d, a5, a, o + 5 * ps);
    if (valid > 6) Put(d, a6, a, o + 6 * ps);
    if (valid > 7) Put(d, a7, a, o + 7 * ps);
  }
}

// One block of bw output channels starting at ochan.
template <class W>
void Block(const float* src, size_t srcRow, const ConvF16RowArgs& a, const W* wblock, int bw, int ochan) {
  const DF d;
  const size_t N = hn::Lanes(d);
  // A whole block of 32 in two vectors of 16 where the target has them.
  if (bw == 32 && hn::MaxLanes(DWide()) == 16 && hn::Lanes(DWide()) == 16) {
    Chunk2<DWide>(src, srcRow, a, wblock, bw, 0, ochan);
    return;
  }
  for (int c0 = 0; c0 < bw;) {
    const int nv = static_cast<size_t>(bw - c0) / N >= 2 ? 2 : 1;
    if (nv == 2) Chunk2<DF>(src, srcRow, a, wblock, bw, c0, ochan + c0);
    else Chunk1<DF>(src, srcRow, a, wblock, bw, c0, ochan + c0);
    c0 += nv * static_cast<int>(N);
  }
}

void ConvF16Row(const ConvF16RowArgs& a) {
  const DF d;
  const D16 d16;
  const size_t N = hn::Lanes(d);
  const size_t cs = static_cast<size_t>(a.cs);
  const size_t srcRow = detail::convF16ScratchRow(a.w, a.cs, a.k);
  std::vector<float>& scratch = detail::convF16Scratch();
  if (scratch.size() < srcRow * a.k) scratch.resize(srcRow * a.k);
  const size_t used = static_cast<size_t>(a.w + a.k - 1) * cs;
  for (int r = 0; r < a.k; ++r) {
    const uint16_t* in = a.in + r * a.inRowStride;
    float* dst = scratch.data() + r * srcRow;
    for (size_t i = 0; i < used; i += N) hn::StoreU(HalfToF32(d, hn::LoadU(d16, in + i)), d, dst + i);
    std::memset(dst + used, 0, (srcRow - used) * sizeof(float));
  }
  const bool floatWeights = a.w >= detail::kConvF16FloatWeightsMinWidth;
  std::vector<float>& wscratch = detail::convF16WeightScratch();
  if (floatWeights && wscratch.size() < detail::convF16WeightBlock(a.cs, a.k))
    wscratch.resize(detail::convF16WeightBlock(a.cs, a.k));
  for (int b = 0; 32 * b < a.coutPadded; ++b) {
    const int bw = a.coutPadded - 32 * b < 32 ? a.coutPadded - 32 * b : 32;
    const uint16_t* wblock = a.weight + static_cast<size_t>(32) * b * cs * a.k * a.k;
    if (floatWeights) {
      const size_t count = static_cast<size_t>(bw) * cs * a.k * a.k;  // a multiple of 8
      for (size_t i = 0; i < count; i += N) hn::StoreU(HalfToF32(d, hn::LoadU(d16, wblock + i)), d, wscratch.data() + i);
      Block(scratch.data(), srcRow, a, static_cast<const float*>(wscratch.data()), bw, 32 * b);
    } else {
      Block(scratch.data(), srcRow, a, wblock, bw, 32 * b);
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

ConvF16Arithmetic convF16Arithmetic() {
#if defined(__aarch64__)
  // HWCAP_ASIMDHP (bit 10): half-precision vector arithmetic.
  static const bool half = (getauxval(AT_HWCAP) & (1ul << 10)) != 0;
  return half ? ConvF16Arithmetic::kHalf : ConvF16Arithmetic::kSingle;
#else
  return ConvF16Arithmetic::kSingle;
#endif
}

void convF16Row(const ConvF16RowArgs& args, ConvF16Arithmetic arith) {
#if defined(__aarch64__)
  if (arith == ConvF16Arithmetic::kHalf) return detail::convF16RowHalfArith(args);
#else
  (void)arith;
#endif
  HWY_DYNAMIC_DISPATCH(ConvF16RowExport)(args);
}

void convF16Row(const ConvF16RowArgs& args) { convF16Row(args, convF16Arithmetic()); }

void convF16Reserve(int w, int cs, int k) {
  std::vector<float>& scratch = detail::convF16Scratch();
  const size_t need = detail::convF16ScratchRow(w, cs, k) * static_cast<size_t>(k);
  if (scratch.size() < need) scratch.resize(need);
  std::vector<float>& wscratch = detail::convF16WeightScratch();
  if (w >= detail::kConvF16FloatWeightsMinWidth && wscratch.size() < detail::convF16WeightBlock(cs, k))
    wscratch.resize(detail::convF16WeightBlock(cs, k));
}

}  // namespace ka::simd
#endif  // HWY_ONCE
