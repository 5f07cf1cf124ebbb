// The convolution engine's packing, its prior tap rule and its half-precision
// convolution row on every compiled vector target.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "compute/simd.h"
#include "compute/simd_conv_f16.h"
#include "compute/simd_winograd.h"
#include "render/conv_backend_pack.h"
#include "render/m4b_model.h"
#include "render/onnx_codec.h"
#include "tests/support/test_support.h"
#include "tests/test_simd_reference.h"

namespace {

std::vector<float> randomFloats(size_t n, std::mt19937& rng, float scale) {
  std::uniform_real_distribution<float> u(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

TEST(PackConv, LayoutPaddingAndZeroFill) {
  struct Case {
    int cin, cout, k;
    int cinStored, coutPadded;
  };
  const Case cases[] = {{85, 96, 1, 88, 96},   {7, 24, 3, 8, 24},    {48, 23, 3, 48, 24},
                        {32, 3, 3, 32, 8},     {336, 144, 3, 336, 144}, {24, 12, 3, 24, 16},
                        {96, 48, 3, 96, 48},   {1, 33, 1, 8, 40}};
  std::mt19937 rng(3);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cin) + "->" + std::to_string(c.cout));
    const size_t kk = static_cast<size_t>(c.k) * c.k;
    const auto w = randomFloats(static_cast<size_t>(c.cout) * c.cin * kk, rng, 1.f);
    const auto b = randomFloats(static_cast<size_t>(c.cout), rng, 1.f);
    const ka::ConvLayer L = ka::packConv("x", 4, 4, c.cin, c.cout, c.k, true, w.data(), w.size(), b.data(), b.size());
    EXPECT_EQ(L.cinStored, c.cinStored);
    EXPECT_EQ(L.coutPadded, c.coutPadded);
    EXPECT_EQ(L.wide, c.cin >= 64);
    ASSERT_EQ(L.weight.size(), static_cast<size_t>(c.coutPadded) * c.cinStored * kk);
    ASSERT_EQ(L.bias.size(), static_cast<size_t>(c.coutPadded));
    // Independent packing: walk the blocks in order, each [tap][input][block width].
    std::vector<uint16_t> want;
    for (int b0 = 0; b0 < c.coutPadded; b0 += 32) {
      const int bw = std::min(32, c.coutPadded - b0);
      for (size_t t = 0; t < kk; ++t)
        for (int i = 0; i < c.cinStored; ++i)
          for (int j = 0; j < bw; ++j) {
            const int o = b0 + j;
            want.push_back(o < c.cout && i < c.cin ? ka::f32ToF16(w[(static_cast<size_t>(o) * c.cin + i) * kk + t])
                                                   : uint16_t{0});
          }
    }
    EXPECT_EQ(L.weight, want);
    for (int o = 0; o < c.coutPadded; ++o) EXPECT_EQ(L.bias[o], o < c.cout ? b[o] : 0.f);
  }
  const std::vector<float> w(95), b(3);
  EXPECT_EQ(ka::test::refusal([&] { ka::packConv("tile3", 8, 8, 32, 3, 1, false, w.data(), w.size(), b.data(), 2); }),
            "ka_conv: layer tile3 needs 96 weights / 3 bias but the graph supplies 95 / 2 — refusing to pack (graph "
            "is not the m4b this kernel implements)");
}

