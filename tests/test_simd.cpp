// Every kernel of ka::simd on every compiled target this processor supports, against
// plain references written here, over sizes that cover the vector body and every tail
// length, with unaligned pointers and guard values around every output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compute/simd.h"
#include "compute/simd_conv_f16.h"
#include "tests/test_simd_reference.h"

namespace {

using ka::test::floatBits;
using ka::test::halfOf;
using ka::test::halfValue;
using ka::test::roundHalf;

// Widest vectors compiled here: 16 floats, 64 bytes (AVX-512). Sizes up to twice that
// plus one reach every tail length of every target.
constexpr size_t kMaxFloatLanes = 16;
constexpr size_t kMaxByteLanes = 64;
constexpr uint16_t kGuard16 = 0xA5A5;
constexpr uint8_t kGuard8 = 0x5A;

std::vector<size_t> sizesUpTo(size_t lanes) {
  std::vector<size_t> s;
  for (size_t n = 0; n <= 2 * lanes + 1; ++n) s.push_back(n);
  s.push_back(1000);
  return s;
}

std::vector<uint16_t> randomHalves(size_t n, std::mt19937& rng, bool finite = true) {
  std::uniform_int_distribution<int> bits(0, 0xFFFF);
  std::vector<uint16_t> v(n);
  for (auto& h : v) {
    do h = static_cast<uint16_t>(bits(rng));
    while (finite && (h & 0x7C00u) == 0x7C00u);
  }
  return v;
}

// Dispatch must land on a vector target of this processor's own family: a processor
// whose features go undetected falls back to the portable emulation or to scalar code
// and still passes every kernel test, only many times slower. And the convolution rows
// sum in half precision exactly where the processor can (KA_TEST_REQUIRE_HALF_ARITH=1
// says this one can; tools/aarch64.sh sets it for the processor it emulates).
TEST(SimdDispatch, LandsOnThisArchitecturesVectorsAndHalfArithmeticWhereThereIsIt) {
  struct Arch {
    bool here;
    std::vector<std::string> targets;
    bool mayHaveHalfArith;
  };
  const Arch arches[] = {
#if defined(__aarch64__)
      {true, {"NEON_WITHOUT_AES", "NEON", "NEON_BF16", "SVE", "SVE2", "SVE_256", "SVE2_128"}, true},
#elif defined(__x86_64__)
      {true, {"SSE2", "SSSE3", "SSE4", "AVX2", "AVX3", "AVX3_DL", "AVX3_ZEN4", "AVX3_SPR"}, false},
#endif
  };
  int checked = 0;
  for (const Arch& a : arches) {
    if (!a.here) continue;
    ++checked;
    const std::string target = ka::simd::target();
    EXPECT_NE(std::find(a.targets.begin(), a.targets.end(), target), a.targets.end())
        << "dispatch landed on " << target;
    const char* require = std::getenv("KA_TEST_REQUIRE_HALF_ARITH");
    const bool half = ka::simd::convF16Arithmetic() == ka::simd::ConvF16Arithmetic::kHalf;
    if (require && std::strcmp(require, "1") == 0) {
      EXPECT_TRUE(half) << "the processor has half arithmetic";
    }
    if (!a.mayHaveHalfArith) {
      EXPECT_FALSE(half);
    }
  }
  if (checked == 0) GTEST_SKIP() << "no vector target family known for this architecture";
}

using SimdKernels = ka::test::PerTarget;
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(SimdKernels);

TEST_P(SimdKernels, ConversionsCoverEveryTailAndOffset) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> val(-70000.0f, 70000.0f);
  for (size_t n : sizesUpTo(kMaxFloatLanes)) {
    for (size_t off = 0; off < 4; ++off) {
      std::vector<float> in(n + off), out(n + off + 8, -1.0f);
      for (auto& f : in) f = val(rng) * (rng() % 2 ? 1.0f : 1e-6f);
      std::vector<uint16_t> h(n + off + 8, kGuard16);
      ka::simd::f32ToF16(in.data() + off, h.data() + off, n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(h[off + i], halfOf(in[off + i])) << n << "/" << i;
      for (size_t i = off + n; i < h.size(); ++i) ASSERT_EQ(h[i], kGuard16) << "wrote past n=" << n;
      for (size_t i = 0; i < off; ++i) ASSERT_EQ(h[i], kGuard16);
      ka::simd::f16ToF32(h.data() + off, out.data() + off, n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[off + i], static_cast<float>(halfValue(h[off + i])));
      for (size_t i = off + n; i < out.size(); ++i) ASSERT_EQ(out[i], -1.0f) << "wrote past n=" << n;
    }
  }
}

TEST_P(SimdKernels, RoundF16MulRoundsOnlyTheFirstFactor) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> val(-3.0f, 3.0f);
  for (size_t n : sizesUpTo(kMaxFloatLanes)) {
    const size_t off = n % 3;
    std::vector<float> a(n + off), b(n + off), out(n + off + 8, -7.0f);
    for (auto& f : a) f = val(rng);
    for (auto& f : b) f = val(rng);
    ka::simd::roundF16Mul(a.data() + off, b.data() + off, out.data() + off, n);
    for (size_t i = off; i < off + n; ++i) ASSERT_EQ(out[i], roundHalf(a[i]) * b[i]);
    for (size_t i = off + n; i < out.size(); ++i) ASSERT_EQ(out[i], -7.0f);
  }
}

