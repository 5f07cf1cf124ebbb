// The load-time rewrites on PyTorch exports: ONNX Runtime must compute the same outputs
// from the rewritten bytes as from the originals, and every near miss must come back
// byte for byte.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "render/custom_ops.h"
#include "render/graph_rewrites.h"
#include "render/onnx_codec.h"
#include "tests/support/test_support.h"

namespace {

using ka::GsBytes;

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "ka-test");
  return e;
}

std::string torchModel(const std::string& name) { return ka::test::fixtureDir() + "/onnx_torch/" + name; }

GsBytes load(const std::string& path) {
  const std::string s = ka::test::slurp(path);
  return GsBytes(s.begin(), s.end());
}

struct Input {
  std::vector<int64_t> shape;
  std::vector<float> v;
};

std::vector<float> runBytes(const GsBytes& model, std::vector<Input>& inputs) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  ka::registerGridSampleFast(so);
  Ort::Session s(env(), model.data(), model.size(), so);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<Ort::Value> values;
  std::vector<std::string> names;
  for (size_t i = 0; i < inputs.size(); ++i) {
    names.push_back(s.GetInputNameAllocated(i, alloc).get());
    values.push_back(Ort::Value::CreateTensor<float>(mem, inputs[i].v.data(), inputs[i].v.size(),
                                                     inputs[i].shape.data(), inputs[i].shape.size()));
  }
  std::vector<const char*> cn;
  for (auto& n : names) cn.push_back(n.c_str());
  const std::string outName = s.GetOutputNameAllocated(0, alloc).get();
  const char* on = outName.c_str();
  auto out = s.Run(Ort::RunOptions{nullptr}, cn.data(), values.data(), values.size(), &on, 1);
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

Input random(std::vector<int64_t> shape, float lo, float hi, uint32_t seed) {
  size_t n = 1;
  for (auto d : shape) n *= size_t(d);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  Input in{std::move(shape), std::vector<float>(n)};
  for (auto& x : in.v) x = d(rng);
  return in;
}

// Largest absolute difference, and the largest reference magnitude.
std::pair<double, double> compare(const std::vector<float>& got, const std::vector<float>& ref) {
  EXPECT_EQ(got.size(), ref.size());
  double worst = 0, scale = 0;
  for (size_t i = 0; i < std::min(got.size(), ref.size()); ++i) {
    worst = std::max(worst, std::fabs(double(got[i]) - ref[i]));
    scale = std::max(scale, std::fabs(double(ref[i])));
  }
  return {worst, scale};
}

std::vector<std::string> opsOf(const GsBytes& model) {
  std::vector<std::string> ops;
  ka::GsReader r(ka::gsGraphOf(model));
  ka::GsField f;
  while (r.next(f))
    if (f.field == 1) ops.push_back(ka::gsFirstStr(f.payload, 4));
  return ops;
}

size_t tavrinImports(const GsBytes& model) {
  size_t n = 0;
  ka::GsReader r(ka::gsSliceOf(model));
  ka::GsField f;
  while (r.next(f))
    if (f.field == 8 && ka::gsFirstStr(f.payload, 1) == "com.tavrin") ++n;
  return n;
}

#define LOAD_OR_SKIP(var, name)                                             \
  if (!ka::test::exists(torchModel(name))) GTEST_SKIP() << "fixture missing"; \
  GsBytes var = load(torchModel(name))

TEST(RewriteGridSample, OrtComputesTheSameFromTheRewrittenGraph) {
  LOAD_OR_SKIP(model, "gs_bilinear_border.onnx");
  EXPECT_FALSE(ka::graphHasBakedGridSampleFast(model));
  GsBytes rewritten = model;
  ASSERT_EQ(ka::rewriteGridSampleToFast(rewritten), 1u);
  EXPECT_TRUE(ka::graphHasBakedGridSampleFast(rewritten));
  EXPECT_EQ(tavrinImports(rewritten), 1u);
  std::vector<Input> in = {random({1, 3, 24, 20}, -2, 2, 1), random({1, 24, 20, 2}, -1.7f, 1.7f, 2)};
  const auto [worst, scale] = compare(runBytes(rewritten, in), runBytes(model, in));
  EXPECT_LE(worst, 1e-5);
  EXPECT_GT(scale, 0.1);
  // A second pass finds nothing left to do.
  GsBytes again = rewritten;
  EXPECT_EQ(ka::rewriteGridSampleToFast(again), 0u);
  EXPECT_EQ(again, rewritten);
}