// A model holding every initializer of the fused m4b by shape only (values unused).
ka::OnnxModel fusedShapes() {
  ka::OnnxModel m;
  m.pooledDims = {4, 64, 32, 32};
  auto add = [&](const std::string& name, std::vector<int64_t> dims) { m.initializers.push_back({name, dims, {}}); };
  const struct {
    const char* layer;
    int64_t out, in, k;
  } convs[] = {{"s.e0.conv", 96, 96, 3},  {"s.e1.conv", 144, 96, 3}, {"s.e2.conv", 192, 144, 3},
               {"s.d1.conv", 144, 336, 3}, {"s.d0.conv", 96, 240, 3}, {"s.ref.conv", 48, 96, 3},
               {"s.mask", 22, 48, 3},      {"s.occ", 1, 48, 3},       {"s.corr.0.conv", 24, 7, 3},
               {"s.corr.1.conv", 24, 24, 3}, {"s.corr.2", 12, 24, 3}, {"s.tile.0.conv", 32, 7, 3},
               {"s.tile.1.conv", 32, 32, 3}, {"s.tile.2.conv", 32, 32, 3}, {"s.tile.3", 3, 32, 3}};
  for (const auto& c : convs) {
    add(std::string(c.layer) + ".weight", {c.out, c.in, c.k, c.k});
    add(std::string(c.layer) + ".bias", {c.out});
  }
  add("onnx::Conv_41", {96, 85, 1, 1});
  add("onnx::Conv_42", {96});
  add("onnx::MatMul_50", {64, 196608});
  add("onnx::Sub_51", {1, 1, 32, 32, 2});
  add("s.grid64", {1, 64, 64, 2});
  add("s.feather", {1, 1, 512, 512});
  add("s.wmlp.0.weight", {100, 255});
  add("s.wmlp.0.bias", {100});
  add("s.wmlp.2.weight", {64, 100});
  add("s.wmlp.2.bias", {64});
  return m;
}

void setDims(ka::OnnxModel& m, const std::string& name, std::vector<int64_t> dims) {
  for (auto& t : m.initializers)
    if (t.name == name) t.dims = dims;
}

void renameInit(ka::OnnxModel& m, const std::string& from, const std::string& to) {
  for (auto& t : m.initializers)
    if (t.name == from) t.name = to;
}

TEST(M4bResolve, FindsByShapeAndNamesEachReason) {
  const ka::M4bTopology t = ka::m4bResolve(fusedShapes());
  EXPECT_EQ(t.preWeight, "onnx::Conv_41");
  EXPECT_EQ(t.preBias, "onnx::Conv_42");
  EXPECT_EQ(t.basis, "onnx::MatMul_50");
  EXPECT_EQ(t.grid32, "onnx::Sub_51");
  EXPECT_EQ(t.hidden, 100);
  struct Case {
    std::function<void(ka::OnnxModel&)> edit;
    const char* reason;
  };
  const Case cases[] = {
      {[](ka::OnnxModel& m) { renameInit(m, "s.tile.2.conv.bias", "s.tile.2.bias"); }, "missing s.tile.2.conv.bias"},
      {[](ka::OnnxModel& m) { setDims(m, "s.d0.conv.weight", {96, 240, 1, 1}); },
       "s.d0.conv.weight has shape (96,240,1,1), not (96,240,3,3)"},
      {[](ka::OnnxModel& m) { m.initializers.push_back({"onnx::Conv_77", {96, 85, 1, 1}, {}}); },
       "pre weight (96,85,1,1) absent or ambiguous"},
      {[](ka::OnnxModel& m) { setDims(m, "onnx::Conv_41", {96, 86, 1, 1}); },
       "pre weight (96,85,1,1) absent or ambiguous"},
      {[](ka::OnnxModel& m) { renameInit(m, "onnx::Conv_41", "s.pre.weight"); },
       "pre weight name carries no SSA counter"},
      {[](ka::OnnxModel& m) { setDims(m, "onnx::Conv_42", {95}); }, "pre bias onnx::Conv_42 absent or not (96)"},
      {[](ka::OnnxModel& m) { renameInit(m, "onnx::Conv_42", "onnx::Conv_43"); },
       "pre bias onnx::Conv_42 absent or not (96)"},
      {[](ka::OnnxModel& m) { m.initializers.push_back({"b2", {64, 196608}, {}}); },
       "basis (64,196608) absent or ambiguous"},
      {[](ka::OnnxModel& m) { setDims(m, "onnx::Sub_51", {1, 32, 32, 2}); }, "grid32 (1,1,32,32,2) absent or ambiguous"},
      {[](ka::OnnxModel& m) { setDims(m, "s.wmlp.2.weight", {64, 99}); },
       "s.wmlp.2.weight has shape (64,99), not (64,100)"},
      // A dynamic batch would size the engine's buffers for no frame at all.
      {[](ka::OnnxModel& m) { m.pooledDims = {-1, 64, 32, 32}; }, "pooled64 declared as (-1,64,32,32), not (batch,64,32,32)"},
      // The engine sizes every frame's buffers at construction: the declared batch is bounded.
      {[](ka::OnnxModel& m) { m.pooledDims = {64, 64, 32, 32}; }, ""},
      {[](ka::OnnxModel& m) { m.pooledDims = {65, 64, 32, 32}; }, "pooled64 declares batch 65, over the engine's maximum of 64"},
      {[](ka::OnnxModel& m) { m.pooledDims = {4294967297, 64, 32, 32}; },
       "pooled64 declares batch 4294967297, over the engine's maximum of 64"},
  };
  for (const Case& c : cases) {
    ka::OnnxModel m = fusedShapes();
    c.edit(m);
    EXPECT_EQ(ka::test::refusal([&] { ka::m4bResolve(m); }), c.reason);
  }
}

