#include "tessera/teeth_pass.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>

#include "compute/pool.h"
#include "compute/simd.h"
#include "tessera/box.h"

namespace ka::tessera {
namespace {

// Donor offsets are clamped to ±pad when placed, so any bound well beyond a canvas
// keeps the placement unchanged while keeping absurd sidecar values out of int range.
constexpr int32_t kOffsetLimit = 1 << 20;

float roundToHalf(float v) {
  uint16_t h;
  simd::f32ToF16(&v, &h, 1);
  float r;
  simd::f16ToF32(&h, &r, 1);
  return r;
}

// 4x4 average pooling of one h x w plane into (h/4) x (w/4): the sixteen values of a
// block summed in row order, times 1/16; rows and columns that do not fill a block are
// dropped.
void pool4(const float* in, int h, int w, float* out) {
  const int hp = h / 4, wp = w / 4;
  for (int y = 0; y < hp; ++y)
    for (int x = 0; x < wp; ++x) {
      float s = 0.0f;
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) s += in[size_t(4 * y + r) * w + 4 * x + c];
      out[size_t(y) * wp + x] = s * (1.0f / 16.0f);
    }
}

}  // namespace

void TeethPass::StageClock::start() {
  wall = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  cpu = double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

void TeethPass::StageClock::lap(StageTimes* t, Stage stage) {
  const double w0 = wall, c0 = cpu;
  start();
  t->wall[stage] += wall - w0;
  t->cpu[stage] += cpu - c0;
}

TeethPass::TeethPass(const BankData& bank, const HeadWeights& weights, const ServeConfig& config)
    : stamp_(bank.stamp), config_(config), weights_(weights), n_(bank.n_donors) {
  stamp_.validate();
  band_h_ = stamp_.bandH();
  band_w_ = stamp_.bandW();
  const int64_t needed = int64_t(n_) * band_h_ * band_w_ * 3;
  if (int64_t(bank.bytes.size()) != needed)
    throw std::runtime_error("teeth: reference track is " + std::to_string(bank.bytes.size()) +
                             " bytes, the stamp requires " + std::to_string(needed) +
                             " (n * stored_h * stored_w * 3) — a decoder that delivered a different "
                             "pixel format would land here");
  if (bank.aperture.size() != size_t(n_) || bank.cent.size() != size_t(n_))
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  // Retrieval always names a best donor; an empty bank has none to name.
  if (n_ < 1) throw std::runtime_error("teeth: bank has no donors — nothing to borrow teeth from; refusing the pass");
  // A shortlist or a blend of zero donors would index an empty list or blend black teeth
  // under the mask; negative counts have no meaning.
  if (config_.kshort < 1 || config_.K < 1 || config_.cut < 0 || config_.hysteresis < 0 || config_.lookahead < 0)
    throw std::runtime_error("teeth: serving config kshort=" + std::to_string(config_.kshort) +
                             " K=" + std::to_string(config_.K) + " cut=" + std::to_string(config_.cut) +
                             " hysteresis=" + std::to_string(config_.hysteresis) +
                             " lookahead=" + std::to_string(config_.lookahead) +
                             " cannot drive the pass (kshort and K must be at least 1, the others "
                             "not negative) — refusing");
  const auto finite2 = [](const std::array<double, 2>& c) { return std::isfinite(c[0]) && std::isfinite(c[1]); };
  if (!finite2(bank.c_canon) || !std::all_of(bank.cent.begin(), bank.cent.end(), finite2) ||
      !std::all_of(bank.aperture.begin(), bank.aperture.end(), [](double a) { return std::isfinite(a); }))
    throw std::runtime_error("teeth: bank sidecar holds a non-finite cent, c_canon or aperture value — refusing to place donors by it");
  // The head works at half resolution and upsamples by exactly two; an odd side would
  // leave its last row or column without a logit of its own. Banks are built with even
  // windows, so an odd one is a stamp nobody trained a head for.
  if (stamp_.window_w % 2 != 0 || stamp_.window_h % 2 != 0)
    throw std::runtime_error("teeth: mouth window " + std::to_string(stamp_.window_w) + "x" +
                             std::to_string(stamp_.window_h) +
                             " has an odd side — the blend head halves and doubles the window and "
                             "needs even sides; refusing the stamp");
  // A frame's window moves by its mouth shift (up to ±pad) before it is scored. Reading
  // past the canvas edge would be outside the caller's frame; clamping would score
  // donors against repeated edge pixels that are not the mouth. The bank builder places
  // the window well inside the canvas, so such a stamp is refused rather than served.
  if (stamp_.window_x0 - stamp_.pad < 0 || stamp_.window_y0 - stamp_.pad < 0 ||
      int64_t(stamp_.window_x0) + stamp_.window_w + stamp_.pad > stamp_.canvas_w ||
      int64_t(stamp_.window_y0) + stamp_.window_h + stamp_.pad > stamp_.canvas_h)
    throw std::runtime_error("teeth: mouth window at (" + std::to_string(stamp_.window_x0) + ", " +
                             std::to_string(stamp_.window_y0) + ") size " + std::to_string(stamp_.window_w) +
                             "x" + std::to_string(stamp_.window_h) + " shifted by up to pad=" +
                             std::to_string(stamp_.pad) + " leaves the " + std::to_string(stamp_.canvas_w) +
                             "x" + std::to_string(stamp_.canvas_h) +
                             " canvas — refusing a stamp whose shifted window would read outside the frame");
  const size_t cand = 16 * 7 * 9, hidden = 16 * 16 * 9, logit = 16 * 9;
  if (weights_.cand0_w.size() != cand || weights_.cand0_b.size() != 16 || weights_.cand2_w.size() != hidden ||
      weights_.cand2_b.size() != 16 || weights_.cand4_w.size() != logit || weights_.cand4_b.size() != 1)
    throw std::runtime_error("teeth: head weights lack the BlendHead(16) candidate branch — refusing the pass");

  cand0_own_w_.resize(16 * 4 * 9);
  cand0_tgt_w_.resize(16 * 3 * 9);
  zero_bias_.assign(16, 0.0f);
  for (int oc = 0; oc < 16; ++oc)
    for (int ic = 0; ic < 7; ++ic) {
      const float* src = weights_.cand0_w.data() + (size_t(oc) * 7 + ic) * 9;
      float* dst = ic >= 3 && ic < 6 ? cand0_tgt_w_.data() + (size_t(oc) * 3 + ic - 3) * 9
                                     : cand0_own_w_.data() + (size_t(oc) * 4 + (ic < 3 ? ic : 3)) * 9;
      std::copy(src, src + 9, dst);
    }

  bank_ = bank.bytes;
  aperture_ = bank.aperture;
  c_canon_ = bank.c_canon;
  off_x_.resize(n_);
  off_y_.resize(n_);
  for (int d = 0; d < n_; ++d) {
    off_x_[d] = clampToInt(roundHalfEven(bank.cent[d][0] - c_canon_[0]), -kOffsetLimit, kOffsetLimit, 0);
    off_y_[d] = clampToInt(roundHalfEven(bank.cent[d][1] - c_canon_[1]), -kOffsetLimit, kOffsetLimit, 0);
  }
  H_ = stamp_.window_h;
  W_ = stamp_.window_w;
  Hp_ = H_ / 4;
  Wp_ = W_ / 4;
  const size_t hw = size_t(H_) * W_, pooled = size_t(Hp_) * Wp_;
  band_mask_.assign(hw, 0);
  for (int i = stamp_.band_r0; i < stamp_.band_r1; ++i)
    std::fill_n(band_mask_.begin() + size_t(i) * W_ + stamp_.band_c0, stamp_.band_c1 - stamp_.band_c0, 1);
  prev_support_.assign(hw, 0.0f);
  work_.support.assign(hw, 0.0f);
  work_.frame.assign(3 * hw, 0.0f);
  work_.frame_half.assign(3 * hw, 0);
  work_.frame_h.assign(3 * hw, 0.0f);
  zero_row_.assign(size_t(W_) * 3, 0);
  work_.pooled_frame.assign(3 * pooled, 0);
  work_.pooled_support.assign(pooled, 0);
  work_.pooled_f.assign(4 * pooled, 0.0f);
  work_.col_lo.assign(H_, 0);
  work_.col_hi.assign(H_, 0);

  // Bilinear taps of a two-fold upsample, half-pixel centres, clamped at both ends.
  const auto taps = [](int out_size, std::vector<int32_t>* i0, std::vector<int32_t>* i1, std::vector<float>* f) {
    const int in_size = out_size / 2;
    i0->resize(out_size);
    i1->resize(out_size);
    f->resize(out_size);
    for (int o = 0; o < out_size; ++o) {
      const float s = std::max(0.0f, (float(o) + 0.5f) * 0.5f - 0.5f);
      const int a = static_cast<int>(s);
      (*i0)[o] = a;
      (*i1)[o] = std::min(in_size - 1, a + 1);
      (*f)[o] = s - float(a);
    }
  };
  taps(H_, &up_r0_, &up_r1_, &up_rf_);
  taps(W_, &up_c0_, &up_c1_, &up_cf_);

  const size_t canvas = size_t(stamp_.canvas_w) * stamp_.canvas_h;
  for (Pending* p : {&pending_, &spare_}) {
    p->rgb.reserve(3 * canvas);
    p->mask.reserve(canvas);
    p->donors.reserve(std::max(config_.K, 1));
    p->reason.reserve(32);
  }
  // Every per-frame buffer at its largest (K donors listed), so no frame allocates.
  const size_t K = size_t(config_.K), hist = size_t(config_.hysteresis), la = size_t(config_.lookahead);
  const size_t plane = hw / 4;
  for (std::vector<int>* v : {&cur_, &rest_, &sort_idx_}) v->reserve(K);
  la_.reserve(la);
  list_.reserve(hist + la + K);
  history_.reserve(hist);
  sort_key_.reserve(K);
  order2_.reserve(size_t(std::min(config_.kshort, n_)));
  gathered_.reserve(K * 3 * hw);
  cands_.reserve(K * 3 * hw);
  valid_.reserve(hw);
  target_.reserve(3 * hw);
  head_rgb_.reserve(3 * hw);
  head_weights_.reserve((K + 1) * hw);
  head_.target.reserve(padFloats(1, 3));
  head_.input.reserve(padFloats(int(K), 4));
  head_.target0.reserve(16 * plane);
  head_.x1.reserve(padFloats(int(K), 16));
  head_.x2.reserve(padFloats(int(K), 16));
  head_.logits.reserve(K * plane);
  head_.wide.reserve(K * hw / 2);
  last_pooled_.reserve(n_);
  last_order_.reserve(n_);
  last_exact_.reserve(size_t(std::min(config_.kshort, n_)));

  history_.clear();
  last_emitted_ = -2;
  buildIndex();
}

int TeethPass::clampShift(int v) const { return std::clamp(v, -stamp_.pad, stamp_.pad); }

int TeethPass::patchRow(int i, int sy) const {
  const int64_t r = int64_t(i) - stamp_.band_r0 + stamp_.shift_margin + sy;
  return r >= 0 && r < band_h_ ? int(r) : -1;
}

int TeethPass::patchCol(int j, int sx) const {
  const int64_t c = int64_t(j) - stamp_.band_c0 + stamp_.shift_margin + sx;
  return c >= 0 && c < band_w_ ? int(c) : -1;
}

void TeethPass::stableOrder(const float* key, int n, std::vector<int>* idx) {
  idx->resize(size_t(std::max(n, 0)));
  std::iota(idx->begin(), idx->end(), 0);
  std::sort(idx->begin(), idx->end(), [key](int a, int b) {
    const float ka = key[a], kb = key[b];
    const bool na = std::isnan(ka), nb = std::isnan(kb);
    if (na != nb) return nb;
    if (!na && ka != kb) return ka < kb;
    return a < b;
  });
}

const float* TeethPass::dTable() {
  static const std::vector<float> table = [] {
    float h[256];
    for (int k = 0; k < 256; ++k) h[k] = roundToHalf(float(k) / 255.0f);
    std::vector<float> t(256 * 256);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) t[size_t(a) * 256 + b] = std::fabs(roundToHalf(h[b] - h[a]));
    return t;
  }();
  return table.data();
}

