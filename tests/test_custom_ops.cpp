// The custom operators inside real ONNX Runtime sessions, measured against the runtime's
// own GridSample and Conv and against the WarpDirector formula evaluated here in double.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "render/custom_ops.h"
#include "tests/support/test_support.h"

namespace {

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "ka-test");
  return e;
}

std::string opsModel(const std::string& name) { return ka::test::fixtureDir() + "/onnx_ops/" + name; }

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> f;
  std::vector<int8_t> i8;
};

Tensor floats(std::vector<int64_t> shape, std::vector<float> v) { return Tensor{std::move(shape), std::move(v), {}}; }

// Runs a model whose inputs are given in declaration order; returns output 0.
Tensor run(const std::string& model, std::vector<Tensor>& inputs, int threads = 1) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  ka::registerGridSampleFast(so);
  ka::registerInt8ConvVNNI(so);
  Ort::Session s(env(), model.c_str(), so);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<std::string> names;
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < inputs.size(); ++i) {
    names.push_back(s.GetInputNameAllocated(i, alloc).get());
    Tensor& t = inputs[i];
    if (!t.i8.empty())
      values.push_back(Ort::Value::CreateTensor<int8_t>(mem, t.i8.data(), t.i8.size(), t.shape.data(), t.shape.size()));
    else
      values.push_back(Ort::Value::CreateTensor<float>(mem, t.f.data(), t.f.size(), t.shape.data(), t.shape.size()));
  }
  std::vector<const char*> cnames;
  for (auto& n : names) cnames.push_back(n.c_str());
  const std::string outName = s.GetOutputNameAllocated(0, alloc).get();
  const char* on = outName.c_str();
  auto out = s.Run(Ort::RunOptions{nullptr}, cnames.data(), values.data(), values.size(), &on, 1);
  Tensor r;
  r.shape = out[0].GetTensorTypeAndShapeInfo().GetShape();
  const float* p = out[0].GetTensorData<float>();
  r.f.assign(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
  return r;
}

