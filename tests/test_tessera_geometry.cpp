// Compose geometry and lip contour, checked against the formulas evaluated afresh here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tessera/geometry_stamp.h"
#include "tessera/lip_contour.h"
#include "tessera/unified_pi.h"

namespace ka::tessera {
namespace {

std::string expectThrow(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no exception>";
}

GeometryStamp goodStamp() {
  // 64 canvas, 24x16 window at (20, 36), band rows [4, 12), cols [4, 20), margin 2.
  const int32_t v[12] = {64, 64, 20, 36, 24, 16, 3, 4, 12, 4, 20, 2};
  return GeometryStamp::fromArray(v);
}

TEST(GeometryStamp, ValidationNamesEveryBrokenRuleInOrder) {
  struct Case {
    const char* what;
    void (*edit)(GeometryStamp&);
    const char* expect;  // "" = accepted
  };
  const Case cases[] = {
      {"coherent", [](GeometryStamp&) {}, ""},
      {"margin 0", [](GeometryStamp& s) { s.shift_margin = 0; }, ""},
      {"pad 0", [](GeometryStamp& s) { s.pad = 0; },
       "teeth: GeometryStamp incoherent: pad/shift_margin must be positive;"},
      {"window too wide and band cols", [](GeometryStamp& s) { s.window_w = 60; s.band_c1 = 61; },
       "teeth: GeometryStamp incoherent: window x-range escapes canvas; band cols escape window;"},
      {"zero window", [](GeometryStamp& s) { s.window_h = 0; },
       "teeth: GeometryStamp incoherent: window dims must be positive; band rows escape window;"
       " stored band rows escape patch;"},
      {"margin beyond the pad", [](GeometryStamp& s) { s.shift_margin = 8; },
       "teeth: GeometryStamp incoherent: stored band rows escape patch; stored band cols escape patch;"},
      {"y escapes", [](GeometryStamp& s) { s.window_y0 = 50; },
       "teeth: GeometryStamp incoherent: window y-range escapes canvas;"},
      {"huge values do not wrap", [](GeometryStamp& s) { s.window_x0 = 2147483600; },
       "teeth: GeometryStamp incoherent: window x-range escapes canvas;"},
  };
  for (const Case& c : cases) {
    GeometryStamp s = goodStamp();
    c.edit(s);
    const std::string got = expectThrow([&] { s.validate(); });
    EXPECT_EQ(got, *c.expect ? c.expect : "<no exception>") << c.what;
  }
  EXPECT_EQ(goodStamp().describe(),
            "{canvas_w=64, canvas_h=64, window_x0=20, window_y0=36, window_w=24, window_h=16, pad=3, "
            "band_r0=4, band_r1=12, band_c0=4, band_c1=20, shift_margin=2}");
  EXPECT_EQ(goodStamp().bandW(), 20);
  EXPECT_EQ(goodStamp().bandH(), 12);
}

std::string manifestWith(const std::string& pi, const std::string& extra = "") {
  return "{\"NT\": 4, \"unified\": {" + extra + "\"pi\": {" + pi + "}}}";
}
const char* kPi =
    "\"mode\": \"prop\", \"prop_gate_scale\": 1.0, \"lip_idx\": [13,14,15,16,17,18], "
    "\"lip_geom_params\": [0.05, 0.08, 0.015]";

TEST(UnifiedPi, ManifestRefusals) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"NT\": 4}", "teeth-pi: manifest has no `unified` block"},
      {"{\"unified\": {}}", "teeth: member JSON lacks key 'pi'"},
      {manifestWith("\"mode\": 3"), "teeth-pi: unified.pi.mode is not a string"},
      {manifestWith("\"mode\": \"ellipse\""), "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask"},
      {manifestWith(std::string(kPi) + ", \"corner_recovery\": \"all\""),
       "teeth-pi: unknown unified.pi.corner_recovery"},
      {manifestWith("\"mode\": \"prop\", \"lip_idx\": [1]"), "teeth: member JSON lacks key 'prop_gate_scale'"},
      {manifestWith("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [], \"lip_geom_params\": [0,0,0]"),
       "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {manifestWith("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [3, 21], \"lip_geom_params\": [0,0,0]"),
       "teeth-pi: unified.pi.lip_idx names keypoint row 21"},
      {manifestWith("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [3], \"lip_geom_params\": [0,0]"),
       "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {manifestWith(kPi, "\"crop\": {\"canvas\": 512}, "),
       "teeth-pi: engine renders at canvas 64 but unified.crop.canvas is 512"},
  };
  for (const auto& [text, prefix] : cases) {
    const std::string got = expectThrow([&] { UnifiedPi::fromManifestJson(text, 64); });
    EXPECT_EQ(got.substr(0, prefix.size()), prefix) << text;
  }
  const UnifiedPi u = UnifiedPi::fromManifestJson(
      manifestWith(std::string(kPi) + ", \"corner_recovery\": \"lip_landmark_half\"",
                   "\"crop\": {\"canvas\": 512}, "),
      512);
  EXPECT_TRUE(u.corner_recovery);
  ASSERT_EQ(u.gx.size(), 512u);
  EXPECT_EQ(u.gx[0], -1.0f);
  EXPECT_EQ(u.gx[511], 1.0f);
  EXPECT_NEAR(u.gx[1] - u.gx[0], 2.0 / 511.0, 1e-7);
}

