// Winograd F(4x4, 3x3) bands for the convolution engine. A band is cut into chunks of
// tiles; per chunk the calling thread transforms every 6 x 6 input window (read as
// halves, zeros past what the band may read) into 36 points
// (V, [point][tile][channel]), multiplies each point's tiles by that point's transformed
// weights block by block (M, [point][tile][block channel]) and transforms each tile's 36
// points back to its 4 x 4 outputs. Channels lie along the vectors throughout, so the
// transforms are plain vector adds and the products are the direct row's 1 x 1 kernel.
#include "compute/simd_winograd.h"

#include <vector>

#include "compute/simd.h"

#ifndef KA_COMPUTE_SIMD_WINOGRAD_SCRATCH
#define KA_COMPUTE_SIMD_WINOGRAD_SCRATCH
namespace ka::simd::detail {
// The calling thread's working set; it only grows.
struct WinogradScratch {
  std::vector<float> v, m;
};
inline WinogradScratch& winogradScratch() {
  thread_local WinogradScratch s;
  return s;
}
// Tiles per product step: the GEMM kernels take six at a time (fewer at a chunk's end).
inline constexpr int kWinogradStep = 6;
inline int winogradTiles(int w) { return (w + kWinogradTile - 1) / kWinogradTile; }
// Tiles per chunk: about 128 KiB of V so that V, M and a block's weights stay in the
// second-level cache while the chunk is multiplied.
inline int winogradChunk(int w, int cs) {
  const int tiles = winogradTiles(w);
  int chunk = (128 * 1024 / (kWinogradPoints * 4 * cs)) / kWinogradStep * kWinogradStep;
  if (chunk < kWinogradStep) chunk = kWinogradStep;
  return chunk < tiles ? chunk : tiles;
}
inline void winogradGrow(int w, int cs) {
  WinogradScratch& s = winogradScratch();
  const size_t chunk = static_cast<size_t>(winogradChunk(w, cs));
  const size_t v = kWinogradPoints * chunk * static_cast<size_t>(cs);
  const size_t m = kWinogradPoints * chunk * 32;
  if (s.v.size() < v) s.v.resize(v);
  if (s.m.size() < m) s.m.resize(m);
}
}  // namespace ka::simd::detail
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_winograd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "compute/simd_half-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// Transforms work on eight channels at a time (every channel count is a multiple of 8).
using DF = hn::CappedTag<float, 8>;
using D16 = hn::Rebind<uint16_t, DF>;
// Whole blocks of 32 output channels in two vectors where the target has 16 lanes.
using DWide = hn::CappedTag<float, 16>;
constexpr size_t kG = 8;  // floats per transform group at most (fewer on narrow targets)

// B^T d for one column of six values (and the same for rows): the input transform.
#define KA_WINO_IN(d0, d1, d2, d3, d4, d5, t0, t1, t2, t3, t4, t5)  \
  const auto t0 = hn::MulAdd(four, d0, hn::NegMulAdd(five, d2, d4)); \
  const auto t1 = hn::NegMulAdd(four, hn::Add(d1, d2), hn::Add(d3, d4)); \
  const auto t2 = hn::MulAdd(four, hn::Sub(d1, d2), hn::Sub(d4, d3)); \
  const auto t3 = hn::MulAdd(two, hn::Sub(d3, d1), hn::Sub(d4, d2)); \
  const auto t4 = hn::MulAdd(two, hn::Sub(d1, d3), hn::Sub(d4, d2)); \
  const auto t5 = hn::MulAdd(four, d1, hn::NegMulAdd(five, d3, d5));

