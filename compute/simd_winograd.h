#pragma once
// 3 x 3, stride-1 convolution by Winograd's F(4x4, 3x3) minimal filtering, for the
// convolution engine's half-precision layers. Activations stay halves in memory; the
// tile transforms, the products and the sums are single precision, and each stored
// result is rounded to half once, as in the direct row (compute/simd_conv_f16.h). Each
// output is the direct sum up to single-precision rounding of the transforms: their
// coefficients reach 8 (input side) and 8 (output side), so the rounding error is
// a few hundred single-precision ulps of the products' magnitudes, still far below the
// half rounding of the result.
#include <cstddef>
#include <cstdint>

namespace ka::simd {

// Output tiles are 4 x 4 pixels; each reads a 6 x 6 window of the input.
inline constexpr int kWinogradTile = 4;
inline constexpr int kWinogradPoints = 36;

// Floats of the transformed weights of a layer with cinStored input and coutPadded
// output channels (as laid out by ka::packConv).
inline size_t winogradWeightCount(int cinStored, int coutPadded) {
  return static_cast<size_t>(kWinogradPoints) * static_cast<size_t>(cinStored) * static_cast<size_t>(coutPadded);
}

// Transforms the half weights of a 3 x 3 layer packed for the direct row (blocks of 32
// output channels, the last a multiple of 8, [ky][kx][cinStored][block width] within a
// block) into out: the same blocks, [point][cinStored][block width] floats within a
// block, block b starting at 36 * cinStored * 32 * b. Computed in double precision from
// the halves themselves, so both paths convolve with the same weights.
void winogradPackWeights(const uint16_t* packed, int cinStored, int coutPadded, float* out);

// One band of up to four output rows of a 3 x 3, stride-1 convolution over a
// channel-last half input.
//   in           the input pixel at the top-left of the band's first window: output
//                pixel (r, x) reads input rows r..r+2, pixels x..x+2
//   inRowStride  halves from one input row to the next
//   cs           input channels per pixel, a multiple of 8
//   w, rows      output pixels per row and rows in the band (1..4); only input rows
//                0..rows+1 and pixels 0..w+1 are read
//   weight/bias  transformed by winogradPackWeights, and the packed float bias
// Writes output pixel (r, x)'s coutPadded channels to out + r * outRowStride +
// x * outPixelStride as halves (outF16) or floats (outF32; exactly one is non-null),
// with ReLU if asked.
struct WinogradBandArgs {
  const uint16_t* in = nullptr;
  size_t inRowStride = 0;
  int cs = 0, w = 0, rows = 0;
  const float* weight = nullptr;
  const float* bias = nullptr;
  int coutPadded = 0;
  bool relu = false;
  uint16_t* outF16 = nullptr;
  float* outF32 = nullptr;
  size_t outRowStride = 0, outPixelStride = 0;
};
// Uses the calling thread's scratch, grown on first use of a larger band.
void winogradBand(const WinogradBandArgs& args);
// Grows the calling thread's scratch for bands of up to w output pixels of cs input
// channels now, so that later calls allocate nothing.
void winogradReserve(int w, int cs);

}  // namespace ka::simd