// Small models written with the codec: one initializer and the pooled64 input.
TEST(LoadOnnx, RefusesWhatItCannotRead) {
  auto write = [](const std::string& path, const std::function<void(ka::GsBytes&)>& graphBody, bool input) {
    ka::GsBytes graph, model;
    graphBody(graph);
    const int64_t dims[] = {2, 64, 32, 32};
    if (input) ka::gsPutTensorValueInfo(graph, 11, "pooled64", dims, 4);
    ka::gsPutBytes(model, 7, graph.data(), graph.size());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(model.data(), 1, model.size(), f);
    std::fclose(f);
  };
  const float v[4] = {1.f, 2.f, 3.f, 4.f};
  const std::string path = ::testing::TempDir() + "/load_onnx.onnx";
  struct Case {
    std::function<void(ka::GsBytes&)> body;
    bool input;
    const char* error;
  };
  const Case cases[] = {
      {[&](ka::GsBytes& g) { ka::hcInit(g, "w", 1, {2, 2}, v, sizeof v); }, true, ""},
      {[&](ka::GsBytes& g) { ka::hcInit(g, "w", 10, {2, 2}, v, 8); }, true, "onnx: non-fp32 initializer w"},
      {[&](ka::GsBytes& g) { ka::hcInit(g, "w", 1, {2, 2}, v, 12); }, true, "onnx: raw size mismatch w"},
      {[&](ka::GsBytes& g) { ka::hcInit(g, "w", 1, {2, 3}, v, sizeof v); }, true, "onnx: raw size mismatch w"},
      // A dimension whose byte count wraps to one float's would size the values at 2^62.
      {[&](ka::GsBytes& g) { ka::hcInit(g, "w", 1, {(int64_t(1) << 62) + 1}, v, 4); }, true,
       "onnx: raw size mismatch w"},
      {[&](ka::GsBytes& g) { ka::hcInit(g, "w", 1, {2, 2}, v, 0); }, true, "onnx: no data for w"},
      {[&](ka::GsBytes& g) { ka::hcInit(g, "w", 1, {2, 2}, v, sizeof v); }, false, "ka_conv: pooled64 input not found"},
  };
  for (const Case& c : cases) {
    write(path, c.body, c.input);
    EXPECT_EQ(ka::test::refusal([&] {
                const ka::OnnxModel m = ka::loadOnnx(path);
                EXPECT_EQ(m.pooledDims, (std::vector<int64_t>{2, 64, 32, 32}));
                EXPECT_EQ(m.get("w").values, (std::vector<float>{1.f, 2.f, 3.f, 4.f}));
                EXPECT_EQ(ka::test::refusal([&] { m.get("x"); }), "onnx: missing initializer x");
              }),
              c.error);
  }
}

