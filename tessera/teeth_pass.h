#pragma once
// ka::tessera::TeethPass: per rendered frame, finds the bank donors whose teeth best
// match the frame's mouth (a pooled half-precision pre-score over all donors, an exact
// re-score of the best, an aperture filter), steadies the choice over time (look-ahead
// into the next frame's choice, hysteresis on the previous frame's), and blends the
// chosen donors into the mouth window with a small convolutional head.
//
// A frame's result is released one push later (so the next frame's choice can be
// consulted) or by flush(). One thread drives a pass; inside, the work is split over
// the calling thread's worker pool.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tessera/bank_data.h"
#include "tessera/frame_result.h"
#include "tessera/geometry_stamp.h"
#include "tessera/head_weights.h"
#include "tessera/serve_config.h"

namespace ka::tessera {

namespace detail {
struct ByteUnitTable {
  float v[256];
  constexpr ByteUnitTable() : v{} {
    for (int k = 0; k < 256; ++k) v[k] = float(k) / 255.0f;
  }
};
}  // namespace detail

class TeethPass {
 public:
  // Throws std::runtime_error on an inconsistent bank (the stamp's own refusals, the
  // bank size, sidecar arrays that disagree with n_donors, a stamp whose shifted
  // window would leave the canvas, odd window sizes).
  TeethPass(const BankData& bank, const HeadWeights& weights, const ServeConfig& config);

  // Takes frame `index` (canvas_w x canvas_h x 3 RGB and a canvas_w x canvas_h mask;
  // both copied) and an optional (dy, dx) mouth shift (null: derived from the mask).
  // Returns true when `out` now holds the previous frame's result; false (and `out`
  // untouched) on the first push after construction or a flush.
  bool push(int index, const uint8_t* rgb, const uint8_t* mask, const int* shift,
            FrameResult* out);
  // Releases the pending frame without look-ahead; false when none is pending.
  bool flush(FrameResult* out);

  // Running statistics of the synthesis weight over emitted frames.
  struct Stats {
    int64_t frames = 0;
    int64_t pixels = 0;
    double sum_means = 0.0;
    double max = 0.0;
  };
  const Stats& stats() const { return stats_; }
  // Seconds spent per stage since construction or clearTimes(), wall clock and process
  // CPU time (every thread): retrieval, gathering, the blend head, compositing (with the
  // statistics and history). For benchmarks and stage reports.
  enum Stage { kRetrieve = 0, kGather, kHead, kComposite, kStages };
  struct StageTimes {
    double wall[kStages] = {};
    double cpu[kStages] = {};
    int64_t retrieved = 0, emitted = 0;
  };
  const StageTimes& stageTimes() const { return times_; }
  void clearTimes() { times_ = StageTimes{}; }
  const GeometryStamp& stamp() const { return stamp_; }
  const ServeConfig& config() const { return config_; }
  int donors() const { return n_; }

  // --- The inner steps, public so tests can hold them against reference code. -------

  // A pending frame: the frame waiting for its successor. push() fills only the rows
  // the mouth window reaches under a shift of up to ±pad; emit() reads no others.
  struct Pending {
    int32_t index = 0;
    std::vector<uint8_t> rgb;   // canvas_w x canvas_h x 3
    std::vector<uint8_t> mask;  // canvas_w x canvas_h
    std::vector<int> donors;    // the retrieval result
    int32_t dy = 0, dx = 0;
    bool ok = false;
    std::string reason;
  };

  // The mouth shift of a frame: the given pair, or the mask's centroid against the
  // canonical centre. False with "empty-pi" / "shift-out-of-range" in `reason`.
  bool deriveShift(const uint8_t* mask, const int* shift, int* dy, int* dx,
                   std::string* reason) const;
  // The retrieval result of a frame (exactly max(K, 1) donors). Updates the previous
  // support map, as a push does.
  std::vector<int> retrieve(const uint8_t* rgb, const uint8_t* mask, int dy, int dx);
  // Pooled pre-scores of every donor for the last retrieve(), in donor order, and the
  // exact scores of the shortlist in pooled order (for tests and benchmarks).
  const std::vector<float>& lastPooledScores() const { return last_pooled_; }
  const std::vector<int>& lastOrder() const { return last_order_; }
  const std::vector<float>& lastExactScores() const { return last_exact_; }

  // Releases a pending frame into `out`; `next` is the following frame's retrieval
  // result, or null.
  void emit(const Pending& p, const std::vector<int>* next, FrameResult* out);
  // The blend head: n candidates of 3 float planes of H x W, the target (3 planes) and
  // the valid mask (H x W) give `rgb` (3 planes) and `weights` (n + 1 planes).
  void headForward(const std::vector<float>& cands, int n, const std::vector<float>& target,
                   const std::vector<uint8_t>& valid, std::vector<float>* rgb,
                   std::vector<float>* weights);
  // Donors' patches placed on a frame whose mouth is shifted by (dy, dx): H x W x 3
  // bytes per listed donor, one after another.
  void gatherWindowsU8(const std::vector<int>& list, int dy, int dx,
                       std::vector<uint8_t>* out) const;
  // The last emitted frame's donor history (for tests of the emission rules).
  const std::vector<int>& history() const { return history_; }

  // |half(h[b]) - half(h[a])| with h[k] = half(k / 255): 256 x 256 floats, built once
  // per process.
  static const float* dTable();
  // float(v) / 255, by table: the quotient's bits without a division per byte.
  static float byteUnit(uint8_t v) { return kByteUnit.v[v]; }

