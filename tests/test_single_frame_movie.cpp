// The MP4 writer checked by the ffmpeg tool, and `ka render` end to end: one frame to
// PNG equals the interface's own render + paste, the idle loop decodes to one frame per
// drive row.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/manifest.h"
#include "driver/image_io.h"
#include "driver/movie_writer.h"
#include "ka/ka.h"
#include "tests/support/test_support.h"
#include "tests/test_context_util.h"

namespace ka::test {
namespace {

// Runs a shell command, returning its standard output; the exit status goes to *rc.
std::string run(const std::string& cmd, int* rc) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = ::pclose(p);
  *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

// "frames,width,height" of the first video stream as the ffmpeg tools decode it.
std::string probe(const std::string& path) {
  int rc = 0;
  std::string s = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                      "stream=nb_read_frames,width,height,codec_name -of csv=p=0 '" + path + "'", &rc);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return rc == 0 ? s : "ffprobe failed";
}

std::vector<uint8_t> decodeAll(const std::string& path) {
  int rc = 0;
  const std::string raw =
      run("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 -", &rc);
  return rc == 0 ? std::vector<uint8_t>(raw.begin(), raw.end()) : std::vector<uint8_t>();
}

// A smooth moving pattern: 4:2:0 at a sane quality keeps it within a few levels.
std::vector<uint8_t> pattern(int w, int h, int i) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(128 + 100 * std::sin(0.05 * x + 0.3 * i));
      p[1] = static_cast<uint8_t>(128 + 100 * std::cos(0.07 * y - 0.2 * i));
      p[2] = static_cast<uint8_t>(90 + 40 * std::sin(0.03 * (x + y) + 0.1 * i));
    }
  return f;
}

TEST(MovieWriter, WritesEveryFrameTheToolsDecode) {
  TempDir t;
  const std::string path = t / "clip.mp4";
  const int w = 96, h = 64, n = 13;
  std::vector<std::vector<uint8_t>> frames;
  {
    MovieWriter mw(path, w, h, 25);
    for (int i = 0; i < n; ++i) {
      frames.push_back(pattern(w, h, i));
      mw.write(frames.back().data());
    }
    EXPECT_FALSE(exists(path)) << "the final name appears only when the movie is complete";
    mw.finish();
    EXPECT_EQ(mw.frames(), n);
  }
  EXPECT_EQ(probe(path), "h264,96,64,13");
  const std::vector<uint8_t> got = decodeAll(path);
  ASSERT_EQ(got.size(), static_cast<size_t>(w) * h * 3 * n);
  for (int i = 0; i < n; ++i) {
    double err = 0;
    for (size_t k = 0; k < frames[i].size(); ++k)
      err += std::abs(int(got[static_cast<size_t>(i) * frames[i].size() + k]) - int(frames[i][k]));
    EXPECT_LT(err / frames[i].size(), 4.0) << "frame " << i << " is not the frame written there";
  }
}

TEST(MovieWriter, RefusesOddSizesAndLeavesNothingWhenAbandoned) {
  TempDir t;
  EXPECT_THROW(MovieWriter(t / "a.mp4", 95, 64, 25), std::runtime_error);
  EXPECT_THROW(MovieWriter(t / "a.mp4", 96, 63, 25), std::runtime_error);
  {
    MovieWriter mw(t / "b.mp4", 96, 64, 25);
    const std::vector<uint8_t> f = pattern(96, 64, 0);
    mw.write(f.data());
  }
  EXPECT_FALSE(exists(t / "b.mp4"));
  EXPECT_FALSE(exists(t / "b.mp4.part"));
}

class RenderTool : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = contextBundle("raw");
    if (bundle_.empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";
    const char* k = std::getenv("KA_TOOL");
    if (!k || !*k) GTEST_SKIP() << "KA_TOOL is not set";
    tool_ = k;
  }
  int ka(const std::string& args, std::string* err = nullptr) {
    const std::string errFile = dir_ / "stderr.txt";
    int rc = 0;
    run("'" + tool_ + "' render " + args + " >/dev/null 2>'" + errFile + "'", &rc);
    if (err) *err = slurp(errFile);
    return rc;
  }
  std::string bundle_, tool_;
  TempDir dir_;
};