TEST_P(SimdKernels, Rgb8ToPlanarF16SplitsScalesAndRounds) {
  std::mt19937 rng(3);
  for (size_t n : sizesUpTo(kMaxByteLanes)) {
    const size_t off = n % 4;
    const size_t stride = n + 5;
    std::vector<uint8_t> rgb(3 * n + off);
    for (auto& c : rgb) c = static_cast<uint8_t>(rng());
    std::vector<uint16_t> dst(3 * stride + 1, kGuard16);
    ka::simd::rgb8ToPlanarF16(rgb.data() + off, dst.data() + 1, stride, n);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < stride; ++i) {
        const uint16_t got = dst[1 + c * stride + i];
        if (i < n) ASSERT_EQ(got, halfOf(rgb[off + 3 * i + c] / 255.0f)) << n << " " << c << " " << i;
        else ASSERT_EQ(got, kGuard16) << "wrote into the plane gap, n=" << n;
      }
    }
    ASSERT_EQ(dst[0], kGuard16);
  }
  // Every byte value: the division is single precision, then one rounding to half.
  std::vector<uint8_t> all(3 * 256);
  for (int i = 0; i < 256; ++i) all[3 * i] = all[3 * i + 1] = all[3 * i + 2] = static_cast<uint8_t>(i);
  std::vector<uint16_t> dst(3 * 256);
  ka::simd::rgb8ToPlanarF16(all.data(), dst.data(), 256, 256);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(dst[512 + i], halfOf(static_cast<float>(i) / 255.0f)) << i;
  EXPECT_EQ(dst[255], 0x3C00u);
}

void yuvReference(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                  uint8_t* rgb) {
  const auto clamp = [](int s) { return static_cast<uint8_t>(s < 0 ? 0 : (s >> 8) > 255 ? 255 : s >> 8); };
  for (int x = 0; x < width; ++x) {
    const int ci = (x / 2) * step;
    const int Y = 298 * (y[x] - 16) + 128, U = u[ci] - 128, V = v[ci] - 128;
    rgb[3 * x] = clamp(Y + 409 * V);
    rgb[3 * x + 1] = clamp(Y - 100 * U - 208 * V);
    rgb[3 * x + 2] = clamp(Y + 516 * U);
  }
}

TEST_P(SimdKernels, Yuv420RowMatchesTheIntegerFormula) {
  std::mt19937 rng(4);
  for (int step : {1, 2, 3}) {
    for (size_t n : sizesUpTo(kMaxByteLanes)) {
      const int width = static_cast<int>(n);
      const size_t chroma = (n + 1) / 2 * static_cast<size_t>(step);
      // Exactly sized inputs (ASan catches any read past the row); NV12 rows for step 2.
      std::vector<uint8_t> y(n), uv(chroma + 1), u(chroma), v(chroma);
      for (auto& b : y) b = static_cast<uint8_t>(rng());
      for (auto& b : uv) b = static_cast<uint8_t>(rng());
      for (auto& b : u) b = static_cast<uint8_t>(rng());
      for (auto& b : v) b = static_cast<uint8_t>(rng());
      const uint8_t* up = step == 2 ? uv.data() : u.data();
      const uint8_t* vp = step == 2 ? uv.data() + 1 : v.data();
      if (step == 2) uv.resize(chroma);  // v reads up to uv[chroma - 1]
      std::vector<uint8_t> want(3 * n), got(3 * n + 3, kGuard8);
      yuvReference(y.data(), up, vp, width, step, want.data());
      ka::simd::yuv420RowToRgb24(y.data(), up, vp, width, step, got.data());
      for (size_t i = 0; i < 3 * n; ++i) ASSERT_EQ(got[i], want[i]) << "step " << step << " width " << n << " byte " << i;
      for (size_t i = 3 * n; i < got.size(); ++i) ASSERT_EQ(got[i], kGuard8);
    }
  }
  // Limited-range black and white; the extremes clamp instead of wrapping.
  const uint8_t ys[4] = {16, 235, 0, 255}, mid[2] = {128, 128}, lo[2] = {0, 0}, hi[2] = {255, 255};
  uint8_t rgb[12];
  ka::simd::yuv420RowToRgb24(ys, mid, mid, 4, 1, rgb);
  EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 6), std::vector<uint8_t>({0, 0, 0, 255, 255, 255}));
  ka::simd::yuv420RowToRgb24(ys, lo, hi, 4, 1, rgb);
  uint8_t want[12];
  yuvReference(ys, lo, hi, 4, 1, want);
  EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 12), std::vector<uint8_t>(want, want + 12));
}

// ---- paste row ----

