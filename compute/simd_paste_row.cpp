// The paste compositor's row kernels: mask-weighted Lanczos-8 resample of the rendered
// crop, blended into one RGB24 frame row. The one-pixel kernel vectorises each pixel's
// 8x8 support over the interleaved crop; the planar kernel puts eight pixels in the
// lanes and gives the same bytes, each pixel's sums in the same order.
#include <cmath>

#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_paste_row.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

constexpr int kTaps = 8;
constexpr int kPhases = 32;
// One support row: 8 texels of 4 floats, contiguous in the crop.
constexpr size_t kRowFloats = 4 * kTaps;

// Lanes divide 32 and are a multiple of 4 or below it, so a vector covers whole texels
// of one support row and the 4-channel fold below lines up.
using DRow = hn::CappedTag<float, kRowFloats>;

// v[c] = Σ of the accumulator's lanes of channel c, texel by texel from zero: the same
// additions in the same order as lane by lane, without a round trip through memory per
// lane.
template <class D, class V>
HWY_INLINE void Fold([[maybe_unused]] D d, V acc, float v[4]) {
#if HWY_TARGET == HWY_SCALAR || HWY_HAVE_SCALABLE
  HWY_ALIGN float lane[kRowFloats];
  hn::Store(acc, d, lane);
  v[0] = v[1] = v[2] = v[3] = 0.0f;
  for (size_t j = 0; j < hn::Lanes(d); ++j) v[j & 3] += lane[j];
#else
  const hn::FixedTag<float, 4> d4;
  constexpr size_t kLanes = hn::MaxLanes(D());
  if constexpr (kLanes == 4) {
    hn::StoreU(hn::Add(hn::Zero(d4), acc), d4, v);
  } else if constexpr (kLanes == 8) {
    hn::StoreU(hn::Add(hn::Add(hn::Zero(d4), hn::LowerHalf(acc)), hn::UpperHalf(hn::Half<D>(), acc)), d4, v);
  } else {
    static_assert(kLanes == 16, "a support row is 32 floats");
    const hn::Half<D> d8;
    const auto lo = hn::LowerHalf(acc), hi = hn::UpperHalf(d8, acc);
    auto sum = hn::Add(hn::Zero(d4), hn::LowerHalf(lo));
    sum = hn::Add(sum, hn::UpperHalf(d4, lo));
    sum = hn::Add(sum, hn::LowerHalf(hi));
    sum = hn::Add(sum, hn::UpperHalf(d4, hi));
    hn::StoreU(sum, d4, v);
  }
#endif
}

// Σ_c wx[c] Σ_r wy[r] · texel[r][c] for the four channels of an 8x8 support whose rows
// start `stride` floats apart. wxRep holds each horizontal weight four times.
HWY_INLINE void Resample(const float* base, size_t stride, const float* wy, const float* wxRep,
                         float v[4]) {
  const DRow d;
  const size_t lanes = hn::Lanes(d);
  HWY_ALIGN float lane[kRowFloats];
  auto acc = hn::Zero(d);
  if (lanes % 4 != 0) v[0] = v[1] = v[2] = v[3] = 0.0f;
  for (size_t k = 0; k < kRowFloats; k += lanes) {
    auto col = hn::Mul(hn::Set(d, wy[0]), hn::LoadU(d, base + k));
    for (int r = 1; r < kTaps; ++r) {
      col = hn::MulAdd(hn::Set(d, wy[r]), hn::LoadU(d, base + static_cast<size_t>(r) * stride + k), col);
    }
    if (lanes % 4 == 0) {
      acc = hn::MulAdd(hn::LoadU(d, wxRep + k), col, acc);
    } else {
      // Fewer than four lanes: a lane does not stay on one channel across chunks.
      hn::Store(hn::Mul(hn::LoadU(d, wxRep + k), col), d, lane);
      for (size_t j = 0; j < lanes; ++j) v[(k + j) & 3] += lane[j];
    }
  }
  if (lanes % 4 == 0) Fold(d, acc, v);
}

