// The compositor against a straightforward double-precision reference of the same
// arithmetic, written here without the library's tables or kernels.
#include "paste/paste.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "tests/support/test_support.h"

namespace ka {
namespace {

using test::ScopedEnv;

struct Ref {
  int S, k, mode;
  double amount, sigma;
  std::vector<uint8_t> mask;

  static int reflect(int i, int n) {
    if (n == 1) return 0;
    for (;;) {
      i = std::abs(i);
      if (i < n) return i;
      i = 2 * (n - 1) - i;
    }
  }
  std::vector<double> gaussian() const {
    std::vector<double> g(k);
    double s = 0;
    for (int i = 0; i < k; ++i) {
      const double t = i - (k - 1) / 2.0;
      s += g[i] = std::exp(-t * t / (2 * sigma * sigma));
    }
    for (double& x : g) x /= s;
    return g;
  }
  static void lanczos(double t, double w[8]) {
    double s = 0;
    for (int i = 0; i < 8; ++i) {
      const double d = t + 3 - i;
      w[i] = d == 0 ? 1.0 : std::sin(M_PI * d) * std::sin(M_PI * d / 4) / std::pow(M_PI * d / 4, 2);
      s += w[i];
    }
    for (int i = 0; i < 8; ++i) w[i] /= s;
  }
  static void cubic(double t, double w[4]) {
    auto kf = [](double x) {
      x = std::fabs(x);
      const double a = -0.75;
      if (x <= 1) return ((a + 2) * x - (a + 3)) * x * x + 1;
      if (x < 2) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
      return 0.0;
    };
    for (int i = 0; i < 4; ++i) w[i] = kf(t - (i - 1));
  }

  // Sharpened planes on the 0..255 scale.
  std::vector<double> sharpen(const float* crop) const {
    const int P = S + k - 1, h = k / 2;
    const auto g = gaussian();
    std::vector<double> out(3 * S * S);
    for (int c = 0; c < 3; ++c) {
      std::vector<double> plane(S * S), pad(P * P), blur(P * P, 0.0);
      for (int i = 0; i < S * S; ++i) plane[i] = double(crop[c * S * S + i]) * 255.0;
      for (int r = 0; r < P; ++r)
        for (int q = 0; q < P; ++q) pad[r * P + q] = plane[reflect(r - h, S) * S + reflect(q - h, S)];
      // Horizontal then vertical Gaussian, as a separable blur of the padded plane.
      for (int r = 0; r < P; ++r)
        for (int q = 0; q + k <= P; ++q) {
          double a = 0;
          for (int j = 0; j < k; ++j) a += g[j] * pad[r * P + q + j];
          blur[r * P + q] = a;
        }
      for (int y = 0; y < S; ++y)
        for (int x = 0; x < S; ++x) {
          double a = 0;
          for (int j = 0; j < k; ++j) a += g[j] * blur[(y + j) * P + x];
          const double v = (amount + 1) * plane[y * S + x] - amount * a;
          out[c * S * S + y * S + x] = v < 0 ? 0 : (v > 255 ? 255 : v);
        }
    }
    return out;
  }

