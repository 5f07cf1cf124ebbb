// Half conversions: every half to float, float to half over the rounding boundaries and
// millions of random values, against the processor's own conversion instructions where
// present and an independent double-precision reference.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "compute/simd.h"
#include "tests/test_simd_reference.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KA_TEST_HAVE_X86 1
#endif

namespace {

using ka::test::bitsFloat;
using ka::test::floatBits;
using ka::test::halfOf;
using ka::test::halfValue;

#if KA_TEST_HAVE_X86
__attribute__((target("f16c"))) uint16_t hwHalf(float f) {
  return static_cast<uint16_t>(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT));
}
__attribute__((target("f16c"))) float hwFloat(uint16_t h) { return _cvtsh_ss(h); }
bool haveHw() { return __builtin_cpu_supports("f16c"); }
#else
uint16_t hwHalf(float) { return 0; }
float hwFloat(uint16_t) { return 0; }
bool haveHw() { return false; }
#endif

std::vector<float> boundaryFloats() {
  std::vector<float> v = {
      0.0f, 1.0f, 65504.0f, 65519.996f, 65520.0f, 65536.0f, 1e10f,
      std::ldexp(1.0f, -24),                                   // smallest subnormal
      std::ldexp(1.0f, -25),                                   // half of it: tie to 0
      std::nextafter(std::ldexp(1.0f, -25), 1.0f),             // just above: rounds up
      std::ldexp(3.0f, -25),                                   // 1.5 ulp: tie to 2
      std::ldexp(5.0f, -25),                                   // 2.5 ulp: tie to 2
      std::ldexp(1.0f, -14),                                   // smallest normal
      std::nextafter(std::ldexp(1.0f, -14), 0.0f),             // rounds up to it
      std::ldexp(1023.5f, -24),                                // tie at the top of subnormals
      1.0f + std::ldexp(1.0f, -11),                            // tie to even (down)
      1.0f + std::ldexp(3.0f, -11),                            // tie to even (up)
      1.0f + std::ldexp(1.0f, -11) + std::ldexp(1.0f, -20),    // just above a tie
      2047.5f, 2048.5f, 4095.0f,
      std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
      std::numeric_limits<float>::max(), std::numeric_limits<float>::infinity(),
  };
  const size_t n = v.size();
  for (size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  return v;
}

std::vector<float> nanFloats() {
  return {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
          bitsFloat(0x7F800001u),  // signalling, payload below the half's reach
          bitsFloat(0xFFA02000u), bitsFloat(0x7FBFFFFFu), bitsFloat(0x7FC0E000u)};
}

// Random bit patterns over every exponent plus values spread over the half range.
std::vector<float> randomFloats(size_t n) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<uint32_t> bits;
  std::uniform_real_distribution<float> expo(-26.0f, 16.5f);
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    if (i % 2) v[i] = bitsFloat(bits(rng));
    else v[i] = (bits(rng) & 1 ? -1.0f : 1.0f) * std::exp2(expo(rng));
  }
  return v;
}

TEST(HalfReference, AgreesWithTheConversionInstructions) {
  if (!haveHw()) GTEST_SKIP() << "no F16C conversion instructions here";
  for (uint32_t h = 0; h < 65536; ++h) {
    const float f = hwFloat(static_cast<uint16_t>(h));
    if (std::isnan(f)) continue;
    ASSERT_EQ(static_cast<double>(f), halfValue(static_cast<uint16_t>(h))) << std::hex << h;
  }
  for (float f : randomFloats(1 << 20)) ASSERT_EQ(hwHalf(f), halfOf(f)) << std::hexfloat << f;
  for (float f : boundaryFloats()) ASSERT_EQ(hwHalf(f), halfOf(f)) << std::hexfloat << f;
  for (float f : nanFloats()) ASSERT_EQ(hwHalf(f), halfOf(f)) << std::hex << floatBits(f);
}

// Bits of float(h): exact value, NaN quiet with the half's payload in the top bits.
uint32_t expectedFloatBits(uint16_t h) {
  const double v = halfValue(h);
  if (!std::isnan(v)) return floatBits(static_cast<float>(v));
  return (static_cast<uint32_t>(h & 0x8000u) << 16) | 0x7FC00000u | (static_cast<uint32_t>(h & 0x3FFu) << 13);
}