std::vector<float> uniform(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

#define NEED_FIXTURE(path) \
  if (!ka::test::exists(path)) GTEST_SKIP() << "fixture missing: " << (path)

TEST(GridSampleFast, MatchesOrtGridSampleBilinearBorder) {
  NEED_FIXTURE(opsModel("gsf.onnx"));
  struct Case {
    int64_t n, c, h, w, ho, wo;
    int threads;
  };
  for (const Case k : {Case{2, 3, 17, 23, 17, 23, 1}, Case{1, 5, 8, 40, 8, 40, 2}, Case{1, 32, 33, 16, 33, 16, 2},
                       Case{2, 4, 12, 9, 7, 30, 2}}) {
    SCOPED_TRACE(testing::Message() << k.c << "x" << k.h << "x" << k.w << " -> " << k.ho << "x" << k.wo);
    const auto x = uniform(k.n * k.c * k.h * k.w, -3.f, 3.f, 7);
    auto grid = uniform(k.n * k.ho * k.wo * 2, -1.8f, 1.8f, 8);
    grid[0] = -1.f;  // exact borders and a far outlier
    grid[1] = 1.f;
    grid[2] = 25.f;
    std::vector<Tensor> in = {floats({k.n, k.c, k.h, k.w}, x), floats({k.n, k.ho, k.wo, 2}, grid)};
    const Tensor ours = run(opsModel("gsf.onnx"), in, k.threads);
    const Tensor ref = run(opsModel("gs_ref.onnx"), in, k.threads);
    ASSERT_EQ(ours.shape, ref.shape);
    ASSERT_EQ(ours.shape, (std::vector<int64_t>{k.n, k.c, k.ho, k.wo}));
    double worst = 0;
    for (size_t i = 0; i < ref.f.size(); ++i) worst = std::max(worst, std::fabs(double(ours.f[i]) - ref.f[i]));
    EXPECT_LE(worst, 1e-5);
  }
}

TEST(GridSampleFast, EdgesAndHostileGrids) {
  const int C = 2, H = 3, W = 4;
  std::vector<float> X(C * H * W);
  for (size_t i = 0; i < X.size(); ++i) X[i] = float(i) * 1.5f - 4.f;
  // Row 0 of the grid: gx = -1 (x = -0.5) and gx = 1 (x = W - 0.5), at y = row 1 centre.
  std::vector<float> grid(H * W * 2, 0.f);
  const float gyMid = (2.f * 1 + 1.f) / H - 1.f;
  grid[0] = -1.f, grid[1] = gyMid;
  grid[2] = 1.f, grid[3] = gyMid;
  grid[4] = NAN, grid[5] = 1e30f;
  grid[6] = -1e30f, grid[7] = INFINITY;
  std::vector<float> Y(C * H * W, -99.f);
  ka::gridsample_fast(X.data(), grid.data(), Y.data(), C, H, W);
  for (int c = 0; c < C; ++c) {
    EXPECT_FLOAT_EQ(Y[c * H * W + 0], X[c * H * W + 1 * W + 0]);
    EXPECT_FLOAT_EQ(Y[c * H * W + 1], X[c * H * W + 1 * W + W - 1]);
    EXPECT_NE(Y[c * H * W + 3], -99.f);
  }
}

// WarpDirector written out from its definition, in double, with explicit clamping.
double warpRef(const std::vector<float>& P, int c, int H, int W, double gx, double gy) {
  auto at = [&](int r, int s) {
    r = std::min(std::max(r, 0), H - 1);
    s = std::min(std::max(s, 0), W - 1);
    return double(P[(size_t(c) * H + r) * W + s]);
  };
  auto q = [&](int r, int s, int k) {
    const double n00 = at(r, s);
    switch (k) {
      case 0: return n00;
      case 1: return at(r, s - 1) - 2 * n00 + at(r, s + 1);
      case 2: return at(r - 1, s) - 2 * n00 + at(r + 1, s);
      default: {
        const double dyy = at(r - 1, s) - 2 * n00 + at(r + 1, s);
        return (at(r - 1, s - 1) - 2 * at(r, s - 1) + at(r + 1, s - 1)) - 2 * dyy +
               (at(r - 1, s + 1) - 2 * at(r, s + 1) + at(r + 1, s + 1));
      }
    }
  };
  const double x = ((gx + 1) * W - 1) / 2, y = ((gy + 1) * H - 1) / 2;
  const double fx = x - std::floor(x), fy = y - std::floor(y);
  const double hx = fx * (1 - fx) / 2, hy = fy * (1 - fy) / 2;
  const double xc = std::min(std::max(x, 0.0), W - 1.0), yc = std::min(std::max(y, 0.0), H - 1.0);
  const int x0 = int(std::floor(xc)), y0 = int(std::floor(yc));
  const int x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const double ax = xc - x0, ay = yc - y0;
  double B[4];
  for (int k = 0; k < 4; ++k)
    B[k] = (1 - ax) * (1 - ay) * q(y0, x0, k) + ax * (1 - ay) * q(y0, x1, k) + (1 - ax) * ay * q(y1, x0, k) +
           ax * ay * q(y1, x1, k);
  return B[0] - hx * B[1] - hy * B[2] + hx * hy * B[3];
}

TEST(WarpDirector, MatchesItsFormulaInsideOrtAndAlone) {
  NEED_FIXTURE(opsModel("warp.onnx"));
  const int N = 2, H = 21, W = 34;
  const auto P = uniform(size_t(N) * 3 * H * W, 0.f, 1.f, 11);
  const auto grid = uniform(size_t(N) * H * W * 2, -1.3f, 1.3f, 12);
  std::vector<Tensor> in = {floats({N, 3, H, W}, P), floats({N, H, W, 2}, grid)};
  const Tensor ort = run(opsModel("warp.onnx"), in, 2);
  ASSERT_EQ(ort.shape, (std::vector<int64_t>{N, 3, H, W}));
  std::vector<float> one(size_t(3) * H * W), planes(size_t(H) * W * 12), two(size_t(3) * H * W);
  double worst = 0;
  for (int n = 0; n < N; ++n) {
    const std::vector<float> Pn(P.begin() + size_t(n) * 3 * H * W, P.begin() + size_t(n + 1) * 3 * H * W);
    const float* g = grid.data() + size_t(n) * H * W * 2;
    ka::warpDirector(Pn.data(), g, one.data(), W, H);
    ka::warpDirectorPlanesBand(Pn.data(), planes.data(), W, H, 0, H);
    for (int r0 = 0; r0 < H; r0 += 5) ka::warpDirectorGatherBand(planes.data(), g, two.data(), W, H, r0, r0 + 5);
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < H; ++i)
        for (int j = 0; j < W; ++j) {
          const size_t o = (size_t(c) * H + i) * W + j;
          const double want = warpRef(Pn, c, H, W, g[(i * W + j) * 2], g[(i * W + j) * 2 + 1]);
          worst = std::max(worst, std::fabs(want - ort.f[size_t(n) * 3 * H * W + o]));
          worst = std::max(worst, std::fabs(want - one[o]));
          ASSERT_EQ(one[o], two[o]) << "one-pass and two-pass bodies disagree at " << o;
        }
  }
  EXPECT_LE(worst, 2e-5);
  EXPECT_STREQ(ka::warpBody(), "scalar");
}

