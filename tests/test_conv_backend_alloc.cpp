// Heap allocations per render of the renderer running the convolution engine, counted
// with a replaced global operator new: none after the first render, on any thread
// (the engine's workers included), at batch 4 with fewer frames than the batch too.
#include <gtest/gtest.h>

#include <vector>

#include "render/renderer.h"
#include "tests/support/count_new.h"
#include "tests/test_renderer_util.h"

namespace {

TEST(ConvBackendAlloc, RendersAllocateNothingAfterTheFirst) {
  ka::Manifest m = ka::loadManifest(ka::test::fixtureDir() + "/m4b");
  ka::Identity id(m);
  ka::Renderer r(m, id, "m4b4", 2, "neon");
  ASSERT_STREQ(r.backend(), "neon");
  const int si[4] = {0, 1, 2, 0};
  std::vector<float> xs(4 * 63, 0.1f), xd(4 * 63, 0.12f);
  r.render(si, xs.data(), xd.data(), 4);
  for (int n : {4, 1, 3}) {
    EXPECT_EQ(ka::test::allocationsOf([&] { r.render(si, xs.data(), xd.data(), n); }), 0) << "n=" << n;
  }
}

}  // namespace
