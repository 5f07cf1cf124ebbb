// The three graph surgeries on PyTorch-exported directors: every refusal with its text and
// the model left byte for byte, and ONNX Runtime's output on each rewritten graph against
// its output on the untouched one.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "render/custom_ops.h"
#include "render/lip_binding.h"
#include "render/onnx_codec.h"
#include "render/source_cone.h"
#include "render/warp_block.h"
#include "tessera/lip_contour.h"
#include "tests/support/test_support.h"
#include "tests/test_renderer_util.h"

namespace ka {
namespace {

constexpr int kCrop = 64;
constexpr size_t kPlane = size_t(kCrop) * kCrop;

std::string graphDir(const std::string& bundle = "graph") { return test::fixtureDir() + "/graph/" + bundle; }

GsBytes modelBytes(const std::string& key, const std::string& bundle = "graph") {
  const std::string path = graphDir(bundle) + "/model_" + key + ".onnx";
  if (!test::exists(path)) throw std::runtime_error("fixture missing: " + path);
  const std::string s = test::slurp(path);
  return GsBytes(s.begin(), s.end());
}

struct Named {
  std::vector<float> data;
  std::vector<int64_t> shape;
};
using Feeds = std::map<std::string, Named>;

// Runs serialised model bytes with both tavrin domains registered; returns the named output.
std::vector<float> run(const GsBytes& model, Feeds& feeds, const std::string& output) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  registerGridSampleFast(so);
  registerWarpDirector(so);
  Ort::Session s(test::refEnv(), model.data(), model.size(), so);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<std::string> names;
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < s.GetInputCount(); ++i) {
    names.push_back(s.GetInputNameAllocated(i, alloc).get());
    Named& n = feeds.at(names.back());
    values.push_back(Ort::Value::CreateTensor<float>(mem, n.data.data(), n.data.size(), n.shape.data(),
                                                     n.shape.size()));
  }
  std::vector<const char*> cnames;
  for (const auto& n : names) cnames.push_back(n.c_str());
  const char* out = output.c_str();
  auto r = s.Run(Ort::RunOptions(), cnames.data(), values.data(), values.size(), &out, 1);
  const float* p = r[0].GetTensorData<float>();
  return std::vector<float>(p, p + r[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

// Inputs of one frame: the bundle's idle row `row` for the keypoints, a smooth random prior.
Feeds frameFeeds(int row, uint32_t seed) {
  const test::DriveRows d = test::driveRows(graphDir());
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  Feeds f;
  f["pooled64"] = {std::vector<float>(65536), {1, 64, 32, 32}};
  for (float& v : f["pooled64"].data) v = u(rng) * 2.f - 1.f;
  f["P_rgb"] = {std::vector<float>(3 * kPlane), {1, 3, kCrop, kCrop}};
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < kCrop; ++i)
      for (int j = 0; j < kCrop; ++j)
        f["P_rgb"].data[(size_t(c) * kCrop + i) * kCrop + j] =
            0.5f + 0.3f * std::sin(0.21f * i + 0.37f * j + c) + 0.1f * u(rng);
  f["kp_driving"] = {std::vector<float>(d.xd.begin() + row * 63, d.xd.begin() + (row + 1) * 63), {1, 21, 3}};
  f["kp_source"] = {std::vector<float>(d.xs.begin() + row * 63, d.xs.begin() + (row + 1) * 63), {1, 21, 3}};
  return f;
}

double maxDiff(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  double m = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) m = std::max(m, double(std::fabs(a[i] - b[i])));
  return m;
}

bool hasNode(const GsBytes& model, const std::string& name) {
  for (const GsNode& n : gsReadGraph(model).nodes)
    if (n.name == name) return true;
  return false;
}

TEST(SourceCone, RefusalsLeaveTheModelAndGiveTheirReason) {
  struct Case {
    const char* key;
    size_t concats;
    const char* reason;  // "" = the cone is cut
  };
  const Case cases[] = {
      {"g_cone", 1, ""},
      {"g_shared", 1, ""},
      {"g_two_concat", 2, nullptr},
      {"g_escape", 1, "cone value '/cone/Conv_output_0' escapes to leak"},
      {"g_kp_cone", 1, "cone reads graph input 'kp_driving'"},
      {"g_if_cone", 1, "cone value '/cone/Conv_output_0' escapes to branch"},  // read inside an If branch
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    const GsBytes model = modelBytes(c.key);
    std::string boundary = "stale";
    ASSERT_EQ(findSourceConeBoundary(model, boundary), c.concats);
    if (!c.reason) {
      EXPECT_EQ(boundary, "");
      continue;
    }
    EXPECT_EQ(boundary, "/cone/Concat_1_output_0");
    GsBytes prep, frame;
    std::string whyPrep, whyFrame;
    const int64_t dims[4] = {1, 12, kCrop, kCrop};
    const bool okPrep = buildSourceConePrep(model, boundary, prep, whyPrep);
    const bool okFrame = buildSourceConePerFrame(model, boundary, dims, 4, frame, whyFrame);
    EXPECT_EQ(okPrep, *c.reason == 0);
    EXPECT_EQ(okFrame, *c.reason == 0);
    EXPECT_EQ(whyPrep, c.reason);
    EXPECT_EQ(whyFrame, c.reason);
  }
  GsBytes out;
  std::string why;
  const int64_t dims[4] = {1, 12, kCrop, kCrop};
  EXPECT_FALSE(buildSourceConePerFrame(modelBytes("g_cone"), "nope", dims, 4, out, why));
  EXPECT_EQ(why, "cone leaf 'nope' has no producer");
}

TEST(SourceCone, PrepThenPerFrameEqualsTheWholeGraph) {
  // g_stray_field: varint fields numbered like nodes that are not nodes; g_if_outer: an If
  // whose branches alone read an initializer and a Constant; g_boundary_read: the
  // boundary read beyond the cone too.
  for (const char* key : {"g_cone", "g_shared", "g_stray_field", "g_if_outer", "g_boundary_read"}) {
    SCOPED_TRACE(key);
    const GsBytes model = modelBytes(key);
    std::string boundary;
    ASSERT_EQ(findSourceConeBoundary(model, boundary), 1u);
    GsBytes prep, frame;
    std::string why;
    ASSERT_TRUE(buildSourceConePrep(model, boundary, prep, why)) << why;
    const int64_t dims[4] = {1, 12, kCrop, kCrop};
    ASSERT_TRUE(buildSourceConePerFrame(model, boundary, dims, 4, frame, why)) << why;

    const GsNodeTable p = gsReadGraph(prep), f = gsReadGraph(frame);
    EXPECT_EQ(p.inputs, (std::unordered_set<std::string>{"P_rgb"}));
    EXPECT_EQ(p.outputs, (std::vector<std::string>{boundary}));
    EXPECT_FALSE(f.inputs.count("P_rgb"));
    EXPECT_TRUE(f.inputs.count(boundary));
    for (const GsNode& n : f.nodes)
      if (n.op != "Constant") {
        EXPECT_NE(n.name.rfind("/cone/", 0), 0u) << n.name << " stayed in the per-frame graph";
      }
    if (std::string(key) == "g_shared") {
      EXPECT_TRUE(hasNode(prep, "shared_one"));
      EXPECT_TRUE(hasNode(frame, "shared_one"));
    }

    for (int row : {0, 3}) {
      Feeds feeds = frameFeeds(row, 7 + row);
      const std::vector<float> whole = run(model, feeds, "rgb");
      feeds[boundary] = {run(prep, feeds, boundary), {1, 12, kCrop, kCrop}};
      ASSERT_EQ(feeds[boundary].data.size(), 12 * kPlane);
      EXPECT_LE(maxDiff(run(frame, feeds, "rgb"), whole), 1e-5);
    }
  }
}

TEST(SourceCone, WalkPredictorFollowsTheDriverWalk) {
  struct Step {
    int s, want;
  };
  const std::vector<std::vector<Step>> walks = {
      {{0, 1}},
      {{3, 4}, {4, 5}},
      {{8, 9}, {9, 8}},            // reflected at the end
      {{2, 3}, {1, 0}, {0, 1}},    // a descending walk reflected at 0
      {{5, 6}, {2, 3}, {1, 0}},    // a jump keeps the direction, a step sets it
      {{8, 9}, {9, 8}, {0, 1}, {1, 2}, {0, 9}},  // 9 -> 0 wraps: cyclic from then on
  };
  for (size_t w = 0; w < walks.size(); ++w) {
    SourceWalkPredictor p;
    for (const Step& st : walks[w]) EXPECT_EQ(p.next(st.s, 10), st.want) << "walk " << w << " at " << st.s;
  }
  SourceWalkPredictor one;
  EXPECT_EQ(one.next(0, 1), 0);
}

TEST(WarpBlock, RefusalsLeaveTheModelAndGiveTheirReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"g_zeros_tip", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"g_two_exits", "the recombination has 2 exits, not 1"},
      {"g_two_tips", "two GridSamples on the cone's tip"},
      {"g_two_concat", "not one Concat consuming P_rgb"},
      {"g_kp_cone", "cone reads graph input 'kp_driving'"},
      {"g_escape", "cone value '/cone/Conv_output_0' escapes to leak"},
      {"g_if_cone", "cone value '/cone/Conv_output_0' escapes to branch"},
      {"g_tip_read", "the sampled tensor '/GridSample_output_0' is also read outside the block by peek_sampled"},
      {"g_boundary_read", "'/cone/Concat_1_output_0' would be removed but is still read by peek_boundary"},
      {"g_prgb_made", "no P_rgb input"},
  };
  for (const auto& [key, reason] : cases) {
    SCOPED_TRACE(key);
    const GsBytes before = modelBytes(key);
    GsBytes model = before;
    std::string why;
    EXPECT_EQ(rewriteWarpBlockToCustomOp(model, why), 0u);
    EXPECT_EQ(why, reason);
    EXPECT_TRUE(model == before);
  }
  std::string why;
  EXPECT_EQ(findWarpBlock(modelBytes("g_cone"), nullptr, why), 0u);
  EXPECT_EQ(why, "no out param");

  // The cut graphs of a director: the prep graph has the Concat but no sampler.
  const GsBytes whole = modelBytes("g_cone");
  GsBytes prep;
  ASSERT_TRUE(buildSourceConePrep(whole, "/cone/Concat_1_output_0", prep, why));
  WarpBlock b;
  EXPECT_EQ(findWarpBlock(prep, &b, why), 0u);
  EXPECT_EQ(why, "no GridSample consuming '/cone/Concat_1_output_0'");
  GsBytes none;
  EXPECT_EQ(findWarpBlock(none, &b, why), 0u);
  EXPECT_EQ(why, "no graph");
}