TEST(PriorTap, ClampAndFractionAtTheEdges) {
  struct Case {
    float c;
    int index;
    float frac;
  };
  const Case cases[] = {{-0.5f, 0, 0.f},     {0.f, 0, 0.f},        {0.25f, 0, 0.25f}, {510.5f, 510, 0.5f},
                        {511.f, 510, 1.f},   {600.f, 510, 1.f},    {NAN, 0, 0.f},     {255.75f, 255, 0.75f}};
  for (const Case& c : cases) {
    int i = -1;
    float f = -1.f;
    ka::m4bPriorTap(c.c, &i, &f);
    EXPECT_EQ(i, c.index) << c.c;
    EXPECT_EQ(f, c.frac) << c.c;
  }
}

// Rows of every width up to past the widest pixel step and one wide enough to convert its
// weights once per row, every block shape, both output kinds: against a double-precision sum over the same half inputs and weights. Two kinds
// of data: random values, held to each arithmetic's own bound, and values on a coarse
// dyadic grid (inputs k/4, weights m/8, |k|, |m| <= 8), whose products and sums of up to
// a run's length are exact even in half precision, so that every arithmetic must give
// the reference to single-precision rounding: a dropped or misplaced product shows there
// however long the sum.
void checkRows(ka::simd::ConvF16Arithmetic arith) {
  const bool half = arith == ka::simd::ConvF16Arithmetic::kHalf;
  struct Case {
    int cin, cout, k;
  };
  const Case cases[] = {{8, 8, 3}, {7, 3, 3}, {24, 12, 3}, {48, 23, 3}, {85, 96, 1}, {32, 32, 3}, {96, 48, 3}, {144, 40, 3}};
  std::mt19937 rng(11);
  for (bool dyadic : {false, true})
    for (const Case& c : cases)
      for (int w : {1, 2, 5, 9, 13, 37}) {
        for (int mode = 0; mode < 3; ++mode) {  // 0 half output + ReLU, 1 half output, 2 float output
          SCOPED_TRACE(std::to_string(c.cin) + "->" + std::to_string(c.cout) + " k" + std::to_string(c.k) + " w" +
                       std::to_string(w) + " mode " + std::to_string(mode) + (dyadic ? " dyadic" : " random"));
          const size_t kk = static_cast<size_t>(c.k) * c.k;
          auto wf = randomFloats(static_cast<size_t>(c.cout) * c.cin * kk, rng, 0.3f);
          const auto bf = randomFloats(static_cast<size_t>(c.cout), rng, 0.5f);
          std::uniform_int_distribution<int> grid(-8, 8);
          if (dyadic)
            for (float& v : wf) v = static_cast<float>(grid(rng)) / 8;
          const ka::ConvLayer L =
              ka::packConv("t", 1, w, c.cin, c.cout, c.k, mode == 0, wf.data(), wf.size(), bf.data(), bf.size());
          const int cs = L.cinStored, iw = w + c.k - 1;
          // Input rows with an extra column of garbage each side of the window's reach.
          const size_t rowStride = static_cast<size_t>(iw + 2) * cs;
          std::vector<uint16_t> in(rowStride * c.k);
          for (uint16_t& h : in)
            h = ka::f32ToF16(dyadic ? static_cast<float>(grid(rng)) / 4
                                    : std::uniform_real_distribution<float>(-2.f, 2.f)(rng));
          const size_t ops = static_cast<size_t>(L.coutPadded) + 8;  // a gap between pixels
          std::vector<uint16_t> outH(ops * (w + 1), 0xABCD);
          std::vector<float> outF(ops * (w + 1), -7.f);
          ka::simd::ConvF16RowArgs a;
          a.in = in.data() + cs;
          a.inRowStride = rowStride;
          a.cs = cs;
          a.k = c.k;
          a.w = w;
          a.weight = L.weight.data();
          a.bias = L.bias.data();
          a.coutPadded = L.coutPadded;
          a.relu = mode == 0;
          a.outPixelStride = ops;
          if (mode == 2) a.outF32 = outF.data();
          else a.outF16 = outH.data();
          ka::simd::convF16Row(a, arith);
          for (int x = 0; x <= w; ++x)
            for (size_t o = 0; o < ops; ++o) {
              const size_t at = static_cast<size_t>(x) * ops + o;
              if (x == w || o >= static_cast<size_t>(L.coutPadded)) {
                ASSERT_EQ(mode == 2 ? outF[at] : static_cast<float>(outH[at]), mode == 2 ? -7.f : float(0xABCD))
                    << "wrote outside pixel " << x << " channel " << o;
                continue;
              }
              double sum = o < static_cast<size_t>(c.cout) ? bf[o] : 0.0, sumAbs = 0.0;
              for (int r = 0; r < c.k; ++r)
                for (int kx = 0; kx < c.k; ++kx)
                  for (int i = 0; o < static_cast<size_t>(c.cout) && i < c.cin; ++i) {
                    float iv, wv;
                    const uint16_t wh = ka::f32ToF16(wf[(o * c.cin + i) * kk + r * c.k + kx]);
                    ka::halfToFloat(&in[r * rowStride + static_cast<size_t>(x + kx + 1) * cs + i], &iv, 1);
                    ka::halfToFloat(&wh, &wv, 1);
                    sum += static_cast<double>(iv) * wv;
                    sumAbs += std::fabs(static_cast<double>(iv) * wv);
                  }
              if (mode == 0) sum = std::max(sum, 0.0);
              float got;
              if (mode == 2) got = outF[at];
              else ka::halfToFloat(&outH[at], &got, 1);
              // Float sums differ from the double one by summation order only; a half
              // result is the sum rounded once more (half an ulp, 2^-11 relative). Half
              // runs add at most a run's length times 2^-11 of their products' magnitudes
              // (and 2^-25 per product where a partial sum is subnormal).
              double tol = (mode == 2 ? 1e-5 : 1.0 / 1024) * std::max(1.0, std::fabs(sum)) + 1e-5 * c.cin * kk;
              if (half && !dyadic) tol += ka::simd::kConvF16HalfRun * std::ldexp(sumAbs, -11) + std::ldexp(c.cin * kk, -25);
              ASSERT_NEAR(got, sum, tol) << "pixel " << x << " channel " << o;
            }
        }
      }
}

