// The convolution row in half-precision arithmetic, for AArch64 processors that have it
// (ASIMDHP, ARMv8.2-A and later; compute/simd_conv_f16.cpp decides at run time).
//
// Why not the Highway source the other targets share: Highway 1.0.3 (the build's
// version) carries half lanes on its NEON targets only as 16-bit integers to convert,
// with no half multiply or add; only its SVE targets have half arithmetic, and most
// AArch64 processors with half arithmetic have no SVE. So this one kernel, written with
// the ACLE intrinsics and compiled for the fp16 extension function by function (the rest
// of the build keeps the baseline architecture), serves every such processor, SVE or
// not; the Highway kernel stays the path for everything else.
//
// Accuracy: a half-precision sum of thousands of products (3 x 3 x 336 in the widest
// layer) drifts by far more than the half rounding of its result, so the products are
// summed in half over runs of kConvF16HalfRun input channels only and the runs are added
// in single precision. Each multiply-add rounds once (relative 2^-11), so a run is off
// by at most kConvF16HalfRun * 2^-11 of the sum of its products' magnitudes, and the
// single-precision total adds nothing comparable. A run's partial sum overflows half only
// if sixteen products of half-range activations and weights reach 65504, which the
// result stored in half would not survive either.
#include "compute/simd_conv_f16.h"

#if defined(__aarch64__)
#include <arm_neon.h>

#pragma GCC push_options
#pragma GCC target("arch=armv8.2-a+fp16")

namespace ka::simd::detail {
namespace {

static_assert(kConvF16HalfRun % 8 == 0, "runs are whole vectors of input channels");

// Halves are uint16_t in memory; loading them as integers keeps the accesses typed as
// what they are.
inline float16x8_t loadHalf(const uint16_t* p) { return vreinterpretq_f16_u16(vld1q_u16(p)); }

// NV vectors of 8 output channels times P pixels, starting at output pixel x0 and
// channel c0 of the block whose packed weights start at wblock. Runs of half sums live
// in h, their single-precision totals in acc. Sizes keep everything in the 32 vector
// registers: (NV, P) = (2, 4) holds 16 + 8 accumulators, 4 inputs and 2 weights.
template <int NV, int P>
inline void tile(const ConvF16RowArgs& a, const uint16_t* wblock, int bw, int c0, int ochan, int x0) {
  const size_t cs = static_cast<size_t>(a.cs);
  const size_t wstride = static_cast<size_t>(bw);
  float32x4_t acc[P][NV][2];
  float16x8_t h[P][NV];
  for (int p = 0; p < P; ++p)
    for (int v = 0; v < NV; ++v) {
      acc[p][v][0] = vld1q_f32(a.bias + ochan + 8 * v);
      acc[p][v][1] = vld1q_f32(a.bias + ochan + 8 * v + 4);
      h[p][v] = vdupq_n_f16(0);
    }
  // The window's taps and their input channels as one sequence of 8-channel chunks,
  // cut into runs; the cursor (tapIn, tapW, kx, ci) walks it.
  const int chunks = a.k * a.k * a.cs / 8, runChunks = kConvF16HalfRun / 8;
  const uint16_t* tapIn = a.in + static_cast<size_t>(x0) * cs;
  const uint16_t* tapW = wblock + c0;
  int kx = 0;
  size_t ci = 0;
  for (int done = 0; done < chunks;) {
    const int end = done + runChunks < chunks ? done + runChunks : chunks;
    for (; done < end; ++done) {
      float16x8_t x[P];
      for (int p = 0; p < P; ++p) x[p] = loadHalf(tapIn + p * cs + ci);
      // The lane index must be a constant, hence a step per lane.
#define KA_HALF_LANE(j)                                                                 \
  {                                                                                     \
    float16x8_t w[NV];                                                                  \
    for (int v = 0; v < NV; ++v) w[v] = loadHalf(tapW + (ci + (j)) * wstride + 8 * v);  \
    for (int p = 0; p < P; ++p)                                                         \
      for (int v = 0; v < NV; ++v) h[p][v] = vfmaq_laneq_f16(h[p][v], w[v], x[p], (j)); \
  }
      KA_HALF_LANE(0)
      KA_HALF_LANE(1)
      KA_HALF_LANE(2)
      KA_HALF_LANE(3)
      KA_HALF_LANE(4)
      KA_HALF_LANE(5)
      KA_HALF_LANE(6)
      KA_HALF_LANE(7)
#undef KA_HALF_LANE
      ci += 8;
      if (ci == cs) {
        ci = 0;
        tapW += cs * wstride;
        if (++kx == a.k) kx = 0, tapIn += a.inRowStride - static_cast<size_t>(a.k - 1) * cs;
        else tapIn += cs;
      }
    }
    for (int p = 0; p < P; ++p)
      for (int v = 0; v < NV; ++v) {
        acc[p][v][0] = vaddq_f32(acc[p][v][0], vcvt_f32_f16(vget_low_f16(h[p][v])));
        acc[p][v][1] = vaddq_f32(acc[p][v][1], vcvt_high_f32_f16(h[p][v]));
        h[p][v] = vdupq_n_f16(0);
      }
  }
  const float32x4_t zero = vdupq_n_f32(0.f);
  for (int p = 0; p < P; ++p)
    for (int v = 0; v < NV; ++v) {
      float32x4_t lo = acc[p][v][0], hi = acc[p][v][1];
      if (a.relu) lo = vmaxq_f32(lo, zero), hi = vmaxq_f32(hi, zero);
      const size_t o = static_cast<size_t>(x0 + p) * a.outPixelStride + ochan + 8 * v;
      if (a.outF32) {
        vst1q_f32(a.outF32 + o, lo);
        vst1q_f32(a.outF32 + o + 4, hi);
      } else {
        vst1q_u16(a.outF16 + o, vreinterpretq_u16_f16(vcombine_f16(vcvt_f16_f32(lo), vcvt_f16_f32(hi))));
      }
    }
}

// Every pixel of the row for NV vectors of channels: P at a time, the rest one by one,
// so that no window reads past the row's input.
template <int NV, int P>
inline void channels(const ConvF16RowArgs& a, const uint16_t* wblock, int bw, int c0, int ochan) {
  int x0 = 0;
  for (; x0 + P <= a.w; x0 += P) tile<NV, P>(a, wblock, bw, c0, ochan, x0);
  for (; x0 < a.w; ++x0) tile<NV, 1>(a, wblock, bw, c0, ochan, x0);
}

}  // namespace

void convF16RowHalfArith(const ConvF16RowArgs& a) {
  const size_t blockTaps = static_cast<size_t>(a.cs) * a.k * a.k;
  for (int b = 0; 32 * b < a.coutPadded; ++b) {
    const int bw = a.coutPadded - 32 * b < 32 ? a.coutPadded - 32 * b : 32;
    const uint16_t* wblock = a.weight + static_cast<size_t>(32) * b * blockTaps;
    // Blocks are 8, 16, 24 or 32 channels wide: pairs of vectors, then a single one.
    int c0 = 0;
    for (; c0 + 16 <= bw; c0 += 16) channels<2, 4>(a, wblock, bw, c0, 32 * b + c0);
    if (c0 < bw) channels<1, 6>(a, wblock, bw, c0, 32 * b + c0);
  }
}

}  // namespace ka::simd::detail

#pragma GCC pop_options
#endif  // __aarch64__