// Keypoints with the lip rows 13..18 around (0, 0.4), mouth half-open by `hy`.
std::vector<float> mouth(double hy, double dx = 0.0) {
  std::vector<float> kp(63, 0.0f);
  const double pts[6][2] = {{-0.2, 0}, {0.2, 0}, {0, -1}, {0, 1}, {-0.1, -0.5}, {0.1, 0.5}};
  for (int r = 0; r < 6; ++r) {
    kp[(13 + r) * 3] = static_cast<float>(pts[r][0] + dx);
    kp[(13 + r) * 3 + 1] = static_cast<float>(0.4 + pts[r][1] * hy);
  }
  return kp;
}

// The pi formula evaluated from scratch: lip ellipse, gated teeth ellipse, max, bytes.
std::vector<uint8_t> referencePi(const std::vector<float>& kp, int n, double pad_x, double pad_y,
                                 double down, double gate_scale, bool corner) {
  const int rows[6] = {13, 14, 15, 16, 17, 18};
  double cx = 0, cy = 0;
  for (int r : rows) cx += kp[r * 3] / 6.0, cy += kp[r * 3 + 1] / 6.0;
  double hx = 0, hy = 0;
  for (int r : rows) hx = std::max(hx, std::abs(kp[r * 3] - cx)), hy = std::max(hy, std::abs(kp[r * 3 + 1] - cy));
  auto s = [](double t) { return t * t * (3 - 2 * t); };
  double scale = 1;
  if (corner) {
    const double ax = std::max(hx + pad_x, 0.1), ay = std::max(hy + pad_y, 0.1);
    double w = 0;
    for (int r : rows) w = std::max(w, std::hypot((kp[r * 3] - cx) / ax, (kp[r * 3 + 1] - cy - down) / ay));
    scale = std::max(1.0, 5 / (std::sqrt(ax * ay) * 256) + w);
  }
  const double lrx = std::max(hx + pad_x, 0.1) * scale, lry = std::max(hy + pad_y, 0.1) * scale;
  double grx = std::max(hx, 0.004), gry = std::max(hy, 0.004);
  if (gate_scale != 1) grx *= gate_scale, gry *= gate_scale;
  const double t = (hy - 0.02) / 0.01;
  const double gate = t < 0 ? 0 : s(std::min(t, 1.0));
  auto ell = [&](double ecx, double ecy, double rx, double ry, double x, double y) {
    const double d = (1 - std::hypot((x - ecx) / rx, (y - ecy) / ry)) * std::sqrt(rx * ry) * 25.6;
    return d < 0 ? 0.0 : s(std::min(d, 1.0));
  };
  std::vector<uint8_t> out(size_t(n) * n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double x = float(i * 2.0 / (n - 1) - 1), y = float(j * 2.0 / (n - 1) - 1);
      const double v = std::max(ell(cx, cy + down, lrx, lry, x, y), gate * ell(cx, cy, grx, gry, x, y));
      out[size_t(j) * n + i] = static_cast<uint8_t>(std::nearbyint(std::min(1.0, v) * 255));
    }
  return out;
}