struct PasteTables {
  std::vector<float> lanczos, bilinear;
  PasteTables() : lanczos(32 * 8), bilinear(32 * 2) {
    const auto sinc = [](double t) { return t == 0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t); };
    for (int p = 0; p < 32; ++p) {
      const double f = p / 32.0;
      double w[8], sum = 0;
      for (int c = 0; c < 8; ++c) {
        const double t = c - 3 - f;
        w[c] = std::fabs(t) < 4 ? sinc(t) * sinc(t / 4) : 0.0;
        sum += w[c];
      }
      for (int c = 0; c < 8; ++c) lanczos[p * 8 + c] = static_cast<float>(w[c] / sum);
      bilinear[2 * p] = static_cast<float>(1 - f);
      bilinear[2 * p + 1] = static_cast<float>(f);
    }
  }
};

enum class PastePath { Skipped, Interior, Border };

// Reference for one pixel in double precision (the coverage sample follows the formula
// in single precision so that its truncation to an integer is decided identically).
PastePath pastePixel(const std::vector<float>& src4, int side, const std::vector<uint8_t>& mask,
                     const PasteTables& t, int ux, int uy, uint8_t* o, double* wantOut) {
  const int ix = ux >> 10, iy = uy >> 10;
  if (ix < -1 || ix >= side || iy < -1 || iy >= side) return PastePath::Skipped;
  const int px = (ux >> 5) & 31, py = (uy >> 5) & 31;
  const auto m = [&](int r, int c) -> float {
    return r < 0 || c < 0 || r >= side || c >= side ? 0.0f : static_cast<float>(mask[r * side + c]);
  };
  const float* bx = &t.bilinear[2 * px];
  const float* by = &t.bilinear[2 * py];
  const float raw = (m(iy, ix) * bx[0] + m(iy, ix + 1) * bx[1]) * by[0] +
                    (m(iy + 1, ix) * bx[0] + m(iy + 1, ix + 1) * bx[1]) * by[1];
  const double alpha = std::trunc(raw) / 255.0;
  if (!(alpha > 0)) return PastePath::Skipped;
  for (int ch = 0; ch < 3; ++ch) {
    double v = 0;
    for (int r = 0; r < 8; ++r) {
      double h = 0;
      for (int c = 0; c < 8; ++c) {
        const int sy = iy - 3 + r, sx = ix - 3 + c;
        if (sy < 0 || sx < 0 || sy >= side || sx >= side) continue;
        h += double(t.lanczos[px * 8 + c]) * src4[(sy * side + sx) * 4 + ch];
      }
      v += double(t.lanczos[py * 8 + r]) * h;
    }
    wantOut[ch] = o[ch] * (1 - alpha) + alpha * v;
  }
  const bool interior = ix >= 3 && iy >= 3 && ix + 4 < side && iy + 4 < side;
  return interior ? PastePath::Interior : PastePath::Border;
}

