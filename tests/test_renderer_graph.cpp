// The renderer's graph-surgery stages on the graph fixtures (make_graph_fixtures.sh): the
// hoisted source cone with its prefetch thread, the warp node and the lip contour, each
// against ONNX Runtime running the untouched director file on the same inputs.
#include "render/renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "render/lip_binding.h"
#include "tessera/lip_contour.h"
#include "tests/test_renderer_util.h"

namespace ka {
namespace {

using test::ScopedEnv;
using test::StderrCapture;

constexpr int kCrop = 64;
constexpr size_t kFrame = 3 * size_t(kCrop) * kCrop;

struct GraphBundle {
  std::string dir;
  Manifest m;
  std::unique_ptr<Identity> id;
  test::DriveRows rows;
};

GraphBundle graphBundle(const std::string& name) {
  GraphBundle b;
  b.dir = test::fixtureDir() + "/graph/" + name;
  if (!test::exists(b.dir + "/manifest.json")) throw std::runtime_error("fixture missing: " + b.dir);
  b.m = loadManifest(b.dir);
  b.id = std::make_unique<Identity>(b.m);
  b.rows = test::driveRows(b.dir);
  return b;
}

double maxDiff(const float* a, const std::vector<float>& b) {
  double d = 0;
  for (size_t i = 0; i < b.size(); ++i) d = std::max(d, std::fabs(double(a[i]) - double(b[i])));
  return d;
}

// ONNX Runtime on the untouched file for source frame si and idle row `row`'s keypoints.
std::vector<float> reference(const GraphBundle& b, const std::string& key, int si, int row) {
  std::vector<float> pooled = test::halfFrames(b.dir + "/pooled64.f16", 65536, {si});
  std::vector<float> prior = test::halfFrames(b.dir + "/P.f16", kFrame, {si});
  std::vector<float> kd(b.rows.xd.begin() + 63 * row, b.rows.xd.begin() + 63 * (row + 1));
  std::vector<float> ks(b.rows.xs.begin() + 63 * row, b.rows.xs.begin() + 63 * (row + 1));
  return test::runReference(b.dir + "/model_" + key + ".onnx", {{"pooled64", &pooled, {1, 64, 32, 32}},
                                                               {"P_rgb", &prior, {1, 3, kCrop, kCrop}},
                                                               {"kp_driving", &kd, {1, 21, 3}},
                                                               {"kp_source", &ks, {1, 21, 3}}});
}

const float* renderRow(Renderer& r, const GraphBundle& b, int si, int row) {
  return r.render(&si, &b.rows.xs[63 * size_t(row)], &b.rows.xd[63 * size_t(row)], 1);
}

// Walks that hit the prefetch's guess, miss it, reverse, repeat and jump: every crop equals
// the untouched graph's, and a source frame's cone runs once however often it is shown.
TEST(RendererGraph, HoistedConeRunsOncePerSourceFrameAndMatches) {
  GraphBundle b = graphBundle("graph");
  StderrCapture err;
  Renderer r(b.m, *b.id, "g_cone", 1, "");
  const std::string log = err.text();
  EXPECT_NE(log.find("[ka] source-cone hoist: '/cone/Concat_1_output_0' [1,12,64,64] leaves the per-frame graph and "
                     "is prefetched per SOURCE FRAME on one spare core (g_cone)\n"),
            std::string::npos)
      << log;
  ASSERT_TRUE(r.stages().hoisted);

  // Forward, each source frame three times: six frames, six cone runs (the last guess,
  // reflected back to 4, is already in the ring).
  for (int si = 0; si < 6; ++si)
    for (int k = 0; k < 3; ++k) {
      const int row = (si + k) % 6;
      ASSERT_LE(maxDiff(renderRow(r, b, si, row), reference(b, "g_cone", si, row)), 1e-5) << si;
    }
  EXPECT_EQ(r.stages().prepRuns, 6);

  for (int si : {4, 3, 5, 0, 0, 2, 5, 1}) {
    const int row = (si * 5 + 1) % 6;
    ASSERT_LE(maxDiff(renderRow(r, b, si, row), reference(b, "g_cone", si, row)), 1e-5) << si;
  }
  EXPECT_THROW(renderRow(r, b, 6, 0), std::runtime_error);
}

// A cone that fails inside ONNX Runtime fails this render with its text, and every
// later one, whatever source frame it asks for.
TEST(RendererGraph, AFailedConeRunIsStickyWithOrtsText) {
  GraphBundle b = graphBundle("graph");
  Renderer r(b.m, *b.id, "g_prep_fails", 1, "");
  ASSERT_TRUE(r.stages().hoisted);
  const std::string first = test::refusal([&] { renderRow(r, b, 1, 0); });
  EXPECT_EQ(first.rfind("Renderer: the hoisted source cone failed in ORT — ", 0), 0u) << first;
  EXPECT_NE(first.find("GatherElements"), std::string::npos) << first;
  for (int si : {1, 2, 0}) EXPECT_EQ(test::refusal([&] { renderRow(r, b, si, 0); }), first);
}

TEST(RendererGraph, HoistRefusalsKeepTheGraphWhole) {
  GraphBundle b = graphBundle("graph");
  const std::pair<const char*, const char*> cases[] = {
      {"g_two_concat", "expected exactly one Concat consuming P_rgb, found 2"},
      {"g_escape", "cone value '/cone/Conv_output_0' escapes to leak"},
      {"g_kp_cone", "cone reads graph input 'kp_driving'"},
  };
  for (const auto& [key, reason] : cases) {
    SCOPED_TRACE(key);
    StderrCapture err;
    Renderer r(b.m, *b.id, key, 1, "");
    const std::string log = err.text();
    EXPECT_NE(log.find(std::string("[ka] source-cone hoist NOT applied (") + key + "): " + reason + "\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(r.stages().hoisted);
    EXPECT_LE(maxDiff(renderRow(r, b, 2, 3), reference(b, key, 2, 3)), 1e-5);
  }
}

TEST(RendererGraph, WarpNodeReplacesTheBlockAndSkipsTheHoist) {
  GraphBundle b = graphBundle("graph");
  ScopedEnv warp("KA_WARP_NODE", "1");
  for (const char* gsFast : {"1", "0"}) {
    SCOPED_TRACE(gsFast);
    ScopedEnv gs("KA_GS_FAST", std::string(gsFast));
    StderrCapture err;
    Renderer r(b.m, *b.id, "g_cone", 2, "");
    const std::string log = err.text();
    EXPECT_NE(log.find(" nodes removed, the source cone with them)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ka] source-cone hoist SKIPPED (g_cone): the warp node subsumes the cone — there is nothing "
                       "left to hoist\n"),
              std::string::npos);
    EXPECT_TRUE(r.stages().warpNode);
    EXPECT_FALSE(r.stages().hoisted);
    for (int si : {1, 4}) EXPECT_LE(maxDiff(renderRow(r, b, si, si), reference(b, "g_cone", si, si)), 1e-5);
  }
  const std::pair<const char*, const char*> refused[] = {
      {"g_zeros_tip", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"g_tip_read", "the sampled tensor '/GridSample_output_0' is also read outside the block by peek_sampled"},
  };
  for (const auto& [key, reason] : refused) {
    SCOPED_TRACE(key);
    StderrCapture err;
    Renderer r(b.m, *b.id, key, 1, "");
    const std::string log = err.text();
    EXPECT_NE(log.find(std::string("[ka] director warp NOT moved to one node (") + reason +
                       ") — the graph loads exactly as it did before\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(r.stages().warpNode);
    EXPECT_LE(maxDiff(renderRow(r, b, 3, 0), reference(b, key, 3, 0)), 1e-5);
  }
}

// With a lip template the composite follows the contour rasterised from the driving
// keypoints; hoisted or not, the crop equals the rewritten graph fed that contour.
TEST(RendererGraph, LipContourIsBoundAndFedEveryFrame) {
  GraphBundle b = graphBundle("graph_lip");
  tessera::LipContour lip = tessera::LipContour::fromTemplateJson(b.m.lipTemplate, kCrop);
  const std::string path = b.dir + "/model_g_cone.onnx";
  const std::string text = test::slurp(path);
  GsBytes bound(text.begin(), text.end());
  std::string why;
  ASSERT_TRUE(rewriteBindLipContour(bound, why, nullptr, nullptr)) << why;
  const std::string boundPath = b.dir + "/../g_cone_lip_bound.onnx";
  test::writeFile(boundPath, std::string(bound.begin(), bound.end()));

  StderrCapture err;
  Renderer r(b.m, *b.id, "g_cone", 1, "");
  const std::string log = err.text();
  EXPECT_NE(log.find("[ka] compose alpha: LIP CONTOUR (g_cone) — Min(a, lip_delivery) bound at load, 8 verts, "
                     "feather 2.0 px; the graph's ellipse is not reachable in this session\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(r.stages().lipBound);
  EXPECT_TRUE(r.stages().hoisted);
  for (int row : {0, 2, 5}) {
    const int si = (row + 1) % 6;
    std::vector<float> pooled = test::halfFrames(b.dir + "/pooled64.f16", 65536, {si});
    std::vector<float> prior = test::halfFrames(b.dir + "/P.f16", kFrame, {si});
    std::vector<float> kd(b.rows.xd.begin() + 63 * row, b.rows.xd.begin() + 63 * (row + 1));
    std::vector<float> ks(b.rows.xs.begin() + 63 * row, b.rows.xs.begin() + 63 * (row + 1));
    std::vector<float> mask(size_t(kCrop) * kCrop);
    lip.contourF32Canvas(kd.data(), mask.data());
    const std::vector<float> want = test::runReference(boundPath, {{"pooled64", &pooled, {1, 64, 32, 32}},
                                                                   {"P_rgb", &prior, {1, 3, kCrop, kCrop}},
                                                                   {"kp_driving", &kd, {1, 21, 3}},
                                                                   {"kp_source", &ks, {1, 21, 3}},
                                                                   {"lip_delivery", &mask, {1, 1, kCrop, kCrop}}});
    EXPECT_LE(maxDiff(renderRow(r, b, si, row), want), 1e-5) << row;
  }

  StderrCapture err2;
  Renderer plain(b.m, *b.id, "g_sub999", 1, "");
  const std::string log2 = err2.text();
  EXPECT_NE(log2.find("[ka] !!! lip contour NOT bound to the compose alpha (g_sub999): the graph does not carry the "
                      "unified compose tail — this session serves the graph's own ELLIPSE\n"),
            std::string::npos)
      << log2;
  EXPECT_LE(maxDiff(renderRow(plain, b, 1, 1), reference(b, "g_sub999", 1, 1)), 1e-5);

  EXPECT_EQ(test::refusal([&] { Renderer bad(b.m, *b.id, "g_cone_c32", 1, ""); }),
            "Renderer: the director's compose canvas is 32 and this bundle's manifest declares crop 64 — refusing to "
            "bind a lip contour rasterised on the wrong canvas");
}

}  // namespace
}  // namespace ka
