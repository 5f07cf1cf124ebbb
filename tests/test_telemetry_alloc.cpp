// Recording is cheap enough for every frame: once both batches have seen a name (two
// read/flush cycles), recording under it allocates nothing.
#include <gtest/gtest.h>

#include "ka/ka.h"
#include "tests/support/count_new.h"

namespace {

void recordFrame(int i) {
  ka_tel_record("frame.ms", 40.0 + i % 7);
  ka_tel_record("queue.depth", i % 8);
  if (i % 25 == 0) ka_tel_record_str("event", "utterance started");
}

TEST(TelemetryAlloc, RecordingAllocatesNothingAfterWarmUp) {
  for (int cycle = 0; cycle < 2; ++cycle) {
    recordFrame(0);
    ka_tel_pending_json(nullptr, 0);
    ka_tel_flush();
  }
  EXPECT_EQ(ka::test::allocationsOf([] {
              for (int i = 0; i < 1000; ++i) recordFrame(i);
            }),
            0);
  ka_tel_flush();
}

}  // namespace
