// com.tavrin.int8::Int8ConvVNNI: a convolution with int8 weights (per-output-channel
// scales) and activations quantised per run to uint8 over their observed range.
//
// y = (sum w*q - zp * sum w) * (sx * wscale[m]) + bias[m], where q = x/sx + zp. Taps that
// fall into the padding are skipped rather than fed zp, so the zero-point correction sums
// only the weights of the taps that were used.
//
// The accumulation runs with the output channels of a group innermost: one activation
// code times a contiguous run of weights, each product exact in 16 bits (|w q| <= 128 *
// 255), widened into 32-bit sums. That shape is what the compiler turns into vector code.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "compute/pool.h"
#include "render/custom_op_kernels.h"
#include "render/custom_ops.h"

namespace ka::ops {
namespace {

std::vector<int64_t> intsAttr(const Ort::ConstKernelInfo& info, const char* name, std::vector<int64_t> dflt) {
  try {
    auto v = info.GetAttributes<int64_t>(name);
    return v.empty() ? dflt : v;
  } catch (const Ort::Exception&) {
    return dflt;
  }
}

int64_t intAttr(const Ort::ConstKernelInfo& info, const char* name, int64_t dflt) {
  try {
    return info.GetAttribute<int64_t>(name);
  } catch (const Ort::Exception&) {
    return dflt;
  }
}

// acc[m] += w[m] * q for one activation code: the products are exact in 16 bits.
void multiplyAdd(int32_t* __restrict acc, const int16_t* __restrict w, int16_t q, int n) {
  for (int m = 0; m < n; ++m) acc[m] += static_cast<int16_t>(w[m] * q);
}

// Four activation codes at once (weights of consecutive channels n apart): one pass over
// the sums instead of four.
void multiplyAdd4(int32_t* __restrict acc, const int16_t* __restrict w, const uint8_t* q, int n) {
  const int16_t q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
  const int16_t* __restrict w1 = w + n;
  const int16_t* __restrict w2 = w + 2 * n;
  const int16_t* __restrict w3 = w + 3 * n;
  for (int m = 0; m < n; ++m)
    acc[m] += (static_cast<int32_t>(static_cast<int16_t>(w[m] * q0)) + static_cast<int16_t>(w1[m] * q1)) +
              (static_cast<int32_t>(static_cast<int16_t>(w2[m] * q2)) + static_cast<int16_t>(w3[m] * q3));
}

[[noreturn]] void refuse(const std::string& what) {
  throw std::runtime_error("com.tavrin.int8::Int8ConvVNNI: " + what + " — refusing to run this node");
}

struct Int8ConvKernel {
  explicit Int8ConvKernel(const OrtKernelInfo* info) {
    Ort::ConstKernelInfo ki(info);
    strides_ = intsAttr(ki, "strides", {1, 1});
    pads_ = intsAttr(ki, "pads", {0, 0, 0, 0});
    dil_ = intsAttr(ki, "dilations", {1, 1});
    group_ = intAttr(ki, "group", 1);
    if (strides_.size() != 2 || pads_.size() != 4 || dil_.size() != 2 || group_ < 1 || strides_[0] < 1 ||
        strides_[1] < 1 || dil_[0] < 1 || dil_[1] < 1 || pads_[0] < 0 || pads_[1] < 0 || pads_[2] < 0 || pads_[3] < 0)
      refuse("attributes describe no 2-D convolution (strides, pads, dilations or group)");
  }

  void Compute(OrtKernelContext* context);

 private:
  void pack(const Ort::KernelContext& ctx, int64_t C);

  std::vector<int64_t> strides_, pads_, dil_;
  int64_t group_ = 1;

  // Packed once (packOnce_): weights [group][kh*kw][Cg][M/group] widened to 16 bits, their
  // per-tap sums [M][kh*kw] and totals [M], the scales and the bias.
  std::once_flag packOnce_;
  int64_t M_ = 0, Cg_ = 0, kh_ = 0, kw_ = 0;
  std::vector<int16_t> w_;
  std::vector<int32_t> tapSum_, totalSum_;
  std::vector<float> wscale_, bias_;