  void composite(const float* crop, const float* M, std::vector<uint8_t>& frame, int W, int H) const {
    const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
    const double det = a * e - b * d;
    if (det == 0) return;
    double xs[4], ys[4];
    const double lo = -4, hi = S + 3;
    const double us[4] = {lo, hi, lo, hi}, vs[4] = {lo, lo, hi, hi};
    for (int i = 0; i < 4; ++i) {
      xs[i] = float(float(M[0]) * float(us[i]) + float(M[1]) * float(vs[i]) + float(M[2]));
      ys[i] = float(float(M[3]) * float(us[i]) + float(M[4]) * float(vs[i]) + float(M[5]));
    }
    const int x0 = std::max(0, int(std::trunc(*std::min_element(xs, xs + 4))));
    const int x1 = std::min(W - 1, int(std::trunc(*std::max_element(xs, xs + 4))));
    const int y0 = std::max(0, int(std::trunc(*std::min_element(ys, ys + 4))));
    const int y1 = std::min(H - 1, int(std::trunc(*std::max_element(ys, ys + 4))));
    if (x0 > x1 || y0 > y1) return;
    const auto sh = sharpen(crop);
    const double ub = -b / det, vb = a / det, uc = (b * f - c * e) / det, vc = (c * d - a * f) / det;
    const int taps = mode == 0 ? 8 : (mode == 1 ? 4 : 2), off = mode == 0 ? 3 : (mode == 1 ? 1 : 0);
    for (int y = y0; y <= y1; ++y) {
      const int dx = int(std::trunc((y * ub + uc) * 1024)) + 16;
      const int dy = int(std::trunc((y * vb + vc) * 1024)) + 16;
      for (int x = x0; x <= x1; ++x) {
        const int ux = dx + int(std::trunc(x * (e / det) * 1024));
        const int uy = dy + int(std::trunc(x * (-d / det) * 1024));
        const int ix = ux >> 10, iy = uy >> 10;
        if (ix < -1 || ix >= S || iy < -1 || iy >= S) continue;
        const double tx = ((ux >> 5) & 31) / 32.0, ty = ((uy >> 5) & 31) / 32.0;
        auto m = [&](int yy, int xx) { return (xx < 0 || yy < 0 || xx >= S || yy >= S) ? 0.0 : double(mask[yy * S + xx]); };
        const double raw = (m(iy, ix) * (1 - tx) + m(iy, ix + 1) * tx) * (1 - ty) +
                           (m(iy + 1, ix) * (1 - tx) + m(iy + 1, ix + 1) * tx) * ty;
        const double alpha = std::trunc(raw) / 255.0;
        if (alpha <= 0) continue;
        double wx[8], wy[8];
        if (mode == 0) { lanczos(tx, wx); lanczos(ty, wy); }
        else if (mode == 1) { cubic(tx, wx); cubic(ty, wy); }
        else { wx[0] = 1 - tx; wx[1] = tx; wy[0] = 1 - ty; wy[1] = ty; }
        for (int ch = 0; ch < 3; ++ch) {
          double v = 0;
          for (int r = 0; r < taps; ++r)
            for (int q = 0; q < taps; ++q) {
              const int sy = iy - off + r, sx = ix - off + q;
              if (sx >= 0 && sy >= 0 && sx < S && sy < S) v += wy[r] * wx[q] * sh[ch * S * S + sy * S + sx];
            }
          uint8_t& px = frame[(y * W + x) * 3 + ch];
          const double o = px * (1 - alpha) + alpha * v;
          px = o < 0 ? 0 : (o > 255 ? 255 : uint8_t(o));
        }
      }
    }
  }
};

struct Scene {
  int S = 48, W = 160, H = 120;
  std::vector<float> crop;
  std::vector<uint8_t> mask, frame;
};

Scene randomScene(uint32_t seed) {
  Scene s;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u01(0, 1);
  s.crop.resize(3 * s.S * s.S);
  // Smooth content plus noise: edges and flats both occur, as in a face.
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < s.S; ++y)
      for (int x = 0; x < s.S; ++x)
        s.crop[c * s.S * s.S + y * s.S + x] =
            std::clamp(0.5f + 0.4f * std::sin(0.3f * x + c) * std::cos(0.2f * y) + 0.1f * (u01(rng) - 0.5f), 0.f, 1.f);
  s.mask.resize(s.S * s.S);
  for (int y = 0; y < s.S; ++y)
    for (int x = 0; x < s.S; ++x) {
      const float r = std::hypot(x - s.S / 2.f, y - s.S / 2.f) / (s.S / 2.f);
      s.mask[y * s.S + x] = uint8_t(std::clamp((1.2f - r) * 400.f, 0.f, 255.f));
    }
  s.frame.resize(3 * s.W * s.H);
  for (auto& b : s.frame) b = uint8_t(rng() & 0xff);
  return s;
}

// Differences between float and double evaluation are allowed only as rare off-by-one
// bytes where a value lands within rounding distance of an integer boundary.
void expectNearlyIdentical(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want,
                           const std::vector<uint8_t>& before, const char* what) {
  ASSERT_EQ(got.size(), want.size());
  size_t off1 = 0, touched = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const int diff = std::abs(int(got[i]) - int(want[i]));
    ASSERT_LE(diff, 1) << what << " byte " << i;
    off1 += diff;
    touched += want[i] != before[i];
  }
  EXPECT_LE(off1, std::max<size_t>(8, touched / 200)) << what << ": " << off1 << " of " << touched << " bytes off by one";
}