TEST_P(SimdKernels, PasteRowMatchesTheResampleOnInteriorAndBorder) {
  const PasteTables tables;
  std::mt19937 rng(5);
  const int side = 21;
  std::vector<float> src4(side * side * 4);
  std::uniform_real_distribution<float> val(-40.0f, 300.0f);  // overshoot tests the clamps
  std::vector<uint8_t> mask(side * side);
  for (int r = 0; r < side; ++r) {
    for (int c = 0; c < side; ++c) {
      // Opaque middle, ragged edge, transparent corner.
      mask[r * side + c] = static_cast<uint8_t>(r + c > 32 ? 0 : r < 4 ? rng() % 3 : 255 - rng() % 50);
    }
  }
  const int width = 90, x0 = 7;
  std::vector<int> fx(width), fy(width);
  int counts[3] = {0, 0, 0};
  std::vector<float> spread(ka::simd::kPasteSpreadFloats);
  ka::simd::pasteLanczosSpread(tables.lanczos.data(), spread.data());
  std::vector<float> planes(3 * side * side);
  const float* planePtrs[3] = {planes.data(), planes.data() + side * side, planes.data() + 2 * side * side};
  // A noisy crop, then a flat one over a frame of the same value: there every blended
  // value lies within rounding of an integer, so a change in the order of any pixel's sums
  // changes bytes.
  for (const float flat : {-1.0f, 200.0f}) {
    for (auto& f : src4) f = flat < 0 ? val(rng) : flat;
    for (int i = 0; i < side * side; ++i)
      for (int c = 0; c < 3; ++c) planes[c * side * side + i] = src4[4 * i + c];
    for (int row = -5; row < side + 4; ++row) {
      for (int i = 0; i < width; ++i) {
        fx[i] = i * 301 + static_cast<int>(rng() % 40);
        fy[i] = i * 23 - 900;
      }
      const int dx = -5 * 1024 + 77, dy = row * 1024 + 511;
      std::vector<uint8_t> frame(3 * (x0 + width + 3));
      for (auto& b : frame) b = static_cast<uint8_t>(flat < 0 ? rng() : flat);
      const std::vector<uint8_t> before = frame;
      ka::simd::pasteLanczos8Row(src4.data(), side, mask.data(), tables.lanczos.data(),
                                 tables.bilinear.data(), fx.data(), fy.data(), dx, dy, x0,
                                 x0 + width - 1, frame.data());
      // The prebuilt-table variant (interior pixels in pairs, an odd one last) gives the
      // same bytes.
      std::vector<uint8_t> spreadFrame = before;
      ka::simd::pasteLanczos8RowSpread(src4.data(), side, mask.data(), tables.lanczos.data(), spread.data(),
                                       tables.bilinear.data(), fx.data(), fy.data(), dx, dy, x0, x0 + width - 1,
                                       spreadFrame.data());
      ASSERT_EQ(spreadFrame, frame) << "row " << row;
      // So does the kernel that takes the crop as planes and, on wide targets, resamples
      // eight pixels at a time (runs of eight inside the crop, pixels queued one by one at
      // its border and the mask's edge, a short batch at the row's end).
      std::vector<uint8_t> planarFrame = before;
      ka::simd::pasteLanczos8RowPlanar(planePtrs, src4.data(), side, mask.data(), tables.lanczos.data(),
                                       spread.data(), tables.bilinear.data(), fx.data(), fy.data(), dx, dy, x0,
                                       x0 + width - 1, planarFrame.data());
      ASSERT_EQ(planarFrame, frame) << "row " << row;
      for (int x = 0; x < static_cast<int>(frame.size() / 3); ++x) {
        uint8_t o[3] = {before[3 * x], before[3 * x + 1], before[3 * x + 2]};
        double want[3];
        const bool inRow = x >= x0 && x < x0 + width;
        const PastePath path = inRow ? pastePixel(src4, side, mask, tables, dx + fx[x - x0], dy + fy[x - x0], o, want)
                                     : PastePath::Skipped;
        ++counts[static_cast<int>(path)];
        for (int ch = 0; ch < 3; ++ch) {
          const int got = frame[3 * x + ch];
          if (path == PastePath::Skipped) {
            ASSERT_EQ(got, before[3 * x + ch]) << "row " << row << " x " << x;
            continue;
          }
          const double w = std::isnan(want[ch]) || want[ch] < 0 ? 0 : std::min(255.0, want[ch]);
          // Truncation of a value the targets sum in different orders: one step apart at most.
          ASSERT_LE(std::fabs(got - std::trunc(w)), 1.0) << "row " << row << " x " << x << " ch " << ch << " want " << want[ch];
        }
      }
    }
  }
  EXPECT_GT(counts[static_cast<int>(PastePath::Interior)], 100);
  EXPECT_GT(counts[static_cast<int>(PastePath::Border)], 100);
  EXPECT_GT(counts[static_cast<int>(PastePath::Skipped)], 100);
}

TEST_P(SimdKernels, PasteRowLeavesPixelsWithThinCoverageAlone) {
  const PasteTables tables;
  const int side = 12;
  std::vector<float> src4(side * side * 4, 200.0f);
  std::vector<uint8_t> mask(side * side, 1);  // coverage just below 1 unless on a texel
  std::vector<int> fx(16), fy(16, 5 * 1024 + 16 * 32);
  for (int i = 0; i < 16; ++i) fx[i] = i * 512 + 32;  // always between texels
  std::vector<uint8_t> frame(3 * 16, 9);
  ka::simd::pasteLanczos8Row(src4.data(), side, mask.data(), tables.lanczos.data(), tables.bilinear.data(),
                             fx.data(), fy.data(), 0, 0, 0, 15, frame.data());
  EXPECT_EQ(frame, std::vector<uint8_t>(3 * 16, 9));
}

// ---- unsharp rows ----

// Both row kernels give exactly the scalar loop's bits, vector body and tail alike, with
// the clamp's NaN, negative and overshooting values.
TEST_P(SimdKernels, UnsharpRowsMatchTheScalarLoopBitForBit) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> val(-60.0f, 320.0f);
  for (const int n : {1, 5, 16, 37, 512}) {
    for (const int k : {1, 3, 13}) {
      std::vector<float> g(k), pad(n + k - 1), rows(size_t(k) * (n + 3)), in(n), h(n), v(n);
      for (auto& x : g) x = std::uniform_real_distribution<float>(0.0f, 0.3f)(rng);
      for (auto& x : pad) x = val(rng);
      for (auto& x : rows) x = val(rng);
      for (auto& x : in) x = val(rng);
      in[n / 2] = std::numeric_limits<float>::quiet_NaN();
      ka::simd::unsharpRowH(pad.data(), g.data(), k, n, h.data());
      ka::simd::unsharpRowV(rows.data(), n + 3, g.data(), k, n, in.data(), 255.0f / 256.0f, 1.3f, v.data());
      for (int x = 0; x < n; ++x) {
        float a = 0.0f, b = 0.0f;
        for (int j = 0; j < k; ++j) a += g[j] * pad[x + j];
        for (int j = 0; j < k; ++j) b += g[j] * rows[size_t(j) * (n + 3) + x];
        const float s = (1.3f + 1.0f) * (in[x] * (255.0f / 256.0f)) - 1.3f * b;
        const float want = !(s >= 0.0f) ? 0.0f : (s > 255.0f ? 255.0f : s);
        ASSERT_EQ(floatBits(h[x]), floatBits(a)) << "n " << n << " k " << k << " x " << x;
        ASSERT_EQ(floatBits(v[x]), floatBits(want)) << "n " << n << " k " << k << " x " << x;
      }
    }
  }
}

