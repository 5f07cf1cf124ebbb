#include "driver/source.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <thread>

#include "compute/pool.h"
#include "driver/image_io.h"
#include "driver/movie_decoder_build.h"

extern "C" {
#include <libavcodec/avcodec.h>
}
#include "tests/driver_test_util.h"

namespace ka {
namespace {

using driver::openJpgDir;
using driver::openMp4;
using driver::openPriorHevc;
using test::driverFixture;
using test::kH;
using test::kNT;
using test::kSide;
using test::kW;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::vector<uint8_t> nextFrame(driver::Source& s) {
  std::vector<uint8_t> f(s.frameBytes());
  EXPECT_TRUE(s.next(f.data()));
  return f;
}

using test::refusal;

// Every frame of the member, in order, equals the reference; then the member ends.
void expectAllFrames(driver::Source& s, const std::function<std::vector<uint8_t>(int)>& ref, int nt) {
  std::vector<uint8_t> f(s.frameBytes());
  for (int i = 0; i < nt; ++i) {
    ASSERT_TRUE(s.next(f.data())) << "frame " << i;
    ASSERT_EQ(f, ref(i)) << "frame " << i;
  }
  EXPECT_FALSE(s.next(f.data()));
  EXPECT_FALSE(s.next(f.data()));
}

TEST(Mp4Source, Yuv420FramesMatchTheDecodedPlanesThroughRewindAndSeek) {
  KA_REQUIRE_DRIVER_FIXTURES();
  const auto dump = test::bytesOf(driverFixture("h264_420.yuv"));
  auto ref = [&](int i) { return test::reference420(dump, i, kW, kH, false); };
  for (const char* member : {"h264_420.mp4", "h264_30.mkv"}) {  // the second declares no count
    SCOPED_TRACE(member);
    auto s = driver::openMovie(driverFixture(member), std::string(member).ends_with(".mkv") ? "matroska" : "mp4",
                               kNT, kW, kH);
    EXPECT_EQ(s->frameBytes(), size_t(kW) * kH * 3);
    EXPECT_THAT(s->name(), StartsWith("mp4/libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "."));
    expectAllFrames(*s, ref, kNT);

    s->rewind();
    EXPECT_EQ(nextFrame(*s), ref(0));
    s->seek(17);  // forward across a keyframe
    EXPECT_EQ(nextFrame(*s), ref(17));
    EXPECT_EQ(nextFrame(*s), ref(18));
    s->seek(3);  // backward: restarts from frame 0
    EXPECT_EQ(nextFrame(*s), ref(3));
    s->seek(kNT - 1);
    EXPECT_EQ(nextFrame(*s), ref(kNT - 1));
    std::vector<uint8_t> f(s->frameBytes());
    EXPECT_FALSE(s->next(f.data()));
    s->seek(0);  // from the drained end
    EXPECT_EQ(nextFrame(*s), ref(0));
    EXPECT_EQ(refusal([&] { s->seek(kNT); }), "ka_driver: seek outside the member");
    EXPECT_EQ(refusal([&] { s->seek(-1); }), "ka_driver: seek outside the member");
    EXPECT_GE(s->residentBytes(), size_t(kW) * kH * 3 / 2 * 6);
  }
}

TEST(Mp4Source, Nv12FramesMatchTheStoredPlanes) {
  KA_REQUIRE_DRIVER_FIXTURES();
  const auto dump = test::bytesOf(driverFixture("nv12.yuv"));
  auto s = driver::openMovie(driverFixture("nv12.mkv"), "mkv", kNT, kW, kH);
  expectAllFrames(*s, [&](int i) { return test::reference420(dump, i, kW, kH, true); }, kNT);
}

TEST(PriorSource, Yuv444FramesMatchTheDecodedPlanesAsHalfFloats) {
  KA_REQUIRE_DRIVER_FIXTURES();
  // The reference half conversion itself, at the values the prior edge cases name.
  EXPECT_EQ(test::referenceHalf(0.0f), 0);
  EXPECT_EQ(test::referenceHalf(1.0f), 0x3C00);
  EXPECT_EQ(test::referenceHalf(128.0f / 255.0f), 0x3804);

  const auto dump = test::bytesOf(driverFixture("prior_444.yuv"));
  auto s = openPriorHevc(driverFixture("prior_444.mov"), kNT, kSide);
  EXPECT_EQ(s->W(), kSide);
  EXPECT_EQ(s->H(), kSide);
  EXPECT_EQ(s->frameBytes(), size_t(kSide) * kSide * 3 * 2);
  EXPECT_THAT(s->name(), StartsWith("hevc444/libavcodec "));
  EXPECT_THAT(s->name(), ::testing::EndsWith(" hevc"));
  auto ref = [&](int i) {
    const auto h = test::referencePrior(dump, i, kSide);
    std::vector<uint8_t> b(h.size() * 2);
    std::memcpy(b.data(), h.data(), b.size());
    return b;
  };
  expectAllFrames(*s, ref, kNT);
  s->seek(11);
  EXPECT_EQ(nextFrame(*s), ref(11));
}

TEST(FfSource, RefusesMembersThatDoNotMatchTheManifest) {
  KA_REQUIRE_DRIVER_FIXTURES();
  const std::string mp4 = driverFixture("h264_420.mp4");
  EXPECT_EQ(refusal([&] { openMp4(mp4, kNT, kW + 2, kH); }),
            "ka_driver: " + mp4 + " is 96x64, the manifest says 98x64 — refusing to rescale the driver");
  EXPECT_EQ(refusal([&] { openPriorHevc(mp4, kNT, kSide); }),
            "ka_driver: " + mp4 + " is 96x64, the manifest says 64x64 — refusing to rescale the driver");
  const std::string m29 = driverFixture("h264_29.mp4");
  EXPECT_EQ(refusal([&] { openMp4(m29, kNT, kW, kH); }),
            "ka_driver: " + m29 + " carries 29 frames, the manifest says NT=30 — member/manifest mismatch, refusing");

  test::TempDir d;
  test::writeFile(d / "junk.mp4", std::string(4096, 'x'));
  EXPECT_EQ(refusal([&] { openMp4(d / "junk.mp4", kNT, kW, kH); }),
            "ka_driver: " + (d / "junk.mp4") + " is not a readable container");
  EXPECT_EQ(refusal([&] { openMp4(d / "missing.mp4", kNT, kW, kH); }),
            "ka_driver: " + (d / "missing.mp4") + " is not a readable container");
  const std::string audio = driverFixture("audio_only.mp4");
  EXPECT_EQ(refusal([&] { openMp4(audio, kNT, kW, kH); }), "ka_driver: " + audio + " has no video stream");
}

// A member is demuxed as its container and read as one file. A manifest or playlist
// under the member's name, or another container, is refused before it opens anything:
// the loopback listener hears nothing and the local file it names is not played.
TEST(FfSource, OnlyTheMemberItselfIsReadAsItsContainer) {
  KA_REQUIRE_DRIVER_FIXTURES();
  test::LoopbackListener http;
  const std::string host = "http://127.0.0.1:" + std::to_string(http.port());
  const std::string h264 = driverFixture("h264_420.mp4"), prior = driverFixture("prior_444.mov");
  test::TempDir d;
  test::writeFile(d / "beside.mp4", test::slurp(h264));
  struct Case {
    const char* name;
    std::string bytes;
    bool prior;
  } cases[] = {
      {"dash over http", test::dashManifest(host + "/drv.mp4"), false},
      {"dash naming a local file", test::dashManifest("file://" + h264), false},
      {"hls naming a local file", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.2,\n" + h264 + "\n#EXT-X-ENDLIST\n",
       false},
      {"concat of a file beside it", "ffconcat version 1.0\nfile 'beside.mp4'\n", false},
      {"matroska", test::slurp(driverFixture("h264_30.mkv")), false},
      {"prior as dash naming a local file", test::dashManifest("file://" + prior), true},
  };
  for (const Case& c : cases) {
    const std::string member = d / (c.prior ? "P_hevc.mov" : "target_frames.mp4");
    test::writeFile(member, c.bytes);
    EXPECT_EQ(refusal([&] { c.prior ? openPriorHevc(member, kNT, kSide) : openMp4(member, kNT, kW, kH); }),
              "ka_driver: " + member + " is not a readable container")
        << c.name;
  }
  EXPECT_EQ(http.connections(), 0);
  EXPECT_EQ(refusal([&] { driver::openMovie(h264, "hls", kNT, kW, kH); }),
            "ka_driver: " + h264 + " is not a readable container (\"hls\" is not a container family this library "
            "demuxes)");
}

TEST(FfSource, RefusesPixelLayoutsTheConversionIsNotWrittenFor) {
  KA_REQUIRE_DRIVER_FIXTURES();
  const std::string tail420 =
      ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — refusing rather "
      "than pasting onto a different pixel domain";
  struct Case {
    const char* member;
    const char* decodedAs;
  } cases[] = {{"h264_422.mp4", "yuv422p"}, {"h264_full.mp4", "yuvj420p"}, {"vp9_full.mp4", "yuv420p (full range)"}};
  for (const Case& c : cases) {
    const std::string path = driverFixture(c.member);
    if (!test::exists(path)) continue;  // made only where the encoder exists
    auto s = openMp4(path, 10, kW, kH);
    std::vector<uint8_t> f(s->frameBytes());
    const std::string want = "ka_driver: " + path + " decoded to " + c.decodedAs + tail420;
    EXPECT_EQ(refusal([&] { s->next(f.data()); }), want);
    // A seek that only skips frames still checks them.
    auto t = openMp4(path, 10, kW, kH);
    EXPECT_EQ(refusal([&] { t->seek(4); }), want);
  }
  const std::string p420 = driverFixture("prior_420.mov");
  auto p = openPriorHevc(p420, 10, kSide);
  std::vector<uint8_t> f(p->frameBytes());
  EXPECT_EQ(refusal([&] { p->next(f.data()); }),
            "ka_driver: " + p420 +
                " decoded to yuv420p, not the yuv444p a warp prior is authored in — a subsampled prior is a "
                "different mouth, refusing");
}

TEST(FfSource, ShortAndChangingMembersAreReportedNotPadded) {
  KA_REQUIRE_DRIVER_FIXTURES();
  // No declared count, one frame short: the member ends, and a seek past its end says so.
  const std::string m29 = driverFixture("h264_29.mkv");
  auto s = driver::openMovie(m29, "matroska", kNT, kW, kH);
  std::vector<uint8_t> f(s->frameBytes());
  for (int i = 0; i < 29; ++i) ASSERT_TRUE(s->next(f.data()));
  EXPECT_FALSE(s->next(f.data()));
  s->seek(2);
  s->seek(kNT - 1);  // frames 0..28 exist, so frame 29 is merely the end
  EXPECT_FALSE(s->next(f.data()));
  auto longer = driver::openMovie(m29, "matroska", kNT + 1, kW, kH);
  EXPECT_EQ(refusal([&] { longer->seek(kNT); }), "ka_driver: " + m29 + " ended at frame 29 while seeking to 30");

  const std::string change = driverFixture("size_change.mp4");
  auto c = openMp4(change, 10, kW, kH);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(c->next(f.data())) << i;
  EXPECT_EQ(refusal([&] { c->next(f.data()); }), "ka_driver: " + change + " changed size mid-stream — refusing");
}

TEST(FfSource, HardwareDecoderIsAttemptedUnlessDisabledExactly) {
  KA_REQUIRE_DRIVER_FIXTURES();
  const std::string mp4 = driverFixture("h264_420.mp4");
  const std::string notAttempted =
      "[ka-driver] KA_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on "
      "this fleet (same samples)\n";
  {
    test::ScopedEnv env("KA_DRIVER_HWDEC", "0");
    test::StderrCapture err;
    auto s = openMp4(mp4, kNT, kW, kH);
    EXPECT_EQ(err.text(), notAttempted);
    EXPECT_THAT(s->name(), ::testing::EndsWith(" h264"));
  }
  const bool hwExists = avcodec_find_decoder_by_name("h264_cuvid") != nullptr;
  for (const char* value : {"00", "false", "1"}) {
    test::ScopedEnv env("KA_DRIVER_HWDEC", value);
    test::StderrCapture err;
    auto s = openMp4(mp4, kNT, kW, kH);
    const std::string text = err.text();
    EXPECT_THAT(text, ::testing::Not(HasSubstr("not attempted"))) << value;
    if (s->name().ends_with(" h264_cuvid")) continue;  // a machine where the hardware decoder opens
    EXPECT_THAT(s->name(), ::testing::EndsWith(" h264"));
    if (hwExists) {
      EXPECT_THAT(text, HasSubstr("[ka-driver] h264_cuvid refused " + mp4 +
                                  " — falling back to the software h264 decoder (same samples, more CPU)\n"));
    }
  }
  // Only H.264 driver members are offered to the hardware decoder.
  test::ScopedEnv env("KA_DRIVER_HWDEC", std::nullopt);
  test::StderrCapture err;
  auto p = openPriorHevc(driverFixture("prior_444.mov"), kNT, kSide);
  EXPECT_THAT(err.text(), ::testing::Not(HasSubstr("h264_cuvid")));
}

// The software decoder takes the cores the worker pool leaves free (one to four), not a
// fixed four that would preempt the pool's workers on a small machine. Its thread count
// shows in the resident estimate: one YUV frame per thread plus five, before any packet.
TEST(FfSource, DecoderThreadsAreTheCoresThePoolLeaves) {
  KA_REQUIRE_DRIVER_FIXTURES();
  test::ScopedEnv env("KA_DRIVER_HWDEC", "0");
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const size_t yuv = size_t(kW) * kH * 3 / 2;
  for (const int pool : {1, 2, cores, cores + 8}) {
    pool::testing::setThreads(pool);
    const int got = pool::threads();
    const int want = std::clamp((cores > 0 ? cores : 4) - got, 1, 4);
    auto s = openMp4(driverFixture("h264_420.mp4"), kNT, kW, kH);
    EXPECT_EQ(s->residentBytes(), yuv * (want + 5)) << "pool " << got << " of " << cores << " cores";
    std::vector<uint8_t> f(s->frameBytes());
    EXPECT_TRUE(s->next(f.data()));
  }
  pool::testing::setThreads(0);
}

TEST(JpgDirSource, DecodesInOrderAndRefusesAFrameOfTheWrongSize) {
  KA_REQUIRE_DRIVER_FIXTURES();
  const std::string dir = driverFixture("jpg");
  const auto ffRef = test::bytesOf(driverFixture("jpg_ref.rgb"));  // frames 0..6 as ffmpeg decodes them
  const size_t fb = size_t(kW) * kH * 3;
  auto s = openJpgDir(dir, 10, kW, kH);
  EXPECT_EQ(s->name(), "jpg/stb");
  EXPECT_EQ(s->residentBytes(), 0u);
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 7; ++i) {
    frames.push_back(nextFrame(*s));
    // Two JPEG decoders differ by rounding, never by a frame or a channel order: the
    // served frame is close to ffmpeg's decode of the same file and closer to it than to
    // any other frame.
    auto meanDiff = [&](int j) {
      double sum = 0;
      for (size_t k = 0; k < fb; ++k) sum += std::abs(int(frames[i][k]) - int(ffRef[j * fb + k]));
      return sum / fb;
    };
    EXPECT_LT(meanDiff(i), 1.5) << "frame " << i;
    for (int j = 0; j < 7; ++j)
      if (j != i) {
        EXPECT_GT(meanDiff(j), meanDiff(i) + 2.0) << "frame " << i << " against " << j;
      }
  }
  std::vector<uint8_t> f(fb);
  EXPECT_EQ(refusal([&] { s->next(f.data()); }),
            "ka_driver: " + dir + "/frame_000007.jpg is 95x64, the manifest says 96x64 — refusing");
  s->seek(8);
  EXPECT_TRUE(s->next(f.data()));
  EXPECT_TRUE(s->next(f.data()));
  EXPECT_FALSE(s->next(f.data()));
  s->rewind();
  EXPECT_EQ(nextFrame(*s), frames[0]);
  s->seek(5);
  EXPECT_EQ(nextFrame(*s), frames[5]);
  EXPECT_EQ(refusal([&] { s->seek(10); }), "ka_driver: seek outside the member");

  auto missing = openJpgDir(dir + "/nowhere", 3, kW, kH);
  EXPECT_EQ(refusal([&] { missing->next(f.data()); }), "decode failed: " + dir + "/nowhere/frame_000000.jpg");

  // A frame that is only a header claiming 16384 x 16384 is refused by its header, before
  // the decoder sizes its buffers for it (with an end marker it even "decodes" to 800 MB).
  test::TempDir d;
  const unsigned char huge[] = {0xff, 0xd8, 0xff, 0xc0, 0x00, 0x11, 0x08, 0x40, 0x00, 0x40, 0x00,
                                0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
  test::writeFile(d / "frame_000000.jpg", std::string(reinterpret_cast<const char*>(huge), sizeof huge));
  auto claimed = openJpgDir(d.path(), 1, kW, kH);
  EXPECT_EQ(refusal([&] { claimed->next(f.data()); }),
            "ka_driver: " + (d / "frame_000000.jpg") + " is 16384x16384, the manifest says 96x64 — refusing");
  // Only a JPEG decoder reads a frame: a PNG of the right size under the frame's name is
  // refused, not decoded.
  const std::vector<uint8_t> black(size_t(kW) * kH * 3, 0);
  writePNG(d / "frame_000000.jpg", black.data(), kW, kH);
  EXPECT_EQ(refusal([&] { openJpgDir(d.path(), 1, kW, kH)->next(f.data()); }),
            "ka_driver: " + (d / "frame_000000.jpg") + " is not a JPEG file — refusing");
}

TEST(ImageIo, PngWrittenHereDecodesIdenticallyElsewhere) {
  const int w = 37, h = 21;  // odd sizes: stride w*3 has no padding
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + i / 97);
  test::TempDir d;
  writePNG(d / "a.png", rgb.data(), w, h);
  int rw = 0, rh = 0;
  EXPECT_EQ(loadImageRGB(d / "a.png", &rw, &rh), rgb);
  EXPECT_EQ(rw, w);
  EXPECT_EQ(rh, h);
  // An independent decoder agrees byte for byte.
  const std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -i " + (d / "a.png") +
                          " -f rawvideo -pix_fmt rgb24 " + (d / "a.rgb");
  if (std::system(cmd.c_str()) == 0) {
    EXPECT_EQ(test::bytesOf(d / "a.rgb"), rgb);
  }

  EXPECT_EQ(refusal([&] { writePNG(d / "no/such/dir/b.png", rgb.data(), w, h); }),
            "png write failed: " + (d / "no/such/dir/b.png"));
  test::writeFile(d / "text.jpg", "not an image");
  EXPECT_EQ(refusal([&] { loadImageRGB(d / "text.jpg", &rw, &rh); }), "decode failed: " + (d / "text.jpg"));
  // A Huffman table declaring 16 x 255 codes, which the decoder would write past its
  // 256 entries.
  test::writeFile(d / "codes.jpg", std::string("\xff\xd8\xff\xc4\x00\x13\x00", 7) + std::string(16, '\xff'));
  EXPECT_EQ(refusal([&] { loadImageRGB(d / "codes.jpg", &rw, &rh); }),
            "decode failed: " + (d / "codes.jpg") + " (a Huffman table of more than 256 codes)");
}

TEST(MovieDecoderBuild, NamesTheBuildAndLeavesTheSharedLibrary) {
  const std::string b = movieDecoderBuild();
  EXPECT_TRUE(std::regex_search(b, std::regex("^libavcodec [0-9]+\\.[0-9]+\\.[0-9]+ / "))) << b;
  EXPECT_EQ(b.substr(b.find(" / ") + 3), avcodec_configuration());

  const char* so = std::getenv("KA_CORE_SO");
  if (!so) GTEST_SKIP() << "KA_CORE_SO not set";
  void* lib = ::dlopen(so, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  using Fn = std::string (*)();
  auto fn = reinterpret_cast<Fn>(::dlsym(lib, "_ZN2ka17movieDecoderBuildB5cxx11Ev"));
  ASSERT_NE(fn, nullptr) << "ka::movieDecoderBuild is not exported";
  EXPECT_EQ(fn(), b);
  // The still-image pair leaves with it: a PNG written through the shared library reads
  // back through it.
  using WriteFn = void (*)(const std::string&, const uint8_t*, int, int);
  using LoadFn = std::vector<uint8_t> (*)(const std::string&, int*, int*);
  auto write = reinterpret_cast<WriteFn>(
      ::dlsym(lib, "_ZN2ka8writePNGERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEPKhii"));
  auto load = reinterpret_cast<LoadFn>(
      ::dlsym(lib, "_ZN2ka12loadImageRGBERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEPiS8_"));
  ASSERT_NE(write, nullptr) << "ka::writePNG is not exported";
  ASSERT_NE(load, nullptr) << "ka::loadImageRGB is not exported";
  test::TempDir d;
  const std::vector<uint8_t> rgb = {1, 2, 3, 250, 251, 252, 7, 8, 9, 100, 110, 120, 0, 0, 0, 255, 255, 255};
  write(d / "x.png", rgb.data(), 3, 2);
  int w = 0, h = 0;
  EXPECT_EQ(load(d / "x.png", &w, &h), rgb);
  EXPECT_EQ(w * 10 + h, 32);
  // Nothing of the image codec leaks out with them.
  EXPECT_EQ(::dlsym(lib, "stbi_load"), nullptr);
  EXPECT_EQ(::dlsym(lib, "stbi_write_png"), nullptr);
  ::dlclose(lib);
}

}  // namespace
}  // namespace ka
