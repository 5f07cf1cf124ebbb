// The single-frame interface on a real director: argument refusals (checked before any
// work), render + paste against the compositor called directly, what the last crop is
// after each kind of call, RGBA against RGB, per-thread texts, and the prior reader.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "ka/ka.h"
#include "paste/paste.h"
#include "tests/support/test_support.h"
#include "tests/test_context_util.h"

namespace ka::test {
namespace {

constexpr int kKp = 63;

class SingleFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = contextBundle("raw");
    if (bundle_.empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";
    ctx_ = openCtx(bundle_);
    ASSERT_NE(ctx_, nullptr);
    m_ = loadManifest(bundle_);
    drive_ = loadDrive(m_);
    W_ = m_.W, H_ = m_.H, NT_ = m_.NT, crop_ = m_.crop;
    frameBytes_ = static_cast<size_t>(W_) * H_ * 3;
  }
  ka_ctx* ctx() { return ctx_.get(); }
  const float* xs(int row) { return drive_.xs.data() + kKp * row; }
  const float* xd(int row) { return drive_.xd.data() + kKp * row; }
  std::vector<float> copyCrop(const float* c) {
    return std::vector<float>(c, c + static_cast<size_t>(3) * crop_ * crop_);
  }
  std::vector<uint8_t> pasteLast(int si) {
    const uint8_t* f = ka_paste_last(ctx(), si);
    EXPECT_NE(f, nullptr) << ka_last_error();
    return f ? std::vector<uint8_t>(f, f + frameBytes_) : std::vector<uint8_t>();
  }
  std::vector<uint8_t> pasteCrop(int si, const std::vector<float>& crop) {
    std::vector<uint8_t> out(frameBytes_);
    EXPECT_EQ(ka_paste_crop(ctx(), si, crop.data(), out.data(), out.size()), 1) << ka_last_error();
    return out;
  }