TEST(UnifiedPi, MasksMatchTheFormulaForTwoGeometries) {
  struct Geo {
    const char* pi;
    double pad_x, pad_y, down, gate_scale;
    bool corner;
  };
  const Geo geos[] = {
      {kPi, 0.05, 0.08, 0.015, 1.0, false},
      {"\"mode\": \"prop\", \"prop_gate_scale\": 1.3, \"lip_idx\": [13,14,15,16,17,18], "
       "\"lip_geom_params\": [0.14, 0.08, 0.074], \"corner_recovery\": true",
       0.14, 0.08, 0.074, 1.3, true},
  };
  const int n = 96;
  for (const Geo& g : geos) {
    const UnifiedPi u = UnifiedPi::fromManifestJson(manifestWith(g.pi), n);
    for (double hy : {0.015, 0.025, 0.06}) {
      SCOPED_TRACE(std::string(g.pi) + " hy=" + std::to_string(hy));
      const auto kp = mouth(hy);
      const auto ref = referencePi(kp, n, g.pad_x, g.pad_y, g.down, g.gate_scale, g.corner);
      std::vector<uint8_t> full(n * n), boxed(n * n, 7);
      u.piU8(kp.data(), full.data());
      u.piU8Boxed(kp.data(), boxed.data());
      int off = 0, lit = 0, ref_lit = 0;
      for (int k = 0; k < n * n; ++k) {
        off += std::abs(int(full[k]) - int(ref[k])) > 1;
        lit += full[k] >= 128;
        ref_lit += ref[k] >= 128;
      }
      EXPECT_EQ(off, 0);
      EXPECT_GT(lit, 20);
      EXPECT_NEAR(lit, ref_lit, 2);
      // Boxed: the same bytes, the support box holding every lit pixel.
      EXPECT_EQ(full, boxed);
      const Box b = u.supportBox(kp.data());
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i)
          if (full[j * n + i]) {
            EXPECT_TRUE(i >= b.x0 && i < b.x1 && j >= b.y0 && j < b.y1) << i << "," << j;
          }
      // Closed lips give no teeth gate at all.
      std::vector<float> gate(n * n);
      u.propTeethGate(kp.data(), gate.data());
      float gmax = 0;
      for (float v : gate) gmax = std::max(gmax, v);
      if (hy <= 0.02) {
        EXPECT_EQ(gmax, 0.0f);
      } else {
        EXPECT_GT(gmax, 0.0f);
      }
    }
  }
}

TEST(UnifiedPi, CentroidShiftRoundsHalfToEven) {
  const UnifiedPi u = UnifiedPi::fromManifestJson(manifestWith(kPi), 16);
  std::vector<uint8_t> pi(256, 0);
  pi[5 * 16 + 10] = 128;
  pi[6 * 16 + 11] = 255;
  pi[5 * 16 + 3] = 127;  // below the top bit: not counted
  double cx = 0, cy = 0;
  ASSERT_TRUE(u.piU8Centroid(pi.data(), &cx, &cy));
  EXPECT_EQ(cx, 10.5);
  EXPECT_EQ(cy, 5.5);
  EXPECT_EQ(roundHalfEven(cx), 10.0);
  EXPECT_EQ(roundHalfEven(cy), 6.0);
  EXPECT_FALSE(u.piU8Centroid(pi.data(), Box{0, 0, 9, 16}, &cx, &cy));

  // Shift of a real frame: the centroid minus the canonical centre, rounded.
  const UnifiedPi v = UnifiedPi::fromManifestJson(manifestWith(kPi), 96);
  const auto kp = mouth(0.05);
  std::vector<uint8_t> out(96 * 96);
  v.piU8(kp.data(), out.data());
  ASSERT_TRUE(v.piU8Centroid(out.data(), &cx, &cy));
  const double canon[2] = {cx - 3.0, cy + 2.0};
  int rs = 99, cs = 99;
  ASSERT_TRUE(v.piU8AndShift(kp.data(), canon, out.data(), &rs, &cs));
  EXPECT_EQ(rs, -2);
  EXPECT_EQ(cs, 3);
}