// Resample for two supports at once, each with exactly Resample's arithmetic: two
// independent chains keep the multiply-add units busy where one chain waits on latency.
HWY_INLINE void Resample2(const float* baseA, const float* baseB, size_t stride, const float* wyA,
                          const float* wyB, const float* wxA, const float* wxB, float vA[4], float vB[4]) {
  const DRow d;
  const size_t lanes = hn::Lanes(d);
  if (lanes % 4 != 0) {
    Resample(baseA, stride, wyA, wxA, vA);
    Resample(baseB, stride, wyB, wxB, vB);
    return;
  }
  auto accA = hn::Zero(d);
  auto accB = hn::Zero(d);
  for (size_t k = 0; k < kRowFloats; k += lanes) {
    auto colA = hn::Mul(hn::Set(d, wyA[0]), hn::LoadU(d, baseA + k));
    auto colB = hn::Mul(hn::Set(d, wyB[0]), hn::LoadU(d, baseB + k));
    for (int r = 1; r < kTaps; ++r) {
      const size_t at = static_cast<size_t>(r) * stride + k;
      colA = hn::MulAdd(hn::Set(d, wyA[r]), hn::LoadU(d, baseA + at), colA);
      colB = hn::MulAdd(hn::Set(d, wyB[r]), hn::LoadU(d, baseB + at), colB);
    }
    accA = hn::MulAdd(hn::LoadU(d, wxA + k), colA, accA);
    accB = hn::MulAdd(hn::LoadU(d, wxB + k), colB, accB);
  }
  Fold(d, accA, vA);
  Fold(d, accB, vB);
}

// o = dst (1 - alpha) + alpha v per channel; 0 for a negative or NaN o, 255 above 255,
// else o truncated.
HWY_INLINE void Blend(float alpha, const float v[4], uint8_t* o) {
#if HWY_TARGET == HWY_SCALAR
  for (int ch = 0; ch < 3; ++ch) {
    const float blended = static_cast<float>(o[ch]) * (1.0f - alpha) + alpha * v[ch];
    o[ch] = !(blended >= 0.0f) ? 0 : blended > 255.0f ? 255 : static_cast<uint8_t>(blended);
  }
#else
  const hn::FixedTag<float, 4> d4;
  const hn::RebindToSigned<decltype(d4)> di;
  HWY_ALIGN float dst[4] = {static_cast<float>(o[0]), static_cast<float>(o[1]), static_cast<float>(o[2]), 0.0f};
  const auto blended = hn::Add(hn::Mul(hn::Load(d4, dst), hn::Set(d4, 1.0f - alpha)),
                               hn::Mul(hn::Set(d4, alpha), hn::LoadU(d4, v)));
  const auto kept = hn::IfThenElseZero(hn::Ge(blended, hn::Zero(d4)), hn::Min(blended, hn::Set(d4, 255.0f)));
  HWY_ALIGN int32_t out[4];
  hn::Store(hn::ConvertTo(di, kept), di, out);
  o[0] = static_cast<uint8_t>(out[0]);
  o[1] = static_cast<uint8_t>(out[1]);
  o[2] = static_cast<uint8_t>(out[2]);
#endif
}

}  // namespace

void PasteLanczosSpread(const float* lanczos, float* wxRep) {
  for (int p = 0; p < kPhases; ++p) {
    for (int c = 0; c < kTaps; ++c) {
      for (int k = 0; k < 4; ++k) wxRep[p * kRowFloats + c * 4 + k] = lanczos[p * kTaps + c];
    }
  }
}

