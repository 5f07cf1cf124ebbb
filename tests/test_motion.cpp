// The motion generator against the NumPy/PyTorch reference of the fixture tool, and its
// streaming contract: push sizes do not matter, live frames are final, speculative
// frames are replaced, the driver index follows the reset, a lead bounds the work
// before the first frames without changing them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/motion_generator.h"
#include "session/motion_model.h"
#include "tests/test_motion_util.h"

namespace fs = std::filesystem;
using namespace ka::test;

namespace {

constexpr int kLips[] = {6, 12, 14, 17, 19, 20};

bool isLip(int value) {
  return std::find(std::begin(kLips), std::end(kLips), value / 3) != std::end(kLips);
}

// Largest |a - b| over the arrays, both of the same size.
double maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  double d = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) d = std::max(d, std::fabs(double(a[i]) - b[i]));
  return d;
}

double maxAbs(const std::vector<float>& a) {
  double m = 0;
  for (float v : a) m = std::max(m, std::fabs(double(v)));
  return m;
}

std::vector<float> speech() { return readRaw(motionRef("speech.f32")); }

// A copy of the fixture directory with meta.json replaced.
void copyWithMeta(const std::string& to, const std::string& meta) {
  fs::copy(motionDir(), to, fs::copy_options::recursive);
  writeFile(to + "/meta.json", meta);
}

