// com.tavrin::WarpDirector: bilinear sampling of the director's 3-channel source with a
// second-difference correction, standing in for a whole warp block of the graph.
//
// The correction needs the 3x3 neighbourhood of every corner a sample touches. The
// kernel computes those differences once per source pixel (the planes pass) and then
// gathers per output pixel; warpDirectorBand does both in one pass for callers that run
// a single frame without a scratch buffer.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/custom_op_kernels.h"
#include "render/custom_ops.h"

namespace ka {

namespace {

constexpr int kChannels = 3;

// value, dxx, dyy, dxxyy of a neighbourhood n(dr, ds), dr and ds in -1..1. Both passes use
// this one expression so that they agree bit for bit.
template <class At>
inline void quantities(const At& n, float q[4]) {
  const float c = n(0, 0);
  const float dyy = n(-1, 0) - 2.f * c + n(1, 0);
  q[0] = c;
  q[1] = n(0, -1) - 2.f * c + n(0, 1);
  q[2] = dyy;
  q[3] = (n(-1, -1) - 2.f * n(0, -1) + n(1, -1)) - 2.f * dyy + (n(-1, 1) - 2.f * n(0, 1) + n(1, 1));
}

// Where one output pixel samples: the clamped corners and their bilinear weights, and the
// correction factors from the fractions of the unclamped position.
struct Sample {
  int x0, x1, y0, y1;
  float w00, w01, w10, w11;
  float hx, hy;
};

inline Sample locate(float gx, float gy, int W, int H) {
  const float x = gsCoord(gx, W), y = gsCoord(gy, H);
  Sample s;
  const float fx = x - std::floor(x), fy = y - std::floor(y);
  s.hx = fx * (1.f - fx) * 0.5f;
  s.hy = fy * (1.f - fy) * 0.5f;
  // fmax/fmin rather than clamp: a NaN coordinate lands on pixel 0 instead of becoming an
  // undefined float-to-int conversion.
  const float xc = std::fmin(std::fmax(x, 0.f), static_cast<float>(W - 1));
  const float yc = std::fmin(std::fmax(y, 0.f), static_cast<float>(H - 1));
  const float x0f = std::floor(xc), y0f = std::floor(yc);
  s.x0 = static_cast<int>(x0f);
  s.y0 = static_cast<int>(y0f);
  s.x1 = std::min(s.x0 + 1, W - 1);
  s.y1 = std::min(s.y0 + 1, H - 1);
  const float ax = xc - x0f, ay = yc - y0f;
  s.w00 = (1.f - ax) * (1.f - ay);
  s.w01 = ax * (1.f - ay);
  s.w10 = (1.f - ax) * ay;
  s.w11 = ax * ay;
  return s;
}

inline float combine(const Sample& s, const float* q00, const float* q01, const float* q10, const float* q11) {
  float b[4];
  for (int k = 0; k < 4; ++k) b[k] = s.w00 * q00[k] + s.w01 * q01[k] + s.w10 * q10[k] + s.w11 * q11[k];
  return b[0] - s.hx * b[1] - s.hy * b[2] + s.hx * s.hy * b[3];
}

}  // namespace

const char* warpBody() { return "scalar"; }

void warpDirectorPlanesBand(const float* P, float* planes, int W, int H, int rowBegin, int rowEnd) {
  rowEnd = std::min(rowEnd, H);
  const size_t plane = static_cast<size_t>(H) * W;
  for (int r = rowBegin; r < rowEnd; ++r) {
    const int rows[3] = {std::max(r - 1, 0), r, std::min(r + 1, H - 1)};
    for (int s = 0; s < W; ++s) {
      const int cols[3] = {std::max(s - 1, 0), s, std::min(s + 1, W - 1)};
      float* out = planes + (static_cast<size_t>(r) * W + s) * kChannels * 4;
      for (int c = 0; c < kChannels; ++c) {
        const float* pc = P + plane * c;
        quantities([&](int dr, int ds) { return pc[static_cast<size_t>(rows[dr + 1]) * W + cols[ds + 1]]; },
                   out + 4 * c);
      }
    }
  }
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* Y, int W, int H, int rowBegin,
                            int rowEnd) {
  rowEnd = std::min(rowEnd, H);
  const size_t plane = static_cast<size_t>(H) * W;
  const size_t px = kChannels * 4;
  for (int i = rowBegin; i < rowEnd; ++i) {
    for (int j = 0; j < W; ++j) {
      const float* g = grid + (static_cast<size_t>(i) * W + j) * 2;
      const Sample s = locate(g[0], g[1], W, H);
      const float* p00 = planes + (static_cast<size_t>(s.y0) * W + s.x0) * px;
      const float* p01 = planes + (static_cast<size_t>(s.y0) * W + s.x1) * px;
      const float* p10 = planes + (static_cast<size_t>(s.y1) * W + s.x0) * px;
      const float* p11 = planes + (static_cast<size_t>(s.y1) * W + s.x1) * px;
      const size_t o = static_cast<size_t>(i) * W + j;
      for (int c = 0; c < kChannels; ++c)
        Y[plane * c + o] = combine(s, p00 + 4 * c, p01 + 4 * c, p10 + 4 * c, p11 + 4 * c);
    }
  }
}

void warpDirectorBand(const float* P, const float* grid, float* Y, int W, int H, int rowBegin, int rowEnd) {
  rowEnd = std::min(rowEnd, H);
  const size_t plane = static_cast<size_t>(H) * W;
  for (int i = rowBegin; i < rowEnd; ++i) {
    for (int j = 0; j < W; ++j) {
      const float* g = grid + (static_cast<size_t>(i) * W + j) * 2;
      const Sample s = locate(g[0], g[1], W, H);
      const size_t o = static_cast<size_t>(i) * W + j;
      const bool inside = s.x0 >= 1 && s.x0 + 2 <= W - 1 && s.y0 >= 1 && s.y0 + 2 <= H - 1;
      for (int c = 0; c < kChannels; ++c) {
        const float* pc = P + plane * c;
        float q[4][4];
        const int ys[2] = {s.y0, s.y1}, xs[2] = {s.x0, s.x1};
        for (int a = 0; a < 2; ++a)
          for (int b = 0; b < 2; ++b) {
            const int r = ys[a], col = xs[b];
            if (inside) {
              // All sixteen taps of the 4x4 block lie inside: read them directly.
              const float* base = pc + static_cast<size_t>(r) * W + col;
              quantities([&](int dr, int ds) { return base[static_cast<ptrdiff_t>(dr) * W + ds]; }, q[2 * a + b]);
            } else {
              const int rows[3] = {std::max(r - 1, 0), r, std::min(r + 1, H - 1)};
              const int cols[3] = {std::max(col - 1, 0), col, std::min(col + 1, W - 1)};
              quantities([&](int dr, int ds) { return pc[static_cast<size_t>(rows[dr + 1]) * W + cols[ds + 1]]; },
                         q[2 * a + b]);
            }
          }
        Y[plane * c + o] = combine(s, q[0], q[1], q[2], q[3]);
      }
    }
  }
}

void warpDirector(const float* P, const float* grid, float* Y, int W, int H) {
  warpDirectorBand(P, grid, Y, W, H, 0, H);
}

namespace ops {
namespace {

constexpr int kBand = 16;

struct WarpJob {
  const float* P;
  const float* grid;
  float* Y;
  float* planes;
  int W, H;
};

void planesTask(void* data, size_t task) {
  const WarpJob& j = *static_cast<const WarpJob*>(data);
  const int r0 = static_cast<int>(task) * kBand;
  warpDirectorPlanesBand(j.P, j.planes, j.W, j.H, r0, r0 + kBand);
}

void gatherTask(void* data, size_t task) {
  const WarpJob& j = *static_cast<const WarpJob*>(data);
  const int r0 = static_cast<int>(task) * kBand;
  warpDirectorGatherBand(j.planes, j.grid, j.Y, j.W, j.H, r0, r0 + kBand);
}

struct WarpDirectorKernel {
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const auto p = ctx.GetInput(0);
    const auto g = ctx.GetInput(1);
    const auto ps = rank4Shape(p, "com.tavrin::WarpDirector", "P");
    if (ps[1] != kChannels)
      throw std::runtime_error("com.tavrin::WarpDirector: this node warps the director's 3-channel source and the graph "
                               "handed it C=" +
                               std::to_string(ps[1]) + ". REFUSING rather than writing a frame nobody asked for.");
    const auto gs = rank4Shape(g, "com.tavrin::WarpDirector", "grid");
    if (gs[0] != ps[0] || gs[1] != ps[2] || gs[2] != ps[3] || gs[3] != 2)
      throw std::runtime_error("com.tavrin::WarpDirector: grid shape [" + std::to_string(gs[0]) + "," +
                               std::to_string(gs[1]) + "," + std::to_string(gs[2]) + "," + std::to_string(gs[3]) +
                               "] does not match P [" + std::to_string(ps[0]) + ",3," + std::to_string(ps[2]) + "," +
                               std::to_string(ps[3]) + "] — refusing to sample outside it");
    const int64_t N = ps[0], H = ps[2], W = ps[3];
    auto y = ctx.GetOutput(0, ps);
    if (N * H * W == 0) return;
    const float* P = p.GetTensorData<float>();
    const float* G = g.GetTensorData<float>();
    float* Y = y.GetTensorMutableData<float>();
    // The planes scratch belongs to this kernel; the lock keeps two runs of one session
    // on different threads from sharing it.
    std::lock_guard<std::mutex> lock(mtx_);
    H_ = static_cast<int>(H);
    W_ = static_cast<int>(W);
    const size_t need = static_cast<size_t>(H) * W * kChannels * 4;
    if (planes_.size() < need) planes_.resize(need);
    const size_t tasks = static_cast<size_t>((H + kBand - 1) / kBand);
    for (int64_t n = 0; n < N; ++n) {
      WarpJob job{P + n * 3 * H * W, G + n * H * W * 2, Y + n * 3 * H * W, planes_.data(), W_, H_};
      ctx.ParallelFor(planesTask, tasks, 0, &job);
      ctx.ParallelFor(gatherTask, tasks, 0, &job);
    }
  }

 private:
  std::mutex mtx_;  // owned by this kernel; guards planes_, H_, W_
  int H_ = 0, W_ = 0;
  std::vector<float> planes_;
};

struct WarpDirectorOp : Ort::CustomOpBase<WarpDirectorOp, WarpDirectorKernel> {
  void* CreateKernel(const OrtApi&, const OrtKernelInfo*) const { return new WarpDirectorKernel; }
  const char* GetName() const { return "WarpDirector"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

const OrtCustomOp* warpDirectorOp() {
  static const WarpDirectorOp op;
  return &op;
}

}  // namespace ops
}  // namespace ka