void TeethPass::canonicalWindowF16(int d, uint16_t* out) const {
  const size_t hw = size_t(H_) * W_;
  std::vector<uint8_t> row(size_t(W_) * 3);
  const int sy = clampShift(off_y_[d]), sx = clampShift(off_x_[d]);
  const uint8_t* patch = bank_.data() + size_t(d) * band_h_ * band_w_ * 3;
  for (int i = 0; i < H_; ++i) {
    std::fill(row.begin(), row.end(), 0);
    const int pr = patchRow(i, sy);
    if (pr >= 0)
      for (int j = 0; j < W_; ++j) {
        const int pc = patchCol(j, sx);
        if (pc >= 0) std::memcpy(&row[size_t(j) * 3], patch + (size_t(pr) * band_w_ + pc) * 3, 3);
      }
    simd::rgb8ToPlanarF16(row.data(), out + size_t(i) * W_, hw, W_);
  }
}

void TeethPass::buildIndex() {
  const size_t hw = size_t(H_) * W_, pooled = size_t(Hp_) * Wp_;
  index_.assign(size_t(n_) * 3 * pooled, 0);
  pool::parallelRange(n_, 1, [&](uint64_t b, uint64_t e) {
    std::vector<uint16_t> half(3 * hw);
    std::vector<float> full(3 * hw), small(3 * pooled);
    for (uint64_t d = b; d < e; ++d) {
      canonicalWindowF16(int(d), half.data());
      simd::f16ToF32(half.data(), full.data(), 3 * hw);
      for (int c = 0; c < 3; ++c) pool4(full.data() + c * hw, H_, W_, small.data() + c * pooled);
      simd::f32ToF16(small.data(), index_.data() + d * 3 * pooled, 3 * pooled);
    }
  });
}

