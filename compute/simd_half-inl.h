// Per-target half <-> float conversion used by every kernel that touches halves.
// Included after hwy/highway.h in each target pass, so it has a toggle guard instead of
// an ordinary include guard.
#if defined(KA_COMPUTE_SIMD_HALF_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef KA_COMPUTE_SIMD_HALF_INL_H_
#undef KA_COMPUTE_SIMD_HALF_INL_H_
#else
#define KA_COMPUTE_SIMD_HALF_INL_H_
#endif

#include <cstdint>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Targets whose conversion instructions round to nearest even, keep subnormals and
// quiet NaNs with their payload: F16C from AVX2 up and every AArch64 target. Highway's
// portable fallback on the other targets truncates and clamps, so those use the
// integer version below, which gives the same bits.
#if (HWY_ARCH_X86 && (HWY_TARGET & (HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL)) && \
     !defined(HWY_DISABLE_F16C)) ||                                          \
    (HWY_ARCH_ARM_A64 &&                                                     \
     (HWY_TARGET & (HWY_NEON | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)))
inline constexpr bool kHardwareHalf = true;
#else
inline constexpr bool kHardwareHalf = false;
#endif

// Half bits (one u16 lane per float lane of df) to float.
template <class DF>
HWY_INLINE hn::Vec<DF> HalfToF32(DF df, hn::Vec<hn::Rebind<uint16_t, DF>> h) {
  if constexpr (kHardwareHalf) {
    const hn::Rebind<hwy::float16_t, DF> dh;
    return hn::PromoteTo(df, hn::BitCast(dh, h));
  } else {
    const hn::RebindToUnsigned<DF> du;
    const hn::RebindToSigned<DF> di;
    const auto bits = hn::PromoteTo(du, h);
    const auto sign = hn::ShiftLeft<16>(hn::And(bits, hn::Set(du, 0x8000u)));
    const auto expo = hn::And(bits, hn::Set(du, 0x7C00u));
    const auto mant = hn::And(bits, hn::Set(du, 0x3FFu));
    // Normal: move exponent and mantissa into place and rebias by 127 - 15.
    const auto normal = hn::Add(hn::ShiftLeft<13>(hn::And(bits, hn::Set(du, 0x7FFFu))),
                                hn::Set(du, 112u << 23));
    // Subnormal and zero: mantissa * 2^-24, exact in single precision.
    const auto sub = hn::BitCast(
        du, hn::Mul(hn::ConvertTo(df, hn::BitCast(di, mant)), hn::Set(df, 0x1.0p-24f)));
    // Infinity and NaN; a NaN comes out quiet with its payload, as the hardware does.
    const auto quiet = hn::IfThenElseZero(hn::Ne(mant, hn::Zero(du)), hn::Set(du, 0x400000u));
    const auto special =
        hn::Or(hn::Or(hn::Set(du, 0x7F800000u), hn::ShiftLeft<13>(mant)), quiet);
    auto mag = hn::IfThenElse(hn::Eq(expo, hn::Zero(du)), sub, normal);
    mag = hn::IfThenElse(hn::Eq(expo, hn::Set(du, 0x7C00u)), special, mag);
    return hn::BitCast(df, hn::Or(sign, mag));
  }
}

// Float to half bits: nearest even, subnormals, signed zero below half the smallest
// subnormal, signed infinity on overflow, NaN quiet with its top payload bits.
template <class DF>
HWY_INLINE hn::Vec<hn::Rebind<uint16_t, DF>> F32ToHalf(DF df, hn::Vec<DF> v) {
  const hn::Rebind<uint16_t, DF> d16;
  if constexpr (kHardwareHalf) {
    const hn::Rebind<hwy::float16_t, DF> dh;
    return hn::BitCast(d16, hn::DemoteTo(dh, v));
  } else {
    const hn::RebindToUnsigned<DF> du;
    const hn::RebindToSigned<DF> di;
    const auto bits = hn::BitCast(du, v);
    const auto sign = hn::ShiftRight<16>(hn::And(bits, hn::Set(du, 0x80000000u)));
    const auto abs = hn::And(bits, hn::Set(du, 0x7FFFFFFFu));
    const auto absi = hn::BitCast(di, abs);  // below 2^31, so signed compares are safe
    // Normal range: drop 13 mantissa bits, adding 0xFFF plus the lowest kept bit so that
    // ties go to even. A carry out of the mantissa bumps the exponent, which is what
    // rounding up must do (65520 becomes infinity).
    const auto odd = hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 1u));
    const auto normal = hn::ShiftRight<13>(
        hn::Add(hn::Add(hn::Sub(abs, hn::Set(du, 112u << 23)), hn::Set(du, 0xFFFu)), odd));
    // Below 2^-14: adding 0.5 puts the value on the 2^-24 grid with the FPU's own
    // round-to-nearest-even; the bits above 0.5 are the subnormal mantissa (a carry to
    // 0x400 is the smallest normal, which is also right).
    const auto sub = hn::Sub(hn::BitCast(du, hn::Add(hn::BitCast(df, abs), hn::Set(df, 0.5f))),
                             hn::Set(du, 0x3F000000u));
    const auto nan = hn::Or(hn::Set(du, 0x7E00u), hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 0x3FFu)));
    auto mag = hn::IfThenElse(hn::RebindMask(du, hn::Lt(absi, hn::Set(di, 0x38800000))), sub, normal);
    mag = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absi, hn::Set(di, 0x477FFFFF))),
                         hn::Set(du, 0x7C00u), mag);
    mag = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absi, hn::Set(di, 0x7F800000))), nan, mag);
    return hn::DemoteTo(d16, hn::BitCast(di, hn::Or(sign, mag)));
  }
}

// float(half(v)): the rounding a half-precision reference applies at every step.
template <class DF>
HWY_INLINE hn::Vec<DF> RoundToHalf(DF df, hn::Vec<DF> v) {
  return HalfToF32(df, F32ToHalf(df, v));
}

}  // namespace ka::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // KA_COMPUTE_SIMD_HALF_INL_H_