void PasteLanczos8RowSpread(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                            const float* wxRep, const float* bilinear, const int* fx, const int* fy, int dx,
                            int dy, int x0, int x1, uint8_t* outRow) {
  // Border supports are copied here with the texels outside the crop left at zero,
  // which leaves them out of the sum.
  HWY_ALIGN float patch[kTaps * kRowFloats];
  const size_t side4 = 4 * static_cast<size_t>(side);
  const auto maskAt = [&](int r, int c) -> float {
    return (r >= 0 && r < side && c >= 0 && c < side)
               ? static_cast<float>(mask[static_cast<size_t>(r) * static_cast<size_t>(side) + c])
               : 0.0f;
  };

  // An inside pixel waiting for a partner.
  struct Held {
    const float *base, *wy, *wx;
    float alpha;
    uint8_t* out;
  } held{nullptr, nullptr, nullptr, 0.0f, nullptr};

  for (int x = x0; x <= x1; ++x) {
    const int ux = dx + fx[x - x0];
    const int uy = dy + fy[x - x0];
    const int ix = ux >> 10;
    const int iy = uy >> 10;
    if (ix < -1 || ix >= side || iy < -1 || iy >= side) continue;
    const int px = (ux >> 5) & 31;
    const int py = (uy >> 5) & 31;
    const float bx0 = bilinear[2 * px], bx1 = bilinear[2 * px + 1];
    const float by0 = bilinear[2 * py], by1 = bilinear[2 * py + 1];
    float m00, m01, m10, m11;
    if (ix >= 0 && ix + 1 < side && iy >= 0 && iy + 1 < side) {
      const uint8_t* m = mask + static_cast<size_t>(iy) * static_cast<size_t>(side) + ix;
      m00 = m[0], m01 = m[1], m10 = m[side], m11 = m[side + 1];
    } else {
      m00 = maskAt(iy, ix), m01 = maskAt(iy, ix + 1), m10 = maskAt(iy + 1, ix), m11 = maskAt(iy + 1, ix + 1);
    }
    const float raw = (m00 * bx0 + m01 * bx1) * by0 + (m10 * bx0 + m11 * bx1) * by1;
    // trunc(raw) / 255 is positive exactly when trunc(raw) is: uncovered pixels skip the
    // division.
    const float covered = std::trunc(raw);
    if (!(covered > 0.0f)) continue;
    const float alpha = covered / 255.0f;

    const float* wy = lanczos + py * kTaps;
    const float* wx = wxRep + px * kRowFloats;
    uint8_t* out = outRow + 3 * static_cast<size_t>(x);
    if (ix >= 3 && ix + 4 < side && iy >= 3 && iy + 4 < side) {
      // Inside the crop: pixels are independent, so they go through in pairs.
      const float* base =
          src4 + (static_cast<size_t>(iy - 3) * static_cast<size_t>(side) + static_cast<size_t>(ix - 3)) * 4;
      if (!held.out) {
        held = Held{base, wy, wx, alpha, out};
        continue;
      }
      float vA[4], vB[4];
      Resample2(held.base, base, side4, held.wy, wy, held.wx, wx, vA, vB);
      Blend(held.alpha, vA, held.out);
      Blend(alpha, vB, out);
      held.out = nullptr;
    } else {
      for (int r = 0; r < kTaps; ++r) {
        const int sy = iy - 3 + r;
        for (int c = 0; c < kTaps; ++c) {
          const int sx = ix - 3 + c;
          float* t = patch + r * kRowFloats + c * 4;
          if (sy >= 0 && sy < side && sx >= 0 && sx < side) {
            const float* s = src4 + (static_cast<size_t>(sy) * static_cast<size_t>(side) + static_cast<size_t>(sx)) * 4;
            t[0] = s[0], t[1] = s[1], t[2] = s[2], t[3] = s[3];
          } else {
            t[0] = t[1] = t[2] = t[3] = 0.0f;
          }
        }
      }
      float v[4];
      Resample(patch, kRowFloats, wy, wx, v);
      Blend(alpha, v, out);
    }
  }
  if (held.out) {
    float v[4];
    Resample(held.base, side4, held.wy, held.wx, v);
    Blend(held.alpha, v, held.out);
  }
}

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
// Eight output pixels go through together, one per lane, wherever eight-float vectors
// exist. Each pixel's sums keep exactly the order of the one-pixel kernel above on this
// target, so the bytes do not depend on which kernel ran.
constexpr size_t kBatch = 8;
using D8 = hn::FixedTag<float, kBatch>;
using V8 = hn::Vec<D8>;

