// com.tavrin.int8::Int8ConvVNNI: a convolution with int8 weights (per-output-channel
// scales) and activations quantised per run to uint8 over their observed range.
//
// y = (sum w*q - zp * sum w) * (sx * wscale[m]) + bias[m], where q = x/sx + zp. Taps that
// fall into the padding are skipped rather than fed zp, so the zero-point correction sums
// only the weights of the taps that were used.
//
// The codes are stored centred, q - zp, in 16 bits with the padding written as zeros:
// sum w*(q - zp) over every tap of a padded window is exactly the sum above, with no
// border cases. The accumulation is the dispatched vector kernel ka::simd::int8ConvRow
// (16-bit pairs multiplied and summed into 32-bit lanes, output channels across lanes),
// one output row per task on the library's pool.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "compute/pool.h"
#include "compute/simd.h"
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
  void widen(size_t block);  // caller holds mtx_

  std::vector<int64_t> strides_, pads_, dil_;
  int64_t group_ = 1;

  // Read once (packOnce_): the weights as given, the scales and the bias.
  std::once_flag packOnce_;
  int64_t M_ = 0, Cg_ = 0, kh_ = 0, kw_ = 0;
  std::vector<int8_t> wq_;
  std::vector<float> wscale_, bias_;

  // Everything below is owned by this kernel and guarded by mtx_. The weights widened to
  // 16 bits and packed [group][tap][Cg/2 pairs][Mgp][2] for the kernel's channel block
  // (packedBlock_; 0 = not packed yet), and the per-run scratch: centred codes
  // [N][padded H][padded W][group * Cgp].
  std::mutex mtx_;
  size_t packedBlock_ = 0;
  int64_t Cgp_ = 0, Mgp_ = 0;
  std::vector<int16_t> wp_;
  std::vector<ptrdiff_t> tapOffset_;
  std::vector<int16_t> q_;
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
  wq_.assign(src, src + M_ * Cg_ * kh_ * kw_);
  const float* s = sc.GetTensorData<float>();
  const float* b = bi.GetTensorData<float>();
  wscale_.assign(s, s + M_);
  bias_.assign(b, b + M_);
}