TEST(UnifiedPi, CorpusMatchPicksTheNearestAndRefusesFarOrAmbiguous) {
  const int n = 256;
  const std::string m = manifestWith(kPi);
  std::vector<float> frames;
  for (double hy : {0.03, 0.05, 0.07}) {
    const auto kp = mouth(hy, hy - 0.05);
    frames.insert(frames.end(), kp.begin(), kp.end());
  }
  double c[3][2];
  const float geo[3][3] = {{0.05f, 0.08f, 0.015f}, {0.10f, 0.08f, 0.074f}, {0.14f, 0.08f, 0.074f}};
  for (int r = 0; r < 3; ++r) {
    UnifiedPi u = UnifiedPi::fromManifestJson(m, n);
    u.pad_x = geo[r][0], u.pad_y = geo[r][1], u.down = geo[r][2];
    u.canonicalCentroid(frames.data(), 3, &c[r][0], &c[r][1]);
  }
  ASSERT_GT(std::hypot(c[0][0] - c[1][0], c[0][1] - c[1][1]), 3.0);  // v1 stands apart
  std::string picked;
  const UnifiedPi got = UnifiedPi::corpusFromManifestJson(m, n, frames.data(), 3, c[0], &picked);
  EXPECT_EQ(picked, "v1");
  EXPECT_FLOAT_EQ(got.down, 0.015f);
  const double far[2] = {c[0][0] + 40, c[0][1]};
  EXPECT_NE(expectThrow([&] { UnifiedPi::corpusFromManifestJson(m, n, frames.data(), 3, far, nullptr); })
                .find("no corpus pi geometry matches this bank's c_canon"),
            std::string::npos);
  // v2 and v3 differ only in pad_x, so their centroids nearly coincide.
  EXPECT_NE(expectThrow([&] { UnifiedPi::corpusFromManifestJson(m, n, frames.data(), 3, c[2], nullptr); })
                .find("AMBIGUOUS"),
            std::string::npos);
  EXPECT_NE(expectThrow([&] { UnifiedPi::corpusFromManifestJson(m, n, nullptr, 0, c[0], nullptr); })
                .find("none was supplied"),
            std::string::npos);
}

// Attach evaluates each frame's centroid over its support box only. It must equal the
// whole-canvas evaluation bit for bit, or the corpus match could name another geometry:
// small and wide-open mouths, a mouth running off the canvas edge, corner recovery.
TEST(UnifiedPi, CanonicalCentroidEqualsTheWholeCanvasEvaluation) {
  std::vector<float> frames;
  for (const auto& [hy, dx] : std::vector<std::pair<double, double>>{{0.03, 0.0}, {0.09, 0.1}, {0.2, 0.85}, {0.05, -0.9}}) {
    const auto kp = mouth(hy, dx);
    frames.insert(frames.end(), kp.begin(), kp.end());
  }
  const int nf = int(frames.size() / 63);
  for (int n : {96, 257, 512})
    for (bool corner : {false, true}) {
      SCOPED_TRACE(testing::Message() << "canvas " << n << (corner ? " corner recovery" : ""));
      UnifiedPi u = UnifiedPi::fromManifestJson(manifestWith(kPi), n);
      u.corner_recovery = corner;
      u.pad_x = 0.14f, u.down = 0.074f;
      std::vector<uint8_t> pi(size_t(n) * n);
      double sx = 0, sy = 0;
      for (int f = 0; f < nf; ++f) {
        double x = 0, y = 0;
        u.piU8(frames.data() + f * 63, pi.data());
        ASSERT_TRUE(u.piU8Centroid(pi.data(), &x, &y));
        sx += x, sy += y;
      }
      double cx = 0, cy = 0;
      u.canonicalCentroid(frames.data(), nf, &cx, &cy);
      EXPECT_EQ(cx, sx / nf);
      EXPECT_EQ(cy, sy / nf);
    }
}

std::string lipTemplate(const std::string& extra, int canvas = 96) {
  return "{\"format\": \"lip-template-v1\", \"canvas\": " + std::to_string(canvas) +
         ", \"feather_px\": 4, \"u_canon\": [[-1,-1],[1,-1],[1,1],[-1,1]], \"lip_idx\": [13,14,15,16]" +
         extra + "}";
}