bool TeethPass::deriveShift(const uint8_t* mask, const int* shift, int* dy, int* dx,
                            std::string* reason) const {
  if (shift) {
    *dy = shift[0];
    *dx = shift[1];
  } else {
    double sx = 0, sy = 0;
    int64_t count = 0;
    for (int y = 0; y < stamp_.canvas_h; ++y) {
      const uint8_t* row = mask + size_t(y) * stamp_.canvas_w;
      for (int x = 0; x < stamp_.canvas_w; ++x)
        if (row[x] >= 128) {
          sx += x;
          sy += y;
          ++count;
        }
    }
    if (count == 0) {
      *reason = "empty-pi";
      return false;
    }
    *dy = clampToInt(roundHalfEven(sy / double(count) - c_canon_[1]), -kOffsetLimit, kOffsetLimit, 0);
    *dx = clampToInt(roundHalfEven(sx / double(count) - c_canon_[0]), -kOffsetLimit, kOffsetLimit, 0);
  }
  if (*dy < -stamp_.pad || *dy > stamp_.pad || *dx < -stamp_.pad || *dx > stamp_.pad) {
    *reason = "shift-out-of-range";
    return false;
  }
  return true;
}

void TeethPass::retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, RetrieveWork* w) {
  const size_t hw = size_t(H_) * W_, pooled = size_t(Hp_) * Wp_;
  const int cw = stamp_.canvas_w;
  w->win_y = stamp_.window_y0 + dy;
  w->win_x = stamp_.window_x0 + dx;
  float* support = w->support.data();
  int64_t teeth = 0;
  for (int i = 0; i < H_; ++i) {
    const size_t base = size_t(w->win_y + i) * cw + w->win_x;
    for (int j = 0; j < W_; ++j) {
      const uint8_t* px = rgb + (base + j) * 3;
      const double r = px[0], g = px[1], b = px[2];
      const bool inside = mask[base + j] >= 128;  // m / 255 > 0.5
      const bool bright = 0.299 * r + 0.587 * g + 0.114 * b >= config_.luma_min && std::fabs(g - r) < config_.rg_max;
      const size_t q = size_t(i) * W_ + j;
      support[q] = inside && bright ? 1.0f : 0.0f;
      teeth += inside && bright;
      for (int c = 0; c < 3; ++c) w->frame[c * hw + q] = byteUnit(px[c]);
    }
  }
  // Too few teeth pixels to judge by: the whole mouth interior counts instead.
  if (teeth < config_.min_support)
    for (int i = 0; i < H_; ++i) {
      const size_t base = size_t(w->win_y + i) * cw + w->win_x;
      for (int j = 0; j < W_; ++j) support[size_t(i) * W_ + j] = mask[base + j] >= 128 ? 1.0f : 0.0f;
    }
  if (has_prev_support_) {
    const float decay = float(config_.weight_decay);
    for (size_t q = 0; q < hw; ++q) support[q] = std::max(support[q], decay * prev_support_[q]);
  }
  std::copy(support, support + hw, prev_support_.begin());
  has_prev_support_ = true;

  double sum = 0.0;
  w->row_lo = -1;
  w->row_hi = 0;
  for (int i = 0; i < H_; ++i) {
    int lo = W_, hi = 0;
    for (int j = 0; j < W_; ++j) {
      sum += support[size_t(i) * W_ + j];
      if (support[size_t(i) * W_ + j] != 0.0f) lo = std::min(lo, j), hi = j + 1;
    }
    w->col_lo[i] = lo;
    w->col_hi[i] = hi;
    if (hi > lo) {
      if (w->row_lo < 0) w->row_lo = i;
      w->row_hi = i + 1;
    }
  }
  if (w->row_lo < 0) {
    w->row_lo = 0;
    w->row_hi = H_;
  }
  w->support_sum = sum < 1.0 ? 1.0f : float(sum);

  // The window's colours rounded to half once per frame, as the difference table rounds
  // them, for the exact scores.
  for (int i = 0; i < H_; ++i)
    simd::rgb8ToPlanarF16(rgb + (size_t(w->win_y + i) * cw + w->win_x) * 3, w->frame_half.data() + size_t(i) * W_, hw,
                          W_);
  simd::f16ToF32(w->frame_half.data(), w->frame_h.data(), 3 * hw);

  float* pf = w->pooled_f.data();
  for (int c = 0; c < 3; ++c) pool4(w->frame.data() + c * hw, H_, W_, pf + c * pooled);
  pool4(support, H_, W_, pf + 3 * pooled);
  simd::f32ToF16(pf, w->pooled_frame.data(), 3 * pooled);
  simd::f32ToF16(pf + 3 * pooled, w->pooled_support.data(), pooled);
  simd::f16ToF32(w->pooled_support.data(), pf + 3 * pooled, pooled);
  double psum = 0.0;
  for (size_t q = 0; q < pooled; ++q) psum += pf[3 * pooled + q];
  w->pooled_sum = std::max(float(psum), 1e-4f);
}