// ---- conv3x3 ----

void convReference(const std::vector<float>& in, int batch, int cin, int h, int w,
                   const std::vector<float>& wt, const std::vector<float>& bias, int cout,
                   std::vector<double>& out) {
  out.assign(static_cast<size_t>(batch) * cout * h * w, 0.0);
  for (int n = 0; n < batch; ++n)
    for (int oc = 0; oc < cout; ++oc)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          double s = bias[oc];
          for (int ic = 0; ic < cin; ++ic)
            for (int ky = 0; ky < 3; ++ky)
              for (int kx = 0; kx < 3; ++kx) {
                const int sy = y + ky - 1, sx = x + kx - 1;
                if (sy < 0 || sx < 0 || sy >= h || sx >= w) continue;
                s += double(wt[((oc * cin + ic) * 3 + ky) * 3 + kx]) * in[((n * cin + ic) * h + sy) * w + sx];
              }
          out[((n * cout + oc) * h + y) * w + x] = s;
        }
}

TEST_P(SimdKernels, Conv3x3RangeMatchesTheDirectSum) {
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> val(-1.0f, 1.0f);
  const int batch = 2, cin = 3, cout = 6;
  for (int w : {1, 2, 3, 7, 8, 15, 16, 17, 31, 33}) {
    for (int h : {1, 4}) {
      const size_t hw = static_cast<size_t>(h) * w;
      std::vector<float> in(batch * cin * hw), wt(cout * cin * 9), bias(cout);
      for (auto& f : in) f = val(rng);
      for (auto& f : wt) f = val(rng);
      for (auto& f : bias) f = val(rng);
      std::vector<double> want;
      convReference(in, batch, cin, h, w, wt, bias, cout, want);
      // Whole range, ranges that start and end inside a four-channel group, and ranges
      // that straddle the batch items.
      for (auto [begin, end] : {std::pair{0, 12}, std::pair{1, 4}, std::pair{3, 9}, std::pair{5, 7}, std::pair{11, 12}}) {
        std::vector<float> out(batch * cout * hw, std::numeric_limits<float>::quiet_NaN());
        ka::simd::conv3x3Range(in.data(), batch, cin, h, w, wt.data(), bias.data(), cout, out.data(), begin, end);
        for (size_t i = 0; i < out.size(); ++i) {
          const int p = static_cast<int>(i / hw);
          if (p < begin || p >= end) {
            ASSERT_TRUE(std::isnan(out[i])) << "plane " << p << " outside [" << begin << "," << end << ") written";
          } else {
            ASSERT_NEAR(out[i], want[i], 1e-5) << "w " << w << " h " << h << " plane " << p << " at " << i % hw;
          }
        }
      }
    }
  }
}

// The padded-plane convolution against conv3x3Range plus the addition and the ReLU, bit
// for bit, writing into a padded output whose border (guard values) must stay as it was.
TEST_P(SimdKernels, PaddedConvEqualsConv3x3RangeWithItsEpilogue) {
  std::mt19937 rng(16);
  std::uniform_real_distribution<float> val(-1.0f, 1.0f);
  struct Case {
    int batch, cin, cout, h, w;
    bool add, relu;
  };
  for (const Case c : {Case{2, 3, 6, 4, 17, false, false}, Case{3, 4, 16, 5, 33, true, true}, Case{2, 16, 16, 3, 48, false, true},
                       Case{2, 16, 1, 4, 7, false, false}, Case{1, 3, 16, 1, 1, true, false}}) {
    SCOPED_TRACE(testing::Message() << "batch " << c.batch << " cin " << c.cin << " cout " << c.cout << " " << c.w << "x" << c.h);
    const size_t hw = static_cast<size_t>(c.h) * c.w, ps = c.w + 2, pp = (c.h + 2) * ps;
    std::vector<float> in(c.batch * c.cin * hw), wt(c.cout * c.cin * 9), bias(c.cout), add(c.cout * hw);
    for (auto* v : {&in, &wt, &bias, &add})
      for (auto& f : *v) f = val(rng);
    std::vector<float> padded(c.batch * c.cin * pp + 64, 0.0f);
    for (int p = 0; p < c.batch * c.cin; ++p)
      for (int y = 0; y < c.h; ++y)
        std::copy_n(&in[(p * c.h + y) * c.w], c.w, &padded[p * pp + (y + 1) * ps + 1]);
    const int planes = c.batch * c.cout;
    std::vector<float> want(planes * hw);
    ka::simd::conv3x3Range(in.data(), c.batch, c.cin, c.h, c.w, wt.data(), bias.data(), c.cout, want.data(), 0, planes);
    for (size_t i = 0; i < want.size(); ++i) {
      if (c.add) want[i] += add[(i / hw) % c.cout * hw + i % hw];
      if (c.relu) want[i] = std::max(want[i], 0.0f);
    }
    for (auto [begin, end] : {std::pair{0, planes}, std::pair{1, planes - 1}, std::pair{planes / 2, planes / 2 + 1}}) {
      if (begin >= end) continue;
      std::vector<float> out(planes * pp, 7.5f);
      ka::simd::PaddedConvArgs a{};
      a.in = padded.data(), a.in_stride = ps, a.in_plane = pp, a.in_item = c.cin * pp;
      a.batch = c.batch, a.cin = c.cin, a.h = c.h, a.w = c.w;
      a.weight = wt.data(), a.bias = bias.data(), a.cout = c.cout;
      a.add = c.add ? add.data() : nullptr, a.relu = c.relu;
      a.out = out.data() + ps + 1, a.out_stride = ps, a.out_plane = pp, a.out_item = c.cout * pp;
      ka::simd::paddedConv3x3Range(a, begin, end);
      for (size_t i = 0; i < out.size(); ++i) {
        const int p = static_cast<int>(i / pp), y = static_cast<int>(i % pp / ps) - 1, x = static_cast<int>(i % ps) - 1;
        if (p < begin || p >= end || y < 0 || y >= c.h || x < 0 || x >= c.w) {
          ASSERT_EQ(out[i], 7.5f) << "plane " << p << " padded (" << y << ", " << x << ") written";
        } else {
          ASSERT_EQ(floatBits(out[i]), floatBits(want[p * hw + y * c.w + x])) << "plane " << p << " at (" << y << ", " << x << ")";
        }
      }
    }
  }
}

