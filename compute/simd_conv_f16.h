#pragma once
// Half-precision convolution rows for the convolution engine (render/conv_backend*).
// Activations and weights are halves in memory; every target computes in single
// precision inside the kernel and rounds each stored result to half once, so all
// targets give the same picture up to summation order.
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
// Uses one scratch buffer per calling thread, grown on first use of a larger row.
void convF16Row(const ConvF16RowArgs& args);
// Grows the calling thread's scratch for rows of up to w output pixels of cs channels
// and a k x k window now, so that later calls allocate nothing.
void convF16Reserve(int w, int cs, int k);

}  // namespace ka::simd