  std::string bundle_;
  CtxPtr ctx_;
  Manifest m_;
  Drive drive_;
  int W_ = 0, H_ = 0, NT_ = 0, crop_ = 0;
  size_t frameBytes_ = 0;
};

// A refused call returns its failure value and leaves exactly this text.
#define EXPECT_REFUSED(call, text)              \
  do {                                          \
    EXPECT_FALSE(call) << #call;                \
    EXPECT_STREQ(ka_last_error(), text) << #call; \
  } while (0)

TEST_F(SingleFrame, RefusalsNameTheFunctionAndTheReason) {
  const float *s = xs(0), *d = xd(0);
  const char* kp = "ka_render_kp_crop: bad args";
  EXPECT_REFUSED(ka_render_kp_crop(ctx(), -1, s, d), kp);
  EXPECT_REFUSED(ka_render_kp_crop(ctx(), NT_, s, d), kp);
  EXPECT_REFUSED(ka_render_kp_crop(nullptr, 0, s, d), kp);
  EXPECT_REFUSED(ka_render_kp_crop(ctx(), 0, nullptr, d), kp);
  EXPECT_REFUSED(ka_render_kp_crop(ctx(), 0, s, nullptr), kp);
  const char* row = "ka_render_drive_crop: bad frame index";
  EXPECT_REFUSED(ka_render_drive_crop(ctx(), -1), row);
  EXPECT_REFUSED(ka_render_drive_crop(ctx(), drive_.frames), row);
  EXPECT_REFUSED(ka_render_drive_crop(nullptr, 0), row);
  EXPECT_REFUSED(ka_paste_last(ctx(), 0), "ka_paste_last: bad args / no prior render");
  EXPECT_REFUSED(ka_target_frame(ctx(), NT_), "ka_target_frame: bad args");
  EXPECT_REFUSED(ka_target_frame(nullptr, 0), "ka_target_frame: bad args");

  std::vector<float> crop(static_cast<size_t>(3) * crop_ * crop_, 0.5f);
  std::vector<uint8_t> out(frameBytes_ + 4, 0xAB);
  const char* paste = "ka_paste_crop: bad args / out too small";
  EXPECT_REFUSED(ka_paste_crop(ctx(), 0, crop.data(), out.data(), frameBytes_ - 1), paste);
  EXPECT_REFUSED(ka_paste_crop(ctx(), NT_, crop.data(), out.data(), out.size()), paste);
  EXPECT_REFUSED(ka_paste_crop(ctx(), 0, nullptr, out.data(), out.size()), paste);
  EXPECT_REFUSED(ka_paste_crop(ctx(), 0, crop.data(), nullptr, out.size()), paste);
  EXPECT_REFUSED(ka_paste_crop(nullptr, 0, crop.data(), out.data(), out.size()), paste);
  for (uint8_t v : out) ASSERT_EQ(v, 0xAB) << "a refused paste wrote into out";
  EXPECT_EQ(ka_paste_crop(ctx(), NT_ - 1, crop.data(), out.data(), frameBytes_), 1) << ka_last_error();
  EXPECT_STREQ(ka_last_error(), "");

  // The RGBA pair passes on the render's texts and checks its buffer after rendering.
  std::vector<uint8_t> rgba(static_cast<size_t>(W_) * H_ * 4);
  EXPECT_REFUSED(ka_render_drive_rgba(ctx(), drive_.frames, rgba.data(), rgba.size()), row);
  EXPECT_REFUSED(ka_render_kp_rgba(ctx(), -1, s, d, rgba.data(), rgba.size()), kp);
  EXPECT_REFUSED(ka_render_drive_rgba(ctx(), 0, nullptr, rgba.size()), "ka_render_*_rgba: out buffer too small");

  // Non-finite keypoints would render a face-less picture: refused, naming set and row,
  // by every entry that takes host keypoints, and the last crop stays unset.
  CtxPtr fresh = openCtx(bundle_);
  ASSERT_NE(fresh, nullptr);
  const struct {
    bool driving;
    int index;
    float v;
    const char* text;
  } bad[] = {
      {false, 0, NAN, "source keypoint row 0 of 21 is not finite (x=nan, "},
      {true, 20, INFINITY, "driving keypoint row 6 of 21 is not finite ("},
      {true, 62, -INFINITY, "driving keypoint row 20 of 21 is not finite ("},
  };
  for (const auto& b : bad) {
    std::vector<float> src(s, s + kKp), drv(d, d + kKp);
    (b.driving ? drv : src)[b.index] = b.v;
    for (int rgbaCall = 0; rgbaCall < 2; ++rgbaCall) {
      const bool ok = rgbaCall ? ka_render_kp_rgba(fresh.get(), 0, src.data(), drv.data(), rgba.data(), rgba.size())
                               : ka_render_kp_crop(fresh.get(), 0, src.data(), drv.data()) != nullptr;
      EXPECT_FALSE(ok) << b.text;
      EXPECT_EQ(std::string(ka_last_error()).rfind(std::string("ka_render_kp_crop: ") + b.text, 0), 0u)
          << ka_last_error();
    }
  }
  EXPECT_REFUSED(ka_paste_last(fresh.get(), 0), "ka_paste_last: bad args / no prior render");
}

// A bad index is refused before the renderer is built, so a bundle whose director
// cannot load still answers with the argument text.
TEST_F(SingleFrame, ArgumentsAreCheckedBeforeTheRendererIsBuilt) {
  CtxPtr broken = openCtx(bundle_, "nosuchmodel", 0);
  ASSERT_NE(broken, nullptr);
  {
    StderrCapture cap;
    EXPECT_EQ(ka_render_kp_crop(broken.get(), NT_, xs(0), xd(0)), nullptr);
    EXPECT_STREQ(ka_last_error(), "ka_render_kp_crop: bad args");
    EXPECT_EQ(ka_render_drive_crop(broken.get(), drive_.frames), nullptr);
    EXPECT_STREQ(ka_last_error(), "ka_render_drive_crop: bad frame index");
    EXPECT_EQ(cap.text().find("director"), std::string::npos) << cap.text();
  }
  EXPECT_EQ(ka_render_kp_crop(broken.get(), 0, xs(0), xd(0)), nullptr);
  const std::string err = ka_last_error();
  EXPECT_EQ(err.rfind("ka_render_kp_crop: ", 0), 0u) << err;
  EXPECT_NE(err, "ka_render_kp_crop: bad args");
  // The failed render left no crop behind.
  EXPECT_EQ(ka_paste_last(broken.get(), 0), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_paste_last: bad args / no prior render");
}

TEST_F(SingleFrame, DriveRowRendersItsOwnSourceFrameAndKeypoints) {
  for (int row : {0, drive_.frames - 1}) {
    const float* a = ka_render_drive_crop(ctx(), row);
    ASSERT_NE(a, nullptr) << ka_last_error();
    const std::vector<float> viaRow = copyCrop(a);
    const float* b = ka_render_kp_crop(ctx(), drive_.si[row], xs(row), xd(row));
    ASSERT_NE(b, nullptr) << ka_last_error();
    EXPECT_EQ(copyCrop(b), viaRow) << "row " << row;
  }
}

// The paste path must be exactly the compositor on the cursor's driver frame: build a
// second compositor from the bundle's own mask and transforms and compare bytes.
TEST_F(SingleFrame, RenderThenPasteIsTheCompositorOnTheDriverFrame) {
  std::string maskBytes;
  {
    std::ifstream in(bundle_ + "/mask_512.u8", std::ios::binary);
    maskBytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_EQ(maskBytes.size(), static_cast<size_t>(crop_) * crop_);
  Paste ref(std::vector<uint8_t>(maskBytes.begin(), maskBytes.end()), crop_, m_.unsharp);
  Identity id(m_);

  for (int row : {1, 5}) {
    const int si = drive_.si[row];
    const float* c = ka_render_drive_crop(ctx(), row);
    ASSERT_NE(c, nullptr) << ka_last_error();
    const std::vector<float> crop = copyCrop(c);
    const uint8_t* driver = ka_target_frame(ctx(), si);
    ASSERT_NE(driver, nullptr) << ka_last_error();
    std::vector<uint8_t> expected(driver, driver + frameBytes_);
    const std::vector<uint8_t> plain = expected;
    ref.composite(crop.data(), 255.0f, id.M(si), expected.data(), W_, H_);

    EXPECT_EQ(pasteLast(si), expected) << "row " << row;
    EXPECT_EQ(pasteCrop(si, crop), expected) << "row " << row;
    // The face went somewhere, and only where the mask reaches.
    size_t changed = 0;
    for (size_t i = 0; i < frameBytes_; ++i) changed += expected[i] != plain[i];
    EXPECT_GT(changed, frameBytes_ / 50) << "row " << row;
    EXPECT_LT(changed, frameBytes_ / 2) << "row " << row;
  }
}

TEST_F(SingleFrame, PasteLastPastesTheMostRecentSuccessfulRender) {
  const int si0 = drive_.si[0];
  ASSERT_NE(ka_render_drive_crop(ctx(), 0), nullptr) << ka_last_error();
  const std::vector<uint8_t> first = pasteLast(si0);
  const float* c3 = ka_render_drive_crop(ctx(), 3);
  ASSERT_NE(c3, nullptr) << ka_last_error();
  const std::vector<float> crop3 = copyCrop(c3);

  // Refused renders keep the last crop.
  EXPECT_EQ(ka_render_kp_crop(ctx(), -1, xs(0), xd(0)), nullptr);
  EXPECT_EQ(ka_render_drive_crop(ctx(), -1), nullptr);
  const std::vector<uint8_t> second = pasteLast(si0);
  EXPECT_EQ(second, pasteCrop(si0, crop3));
  EXPECT_NE(second, first);

  // The RGBA functions render before they look at the buffer: the new crop counts even
  // when the buffer is one byte short.
  std::vector<uint8_t> rgba(static_cast<size_t>(W_) * H_ * 4);
  EXPECT_EQ(ka_render_drive_rgba(ctx(), 0, rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(ka_last_error(), "ka_render_*_rgba: out buffer too small");
  EXPECT_EQ(pasteLast(si0), first);
  EXPECT_EQ(ka_render_kp_rgba(ctx(), drive_.si[3], xs(3), xd(3), rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(ka_last_error(), "ka_render_*_rgba: out buffer too small");
  EXPECT_EQ(pasteLast(si0), second);
}

TEST_F(SingleFrame, RgbaIsRgbWithOpaqueAlpha) {
  const size_t px = static_cast<size_t>(W_) * H_;
  for (int row : {2, 7}) {
    std::vector<uint8_t> rgba(px * 4, 0);
    ASSERT_EQ(ka_render_drive_rgba(ctx(), row, rgba.data(), rgba.size()), 1) << ka_last_error();
    ASSERT_NE(ka_render_drive_crop(ctx(), row), nullptr) << ka_last_error();
    const std::vector<uint8_t> rgb = pasteLast(drive_.si[row]);
    for (size_t i = 0; i < px; ++i) {
      ASSERT_EQ(rgba[4 * i + 0], rgb[3 * i + 0]) << i;
      ASSERT_EQ(rgba[4 * i + 1], rgb[3 * i + 1]) << i;
      ASSERT_EQ(rgba[4 * i + 2], rgb[3 * i + 2]) << i;
      ASSERT_EQ(rgba[4 * i + 3], 255) << i;
    }
    std::vector<uint8_t> viaKp(px * 4, 0);
    ASSERT_EQ(ka_render_kp_rgba(ctx(), drive_.si[row], xs(row), xd(row), viaKp.data(), viaKp.size()), 1)
        << ka_last_error();
    EXPECT_EQ(viaKp, rgba);
  }
}

// Two threads, two contexts: each thread reads only its own text.
TEST_F(SingleFrame, ErrorTextsStayWithTheirThread) {
  CtxPtr other = openCtx(bundle_);
  ASSERT_NE(other, nullptr);
  std::string there;
  bool otherOk = true;
  EXPECT_EQ(ka_paste_last(ctx(), 0), nullptr);
  std::thread t([&] {
    otherOk = ka_render_drive_crop(other.get(), 2) && ka_paste_last(other.get(), drive_.si[2]);
    there = ka_last_error();
  });
  t.join();
  EXPECT_TRUE(otherOk);
  EXPECT_EQ(there, "");
  EXPECT_STREQ(ka_last_error(), "ka_paste_last: bad args / no prior render");
}

// IEEE half to double, written out for the reference.
double halfValue(uint16_t h) {
  const int e = (h >> 10) & 31, f = h & 1023;
  const double s = (h & 0x8000) ? -1.0 : 1.0;
  if (e == 0) return s * std::ldexp(f, -24);
  if (e == 31) return f ? NAN : s * INFINITY;
  return s * std::ldexp(1024 + f, e - 25);
}

TEST(Prior, ReaderRefusalsAndRows) {
  const std::string hevc = contextBundle("hevc");
  const std::string raw = contextBundle("raw");
  KA_NEED_BUNDLE(hevc);

  EXPECT_EQ(ka_prior_open(nullptr, 2, 0), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_prior_open: NULL bundle_dir");
  EXPECT_EQ(ka_prior_open(raw.c_str(), 2, 0), nullptr);  // no HEVC member
  EXPECT_EQ(std::string(ka_last_error()).rfind("ka_prior_open: ", 0), 0u) << ka_last_error();
  EXPECT_STREQ(ka_prior_backend(nullptr), "");
  EXPECT_EQ(ka_prior_row_bytes(nullptr), 0u);
  ka_prior_close(nullptr);

  // The ring holds ahead + behind + 1 frames: each is capped, and the refusal comes
  // before the 32-bit sum could wrap or anything is decoded.
  for (auto [ahead, behind] : {std::pair{1025, 0}, {2, 1025}, {INT_MAX, INT_MAX}}) {
    EXPECT_EQ(ka_prior_open(hevc.c_str(), ahead, behind), nullptr);
    EXPECT_EQ(ka_last_error(), "ka_prior_open: ka_driver: look-ahead " + std::to_string(ahead) + " / history " +
                                   std::to_string(behind) + " frames — each may be at most 1024, refusing to size "
                                   "the ring");
  }
  ka_prior* widest = ka_prior_open(hevc.c_str(), 1024, 1024);
  EXPECT_NE(widest, nullptr) << ka_last_error();
  ka_prior_close(widest);

  ka_prior* p = ka_prior_open(hevc.c_str(), 0, -3);
  ASSERT_NE(p, nullptr) << ka_last_error();
  EXPECT_STREQ(ka_last_error(), "");
  EXPECT_EQ(std::string(ka_prior_backend(p)).rfind("hevc444/libavcodec ", 0), 0u) << ka_prior_backend(p);
  const size_t bytes = ka_prior_row_bytes(p);
  ASSERT_EQ(bytes, 64u * 64u * 6u);

  std::vector<uint8_t> out(bytes, 0xCD);
  EXPECT_EQ(ka_prior_row(p, 0, out.data(), bytes - 1), 0);
  EXPECT_STREQ(ka_last_error(), "ka_prior_row: cap 24575 < row bytes 24576");
  for (uint8_t v : out) ASSERT_EQ(v, 0xCD);
  EXPECT_EQ(ka_prior_row(p, 0, nullptr, bytes), 0);
  EXPECT_STREQ(ka_last_error(), "ka_prior_row: NULL prior/out");
  EXPECT_EQ(ka_prior_row(nullptr, 0, out.data(), bytes), 0);
  EXPECT_STREQ(ka_last_error(), "ka_prior_row: NULL prior/out");
  EXPECT_EQ(ka_prior_row(p, 6, out.data(), bytes), 0);
  EXPECT_STREQ(ka_last_error(), "ka_prior_row: ka_driver: seek(6) outside [0,6)");

  // The raw bundle was drawn from the same parameters: its P.f16 holds the same crops
  // exactly, the HEVC member carries them through 8-bit RGB.
  const std::string P = slurp(raw + "/P.f16");
  ASSERT_EQ(P.size(), 6 * bytes);
  for (int si : {4, 1}) {
    ASSERT_EQ(ka_prior_row(p, si, out.data(), bytes), 1) << ka_last_error();
    double worst = 0;
    for (size_t i = 0; i < bytes / 2; ++i) {
      uint16_t a, b;
      std::memcpy(&a, out.data() + 2 * i, 2);
      std::memcpy(&b, P.data() + si * bytes + 2 * i, 2);
      worst = std::max(worst, std::fabs(halfValue(a) - halfValue(b)));
    }
    EXPECT_LT(worst, 4.0 / 255) << "si " << si;
  }
  ka_prior_close(p);
}

}  // namespace
}  // namespace ka::test