TEST(LipContour, TemplateRefusals) {
  const std::string map_ok =
      ", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [13,14], "
      "\"W\": [[1,0,0,0],[0,1,0,0],[0,0,1,0],[0,0,0,1],[1,0,0,0],[0,1,0,0],[0,0,1,0],[0,0,0,1]], "
      "\"b\": [0,0,0,0,0,0,0,0]";
  const std::pair<std::string, std::string> cases[] = {
      {"[1", "is not parseable JSON (teeth: malformed JSON array)"},
      {"[1]", "is not a JSON object"},
      {"{\"canvas\": 96}", "carries no string `format`"},
      {"{\"format\": \"lip-template-v2\"}", "declares format 'lip-template-v2', not 'lip-template-v1'"},
      {lipTemplate(", \"edge\": \"inward\""), "declares edge 'inward', and the contour feather is OUTWARD"},
      {lipTemplate("", 128), "was baked on a 128 canvas but this bundle composes on 96"},
      {"{\"format\": \"lip-template-v1\", \"canvas\": 96, \"feather_px\": -0.5}",
       "declares feather_px -0.500000, which is not positive"},
      {"{\"format\": \"lip-template-v1\", \"canvas\": 96, \"feather_px\": 1, \"u_canon\": []}",
       "carries no non-empty `u_canon` array"},
      {"{\"format\": \"lip-template-v1\", \"canvas\": 96, \"feather_px\": 1, \"u_canon\": [[1,2],[3]]}",
       "u_canon row 1 is not a 2-vector"},
      {"{\"format\": \"lip-template-v1\", \"canvas\": 96, \"feather_px\": 1, \"u_canon\": [[1,2]], \"lip_idx\": [4, 21]}",
       "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {lipTemplate(", \"lip_map\": 3"), "lip_map is not a JSON object"},
      {lipTemplate(", \"lip_map\": {\"kind\": \"anchor-linear\"}"), "lip_map declares schema '?', not 'lip-map-v1'"},
      {lipTemplate(", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"affine\"}"), "lip_map kind is not 'anchor-linear'"},
      {lipTemplate(", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [1,2,3,4,5,6,7,8,9]}"),
       "lip_map lip_idx is not 1..8 kd rows"},
      {lipTemplate(", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [3.5]}"),
       "lip_map lip_idx names a row outside 0..20"},
      {lipTemplate(", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [3]}"),
       "lip_map carries no W/b arrays"},
      {lipTemplate(map_ok.substr(0, map_ok.rfind(", \"b\"")) + ", \"b\": [0]}"), "lip_map W/b have 8/1 rows, not 2*nv=8"},
      {lipTemplate(", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [13], "
                   "\"W\": [[1,0],[0,1],[1,0],[0,1],[1,0],[0,1],[1,0],[0]], \"b\": [0,0,0,0,0,0,0,0]}"),
       "lip_map W row 7 is not 2 wide"},
      {lipTemplate(", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [13], "
                   "\"W\": [[1,0],[0,1],[1,0],[0,1],[1,0],[0,1],[1,0],[0,\"x\"]], \"b\": [0,0,0,0,0,0,0,0]}"),
       "lip_map carries a non-finite coefficient"},
      {lipTemplate(map_ok + ", \"canvas\": 512}"), "lip_map was fitted on another canvas than this bundle composes on"},
  };
  for (const auto& [text, reason] : cases) {
    const std::string got = expectThrow([&] { LipContour::fromTemplateJson(text, 96); });
    const std::string want = "lip_template.v1.json: " + reason;
    EXPECT_EQ(got.substr(0, want.size()), want) << text;
  }
  for (const std::string& ok : {lipTemplate(", \"edge\": \"outward\""), lipTemplate(", \"edge\": 5"),
                               lipTemplate(map_ok + ", \"canvas\": 96}")}) {
    EXPECT_EQ(expectThrow([&] { LipContour::fromTemplateJson(ok, 96); }), "<no exception>") << ok;
  }
  EXPECT_EQ(LipContour::fromTemplateJson(lipTemplate(map_ok + "}"), 96).mapWidth(), 4);
}