// v[i] lane j becomes v[j] lane i.
HWY_INLINE void Transpose8(V8* v) {
  const D8 d;
  const hn::Repartition<double, D8> dd;
  const auto lo64 = [&](V8 a, V8 b) {
    return hn::BitCast(d, hn::InterleaveLower(dd, hn::BitCast(dd, a), hn::BitCast(dd, b)));
  };
  const auto hi64 = [&](V8 a, V8 b) {
    return hn::BitCast(d, hn::InterleaveUpper(dd, hn::BitCast(dd, a), hn::BitCast(dd, b)));
  };
  V8 t[8], u[8];
  HWY_UNROLL(4)
  for (int i = 0; i < 8; i += 2) {
    t[i] = hn::InterleaveLower(d, v[i], v[i + 1]);
    t[i + 1] = hn::InterleaveUpper(d, v[i], v[i + 1]);
  }
  // u[4h + k] holds columns k and k + 4 of rows 4h .. 4h + 3, one per 128-bit half.
  HWY_UNROLL(2)
  for (int h = 0; h < 2; ++h) {
    u[4 * h + 0] = lo64(t[4 * h], t[4 * h + 2]);
    u[4 * h + 1] = hi64(t[4 * h], t[4 * h + 2]);
    u[4 * h + 2] = lo64(t[4 * h + 1], t[4 * h + 3]);
    u[4 * h + 3] = hi64(t[4 * h + 1], t[4 * h + 3]);
  }
  HWY_UNROLL(4)
  for (int k = 0; k < 4; ++k) {
    v[k] = hn::ConcatLowerLower(d, u[4 + k], u[k]);
    v[k + 4] = hn::ConcatUpperUpper(d, u[4 + k], u[k]);
  }
}

// Pixels waiting for a full batch: where each channel's 8x8 support starts (in the crop
// planes, or in a zero-padded copy at the crop's border), the phase weights, the coverage
// and the destination.
struct Batch {
  HWY_ALIGN float patch[kBatch][3][kTaps * kTaps];
  HWY_ALIGN float alpha[kBatch];
  const float* base[kBatch][3];
  size_t stride[kBatch];
  const float* wy[kBatch];
  const float* wx[kBatch];
  uint8_t* out[kBatch];
  size_t n = 0;
  // Set by the eight-at-a-time path: the supports all start at planes[ch] + off[l] with
  // rows side floats apart, and the pixels are neighbours (out[l] = out[0] + 3 l).
  HWY_ALIGN int32_t off[kBatch];
  const float* const* planes = nullptr;
  size_t side = 0;
};