class PasteModes : public ::testing::TestWithParam<int> {};

TEST_P(PasteModes, MatchesReferenceOverTransforms) {
  const int mode = GetParam();
  ScopedEnv env("KA_PASTE_FAST", std::to_string(mode));
  ScopedEnv ks("KA_PASTE_KSIZE", std::nullopt);
  const Unsharp u{1.3f, 2.0f, 7};
  const struct {
    double angle, scale, tx, ty;
  } cases[] = {
      {0.0, 1.0, 40, 30},      // plain translation
      {0.3, 1.7, 60, 10},      // rotation + enlargement
      {-0.7, 0.8, 100, 70},    // rotation + reduction
      {0.1, 2.2, 120, -30},    // partially outside, right and top
      {2.5, 1.3, 100, 100},    // turned over, partially outside the bottom
  };
  int seed = 1;
  for (const auto& c : cases) {
    Scene s = randomScene(seed++);
    const float M[6] = {float(c.scale * std::cos(c.angle)), float(-c.scale * std::sin(c.angle)), float(c.tx),
                        float(c.scale * std::sin(c.angle)), float(c.scale * std::cos(c.angle)), float(c.ty)};
    Ref ref{s.S, u.ksize, mode, u.amount, u.sigma, s.mask};
    std::vector<uint8_t> want = s.frame;
    ref.composite(s.crop.data(), M, want, s.W, s.H);
    Paste p(s.mask, s.S, u);
    ASSERT_EQ(p.mode(), mode);
    std::vector<uint8_t> got = s.frame;
    p.composite(s.crop.data(), 255.0f, M, got.data(), s.W, s.H);
    expectNearlyIdentical(got, want, s.frame, "composite");
    EXPECT_NE(got, s.frame) << "the crop must land somewhere, case " << seed;
    // A second call on the same Paste reuses its scratch and gives the same bytes.
    std::vector<uint8_t> again = s.frame;
    p.composite(s.crop.data(), 255.0f, M, again.data(), s.W, s.H);
    EXPECT_EQ(again, got);
  }
}

INSTANTIATE_TEST_SUITE_P(Lanczos_Bicubic_Bilinear, PasteModes, ::testing::Values(0, 1, 2));

TEST(Paste, InvariantsThatLeaveTheFrameAlone) {
  Scene s = randomScene(7);
  const Unsharp u{1.3f, 2.0f, 13};
  const float M[6] = {1.2f, 0.1f, 30, -0.1f, 1.2f, 20};
  {
    Paste p(std::vector<uint8_t>(s.S * s.S, 0), s.S, u);
    auto f = s.frame;
    p.composite(s.crop.data(), 255.f, M, f.data(), s.W, s.H);
    EXPECT_EQ(f, s.frame) << "an all-zero mask covers nothing";
  }
  Paste p(s.mask, s.S, u);
  auto f = s.frame;
  const float singular[6] = {1, 2, 5, 2, 4, 5};
  p.composite(s.crop.data(), 255.f, singular, f.data(), s.W, s.H);
  const float outside[6] = {1, 0, 5000, 0, 1, 20};
  p.composite(s.crop.data(), 255.f, outside, f.data(), s.W, s.H);
  const float nan[6] = {NAN, 0, 5, 0, 1, 5};
  p.composite(s.crop.data(), 255.f, nan, f.data(), s.W, s.H);
  const float huge[6] = {1e-12f, 0, 1e30f, 0, 1e-12f, 5};
  p.composite(s.crop.data(), 255.f, huge, f.data(), s.W, s.H);
  // Shrunk to a 1/4000 of a pixel at (150, 100): the column term is 150 * 4000 * 1024,
  // past 2^29, where a column term plus a row term plus the rounding no longer fits int.
  const float speck[6] = {1.f / 4000, 0, 150, 0, 1.f / 4000, 100};
  p.composite(s.crop.data(), 255.f, speck, f.data(), s.W, s.H);
  EXPECT_EQ(f, s.frame);
  for (float v : p.plane(0)) ASSERT_EQ(v, 0.0f) << "sharpening must not run for a crop that lands nowhere";
}

