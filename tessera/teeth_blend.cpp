// The emission half of the teeth pass: settling a frame's donor list over time,
// gathering the donors onto its mouth, the blend head and the composite.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "compute/pool.h"
#include "compute/simd.h"
#include "tessera/box.h"
#include "tessera/teeth_pass.h"

namespace ka::tessera {
namespace {

bool contains(const std::vector<int>& v, int d) { return std::find(v.begin(), v.end(), d) != v.end(); }

// 2x2 average pooling of 3 planes of h x w into the interiors of 3 padded planes of
// h/2 x w/2 (`stride` floats a row, `plane` a plane).
void pool2(const float* in, int h, int w, float* out, size_t stride, size_t plane) {
  const int ho = h / 2, wo = w / 2;
  for (int c = 0; c < 3; ++c) {
    const float* src = in + size_t(c) * h * w;
    float* dst = out + size_t(c) * plane + stride + 1;
    for (int y = 0; y < ho; ++y) {
      const float* r0 = src + size_t(2 * y) * w;
      const float* r1 = r0 + w;
      for (int x = 0; x < wo; ++x) dst[size_t(y) * stride + x] = (r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1]) / 4.0f;
    }
  }
}

// Element-wise loops of the softmax and blend. Separate arrays (restrict) and
// fixed-length blocks let the compiler's cheapest vectoriser take them; each element's
// arithmetic is unchanged.
constexpr size_t kBlock = 16;

// dst = (1 - fr) top + fr bot; mx = max(mx, dst).
void mixRows(const float* __restrict top, const float* __restrict bot, float fr, float* __restrict dst,
             float* __restrict mx, size_t n) {
  size_t q = 0;
  for (; q + kBlock <= n; q += kBlock)
    for (size_t t = 0; t < kBlock; ++t) {
      dst[q + t] = (1.0f - fr) * top[q + t] + fr * bot[q + t];
      mx[q + t] = std::max(mx[q + t], dst[q + t]);
    }
  for (; q < n; ++q) {
    dst[q] = (1.0f - fr) * top[q] + fr * bot[q];
    mx[q] = std::max(mx[q], dst[q]);
  }
}

// w /= s.
void divideBy(const float* __restrict s, float* __restrict w, size_t n) {
  size_t q = 0;
  for (; q + kBlock <= n; q += kBlock)
    for (size_t t = 0; t < kBlock; ++t) w[q + t] /= s[q + t];
  for (; q < n; ++q) w[q] /= s[q];
}

// o += w c.
void mulAdd(const float* __restrict w, const float* __restrict c, float* __restrict o, size_t n) {
  size_t q = 0;
  for (; q + kBlock <= n; q += kBlock)
    for (size_t t = 0; t < kBlock; ++t) o[q + t] += w[q + t] * c[q + t];
  for (; q < n; ++q) o[q] += w[q] * c[q];
}

}  // namespace

void TeethPass::settleList(const Pending& p, const std::vector<int>* next) {
  const size_t K = size_t(config_.K);
  cur_.assign(p.donors.begin(), p.donors.begin() + std::min(K, p.donors.size()));
  la_.clear();
  if (next && config_.use_lookahead)
    la_.assign(next->begin(), next->begin() + std::min(size_t(config_.lookahead), next->size()));
  rest_.clear();
  for (int d : cur_)
    if (!contains(la_, d)) rest_.push_back(d);
  list_.clear();
  const bool consecutive = !history_.empty() && int64_t(p.index) == int64_t(last_emitted_) + 1;
  if (!consecutive) {
    list_.insert(list_.end(), la_.begin(), la_.end());
    list_.insert(list_.end(), rest_.begin(), rest_.end());
  } else {
    list_.insert(list_.end(), history_.begin(), history_.end());
    for (int d : la_)
      if (!contains(history_, d)) list_.push_back(d);
    for (int d : rest_)
      if (!contains(history_, d)) list_.push_back(d);
  }
  if (list_.size() > K) list_.resize(K);
}

