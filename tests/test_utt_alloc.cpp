// Heap allocations while a warmed-up session delivers idle frames, counted with a
// replaced global operator new: the conductor's passes, the paste queue and thread, the
// output ring and the host's pulls must allocate nothing, with paste on the conductor
// and on its own thread. (Speech frames run ONNX Runtime, which allocates inside every
// run of its own; the renderer's share of that is checked by test_renderer_alloc.)
#include <gtest/gtest.h>

#include <fstream>

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

// With a teeth pass attached every idle frame first drains the pass (on the conductor,
// or through the teeth thread): that path allocates nothing either.
TEST(UttAlloc, IdleFramesThroughTheTeethStageAllocateNothing) {
  if (uttFixture("teeth").empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";
  const std::string bundle = uttFixture("teeth");
  UttCtx ctx(ka_create(bundle.c_str(), "b1", 1, nullptr));
  ASSERT_NE(ctx, nullptr) << ka_last_error();
  char err[512] = "";
  ka_tessera_members* m = ka_tessera_members_open(bundle.c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  std::ifstream in(bundle + "/.reference/bank_donor.rgb", std::ios::binary);
  const std::vector<uint8_t> bank(std::istreambuf_iterator<char>(in), {});
  const std::string motion = uttFixture("motion-teeth");
  for (const char* pipe : {"0", "1"}) {
    ScopedEnv env("KA_UTT_PIPELINE_PASTE", pipe);
    ka_utt_opts o = uttOpts(motion);
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
    ASSERT_EQ(ka_utt_tessera_attach(s.get(), bank.data(), ka_tessera_members_n_donors(m), ka_tessera_members_cent(m),
                                    ka_tessera_members_c_canon(m), ka_tessera_members_aperture(m),
                                    ka_tessera_members_stamp(m), ka_tessera_members_head_pt(m),
                                    ka_tessera_members_head_pt_len(m), ka_tessera_members_head_json(m),
                                    ka_tessera_members_manifest_json(m), err, sizeof err),
              0)
        << err;
    std::vector<uint8_t> rgb(s->frameBytes());
    auto pull = [&](int n) {
      for (int got = 0; got < n;) {
        if (ka_utt_pull_frame(s.get(), rgb.data(), rgb.size(), nullptr) == 1)
          ++got;
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    pull(30);
    EXPECT_EQ(allocationsOf([&] { pull(40); }), 0) << "KA_UTT_PIPELINE_PASTE=" << pipe;
  }
  ka_tessera_members_close(m);
}

}  // namespace
}  // namespace ka::test
