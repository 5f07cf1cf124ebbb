// The teeth pass: the blend head against the torch modules, retrieval against a NumPy
// reference on a decoded 48-donor bank, the frame protocol and the emission rules on
// small hand-made cases, and the refusals at construction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "compute/pool.h"
#include "tessera/teeth_pass.h"
#include "tests/support/test_support.h"
#include "tests/test_teeth_util.h"

namespace ka::tessera {
namespace {

using test::refusal;

#define NEED_FIXTURES() \
  if (test::fixtureDir().empty()) GTEST_SKIP() << "no fixtures"

std::string tessera() { return test::fixtureDir() + "/tessera/"; }

template <class T>
std::vector<T> readRaw(const std::string& path) {
  const std::string s = test::slurp(path);
  std::vector<T> v(s.size() / sizeof(T));
  std::memcpy(v.data(), s.data(), v.size() * sizeof(T));
  return v;
}

TEST(TeethPass, HeadForwardEqualsTheTorchModules) {
  NEED_FIXTURES();
  struct Case {
    const char* head;
    const char* dir;
    bool wide;
  };
  // 48 x 22 over four workers: the pixel loops' shares begin mid-row.
  GeometryStamp wide = smallStamp();
  wide.canvas_w = wide.canvas_h = 64;
  wide.window_w = 48, wide.window_h = 22, wide.band_r1 = 20, wide.band_c1 = 46;
  for (const Case& c : {Case{"blend_head.pt", "full_n1", false}, Case{"blend_head.pt", "full_n5", false},
                        Case{"blend_head8.pt", "cand_n1", false}, Case{"blend_head8.pt", "cand_n5", false},
                        Case{"blend_head8.pt", "cand_n3_wide", true}}) {
    SCOPED_TRACE(c.dir);
    const std::string d = tessera() + "teeth_head/" + c.dir + "/";
    const auto dims = readRaw<int32_t>(d + "dims.i32");
    ASSERT_EQ(dims.size(), 3u);
    const int n = dims[0];
    const GeometryStamp stamp = c.wide ? wide : smallStamp();
    ASSERT_EQ(dims[1], stamp.window_h);
    ASSERT_EQ(dims[2], stamp.window_w);
    const std::string pt = test::slurp(tessera() + "heads/" + c.head);
    TeethPass pass(solidBank(1, stamp), loadHeadPt(std::vector<uint8_t>(pt.begin(), pt.end())), ServeConfig{});
    std::vector<float> rgb, weights;
    ka::pool::testing::setThreads(c.wide ? 4 : 0);
    pass.headForward(readRaw<float>(d + "cands.f32"), n, readRaw<float>(d + "target.f32"),
                     readRaw<uint8_t>(d + "valid.u8"), &rgb, &weights);
    ka::pool::testing::setThreads(0);
    const auto want_rgb = readRaw<float>(d + "rgb.f32");
    const auto want_w = readRaw<float>(d + "weights.f32");
    ASSERT_EQ(rgb.size(), want_rgb.size());
    ASSERT_EQ(weights.size(), want_w.size());
    float worst = 0.0f;
    for (size_t i = 0; i < rgb.size(); ++i) worst = std::max(worst, std::fabs(rgb[i] - want_rgb[i]));
    for (size_t i = 0; i < weights.size(); ++i) worst = std::max(worst, std::fabs(weights[i] - want_w[i]));
    EXPECT_LE(worst, 1e-4f);
  }
}

TEST(TeethPass, RetrievalEqualsTheNumPyReferenceOnADecodedBank) {
  NEED_FIXTURES();
  const std::string d = tessera() + "teeth_retrieval/";
  const std::string meta = test::slurp(d + "bank.meta");
  BankData bank;
  int32_t ints[13];
  std::memcpy(ints, meta.data(), sizeof ints);
  bank.n_donors = ints[0];
  bank.stamp = GeometryStamp::fromArray(ints + 1);
  const int n = bank.n_donors;
  ASSERT_EQ(n, 48);
  std::vector<double> doubles((meta.size() - sizeof ints) / 8);
  std::memcpy(doubles.data(), meta.data() + sizeof ints, doubles.size() * 8);
  ASSERT_EQ(doubles.size(), size_t(2 + 3 * n));
  bank.c_canon = {doubles[0], doubles[1]};
  for (int k = 0; k < n; ++k) bank.cent.push_back({doubles[2 + 2 * k], doubles[3 + 2 * k]});
  bank.aperture.assign(doubles.begin() + 2 + 2 * n, doubles.end());
  bank.bytes = readRaw<uint8_t>(d + "bank.rgb");
  const std::string pt = test::slurp(tessera() + "bundle48/tessera_head.v1.pt");
  const HeadWeights head = loadHeadPt(std::vector<uint8_t>(pt.begin(), pt.end()));
  const auto cfg_i = readRaw<int32_t>(d + "configs.i32");
  const auto cfg_f = readRaw<double>(d + "configs.f64");
  const int planted = readRaw<int32_t>(d + "planted.i32").at(0);

  for (size_t c = 0; c < cfg_f.size(); ++c) {
    ServeConfig cfg = ServeConfig::fromHeadMemberJson(test::slurp(tessera() + "bundle48/tessera_head.v1.json"));
    cfg.kshort = cfg_i[3 * c], cfg.cut = cfg_i[3 * c + 1], cfg.K = cfg_i[3 * c + 2];
    cfg.aperture_tol = cfg_f[c];
    TeethPass pass(bank, head, cfg);
    // Each frame is scored after the one before, so the support decays into it; the
    // second plants a donor, the third's mouth is too dark for teeth.
    for (int f = 0; f < 3; ++f) {
      SCOPED_TRACE("config " + std::to_string(c) + " frame " + std::to_string(f));
      const std::string base = d + "c" + std::to_string(c) + "_f" + std::to_string(f);
      const auto rgb = readRaw<uint8_t>(d + "frame" + std::to_string(f) + ".rgb");
      const auto mask = readRaw<uint8_t>(d + "frame" + std::to_string(f) + ".mask");
      int dy = 99, dx = 99;
      std::string reason;
      ASSERT_TRUE(pass.deriveShift(mask.data(), nullptr, &dy, &dx, &reason));
      EXPECT_EQ((std::vector<int>{dy, dx}), readRaw<int32_t>(base + ".shift.i32"));
      const std::vector<int> got = pass.retrieve(rgb.data(), mask.data(), dy, dx);

      const auto pooled = readRaw<float>(base + ".pooled.f32");
      ASSERT_EQ(pass.lastPooledScores().size(), pooled.size());
      for (int k = 0; k < n; ++k) EXPECT_FLOAT_EQ(pass.lastPooledScores()[k], pooled[k]) << "donor " << k;
      EXPECT_EQ(pass.lastOrder(), readRaw<int32_t>(base + ".order.i32"));
      const auto exact = readRaw<float>(base + ".exact.f32");
      ASSERT_EQ(pass.lastExactScores().size(), exact.size());
      for (size_t k = 0; k < exact.size(); ++k)
        EXPECT_NEAR(pass.lastExactScores()[k], exact[k], 1e-6f * std::max(1.0f, exact[k])) << "rank " << k;
      EXPECT_EQ(got, readRaw<int32_t>(base + ".selected.i32"));
      if (f == 1) {
        EXPECT_EQ(got.at(0), planted);
      }
    }
  }
}

TEST(TeethPass, ConstructionRefusesInconsistentBanksAndConfigs) {
  struct Case {
    const char* what;
    void (*edit)(BankData&, ServeConfig&);
    const char* refusal;  // empty: accepted
  };
  const Case cases[] = {
      {"consistent", [](BankData&, ServeConfig&) {}, ""},
      {"window exactly pad from the edges",
       [](BankData& b, ServeConfig&) { b.stamp.window_x0 = 2, b.stamp.window_y0 = 2; }, ""},
      {"short bank", [](BankData& b, ServeConfig&) { b.bytes.pop_back(); },
       "teeth: reference track is 2159 bytes, the stamp requires 2160 (n * stored_h * stored_w * 3) — a decoder"},
      {"apertures", [](BankData& b, ServeConfig&) { b.aperture.pop_back(); },
       "teeth: bank sidecar arrays disagree with n_donors"},
      {"centres", [](BankData& b, ServeConfig&) { b.cent.push_back({1, 1}); },
       "teeth: bank sidecar arrays disagree with n_donors"},
      {"stamp", [](BankData& b, ServeConfig&) { b.stamp.pad = 0; }, "pad/shift_margin must be positive"},
      {"no donors", [](BankData& b, ServeConfig&) { b = solidBank(0); }, "teeth: bank has no donors"},
      {"odd window", [](BankData& b, ServeConfig&) { b.stamp.window_w = 19; }, "has an odd side"},
      {"window within pad of the left edge", [](BankData& b, ServeConfig&) { b.stamp.window_x0 = 1; },
       "leaves the 32x32 canvas"},
      {"window within pad of the bottom edge", [](BankData& b, ServeConfig&) { b.stamp.window_y0 = 19; },
       "leaves the 32x32 canvas"},
      {"K of 0", [](BankData&, ServeConfig& c) { c.K = 0; }, "cannot drive the pass"},
      {"kshort of 0", [](BankData&, ServeConfig& c) { c.kshort = 0; }, "cannot drive the pass"},
      {"NaN centre", [](BankData& b, ServeConfig&) { b.cent[1][0] = NAN; }, "non-finite"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BankData b = solidBank(4);
    ServeConfig cfg;
    c.edit(b, cfg);
    const std::string got = refusal([&] { TeethPass pass(b, uniformHead(), cfg); });
    if (*c.refusal == '\0')
      EXPECT_EQ(got, "");
    else
      EXPECT_NE(got.find(c.refusal), std::string::npos) << got;
  }
  HeadWeights no_head;
  EXPECT_NE(refusal([&] { TeethPass pass(solidBank(4), no_head, ServeConfig{}); }).find("candidate branch"),
            std::string::npos);
}

TEST(TeethPass, EachFrameIsReleasedOnceInOrderByTheNextPushOrFlush) {
  TeethPass pass(solidBank(6), uniformHead(), config(3, 2, 2));
  const Frame ok = mouthFrame(), empty = mouthFrame(false);
  const int far[2] = {3, 0};  // pad + 1
  struct Push {
    const Frame* frame;
    const int* shift;
    const char* reason;  // what this frame is released with
  };
  const Push pushes[] = {{&ok, nullptr, ""}, {&empty, nullptr, "empty-pi"}, {&ok, nullptr, ""},
                         {&ok, far, "shift-out-of-range"}, {&ok, nullptr, ""}};
  FrameResult out;
  out.n_used = 99, out.pixels = {7}, out.reason = "untouched";
  EXPECT_FALSE(pass.push(0, ok.rgb.data(), ok.mask.data(), nullptr, &out));
  EXPECT_EQ(out.n_used, 99);
  EXPECT_EQ(out.reason, "untouched");
  EXPECT_EQ(out.pixels, std::vector<uint8_t>{7});
  std::vector<std::string> released;
  auto record = [&](const FrameResult& r) {
    released.push_back(r.reason);
    EXPECT_EQ(r.skipped, !r.reason.empty());
    EXPECT_EQ(r.pixels.size(), r.skipped ? 0u : 20u * 12 * 3);
    EXPECT_EQ(r.n_used, r.skipped ? 0 : 3);
  };
  for (int t = 1; t < 5; ++t) {
    ASSERT_TRUE(pass.push(t, pushes[t].frame->rgb.data(), pushes[t].frame->mask.data(), pushes[t].shift, &out));
    record(out);
  }
  ASSERT_TRUE(pass.flush(&out));
  record(out);
  EXPECT_FALSE(pass.flush(&out));
  ASSERT_EQ(released.size(), 5u);
  for (int t = 0; t < 5; ++t) EXPECT_EQ(released[t], pushes[t].reason) << "frame " << t;
  // After a flush the protocol starts over.
  EXPECT_FALSE(pass.push(9, ok.rgb.data(), ok.mask.data(), nullptr, &out));
}

TEST(TeethPass, CompositeKeepsUnmaskedBytesAndReplacesMaskedOnes) {
  TeethPass pass(solidBank(6), uniformHead(), config(3, 2, 2));
  Frame f = mouthFrame();
  // Half the mouth box keeps a zero mask (the centroid stays on the canonical centre).
  for (int y = 12; y < 20; ++y)
    for (int x = 8; x < 24; ++x) f.mask[y * 32 + x] = (x + y) % 2 ? 255 : 0;
  FrameResult out;
  pass.push(0, f.rgb.data(), f.mask.data(), nullptr, &out);
  ASSERT_TRUE(pass.flush(&out));
  ASSERT_FALSE(out.skipped);
  const GeometryStamp s = smallStamp();
  int kept = 0, replaced = 0;
  for (int i = 0; i < s.window_h; ++i)
    for (int j = 0; j < s.window_w; ++j) {
      const size_t c = size_t(s.window_y0 + i) * 32 + s.window_x0 + j;
      const bool same = std::memcmp(&out.pixels[(i * s.window_w + j) * 3], &f.rgb[c * 3], 3) == 0;
      if (f.mask[c] == 0) {
        EXPECT_TRUE(same) << i << "," << j;
        kept += 1;
      } else if (i >= s.band_r0 && i < s.band_r1 && j >= s.band_c0 && j < s.band_c1) {
        EXPECT_FALSE(same) << i << "," << j;  // donors are saturated, the frame is neutral
        replaced += 1;
      }
    }
  EXPECT_GT(kept, 0);
  EXPECT_GT(replaced, 0);
  EXPECT_EQ(pass.stats().frames, 1);
  EXPECT_FLOAT_EQ(out.synth_mean, 0.0f);
}

// Above the band, a masked pixel is borrowed only where every listed donor's patch
// reaches; the patches here start one row below the window's top (shift margin 1, band
// from row 2), so window row 0 keeps the frame and row 1 is replaced.
TEST(TeethPass, AboveTheBandOnlyPixelsEveryDonorReachesAreBorrowed) {
  TeethPass pass(solidBank(6), uniformHead(), config(3, 2, 2));
  Frame f = mouthFrame();
  for (int y = 10; y < 22; ++y)
    for (int x = 8; x < 24; ++x) {
      f.mask[y * 32 + x] = 255;  // rows 10..21: the centroid stays on the centre
      std::memcpy(&f.rgb[(y * 32 + x) * 3], &f.rgb[(15 * 32 + x) * 3], 3);
    }
  FrameResult out;
  pass.push(0, f.rgb.data(), f.mask.data(), nullptr, &out);
  ASSERT_TRUE(pass.flush(&out));
  const GeometryStamp s = smallStamp();
  for (int j = s.band_c0; j < s.band_c1; ++j) {
    const auto at = [&](int i) { return &out.pixels[(i * s.window_w + j) * 3]; };
    const auto in = [&](int i) { return &f.rgb[((s.window_y0 + i) * 32 + s.window_x0 + j) * 3]; };
    EXPECT_EQ(std::memcmp(at(0), in(0), 3), 0) << "column " << j;
    EXPECT_NE(std::memcmp(at(1), in(1), 3), 0) << "column " << j;
  }
}

// The donor list of each emitted frame under look-ahead and hysteresis. With one weight
// for every donor the history is the list's first `hysteresis` entries; hysteresis 8
// shows the whole list.
TEST(TeethPass, EmitSettlesTheListFromHistoryLookAheadAndOwnChoice) {
  struct Step {
    int index;
    std::vector<int> donors;
    std::vector<int> next;  // empty: none (flush, or the next frame was not retrieved)
    bool ok;
    std::vector<int> history;
  };
  struct Case {
    const char* what;
    ServeConfig cfg;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"look-ahead first, then history; a gap or a skipped frame starts afresh",
       config(4, 8, 2),
       {{7, {1}, {5, 1, 6}, true, {5, 1}},
        {8, {2, 1}, {9}, true, {5, 1, 9, 2}},
        {9, {3}, {}, true, {5, 1, 9, 2}},
        {11, {3, 4}, {6}, true, {6, 3, 4}},
        {12, {}, {}, false, {6, 3, 4}},
        {13, {7}, {8, 7}, true, {8, 7}}}},
      {"without look-ahead the list is the frame's own first K", config(3, 8, 2, false),
       {{1, {1, 2, 3, 4}, {3}, true, {1, 2, 3}}, {5, {4, 2}, {5}, true, {4, 2}}}},
      {"the history keeps only the first `hysteresis`", config(4, 1, 2),
       {{1, {1, 2, 3}, {}, true, {1}}, {2, {4, 2}, {}, true, {1}}, {4, {2, 5}, {5}, true, {5}}}},
  };
  const Frame f = mouthFrame();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TeethPass pass(solidBank(10), uniformHead(), c.cfg);
    for (const Step& s : c.steps) {
      SCOPED_TRACE("frame " + std::to_string(s.index));
      TeethPass::Pending p;
      p.index = s.index, p.rgb = f.rgb, p.mask = f.mask, p.donors = s.donors, p.ok = s.ok;
      p.reason = s.ok ? "" : "empty-pi";
      FrameResult out;
      pass.emit(p, s.next.empty() ? nullptr : &s.next, &out);
      EXPECT_EQ(out.skipped, !s.ok);
      EXPECT_EQ(pass.history(), s.history);
    }
  }
}

// The history keeps the donors that carried the most weight, most first. A head whose
// logit is 20 x the candidate's red favours the redder of the solid donors (red grows
// with the donor number).
TEST(TeethPass, HistoryKeepsTheDonorsWithTheMostWeightFirst) {
  HeadWeights red = uniformHead();
  red.cand0_w[4] = 1.0f;               // x1[0] = red (centre tap of input plane 0)
  red.cand2_w[4] = 1.0f;               // x2[0] = x1[0]
  red.cand4_w[4] = 20.0f;              // logit = 20 x2[0]
  red.cand4_b[0] = 0.0f;
  TeethPass pass(solidBank(10), red, config(4, 2, 0));
  const Frame f = mouthFrame();
  TeethPass::Pending p;
  p.index = 3, p.rgb = f.rgb, p.mask = f.mask, p.donors = {1, 6, 2, 4}, p.ok = true;
  FrameResult out;
  pass.emit(p, nullptr, &out);
  EXPECT_EQ(out.n_used, 4);
  EXPECT_EQ(pass.history(), (std::vector<int>{6, 4}));
}

}  // namespace
}  // namespace ka::tessera