TEST(GraphSurgery, EmptyAndCutModelsAreRefused) {
  const GsBytes none;
  GsBytes model, out;
  std::string why;
  EXPECT_FALSE(buildSourceConePrep(none, "b", out, why));
  EXPECT_EQ(why, "no graph");
  EXPECT_FALSE(rewriteBindLipContour(model, why, nullptr, nullptr));
  EXPECT_EQ(why, "no graph");
  EXPECT_TRUE(model.empty());

  const GsBytes whole = modelBytes("g_cone");
  const int64_t dims[4] = {1, 12, kCrop, kCrop};
  GsBytes frame;
  ASSERT_TRUE(buildSourceConePerFrame(whole, "/cone/Concat_1_output_0", dims, 4, frame, why));
  EXPECT_FALSE(buildSourceConePrep(frame, "/cone/Concat_1_output_0", out, why));
  EXPECT_EQ(why, "no P_rgb input");
}

TEST(WarpBlock, OneNodeEqualsTheWholeGraph) {
  for (const char* key : {"g_cone", "g_stray_field", "g_if_outer"}) {
    SCOPED_TRACE(key);
    const GsBytes before = modelBytes(key);
    WarpBlock b;
    std::string why;
    // GridSample, four Slices, three Muls, two Subs and the Add.
    ASSERT_EQ(findWarpBlock(before, &b, why), 11u) << why;
    EXPECT_EQ(b.boundary, "/cone/Concat_1_output_0");
    EXPECT_EQ(b.exit, "/Add_2_output_0");

    GsBytes model = before;
    const size_t removed = rewriteWarpBlockToCustomOp(model, why);
    ASSERT_GT(removed, 11u) << why;
    const GsNodeTable t = gsReadGraph(model);
    EXPECT_EQ(gsReadGraph(before).nodes.size() - removed + 1, t.nodes.size());
    size_t warp = 0;
    for (const GsNode& n : t.nodes) {
      EXPECT_NE(n.op, "GridSample");
      EXPECT_NE(n.op, "Floor") << "the grid-side factors should have been pruned";
      if (n.op == "WarpDirector") {
        ++warp;
        EXPECT_EQ(n.name, "ka_warp_director");
        EXPECT_EQ(n.domain, "com.tavrin");
        EXPECT_EQ(n.in, (std::vector<std::string>{"P_rgb", b.grid}));
        EXPECT_EQ(n.out, (std::vector<std::string>{b.exit}));
      }
    }
    EXPECT_EQ(warp, 1u);

    for (int row : {1, 4}) {
      Feeds feeds = frameFeeds(row, 30 + row);
      EXPECT_LE(maxDiff(run(model, feeds, "rgb"), run(before, feeds, "rgb")), 1e-5);
    }
  }
}