TEST(WarpDirector, IntegerPositionsAndRampsAreExact) {
  const int H = 16, W = 20;
  std::vector<float> P(size_t(3) * H * W);
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < H; ++r)
      for (int s = 0; s < W; ++s) P[(size_t(c) * H + r) * W + s] = 0.5f + 0.25f * c + 0.0625f * r - 0.03125f * s;
  std::vector<float> grid(size_t(H) * W * 2), Y(P.size());
  // Integer positions: output (i, j) reads pixel (i, j).
  for (int i = 0; i < H; ++i)
    for (int j = 0; j < W; ++j) {
      grid[(i * W + j) * 2] = (2.f * j + 1.f) / W - 1.f;
      grid[(i * W + j) * 2 + 1] = (2.f * i + 1.f) / H - 1.f;
    }
  ka::warpDirector(P.data(), grid.data(), Y.data(), W, H);
  for (size_t k = 0; k < P.size(); ++k) ASSERT_NEAR(Y[k], P[k], 1e-6) << k;
  // Fractional positions well inside: second differences of a ramp vanish, so the result
  // is the ramp itself at (x, y), which is what bilinear sampling gives.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> ux(2.f, W - 3.f), uy(2.f, H - 3.f);
  for (int k = 0; k < H * W; ++k) {
    const float x = ux(rng), y = uy(rng);
    grid[2 * k] = (2.f * x + 1.f) / W - 1.f;
    grid[2 * k + 1] = (2.f * y + 1.f) / H - 1.f;
  }
  ka::warpDirector(P.data(), grid.data(), Y.data(), W, H);
  for (int c = 0; c < 3; ++c)
    for (int k = 0; k < H * W; ++k) {
      const double x = ((grid[2 * k] + 1.0) * W - 1) / 2, y = ((grid[2 * k + 1] + 1.0) * H - 1) / 2;
      ASSERT_NEAR(Y[size_t(c) * H * W + k], 0.5 + 0.25 * c + 0.0625 * y - 0.03125 * x, 2e-5);
    }
}

