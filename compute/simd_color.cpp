// Colour conversion kernel: limited-range BT.601 4:2:0 rows to RGB24.
#include <cstring>

#include "compute/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/simd_color.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// R, G and B bytes for one quarter of a block, in 32-bit lanes: the sums can exceed 16
// bits. The saturating demotion is exactly "negative gives 0, above 255 gives 255".
template <class DQ>
HWY_INLINE void YuvQuarter(DQ dq, hn::Vec<DQ> y, hn::Vec<DQ> u, hn::Vec<DQ> v, hn::Vec<DQ>& r,
                           hn::Vec<DQ>& g, hn::Vec<DQ>& b) {
  const hn::Rebind<int32_t, DQ> di;
  const auto Y = hn::Add(hn::Mul(hn::PromoteTo(di, y), hn::Set(di, 298)), hn::Set(di, 128 - 298 * 16));
  const auto U = hn::Sub(hn::PromoteTo(di, u), hn::Set(di, 128));
  const auto V = hn::Sub(hn::PromoteTo(di, v), hn::Set(di, 128));
  const auto R = hn::Add(Y, hn::Mul(V, hn::Set(di, 409)));
  const auto G = hn::Sub(Y, hn::Add(hn::Mul(U, hn::Set(di, 100)), hn::Mul(V, hn::Set(di, 208))));
  const auto B = hn::Add(Y, hn::Mul(U, hn::Set(di, 516)));
  r = hn::DemoteTo(dq, hn::ShiftRight<8>(R));
  g = hn::DemoteTo(dq, hn::ShiftRight<8>(G));
  b = hn::DemoteTo(dq, hn::ShiftRight<8>(B));
}

#if HWY_TARGET != HWY_SCALAR
template <class DH>
HWY_INLINE void YuvHalf(DH dh, hn::Vec<DH> y, hn::Vec<DH> u, hn::Vec<DH> v, hn::Vec<DH>& r,
                        hn::Vec<DH>& g, hn::Vec<DH>& b) {
  const hn::Half<DH> dq;
  hn::Vec<decltype(dq)> r0, g0, b0, r1, g1, b1;
  YuvQuarter(dq, hn::LowerHalf(dq, y), hn::LowerHalf(dq, u), hn::LowerHalf(dq, v), r0, g0, b0);
  YuvQuarter(dq, hn::UpperHalf(dq, y), hn::UpperHalf(dq, u), hn::UpperHalf(dq, v), r1, g1, b1);
  r = hn::Combine(dh, r1, r0);
  g = hn::Combine(dh, g1, g0);
  b = hn::Combine(dh, b1, b0);
}

// Lanes(d8) pixels; u and v hold one chroma byte per pixel (already repeated per pair).
template <class D8>
HWY_INLINE void YuvBlock(D8 d8, hn::Vec<D8> y, hn::Vec<D8> u, hn::Vec<D8> v, uint8_t* rgb) {
  const hn::Half<D8> dh;
  hn::Vec<decltype(dh)> r0, g0, b0, r1, g1, b1;
  YuvHalf(dh, hn::LowerHalf(dh, y), hn::LowerHalf(dh, u), hn::LowerHalf(dh, v), r0, g0, b0);
  YuvHalf(dh, hn::UpperHalf(dh, y), hn::UpperHalf(dh, u), hn::UpperHalf(dh, v), r1, g1, b1);
  hn::StoreInterleaved3(hn::Combine(d8, r1, r0), hn::Combine(d8, g1, g0), hn::Combine(d8, b1, b0),
                        d8, rgb);
}

// Lanes(d8)/2 consecutive chroma bytes, each repeated for its pixel pair.
template <class D8>
HWY_INLINE hn::Vec<D8> PairsFromPlanar(D8 d8, const uint8_t* c) {
  const hn::Half<D8> dh;
  const hn::Repartition<uint16_t, D8> d16;
  const auto w = hn::PromoteTo(d16, hn::LoadU(dh, c));
  return hn::BitCast(d8, hn::Or(w, hn::ShiftLeft<8>(w)));
}

