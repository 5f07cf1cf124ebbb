// Heap allocations of the teeth pass per frame, counted with a replaced global operator
// new: none once the first frames (one of them skipped) have been released, on either
// pool size, whether a push borrows, skips or releases a skipped frame, nor on flush.
#include <gtest/gtest.h>

#include <vector>

#include "compute/pool.h"
#include "tessera/teeth_pass.h"
#include "tests/support/count_new.h"
#include "tests/test_teeth_util.h"

namespace ka::tessera {
namespace {

TEST(TeethPassAlloc, FramesAllocateNothingAfterWarmUp) {
  const Frame ok = mouthFrame(), empty = mouthFrame(false);
  const int far[2] = {0, 3};  // pad + 1
  for (int threads : {1, 2}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    pool::testing::setThreads(threads);
    TeethPass pass(solidBank(10), uniformHead(), config(4, 2, 2));
    FrameResult out;
    int index = 0;
    const auto push = [&](const Frame& f, const int* shift) { pass.push(index++, f.rgb.data(), f.mask.data(), shift, &out); };
    push(ok, nullptr), push(ok, far), push(ok, nullptr), push(ok, nullptr);
    EXPECT_EQ(test::allocationsOf([&] {
                push(ok, nullptr), push(empty, nullptr), push(ok, nullptr), push(ok, far), push(ok, nullptr);
                push(ok, nullptr), pass.flush(&out);
              }),
              0);
    EXPECT_FALSE(out.skipped);
  }
  pool::testing::setThreads(0);
}

}  // namespace
}  // namespace ka::tessera