// ---- int8 convolution core ----

// Extreme operands (|w| up to 128, codes up to +-255) over tap counts, odd pixel
// strides, channel-pair counts and row widths that reach every pixel tail, two channel
// blocks and guard values after the last sum.
TEST_P(SimdKernels, Int8ConvRowIsTheExactIntegerSum) {
  std::mt19937 rng(8);
  std::uniform_int_distribution<int> wd(-128, 127), qd(-255, 255);
  const int block = static_cast<int>(ka::simd::int8ConvChannelBlock());
  ASSERT_GE(block, 1);
  for (int taps : {1, 9}) {
    for (int pairs : {1, 3, 32}) {
      for (int wo : {1, 2, 3, 4, 5, 7, 9}) {
        const int mgp = 2 * block;
        const ptrdiff_t xstep = 2 * pairs + 3;  // windows overlap, pixels not aligned
        std::vector<ptrdiff_t> off(static_cast<size_t>(taps));
        for (int t = 0; t < taps; ++t) off[t] = (t / 3) * (wo + 2) * xstep + (t % 3) * xstep + (t & 1);
        const size_t actLen = static_cast<size_t>(off.back() + (wo - 1) * xstep + 2 * pairs);
        std::vector<int16_t> act(actLen), w(static_cast<size_t>(taps) * pairs * mgp * 2);
        for (auto& v : act) v = static_cast<int16_t>(qd(rng));
        for (auto& v : w) v = static_cast<int16_t>(wd(rng));
        act[0] = -255, w[0] = -128;  // the largest product
        const ka::simd::Int8ConvRowArgs a{act.data(), off.data(), taps, pairs, xstep, w.data(), mgp, wo};
        std::vector<int32_t> acc(static_cast<size_t>(wo) * mgp + 4, 0x5A5A5A5A);
        ka::simd::int8ConvRow(a, acc.data());
        for (int ox = 0; ox < wo; ++ox)
          for (int m = 0; m < mgp; ++m) {
            int64_t want = 0;
            for (int t = 0; t < taps; ++t)
              for (int p = 0; p < pairs; ++p)
                for (int i = 0; i < 2; ++i)
                  want += int64_t(w[((size_t(t) * pairs + p) * mgp + m) * 2 + i]) * act[ox * xstep + off[t] + 2 * p + i];
            ASSERT_EQ(acc[size_t(ox) * mgp + m], want) << "taps " << taps << " pairs " << pairs << " wo " << wo
                                                      << " pixel " << ox << " channel " << m;
          }
        for (size_t i = size_t(wo) * mgp; i < acc.size(); ++i) ASSERT_EQ(acc[i], 0x5A5A5A5A) << "wrote past the row";
      }
    }
  }
}