TEST(RewriteGridSample, LinearModeAndAnExistingImport) {
  LOAD_OR_SKIP(linear, "gs_linear_edited.onnx");
  EXPECT_EQ(ka::rewriteGridSampleToFast(linear), 1u);
  EXPECT_TRUE(ka::graphHasBakedGridSampleFast(linear));
  LOAD_OR_SKIP(imported, "gs_has_import.onnx");
  EXPECT_EQ(ka::rewriteGridSampleToFast(imported), 1u);
  EXPECT_EQ(tavrinImports(imported), 1u);
}

TEST(RewriteGridSample, OtherConfigurationsAreLeftAlone) {
  for (const char* name : {"gs_zeros.onnx", "gs_align1.onnx", "gs_nearest.onnx", "cubic_head.onnx"}) {
    SCOPED_TRACE(name);
    LOAD_OR_SKIP(model, name);
    GsBytes copy = model;
    EXPECT_EQ(ka::rewriteGridSampleToFast(copy), 0u);
    EXPECT_EQ(copy, model);
  }
}

TEST(StudentBlend, MatMulBecomesGemmWithTheSameResult) {
  LOAD_OR_SKIP(model, "blend_renamed.onnx");
  GsBytes rewritten = model;
  ASSERT_EQ(ka::normaliseStudentBlend(rewritten), 1u);
  const auto ops = opsOf(rewritten);
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "MatMul"), 0);
  std::vector<Input> in = {random({4, 16}, -1, 1, 3)};
  const auto [worst, scale] = compare(runBytes(rewritten, in), runBytes(model, in));
  EXPECT_LE(worst, 1e-6 * std::max(1.0, scale));
}

// A graph with one hand-made node named "/s2/blend".
GsBytes blendGraph(const std::vector<std::string>& inputs, const char* domain) {
  GsBytes node;
  for (const auto& i : inputs) ka::gsPutBytes(node, 1, i.data(), i.size());
  ka::gsPutBytes(node, 2, "y", 1);
  ka::gsPutBytes(node, 3, "/s2/blend", 9);
  ka::gsPutBytes(node, 4, "MatMul", 6);
  if (domain) ka::gsPutBytes(node, 7, domain, std::strlen(domain));
  GsBytes graph;
  ka::gsPutBytes(graph, 1, node.data(), node.size());
  GsBytes model;
  ka::gsPutTag(model, 1, 0);
  ka::gsPutVarint(model, 8);
  ka::gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

TEST(StudentBlend, NearMissesAreLeftAlone) {
  for (const char* name : {"blend_attr_renamed.onnx", "blend_unnamed.onnx"}) {
    SCOPED_TRACE(name);
    LOAD_OR_SKIP(model, name);
    GsBytes copy = model;
    EXPECT_EQ(ka::normaliseStudentBlend(copy), 0u);
    EXPECT_EQ(copy, model);
  }
  for (const GsBytes& model : {blendGraph({"a", "b", "c"}, nullptr), blendGraph({"a", "b"}, "com.other")}) {
    GsBytes copy = model;
    EXPECT_EQ(ka::normaliseStudentBlend(copy), 0u);
    EXPECT_EQ(copy, model);
  }
  GsBytes plain = blendGraph({"a", "b"}, "ai.onnx");
  EXPECT_EQ(ka::normaliseStudentBlend(plain), 1u);
  EXPECT_EQ(opsOf(plain), std::vector<std::string>{"Gemm"});
}

TEST(HeadCubic, PadConvDepthToSpaceComputesTheResize) {
  for (const char* name : {"cubic_head.onnx", "cubic_head_grouped.onnx"}) {
    SCOPED_TRACE(name);
    LOAD_OR_SKIP(model, name);
    GsBytes rewritten = model;
    ASSERT_EQ(ka::rewriteHeadCubicResize(rewritten), 1u);
    const auto ops = opsOf(rewritten);
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "Resize"), 0);
    const auto pad = std::find(ops.begin(), ops.end(), "Pad");
    ASSERT_NE(pad, ops.end());
    ASSERT_LE(pad + 3, ops.end());
    EXPECT_EQ(*(pad + 1), "Conv");
    EXPECT_EQ(*(pad + 2), "DepthToSpace");
    for (uint32_t seed : {4u, 5u}) {
      std::vector<Input> in = {random({1, 8, 16, 12}, -3, 3, seed)};
      const auto [worst, scale] = compare(runBytes(rewritten, in), runBytes(model, in));
      EXPECT_LE(worst, 1e-4 * scale);
      EXPECT_GT(scale, 0.1);
    }
  }
}

