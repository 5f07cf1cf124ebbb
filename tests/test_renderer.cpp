// The renderer on real PyTorch exports of small directors (tools/fixtures/make_directors.py)
// installed in synthetic identity bundles: what it renders against ONNX Runtime running
// the untouched file, how the keypoints move the face, batches, priors and refusals.
#include "render/renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

#include "tests/test_renderer_util.h"

namespace ka {
namespace {

namespace fs = std::filesystem;
using test::directorBundle;
using test::LoadedBundle;
using test::loadBundle;
using test::ScopedEnv;
using test::StderrCapture;

constexpr int kCrop = 64;  // the fixture bundles' crop
constexpr size_t kFrame = 3 * kCrop * kCrop;


std::unique_ptr<Renderer> open(LoadedBundle& b, const std::string& key, int threads = 1,
                               const std::string& ep = "") {
  return std::make_unique<Renderer>(b.m, *b.id, key, threads, ep);
}

double maxDiff(const float* a, const float* b, size_t n) {
  double d = 0;
  for (size_t i = 0; i < n; ++i) d = std::max(d, std::fabs(double(a[i]) - double(b[i])));
  return d;
}

// Batch inputs for frames `rows` of the drive data: si, xs and xd back to back.
struct Batch {
  std::vector<int> si;
  std::vector<float> xs, xd;
};

Batch batchOf(const test::DriveRows& d, const std::vector<int>& rows) {
  Batch b;
  for (int r : rows) {
    b.si.push_back(d.si.at(r));
    b.xs.insert(b.xs.end(), d.xs.begin() + 63 * r, d.xs.begin() + 63 * (r + 1));
    b.xd.insert(b.xd.end(), d.xd.begin() + 63 * r, d.xd.begin() + 63 * (r + 1));
  }
  return b;
}

// Every family's rewritten graphs reproduce ONNX Runtime's own run of the file as it
// was exported, on inputs the test converts itself from the bundle's members.
TEST(Renderer, RewrittenGraphsReproduceTheExportedFile) {
  LoadedBundle b = loadBundle("raw");
  const std::string dir = directorBundle("raw");
  const test::DriveRows d = test::driveRows(dir);
  const Batch in = batchOf(d, {1, 4, 2, 5});
  std::vector<float> kd = in.xd, ks = in.xs;
  std::vector<float> pooled = test::halfFrames(dir + "/pooled64.f16", 65536, in.si);

  {
    StderrCapture err;
    auto r = open(b, "b4");
    const std::string log = err.text();
    EXPECT_NE(log.find("[ka] std GridSample -> com.tavrin::GridSampleFast load-time rewrite: 1 node(s) (b4)\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[ka] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (b4)"),
              std::string::npos);
    EXPECT_NE(log.find("[ka] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: "
                       "1 node(s) (b4)"),
              std::string::npos);
    EXPECT_NE(log.find("[ka] !!! compose alpha: ELLIPSE (b4) — this bundle carries no lip_template.v1.json"),
              std::string::npos);
    EXPECT_NE(log.find("[ka] director ep=cpu (ORT CPU EP)\n"), std::string::npos);
    ASSERT_EQ(r->batch(), 4);
    EXPECT_EQ(r->ep(), "cpu");
    EXPECT_STREQ(r->backend(), "ort");
    EXPECT_EQ(r->directorNote(), "");

    std::vector<float> prior = test::halfFrames(dir + "/P.f16", kFrame, in.si);
    const std::vector<float> ref = test::runReference(
        dir + "/model_b4.onnx", {{"pooled64", &pooled, {4, 64, 32, 32}},
                                 {"P_rgb", &prior, {4, 3, kCrop, kCrop}},
                                 {"kp_driving", &kd, {4, 21, 3}},
                                 {"kp_source", &ks, {4, 21, 3}}});
    const float* out = r->render(in.si.data(), in.xs.data(), in.xd.data(), 4);
    ASSERT_EQ(ref.size(), 4 * kFrame);
    EXPECT_LT(maxDiff(out, ref.data(), ref.size()), 1e-4);
  }
  {
    auto r = open(b, "b4_fs", 2);
    std::vector<float> fsRed = test::halfFrames(dir + "/fs_red.f16", 262144, in.si);
    const std::vector<float> ref =
        test::runReference(dir + "/model_b4_fs.onnx", {{"fs_red", &fsRed, {4, 64, 64, 64}},
                                                       {"pooled", &pooled, {4, 64, 32, 32}},
                                                       {"kd", &kd, {4, 21, 3}},
                                                       {"ks", &ks, {4, 21, 3}}});
    const float* out = r->render(in.si.data(), in.xs.data(), in.xd.data(), 4);
    EXPECT_LT(maxDiff(out, ref.data(), ref.size()), 1e-4);
  }
  {
    // The warp family samples the full-resolution source with a second GridSample; every
    // rewrite still finds its node.
    LoadedBundle w = loadBundle("warp");
    const std::string wdir = directorBundle("warp");
    StderrCapture err;
    auto r = open(w, "b4");
    const std::string log = err.text();
    for (const char* line : {"GridSampleFast load-time rewrite: 2 node(s) (b4)",
                             "Gemm load-time normalisation: 1 node(s)",
                             "DepthToSpace(2,CRD) load-time rewrite: 1 node(s) (b4)"})
      EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    std::vector<float> wpooled = test::halfFrames(wdir + "/pooled64.f16", 65536, in.si);
    std::vector<float> prior = test::halfFrames(wdir + "/P.f16", kFrame, in.si);
    const std::vector<float> ref = test::runReference(
        wdir + "/model_b4.onnx", {{"pooled64", &wpooled, {4, 64, 32, 32}},
                                  {"P_rgb", &prior, {4, 3, kCrop, kCrop}},
                                  {"kp_driving", &kd, {4, 21, 3}},
                                  {"kp_source", &ks, {4, 21, 3}}});
    const float* out = r->render(in.si.data(), in.xs.data(), in.xd.data(), 4);
    ASSERT_EQ(ref.size(), 4 * kFrame);
    EXPECT_LT(maxDiff(out, ref.data(), ref.size()), 1e-4);
  }
}

// Switching the GridSample rewrite off (ORT's own GridSample) must not change the
// picture, nor must a bundle whose graph has the custom sampler baked in.
TEST(Renderer, GridSampleRewriteAndBakedGraphRenderTheSamePicture) {
  LoadedBundle b = loadBundle("raw");
  const test::DriveRows d = test::driveRows(directorBundle("raw"));
  const Batch in = batchOf(d, {3});
  std::vector<float> on, off, baked;
  {
    auto r = open(b, "b1");
    const float* p = r->render(in.si.data(), in.xs.data(), in.xd.data(), 1);
    on.assign(p, p + kFrame);
  }
  {
    ScopedEnv env("KA_GS_REWRITE", "0");
    StderrCapture err;
    auto r = open(b, "b1");
    const std::string log = err.text();
    EXPECT_NE(log.find("[ka] KA_GS_REWRITE=0: load-time std GridSample -> com.tavrin::GridSampleFast rewrite "
                       "DISABLED (b1); the custom op is still registered"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("std GridSample -> com.tavrin::GridSampleFast load-time rewrite"), std::string::npos);
    const float* p = r->render(in.si.data(), in.xs.data(), in.xd.data(), 1);
    off.assign(p, p + kFrame);
    // The flag turns off only the sampler rewrite; a baked graph still finds its kernel.
    auto rb = open(b, "b1_baked");
    p = rb->render(in.si.data(), in.xs.data(), in.xd.data(), 1);
    baked.assign(p, p + kFrame);
  }
  EXPECT_LT(maxDiff(on.data(), off.data(), kFrame), 1e-4);
  EXPECT_LT(maxDiff(on.data(), baked.data(), kFrame), 1e-4);
  // Not vacuous: the driving keypoints differ from the source ones in these rows.
  EXPECT_GT(maxDiff(in.xs.data(), in.xd.data(), 63), 1e-3);
}

// With the driving keypoints equal to the source ones the director returns its prior: a
// little softened by the half-resolution warp of the prior family, exactly for the warp
// family, which samples the source itself (else a rendered frame would not meet the
// driver video without a seam). Opening the mouth keypoints opens the mouth and leaves
// the rest of the face where it was.
TEST(Renderer, MouthKeypointsMoveTheMouthOnly) {
  struct Case {
    const char* bundle;
    double stillMean, stillMax;
  };
  for (const Case& c : {Case{"raw", 0.03, 1.0}, Case{"warp", 1e-6, 1e-6}}) {
    SCOPED_TRACE(c.bundle);
    LoadedBundle b = loadBundle(c.bundle);
    const std::string dir = directorBundle(c.bundle);
    const test::DriveRows d = test::driveRows(dir);
    auto r = open(b, "b1");
    const int si = d.si[2];
    std::vector<float> xs(d.xs.begin() + 63 * 2, d.xs.begin() + 63 * 3);
    std::vector<float> still(kFrame), opened(kFrame);
    std::copy_n(r->render(&si, xs.data(), xs.data(), 1), kFrame, still.begin());

    const std::vector<float> prior = test::halfFrames(dir + "/P.f16", kFrame, {si});
    double mean = 0;
    for (size_t i = 0; i < kFrame; ++i) mean += std::fabs(double(still[i]) - prior[i]);
    EXPECT_LT(mean / kFrame, c.stillMean);
    EXPECT_LE(maxDiff(still.data(), prior.data(), kFrame), c.stillMax);
    EXPECT_GE(*std::min_element(still.begin(), still.end()), 0.f);
    EXPECT_LE(*std::max_element(still.begin(), still.end()), 1.f);

    std::vector<float> xd = xs;
    xd[3 * 17 + 1] -= 0.1f;  // upper lip up
    xd[3 * 18 + 1] += 0.1f;  // lower lip down
    std::copy_n(r->render(&si, xs.data(), xd.data(), 1), kFrame, opened.begin());

    // Pixel centres in the keypoints' normalised crop coordinates.
    auto coord = [](int p) { return (2.0 * p + 1.0) / kCrop - 1.0; };
    const double mx = 0.5 * (xs[3 * 15] + xs[3 * 16]), my = 0.5 * (xs[3 * 17 + 1] + xs[3 * 18 + 1]);
    double inMouth = 0, farMax = 0;
    int inCount = 0;
    for (int y = 0; y < kCrop; ++y)
      for (int x = 0; x < kCrop; ++x) {
        const double dx = coord(x) - mx, dy = coord(y) - my;
        double diff = 0;
        for (int ch = 0; ch < 3; ++ch) {
          const size_t i = (static_cast<size_t>(ch) * kCrop + y) * kCrop + x;
          diff = std::max(diff, std::fabs(double(opened[i]) - still[i]));
        }
        if (std::fabs(dx) < 0.2 && std::fabs(dy) < 0.15) {
          inMouth += diff;
          ++inCount;
        } else if (std::hypot(dx, dy) > 0.45) {
          farMax = std::max(farMax, diff);
        }
      }
    EXPECT_GT(inMouth / inCount, 0.05) << "the mouth did not open";
    EXPECT_LT(farMax, 0.01) << "eyes, brows and background moved with the mouth";
  }
}

// A short batch fills the remaining slots with the last real frame; every slot of the
// batch is a real render of its inputs.
TEST(Renderer, ShortBatchRepeatsTheLastFrame) {
  LoadedBundle b = loadBundle("raw");
  const test::DriveRows d = test::driveRows(directorBundle("raw"));
  auto r4 = open(b, "b4");
  auto r1 = open(b, "b1");
  const Batch in = batchOf(d, {5, 0});
  const float* out = r4->render(in.si.data(), in.xs.data(), in.xd.data(), 2);
  for (int j = 2; j < 4; ++j) EXPECT_EQ(maxDiff(out + j * kFrame, out + kFrame, kFrame), 0.0) << "slot " << j;
  for (int j = 0; j < 2; ++j) {
    const float* one = r1->render(&in.si[j], &in.xs[63 * j], &in.xd[63 * j], 1);
    EXPECT_LT(maxDiff(out + j * kFrame, one, kFrame), 1e-5) << "frame " << j;
  }
  // A full batch after a short one: the padded slots are overwritten, nothing carries over.
  const Batch full = batchOf(d, {1, 2, 3, 4});
  out = r4->render(full.si.data(), full.xs.data(), full.xd.data(), 4);
  const float* three = r1->render(&full.si[3], &full.xs[63 * 3], &full.xd[63 * 3], 1);
  EXPECT_LT(maxDiff(out + 3 * kFrame, three, kFrame), 1e-5);

  EXPECT_EQ(test::refusal([&] { r4->render(in.si.data(), in.xs.data(), in.xd.data(), 0); }), "render: bad n");
  EXPECT_EQ(test::refusal([&] { r4->render(full.si.data(), full.xs.data(), full.xd.data(), 5); }), "render: bad n");
  const int bad[2] = {0, 6};
  EXPECT_EQ(test::refusal([&] { r4->render(bad, in.xs.data(), in.xd.data(), 2); }),
            "render: source index 6 of frame 1 is outside this identity's 6 source frames — refusing to read past "
            "the mapped members");
}

// The prior played from the HEVC member renders what the raw prior renders (the two
// bundles are drawn from the same frames; the HEVC copy went through 8-bit YUV 4:4:4).
TEST(Renderer, HevcPriorRendersLikeTheRawOne) {
  LoadedBundle raw = loadBundle("raw");
  LoadedBundle hevc = loadBundle("hevc");
  ASSERT_FALSE(hevc.id->hasP());
  const test::DriveRows d = test::driveRows(directorBundle("raw"));
  auto rr = open(raw, "b4");
  auto rh = open(hevc, "b4");
  for (const std::vector<int>& rows : {std::vector<int>{0, 1, 2, 3}, std::vector<int>{4, 5, 0}}) {
    const Batch in = batchOf(d, rows);
    const int n = static_cast<int>(rows.size());
    const float* pr = rr->render(in.si.data(), in.xs.data(), in.xd.data(), n);
    std::vector<float> ref(pr, pr + 4 * kFrame);
    const float* ph = rh->render(in.si.data(), in.xs.data(), in.xd.data(), n);
    double mean = 0;
    for (size_t i = 0; i < ref.size(); ++i) mean += std::fabs(double(ph[i]) - ref[i]);
    EXPECT_LT(mean / ref.size(), 0.01);
    EXPECT_LT(maxDiff(ph, ref.data(), ref.size()), 0.1);
  }
}

TEST(Renderer, ProvidersAndTheirRefusals) {
  LoadedBundle b = loadBundle("raw");
  const std::string xn = test::refusal([&] { open(b, "b1", 1, "xnnpack:fp16"); });
  EXPECT_EQ(xn.rfind("Renderer: ep 'xnnpack:fp16' is REFUSED. This renderer rewrites its graph to tavrin "
                     "custom-domain nodes",
                     0),
            0u)
      << xn;
  EXPECT_NE(xn.find("Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes."),
            std::string::npos);
  EXPECT_EQ(test::refusal([&] { open(b, "b1", 1, "cuda"); }), "Renderer: unknown ep 'cuda'");

  // This ONNX Runtime carries no CoreML provider: the session falls back to the CPU one.
  for (const char* ep : {"coreml", "coreml:ane", "coreml:cpu"}) {
    StderrCapture err;
    auto r = open(b, "b1", 1, ep);
    const std::string log = err.text();
    EXPECT_NE(log.find("[ka] CoreML EP session refused: "), std::string::npos) << log;
    EXPECT_NE(log.find(" — falling back to the ORT CPU EP\n"), std::string::npos);
    EXPECT_NE(log.find("[ka] director ep=cpu (ORT CPU EP)\n"), std::string::npos);
    EXPECT_EQ(r->ep(), "cpu");
  }
  {
    StderrCapture err;
    auto r = open(b, "b1", 1, "neon");
    // The convolution engine exists but knows only the fused m4b graph.
    EXPECT_NE(err.text().find("[ka] NEON backend refused: " + b.m.modelPath("b1") +
                              " is not the fused m4b graph (golden/unified director?); using ORT\n"),
              std::string::npos);
    EXPECT_EQ(r->ep(), "cpu");
    EXPECT_STREQ(r->backend(), "ort");
  }
  {
    ScopedEnv env("KA_CONV_BACKEND", "neon");
    StderrCapture err;
    auto r = open(b, "b1");
    EXPECT_NE(err.text().find("[ka] NEON backend refused: "), std::string::npos);
    EXPECT_STREQ(r->backend(), "ort");
  }
}

TEST(Renderer, KeypointContractAndGraphRefusals) {
  LoadedBundle b = loadBundle("raw");
  const std::string dir = directorBundle("raw");
  const std::string kp22 = test::refusal([&] { open(b, "b1_kp22"); });
  EXPECT_EQ(kp22.rfind("Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + dir +
                           "/model_b1_kp22.onnx — the graph declares kp_driving with 22 keypoint rows, and this "
                           "renderer feeds 21 (ka::kHostKpRows, ka/ka.h). That is the recipe_v4 / kd_v4 shape: "
                           "row 21 is the WIDTH ROW",
                       0),
            0u)
      << kp22;
  EXPECT_NE(kp22.find("so it cannot drive this director. REFUSING AT LOAD rather than dying inside ORT at the "
                      "first Run. This build must not have been published to a host that links this renderer: "
                      "training/recipe/host_kp_contract.py is the publish gate that exists to prevent it."),
            std::string::npos);
  EXPECT_EQ(test::refusal([&] { open(b, "b1_kp20"); }),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + dir +
                "/model_b1_kp20.onnx — the graph declares kp_driving with 20 keypoint rows, and this renderer "
                "feeds 21 (ka::kHostKpRows, ka/ka.h). REFUSING AT LOAD rather than dying inside ORT at the first "
                "Run. This build must not have been published to a host that links this renderer: "
                "training/recipe/host_kp_contract.py is the publish gate that exists to prevent it.");
  {
    auto r = open(b, "b1_kpdyn");  // a dynamic row count is the caller's to fill: 21
    const test::DriveRows d = test::driveRows(dir);
    const float* out = r->render(&d.si[0], d.xs.data(), d.xd.data(), 1);
    auto ref = open(b, "b1");
    EXPECT_LT(maxDiff(out, ref->render(&d.si[0], d.xs.data(), d.xd.data(), 1), kFrame), 1e-5);
  }
  {
    ScopedEnv env("KA_GS_FAST", "0");
    const std::string baked = test::refusal([&] { open(b, "b1_baked"); });
    EXPECT_EQ(baked.rfind("Renderer: KA_GS_FAST=0 (or TAVRIN_ORVANE2_GRIDSAMPLE_FAST=0, which sets it) was asked "
                          "for, but " +
                              dir + "/model_b1_baked.onnx has com.tavrin::GridSampleFast BAKED INTO THE GRAPH.",
                          0),
              0u)
        << baked;
    EXPECT_NE(baked.find("or unset the flag to load this one."), std::string::npos);
    // Without the custom domain a standard graph still loads, on ORT's own GridSample.
    StderrCapture err;
    auto r = open(b, "b1");
    EXPECT_EQ(err.text().find("com.tavrin::GridSampleFast load-time rewrite"), std::string::npos);
  }
  EXPECT_EQ(test::refusal([&] { open(b, "b9"); }), "Renderer: cannot open " + dir + "/model_b9.onnx");
  {
    // The picture is the output named rgb, wherever it stands among the outputs.
    auto r = open(b, "b1_aux");
    const test::DriveRows d = test::driveRows(dir);
    const float* out = r->render(&d.si[0], d.xs.data(), d.xd.data(), 1);
    auto ref = open(b, "b1");
    EXPECT_LT(maxDiff(out, ref->render(&d.si[0], d.xs.data(), d.xd.data(), 1), kFrame), 1e-5);
  }

  LoadedBundle nofs = loadBundle("nofs");
  EXPECT_EQ(test::refusal([&] { open(nofs, "b1_fs"); }), "FeatSynth graph but bundle lacks fs_red.f16");
  LoadedBundle fsonly = loadBundle("fsonly");
  EXPECT_EQ(test::refusal([&] { open(fsonly, "b1"); }).rfind(
                "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor "
                "a P_hevc.mov to play in place is present",
                0),
            0u);
  EXPECT_EQ(open(fsonly, "b1_fs")->batch(), 1);
  LoadedBundle crop32 = loadBundle("crop32");
  EXPECT_EQ(test::refusal([&] { open(crop32, "b1"); }),
            "Renderer: " + directorBundle("crop32") +
                "/model_b1.onnx declares its input P_rgb as [1,3,64,64] and this bundle's manifest declares crop "
                "32 at batch 1, so it needs [1,3,32,32] — the director does not belong to this bundle's geometry. "
                "REFUSING at load rather than failing inside ORT at the first Run.");
}

// A bundle with a lip template whose director has no compose tail to bind it to loads
// and renders what it renders without one, and says so; a template that does not read
// refuses the load.
TEST(Renderer, LipTemplateWithoutBindingKeepsTheGraph) {
  LoadedBundle b = loadBundle("raw");
  const test::DriveRows d = test::driveRows(directorBundle("raw"));
  Manifest withLip = b.m;
  withLip.lipTemplate = "{\"format\": \"lip_template.v1\"}";
  EXPECT_EQ(test::refusal([&] { Renderer bad(withLip, *b.id, "b1", 1, ""); }),
            "lip_template.v1.json: declares format 'lip_template.v1', not 'lip-template-v1' — this runtime cannot "
            "read it");
  withLip.lipTemplate =
      "{\"format\": \"lip-template-v1\", \"canvas\": 64, \"feather_px\": 2, \"u_canon\": [[-1,0],[0,-1],[1,0],[0,1]], "
      "\"lip_idx\": [15,16,17,18]}";
  StderrCapture err;
  Renderer lip(withLip, *b.id, "b1", 1, "");
  const std::string log = err.text();
  EXPECT_NE(log.find("[ka] !!! lip contour NOT bound to the compose alpha (b1): the graph does not carry the unified "
                     "compose tail"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" — this session serves the graph's own ELLIPSE\n"), std::string::npos);
  EXPECT_EQ(log.find("compose alpha: ELLIPSE"), std::string::npos);
  auto plain = open(b, "b1");
  EXPECT_EQ(maxDiff(lip.render(&d.si[1], &d.xs[63], &d.xd[63], 1),
                    plain->render(&d.si[1], &d.xs[63], &d.xd[63], 1), kFrame),
            0.0);
}

// KA_ORT_PROFILE writes ONNX Runtime's profile and reports the mean run time when the
// renderer goes away.
TEST(Renderer, ProfileIsWrittenAndReported) {
  LoadedBundle b = loadBundle("raw");
  test::TempDir t;
  const test::DriveRows d = test::driveRows(directorBundle("raw"));
  ScopedEnv env("KA_ORT_PROFILE", t / "director");
  StderrCapture err;
  {
    auto r = open(b, "b1");
    for (int i = 0; i < 3; ++i) r->render(&d.si[i], &d.xs[63 * i], &d.xd[63 * i], 1);
  }
  const std::string log = err.text();
  EXPECT_NE(log.find("[ka_ort_profile] 3 frames: "), std::string::npos) << log;
  EXPECT_NE(log.find(" ms/frame in Session::Run\n"), std::string::npos);
  const size_t at = log.find("[ka_ort_profile] " + t.path() + "/director");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string file = log.substr(at + 17, log.find('\n', at) - at - 17);
  const std::string json = test::slurp(file);
  EXPECT_NE(json.find("\"GridSampleFast\""), std::string::npos);
  EXPECT_NE(json.find("\"DepthToSpace\""), std::string::npos);
}

}  // namespace
}  // namespace ka
