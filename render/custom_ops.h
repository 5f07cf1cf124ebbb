#pragma once
// The library's own ONNX Runtime operators for the CPU execution provider.
//
//   com.tavrin::GridSampleFast   X [N,C,H,W], grid [N,Ho,Wo,2] -> [N,C,Ho,Wo]
//       bilinear sampling, border padding, align_corners = 0 (the rewritten GridSample;
//       the director's grids have Ho,Wo = H,W)
//   com.tavrin::WarpDirector     P [N,3,H,W], grid [N,H,W,2] -> [N,3,H,W]
//       bilinear sampling of a curvature-corrected field (one node for a warp block)
//   com.tavrin.int8::Int8ConvVNNI  X float, W int8 [M,C/group,kh,kw], scale [M], bias [M]
//       dynamic-range int8 convolution (strides, pads, dilations, group attributes)
//
// Domains and operator descriptors are process-wide, created on first use and never
// destroyed; registering adds the domain to one session's options.
//
// The plain functions below work on one batch item and produce output rows
// [rowBegin, min(rowEnd, H)); they are what the kernels run per 16-row band.
#include <cstdint>

#include <onnxruntime_cxx_api.h>

namespace ka {

void domainOps(Ort::CustomOpDomain& domain);
Ort::CustomOpDomain& tavrinDomain();
// Both add the whole "com.tavrin" domain (GridSampleFast and WarpDirector), once per
// session options: calling both, or either twice, on the same options adds it once (ONNX
// Runtime refuses a session whose options received a domain twice). The same holds for
// registerInt8ConvVNNI and "com.tavrin.int8".
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);
void registerInt8ConvVNNI(Ort::SessionOptions& options);

// Sampling coordinate of grid value g over an axis of n pixels (align_corners = 0).
inline float gsCoord(float g, int n) { return ((g + 1.f) * static_cast<float>(n) - 1.f) * 0.5f; }

void gridsample_fast(const float* X, const float* grid, float* Y, int C, int H, int W);
void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int rowBegin,
                          int rowEnd);
// The general form: an output of Ho x Wo pixels read through a grid of that size.
void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int Ho, int Wo,
                          int rowBegin, int rowEnd);

void warpDirector(const float* P, const float* grid, float* Y, int W, int H);
void warpDirectorBand(const float* P, const float* grid, float* Y, int W, int H, int rowBegin, int rowEnd);
// planes: [H][W][3][4] floats (value, dxx, dyy, dxxyy per channel).
void warpDirectorPlanesBand(const float* P, float* planes, int W, int H, int rowBegin, int rowEnd);
void warpDirectorGatherBand(const float* planes, const float* grid, float* Y, int W, int H, int rowBegin,
                            int rowEnd);
const char* warpBody();

}  // namespace ka