float TeethPass::exactTermFromBand(int d, const RetrieveWork& w) const {
  thread_local std::vector<simd::RgbRun> runs;
  const int sy = clampShift(off_y_[d]), sx = clampShift(off_x_[d]);
  // The donor's canonical window covers one run of columns [j0, j1); it is black (byte
  // 0) elsewhere. Only columns holding support count, so each row is scored over the
  // part of its supported span that falls in or out of that run.
  const int j0 = std::clamp<int>(stamp_.band_c0 - stamp_.shift_margin - sx, 0, W_);
  const int j1 = std::clamp<int64_t>(int64_t(stamp_.band_c0) - stamp_.shift_margin - sx + band_w_, j0, W_);
  const int64_t col_shift = int64_t(stamp_.shift_margin) + sx - stamp_.band_c0;
  const uint8_t* patch = bank_.data() + size_t(d) * band_h_ * band_w_ * 3;
  const uint8_t* black = zero_row_.data();
  runs.clear();
  for (int i = w.row_lo; i < w.row_hi; ++i) {
    const int lo = w.col_lo[i], hi = w.col_hi[i];
    if (lo >= hi) continue;
    const uint32_t base = uint32_t(i) * uint32_t(W_);
    const int pr = patchRow(i, sy);
    const int in0 = pr >= 0 ? std::clamp(j0, lo, hi) : hi, in1 = pr >= 0 ? std::clamp(j1, lo, hi) : hi;
    if (in0 > lo) runs.push_back({black, base + uint32_t(lo), uint32_t(in0 - lo)});
    if (in1 > in0)
      runs.push_back({patch + (size_t(pr) * band_w_ + size_t(in0 + col_shift)) * 3, base + uint32_t(in0),
                      uint32_t(in1 - in0)});
    const int tail = std::max(in0, in1);
    if (hi > tail) runs.push_back({black, base + uint32_t(tail), uint32_t(hi - tail)});
  }
  const size_t hw = size_t(H_) * W_;
  const float* f = w.frame_h.data();
  return float(simd::retrieveExactRuns(runs.data(), runs.size(), f, f + hw, f + 2 * hw, w.support.data()));
}