// Compositing from a separate driver frame leaves exactly what copying it and
// compositing in place leaves, in every filter mode, for crops that land, land partly,
// land nowhere or cannot be placed; and the stages run apart (planes set by fillPlanes
// and unsharpPlane, then compositeTail) give the same bytes as composite.
TEST(Paste, FromADriverFrameAndByStagesAsInPlace) {
  const Unsharp u{1.3f, 2.0f, 7};
  const float cases[][6] = {{1.3f, 0.2f, 40, -0.2f, 1.3f, 30},  // lands
                            {2.0f, 0.0f, 130, 0.0f, 2.0f, -40},  // partly outside
                            {1, 0, 5000, 0, 1, 20},              // outside
                            {1, 2, 5, 2, 4, 5}};                 // singular
  for (const int mode : {0, 1, 2}) {
    ScopedEnv env("KA_PASTE_FAST", std::to_string(mode));
    Scene s = randomScene(20 + mode);
    Paste p(s.mask, s.S, u);
    for (const auto& M : cases) {
      auto want = s.frame;
      p.composite(s.crop.data(), 255.f, M, want.data(), s.W, s.H);
      std::vector<uint8_t> got(s.frame.size(), 0xA5);
      p.composite(s.crop.data(), 255.f, M, s.frame.data(), got.data(), s.W, s.H);
      ASSERT_EQ(got, want) << "mode " << mode << " M[2] " << M[2];

      Paste::Placement pl;
      if (!p.place(M, s.W, s.H, &pl)) continue;
      p.fillPlanes(s.crop.data(), 255.f);
      std::vector<float> planes[3] = {p.plane(0), p.plane(1), p.plane(2)};
      for (auto& plane : planes) p.unsharpPlane(plane);
      p.sharpen(s.crop.data(), 255.f);
      for (int c = 0; c < 3; ++c) ASSERT_EQ(planes[c], p.plane(c)) << "mode " << mode << " plane " << c;
      // Planes refilled unsharpened: the tail must interleave them afresh.
      p.fillPlanes(s.crop.data(), 255.f);
      auto staged = s.frame;
      p.compositeTail(staged.data(), s.W, pl.x0, pl.x1, pl.y0, pl.y1, pl.ub, pl.vb, pl.uc, pl.vc);
      auto unsharpened = s.frame;
      Paste flat(s.mask, s.S, Unsharp{0.0f, 2.0f, 7});
      flat.composite(s.crop.data(), 255.f, M, unsharpened.data(), s.W, s.H);
      ASSERT_EQ(staged, unsharpened) << "mode " << mode;
    }
  }
}

TEST(Paste, IdentityTransformCopiesTheCropTruncated) {
  Scene s = randomScene(3);
  ScopedEnv env("KA_PASTE_FAST", std::nullopt);
  Paste p(std::vector<uint8_t>(s.S * s.S, 255), s.S, Unsharp{0.0f, 2.0f, 13});
  const float M[6] = {1, 0, 0, 0, 1, 0};
  auto f = s.frame;
  p.composite(s.crop.data(), 255.f, M, f.data(), s.W, s.H);
  for (int y = 0; y < s.S; ++y)
    for (int x = 0; x < s.S; ++x)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(f[(y * s.W + x) * 3 + c], uint8_t(s.crop[c * s.S * s.S + y * s.S + x] * 255.f)) << x << "," << y;
  for (int x = s.S + 8; x < s.W; ++x) ASSERT_EQ(f[x * 3], s.frame[x * 3]) << "beyond the crop nothing moves";
}