void TeethPass::emit(const Pending& p, const std::vector<int>* next, FrameResult* out) {
  out->pixels.clear();
  out->skipped = false;
  out->reason.clear();
  out->n_used = 0;
  out->synth_mean = 0.0f;
  out->synth_max = 0.0f;
  if (!p.ok) {
    out->skipped = true;
    out->reason = p.reason;
    return;
  }
  StageClock clock;
  clock.start();
  settleList(p, next);
  const int n = int(list_.size());
  const size_t hw = size_t(H_) * W_;
  const int cw = stamp_.canvas_w;
  const int wy0 = stamp_.window_y0, wx0 = stamp_.window_x0;

  gatherWindowsU8(list_, p.dy, p.dx, &gathered_);
  cands_.resize(size_t(n) * 3 * hw);
  pool::parallelRange(n, 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k) {
      const uint8_t* src = gathered_.data() + k * 3 * hw;
      float* dst = cands_.data() + k * 3 * hw;
      for (size_t q = 0; q < hw; ++q)
        for (int c = 0; c < 3; ++c) dst[c * hw + q] = byteUnit(src[3 * q + c]);
    }
  });

  // Above the band, mouth pixels count as valid only where every listed donor's patch
  // reaches: a pixel some donor leaves black must not be blended.
  valid_.assign(band_mask_.begin(), band_mask_.end());
  for (int i = 0; i < stamp_.band_r0; ++i)
    for (int j = stamp_.band_c0; j < stamp_.band_c1; ++j) {
      if (p.mask[size_t(wy0 + i) * cw + wx0 + j] == 0) continue;
      bool covered = true;
      for (int k = 0; k < n && covered; ++k) {
        const int d = list_[k];
        const int sy = int(std::clamp<int64_t>(int64_t(off_y_[d]) - p.dy, -stamp_.pad, stamp_.pad));
        const int sx = int(std::clamp<int64_t>(int64_t(off_x_[d]) - p.dx, -stamp_.pad, stamp_.pad));
        covered = patchRow(i, sy) >= 0 && patchCol(j, sx) >= 0;
      }
      if (covered) valid_[size_t(i) * W_ + j] = 1;
    }

  target_.resize(3 * hw);
  pool::parallelRange(H_, 8, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i) {
      const uint8_t* src = p.rgb.data() + (size_t(wy0 + i) * cw + wx0) * 3;
      for (int j = 0; j < W_; ++j)
        for (int c = 0; c < 3; ++c) target_[c * hw + i * W_ + j] = byteUnit(src[3 * j + c]);
    }
  });

  clock.lap(&times_, kGather);
  headForward(cands_, n, target_, valid_, &head_rgb_, &head_weights_);
  clock.lap(&times_, kHead);

  const float* synth = head_weights_.data() + size_t(n) * hw;
  int64_t count = 0;
  double sum = 0.0;
  float mx = 0.0f;
  for (size_t q = 0; q < hw; ++q)
    if (valid_[q]) {
      ++count;
      sum += synth[q];
      mx = std::max(mx, synth[q]);
    }
  if (count > 0) {
    const double mean = sum / double(count);
    out->synth_mean = float(mean);
    out->synth_max = mx;
    stats_.frames += 1;
    stats_.pixels += count;
    stats_.sum_means += mean;
    stats_.max = std::max(stats_.max, double(mx));
  }

  // The donors that carried most of this frame carry into the next one.
  sort_key_.resize(n);
  for (int k = 0; k < n; ++k) {
    double total = 0.0;
    const float* wk = head_weights_.data() + size_t(k) * hw;
    for (size_t q = 0; q < hw; ++q) total += wk[q];
    sort_key_[k] = float(-total);
  }
  stableOrder(sort_key_.data(), n, &sort_idx_);
  history_.clear();
  for (int k = 0; k < std::min(config_.hysteresis, n); ++k) history_.push_back(list_[sort_idx_[k]]);
  last_emitted_ = p.index;

  out->pixels.resize(3 * hw);
  pool::parallelRange(H_, 4, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i) {
      const size_t crow = size_t(wy0 + i) * cw + wx0;
      for (int j = 0; j < W_; ++j) {
        const uint8_t m = p.mask[crow + j];
        const size_t q = i * W_ + j;
        uint8_t* dst = out->pixels.data() + 3 * q;
        if (m == 0) {
          // Outside the delivery mask the frame passes through byte for byte.
          for (int c = 0; c < 3; ++c) dst[c] = p.rgb[3 * (crow + j) + c];
          continue;
        }
        const float a = byteUnit(m);
        for (int c = 0; c < 3; ++c) {
          const float v = (1.0f - a) * target_[c * hw + q] + a * head_rgb_[c * hw + q];
          dst[c] = v >= 0.0f ? uint8_t(std::clamp(roundHalfEven(std::min(v, 1.0f) * 255.0), 0.0, 255.0)) : 0;
        }
      }
    }
  });
  out->n_used = n;
  clock.lap(&times_, kComposite);
  times_.emitted += 1;
}