void Int8ConvKernel::widen(size_t block) {
  const int64_t taps = kh_ * kw_, Mg = M_ / group_;
  Cgp_ = (Cg_ + 1) / 2 * 2;
  Mgp_ = (Mg + static_cast<int64_t>(block) - 1) / static_cast<int64_t>(block) * static_cast<int64_t>(block);
  wp_.assign(static_cast<size_t>(group_ * taps * Cgp_ * Mgp_), 0);
  for (int64_t m = 0; m < M_; ++m)
    for (int64_t c = 0; c < Cg_; ++c)
      for (int64_t t = 0; t < taps; ++t) {
        const int64_t g = m / Mg, mg = m % Mg;
        wp_[static_cast<size_t>((((g * taps + t) * (Cgp_ / 2) + c / 2) * Mgp_ + mg) * 2 + c % 2)] =
            wq_[static_cast<size_t>((m * Cg_ + c) * taps + t)];
      }
  packedBlock_ = block;
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
    simd::widenRange(X, count, &lo, &hi);
  } else {
    // The calling thread's per-part ends, grown once. The parts write through pointers:
    // a thread_local named inside the lambda would be each worker's own.
    thread_local std::vector<float> t_lo, t_hi;
    t_lo.assign(static_cast<size_t>(nparts), 0.f);
    t_hi.assign(static_cast<size_t>(nparts), 0.f);
    float* plo = t_lo.data();
    float* phi = t_hi.data();
    const uint64_t chunk = (count + nparts - 1) / nparts;
    pool::parallelRange(count, 4096, [&](uint64_t b, uint64_t e) {
      const size_t part = static_cast<size_t>(b / chunk);
      float l = 0.f, h = 0.f;
      simd::widenRange(X + b, static_cast<size_t>(e - b), &l, &h);
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
  // The block follows the dispatched target, which only a test or benchmark changes.
  const size_t block = simd::int8ConvChannelBlock();
  if (packedBlock_ != block) widen(block);

  // Centred codes with the padding as zeros (a zero code contributes nothing).
  const int64_t Hp = H + pt + pb, Wp = W + pl + pr, Ct = group_ * Cgp_;
  q_.assign(static_cast<size_t>(N * Hp * Wp * Ct), 0);
  int16_t* Q = q_.data();
  pool::parallelRange(static_cast<uint64_t>(N * H * W), 1, [&](uint64_t b, uint64_t e) {
    // This part's pixels one input row at a time, each channel's run converted by the
    // vector kernel and then spread into the pixel-major layout.
    thread_local std::vector<int16_t> t_run;
    if (t_run.size() < static_cast<size_t>(W)) t_run.resize(static_cast<size_t>(W));
    for (uint64_t pix = b; pix < e;) {
      const int64_t n = static_cast<int64_t>(pix) / (H * W), hw = static_cast<int64_t>(pix) % (H * W);
      const int64_t iy = hw / W, ix0 = hw % W;
      const int64_t len = std::min<int64_t>(W - ix0, static_cast<int64_t>(e - pix));
      int16_t* row = Q + ((n * Hp + iy + pt) * Wp + ix0 + pl) * Ct;
      for (int64_t c = 0; c < C; ++c) {
        simd::quantiseCentred(X + ((n * C + c) * H + iy) * W + ix0, static_cast<size_t>(len), sx, zp, t_run.data());
        int16_t* dst = row + (c / Cg_) * Cgp_ + c % Cg_;
        for (int64_t i = 0; i < len; ++i) dst[i * Ct] = t_run[static_cast<size_t>(i)];
      }
      pix += static_cast<uint64_t>(len);
    }
  });

  const int64_t taps = kh_ * kw_, Mg = M_ / group_;
  tapOffset_.resize(static_cast<size_t>(taps));
  for (int64_t ky = 0; ky < kh_; ++ky)
    for (int64_t kx = 0; kx < kw_; ++kx) tapOffset_[static_cast<size_t>(ky * kw_ + kx)] = (ky * dh * Wp + kx * dw) * Ct;
  pool::parallelRange(static_cast<uint64_t>(N * Ho), 1, [&](uint64_t b, uint64_t e) {
    // Per-thread sums for one output row of one group and the buffer that turns them
    // into output rows, grown once to the widest seen.
    thread_local std::vector<int32_t> t_acc;
    thread_local std::vector<float> t_turn;
    const size_t need = static_cast<size_t>(Wo * Mgp_);
    if (t_acc.size() < need) t_acc.resize(need);
    if (t_turn.size() < static_cast<size_t>(16 * Wo)) t_turn.resize(static_cast<size_t>(16 * Wo));
    int32_t* acc = t_acc.data();
    float* turn = t_turn.data();
    for (uint64_t r = b; r < e; ++r) {
      const int64_t n = static_cast<int64_t>(r) / Ho, oy = static_cast<int64_t>(r) % Ho;
      for (int64_t g = 0; g < group_; ++g) {
        simd::Int8ConvRowArgs args;
        args.act = Q + (n * Hp + oy * sh) * Wp * Ct + g * Cgp_;
        args.tapOffset = tapOffset_.data();
        args.taps = static_cast<int>(taps);
        args.pairs = static_cast<int>(Cgp_ / 2);
        args.xstep = sw * Ct;
        args.w = wp_.data() + g * taps * Cgp_ * Mgp_;
        args.mgp = static_cast<int>(Mgp_);
        args.wo = static_cast<int>(Wo);
        simd::int8ConvRow(args, acc);
        // The sums are pixel-major and the output channel-major: 16 channels (one cache
        // line of sums) at a time are turned through a small buffer that stays in cache,
        // then copied out as whole output rows.
        for (int64_t m0 = 0; m0 < Mg; m0 += 16) {
          const int64_t m1 = std::min<int64_t>(Mg, m0 + 16);
          for (int64_t ox = 0; ox < Wo; ++ox) {
            const int32_t* a = acc + ox * Mgp_;
            for (int64_t mg = m0; mg < m1; ++mg) {
              const size_t m = static_cast<size_t>(g * Mg + mg);
              turn[(mg - m0) * Wo + ox] = static_cast<float>(a[mg]) * (sx * wscale_[m]) + bias_[m];
            }
          }
          for (int64_t mg = m0; mg < m1; ++mg)
            std::memcpy(Y + ((n * M_ + g * Mg + mg) * Ho + oy) * Wo, turn + (mg - m0) * Wo,
                        static_cast<size_t>(Wo) * sizeof(float));
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