TEST(LipContour, PolygonFollowsTheAnchorsByScaleOrMap) {
  const auto kp = mouth(0.05);
  const int rows[4] = {13, 14, 15, 16};
  double px[4], py[4], gx = 0, gy = 0;
  for (int a = 0; a < 4; ++a) {
    px[a] = (kp[rows[a] * 3] + 1.0) * 48, py[a] = (kp[rows[a] * 3 + 1] + 1.0) * 48;
    gx += px[a] / 4, gy += py[a] / 4;
  }
  double hx = 0, hy = 0;
  for (int a = 0; a < 4; ++a) hx = std::max(hx, std::abs(px[a] - gx)), hy = std::max(hy, std::abs(py[a] - gy));
  LipContour lc = LipContour::fromTemplateJson(lipTemplate(""), 96);
  double poly[8];
  lc.polygon(kp.data(), poly);
  const double u[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
  for (int j = 0; j < 8; ++j) EXPECT_NEAR(poly[j], (j % 2 ? hy : hx) * u[j] + (j % 2 ? gy : gx), 1e-9) << j;

  // Map: b + W f + centroid, f the anchors relative to their centroid.
  const std::string map =
      ", \"lip_map\": {\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [13,14], "
      "\"W\": [[2,0,0,0],[0,1,0,0],[0,0,1,0],[0,0,0,1],[1,0,0,0],[0,1,0,0],[0,0,1,0],[0.5,0,0,0.25]], "
      "\"b\": [1,2,3,4,5,6,7,8]}";
  LipContour lm = LipContour::fromTemplateJson(lipTemplate(map), 96);
  EXPECT_EQ(lm.lipIdx(), (std::vector<int32_t>{13, 14}));
  lm.polygon(kp.data(), poly);
  const double ax[2] = {(kp[39] + 1.0) * 48, (kp[42] + 1.0) * 48}, ay[2] = {(kp[40] + 1.0) * 48, (kp[43] + 1.0) * 48};
  const double mx = (ax[0] + ax[1]) / 2, my = (ay[0] + ay[1]) / 2;
  const double f[4] = {ax[0] - mx, ay[0] - my, ax[1] - mx, ay[1] - my};
  EXPECT_NEAR(poly[0], 1 + 2 * f[0] + mx, 1e-9);
  EXPECT_NEAR(poly[7], 8 + 0.5 * f[0] + 0.25 * f[3] + my, 1e-9);

  // Anchors on one vertical line: hx collapses to 1e-6, nothing divides by zero.
  auto flat = kp;
  for (int r : rows) flat[r * 3] = 0.25f;
  lc.polygon(flat.data(), poly);
  EXPECT_NEAR(poly[2] - poly[0], 2e-6, 1e-9);
  std::vector<float> map_out(96 * 96);
  lc.contourF32Canvas(flat.data(), map_out.data());
  for (float v : map_out) ASSERT_TRUE(std::isfinite(v));
}

TEST(LipContour, FeatheredContourAroundASquare) {
  // Anchors at (x, y) = ±0.25 make a square of side 24 px centred on pixel (48, 48).
  std::vector<float> kp(63, 0.0f);
  const float sq[4][2] = {{-0.25f, -0.25f}, {0.25f, -0.25f}, {0.25f, 0.25f}, {-0.25f, 0.25f}};
  for (int a = 0; a < 4; ++a) kp[(13 + a) * 3] = sq[a][0], kp[(13 + a) * 3 + 1] = sq[a][1];
  LipContour lc = LipContour::fromTemplateJson(lipTemplate(""), 96);
  std::vector<float> m(96 * 96, -1.0f);
  lc.contourF32Canvas(kp.data(), m.data());
  auto s = [](double t) { return t * t * (3 - 2 * t); };
  // Vertices at 36 and 60: the outline and the inside are 1.
  EXPECT_EQ(m[48 * 96 + 48], 1.0f);
  EXPECT_EQ(m[36 * 96 + 36], 1.0f);
  EXPECT_EQ(m[60 * 96 + 60], 1.0f);
  EXPECT_NEAR(m[48 * 96 + 61], s(1 - 0.955 / 4), 1e-6);      // one side step right
  EXPECT_NEAR(m[35 * 96 + 48], s(1 - 0.955 / 4), 1e-6);      // one side step up
  EXPECT_NEAR(m[61 * 96 + 61], s(1 - 1.3693 / 4), 1e-6);     // one diagonal step
  EXPECT_NEAR(m[48 * 96 + 62], s(1 - 2 * 0.955 / 4), 1e-6);  // two steps
  EXPECT_EQ(m[48 * 96 + 65], 0.0f);                          // beyond the feather
  EXPECT_EQ(m[5 * 96 + 5], 0.0f);                            // outside the box: zeroed
  int filled = 0;
  for (float v : m) filled += v == 1.0f;
  EXPECT_EQ(filled, 25 * 25);

  // Box: bounds grown by feather + 2, upper bounds one past the ceiling.
  double poly[8];
  lc.polygon(kp.data(), poly);
  const Box b = lc.box(poly);
  EXPECT_EQ(b.x0, 30);
  EXPECT_EQ(b.y0, 30);
  EXPECT_EQ(b.x1, 67);
  EXPECT_EQ(b.y1, 67);
}

TEST(LipContour, DeliveredMaskIsPiClippedByTheContour) {
  const int n = 96;
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifestWith(kPi), n);
  LipContour lc = LipContour::fromTemplateJson(lipTemplate(""), n);
  const auto kp = mouth(0.05);
  std::vector<uint8_t> full(n * n), del(n * n, 9);
  std::vector<float> contour(n * n);
  pi.piU8(kp.data(), full.data());
  lc.deliveredU8(kp.data(), pi, del.data());
  lc.contourF32Canvas(kp.data(), contour.data());
  int lit = 0;
  for (int k = 0; k < n * n; ++k) {
    const double want = contour[k] > 0 ? std::nearbyint(255 * std::min<double>(contour[k], full[k] / 255.0)) : 0;
    EXPECT_NEAR(del[k], want, 1) << k;
    lit += del[k] > 0;
  }
  EXPECT_GT(lit, 10);

  std::vector<uint8_t> shifted(n * n);
  int rs = 0, cs = 0;
  const double canon[2] = {48, 58};
  EXPECT_TRUE(lc.deliveredU8AndShift(kp.data(), pi, canon, shifted.data(), &rs, &cs));

  // A contour anchored on rows far above the mouth lies outside pi's support box.
  auto far = kp;
  const float top[4][2] = {{-0.3f, -0.8f}, {0.3f, -0.8f}, {0.3f, -0.6f}, {-0.3f, -0.6f}};
  for (int a = 0; a < 4; ++a) far[a * 3] = top[a][0], far[a * 3 + 1] = top[a][1];
  std::string t = lipTemplate("");
  t.replace(t.find("[13,14,15,16]"), 13, "[0,1,2,3]");
  LipContour up = LipContour::fromTemplateJson(t, n);
  std::vector<uint8_t> out(n * n, 5);
  up.deliveredU8(far.data(), pi, out.data());
  for (int k = 0; k < n * n; ++k) ASSERT_EQ(out[k], 0) << k;
  EXPECT_FALSE(up.deliveredU8AndShift(far.data(), pi, canon, out.data(), &rs, &cs));
  for (int k = 0; k < n * n; ++k) ASSERT_EQ(out[k], 0) << k;
}

