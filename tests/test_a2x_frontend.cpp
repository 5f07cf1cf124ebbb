// The speech feature frontends: the short-window rows against the 8-second window's,
// the pair's selection (once per process, so each setting is its own ctest entry
// running FrontendSelection.* with KA_TEST_EXPECT_* telling the outcome), and streams on
// several threads sharing the process-wide sessions.
#include <gtest/gtest.h>

#include <thread>

#include "audio/a2x_stream.h"
#include "audio/speech_frontend.h"
#include "tests/test_a2x_util.h"

using namespace ka::test;
namespace a2x = ka::a2x;

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

a2x::FeatureRows legacyRows(const std::vector<float>& x, int frames) {
  a2x::FeatureRows rows;
  a2x::LegacyWindow w;
  w.fill(a2x::loadSharedEncoder(env("W2V_ONNX"), 1), {x.data(), x.size(), true, frames}, a2x::kDefaultRight,
         frames, rows);
  return rows;
}

}  // namespace

// The trunk's hop features resampled at the legacy positions and passed through the
// head give the 8-second encoder's rows: only the trunk's half-precision output
// differs. Comparing each row with its neighbour frame shows that a position off by
// one frame would be far outside the tolerance.
TEST(FrontendRows, ShortWindowReproducesTheLegacyRows) {
  KA_A2X_FIXTURES();
  a2x::A2xStream s(a2xDir("motion"), 1);  // loads and selects the frontends
  ASSERT_TRUE(s.shortWindowActive());
  const std::vector<float> x = clip("long");
  const int frames = static_cast<int>((x.size() + 639) / 640);
  ASSERT_GT(frames, 200) << "the clip must reach the later legacy windows";
  const a2x::FeatureRows legacy = legacyRows(x, frames);
  a2x::FeatureRows shortRows;
  a2x::ShortWindow w;
  w.fill(a2x::shortWindowPair(), {x.data(), x.size(), true, frames}, a2x::kDefaultRight, frames, shortRows);
  ASSERT_GE(shortRows.ready, frames);
  float worst = 0.0f, shiftedBest = 1e9f;
  for (int f = 0; f + 1 < frames; ++f) {
    worst = std::max(worst, maxAbsDiff(shortRows.row(f), legacy.row(f), a2x::kRowFloats));
    const float shifted = maxAbsDiff(shortRows.row(f), legacy.row(f + 1), a2x::kRowFloats);
    if (maxAbsDiff(legacy.row(f), legacy.row(f + 1), a2x::kRowFloats) > 0.1f)
      shiftedBest = std::min(shiftedBest, shifted);
  }
  EXPECT_LT(worst, 0.01f);
  std::printf("short-window vs legacy rows: worst %.5f, neighbour frame at least %.3f\n", worst, shiftedBest);
  EXPECT_GT(shiftedBest, 0.1f);
}

// The failure is the stream's: avail and pull report it with its text, and keep it
// (the failed step does not run again) until a reset starts a new utterance.
TEST(FrontendRows, PositionBeforeTheTrunkWindowFailsTheStream) {
  KA_A2X_FIXTURES();
  a2x::A2xStream probe(a2xDir("motion"), 1);
  ASSERT_TRUE(probe.shortWindowActive());
  // With 43 frames of right context the first frame's legacy position lies 8 hops
  // before the trunk's first output position.
  ScopedEnv right("KA_A2X_W2V_RIGHT", "43");
  Handle h(a2xDir("motion"));
  ASSERT_TRUE(h.a) << ka_a2x_last_error();
  const std::vector<float> x = clip("short");
  const char* why = "ka_a2x extend: w2v_win: trunk pos out of range";
  ka_a2x_push(h.a, x.data(), static_cast<int>(x.size()));
  ka_a2x_finish(h.a);
  int si[4];
  float xs[4 * 63], xd[4 * 63];
  EXPECT_EQ(ka_a2x_pull(h.a, si, xs, xd, 4), -1);
  EXPECT_STREQ(ka_a2x_last_error(), why);
  const double ran = a2x::networkSeconds();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ka_a2x_avail(h.a), -1);
    EXPECT_STREQ(ka_a2x_last_error(), why);
    EXPECT_EQ(ka_a2x_pull(h.a, si, xs, xd, 4), -1);
    EXPECT_STREQ(ka_a2x_last_error(), why);
  }
  EXPECT_EQ(a2x::networkSeconds(), ran) << "the failed step ran again";
  EXPECT_EQ(ka_a2x_total(h.a), static_cast<int>((x.size() + 639) / 640));
  ka_a2x_reset(h.a, 0, 1, 1);
  EXPECT_EQ(ka_a2x_avail(h.a), 0);
  EXPECT_STREQ(ka_a2x_last_error(), "");
}