TEST(Paste, ConstructionRefusalsAndEnvironment) {
  const Unsharp u{1.3f, 2.0f, 13};
  try {
    Paste(std::vector<uint8_t>(15), 4, Unsharp{1, 1, 4});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "paste: mask size") << "the mask is checked before the kernel width";
  }
  try {
    Paste(std::vector<uint8_t>(16), 4, Unsharp{1, 1, 4});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "paste: ksize must be odd");
  }
  EXPECT_THROW(Paste(std::vector<uint8_t>(16), 4, Unsharp{1, 1, -3}), std::runtime_error);

  {
    ScopedEnv k("KA_PASTE_KSIZE", std::string("4"));
    EXPECT_EQ(Paste(std::vector<uint8_t>(16), 4, u).ksize(), 13);
  }
  {
    ScopedEnv k("KA_PASTE_KSIZE", std::string("15"));
    EXPECT_EQ(Paste(std::vector<uint8_t>(16), 4, u).ksize(), 13);
  }
  {
    ScopedEnv k("KA_PASTE_KSIZE", std::string("5"));
    EXPECT_EQ(Paste(std::vector<uint8_t>(16), 4, u).ksize(), 5);
  }
  for (const char* v : {"3", "-1", "x"}) {
    ScopedEnv m("KA_PASTE_FAST", std::string(v));
    EXPECT_EQ(Paste(std::vector<uint8_t>(16), 4, u).mode(), 0) << v;
  }

  // A kernel far wider than a tiny crop reflects back and forth inside it.
  Paste tiny(std::vector<uint8_t>(4, 255), 2, u);
  std::vector<float> crop(12, 0.5f);
  std::vector<uint8_t> frame(3 * 8 * 8, 0);
  const float M[6] = {1, 0, 2, 0, 1, 2};
  tiny.composite(crop.data(), 255.f, M, frame.data(), 8, 8);
  EXPECT_EQ(frame[(2 * 8 + 2) * 3], 127);

  Paste wide(std::vector<uint8_t>(1025 * 1025, 255), 1025, u);
  std::vector<float> big(3 * 1025 * 1025, 0.5f);
  std::vector<uint8_t> fr(3 * 64 * 64, 9);
  const float I[6] = {1, 0, 0, 0, 1, 0};
  try {
    wide.composite(big.data(), 255.f, I, fr.data(), 64, 64);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "paste: side > 1024");
  }
  EXPECT_EQ(fr, std::vector<uint8_t>(3 * 64 * 64, 9));
}

TEST(Paste, TablesAreNormalised) {
  Paste p(std::vector<uint8_t>(16), 4, Unsharp{1.3f, 2.0f, 13});
  // The Gaussian sees sigma squared: a negative sigma blurs like its magnitude, and
  // sigma 0 puts all weight on the centre tap.
  for (auto [sigma, want] : {std::pair<float, float>{2.0f, 2.0f}, {-2.0f, 2.0f}, {-0.7f, 0.7f}, {0.0f, 0.0f}}) {
    Ref ref{4, 13, 0, 1.3, want, {}};
    const std::vector<double> g = want > 0 ? ref.gaussian() : std::vector<double>{0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    const Paste q(std::vector<uint8_t>(16), 4, Unsharp{1.3f, sigma, 13});
    ASSERT_EQ(q.gaussian().size(), g.size());
    for (size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(q.gaussian()[i], g[i], 1e-7) << "sigma " << sigma << " tap " << i;
  }
  for (int ph = 0; ph < 32; ++ph) {
    double w[8], c[4], ls = 0, cs = 0;
    Ref::lanczos(ph / 32.0, w);
    Ref::cubic(ph / 32.0, c);
    for (int i = 0; i < 8; ++i) {
      EXPECT_NEAR(p.lanczosTable()[ph * 8 + i], w[i], 2e-7) << ph << ":" << i;
      ls += p.lanczosTable()[ph * 8 + i];
    }
    for (int i = 0; i < 4; ++i) {
      EXPECT_NEAR(p.cubicTable()[ph * 4 + i], c[i], 2e-6) << ph << ":" << i;
      cs += p.cubicTable()[ph * 4 + i];
    }
    EXPECT_NEAR(ls, 1.0, 1e-6);
    EXPECT_NEAR(cs, 1.0, 1e-6);
  }
}

}  // namespace
}  // namespace ka
