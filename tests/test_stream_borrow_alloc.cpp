// Heap allocations of the stream borrow per frame, counted with a replaced global
// operator new: none once every fixture frame has gone through once, for float and RGBA
// crops, their write-backs and the flush, on either pool size.
#include <gtest/gtest.h>

#include <vector>

#include "compute/pool.h"
#include "tessera/stream_borrow.h"
#include "tests/support/count_new.h"
#include "tests/test_borrow_util.h"

namespace ka::tessera {
namespace {

TEST(StreamBorrowAlloc, FramesAllocateNothingAfterWarmUp) {
  NEED_FIXTURES();
  const Bank48 f;
  const int n = f.bank.stamp.canvas_w;
  std::vector<std::vector<float>> crops;
  for (int t = 0; t < f.frames; ++t) crops.push_back(drawCrop(f.pi, f.xs.data() + size_t(t) * 63, n, t));
  std::vector<float> planes(crops[0].size());
  std::vector<uint8_t> rgba(size_t(n) * n * 4, 255);
  for (int threads : {1, 2}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    pool::testing::setThreads(threads);
    StreamBorrow b(f.bank, f.weights, f.config, f.pi, f.lip_template);
    FrameResult out;
    const auto frame = [&](int t) {
      const float* kp = f.xs.data() + size_t(t) * 63;
      if (b.push(crops[size_t(t)].data(), kp, &out)) {
        planes = crops[size_t((t + f.frames - 1) % f.frames)];
        StreamBorrow::writeWindowDelta(planes.data(), n, out, b.stamp());
      }
      if (b.pushRgba(rgba.data(), kp, &out)) StreamBorrow::writeWindowDeltaRgba(rgba.data(), n, out, b.stamp());
    };
    for (int t = 0; t < f.frames; ++t) frame(t);
    b.flush(&out);
    EXPECT_EQ(test::allocationsOf([&] {
                for (int t = 0; t < f.frames; ++t) frame(t);
                b.flush(&out);
              }),
              0);
    EXPECT_FALSE(out.skipped) << out.reason;
  }
  pool::testing::setThreads(0);
}

}  // namespace
}  // namespace ka::tessera