// Resamples and blends the batch's n pixels (lanes past n repeat the first pixel and are
// not written). kRun: the batch was filled by the eight-at-a-time path.
template <bool kRun>
HWY_NOINLINE void FlushBatch(Batch& b) {
  const D8 d;
  const hn::RebindToSigned<D8> di;
  const size_t n = b.n;
  if (!kRun) {
    for (size_t l = n; l < kBatch; ++l) {
      for (int ch = 0; ch < 3; ++ch) b.base[l][ch] = b.base[0][ch];
      b.stride[l] = b.stride[0], b.wy[l] = b.wy[0], b.wx[l] = b.wx[0], b.out[l] = b.out[0];
      b.alpha[l] = b.alpha[0];
    }
  }

  // Vertical sums, four pixels at a time (eight where 32 vector registers hold their
  // chains): one broadcast of a row weight serves the three channels, and the chains are
  // independent, so none waits on its own latency.
  constexpr size_t kChains = HWY_TARGET <= HWY_AVX3 ? 8 : 4;
  HWY_ALIGN float cols[3][kBatch][kBatch];
  HWY_UNROLL(2)
  for (size_t q = 0; q < kBatch; q += kChains) {
    V8 acc[kChains][3];
    if (kRun) {
      const float* p0 = b.planes[0];
      const float* p1 = b.planes[1];
      const float* p2 = b.planes[2];
      const size_t S = b.side;
      size_t o[kChains];
      HWY_UNROLL(8)
      for (size_t i = 0; i < kChains; ++i) {
        o[i] = static_cast<size_t>(b.off[q + i]);
        const auto w = hn::Set(d, b.wy[q + i][0]);
        acc[i][0] = hn::Mul(w, hn::LoadU(d, p0 + o[i]));
        acc[i][1] = hn::Mul(w, hn::LoadU(d, p1 + o[i]));
        acc[i][2] = hn::Mul(w, hn::LoadU(d, p2 + o[i]));
      }
      HWY_UNROLL(7)
      for (int r = 1; r < kTaps; ++r) {
        HWY_UNROLL(8)
        for (size_t i = 0; i < kChains; ++i) {
          o[i] += S;
          const auto w = hn::Set(d, b.wy[q + i][r]);
          acc[i][0] = hn::MulAdd(w, hn::LoadU(d, p0 + o[i]), acc[i][0]);
          acc[i][1] = hn::MulAdd(w, hn::LoadU(d, p1 + o[i]), acc[i][1]);
          acc[i][2] = hn::MulAdd(w, hn::LoadU(d, p2 + o[i]), acc[i][2]);
        }
      }
    } else {
      HWY_UNROLL(8)
      for (size_t i = 0; i < kChains; ++i) {
        const auto w = hn::Set(d, b.wy[q + i][0]);
        HWY_UNROLL(3)
        for (int ch = 0; ch < 3; ++ch) acc[i][ch] = hn::Mul(w, hn::LoadU(d, b.base[q + i][ch]));
      }
      HWY_UNROLL(7)
      for (int r = 1; r < kTaps; ++r) {
        HWY_UNROLL(8)
        for (size_t i = 0; i < kChains; ++i) {
          const auto w = hn::Set(d, b.wy[q + i][r]);
          const size_t at = r * b.stride[q + i];
          HWY_UNROLL(3)
          for (int ch = 0; ch < 3; ++ch) {
            acc[i][ch] = hn::MulAdd(w, hn::LoadU(d, b.base[q + i][ch] + at), acc[i][ch]);
          }
        }
      }
    }
    HWY_UNROLL(8)
    for (size_t i = 0; i < kChains; ++i) {
      HWY_UNROLL(3)
      for (int ch = 0; ch < 3; ++ch) hn::Store(acc[i][ch], d, cols[ch][q + i]);
    }
  }

  // Horizontal weights, texel c of every pixel in W[c].
  HWY_ALIGN float wt[kTaps][kBatch];
  {
    V8 W[kTaps];
    HWY_UNROLL(8)
    for (size_t l = 0; l < kBatch; ++l) W[l] = hn::LoadU(d, b.wx[l]);
    Transpose8(W);
    HWY_UNROLL(8)
    for (size_t c = 0; c < kTaps; ++c) hn::Store(W[c], d, wt[c]);
  }

  // The one-pixel kernel folds texel c into accumulator c mod kGroups, each in texel
  // order, then adds the accumulators in order onto zero.
  constexpr size_t kGroups = hn::MaxLanes(DRow()) / 4;
  static_assert(kTaps % kGroups == 0, "groups of whole texels");
  const hn::FixedTag<uint8_t, kBatch> du8;
  hn::Vec<decltype(du8)> bytes[3];
  HWY_ALIGN int32_t dst[3][kBatch];
  if (kRun) {
    hn::LoadInterleaved3(du8, b.out[0], bytes[0], bytes[1], bytes[2]);
  } else {
    for (size_t l = 0; l < kBatch; ++l) {
      for (int ch = 0; ch < 3; ++ch) dst[ch][l] = b.out[l][ch];
    }
  }
  const auto alpha = hn::Load(d, b.alpha);
  const auto keep = hn::Sub(hn::Set(d, 1.0f), alpha);
  HWY_ALIGN int32_t res[3][kBatch];
  HWY_UNROLL(3)
  for (int ch = 0; ch < 3; ++ch) {
    V8 col[kBatch];
    HWY_UNROLL(8)
    for (size_t l = 0; l < kBatch; ++l) col[l] = hn::Load(d, cols[ch][l]);
    Transpose8(col);
    V8 acc[kGroups];
    HWY_UNROLL(4)
    for (size_t g = 0; g < kGroups; ++g) acc[g] = hn::MulAdd(hn::Load(d, wt[g]), col[g], hn::Zero(d));
    HWY_UNROLL(8)
    for (size_t c = kGroups; c < kTaps; ++c) {
      acc[c % kGroups] = hn::MulAdd(hn::Load(d, wt[c]), col[c], acc[c % kGroups]);
    }
    auto v = hn::Zero(d);
    HWY_UNROLL(4)
    for (size_t g = 0; g < kGroups; ++g) v = hn::Add(v, acc[g]);

    const auto o = hn::ConvertTo(d, kRun ? hn::PromoteTo(di, bytes[ch]) : hn::Load(di, dst[ch]));
    const auto blended = hn::Add(hn::Mul(o, keep), hn::Mul(alpha, v));
    const auto kept = hn::IfThenElseZero(hn::Ge(blended, hn::Zero(d)), hn::Min(blended, hn::Set(d, 255.0f)));
    if (kRun) {
      bytes[ch] = hn::DemoteTo(du8, hn::ConvertTo(di, kept));
    } else {
      hn::Store(hn::ConvertTo(di, kept), di, res[ch]);
    }
  }
  if (kRun) {
    hn::StoreInterleaved3(bytes[0], bytes[1], bytes[2], du8, b.out[0]);
  } else {
    for (size_t l = 0; l < n; ++l) {
      for (int ch = 0; ch < 3; ++ch) b.out[l][ch] = static_cast<uint8_t>(res[ch][l]);
    }
  }
  b.n = 0;
}