TEST(ScalarHalf, EveryHalfToFloat) {
  std::vector<uint16_t> all(65536);
  for (uint32_t h = 0; h < 65536; ++h) all[h] = static_cast<uint16_t>(h);
  std::vector<float> out(all.size());
  ka::halfToFloat(all.data(), out.data(), all.size());
  for (uint32_t h = 0; h < 65536; ++h) {
    ASSERT_EQ(floatBits(out[h]), expectedFloatBits(static_cast<uint16_t>(h))) << std::hex << h;
    if (haveHw()) {
      ASSERT_EQ(floatBits(out[h]), floatBits(hwFloat(static_cast<uint16_t>(h)))) << std::hex << h;
    }
  }
}

TEST(ScalarHalf, FloatToHalfRoundsAndTurnsNanIntoInfinity) {
  EXPECT_EQ(ka::f32ToF16(65504.0f), 0x7BFFu);
  EXPECT_EQ(ka::f32ToF16(65520.0f), 0x7C00u);
  EXPECT_EQ(ka::f32ToF16(-65520.0f), 0xFC00u);
  EXPECT_EQ(ka::f32ToF16(std::ldexp(1.0f, -24)), 0x0001u);
  EXPECT_EQ(ka::f32ToF16(std::ldexp(1.0f, -25)), 0x0000u);
  EXPECT_EQ(ka::f32ToF16(-std::ldexp(1.0f, -26)), 0x8000u);
  for (float f : nanFloats()) {
    EXPECT_EQ(ka::f32ToF16(f), (floatBits(f) >> 16 & 0x8000u) | 0x7C00u) << std::hex << floatBits(f);
  }
  std::vector<float> all = boundaryFloats();
  const std::vector<float> rnd = randomFloats(1 << 21);
  all.insert(all.end(), rnd.begin(), rnd.end());
  for (float f : all) {
    if (std::isnan(f)) continue;
    ASSERT_EQ(ka::f32ToF16(f), halfOf(f)) << std::hexfloat << f;
  }
}

using HalfKernels = ka::test::PerTarget;
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(HalfKernels);

TEST_P(HalfKernels, EveryHalfToFloat) {
  std::vector<uint16_t> all(65536);
  for (uint32_t h = 0; h < 65536; ++h) all[h] = static_cast<uint16_t>(h);
  std::vector<float> out(all.size());
  ka::simd::f16ToF32(all.data(), out.data(), all.size());
  EXPECT_STREQ(ka::simd::target(), hwy::TargetName(GetParam()));
  for (uint32_t h = 0; h < 65536; ++h) {
    ASSERT_EQ(floatBits(out[h]), expectedFloatBits(static_cast<uint16_t>(h))) << std::hex << h;
  }
}

TEST_P(HalfKernels, FloatToHalfOverBoundariesNansAndRandomValues) {
  std::vector<float> in = boundaryFloats();
  const std::vector<float> nans = nanFloats();
  const std::vector<float> rnd = randomFloats(1 << 21);
  in.insert(in.end(), nans.begin(), nans.end());
  in.insert(in.end(), rnd.begin(), rnd.end());
  std::vector<uint16_t> out(in.size());
  ka::simd::f32ToF16(in.data(), out.data(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(out[i], halfOf(in[i])) << std::hexfloat << in[i] << " at " << i;
    // The scalar conversion differs only for NaN.
    if (!std::isnan(in[i])) {
      ASSERT_EQ(out[i], ka::f32ToF16(in[i]));
    }
  }
}

TEST_P(HalfKernels, RoundTripIsIdentityForEveryNonNanHalf) {
  std::vector<uint16_t> all(65536);
  for (uint32_t h = 0; h < 65536; ++h) all[h] = static_cast<uint16_t>(h);
  std::vector<float> f(all.size());
  std::vector<uint16_t> back(all.size());
  ka::simd::f16ToF32(all.data(), f.data(), all.size());
  ka::simd::f32ToF16(f.data(), back.data(), f.size());
  for (uint32_t h = 0; h < 65536; ++h) {
    // A NaN keeps its payload and comes back quiet.
    const uint16_t want = ((h & 0x7C00u) == 0x7C00u && (h & 0x3FFu)) ? static_cast<uint16_t>(h | 0x200u)
                                                                     : static_cast<uint16_t>(h);
    ASSERT_EQ(back[h], want) << std::hex << h;
  }
}

}  // namespace