TEST_F(RenderTool, OneRowToPngIsTheInterfacesRenderAndPaste) {
  const std::string png = dir_ / "row5.png";
  std::string err;
  ASSERT_EQ(ka("'" + bundle_ + "' --row 5 --out '" + png + "'", &err), 0) << err;
  int w = 0, h = 0;
  const std::vector<uint8_t> got = loadImageRGB(png, &w, &h);

  CtxPtr ctx = openCtx(bundle_);
  ASSERT_NE(ctx, nullptr);
  const Drive d = loadDrive(loadManifest(bundle_));
  ASSERT_NE(ka_render_drive_crop(ctx.get(), 5), nullptr) << ka_last_error();
  const uint8_t* rgb = ka_paste_last(ctx.get(), d.si[5]);
  ASSERT_NE(rgb, nullptr) << ka_last_error();
  ASSERT_EQ(w, ka_width(ctx.get()));
  ASSERT_EQ(h, ka_height(ctx.get()));
  EXPECT_EQ(got, std::vector<uint8_t>(rgb, rgb + got.size()));

  // The same frame from explicit keypoints: xs then xd of row 5, raw float32.
  const std::string kp = dir_ / "kp.f32";
  std::string bytes(reinterpret_cast<const char*>(d.xs.data() + 63 * 5), 63 * 4);
  bytes.append(reinterpret_cast<const char*>(d.xd.data() + 63 * 5), 63 * 4);
  writeFile(kp, bytes);
  const std::string png2 = dir_ / "kp.png";
  ASSERT_EQ(ka("'" + bundle_ + "' --si " + std::to_string(d.si[5]) + " --kp '" + kp + "' --out '" + png2 + "'",
               &err),
            0)
      << err;
  EXPECT_EQ(loadImageRGB(png2, &w, &h), got);

  writeFile(kp, bytes.substr(4));
  EXPECT_EQ(ka("'" + bundle_ + "' --si 0 --kp '" + kp + "' --out '" + png2 + "'", &err), 1);
  EXPECT_NE(err.find("it must hold 504"), std::string::npos) << err;

  // A NaN in the driving set (row 3, y) fails and writes no picture.
  const std::string nanPng = dir_ / "nan.png";
  const float nan = NAN;
  bytes.replace(63 * 4 + (3 * 3 + 1) * 4, 4, reinterpret_cast<const char*>(&nan), 4);
  writeFile(kp, bytes);
  EXPECT_EQ(ka("'" + bundle_ + "' --si 0 --kp '" + kp + "' --out '" + nanPng + "'", &err), 1);
  EXPECT_NE(err.find("driving keypoint row 3 of 21 is not finite"), std::string::npos) << err;
  EXPECT_FALSE(exists(nanPng));
}

TEST_F(RenderTool, IdleLoopToMp4HasOneFramePerDriveRow) {
  const std::string mp4 = dir_ / "loop.mp4", png = dir_ / "first.png";
  std::string err;
  ASSERT_EQ(ka("'" + bundle_ + "' --all --out '" + mp4 + "' --png '" + png + "'", &err), 0) << err;
  EXPECT_EQ(probe(mp4), "h264,128,96,8");
  EXPECT_NE(err.find("[ka] render 8/8 frames"), std::string::npos) << err;
  int w = 0, h = 0;
  EXPECT_EQ(loadImageRGB(png, &w, &h).size(), 128u * 96u * 3u);
}

TEST_F(RenderTool, UsageAndBundleErrors) {
  std::string err;
  EXPECT_EQ(ka("'" + bundle_ + "' --row 1 --all --out x.mp4"), 2);
  EXPECT_EQ(ka("'" + bundle_ + "' --si 1"), 2);
  EXPECT_EQ(ka("'" + bundle_ + "' --all"), 2);
  EXPECT_EQ(ka("'" + bundle_ + "' --row 99 --out '" + (dir_ / "x.png") + "'", &err), 1);
  EXPECT_NE(err.find("--row 99 is out of range: the idle loop has 8 rows (0..7)"), std::string::npos) << err;
  // Without --model a bundle with canonical member names finds its director too.
  const std::string hevc = contextBundle("hevc");
  EXPECT_EQ(ka("'" + hevc + "' --row 0 --out '" + (dir_ / "h.png") + "'", &err), 0) << err;
  // --model picks another of the bundle's directors.
  EXPECT_EQ(ka("'" + bundle_ + "' --row 0 --model b4 --out '" + (dir_ / "b4.png") + "'", &err), 0) << err;
}

}  // namespace
}  // namespace ka::test