void TeethPass::headConv(const float* in, int batch, int cin, const std::vector<float>& weight,
                         const std::vector<float>& bias, int cout, float* out, bool padded_out, bool relu,
                         const float* add) {
  const int h = H_ / 2, w = W_ / 2;
  const size_t plane = size_t(h) * w;
  simd::PaddedConvArgs a{};
  a.in = in;
  a.in_stride = padStride();
  a.in_plane = padPlane();
  a.in_item = size_t(cin) * padPlane();
  a.batch = batch, a.cin = cin, a.h = h, a.w = w;
  a.weight = weight.data();
  a.bias = bias.data();
  a.cout = cout;
  a.add = add;
  a.relu = relu;
  a.out = padded_out ? out + padStride() + 1 : out;
  a.out_stride = padded_out ? padStride() : size_t(w);
  a.out_plane = padded_out ? padPlane() : plane;
  a.out_item = size_t(cout) * a.out_plane;
  pool::parallelRange(uint64_t(batch) * cout, 1,
                      [&](uint64_t b, uint64_t e) { simd::paddedConv3x3Range(a, int(b), int(e)); });
}

void TeethPass::headForward(const std::vector<float>& cands, int n, const std::vector<float>& target,
                            const std::vector<uint8_t>& valid, std::vector<float>* rgb,
                            std::vector<float>* weights) {
  const size_t hw = size_t(H_) * W_;
  if (n < 0 || cands.size() < size_t(n) * 3 * hw || target.size() < 3 * hw || valid.size() < hw)
    throw std::runtime_error("teeth: headForward given " + std::to_string(n) + " candidates in " +
                             std::to_string(cands.size()) + " floats, a target of " +
                             std::to_string(target.size()) + " and a valid mask of " +
                             std::to_string(valid.size()) + " for a " + std::to_string(W_) + "x" +
                             std::to_string(H_) + " window");
  weights->resize(size_t(n + 1) * hw);
  rgb->resize(3 * hw);
  std::fill(weights->begin() + size_t(n) * hw, weights->end(), 0.0f);
  if (n == 0) {
    // Nothing to blend: a sum over no donors would paint the mouth black.
    std::copy(target.begin(), target.begin() + 3 * hw, rgb->begin());
    return;
  }
  const int h = H_ / 2, w = W_ / 2;
  const size_t plane = size_t(h) * w, pp = padPlane(), ps = padStride();
  HeadWork& hd = head_;
  // Growing keeps what is there and zeroes what is new, so the borders stay zero.
  if (hd.target.size() < padFloats(1, 3)) hd.target.resize(padFloats(1, 3), 0.0f);
  if (hd.input.size() < padFloats(n, 4)) hd.input.resize(padFloats(n, 4), 0.0f);
  if (hd.x1.size() < padFloats(n, 16)) hd.x1.resize(padFloats(n, 16), 0.0f);
  if (hd.x2.size() < padFloats(n, 16)) hd.x2.resize(padFloats(n, 16), 0.0f);
  hd.target0.resize(16 * plane);
  hd.logits.resize(size_t(n) * plane);

  pool::parallelRange(n + 1, 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k)
      if (k < uint64_t(n))
        pool2(cands.data() + k * 3 * hw, H_, W_, hd.input.data() + k * 4 * pp, ps, pp);
      else
        pool2(target.data(), H_, W_, hd.target.data(), ps, pp);
  });
  const float* tp = hd.target.data();
  pool::parallelRange(n, 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k) {
      float* in = hd.input.data() + k * 4 * pp;
      // Over the whole padded plane: the borders' differences are zero.
      for (size_t q = 0; q < pp; ++q)
        in[3 * pp + q] =
            (std::fabs(in[q] - tp[q]) + std::fabs(in[pp + q] - tp[pp + q]) + std::fabs(in[2 * pp + q] - tp[2 * pp + q])) /
            3.0f;
    }
  });
  headConv(tp, 1, 3, cand0_tgt_w_, weights_.cand0_b, 16, hd.target0.data(), false, false);
  headConv(hd.input.data(), n, 4, cand0_own_w_, zero_bias_, 16, hd.x1.data(), true, true, hd.target0.data());
  headConv(hd.x1.data(), n, 16, weights_.cand2_w, weights_.cand2_b, 16, hd.x2.data(), true, true);
  headConv(hd.x2.data(), n, 16, weights_.cand4_w, weights_.cand4_b, 1, hd.logits.data(), false, false);

  float* wt = weights->data();
  float* out = rgb->data();
  // The two-fold bilinear upsample, separably: each logit row widened to W columns
  // first, then every output row mixes two widened rows: the same products and sums as
  // interpolating each output pixel from its four taps, with half the gathers and a
  // contiguous inner loop.
  hd.wide.resize(size_t(n) * h * W_);
  pool::parallelRange(uint64_t(n) * h, 8, [&](uint64_t b, uint64_t e) {
    for (uint64_t r = b; r < e; ++r) {
      const float* L = hd.logits.data() + r * w;
      float* dst = hd.wide.data() + r * W_;
      for (int j = 0; j < W_; ++j) {
        const float fc = up_cf_[j];
        dst[j] = (1.0f - fc) * L[up_c0_[j]] + fc * L[up_c1_[j]];
      }
    }
  });
  // Per pixel: the upsampled logits, their softmax over the candidates, the blend. Each
  // step runs over a part's pixels plane by plane, so the inner loops are contiguous.
  pool::parallelRange(hw, 256, [&](uint64_t b, uint64_t e) {
    thread_local std::vector<float> mx, sum;
    const size_t len = e - b;
    if (mx.size() < len) mx.resize(len), sum.resize(len);
    std::fill_n(mx.begin(), len, -INFINITY);
    std::fill_n(sum.begin(), len, 0.0f);
    for (int k = 0; k < n; ++k) {
      const float* wide = hd.wide.data() + size_t(k) * h * W_;
      float* wk = wt + size_t(k) * hw;
      for (size_t q = b; q < e;) {
        const size_t i = q / W_, j0 = q % W_, j1 = std::min<size_t>(W_, j0 + (e - q));
        const float fr = up_rf_[i];
        const float* top = wide + size_t(up_r0_[i]) * W_;
        const float* bot = wide + size_t(up_r1_[i]) * W_;
        float* dst = wk + i * W_;
        mixRows(top + j0, bot + j0, fr, dst + j0, mx.data() + (q - b), j1 - j0);
        q += j1 - j0;
      }
    }
    for (int k = 0; k < n; ++k) {
      float* wk = wt + size_t(k) * hw + b;
      for (size_t t = 0; t < len; ++t) {
        wk[t] = std::exp(wk[t] - mx[t]);
        sum[t] += wk[t];
      }
    }
    for (int k = 0; k < n; ++k) {
      divideBy(sum.data(), wt + size_t(k) * hw + b, len);
    }
    for (int c = 0; c < 3; ++c) {
      float* o = out + c * hw + b;
      std::fill_n(o, len, 0.0f);
      for (int k = 0; k < n; ++k) {
        mulAdd(wt + size_t(k) * hw + b, cands.data() + (size_t(k) * 3 + c) * hw + b, o, len);
      }
      const float* tc = target.data() + c * hw + b;
      for (size_t t = 0; t < len; ++t)
        if (!valid[b + t]) o[t] = tc[t];
    }
  });
}

}  // namespace ka::tessera