// A^T m for six values: the output transform.
#define KA_WINO_OUT(m0, m1, m2, m3, m4, m5, y0, y1, y2, y3)            \
  const auto s12_##y0 = hn::Add(m1, m2), d12_##y0 = hn::Sub(m1, m2); \
  const auto s34_##y0 = hn::Add(m3, m4), d34_##y0 = hn::Sub(m3, m4); \
  const auto y0 = hn::Add(hn::Add(m0, s12_##y0), s34_##y0);          \
  const auto y1 = hn::MulAdd(two, d34_##y0, d12_##y0);               \
  const auto y2 = hn::MulAdd(four, s34_##y0, s12_##y0);              \
  const auto y3 = hn::Add(hn::MulAdd(eight, d34_##y0, d12_##y0), m5);

// Input row r of a band at p, zeros past the rows the band may read.
HWY_INLINE hn::Vec<DF> LoadIn(DF d, const uint16_t* p, int r, int rowsRead, size_t rowStride) {
  if (r >= rowsRead) return hn::Zero(d);
  return HalfToF32(d, hn::LoadU(D16(), p + static_cast<size_t>(r) * rowStride));
}

// The 36 points of tile windows [t0, t0 + count) into V (tile tb of the chunk at
// v + (point * chunk + tb) * cs). Neighbouring windows share two columns, so each input
// column is transformed down once, into a ring of eight, and each window then across.
void InputTransform(const WinogradBandArgs& a, int t0, int count, int chunk, float* v) {
  const DF d;
  const auto two = hn::Set(d, 2.f), four = hn::Set(d, 4.f), five = hn::Set(d, 5.f);
  HWY_ALIGN float ring[8 * 6 * kG];
  const size_t csz = static_cast<size_t>(a.cs);
  const int rowsRead = a.rows + 2, colsRead = a.w + 2;
  const size_t step = static_cast<size_t>(chunk) * csz;
  for (size_t c = 0; c < csz; c += hn::Lanes(d)) {
    for (int tb = 0; tb < count; ++tb) {
      for (int j = tb == 0 ? 0 : 2; j < 6; ++j) {
        const int col = kWinogradTile * tb + j, x = kWinogradTile * t0 + col;
        float* q = ring + (col & 7) * 6 * kG;
        if (x >= colsRead) {
          for (int i = 0; i < 6; ++i) hn::Store(hn::Zero(d), d, q + i * kG);
          continue;
        }
        const uint16_t* p = a.in + static_cast<size_t>(x) * csz + c;
        const auto d0 = LoadIn(d, p, 0, rowsRead, a.inRowStride), d1 = LoadIn(d, p, 1, rowsRead, a.inRowStride);
        const auto d2 = LoadIn(d, p, 2, rowsRead, a.inRowStride), d3 = LoadIn(d, p, 3, rowsRead, a.inRowStride);
        const auto d4 = LoadIn(d, p, 4, rowsRead, a.inRowStride), d5 = LoadIn(d, p, 5, rowsRead, a.inRowStride);
        KA_WINO_IN(d0, d1, d2, d3, d4, d5, r0, r1, r2, r3, r4, r5)
        hn::Store(r0, d, q);
        hn::Store(r1, d, q + kG);
        hn::Store(r2, d, q + 2 * kG);
        hn::Store(r3, d, q + 3 * kG);
        hn::Store(r4, d, q + 4 * kG);
        hn::Store(r5, d, q + 5 * kG);
      }
      const int c0 = kWinogradTile * tb;
      const float* q0 = ring + (c0 & 7) * 6 * kG;
      const float* q1 = ring + ((c0 + 1) & 7) * 6 * kG;
      const float* q2 = ring + ((c0 + 2) & 7) * 6 * kG;
      const float* q3 = ring + ((c0 + 3) & 7) * 6 * kG;
      const float* q4 = ring + ((c0 + 4) & 7) * 6 * kG;
      const float* q5 = ring + ((c0 + 5) & 7) * 6 * kG;
      for (int i = 0; i < 6; ++i) {
        const size_t k = static_cast<size_t>(i) * kG;
        const auto e0 = hn::Load(d, q0 + k), e1 = hn::Load(d, q1 + k), e2 = hn::Load(d, q2 + k);
        const auto e3 = hn::Load(d, q3 + k), e4 = hn::Load(d, q4 + k), e5 = hn::Load(d, q5 + k);
        KA_WINO_IN(e0, e1, e2, e3, e4, e5, u0, u1, u2, u3, u4, u5)
        float* o = v + (static_cast<size_t>(i * 6) * chunk + tb) * csz + c;
        hn::StoreU(u0, d, o);
        hn::StoreU(u1, d, o + step);
        hn::StoreU(u2, d, o + 2 * step);
        hn::StoreU(u3, d, o + 3 * step);
        hn::StoreU(u4, d, o + 4 * step);
        hn::StoreU(u5, d, o + 5 * step);
      }
    }
  }
}

// P (1..6) tiles times two vectors of output channels of one point: the products
// summed over the input channels. (Named accumulators, not arrays: scalable vectors
// cannot be array elements.)
template <class D, int P>
HWY_INLINE void Gemm2(const float* v, size_t cs, const float* u, int bw, float* m, int c0) {
  const D d;
  const size_t N = hn::Lanes(d);
  auto a00 = hn::Zero(d), a01 = a00, a10 = a00, a11 = a00, a20 = a00, a21 = a00;
  auto a30 = a00, a31 = a00, a40 = a00, a41 = a00, a50 = a00, a51 = a00;
  for (size_t ci = 0; ci < cs; ++ci) {
    const auto w0 = hn::LoadU(d, u + ci * bw + c0), w1 = hn::LoadU(d, u + ci * bw + c0 + N);
#define KA_WINO_STEP(p, A0, A1)                     \
  if constexpr (P > (p)) {                          \
    const auto x = hn::Set(d, v[(p) * cs + ci]);     \
    A0 = hn::MulAdd(x, w0, A0);                     \
    A1 = hn::MulAdd(x, w1, A1);                     \
  }
    KA_WINO_STEP(0, a00, a01)
    KA_WINO_STEP(1, a10, a11)
    KA_WINO_STEP(2, a20, a21)
    KA_WINO_STEP(3, a30, a31)
    KA_WINO_STEP(4, a40, a41)
    KA_WINO_STEP(5, a50, a51)
#undef KA_WINO_STEP
  }
  float* o = m + c0;
  hn::StoreU(a00, d, o), hn::StoreU(a01, d, o + N);
  if constexpr (P > 1) hn::StoreU(a10, d, o + bw), hn::StoreU(a11, d, o + bw + N);
  if constexpr (P > 2) hn::StoreU(a20, d, o + 2 * bw), hn::StoreU(a21, d, o + 2 * bw + N);
  if constexpr (P > 3) hn::StoreU(a30, d, o + 3 * bw), hn::StoreU(a31, d, o + 3 * bw + N);
  if constexpr (P > 4) hn::StoreU(a40, d, o + 4 * bw), hn::StoreU(a41, d, o + 4 * bw + N);
  if constexpr (P > 5) hn::StoreU(a50, d, o + 5 * bw), hn::StoreU(a51, d, o + 5 * bw + N);
}

// P tiles times one vector of output channels.
template <int P>
HWY_INLINE void Gemm1(const float* v, size_t cs, const float* u, int bw, float* m, int c0) {
  const DF d;
  auto a0 = hn::Zero(d), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0;
  for (size_t ci = 0; ci < cs; ++ci) {
    const auto w0 = hn::LoadU(d, u + ci * bw + c0);
    a0 = hn::MulAdd(hn::Set(d, v[ci]), w0, a0);
    if constexpr (P > 1) a1 = hn::MulAdd(hn::Set(d, v[cs + ci]), w0, a1);
    if constexpr (P > 2) a2 = hn::MulAdd(hn::Set(d, v[2 * cs + ci]), w0, a2);
    if constexpr (P > 3) a3 = hn::MulAdd(hn::Set(d, v[3 * cs + ci]), w0, a3);
    if constexpr (P > 4) a4 = hn::MulAdd(hn::Set(d, v[4 * cs + ci]), w0, a4);
    if constexpr (P > 5) a5 = hn::MulAdd(hn::Set(d, v[5 * cs + ci]), w0, a5);
  }
  float* o = m + c0;
  hn::StoreU(a0, d, o);
  if constexpr (P > 1) hn::StoreU(a1, d, o + bw);
  if constexpr (P > 2) hn::StoreU(a2, d, o + 2 * bw);
  if constexpr (P > 3) hn::StoreU(a3, d, o + 3 * bw);
  if constexpr (P > 4) hn::StoreU(a4, d, o + 4 * bw);
  if constexpr (P > 5) hn::StoreU(a5, d, o + 5 * bw);
}

// P tiles of one point and one block of bw output channels.
template <int P>
void GemmTiles(const float* v, size_t cs, const float* u, int bw, float* m) {
  const size_t N = hn::Lanes(DF());
  if (bw == 32 && hn::MaxLanes(DWide()) == 16 && hn::Lanes(DWide()) == 16) {
    Gemm2<DWide, P>(v, cs, u, bw, m, 0);
    return;
  }
  for (int c0 = 0; c0 < bw;) {
    if (static_cast<size_t>(bw - c0) >= 2 * N) {
      Gemm2<DF, P>(v, cs, u, bw, m, c0);
      c0 += 2 * static_cast<int>(N);
    } else {
      Gemm1<P>(v, cs, u, bw, m, c0);
      c0 += static_cast<int>(N);
    }
  }
}

// M for every point of the chunk's first `count` tiles and one block of bw output
// channels.
void Products(const float* v, int cs, int chunk, int count, const float* ublock, int bw, float* m) {
  const size_t csz = static_cast<size_t>(cs);
  constexpr int S = detail::kWinogradStep;
  for (int pt = 0; pt < kWinogradPoints; ++pt) {
    const float* vp = v + static_cast<size_t>(pt) * chunk * csz;
    const float* up = ublock + static_cast<size_t>(pt) * csz * bw;
    float* mp = m + static_cast<size_t>(pt) * chunk * bw;
    int t = 0;
    for (; t + S <= count; t += S) GemmTiles<S>(vp + t * csz, csz, up, bw, mp + static_cast<size_t>(t) * bw);
    const float* vt = vp + t * csz;
    float* mt = mp + static_cast<size_t>(t) * bw;
    switch (count - t) {
      case 5: GemmTiles<5>(vt, csz, up, bw, mt); break;
      case 4: GemmTiles<4>(vt, csz, up, bw, mt); break;
      case 3: GemmTiles<3>(vt, csz, up, bw, mt); break;
      case 2: GemmTiles<2>(vt, csz, up, bw, mt); break;
      case 1: GemmTiles<1>(vt, csz, up, bw, mt); break;
      default: break;
    }
  }
}

// Output pixel col of a tile row (o at its first pixel) unless past the row's end:
// bias, ReLU, one rounding.
HWY_INLINE void Put(DF d, hn::Vec<DF> y, hn::Vec<DF> bias, const WinogradBandArgs& a, size_t o, int col, int cols) {
  if (col >= cols) return;
  y = hn::Add(y, bias);
  if (a.relu) y = hn::Max(y, hn::Zero(d));
  const size_t at = o + static_cast<size_t>(col) * a.outPixelStride;
  if (a.outF32) hn::StoreU(y, d, a.outF32 + at);
  else hn::StoreU(F32ToHalf(d, y), D16(), a.outF16 + at);
}

// Tiles [t0, t0 + count) of one block back from M to pixels: bias, ReLU, one rounding.
void OutputTransform(const WinogradBandArgs& a, const float* m, int chunk, int t0, int count, int bw, int ochan) {
  const DF d;
  const auto two = hn::Set(d, 2.f), four = hn::Set(d, 4.f), eight = hn::Set(d, 8.f);
  HWY_ALIGN float tmp[24 * kG];
  for (int tb = 0; tb < count; ++tb) {
    const int x0 = (t0 + tb) * kWinogradTile;
    const int cols = a.w - x0 < kWinogradTile ? a.w - x0 : kWinogradTile;
    for (int c = 0; c < bw; c += static_cast<int>(hn::Lanes(d))) {
      const float* q = m + static_cast<size_t>(tb) * bw + c;
      const size_t step = static_cast<size_t>(chunk) * bw;
      for (int j = 0; j < 6; ++j) {
        const float* p = q + static_cast<size_t>(j) * step;
        const auto m0 = hn::LoadU(d, p), m1 = hn::LoadU(d, p + 6 * step), m2 = hn::LoadU(d, p + 12 * step);
        const auto m3 = hn::LoadU(d, p + 18 * step), m4 = hn::LoadU(d, p + 24 * step), m5 = hn::LoadU(d, p + 30 * step);
        KA_WINO_OUT(m0, m1, m2, m3, m4, m5, r0, r1, r2, r3)
        hn::Store(r0, d, tmp + (0 * 6 + j) * kG);
        hn::Store(r1, d, tmp + (1 * 6 + j) * kG);
        hn::Store(r2, d, tmp + (2 * 6 + j) * kG);
        hn::Store(r3, d, tmp + (3 * 6 + j) * kG);
      }
      const auto bias = hn::LoadU(d, a.bias + ochan + c);
      for (int r = 0; r < a.rows; ++r) {
        const float* e = tmp + r * 6 * kG;
        const auto e0 = hn::Load(d, e), e1 = hn::Load(d, e + kG), e2 = hn::Load(d, e + 2 * kG);
        const auto e3 = hn::Load(d, e + 3 * kG), e4 = hn::Load(d, e + 4 * kG), e5 = hn::Load(d, e + 5 * kG);
        KA_WINO_OUT(e0, e1, e2, e3, e4, e5, z0, z1, z2, z3)
        const size_t o = static_cast<size_t>(r) * a.outRowStride + static_cast<size_t>(x0) * a.outPixelStride +
                         static_cast<size_t>(ochan + c);
        Put(d, z0, bias, a, o, 0, cols);
        Put(d, z1, bias, a, o, 1, cols);
        Put(d, z2, bias, a, o, 2, cols);
        Put(d, z3, bias, a, o, 3, cols);
      }
    }
  }
}

#undef KA_WINO_IN
#undef KA_WINO_OUT

void WinogradBand(const WinogradBandArgs& a) {
  detail::winogradGrow(a.w, a.cs);
  detail::WinogradScratch& s = detail::winogradScratch();
  const int tiles = detail::winogradTiles(a.w);
  const int chunk = detail::winogradChunk(a.w, a.cs);
  for (int t0 = 0; t0 < tiles; t0 += chunk) {
    const int count = tiles - t0 < chunk ? tiles - t0 : chunk;
    InputTransform(a, t0, count, chunk, s.v.data());
    for (int b = 0; 32 * b < a.coutPadded; ++b) {
      const int bw = a.coutPadded - 32 * b < 32 ? a.coutPadded - 32 * b : 32;
      const float* ublock = a.weight + static_cast<size_t>(kWinogradPoints) * a.cs * 32 * b;
      Products(s.v.data(), a.cs, chunk, count, ublock, bw, s.m.data());
      OutputTransform(a, s.m.data(), chunk, t0, count, bw, 32 * b);
    }
  }
}

}  // namespace

void WinogradBandExport(const WinogradBandArgs& a) { WinogradBand(a); }

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(WinogradBandExport);

void winogradBand(const WinogradBandArgs& args) { HWY_DYNAMIC_DISPATCH(WinogradBandExport)(args); }

void winogradReserve(int w, int cs) { detail::winogradGrow(w, cs); }

void winogradPackWeights(const uint16_t* packed, int cinStored, int coutPadded, float* out) {
  // G g G^T with G the 6 x 3 kernel transform for the points 0, 1, -1, 2, -2 and infinity.
  static const double G[6][3] = {{1.0 / 4, 0, 0},
                                 {-1.0 / 6, -1.0 / 6, -1.0 / 6},
                                 {-1.0 / 6, 1.0 / 6, -1.0 / 6},
                                 {1.0 / 24, 1.0 / 12, 1.0 / 6},
                                 {1.0 / 24, -1.0 / 12, 1.0 / 6},
                                 {0, 0, 1}};
  const size_t cs = static_cast<size_t>(cinStored);
  for (int b = 0; 32 * b < coutPadded; ++b) {
    const int bw = coutPadded - 32 * b < 32 ? coutPadded - 32 * b : 32;
    const uint16_t* src = packed + static_cast<size_t>(32) * b * cs * 9;
    float* dst = out + static_cast<size_t>(kWinogradPoints) * cs * 32 * b;
    for (size_t ci = 0; ci < cs; ++ci)
      for (int j = 0; j < bw; ++j) {
        double g[3][3], gt[6][3];
        for (int t = 0; t < 9; ++t) {
          float f;
          halfToFloat(&src[(static_cast<size_t>(t) * cs + ci) * bw + j], &f, 1);
          g[t / 3][t % 3] = f;
        }
        for (int i = 0; i < 6; ++i)
          for (int k = 0; k < 3; ++k) gt[i][k] = G[i][0] * g[0][k] + G[i][1] * g[1][k] + G[i][2] * g[2][k];
        for (int i = 0; i < 6; ++i)
          for (int k = 0; k < 6; ++k)
            dst[(static_cast<size_t>(i * 6 + k) * cs + ci) * bw + j] =
                static_cast<float>(gt[i][0] * G[k][0] + gt[i][1] * G[k][1] + gt[i][2] * G[k][2]);
      }
  }
}

}  // namespace ka::simd
#endif  // HWY_ONCE
