// Heap allocations while a warmed-up session delivers idle frames, counted with a
// replaced global operator new: the conductor's passes, the paste queue and thread, the
// output ring and the host's pulls must allocate nothing, with paste on the conductor
// and on its own thread. (Speech frames run ONNX Runtime, which allocates inside every
// run of its own; the renderer's share of that is checked by test_renderer_alloc.)
#include <gtest/gtest.h>

#include "tests/support/count_new.h"
#include "tests/test_utt_util.h"

namespace ka::test {
namespace {

TEST(UttAlloc, IdleFramesAllocateNothing) {
  if (uttFixture("bundle").empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  for (const char* pipe : {"0", "1"}) {
    ScopedEnv env("KA_UTT_PIPELINE_PASTE", pipe);
    ka_utt_opts o = uttOpts(motion);
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
    std::vector<uint8_t> rgb(s->frameBytes());
    auto pull = [&](int n) {
      for (int got = 0; got < n;) {
        ka_utt_frame_info info{};
        if (ka_utt_pull_frame(s.get(), rgb.data(), rgb.size(), &info) == 1)
          ++got;
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    pull(30);  // warm-up: every slot, job and driver frame has been through once
    // The counter sees a host's allocation.
    ASSERT_EQ(allocationsOf([] { std::string probe(200, 'x'); }), 1);
    EXPECT_EQ(allocationsOf([&] { pull(40); }), 0) << "KA_UTT_PIPELINE_PASTE=" << pipe;
  }
}

}  // namespace
}  // namespace ka::test