using ConvF16Kernel = ka::test::PerTarget;
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(ConvF16Kernel);

TEST_P(ConvF16Kernel, RowEqualsAReferenceSum) { checkRows(ka::simd::ConvF16Arithmetic::kSingle); }

// Winograd bands against the direct row over the same halves (both written over the same
// sentinels, so a stray write shows too): every remainder of the
// four-pixel tile along the row and down the band, bands of several chunks of tiles,
// every block shape, half and float outputs. What the band may not read is NaN, so a
// tile that overhangs the row's end or the band's last row must take zeros there.
TEST_P(ConvF16Kernel, WinogradBandEqualsTheDirectRow) {
  struct Case {
    int cin, cout, w, rows;
  };
  const Case cases[] = {{8, 8, 1, 1},     {7, 3, 6, 3},      {24, 12, 9, 4},  {48, 23, 13, 2},
                        {32, 32, 211, 4}, {96, 48, 7, 1},    {336, 40, 29, 3}, {8, 32, 450, 2}};
  std::mt19937 rng(5);
  for (const Case& c : cases)
    for (int mode = 0; mode < 3; ++mode) {  // 0 half output + ReLU, 1 half output, 2 float output
      SCOPED_TRACE(std::to_string(c.cin) + "->" + std::to_string(c.cout) + " w" + std::to_string(c.w) + " rows " +
                   std::to_string(c.rows) + " mode " + std::to_string(mode));
      const auto wf = randomFloats(static_cast<size_t>(c.cout) * c.cin * 9, rng, 0.3f);
      const auto bf = randomFloats(static_cast<size_t>(c.cout), rng, 0.5f);
      const ka::ConvLayer L = ka::packConv("t", 4, c.w, c.cin, c.cout, 3, mode == 0, wf.data(), wf.size(), bf.data(),
                                           bf.size());
      ASSERT_EQ(L.winograd.size(), ka::simd::winogradWeightCount(L.cinStored, L.coutPadded));
      const size_t cs = static_cast<size_t>(L.cinStored), inRow = (c.w + 3) * cs;
      std::vector<uint16_t> in(inRow * 7, 0x7E00);
      for (int r = 0; r < c.rows + 2; ++r)
        for (size_t i = 0; i < (c.w + 2) * cs; ++i)
          in[r * inRow + i] = ka::f32ToF16(std::uniform_real_distribution<float>(-2.f, 2.f)(rng));
      const size_t ops = static_cast<size_t>(L.coutPadded) + 8, outRow = (c.w + 1) * ops;
      std::vector<uint16_t> gotH(outRow * 4, 0xABCD), refH(outRow * 4, 0xABCD);
      std::vector<float> gotF(outRow * 4, -7.f), refF(outRow * 4, -7.f);
      ka::simd::WinogradBandArgs a;
      a.in = in.data();
      a.inRowStride = inRow;
      a.cs = L.cinStored;
      a.w = c.w;
      a.rows = c.rows;
      a.weight = L.winograd.data();
      a.bias = L.bias.data();
      a.coutPadded = L.coutPadded;
      a.relu = mode == 0;
      a.outRowStride = outRow;
      a.outPixelStride = ops;
      if (mode == 2) a.outF32 = gotF.data();
      else a.outF16 = gotH.data();
      ka::simd::winogradBand(a);
      for (int r = 0; r < c.rows; ++r) {
        ka::simd::ConvF16RowArgs d;
        d.in = in.data() + r * inRow;
        d.inRowStride = inRow;
        d.cs = L.cinStored;
        d.k = 3;
        d.w = c.w;
        d.weight = L.weight.data();
        d.bias = L.bias.data();
        d.coutPadded = L.coutPadded;
        d.relu = mode == 0;
        d.outPixelStride = ops;
        if (mode == 2) d.outF32 = refF.data() + r * outRow;
        else d.outF16 = refH.data() + r * outRow;
        ka::simd::convF16Row(d, ka::simd::ConvF16Arithmetic::kSingle);
      }
      for (size_t i = 0; i < outRow * 4; ++i) {
        float got = gotF[i], ref = refF[i];
        if (mode != 2) {
          ka::halfToFloat(&gotH[i], &got, 1);
          ka::halfToFloat(&refH[i], &ref, 1);
        }
        // The transforms' single-precision rounding (measured up to 9e-5 of 1 + |ref|,
        // under half a half-precision ulp), and for halves one ulp more where the two
        // sums straddle a rounding boundary.
        const float tol = 2e-4f * (1.f + std::fabs(ref)) + (mode == 2 ? 0.f : std::ldexp(std::fabs(ref), -10));
        ASSERT_NEAR(got, ref, tol) << "row " << i / outRow << " pixel " << i % outRow / ops << " channel " << i % ops;
      }
    }
}

// The half-arithmetic row where the processor has it. KA_TEST_REQUIRE_HALF_ARITH=1 (set by
// the AArch64 run under emulation) makes its absence a failure rather than a skip.
TEST(ConvF16HalfArithmetic, RowEqualsAReferenceSumWithinItsBound) {
  if (ka::simd::convF16Arithmetic() != ka::simd::ConvF16Arithmetic::kHalf) {
    const char* require = std::getenv("KA_TEST_REQUIRE_HALF_ARITH");
    ASSERT_FALSE(require && std::string(require) == "1") << "this processor has no half-precision arithmetic";
    GTEST_SKIP() << "no half-precision vector arithmetic on this processor";
  }
  checkRows(ka::simd::ConvF16Arithmetic::kHalf);
}

}  // namespace