TEST_P(SimdKernels, QuantiseCentredDividesRoundsAndClampsOverItsRange) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> val(-3.0f, 4.0f);
  const float sx = 5.0f / 255.0f;
  for (int zp : {0, 102, 255}) {
    for (size_t n : sizesUpTo(kMaxFloatLanes)) {
      std::vector<float> x(n);
      for (auto& v : x) v = val(rng);
      // Halfway codes, where a reciprocal would round the other way, and the specials.
      const float specials[] = {0.5f * sx, 2.5f * sx, -1.5f * sx, 1e30f, -1e30f, INFINITY, -INFINITY, NAN};
      for (size_t i = 0; i < n && i < std::size(specials); ++i) x[(i * 7) % n] = specials[i];
      std::vector<int16_t> out(n + 8, 0x7A7A);
      ka::simd::quantiseCentred(x.data(), n, sx, zp, out.data());
      for (size_t i = 0; i < n; ++i) {
        const float code = std::fmin(std::fmax(std::rint(x[i] / sx) + float(zp), 0.f), 255.f);
        ASSERT_EQ(out[i], int(code) - zp) << "x " << x[i] << " zp " << zp << " n " << n;
      }
      for (size_t i = n; i < out.size(); ++i) ASSERT_EQ(out[i], 0x7A7A) << "wrote past n=" << n;
    }
  }
  // The range the codes are taken over: NaNs never enter it, every tail position counts.
  for (size_t n : sizesUpTo(kMaxFloatLanes)) {
    for (size_t at = 0; at < n; at += 3) {
      std::vector<float> x(n, 0.25f);
      x[at] = -7.0f;
      x[n - 1 - at] = n == 1 ? -7.0f : 9.0f;
      if (n > 2) x[(at + 1) % n] = NAN;
      float lo = 0.0f, hi = 0.0f;
      ka::simd::widenRange(x.data(), n, &lo, &hi);
      float wantLo = 0.0f, wantHi = 0.0f;
      for (float v : x) wantLo = v < wantLo ? v : wantLo, wantHi = v > wantHi ? v : wantHi;
      ASSERT_EQ(lo, wantLo) << n << "/" << at;
      ASSERT_EQ(hi, wantHi) << n << "/" << at;
    }
  }
}

// ---- retrieval terms ----

struct Window {
  size_t n;
  std::vector<uint16_t> a, b;
};

// bounded keeps |value| below 2^14 so that no difference overflows.
Window randomWindow(size_t n, std::mt19937& rng, bool bounded = false) {
  Window w{n, randomHalves(3 * n, rng), randomHalves(3 * n, rng)};
  if (bounded) {
    for (auto* v : {&w.a, &w.b}) {
      for (auto& h : *v) {
        if ((h & 0x7C00u) > (28u << 10)) h = static_cast<uint16_t>((h & ~0x7C00u) | (28u << 10));
      }
    }
  }
  // Keep some differences small so the half rounding of d matters, and let others
  // overflow to infinity.
  for (size_t i = 0; i < 3 * n; i += 3) w.b[i] = static_cast<uint16_t>(w.a[i] ^ (rng() & 7));
  return w;
}

float distance(const Window& w, size_t i) {
  float t[3];
  for (size_t c = 0; c < 3; ++c) {
    const float diff = static_cast<float>(halfValue(w.a[c * w.n + i])) - static_cast<float>(halfValue(w.b[c * w.n + i]));
    t[c] = std::fabs(roundHalf(diff));
  }
  return (t[0] + t[1] + t[2]) / 3.0f;
}

float exactTerm(const Window& w, const std::vector<float>& wt, size_t i) {
  return wt[i] == 0.0f ? 0.0f : wt[i] * roundHalf(distance(w, i));
}

float pooledTerm(const Window& w, const std::vector<uint16_t>& wt, size_t i) {
  return roundHalf(static_cast<float>(halfValue(wt[i])) * roundHalf(distance(w, i)));
}

TEST_P(SimdKernels, RetrievalTermsAreExactPerElement) {
  std::mt19937 rng(7);
  for (size_t n : sizesUpTo(kMaxFloatLanes)) {
    if (n == 1000) n = 203;
    const Window w = randomWindow(n, rng);
    const Window bounded = randomWindow(n, rng, true);
    // One weight at a time: the sum is that element's term alone, so the result must
    // match the reference bit for bit wherever the element sits (body or tail).
    for (size_t i = 0; i < n; ++i) {
      std::vector<float> wt(n, 0.0f);
      wt[i] = 0.37f + static_cast<float>(i);
      const float want = exactTerm(w, wt, i);
      ASSERT_EQ(floatBits(ka::simd::retrieveTermExact(w.a.data(), w.b.data(), wt.data(), n)), floatBits(want))
          << "n " << n << " i " << i;
      std::vector<uint16_t> wh(n, 0);
      wh[i] = halfOf(0.37f + static_cast<float>(i));
      // Pooled terms have no zero-weight exemption: 0 * inf would be NaN, so the window
      // is one whose distances stay finite.
      const float wantPooled = pooledTerm(bounded, wh, i);
      const float got = ka::simd::retrieveTermPooled(bounded.a.data(), bounded.b.data(), wh.data(), n);
      ASSERT_EQ(floatBits(got), floatBits(wantPooled)) << "pooled n " << n << " i " << i;
    }
  }
}