TEST(WarpDirector, RefusesFourChannels) {
  NEED_FIXTURE(opsModel("warp.onnx"));
  std::vector<Tensor> in = {floats({1, 4, 5, 6}, std::vector<float>(120, 0.5f)),
                            floats({1, 5, 6, 2}, std::vector<float>(60, 0.f))};
  try {
    run(opsModel("warp.onnx"), in);
    FAIL() << "a 4-channel input ran";
  } catch (const Ort::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("com.tavrin::WarpDirector: this node warps the director's 3-channel "
                                         "source and the graph handed it C=4. REFUSING rather than writing a "
                                         "frame nobody asked for."),
              std::string::npos)
        << e.what();
  }
}

struct ConvCase {
  const char* name;
  int64_t c, m, k, group;
};

// Int8ConvVNNI against ORT's float Conv given the dequantised weights. Activations are
// rounded to steps of sx (the zero point's own rounding can add up to half a step at the
// top of the range), so no output may differ by more than sx * sum|w| over its window.
void checkInt8(const ConvCase& cc, std::vector<float> x, int64_t n, int64_t h, int64_t w, int threads) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> wd(-127, 127);
  std::uniform_real_distribution<float> sd(0.001f, 0.01f), bd(-1.f, 1.f);
  const int64_t cg = cc.c / cc.group;
  std::vector<int8_t> wq(size_t(cc.m * cg * cc.k * cc.k));
  for (auto& v : wq) v = static_cast<int8_t>(wd(rng));
  std::vector<float> scale(size_t(cc.m)), bias(size_t(cc.m)), wf(wq.size());
  for (auto& v : scale) v = sd(rng);
  for (auto& v : bias) v = bd(rng);
  double worstWindow = 0;
  for (int64_t m = 0; m < cc.m; ++m) {
    double s = 0;
    for (int64_t i = 0; i < cg * cc.k * cc.k; ++i) {
      const size_t idx = size_t(m * cg * cc.k * cc.k + i);
      wf[idx] = float(wq[idx]) * scale[size_t(m)];
      s += std::fabs(double(wf[idx]));
    }
    worstWindow = std::max(worstWindow, s);
  }
  double lo = 0, hi = 0;
  for (float v : x) lo = std::min(lo, double(v)), hi = std::max(hi, double(v));
  const double sx = (hi - lo) / 255.0;

  const std::vector<int64_t> ws = {cc.m, cg, cc.k, cc.k};
  std::vector<Tensor> qin = {floats({n, cc.c, h, w}, x), Tensor{ws, {}, wq}, floats({cc.m}, scale),
                             floats({cc.m}, bias)};
  std::vector<Tensor> fin = {floats({n, cc.c, h, w}, x), floats(ws, wf), floats({cc.m}, bias)};
  const std::string q = opsModel(std::string("int8_") + cc.name + ".onnx");
  const std::string f = opsModel(std::string("conv_") + cc.name + ".onnx");
  const Tensor got = run(q, qin, threads), ref = run(f, fin, threads);
  ASSERT_EQ(got.shape, ref.shape);
  double worst = 0, sumAbs = 0;
  for (size_t i = 0; i < ref.f.size(); ++i) {
    worst = std::max(worst, std::fabs(double(got.f[i]) - ref.f[i]));
    sumAbs += std::fabs(ref.f[i] - bias[size_t((i / (ref.shape[2] * ref.shape[3])) % cc.m)]);
  }
  EXPECT_LE(worst, sx * worstWindow + 1e-4);
  EXPECT_GT(sumAbs / ref.f.size(), 10 * sx * worstWindow / 255) << "reference too small to mean anything";
}

TEST(Int8ConvVNNI, WithinTheQuantisationBoundOfFloatConv) {
  NEED_FIXTURE(opsModel("int8_plain.onnx"));
  // Shapes match tools/fixtures/make_onnx_ops.py INT8_CASES (strides, pads, dilations there).
  for (const ConvCase cc : {ConvCase{"plain", 8, 16, 3, 1}, ConvCase{"strided", 5, 6, 3, 1},
                            ConvCase{"dilated", 4, 4, 3, 1}, ConvCase{"grouped", 8, 8, 3, 4},
                            ConvCase{"depthwise", 6, 6, 5, 6}}) {
    SCOPED_TRACE(cc.name);
    const int64_t n = 2, h = 13, w = 11;
    checkInt8(cc, uniform(size_t(n * cc.c * h * w), -2.f, 3.f, 5), n, h, w, 2);
  }
}

