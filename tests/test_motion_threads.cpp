// Handles on different threads share nothing but the process: each thread keeps its
// own transform state, so concurrent streams give what each gives alone.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/test_motion_util.h"

using namespace ka::test;

TEST(MotionThreads, ConcurrentHandlesMatchASingleOne) {
  if (fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES not set";
  std::vector<float> audio = readRaw(motionRef("speech.f32"));
  audio.resize(audio.size() / 2);
  MotionFrames alone;
  {
    MotionHandle h(motionDir(), 2);
    ASSERT_TRUE(h.m) << ka_motion_last_error();
    alone = streamAudio(h.m, audio, {3200}, AfterPush::Pull);
  }
  MotionFrames got[2];
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      MotionHandle h(motionDir(), 2);
      if (!h.m) return;
      ka_motion_set_eager(h.m, t == 0 ? 0 : -1);
      got[t] = streamAudio(h.m, audio, {t == 0 ? size_t(3200) : size_t(1000)}, AfterPush::Pull);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(got[0].xd, alone.xd);
  EXPECT_EQ(got[0].si, alone.si);
  EXPECT_EQ(got[1].si, alone.si);
  EXPECT_GT(got[1].live, got[0].live);  // the measured-cost cadence still runs ahead
}