TEST(LipBinding, RefusalsAndSelfChecks) {
  struct Case {
    const char* key;
    const char* prefix;
    const char* suffix;
  };
  const Case cases[] = {
      {"g_id5", "the graph does not carry the unified compose tail", ""},
      {"g_sub999", "the graph does not carry the unified compose tail", ""},
      {"g_has_lip", "the graph already carries an input named lip_delivery", ""},
      {"g_third_reader", "self-check: rewire did not take: 2 consumers of /Clip_1_output_0, one still reads the alpha",
       " — refusing a graph that would serve the ellipse with the input attached and ignored"},
      {"g_unordered", "self-check: node /Sub_13 reads 'tessera_lipdel_alpha' produced at ",
       " — the rewritten graph is not topologically ordered"},
      {"g_if_alpha", "self-check: rewire did not take: 2 consumers of /Clip_1_output_0, one still reads the alpha",
       " — refusing a graph that would serve the ellipse with the input attached and ignored"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    const GsBytes before = modelBytes(c.key);
    GsBytes model = before;
    std::string why;
    int canvas = -7;
    EXPECT_FALSE(rewriteBindLipContour(model, why, &canvas, nullptr));
    EXPECT_EQ(why.rfind(c.prefix, 0), 0u) << why;
    EXPECT_GE(why.size(), std::string(c.suffix).size());
    EXPECT_EQ(why.substr(why.size() - std::string(c.suffix).size()), c.suffix);
    EXPECT_EQ(canvas, -7);
    EXPECT_TRUE(model == before);
  }
  // The two checks no rebuild of this code can trip, on graphs made to trip them.
  std::string why;
  EXPECT_FALSE(checkLipBinding(modelBytes("g_cone"), "/Clip_1_output_0", why));
  EXPECT_EQ(why, "self-check: the input did not survive the rebuild");
  EXPECT_FALSE(checkLipBinding(modelBytes("g_has_lip"), "/Clip_1_output_0", why));
  EXPECT_EQ(why, "self-check: the Min node did not survive the rebuild");
}

TEST(LipBinding, OnesChangeNothingAndTheContourConfinesTheComposite) {
  for (const char* key : {"g_cone", "g_id4"}) {
    SCOPED_TRACE(key);
    const GsBytes before = modelBytes(key);
    GsBytes model = before;
    std::string why;
    int canvas = 0, batch = 0;
    ASSERT_TRUE(rewriteBindLipContour(model, why, &canvas, &batch)) << why;
    EXPECT_EQ(canvas, kCrop);
    EXPECT_EQ(batch, 1);

    // The Min directly follows the alpha's producer and is the alpha's only reader.
    const GsNodeTable t = gsReadGraph(model);
    size_t minAt = 0, readers = 0;
    for (size_t i = 0; i < t.nodes.size(); ++i)
      if (t.nodes[i].name == "tessera_lipdel_min") minAt = i;
    ASSERT_GT(minAt, 0u);
    const std::string alpha = t.nodes[minAt].in[0];
    EXPECT_EQ(t.nodes[minAt - 1].out[0], alpha);
    EXPECT_EQ(t.nodes[minAt - 1].op, "Clip");
    for (const GsNode& n : t.nodes)
      for (const std::string& in : n.in) readers += in == alpha;
    EXPECT_EQ(readers, 1u);

    Feeds feeds = frameFeeds(2, 5);
    const std::vector<float> whole = run(before, feeds, "rgb");
    feeds["lip_delivery"] = {std::vector<float>(kPlane, 1.f), {1, 1, kCrop, kCrop}};
    EXPECT_LE(maxDiff(run(model, feeds, "rgb"), whole), 1e-5);
    feeds["lip_delivery"].data.assign(kPlane, 0.f);
    const std::vector<float> warpedSource = run(model, feeds, "rgb");

    tessera::LipContour lip = tessera::LipContour::fromTemplateJson(test::slurp(graphDir("graph_lip") +
                                                                                "/lip_template.v1.json"),
                                                                    kCrop);
    std::vector<float>& mask = feeds["lip_delivery"].data;
    lip.contourF32Canvas(feeds["kp_driving"].data.data(), mask.data());
    const std::vector<float> bound = run(model, feeds, "rgb");
    size_t inside = 0, outside = 0, tightened = 0;
    for (size_t c = 0; c < 3; ++c)
      for (size_t i = 0; i < kPlane; ++i) {
        const size_t o = c * kPlane + i;
        if (mask[i] == 0.f) {
          ++outside;
          ASSERT_NEAR(bound[o], warpedSource[o], 1e-6) << "outside the contour at " << i;
          tightened += std::fabs(whole[o] - warpedSource[o]) > 1e-3;
        } else if (mask[i] == 1.f) {
          ++inside;
          ASSERT_NEAR(bound[o], whole[o], 1e-5) << "inside the contour at " << i;
        }
      }
    EXPECT_GT(inside, 0u);
    EXPECT_GT(outside, 0u);
    EXPECT_GT(tightened, 0u) << "the ellipse never reached beyond the contour: the test proves nothing";
  }
}

}  // namespace
}  // namespace ka