  // Per-run scratch, owned by this kernel and guarded by mtx_.
  std::mutex mtx_;
  std::vector<uint8_t> q_;
};

void Int8ConvKernel::pack(const Ort::KernelContext& ctx, int64_t C) {
  const auto w = ctx.GetInput(1);
  const auto ws = rank4Shape(w, "com.tavrin.int8::Int8ConvVNNI", "W");
  M_ = ws[0];
  Cg_ = ws[1];
  kh_ = ws[2];
  kw_ = ws[3];
  if (M_ < 1 || Cg_ < 1 || kh_ < 1 || kw_ < 1 || Cg_ * group_ != C || M_ % group_ != 0)
    refuse("weights [" + std::to_string(M_) + "," + std::to_string(Cg_) + "," + std::to_string(kh_) + "," +
           std::to_string(kw_) + "] with group " + std::to_string(group_) + " do not fit an input of " +
           std::to_string(C) + " channels");
  const auto sc = ctx.GetInput(2);
  const auto bi = ctx.GetInput(3);
  if (sc.GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(M_) ||
      bi.GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(M_))
    refuse("weight scale and bias must hold one value per output channel (" + std::to_string(M_) + ")");
  const int8_t* src = w.GetTensorData<int8_t>();
  const int64_t taps = kh_ * kw_;
  const int64_t Mg = M_ / group_;
  w_.assign(static_cast<size_t>(M_ * taps * Cg_), 0);
  tapSum_.assign(static_cast<size_t>(M_ * taps), 0);
  totalSum_.assign(static_cast<size_t>(M_), 0);
  for (int64_t m = 0; m < M_; ++m)
    for (int64_t c = 0; c < Cg_; ++c)
      for (int64_t t = 0; t < taps; ++t) {
        const int8_t v = src[(m * Cg_ + c) * taps + t];
        const int64_t g = m / Mg;
        w_[((g * taps + t) * Cg_ + c) * Mg + m % Mg] = v;
        tapSum_[m * taps + t] += v;
        totalSum_[m] += v;
      }
  const float* s = sc.GetTensorData<float>();
  const float* b = bi.GetTensorData<float>();
  wscale_.assign(s, s + M_);
  bias_.assign(b, b + M_);
}

void Int8ConvKernel::Compute(OrtKernelContext* context) {
  Ort::KernelContext ctx(context);
  const auto x = ctx.GetInput(0);
  const auto xs = rank4Shape(x, "com.tavrin.int8::Int8ConvVNNI", "X");
  const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3];
  std::call_once(packOnce_, [&] { pack(ctx, C); });
  if (Cg_ * group_ != C) refuse("input has " + std::to_string(C) + " channels, the packed weights expect " +
                               std::to_string(Cg_ * group_));
  const int64_t sh = strides_[0], sw = strides_[1], dh = dil_[0], dw = dil_[1];
  const int64_t pt = pads_[0], pl = pads_[1], pb = pads_[2], pr = pads_[3];
  const int64_t Ho = (H + pt + pb - dh * (kh_ - 1) - 1) / sh + 1;
  const int64_t Wo = (W + pl + pr - dw * (kw_ - 1) - 1) / sw + 1;
  if (H + pt + pb - dh * (kh_ - 1) - 1 < 0 || W + pl + pr - dw * (kw_ - 1) - 1 < 0)
    refuse("the kernel window is larger than the padded input");
  auto y = ctx.GetOutput(0, {N, M_, Ho, Wo});
  const size_t count = static_cast<size_t>(N * C * H * W);
  if (count == 0 || Ho * Wo * M_ == 0) return;
  const float* X = x.GetTensorData<float>();
  float* Y = y.GetTensorMutableData<float>();

  // Activation range; both ends start at 0 so the range always holds 0.
  float lo = 0.f, hi = 0.f;
  const int nparts = pool::parts(count, 4096);
  if (nparts < 2) {
    for (size_t i = 0; i < count; ++i) {
      lo = std::min(lo, X[i]);
      hi = std::max(hi, X[i]);
    }
  } else {
    std::vector<float> plo(static_cast<size_t>(nparts), 0.f), phi(static_cast<size_t>(nparts), 0.f);
    const uint64_t chunk = (count + nparts - 1) / nparts;
    pool::parallelRange(count, 4096, [&](uint64_t b, uint64_t e) {
      const size_t part = static_cast<size_t>(b / chunk);
      float l = 0.f, h = 0.f;
      for (uint64_t i = b; i < e; ++i) {
        l = std::min(l, X[i]);
        h = std::max(h, X[i]);
      }
      plo[part] = l;
      phi[part] = h;
    });
    for (int p = 0; p < nparts; ++p) {
      lo = std::min(lo, plo[p]);
      hi = std::max(hi, phi[p]);
    }
  }
  float sx = (hi - lo) / 255.f;
  float zpf;
  if (!(sx > 0.f)) {
    sx = 1.f;
    zpf = std::rint(-lo);
  } else {
    zpf = std::rint(-lo / sx);
  }
  // fmin/fmax rather than clamp: an infinite activation makes these NaN, and a NaN must
  // become a code, not an undefined float-to-int conversion.
  const int32_t zp = static_cast<int32_t>(std::fmin(std::fmax(zpf, 0.f), 255.f));