 private:
  static constexpr detail::ByteUnitTable kByteUnit{};
  GeometryStamp stamp_;
  ServeConfig config_;
  HeadWeights weights_;
  int n_ = 0;
  std::vector<uint8_t> bank_;
  std::vector<double> aperture_;
  std::array<double, 2> c_canon_{0.0, 0.0};
  std::vector<int32_t> off_x_, off_y_;
  std::vector<int> history_;
  int32_t last_emitted_ = -2;
  bool has_pending_ = false;
  Pending pending_;
  Stats stats_;
  StageTimes times_;
  std::vector<float> last_pooled_, last_exact_;
  std::vector<int> last_order_, order2_;

  // Per-retrieval scratch, sized at construction and reused for every frame.
  struct RetrieveWork {
    std::vector<float> support;            // H x W
    std::vector<uint16_t> pooled_frame;    // 3 x H/4 x W/4
    std::vector<uint16_t> pooled_support;  // H/4 x W/4
    float support_sum = 1.0f;
    float pooled_sum = 1e-4f;
    int32_t row_lo = 0, row_hi = 0;
    int32_t win_y = 0, win_x = 0;
    std::vector<float> frame;              // 3 x H x W, the shifted window as byte / 255
    std::vector<uint16_t> frame_half;      // 3 x H x W, half(byte / 255)
    std::vector<float> frame_h;            // 3 x H x W, float(half(byte / 255))
    std::vector<float> pooled_f;           // 4 x H/4 x W/4: the pooled planes before rounding
    std::vector<int32_t> col_lo, col_hi;   // per row: the columns holding non-zero support
  };

  // Blend-head scratch, grown on the first frame and reused after. The layers' inputs
  // are kept in padded planes (padStride() floats a row, padPlane() a plane, the border
  // zero and never written), so each layer writes straight into the next one's input.
  struct HeadWork {
    std::vector<float> target;     // 3 padded planes: the target pooled
    std::vector<float> input;      // n x 4 padded planes: a candidate's colour and its difference
    std::vector<float> target0;    // 16 x h x w: the target's share of the first layer
    std::vector<float> x1, x2;     // n x 16 padded planes
    std::vector<float> logits;     // n x h x w
    std::vector<float> wide;       // n x h x W: the logits widened to the window's columns
  };

  // Indices 0..n-1 ordered by key ascending; equal keys keep index order and NaN keys
  // go last. Sorts in place without the temporary buffer std::stable_sort allocates.
  static void stableOrder(const float* key, int n, std::vector<int>* idx);
  void buildIndex();
  void canonicalWindowF16(int d, uint16_t* out) const;
  void retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, RetrieveWork* w);
  void retrieveInto(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, std::vector<int>* out);
  void retrieveSelect(std::vector<int>* out);
  // The exact score's sum for donor d over the rows of `w` that hold support.
  float exactTermFromBand(int d, const RetrieveWork& w) const;
  // Window row i, column j of donor d placed with shift (sy, sx) (already clamped):
  // the stored patch's row and column, or -1 when it falls outside the patch.
  int patchRow(int i, int sy) const;
  int patchCol(int j, int sx) const;
  int clampShift(int v) const;
  void settleList(const Pending& p, const std::vector<int>* next);
  // Adds the time since the last mark to `stage` and moves the mark.
  struct StageClock {
    double wall = 0.0, cpu = 0.0;
    void start();
    void lap(StageTimes* t, Stage stage);
  };
  size_t padStride() const { return size_t(W_ / 2) + 2; }
  size_t padPlane() const { return (size_t(H_ / 2) + 2) * padStride(); }
  // n items of c padded planes, with the slack the convolution reads past the last.
  size_t padFloats(int n, int c) const { return size_t(n) * c * padPlane() + 64; }
  // One head layer over `batch` items of padded input, split by output planes over the
  // pool; `out` is padded (next layer's input) or dense h x w planes.
  void headConv(const float* in, int batch, int cin, const std::vector<float>& weight,
                const std::vector<float>& bias, int cout, float* out, bool padded_out, bool relu,
                const float* add = nullptr);

  int H_ = 0, W_ = 0, Hp_ = 0, Wp_ = 0;
  int64_t band_h_ = 0, band_w_ = 0;
  std::vector<uint16_t> index_;      // n x 3 x Hp x Wp halves
  std::vector<uint8_t> band_mask_;   // H x W
  std::vector<uint8_t> zero_row_;    // W x 3 black bytes: a donor where its patch does not reach
  std::vector<float> prev_support_;  // H x W
  bool has_prev_support_ = false;
  RetrieveWork work_;
  // Upsampling taps from the half-resolution maps, per output row and per column.
  std::vector<int32_t> up_r0_, up_r1_, up_c0_, up_c1_;
  std::vector<float> up_rf_, up_cf_;
  // The first candidate layer split by input: the target's three channels are the same
  // for every candidate, so their share (with the bias) is computed once per frame and
  // only the candidate's own four channels (colour, difference) run per candidate.
  std::vector<float> cand0_own_w_, cand0_tgt_w_, zero_bias_;

  // Push and emit scratch: the next pending frame's slot, the settled donor list and
  // the emission buffers.
  Pending spare_;
  std::vector<int> cur_, la_, rest_, list_, sort_idx_;
  std::vector<float> sort_key_;
  std::vector<uint8_t> gathered_, valid_;
  std::vector<float> cands_, target_, head_rgb_, head_weights_;
  HeadWork head_;
};

}  // namespace ka::tessera