// Queues one pixel of the row, as the one-pixel kernel decides it: skipped outside the
// crop's reach or where the coverage truncates to zero.
HWY_INLINE void QueuePixel(Batch& batch, const float* const* planes, int side, const uint8_t* mask,
                           const float* lanczos, const float* bilinear, int ux, int uy, uint8_t* out) {
  const size_t S = static_cast<size_t>(side);
  const int ix = ux >> 10;
  const int iy = uy >> 10;
  if (ix < -1 || ix >= side || iy < -1 || iy >= side) return;
  const int px = (ux >> 5) & 31;
  const int py = (uy >> 5) & 31;
  const float bx0 = bilinear[2 * px], bx1 = bilinear[2 * px + 1];
  const float by0 = bilinear[2 * py], by1 = bilinear[2 * py + 1];
  const auto maskAt = [&](int r, int c) -> float {
    return (r >= 0 && r < side && c >= 0 && c < side) ? static_cast<float>(mask[r * S + c]) : 0.0f;
  };
  const float m00 = maskAt(iy, ix), m01 = maskAt(iy, ix + 1), m10 = maskAt(iy + 1, ix), m11 = maskAt(iy + 1, ix + 1);
  const float raw = (m00 * bx0 + m01 * bx1) * by0 + (m10 * bx0 + m11 * bx1) * by1;
  const float covered = std::trunc(raw);
  if (!(covered > 0.0f)) return;

  const size_t l = batch.n++;
  batch.alpha[l] = covered / 255.0f;
  batch.wy[l] = lanczos + py * kTaps;
  batch.wx[l] = lanczos + px * kTaps;
  batch.out[l] = out;
  if (ix >= 3 && ix + 4 < side && iy >= 3 && iy + 4 < side) {
    const size_t at = (iy - 3) * S + (ix - 3);
    for (int ch = 0; ch < 3; ++ch) batch.base[l][ch] = planes[ch] + at;
    batch.stride[l] = S;
  } else {
    // Texels outside the crop stay zero, which leaves them out of the sum.
    for (int ch = 0; ch < 3; ++ch) {
      float* t = batch.patch[l][ch];
      for (int r = 0; r < kTaps; ++r) {
        const int sy = iy - 3 + r;
        for (int c = 0; c < kTaps; ++c) {
          const int sx = ix - 3 + c;
          t[r * kTaps + c] = (sy >= 0 && sy < side && sx >= 0 && sx < side) ? planes[ch][sy * S + sx] : 0.0f;
        }
      }
      batch.base[l][ch] = t;
    }
    batch.stride[l] = kTaps;
  }
  if (batch.n == kBatch) FlushBatch<false>(batch);
}
#endif