  std::lock_guard<std::mutex> lock(mtx_);
  const int64_t Cp = (C + 3) / 4 * 4;
  q_.assign(static_cast<size_t>(N * H * W * Cp), static_cast<uint8_t>(zp));
  uint8_t* Q = q_.data();
  pool::parallelRange(static_cast<uint64_t>(N * H * W), 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t pix = b; pix < e; ++pix) {
      const int64_t n = static_cast<int64_t>(pix) / (H * W), hw = static_cast<int64_t>(pix) % (H * W);
      const float* xp = X + n * C * H * W + hw;
      uint8_t* qp = Q + pix * Cp;
      for (int64_t c = 0; c < C; ++c) {
        // A division, not a multiplication by 1/sx: the reciprocal rounds, and codes on
        // a .5 boundary would then land on the other side.
        const float v = std::rint(xp[c * H * W] / sx) + static_cast<float>(zp);
        qp[c] = static_cast<uint8_t>(std::fmin(std::fmax(v, 0.f), 255.f));
      }
    }
  });

  const int64_t taps = kh_ * kw_, Mg = M_ / group_;
  pool::parallelRange(static_cast<uint64_t>(N * Ho), 1, [&](uint64_t b, uint64_t e) {
    // Per-thread sums for one output pixel, grown once to the widest layer seen.
    thread_local std::vector<int32_t> t_acc;
    if (t_acc.size() < static_cast<size_t>(M_)) t_acc.resize(static_cast<size_t>(M_));
    int32_t* acc = t_acc.data();
    for (uint64_t row = b; row < e; ++row) {
      const int64_t n = static_cast<int64_t>(row) / Ho, oy = static_cast<int64_t>(row) % Ho;
      const int64_t iy0 = oy * sh - pt;
      for (int64_t ox = 0; ox < Wo; ++ox) {
        const int64_t ix0 = ox * sw - pl;
        const bool whole = iy0 >= 0 && iy0 + dh * (kh_ - 1) < H && ix0 >= 0 && ix0 + dw * (kw_ - 1) < W;
        std::fill(acc, acc + M_, 0);
        for (int64_t ky = 0; ky < kh_; ++ky) {
          const int64_t iy = iy0 + ky * dh;
          if (iy < 0 || iy >= H) continue;
          for (int64_t kx = 0; kx < kw_; ++kx) {
            const int64_t ix = ix0 + kx * dw;
            if (ix < 0 || ix >= W) continue;
            const int64_t tap = ky * kw_ + kx;
            const uint8_t* qp = Q + ((n * H + iy) * W + ix) * Cp;
            for (int64_t g = 0; g < group_; ++g) {
              int32_t* ag = acc + g * Mg;
              const int16_t* wg = w_.data() + (g * taps + tap) * Cg_ * Mg;
              const uint8_t* qg = qp + g * Cg_;
              const int mg = static_cast<int>(Mg);
              int64_t c = 0;
              for (; c + 4 <= Cg_; c += 4) multiplyAdd4(ag, wg + c * Mg, qg + c, mg);
              for (; c < Cg_; ++c) multiplyAdd(ag, wg + c * Mg, qg[c], mg);
            }
          }
        }
        for (int64_t m = 0; m < M_; ++m) {
          int32_t wsum = 0;
          if (whole) {
            wsum = totalSum_[m];
          } else {
            for (int64_t ky = 0; ky < kh_; ++ky) {
              const int64_t iy = iy0 + ky * dh;
              if (iy < 0 || iy >= H) continue;
              for (int64_t kx = 0; kx < kw_; ++kx) {
                const int64_t ix = ix0 + kx * dw;
                if (ix >= 0 && ix < W) wsum += tapSum_[m * taps + ky * kw_ + kx];
              }
            }
          }
          Y[((n * M_ + m) * Ho + oy) * Wo + ox] =
              static_cast<float>(acc[m] - zp * wsum) * (sx * wscale_[m]) + bias_[m];
        }
      }
    }
  });
}

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel> {
  void* CreateKernel(const OrtApi&, const OrtKernelInfo* info) const { return new Int8ConvKernel(info); }
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

const OrtCustomOp* int8ConvVnniOp() {
  static const Int8ConvOp op;
  return &op;
}

}  // namespace ka::ops