void TeethPass::retrieveSelect(std::vector<int>* out) {
  const int m = int(last_exact_.size());
  stableOrder(last_exact_.data(), m, &order2_);
  const int best = last_order_[order2_[0]];
  const double c = aperture_[best];
  const double tol = std::max(c, 1e-6) * config_.aperture_tol;
  const int K = std::max(config_.K, 1);
  out->clear();
  const int walk = std::min(m, config_.cut);
  for (int k = 0; k < walk && int(out->size()) < K; ++k) {
    const int d = last_order_[order2_[k]];
    if (std::fabs(aperture_[d] - c) <= tol) out->push_back(d);
  }
  if (out->empty()) out->push_back(best);
  while (int(out->size()) < K) out->push_back(out->back());
}

void TeethPass::retrieveInto(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, std::vector<int>* out) {
  retrievePrepare(rgb, mask, dy, dx, &work_);
  const size_t pooled = size_t(Hp_) * Wp_;
  last_pooled_.resize(n_);
  pool::parallelRange(n_, 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t d = b; d < e; ++d) {
      const float t = simd::retrieveTermPooled(index_.data() + d * 3 * pooled, work_.pooled_frame.data(),
                                               work_.pooled_support.data(), pooled);
      last_pooled_[d] = roundToHalf(t) / work_.pooled_sum;
    }
  });
  stableOrder(last_pooled_.data(), n_, &last_order_);
  const int m = std::min(n_, config_.kshort);
  last_exact_.resize(m);
  pool::parallelRange(m, 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k)
      last_exact_[k] = exactTermFromBand(last_order_[k], work_) / work_.support_sum;
  });
  retrieveSelect(out);
}