// The operator's arithmetic written out for the "plain" case (3x3, stride 1, pad 1, one
// batch item): quantise by division (or, to show what the test can tell apart, by the
// reciprocal), accumulate the in-bounds taps in integers, correct the zero point.
std::vector<float> int8Plain(const std::vector<float>& x, int64_t C, int64_t H, int64_t W, int64_t M,
                             const std::vector<int8_t>& wq, const std::vector<float>& scale,
                             const std::vector<float>& bias, bool reciprocal) {
  float lo = 0.f, hi = 0.f;
  for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
  const float sx = (hi - lo) / 255.f, inv = 1.f / sx;
  const int32_t zp = static_cast<int32_t>(std::clamp(std::rint(-lo / sx), 0.f, 255.f));
  std::vector<int32_t> q(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    q[i] = static_cast<int32_t>(std::clamp(std::rint(reciprocal ? x[i] * inv : x[i] / sx) + float(zp), 0.f, 255.f));
  std::vector<float> y(size_t(M * H * W));
  for (int64_t m = 0; m < M; ++m)
    for (int64_t oy = 0; oy < H; ++oy)
      for (int64_t ox = 0; ox < W; ++ox) {
        int32_t acc = 0, wsum = 0;
        for (int64_t c = 0; c < C; ++c)
          for (int64_t ky = 0; ky < 3; ++ky)
            for (int64_t kx = 0; kx < 3; ++kx) {
              const int64_t iy = oy + ky - 1, ix = ox + kx - 1;
              if (iy < 0 || iy >= H || ix < 0 || ix >= W) continue;
              const int32_t w = wq[size_t(((m * C + c) * 3 + ky) * 3 + kx)];
              acc += w * q[size_t((c * H + iy) * W + ix)];
              wsum += w;
            }
        y[size_t((m * H + oy) * W + ox)] = float(acc - zp * wsum) * (sx * scale[size_t(m)]) + bias[size_t(m)];
      }
  return y;
}

TEST(Int8ConvVNNI, QuantisesByDivisionAndMatchesItsIntegerArithmetic) {
  NEED_FIXTURE(opsModel("int8_plain.onnx"));
  const int64_t C = 8, M = 16, H = 13, W = 11;
  std::vector<float> x = uniform(size_t(C * H * W), -2.f, 3.f, 11);
  x[0] = -2.f, x[1] = 3.f;  // the range, exactly
  // Values where x / sx and x * (1 / sx) round to different codes, spread over the input.
  const float sx = 5.f / 255.f, inv = 1.f / sx;
  size_t placed = 0;
  for (int k = -100; k < 150 && placed < 40; ++k) {
    float v = (float(k) + 0.5f) * sx;
    for (int step = 0; step < 8; ++step, v = std::nextafter(v, 10.f))
      if (std::rint(v / sx) != std::rint(v * inv)) {
        x[2 + placed * 17] = v;
        ++placed;
        break;
      }
  }
  ASSERT_GE(placed, 10u) << "too few values that tell division from the reciprocal";
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> mag(32, 127), sign(0, 1);
  std::vector<int8_t> wq(size_t(M * C * 9));
  for (auto& v : wq) v = static_cast<int8_t>(sign(rng) ? mag(rng) : -mag(rng));
  const std::vector<float> scale = uniform(size_t(M), 0.001f, 0.01f, 12), bias = uniform(size_t(M), -1.f, 1.f, 13);
  const std::vector<float> want = int8Plain(x, C, H, W, M, wq, scale, bias, false);
  const std::vector<float> viaReciprocal = int8Plain(x, C, H, W, M, wq, scale, bias, true);
  for (int threads : {1, 2}) {
    std::vector<Tensor> in = {floats({1, C, H, W}, x), Tensor{{M, C, 3, 3}, {}, wq}, floats({M}, scale),
                              floats({M}, bias)};
    const Tensor got = run(opsModel("int8_plain.onnx"), in, threads);
    ASSERT_EQ(got.f.size(), want.size());
    size_t apart = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      const double tol = 1e-6 * std::fabs(want[i]) + 1e-6;  // the output's own float rounding
      EXPECT_NEAR(got.f[i], want[i], tol) << "output " << i << ", " << threads << " thread(s)";
      apart += std::fabs(double(viaReciprocal[i]) - want[i]) > 10 * tol;
    }
    EXPECT_GT(apart, 10u) << "the reciprocal's codes must show in the outputs";
  }
}

