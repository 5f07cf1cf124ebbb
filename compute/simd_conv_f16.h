#pragma once
// Half-precision convolution rows for the convolution engine (render/conv_backend*).
// Activations and weights are halves in memory and each stored result is rounded to
// half once. Where the processor has half-precision vector arithmetic (AArch64 with
// ASIMDHP) the products are summed in half precision in short runs that are added up
// in single precision; everywhere else the kernel computes in single precision.
#include <cstddef>
#include <cstdint>

namespace ka::simd {

// One output row of a k x k, stride-1 convolution over a channel-last half input.
//   in           the input pixel at the top-left of the first output pixel's window;
//                pixel x of window row r is at in + r * inRowStride + x * cs
//   cs           input channels per pixel, a multiple of 8
//   weight/bias  a layer packed by ka::packConv (blocks of 32 output channels, the last
//                one a multiple of 8, [ky][kx][cs][block width] halves within a block)
//   coutPadded   the packed output channel count
// Writes output pixel x's coutPadded channels to out + x * outPixelStride, as halves
// (outF16) or floats (outF32; exactly one of the two is non-null), with ReLU if asked.
struct ConvF16RowArgs {
  const uint16_t* in = nullptr;
  size_t inRowStride = 0;
  int cs = 0, k = 1, w = 0;
  const uint16_t* weight = nullptr;
  const float* bias = nullptr;
  int coutPadded = 0;
  bool relu = false;
  uint16_t* outF16 = nullptr;
  float* outF32 = nullptr;
  size_t outPixelStride = 0;
};
// How a row sums its products.
//   kSingle  products and sums in single precision (every target, through Highway)
//   kHalf    products summed in half precision over runs of at most
//            kConvF16HalfRun input channels, the runs added in single precision; only
//            on processors with half-precision vector arithmetic. Each run's sum is off
//            by at most kConvF16HalfRun * 2^-11 times the sum of its products' magnitudes.
enum class ConvF16Arithmetic { kSingle, kHalf };
inline constexpr int kConvF16HalfRun = 16;
// kHalf where this processor has half-precision vector arithmetic, else kSingle.
ConvF16Arithmetic convF16Arithmetic();
// The row with convF16Arithmetic(). kSingle uses one scratch buffer per calling thread,
// grown on first use of a larger row; kHalf reads the input directly.
void convF16Row(const ConvF16RowArgs& args);
// The row with the given arithmetic; kHalf only where convF16Arithmetic() is kHalf.
void convF16Row(const ConvF16RowArgs& args, ConvF16Arithmetic arith);
// Grows the calling thread's scratch for rows of up to w output pixels of cs channels
// and a k x k window now, so that later calls allocate nothing.
void convF16Reserve(int w, int cs, int k);

namespace detail {
// The half-arithmetic row (compute/simd_conv_f16_halfarith.cpp); AArch64 only.
void convF16RowHalfArith(const ConvF16RowArgs& args);
}  // namespace detail

}  // namespace ka::simd