std::vector<int> TeethPass::retrieve(const uint8_t* rgb, const uint8_t* mask, int dy, int dx) {
  std::vector<int> out;
  retrieveInto(rgb, mask, dy, dx, &out);
  return out;
}

void TeethPass::gatherWindowsU8(const std::vector<int>& list, int dy, int dx, std::vector<uint8_t>* out) const {
  const size_t win = size_t(H_) * W_ * 3;
  out->resize(list.size() * win);
  for (size_t k = 0; k < list.size(); ++k) {
    const int d = list[k];
    const int sy = int(std::clamp<int64_t>(int64_t(off_y_[d]) - dy, -stamp_.pad, stamp_.pad));
    const int sx = int(std::clamp<int64_t>(int64_t(off_x_[d]) - dx, -stamp_.pad, stamp_.pad));
    const uint8_t* patch = bank_.data() + size_t(d) * band_h_ * band_w_ * 3;
    uint8_t* dst = out->data() + k * win;
    std::fill(dst, dst + win, 0);
    // Columns that land inside the patch form one run per row.
    int j0 = W_, j1 = 0;
    for (int j = 0; j < W_; ++j)
      if (patchCol(j, sx) >= 0) j0 = std::min(j0, j), j1 = j + 1;
    if (j0 >= j1) continue;
    for (int i = 0; i < H_; ++i) {
      const int pr = patchRow(i, sy);
      if (pr < 0) continue;
      std::memcpy(dst + (size_t(i) * W_ + j0) * 3, patch + (size_t(pr) * band_w_ + patchCol(j0, sx)) * 3,
                  size_t(j1 - j0) * 3);
    }
  }
}

bool TeethPass::push(int index, const uint8_t* rgb, const uint8_t* mask, const int* shift, FrameResult* out) {
  const size_t canvas = size_t(stamp_.canvas_w) * stamp_.canvas_h;
  Pending& p = spare_;
  p.index = index;
  // Only the rows the mouth window reaches under any shift are read after this (the
  // shift itself is derived from the caller's mask), so only they are copied.
  const size_t cw = size_t(stamp_.canvas_w), r0 = size_t(stamp_.window_y0 - stamp_.pad);
  const size_t rows = size_t(H_) + 2 * size_t(stamp_.pad);
  p.rgb.resize(3 * canvas);
  p.mask.resize(canvas);
  std::memcpy(p.rgb.data() + 3 * r0 * cw, rgb + 3 * r0 * cw, 3 * rows * cw);
  std::memcpy(p.mask.data() + r0 * cw, mask + r0 * cw, rows * cw);
  p.reason.clear();
  int dy = 0, dx = 0;
  p.ok = deriveShift(mask, shift, &dy, &dx, &p.reason);
  p.dy = dy;
  p.dx = dx;
  if (p.ok) {
    StageClock clock;
    clock.start();
    retrieveInto(p.rgb.data(), p.mask.data(), dy, dx, &p.donors);
    clock.lap(&times_, kRetrieve);
    times_.retrieved += 1;
  } else
    p.donors.clear();
  bool emitted = false;
  if (has_pending_) {
    emit(pending_, p.ok ? &p.donors : nullptr, out);
    emitted = true;
  }
  std::swap(pending_, spare_);
  has_pending_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult* out) {
  if (!has_pending_) return false;
  emit(pending_, nullptr, out);
  has_pending_ = false;
  return true;
}

}  // namespace ka::tessera