// Keys cubic kernel, straight from its definition.
double keysRef(double d, double a) {
  d = std::fabs(d);
  if (d <= 1) return (a + 2) * d * d * d - (a + 3) * d * d + 1;
  if (d < 2) return a * d * d * d - 5 * a * d * d + 8 * a * d - 4 * a;
  return 0;
}

TEST(HeadCubic, DepthwiseWeightsAreTheKeysTaps) {
  LOAD_OR_SKIP(model, "cubic_head.onnx");
  ASSERT_EQ(ka::rewriteHeadCubicResize(model), 1u);
  std::vector<float> w;
  std::vector<int64_t> dims;
  ka::GsReader r(ka::gsGraphOf(model));
  ka::GsField f;
  while (r.next(f))
    if (f.field == 5 && ka::gsFirstStr(f.payload, 8).find("_dw_w") != std::string::npos) {
      ka::hcTensorDims(f.payload, dims);
      ASSERT_TRUE(ka::hcTensorFloats(f.payload, w));
    }
  ASSERT_EQ(dims, (std::vector<int64_t>{32, 1, 5, 5}));
  // Output row 2i samples i - 0.25: taps i-2..i+1 at distances 1.75, 0.75, 0.25, 1.25.
  // Output row 2i+1 samples i + 0.25: taps i-1..i+2 at 1.25, 0.25, 0.75, 1.75.
  double even[5] = {keysRef(1.75, -0.75), keysRef(0.75, -0.75), keysRef(0.25, -0.75), keysRef(1.25, -0.75), 0};
  double odd[5] = {0, keysRef(1.25, -0.75), keysRef(0.25, -0.75), keysRef(0.75, -0.75), keysRef(1.75, -0.75)};
  double se = 0, so = 0;
  for (int k = 0; k < 5; ++k) se += even[k], so += odd[k];
  for (int k = 0; k < 5; ++k) even[k] /= se, odd[k] /= so;
  for (int c = 0; c < 8; ++c)
    for (int p = 0; p < 4; ++p) {
      const double* row = (p / 2) ? odd : even;
      const double* col = (p % 2) ? odd : even;
      for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j)
          ASSERT_NEAR(w[((c * 4 + p) * 5 + i) * 5 + j], row[i] * col[j], 1e-7) << c << " " << p << " " << i << j;
    }
}

TEST(HeadCubic, NearMissesAreLeftAlone) {
  for (const char* name : {"cubic_scale23.onnx", "cubic_align.onnx", "cubic_two.onnx", "cubic_two_uses.onnx",
                           "cubic_crosscheck_bad.onnx", "cubic_name_clash.onnx", "gs_bilinear_border.onnx"}) {
    SCOPED_TRACE(name);
    LOAD_OR_SKIP(model, name);
    GsBytes copy = model;
    EXPECT_EQ(ka::rewriteHeadCubicResize(copy), 0u);
    EXPECT_EQ(copy, model);
  }
}

}  // namespace