// Four streams on four threads at once, each equal to the same stream run alone.
TEST(FrontendThreads, StreamsShareTheFrontendAcrossThreads) {
  KA_A2X_FIXTURES();
  const std::vector<float> x = clip("short");
  Frames alone;
  {
    Handle h(a2xDir("motion"), 1);
    ASSERT_TRUE(h.a) << ka_a2x_last_error();
    alone = stream(h.a, x, [] { return size_t{640}; });
  }
  std::vector<Frames> got(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i)
    threads.emplace_back([&, i] {
      Handle h(a2xDir(i % 2 ? "motion" : "motion_wn"), 1);
      if (!h.a) return;
      for (int round = 0; round < 2; ++round) {
        ka_a2x_reset(h.a, 0, 1, 1);
        got[i] = stream(h.a, x, [] { return size_t{640}; });
      }
    });
  for (auto& t : threads) t.join();
  for (size_t i = 1; i < got.size(); i += 2) {
    ASSERT_EQ(got[i].count(), alone.count());
    EXPECT_EQ(0, std::memcmp(got[i].xd.data(), alone.xd.data(), alone.xd.size() * sizeof(float)));
  }
  for (size_t i = 0; i < got.size(); i += 2) EXPECT_EQ(got[i].count(), alone.count());
}

// Which frontend a process serves: KA_TEST_EXPECT_SHORT is 1 or 0, KA_TEST_EXPECT_TRUNK
// the end of the trunk's path, KA_TEST_EXPECT_LOG a line the first creation writes.
TEST(FrontendSelection, OncePerProcess) {
  KA_A2X_FIXTURES();
  if (env("KA_TEST_EXPECT_SHORT").empty()) GTEST_SKIP() << "runs in the test_a2x.select.* entries";
  const bool wantShort = env("KA_TEST_EXPECT_SHORT") == "1";
  EXPECT_EQ(ka_a2x_w2v8_lazy(), 1);
  {
    ScopedEnv none("W2V_ONNX", std::nullopt);
    EXPECT_EQ(ka_a2x_preload_w2v(nullptr), 0);
    EXPECT_STREQ(ka_a2x_last_error(), "ka_a2x_preload_w2v: no path and $W2V_ONNX unset");
    EXPECT_EQ(ka_a2x_preload_w2v("/nonexistent/encoder.onnx"), 0);
    EXPECT_EQ(std::string(ka_a2x_last_error()).rfind("ka_a2x_preload_w2v: ", 0), 0u);
  }
  StderrCapture cap;
  a2x::A2xStream first(a2xDir("motion"), 1);
  const std::string log = cap.text();
  EXPECT_EQ(first.shortWindowActive(), wantShort) << log;
  if (wantShort) {
    const std::string tail = env("KA_TEST_EXPECT_TRUNK");
    const size_t at = log.find("[ka_a2x] short-window w2v frontend loaded (LT=399) trunk=");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find(tail + " (", at), std::string::npos) << log;
  } else {
    EXPECT_NE(log.find("[ka_a2x] short-window audio frontend NOT DEPLOYED on this plane: "), std::string::npos)
        << log;
  }
  if (!env("KA_TEST_EXPECT_LOG").empty()) {
    EXPECT_NE(log.find(env("KA_TEST_EXPECT_LOG")), std::string::npos) << log;
  }
  if (!env("KA_TEST_EXPECT_NO_LOG").empty()) {
    EXPECT_EQ(log.find(env("KA_TEST_EXPECT_NO_LOG")), std::string::npos) << log;
  }

  // A second stream neither retries nor reports; both serve the same frames.
  StderrCapture again;
  a2x::A2xStream second(a2xDir("motion"), 1);
  EXPECT_EQ(again.text().find("short-window"), std::string::npos);
  EXPECT_EQ(second.shortWindowActive(), wantShort);
  EXPECT_EQ(ka_a2x_preload_w2v(nullptr), 1) << ka_a2x_last_error();

  // Either frontend reproduces the reference deltas (the legacy one exactly the walk).
  const std::vector<float> x = clip("hello");
  const std::vector<float> ref = floatsOf(a2xDir("clips/hello.ref.f32"));
  Handle h(a2xDir("motion"));
  const Frames f = stream(h.a, x, nullptr, /*pullLive=*/false);
  ASSERT_EQ(f.count() * 63, ref.size());
  std::vector<float> d(f.xd.size());
  for (size_t i = 0; i < d.size(); ++i) d[i] = f.xd[i] - f.xs[i];
  EXPECT_LT(maxAbsDiff(d.data(), ref.data(), ref.size()), 2e-4f);
}
