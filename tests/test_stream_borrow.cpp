// The stream borrow: the write-back rule on float planes and RGBA images, its
// construction refusals and log lines, and a short stream over the fixture bundle's
// decoded 48-donor bank whose released windows and borrowed crops equal a NumPy
// reference of the whole emission.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tessera/attach_inputs.h"
#include "tessera/bank_decode.h"
#include "tessera/lip_contour.h"
#include "tessera/stream_borrow.h"
#include "tests/support/test_support.h"
#include "tests/test_borrow_util.h"

namespace ka::tessera {
namespace {

using test::refusal;

// A 16 x 16 canvas with a 6 x 4 window at (5, 9).
GeometryStamp smallStamp() {
  const int32_t v[12] = {16, 16, 5, 9, 6, 4, 1, 1, 3, 1, 5, 1};
  return GeometryStamp::fromArray(v);
}

std::vector<float> randomPlanes(int side, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> p(size_t(3) * side * side);
  for (float& v : p) v = u(rng);
  return p;
}

// The window of float planes as the bytes the pass saw.
FrameResult unchanged(const std::vector<float>& planes, int side, const GeometryStamp& s) {
  FrameResult r;
  for (int i = 0; i < s.window_h; ++i)
    for (int j = 0; j < s.window_w; ++j)
      for (int c = 0; c < 3; ++c)
        r.pixels.push_back(toByte(planes[size_t(c) * side * side + size_t(s.window_y0 + i) * side + s.window_x0 + j]));
  return r;
}

TEST(StreamBorrowWriteBack, FloatPlanes) {
  const GeometryStamp s = smallStamp();
  const int side = 16;
  const std::vector<float> in = randomPlanes(side, 5);
  struct Case {
    const char* name;
    bool skipped;
    // Window pixel (i, j, c) replaced by `byte` (i < 0: none).
    int i, j, c, byte;
  } cases[] = {
      {"skipped leaves the planes alone", true, 1, 1, 0, 7},
      {"the returned input keeps every float", false, -1, 0, 0, 0},
      {"a replaced byte lands", false, 2, 3, 1, 201},
      {"a black byte lands", false, 0, 0, 2, 0},
      {"a white byte lands", false, 3, 5, 0, 255},
  };
  for (const Case& c : cases) {
    FrameResult r = unchanged(in, side, s);
    r.skipped = c.skipped;
    const size_t at = size_t(c.c) * side * side + size_t(s.window_y0 + c.i) * side + size_t(s.window_x0 + c.j);
    if (c.i >= 0) r.pixels[(size_t(c.i) * s.window_w + size_t(c.j)) * 3 + size_t(c.c)] = uint8_t(c.byte);
    std::vector<float> out = in;
    StreamBorrow::writeWindowDelta(out.data(), side, r, s);
    for (size_t k = 0; k < in.size(); ++k) {
      if (!c.skipped && c.i >= 0 && k == at) continue;
      ASSERT_EQ(std::memcmp(&out[k], &in[k], sizeof(float)), 0) << c.name << " at " << k;
    }
    if (!c.skipped && c.i >= 0) {
      // The sub-byte offset of the input rides along with the new byte.
      const float want = std::clamp(in[at] + float(c.byte - toByte(in[at])) / 255.0f, 0.0f, 1.0f);
      EXPECT_EQ(out[at], want) << c.name;
      EXPECT_EQ(toByte(out[at]), c.byte) << c.name;
    }
  }
}

TEST(StreamBorrowWriteBack, RgbaWritesTheBytesAndKeepsAlpha) {
  const GeometryStamp s = smallStamp();
  const int side = 16;
  std::vector<uint8_t> img(size_t(side) * side * 4);
  for (size_t k = 0; k < img.size(); ++k) img[k] = uint8_t(k * 37 + 11);
  FrameResult r;
  for (int k = 0; k < s.window_h * s.window_w * 3; ++k) r.pixels.push_back(uint8_t(255 - k));
  std::vector<uint8_t> out = img;
  StreamBorrow::writeWindowDeltaRgba(out.data(), side, r, s);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      for (int c = 0; c < 4; ++c) {
        const size_t k = (size_t(y) * side + size_t(x)) * 4 + size_t(c);
        const int i = y - s.window_y0, j = x - s.window_x0;
        const bool inside = i >= 0 && i < s.window_h && j >= 0 && j < s.window_w && c < 3;
        const uint8_t want = inside ? r.pixels[(size_t(i) * s.window_w + size_t(j)) * 3 + size_t(c)] : img[k];
        ASSERT_EQ(out[k], want) << x << "," << y << "," << c;
      }
  r.skipped = true;
  std::vector<uint8_t> again = img;
  StreamBorrow::writeWindowDeltaRgba(again.data(), side, r, s);
  EXPECT_EQ(again, img);
}

TEST(StreamBorrowWriteBack, RefusesWindowsThatDoNotFit) {
  const GeometryStamp s = smallStamp();
  std::vector<float> planes(3 * 16 * 16, 0.5f);
  std::vector<uint8_t> rgba(16 * 16 * 4, 9);
  FrameResult r;
  r.pixels.assign(size_t(s.window_h) * s.window_w * 3, 1);
  const std::string small =
      "teeth stream: a 14x14 image cannot hold the stamp's window 6x4 at (5, 9) on its 16x16 canvas — refusing to "
      "write outside it";
  GeometryStamp escaping = s;
  escaping.window_y0 = 13;  // an unchecked stamp whose window leaves its own canvas
  struct Case {
    const char* name;
    int side;
    size_t bytes;
    GeometryStamp stamp;
    std::string want;
  } cases[] = {
      {"window short by a byte", 16, r.pixels.size() - 1, s,
       "teeth stream: window 71 bytes does not match the stamp window 4x6 — refusing to write back"},
      {"side below the canvas", 14, r.pixels.size(), s, small},
      {"window leaves the image", 16, r.pixels.size(), escaping,
       "teeth stream: a 16x16 image cannot hold the stamp's window 6x4 at (5, 13) on its 16x16 canvas — refusing to "
       "write outside it"},
      {"side of the canvas", 16, r.pixels.size(), s, ""},
  };
  for (const Case& c : cases) {
    FrameResult rr = r;
    rr.pixels.resize(c.bytes);
    EXPECT_EQ(refusal([&] { StreamBorrow::writeWindowDelta(planes.data(), c.side, rr, c.stamp); }), c.want) << c.name;
    EXPECT_EQ(refusal([&] { StreamBorrow::writeWindowDeltaRgba(rgba.data(), c.side, rr, c.stamp); }), c.want)
        << c.name;
  }
}

TEST(StreamBorrow, ConstructionRefusalsAndTheMaskLine) {
  NEED_FIXTURES();
  const Bank48 f;
  {
    test::StderrCapture cap;
    StreamBorrow b(f.bank, f.weights, f.config, f.pi, f.lip_template);
    EXPECT_TRUE(b.hasLipContour());
    EXPECT_EQ(b.canvas(), 256);
    EXPECT_STREQ(b.backend(), "cpu");
    EXPECT_FALSE(b.hostSplit(nullptr));
    EXPECT_NE(cap.text().find("[borrow] delivery mask: LIP CONTOUR (16 verts, feather 3.0 px) — the ellipse is not "
                              "reachable in this session\n"),
              std::string::npos);
  }
  {
    test::StderrCapture cap;
    StreamBorrow b(f.bank, f.weights, f.config, f.pi, "");
    EXPECT_FALSE(b.hasLipContour());
    EXPECT_NE(cap.text().find("[borrow] !!! delivery mask: ELLIPSE — this bundle carries no lip_template.v1.json, so "
                              "it serves the over-covering elliptical mask the contour replaces. BACKFILL IT: "
                              "models/orvane-2/tools/bake_lip_templates.py\n"),
              std::string::npos);
  }
  BankData tall = f.bank;
  tall.stamp.canvas_h += 2;
  BankData short_bank = f.bank;
  short_bank.bytes.pop_back();
  UnifiedPi small_pi = f.pi;
  small_pi.setCanvas(128);
  struct Case {
    const char* name;
    const BankData& bank;
    const UnifiedPi& pi;
    std::string lip;
    std::string want_prefix;
  } cases[] = {
      {"non-square", tall, f.pi, "", "teeth stream: non-square compose canvas 256x258 — ka_core renders a square crop"},
      {"pi canvas", f.bank, small_pi, "",
       "teeth stream: manifest pi canvas 128 != bank compose canvas 256 — refusing to compose a mouth on a canvas the "
       "stamp does not name"},
      {"the pass's own refusal", short_bank, f.pi, "", "teeth: reference track is "},
      {"a broken template", f.bank, f.pi, "{", "lip_template.v1.json: is not parseable JSON"},
  };
  for (const Case& c : cases) {
    const std::string got = refusal([&] { StreamBorrow b(c.bank, f.weights, f.config, c.pi, c.lip); });
    EXPECT_EQ(got.substr(0, c.want_prefix.size()), c.want_prefix) << c.name << ": " << got;
  }
}

// Frames whose mouths sit whole pixels off the canonical centre (so every gather is
// shifted) under feathered delivery masks: each released window and each borrowed crop
// against tools/fixtures/teeth_emit_ref.py, which redoes in NumPy, on this stream's
// crops, masks and shifts, the retrieval, the settled donor list, the gather, the blend
// head, the composite and the write-back. The same crops as RGBA bytes through a second
// borrow give the same windows.
TEST(StreamBorrow, BorrowedMouthEqualsTheNumPyReference) {
  NEED_FIXTURES();
  const Bank48 f;
  const int n = f.bank.stamp.canvas_w;
  const GeometryStamp& s = f.bank.stamp;
  const size_t px = size_t(n) * n, win = size_t(s.window_h) * s.window_w * 3;
  const int moves[][2] = {{0, 0}, {2, -1}, {-1, 2}, {1, 1}, {-2, -2}, {1, 2}};  // (x, y) pixels per frame
  const int frames = int(std::size(moves));
  for (const std::string& lip : {f.lip_template, std::string()}) {
    SCOPED_TRACE(lip.empty() ? "ellipse" : "lip contour");
    test::TempDir dir;
    const auto put = [&](const std::string& name, const void* p, size_t bytes) {
      test::writeFile(dir / name, std::string(static_cast<const char*>(p), bytes));
    };
    put("bank.rgb", f.bank.bytes.data(), f.bank.bytes.size());
    std::vector<int32_t> ints = {f.bank.n_donors};
    for (int32_t v : s.toArray()) ints.push_back(v);
    std::vector<double> doubles(f.bank.c_canon.begin(), f.bank.c_canon.end());
    for (const auto& c : f.bank.cent) doubles.insert(doubles.end(), c.begin(), c.end());
    doubles.insert(doubles.end(), f.bank.aperture.begin(), f.bank.aperture.end());
    test::writeFile(dir / "bank.meta", std::string(reinterpret_cast<const char*>(ints.data()), ints.size() * 4) +
                                           std::string(reinterpret_cast<const char*>(doubles.data()), doubles.size() * 8));
    test::writeFile(dir / "head.txt", test::fixtureDir() + "/bank_decode/bank48/tessera_head.v1.pt");
    const int32_t cfg[5] = {f.config.kshort, f.config.cut, f.config.K, f.config.hysteresis, f.config.lookahead};
    put("config.i32", cfg, sizeof cfg);
    put("config.f64", &f.config.aperture_tol, 8);

    StreamBorrow b(f.bank, f.weights, f.config, f.pi, lip), b_rgba(f.bank, f.weights, f.config, f.pi, lip);
    std::unique_ptr<LipContour> contour;
    if (!lip.empty()) contour = std::make_unique<LipContour>(LipContour::fromTemplateJson(lip, n));
    std::vector<std::vector<float>> crops;
    std::vector<FrameResult> results;
    // What makes the stream able to tell a mouth shift or an alpha from a wrong one.
    int moved = 0, feathered = 0, recentred = 0;
    for (int t = 0; t < frames; ++t) {
      std::vector<float> kp(f.xs.begin() + (t % f.frames) * 63, f.xs.begin() + (t % f.frames + 1) * 63);
      for (int k = 0; k < 21; ++k) kp[3 * k] += moves[t][0] * 2.0f / n, kp[3 * k + 1] += moves[t][1] * 2.0f / n;
      crops.push_back(drawCrop(f.pi, kp.data(), n, t));
      std::vector<uint8_t> mask(px);
      int32_t shift[3] = {0, 0, 0};
      shift[2] = contour ? contour->deliveredU8AndShift(kp.data(), f.pi, f.bank.c_canon.data(), mask.data(),
                                                        &shift[0], &shift[1])
                         : f.pi.piU8AndShift(kp.data(), f.bank.c_canon.data(), mask.data(), &shift[0], &shift[1]);
      put("crop" + std::to_string(t) + ".f32", crops.back().data(), crops.back().size() * 4);
      put("mask" + std::to_string(t) + ".u8", mask.data(), px);
      put("shift" + std::to_string(t) + ".i32", shift, sizeof shift);
      moved += shift[2] && (shift[0] != 0 || shift[1] != 0);
      double cy = 0, cx = 0, count = 0;
      for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
          const uint8_t m = mask[size_t(y) * n + x];
          if (m >= 128) cy += y, cx += x, count += 1;
          const int i = y - s.window_y0, j = x - s.window_x0;
          feathered += m > 0 && m < 255 && i >= s.band_r0 && i < s.band_r1 && j >= s.band_c0 && j < s.band_c1;
        }
      recentred += count > 0 && (std::nearbyint(cy / count - f.bank.c_canon[1]) != shift[0] ||
                                 std::nearbyint(cx / count - f.bank.c_canon[0]) != shift[1]);

      FrameResult r, r2;
      const bool got = b.push(crops.back().data(), kp.data(), &r);
      std::vector<uint8_t> rgba(px * 4, 77);
      for (size_t p = 0; p < px; ++p)
        for (size_t c = 0; c < 3; ++c) rgba[4 * p + c] = toByte(crops.back()[c * px + p]);
      EXPECT_EQ(b_rgba.pushRgba(rgba.data(), kp.data(), &r2), got);
      EXPECT_EQ(r2.pixels, r.pixels);
      EXPECT_EQ(got, t > 0);
      if (got) results.push_back(r);
    }
    FrameResult r, r2;
    ASSERT_TRUE(b.flush(&r));
    ASSERT_TRUE(b_rgba.flush(&r2));
    EXPECT_EQ(r2.pixels, r.pixels);
    results.push_back(r);
    EXPECT_FALSE(b.flush(&r));
    ASSERT_EQ(results.size(), size_t(frames));
    EXPECT_EQ(b.pass().stats().frames, frames);
    EXPECT_GE(moved, frames - 1);
    EXPECT_GT(feathered, 0);
    if (contour) {
      EXPECT_GT(recentred, 0);
    }

    const char* tools = std::getenv("KA_TEST_TOOLS");
    ASSERT_NE(tools, nullptr);
    const std::string cmd = std::string("/usr/bin/python3 ") + tools + "/fixtures/teeth_emit_ref.py " + dir.path();
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    for (int t = 0; t < frames; ++t) {
      SCOPED_TRACE("frame " + std::to_string(t));
      const std::string v = test::slurp(dir / ("value" + std::to_string(t) + ".f64"));
      const std::string want = test::slurp(dir / ("borrowed" + std::to_string(t) + ".f32"));
      ASSERT_FALSE(results[t].skipped) << results[t].reason;
      ASSERT_EQ(v.size(), win * 8);
      ASSERT_EQ(results[t].pixels.size(), win);
      std::vector<double> value(win);
      std::memcpy(value.data(), v.data(), v.size());
      int off = 0;
      for (size_t k = 0; k < win; ++k)
        if (std::fabs(results[t].pixels[k] - value[k]) > 0.502 && off++ == 0)
          ADD_FAILURE() << "window byte " << k << ": " << int(results[t].pixels[k]) << ", the reference " << value[k];
      EXPECT_EQ(off, 0);
      std::vector<float> out = crops[size_t(t)];
      StreamBorrow::writeWindowDelta(out.data(), n, results[t], s);
      ASSERT_EQ(want.size(), out.size() * 4);
      std::vector<float> ref(out.size());
      std::memcpy(ref.data(), want.data(), want.size());
      int far = 0;
      for (size_t k = 0; k < out.size(); ++k)
        if (std::fabs(out[k] - ref[k]) > 1.0f / 255 + 1e-6f && far++ == 0)
          ADD_FAILURE() << "borrowed value " << k << ": " << out[k] << ", the reference " << ref[k];
      EXPECT_EQ(far, 0);
    }
  }
}

}  // namespace
}  // namespace ka::tessera