TEST(Int8ConvVNNI, AllNegativeInputUsesTheTopZeroPoint) {
  NEED_FIXTURE(opsModel("int8_plain.onnx"));
  // Every value below zero: the range is [min, 0], so zp = 255 and the codes run down from
  // there; a wrong zero point would clamp them all and the outputs would collapse to bias.
  checkInt8(ConvCase{"plain", 8, 16, 3, 1}, uniform(size_t(1 * 8 * 9 * 9), -5.f, -0.5f, 6), 1, 9, 9, 1);
  // Large enough for the range search to be split across the pool.
  checkInt8(ConvCase{"plain", 8, 16, 3, 1}, uniform(size_t(1 * 8 * 40 * 40), -5.f, -0.5f, 7), 1, 40, 40, 1);
}

}  // namespace

// Both operators of "com.tavrin" in one graph, with every registration a caller might
// make on the same options: the domain must reach ONNX Runtime exactly once.
TEST(CustomOpDomains, OneSessionRunsBothTavrinOperators) {
  NEED_FIXTURE(opsModel("gsf_warp.onnx"));
  const int N = 1, H = 9, W = 13;
  const auto P = uniform(size_t(N) * 3 * H * W, 0.f, 1.f, 21);
  const auto grid = uniform(size_t(N) * H * W * 2, -1.1f, 1.1f, 22);
  std::vector<float> sampled(P.size()), want(P.size());
  ka::gridsample_fast(P.data(), grid.data(), sampled.data(), 3, H, W);
  ka::warpDirector(sampled.data(), grid.data(), want.data(), W, H);

  using Reg = void (*)(Ort::SessionOptions&);
  const std::vector<std::vector<Reg>> orders = {
      {ka::registerGridSampleFast, ka::registerWarpDirector, ka::registerInt8ConvVNNI},
      {ka::registerWarpDirector, ka::registerGridSampleFast},
      {ka::registerGridSampleFast, ka::registerGridSampleFast, ka::registerInt8ConvVNNI, ka::registerInt8ConvVNNI},
  };
  for (size_t o = 0; o < orders.size(); ++o) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    for (Reg r : orders[o]) r(so);
    Ort::Session s(env(), opsModel("gsf_warp.onnx").c_str(), so);
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<float> p = P, g = grid;
    const int64_t ps[] = {N, 3, H, W}, gs[] = {N, H, W, 2};
    Ort::Value in[] = {Ort::Value::CreateTensor<float>(mem, p.data(), p.size(), ps, 4),
                       Ort::Value::CreateTensor<float>(mem, g.data(), g.size(), gs, 4)};
    const char* names[] = {"P", "grid"};
    const char* out = "Y";
    auto y = s.Run(Ort::RunOptions{nullptr}, names, in, 2, &out, 1);
    const float* got = y[0].GetTensorData<float>();
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << "order " << o << " at " << i;
  }
}