void PasteLanczos8RowPlanar(const float* const* planes, const float* src4, int side, const uint8_t* mask,
                            const float* lanczos, const float* wxRep, const float* bilinear, const int* fx,
                            const int* fy, int dx, int dy, int x0, int x1, uint8_t* outRow) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
  (void)src4, (void)wxRep;
  const hn::FixedTag<int32_t, kBatch> di;
  const hn::FixedTag<float, kBatch> d;
  Batch batch;
  const int S = side;
  HWY_ALIGN int32_t wyAt[kBatch], wxAt[kBatch];
  batch.planes = planes;
  batch.side = static_cast<size_t>(side);
  int x = x0;
  // Eight neighbouring pixels at a time: where all eight are covered and read only the
  // crop's inside, their coverage comes from integer arithmetic (the bilinear weights are
  // multiples of 1/32 and the mask bytes integers, so the float sum of the one-pixel
  // kernel is exact and truncates to the same integer) and they fill a batch at once.
  for (; x + static_cast<int>(kBatch) <= x1 + 1; x += static_cast<int>(kBatch)) {
    const auto ux = hn::Add(hn::Set(di, dx), hn::LoadU(di, fx + (x - x0)));
    const auto uy = hn::Add(hn::Set(di, dy), hn::LoadU(di, fy + (x - x0)));
    const auto ix = hn::ShiftRight<10>(ux), iy = hn::ShiftRight<10>(uy);
    const auto inside = hn::And(hn::And(hn::Gt(ix, hn::Set(di, 2)), hn::Lt(ix, hn::Set(di, S - 4))),
                                hn::And(hn::Gt(iy, hn::Set(di, 2)), hn::Lt(iy, hn::Set(di, S - 4))));
    if (hn::AllTrue(di, inside)) {
      const auto k31 = hn::Set(di, 31), k32 = hn::Set(di, 32), kByte = hn::Set(di, 255);
      const auto px = hn::And(hn::ShiftRight<5>(ux), k31), py = hn::And(hn::ShiftRight<5>(uy), k31);
      const auto at = hn::Add(hn::Mul(iy, hn::Set(di, S)), ix);
      // Four mask bytes from each of the two rows (ix + 4 < S keeps the read in the row).
      const auto* m32 = reinterpret_cast<const int32_t*>(mask);
      const auto top = hn::GatherOffset(di, m32, at);
      const auto bottom = hn::GatherOffset(di, m32, hn::Add(at, hn::Set(di, S)));
      const auto qx = hn::Sub(k32, px), qy = hn::Sub(k32, py);
      const auto rowTop = hn::Add(hn::Mul(hn::And(top, kByte), qx), hn::Mul(hn::And(hn::ShiftRight<8>(top), kByte), px));
      const auto rowBottom =
          hn::Add(hn::Mul(hn::And(bottom, kByte), qx), hn::Mul(hn::And(hn::ShiftRight<8>(bottom), kByte), px));
      const auto covered = hn::ShiftRight<10>(hn::Add(hn::Mul(rowTop, qy), hn::Mul(rowBottom, py)));
      const auto isCovered = hn::Gt(covered, hn::Zero(di));
      if (hn::AllFalse(di, isCovered)) continue;  // beyond the mask's edge
      if (hn::AllTrue(di, isCovered)) {
        // Pixels queued one at a time go first; the pixels are independent, so the order
        // does not matter, but the batch is reused.
        if (batch.n) FlushBatch<false>(batch);
        hn::Store(hn::Div(hn::ConvertTo(d, covered), hn::Set(d, 255.0f)), d, batch.alpha);
        hn::Store(hn::Sub(at, hn::Set(di, 3 * S + 3)), di, batch.off);
        hn::Store(hn::ShiftLeft<3>(py), di, wyAt);
        hn::Store(hn::ShiftLeft<3>(px), di, wxAt);
        for (size_t l = 0; l < kBatch; ++l) {
          batch.wy[l] = lanczos + wyAt[l];
          batch.wx[l] = lanczos + wxAt[l];
        }
        batch.out[0] = outRow + 3 * static_cast<size_t>(x);
        batch.n = kBatch;
        FlushBatch<true>(batch);
        continue;
      }
    }
    const auto away = hn::Or(hn::Or(hn::Lt(ix, hn::Set(di, -1)), hn::Gt(ix, hn::Set(di, S - 1))),
                             hn::Or(hn::Lt(iy, hn::Set(di, -1)), hn::Gt(iy, hn::Set(di, S - 1))));
    if (hn::AllTrue(di, away)) continue;  // beyond the crop's reach
    for (size_t l = 0; l < kBatch; ++l) {
      const int xi = x + static_cast<int>(l);
      QueuePixel(batch, planes, side, mask, lanczos, bilinear, dx + fx[xi - x0], dy + fy[xi - x0],
                 outRow + 3 * static_cast<size_t>(xi));
    }
  }
  for (; x <= x1; ++x) {
    QueuePixel(batch, planes, side, mask, lanczos, bilinear, dx + fx[x - x0], dy + fy[x - x0],
               outRow + 3 * static_cast<size_t>(x));
  }
  if (batch.n) FlushBatch<false>(batch);