class Motion : public ::testing::Test {
 protected:
  void SetUp() override {
    if (fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES not set";
  }
};

TEST_F(Motion, MatchesReferenceThroughDumpsAndFrames) {
  TempDir dump;
  ScopedEnv env("KA_MOTION_DUMP", dump.path());
  MotionHandle h(motionDir());
  ASSERT_TRUE(h.m) << ka_motion_last_error();
  const std::vector<float> audio = speech();
  const MotionFrames got = streamAudio(h.m, audio, {audio.size()}, AfterPush::Nothing);
  const int total = static_cast<int>((audio.size() + 639) / 640);
  ASSERT_EQ(ka_motion_total(h.m), total);
  ASSERT_EQ(static_cast<int>(got.count()), total);
  ASSERT_GT(total, 150) << "the clip must span three chunks";

  // Intermediate arrays: absolute tolerance scaled to each array's magnitude, since
  // float32 arithmetic in a different order is all that separates them.
  const struct {
    const char* dumped;
    const char* ref;
    double tol;
  } arrays[] = {
      {"mel0.bin", "mel0.f32", 2e-4},       {"feat0.bin", "feat0.f32", 1e-4}, {"cond.bin", "cond.f32", 1e-4},
      {"res_post.bin", "res_post.f32", 1e-4}, {"final.bin", "final.f32", 1e-4}, {"xsla.bin", "xsla.f32", 1e-4},
      {"xdla.bin", "xdla.f32", 1e-4},       {"xs.bin", "xs.f32", 1e-6},       {"xd.bin", "xd.f32", 1e-4},
  };
  for (const auto& a : arrays) {
    const auto mine = readRaw(dump / a.dumped), ref = readRaw(motionRef(a.ref));
    ASSERT_EQ(mine.size(), ref.size()) << a.dumped;
    EXPECT_LE(maxAbsDiff(mine, ref), a.tol * std::max(1.0, maxAbs(ref))) << a.dumped;
  }
  // The pulled frames are the dumped ones.
  EXPECT_EQ(std::vector<int32_t>(got.si.begin(), got.si.end()), readRaw<int32_t>(motionRef("si.i32")));
  const auto refXd = readRaw(motionRef("xd.f32"));
  for (int f = 0; f < total; ++f) {
    const std::vector<float> a(got.xd.begin() + f * 63, got.xd.begin() + f * 63 + 63);
    const std::vector<float> b(refXd.begin() + f * 63, refXd.begin() + f * 63 + 63);
    ASSERT_LE(maxAbsDiff(a, b), 1e-4 * maxAbs(b)) << "frame " << f;
  }
  EXPECT_EQ(got.xs, readRaw(motionRef("xs.f32")));

  // Speech moves the lips and nothing but the lips follows the motion rows: between the
  // quietest and the loudest frame the lip values of the final rows differ.
  const auto finalRows = readRaw(dump / "final.bin");
  float lo = 1e9f, hi = -1e9f;
  for (int f = 0; f < total; ++f) {
    lo = std::min(lo, finalRows[size_t(f) * 265 + 202 + 17 * 3 + 1]);
    hi = std::max(hi, finalRows[size_t(f) * 265 + 202 + 17 * 3 + 1]);
  }
  EXPECT_GT(hi - lo, 0.01f);
}

TEST_F(Motion, FramesDoNotDependOnPushSizes) {
  const std::vector<float> audio = speech();
  MotionHandle ref(motionDir());
  ASSERT_TRUE(ref.m) << ka_motion_last_error();
  const MotionFrames whole = streamAudio(ref.m, audio, {audio.size()}, AfterPush::Nothing);
  // The networks advance after every piece (windows and chunks run as the audio
  // allows); the frames, pulled after the finish, must not show how it was cut.
  const std::vector<std::vector<size_t>> patterns = {{640}, {1, 333, 4481}, {7919}, {16000, 5}};
  for (const auto& sizes : patterns) {
    MotionHandle h(motionDir());
    const MotionFrames got = streamAudio(h.m, audio, sizes, AfterPush::Advance);
    EXPECT_EQ(got.si, whole.si) << "first push size " << sizes[0];
    EXPECT_EQ(got.xs, whole.xs) << "first push size " << sizes[0];
    EXPECT_EQ(got.xd, whole.xd) << "first push size " << sizes[0];
  }
}

// Eager 0: a frame is emitted only once no later chunk can change its row, so the frames
// a live stream pulled equal those the same audio gives when everything is pulled at the
// end without finishing (the working rows after every chunk the audio allows).
TEST_F(Motion, LiveFramesAreFinalAndEagerFramesAreReplaced) {
  const std::vector<float> audio = speech();
  MotionHandle late(motionDir());
  const MotionFrames atEnd = streamAudio(late.m, audio, {audio.size()}, AfterPush::Nothing, false);
  MotionHandle live(motionDir());
  const MotionFrames stream = streamAudio(live.m, audio, {1600}, AfterPush::Pull, false);
  ASSERT_GT(stream.count(), 70u) << "live frames must flow before the finish";
  ASSERT_EQ(stream.count(), atEnd.count());
  EXPECT_EQ(stream.xd, atEnd.xd);
  EXPECT_EQ(stream.si, atEnd.si);

  // Eager 1: frames flow after the first frame of audio, the indices stay contiguous
  // and the speculative rows leave no trace in the rows left at the finish.
  TempDir d0, d1;
  MotionFrames regular, eager;
  {
    ScopedEnv env("KA_MOTION_DUMP", d0.path());
    MotionHandle h(motionDir());
    regular = streamAudio(h.m, audio, {640}, AfterPush::Pull);
  }
  {
    ScopedEnv env("KA_MOTION_DUMP", d1.path());
    MotionHandle h(motionDir());
    ka_motion_set_eager(h.m, 1);
    eager = streamAudio(h.m, audio, {640}, AfterPush::Pull);
  }
  ASSERT_EQ(eager.count(), regular.count());
  for (size_t f = 0; f < eager.count(); ++f) ASSERT_EQ(eager.si[f], static_cast<int>(f % 24)) << f;
  EXPECT_GT(eager.live, regular.live);
  EXPECT_LE(eager.firstAt, 2 * 640);
  EXPECT_GT(regular.firstAt, 80 * 640);
  EXPECT_EQ(slurp(d1 / "res_post.bin"), slurp(d0 / "res_post.bin"));
  EXPECT_EQ(slurp(d1 / "final.bin"), slurp(d0 / "final.bin"));
}

// A whole reply pushed at once, driven the way the session drives it: the first frames
// asked for, then pulls of up to 32 until nothing more comes, then (when not finished
// up front) the finish and the rest.
struct LeadRun {
  MotionFrames frames;
  long windowsFirst = 0, chunksFirst = 0;  // network runs before the first frames were ready
};

LeadRun driveWhole(int lead, const std::vector<float>& audio, bool finishFirst, int eager) {
  LeadRun r;
  ka::audio::MotionGenerator g(motionDir(), 1, "");
  g.setLead(lead);
  g.setEager(eager);
  g.push(audio.data(), audio.size());
  if (finishFirst) g.finish();
  EXPECT_GT(g.available(), 0);
  r.windowsFirst = g.times().windows;
  r.chunksFirst = g.times().chunks;
  int si[32];
  float xs[32 * 63], xd[32 * 63];
  for (int pass = finishFirst ? 1 : 0; pass < 2; ++pass) {
    if (pass == 1 && !finishFirst) g.finish();
    for (int n; (n = g.pull(si, xs, xd, 32)) > 0;) {
      r.frames.si.insert(r.frames.si.end(), si, si + n);
      r.frames.xs.insert(r.frames.xs.end(), xs, xs + n * 63);
      r.frames.xd.insert(r.frames.xd.end(), xd, xd + n * 63);
    }
  }
  return r;
}

// With the session's lead, a reply pushed faster than real time waits for the first
// chunk (16 windows: its 80 rows; 69 frames settled) before its first frames, however
// long the reply;
// without one every window and chunk of the reply runs first. Either way the frames are
// the same, finished before the first pull or after it, regular or eager.
TEST_F(Motion, LeadBoundsTheWorkBeforeTheFirstFramesAndKeepsThem) {
  const std::vector<float> once = speech();
  std::vector<float> thrice;
  for (int k = 0; k < 3; ++k) thrice.insert(thrice.end(), once.begin(), once.end());
  const int lead = ka::MotionModel::kMotionLead;
  const std::vector<float>* replies[] = {&once, &thrice};
  for (const std::vector<float>* audio : replies)
    for (const bool finishFirst : {true, false})
      for (const int eager : {0, -1}) {
        SCOPED_TRACE(testing::Message() << audio->size() / 640 << " frames, finish first " << finishFirst
                                        << ", eager " << eager);
        // The session's engine holds one chunk's frames ready after its first call.
        ka::MotionModel model(false, motionDir(), 1, "", 0);
        model.setEager(eager);
        ASSERT_TRUE(model.push(audio->data(), static_cast<int>(audio->size())));
        if (finishFirst) {
          ASSERT_TRUE(model.finish());
        }
        EXPECT_EQ(model.avail(), 69);
        const LeadRun whole = driveWhole(0, *audio, finishFirst, eager);
        const LeadRun led = driveWhole(lead, *audio, finishFirst, eager);
        EXPECT_LE(led.windowsFirst, 16);
        EXPECT_LE(led.chunksFirst, 1);
        EXPECT_GT(whole.windowsFirst, 30);
        ASSERT_EQ(led.frames.count(), (audio->size() + 639) / 640);
        EXPECT_EQ(led.frames.si, whole.frames.si);
        EXPECT_EQ(led.frames.xs, whole.frames.xs);
        EXPECT_EQ(led.frames.xd, whole.frames.xd);
      }
}

TEST_F(Motion, ResetPlacesTheDriverIndex) {
  const int nt = 24;
  const struct {
    int start, direction, loop;
    std::vector<int> first;
  } cases[] = {
      {-1, 1, 1, {0, 1, 2, 3}},         {1000, 1, 1, {23, 0, 1, 2}},  {nt - 1, 1, 1, {23, 0, 1, 2}},
      {2, -1, 1, {2, 1, 0, 23}},        {21, 1, 0, {21, 22, 23, 22}}, {1, -1, 0, {1, 0, 1, 2}},
  };
  MotionHandle h(motionDir());
  ASSERT_EQ(ka_motion_nt(h.m), nt);
  const std::vector<float> audio(640 * 4, 0.f);
  for (const auto& c : cases) {
    ka_motion_reset(h.m, c.start, c.direction, c.loop);
    EXPECT_EQ(ka_motion_total(h.m), -1);
    const MotionFrames got = streamAudio(h.m, audio, {audio.size()}, AfterPush::Nothing);
    EXPECT_EQ(got.si, c.first) << "start " << c.start << " direction " << c.direction << " loop " << c.loop;
  }
  EXPECT_EQ(ka_motion_push(h.m, audio.data(), 1), 0);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_push: bad args / already finished");
}

// Without delta_pitch the driven pose is the source pose, so the driven keypoints before
// stitching differ from the source ones only where the lips moved, and not at all in the
// first frame (its motion row is the expression origin).
TEST_F(Motion, OnlyTheLipsFollowTheMotion) {
  TempDir tmp;
  const std::string dir = tmp / "m";
  copyWithMeta(dir, "{\"nt\": 24, \"n_src\": 24, \"n_emo\": 4, \"s_bridge\": 0.9}");
  TempDir dump;
  ScopedEnv env("KA_MOTION_DUMP", dump.path());
  MotionHandle h(dir);
  ASSERT_TRUE(h.m) << ka_motion_last_error();
  const std::vector<float> audio = speech();
  streamAudio(h.m, audio, {audio.size()}, AfterPush::Nothing);
  const auto src = readRaw(dump / "xsla.bin"), drv = readRaw(dump / "xdla.bin");
  ASSERT_EQ(src.size(), drv.size());
  bool lipsMoved = false;
  for (size_t i = 0; i < src.size(); ++i) {
    const int v = static_cast<int>(i % 63);
    if (i < 63 || !isLip(v))
      ASSERT_EQ(src[i], drv[i]) << "frame " << i / 63 << " value " << v;
    else
      lipsMoved |= src[i] != drv[i];
  }
  EXPECT_TRUE(lipsMoved);
}

}  // namespace
