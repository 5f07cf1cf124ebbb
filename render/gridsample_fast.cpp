// com.tavrin::GridSampleFast: bilinear sampling with border padding and align_corners = 0,
// the only GridSample configuration the director graphs use.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/custom_op_kernels.h"
#include "render/custom_ops.h"

namespace ka {

namespace {

// Per output pixel of one row: the four source offsets and bilinear weights. Kept per
// thread and grown to the widest row seen, so steady-state runs allocate nothing.
struct Tap {
  int32_t o00, o01, o10, o11;
  float w00, w01, w10, w11;
};
thread_local std::vector<Tap> g_taps;

// Clamps into a range wide enough that every coordinate beyond it samples the edge pixel
// anyway; this keeps the float-to-int conversion defined for huge or NaN grid values.
inline float tame(float v, int n) { return std::fmin(std::fmax(v, -2.f), static_cast<float>(n) + 1.f); }

// floor() for the tamed range, without the library call the baseline instruction set
// would need for std::floor.
inline int floorInt(float v) {
  const int t = static_cast<int>(v);
  return t - (v < static_cast<float>(t));
}

}  // namespace

void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int Ho, int Wo,
                          int rowBegin, int rowEnd) {
  rowEnd = std::min(rowEnd, Ho);
  if (rowBegin >= rowEnd || Wo <= 0) return;
  if (g_taps.size() < static_cast<size_t>(Wo)) g_taps.resize(static_cast<size_t>(Wo));
  Tap* taps = g_taps.data();
  const size_t plane = static_cast<size_t>(H) * W;
  const size_t oplane = static_cast<size_t>(Ho) * Wo;
  for (int i = rowBegin; i < rowEnd; ++i) {
    const float* g = grid + static_cast<size_t>(i) * Wo * 2;
    for (int j = 0; j < Wo; ++j) {
      const float x = tame(gsCoord(g[2 * j], W), W);
      const float y = tame(gsCoord(g[2 * j + 1], H), H);
      const int x0 = floorInt(x), y0 = floorInt(y);
      const float fx = x - static_cast<float>(x0), fy = y - static_cast<float>(y0);
      int xa, xb, ya, yb;
      if (x0 < 0) {
        xa = xb = 0;
      } else {
        xa = std::min(x0, W - 1);
        xb = std::min(x0 + 1, W - 1);
      }
      ya = std::clamp(y0, 0, H - 1);
      yb = y0 < 0 ? 0 : std::min(y0 + 1, H - 1);
      Tap& t = taps[j];
      t.o00 = ya * W + xa;
      t.o01 = ya * W + xb;
      t.o10 = yb * W + xa;
      t.o11 = yb * W + xb;
      t.w00 = (1.f - fx) * (1.f - fy);
      t.w01 = fx * (1.f - fy);
      t.w10 = (1.f - fx) * fy;
      t.w11 = fx * fy;
    }
    for (int c = 0; c < C; ++c) {
      const float* xc = X + plane * c;
      float* yrow = Y + oplane * c + static_cast<size_t>(i) * Wo;
      for (int j = 0; j < Wo; ++j) {
        const Tap& t = taps[j];
        yrow[j] = t.w00 * xc[t.o00] + t.w01 * xc[t.o01] + t.w10 * xc[t.o10] + t.w11 * xc[t.o11];
      }
    }
  }
}

void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int rowBegin,
                          int rowEnd) {
  gridsample_fast_band(X, grid, Y, C, H, W, H, W, rowBegin, rowEnd);
}

void gridsample_fast(const float* X, const float* grid, float* Y, int C, int H, int W) {
  gridsample_fast_band(X, grid, Y, C, H, W, 0, H);
}

namespace ops {

std::vector<int64_t> rank4Shape(const Ort::ConstValue& v, const char* op, const char* input) {
  std::vector<int64_t> s = v.GetTensorTypeAndShapeInfo().GetShape();
  if (s.size() != 4)
    throw std::runtime_error(std::string(op) + ": input " + input + " has rank " + std::to_string(s.size()) +
                             ", expected 4 — refusing to read it");
  return s;
}

namespace {

constexpr int kBand = 16;

struct BandJob {
  const float* X;
  const float* grid;
  float* Y;
  int C, H, W, Ho, Wo;
};

void runBand(void* data, size_t task) {
  const BandJob& j = *static_cast<const BandJob*>(data);
  const int r0 = static_cast<int>(task) * kBand;
  gridsample_fast_band(j.X, j.grid, j.Y, j.C, j.H, j.W, j.Ho, j.Wo, r0, r0 + kBand);
}

struct GridSampleFastKernel {
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const auto x = ctx.GetInput(0);
    const auto g = ctx.GetInput(1);
    const auto xs = rank4Shape(x, "com.tavrin::GridSampleFast", "X");
    const auto gs = rank4Shape(g, "com.tavrin::GridSampleFast", "grid");
    // The grid decides how many pixels are read; a grid that does not match X's batch or
    // carry (x, y) pairs would make the loops below read outside it.
    if (gs[0] != xs[0] || gs[3] != 2)
      throw std::runtime_error("com.tavrin::GridSampleFast: grid shape [" + std::to_string(gs[0]) + "," +
                               std::to_string(gs[1]) + "," + std::to_string(gs[2]) + "," + std::to_string(gs[3]) +
                               "] does not fit X with batch " + std::to_string(xs[0]) +
                               " (expected [N,Ho,Wo,2]) — refusing to sample");
    const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3], Ho = gs[1], Wo = gs[2];
    auto y = ctx.GetOutput(0, {N, C, Ho, Wo});
    if (N * C * Ho * Wo == 0 || H * W == 0) return;
    const float* X = x.GetTensorData<float>();
    const float* G = g.GetTensorData<float>();
    float* Y = y.GetTensorMutableData<float>();
    const size_t tasks = static_cast<size_t>((Ho + kBand - 1) / kBand);
    for (int64_t n = 0; n < N; ++n) {
      BandJob job{X + n * C * H * W, G + n * Ho * Wo * 2, Y + n * C * Ho * Wo, static_cast<int>(C),
                  static_cast<int>(H), static_cast<int>(W), static_cast<int>(Ho), static_cast<int>(Wo)};
      ctx.ParallelFor(runBand, tasks, 0, &job);
    }
  }
};

struct GridSampleFastOp : Ort::CustomOpBase<GridSampleFastOp, GridSampleFastKernel> {
  void* CreateKernel(const OrtApi&, const OrtKernelInfo*) const { return new GridSampleFastKernel; }
  const char* GetName() const { return "GridSampleFast"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

const OrtCustomOp* gridSampleFastOp() {
  static const GridSampleFastOp op;
  return &op;
}

}  // namespace ops
}  // namespace ka