// Every other byte of Lanes(d8) bytes (interleaved chroma), repeated per pixel pair.
template <class D8>
HWY_INLINE hn::Vec<D8> PairsFromStride2(D8 d8, const uint8_t* c) {
  const hn::Repartition<uint16_t, D8> d16;
  const auto w = hn::And(hn::BitCast(d16, hn::LoadU(d8, c)), hn::Set(d16, 0x00FF));
  return hn::BitCast(d8, hn::Or(w, hn::ShiftLeft<8>(w)));
}

// Pixels [x, x + count) (count <= Lanes(d8), x even) through a local planar copy: used
// for the row's tail and for chroma steps other than 1 and 2.
template <class D8>
HWY_INLINE void YuvGathered(D8 d8, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                            int chromaStep, int x, int count, uint8_t* rgb) {
  HWY_ALIGN uint8_t yb[HWY_MAX_BYTES] = {};
  HWY_ALIGN uint8_t ub[HWY_MAX_BYTES] = {};
  HWY_ALIGN uint8_t vb[HWY_MAX_BYTES] = {};
  HWY_ALIGN uint8_t out[3 * HWY_MAX_BYTES];
  std::memcpy(yb, y + x, static_cast<size_t>(count));
  const size_t step = static_cast<size_t>(chromaStep);
  const size_t first = static_cast<size_t>(x >> 1);
  for (int j = 0; j < (count + 1) / 2; ++j) {
    ub[j] = u[(first + static_cast<size_t>(j)) * step];
    vb[j] = v[(first + static_cast<size_t>(j)) * step];
  }
  YuvBlock(d8, hn::Load(d8, yb), PairsFromPlanar(d8, ub), PairsFromPlanar(d8, vb), out);
  std::memcpy(rgb + 3 * static_cast<size_t>(x), out, 3 * static_cast<size_t>(count));
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace

#if HWY_TARGET == HWY_SCALAR
// Single-lane target: there are no half vectors to split bytes into, so every pixel
// goes through the 32-bit lane arithmetic on its own.
void Yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                      int chromaStep, uint8_t* rgb) {
  const hn::CappedTag<uint8_t, 1> d1;
  for (int x = 0; x < width; ++x) {
    const size_t ci = static_cast<size_t>(x >> 1) * static_cast<size_t>(chromaStep);
    hn::Vec<decltype(d1)> r, g, b;
    YuvQuarter(d1, hn::LoadU(d1, y + x), hn::LoadU(d1, u + ci), hn::LoadU(d1, v + ci), r, g, b);
    hn::StoreU(r, d1, rgb + 3 * x);
    hn::StoreU(g, d1, rgb + 3 * x + 1);
    hn::StoreU(b, d1, rgb + 3 * x + 2);
  }
}
#else
void Yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                      int chromaStep, uint8_t* rgb) {
  const hn::ScalableTag<uint8_t> d8;
  const int lanes = static_cast<int>(hn::Lanes(d8));
  int x = 0;
  if (chromaStep == 1) {
    for (; x + lanes <= width; x += lanes) {
      YuvBlock(d8, hn::LoadU(d8, y + x), PairsFromPlanar(d8, u + x / 2),
               PairsFromPlanar(d8, v + x / 2), rgb + 3 * x);
    }
  } else if (chromaStep == 2) {
    // A block reads one chroma byte past its last pair; that byte is still inside the
    // row while a further pixel follows the block.
    for (; x + lanes < width; x += lanes) {
      YuvBlock(d8, hn::LoadU(d8, y + x), PairsFromStride2(d8, u + x), PairsFromStride2(d8, v + x),
               rgb + 3 * x);
    }
  }
  for (; x < width; x += lanes) {
    YuvGathered(d8, y, u, v, chromaStep, x, width - x < lanes ? width - x : lanes, rgb);
  }
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka::simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                      int chromaStep, uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}

}  // namespace ka::simd
#endif  // HWY_ONCE