TEST(LipContour, OutlineWalksNoMoreThanTheBoxWhateverTheVertices) {
  // A square 36..60 with its third vertex moved; the outline's cost must stay within
  // the box's perimeter (each edge cut to the box); the in-canvas square fills as ever.
  LipContour lc = LipContour::fromTemplateJson(lipTemplate(""), 96);
  const struct {
    double x, y;
  } rows[] = {{60, 60}, {1.76e22, 60}, {-1e30, 60}, {60, 1e30}, {1.76e22, -1.76e22}, {2e6, 3e6}};
  for (const auto& r : rows) {
    const double poly[8] = {36, 36, 60, 36, r.x, r.y, 36, 60};
    const Box b = lc.box(poly);
    const int w = b.x1 - b.x0, h = b.y1 - b.y0;
    std::vector<uint8_t> raster(size_t(w) * h, 7);
    lc.fillScanline(poly, b, raster.data());
    EXPECT_LE(lc.outlineSteps(), 2 * (w + h) + lc.nv()) << r.x << "," << r.y;
    EXPECT_EQ(raster[size_t(36 - b.y0) * w + (36 - b.x0)], 255) << r.x << "," << r.y;
    if (&r == &rows[0]) {
      EXPECT_EQ(std::count(raster.begin(), raster.end(), 255), 25 * 25);
    }
  }
}

TEST(LipContour, NonFiniteKeypointsGiveAnEmptyContour) {
  LipContour lc = LipContour::fromTemplateJson(lipTemplate(""), 96);
  std::vector<float> kp = mouth(0.05);
  kp[13 * 3] = NAN;
  std::vector<float> m(96 * 96, 3.0f);
  lc.contourF32Canvas(kp.data(), m.data());
  for (float v : m) ASSERT_EQ(v, 0.0f);
  kp[13 * 3] = 1e30f;
  lc.contourF32Canvas(kp.data(), m.data());
  for (float v : m) ASSERT_TRUE(v >= 0.0f && v <= 1.0f);
}

}  // namespace
}  // namespace ka::tessera