TEST_P(SimdKernels, RetrievalSumsOverRangesAndSkipsZeroWeights) {
  std::mt19937 rng(8);
  const size_t n = 257;
  Window w = randomWindow(n, rng);
  for (size_t i = 0; i < 3 * n; ++i) w.b[i] = static_cast<uint16_t>(w.a[i] ^ (rng() & 0x3FF));  // finite d
  std::vector<float> wt(n);
  std::vector<uint16_t> wh(n);
  for (size_t i = 0; i < n; ++i) {
    wt[i] = i % 5 == 0 ? 0.0f : std::ldexp(static_cast<float>(rng() % 1000), -10);
    wh[i] = halfOf(wt[i]);
  }
  // Infinite and NaN inputs where the weight is zero must not reach the sum.
  w.a[0] = 0x7C00;
  w.a[n + 5] = 0x7E01;
  w.b[2 * n + 10] = 0xFC00;
  for (auto [lo, hi] : {std::pair<size_t, size_t>{0, n}, {3, 4}, {5, 40}, {17, 256}, {100, 100}}) {
    double want = 0, scale = 0;
    for (size_t i = lo; i < hi; ++i) {
      want += exactTerm(w, wt, i);
      scale += std::fabs(exactTerm(w, wt, i));
    }
    const float got = ka::simd::retrieveTermExactRange(w.a.data(), w.b.data(), wt.data(), n, lo, hi);
    ASSERT_FALSE(std::isnan(got));
    ASSERT_NEAR(got, want, 1e-6 * scale + 1e-30) << lo << ".." << hi;
  }
  EXPECT_EQ(ka::simd::retrieveTermExact(w.a.data(), w.b.data(), wt.data(), n),
            ka::simd::retrieveTermExactRange(w.a.data(), w.b.data(), wt.data(), n, 0, n));
  std::vector<float> zero(n, 0.0f);
  EXPECT_EQ(ka::simd::retrieveTermExact(w.a.data(), w.b.data(), zero.data(), n), 0.0f);

  w.a[0] = w.b[0];
  w.a[n + 5] = w.b[n + 5];
  w.b[2 * n + 10] = w.a[2 * n + 10];
  double want = 0, scale = 0;
  for (size_t i = 0; i < n; ++i) {
    want += pooledTerm(w, wh, i);
    scale += std::fabs(pooledTerm(w, wh, i));
  }
  ASSERT_NEAR(ka::simd::retrieveTermPooled(w.a.data(), w.b.data(), wh.data(), n), want, 1e-6 * scale);
}

// The exact re-score over runs of donor bytes against the difference table written
// here: every run length up to two vectors and a long one, runs at odd offsets and
// black (zero) runs, every byte pair on one channel, zero weights beside garbage-free
// finite data. Weights of 1, 0.6 and 0.36 keep the double sums exact, so any order of
// summation gives the same bits.
TEST_P(SimdKernels, RetrieveExactRunsEqualsTheDifferenceTable) {
  std::mt19937 rng(30);
  float h[256];
  for (int k = 0; k < 256; ++k) h[k] = roundHalf(static_cast<float>(k) / 255.0f);
  const auto t = [&](int a, int b) { return std::fabs(roundHalf(h[b] - h[a])); };
  const size_t n = 256 * 256;
  std::vector<uint8_t> frame(3 * n), donor(3 * n + 1);
  for (auto& v : frame) v = static_cast<uint8_t>(rng());
  for (auto& v : donor) v = static_cast<uint8_t>(rng());
  for (size_t q = 0; q < n; ++q) frame[3 * q + 1] = static_cast<uint8_t>(q >> 8), donor[3 * q + 1] = static_cast<uint8_t>(q);
  std::vector<float> f(3 * n), s(n);
  const float weights[] = {0.0f, 1.0f, 0.6f, 0.36f};
  for (size_t q = 0; q < n; ++q) {
    for (int c = 0; c < 3; ++c) f[c * n + q] = h[frame[3 * q + c]];
    s[q] = weights[rng() % 4];
  }
  const std::vector<uint8_t> black(3 * n, 0);
  const auto want = [&](const std::vector<ka::simd::RgbRun>& runs) {
    double sum = 0.0;
    for (const auto& r : runs)
      for (uint32_t k = 0; k < r.n; ++k) {
        const size_t q = r.at + k;
        const uint8_t* d = r.rgb + 3 * k;
        const float e = (t(frame[3 * q], d[0]) + t(frame[3 * q + 1], d[1]) + t(frame[3 * q + 2], d[2])) / 3.0f;
        if (s[q] != 0.0f) sum += roundHalf(e) * s[q];
      }
    return sum;
  };
  const auto got = [&](const std::vector<ka::simd::RgbRun>& runs) {
    return ka::simd::retrieveExactRuns(runs.data(), runs.size(), f.data(), f.data() + n, f.data() + 2 * n, s.data());
  };
  std::vector<std::vector<ka::simd::RgbRun>> cases = {{}, {{donor.data(), 0, uint32_t(n)}}};
  for (uint32_t len : sizesUpTo(kMaxFloatLanes)) {
    const uint32_t at = 7 * len + 3;
    cases.push_back({{donor.data() + 1 + 3 * at, at, len}});
    cases.push_back({{black.data(), at, len}, {donor.data() + 3 * (at + len), at + len, len}});
  }
  for (const auto& runs : cases) {
    const double w = want(runs), g = got(runs);
    ASSERT_EQ(g, w) << runs.size() << " runs, the first " << (runs.empty() ? 0 : runs[0].n) << " long";
  }
  std::vector<float> none(n, 0.0f);
  std::swap(s, none);
  EXPECT_EQ(got({{donor.data(), 0, uint32_t(n)}}), 0.0);
}

}  // namespace