#else
  (void)planes;
  PasteLanczos8RowSpread(src4, side, mask, lanczos, wxRep, bilinear, fx, fy, dx, dy, x0, x1, outRow);
#endif
}

bool PasteRowReadsPlanes() { return HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2; }

void PasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy, int x0,
                      int x1, uint8_t* outRow) {
  HWY_ALIGN float wxRep[kPhases * kRowFloats];
  PasteLanczosSpread(lanczos, wxRep);
  PasteLanczos8RowSpread(src4, side, mask, lanczos, wxRep, bilinear, fx, fy, dx, dy, x0, x1, outRow);
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(PasteLanczos8Row);
HWY_EXPORT(PasteLanczos8RowSpread);
HWY_EXPORT(PasteLanczos8RowPlanar);
HWY_EXPORT(PasteRowReadsPlanes);

bool pasteRowReadsPlanes() { return HWY_DYNAMIC_DISPATCH(PasteRowReadsPlanes)(); }

void pasteLanczosSpread(const float* lanczos, float* spread) {
  // Plain copies: every target builds the same table.
  HWY_STATIC_DISPATCH(PasteLanczosSpread)(lanczos, spread);
}

void pasteLanczos8RowSpread(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                            const float* spread, const float* bilinear, const int* fx, const int* fy, int dx,
                            int dy, int x0, int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8RowSpread)(src4, side, mask, lanczos, spread, bilinear, fx, fy, dx, dy, x0,
                                               x1, outRow);
}

void pasteLanczos8RowPlanar(const float* const* planes, const float* src4, int side, const uint8_t* mask,
                            const float* lanczos, const float* spread, const float* bilinear, const int* fx,
                            const int* fy, int dx, int dy, int x0, int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8RowPlanar)(planes, src4, side, mask, lanczos, spread, bilinear, fx, fy, dx, dy,
                                               x0, x1, outRow);
}

void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy, int x0,
                      int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(src4, side, mask, lanczos, bilinear, fx, fy, dx, dy, x0,
                                         x1, outRow);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
