// The telemetry batch under concurrent recording: every event is shipped exactly once
// across read/flush cycles, with one reader or several claiming batches by id, a sealed
// read is stable while recording goes on, and the sketch's quantiles stay within their
// stated error on awkward distributions and magnitudes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ka/ka.h"
#include "telemetry/quantile_sketch.h"
#include "tessera/json.h"

namespace {

std::string readBatch() {
  const int64_t need = ka_tel_pending_json(nullptr, 0);
  EXPECT_GT(need, 1);
  std::string doc(static_cast<size_t>(need), '\0');
  EXPECT_EQ(ka_tel_pending_json(doc.data(), doc.size()), need);
  doc.resize(static_cast<size_t>(need) - 1);
  return doc;
}

TEST(Telemetry, EightRecordersAndAFlusherLoseAndRepeatNothing) {
  ka_tel_flush();
  constexpr int kThreads = 8, kPerThread = 20000;
  std::atomic<int> running{kThreads};
  std::atomic<int64_t> recorded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = "thread." + std::to_string(t % 3);
      int64_t ok = 0;
      for (int i = 0; i < kPerThread; ++i) ok += ka_tel_record(name.c_str(), i % 97);
      if (t == 0) ok += ka_tel_record_str("note", "a text among the numbers");
      recorded += ok;
      --running;
    });
  }
  int64_t shipped = 0;
  int cycles = 0;
  auto cycle = [&] {
    const std::string doc = readBatch();
    // A second read of a sealed batch is the same document, however much was recorded
    // in between.
    EXPECT_EQ(readBatch(), doc);
    const auto v = ka::tessera::json::parse(doc);
    const int64_t events = static_cast<int64_t>(v.req("batch").req("events").num);
    int64_t inMetrics = 0;
    for (const auto& m : v.req("metrics").arr) inMetrics += static_cast<int64_t>(m.req("count").num);
    EXPECT_EQ(inMetrics + static_cast<int64_t>(v.req("texts").arr.size()), events);
    EXPECT_EQ(ka_tel_flush(), events) << "the flush cleared something other than what was read";
    shipped += events;
    ++cycles;
  };
  while (running > 0) cycle();
  for (auto& th : threads) th.join();
  cycle();
  EXPECT_EQ(recorded.load(), int64_t{kThreads} * kPerThread + 1);
  EXPECT_EQ(shipped, recorded.load());
  EXPECT_GT(cycles, 1);
}

// Several shipping threads, each reading, claiming what it read by its id and shipping
// only its own claims, while others record: every event reaches exactly one of them.
// Texts carry each event's identity; a batch claimed twice, or one cleared unread,
// shows as a repeated or missing text.
TEST(Telemetry, ReadersClaimingByIdShipEveryEventOnce) {
  for (const int readers : {2, 3}) {
    ka_tel_flush();
    constexpr int kRecorders = 4, kPerRecorder = 1000;  // all texts fit in one batch
    std::atomic<int> recording{kRecorders};
    std::mutex mtx;
    std::map<std::string, int> shipped;  // text -> times shipped
    std::map<int64_t, int> claimed;      // batch id -> claims that returned events
    int64_t shippedNumbers = 0;
    auto drain = [&] {
      const auto v = ka::tessera::json::parse(readBatch());
      const auto& batch = v.req("batch");
      const int64_t id = static_cast<int64_t>(batch.req("id").num);
      const int64_t n = ka_tel_flush_batch(static_cast<uint64_t>(id));
      ASSERT_GE(n, 0) << ka_tel_last_error();
      if (n == 0) return;
      ASSERT_EQ(n, static_cast<int64_t>(batch.req("events").num));
      EXPECT_EQ(batch.req("dropped_texts").num, 0);
      std::lock_guard lock(mtx);
      ++claimed[id];
      for (const auto& t : v.req("texts").arr) ++shipped[t.req("text").str];
      for (const auto& m : v.req("metrics").arr) shippedNumbers += static_cast<int64_t>(m.req("count").num);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kRecorders; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerRecorder; ++i) {
          ka_tel_record_str("event", (std::to_string(t) + ":" + std::to_string(i)).c_str());
          ka_tel_record("value", i);
        }
        --recording;
      });
    }
    for (int r = 0; r < readers; ++r)
      threads.emplace_back([&] {
        while (recording > 0) drain();
      });
    for (auto& th : threads) th.join();
    drain();
    EXPECT_EQ(shipped.size(), size_t{kRecorders} * kPerRecorder) << readers << " readers";
    EXPECT_EQ(shippedNumbers, int64_t{kRecorders} * kPerRecorder) << readers << " readers";
    for (const auto& [text, times] : shipped) EXPECT_EQ(times, 1) << text;
    for (const auto& [id, times] : claimed) EXPECT_EQ(times, 1) << "batch " << id;
  }
}

// Quantiles against a sorted copy on distributions that stress a log-bucket sketch:
// mixed signs, values straddling zero, a constant, one huge outlier, heavy tails, small
// integers, and magnitudes across the stated range (and beyond it, where few distinct
// values are kept exactly).
TEST(Telemetry, SketchQuantilesWithinTheirStatedError) {
  std::mt19937_64 rng(11);
  std::lognormal_distribution<double> heavy(0, 3);
  std::normal_distribution<double> centred(0, 1);
  struct Case {
    const char* what;
    std::vector<double> values;
  };
  std::lognormal_distribution<double> spread(0, 1.5);  // about four decades
  auto scaled = [&](double scale, double sign) {
    std::vector<double> v;
    for (int i = 0; i < 3000; ++i) v.push_back(sign * scale * spread(rng));
    return v;
  };
  std::vector<Case> cases = {{"constant", std::vector<double>(1000, 42.5)},
                             {"mixed signs", {}},
                             {"heavy tail", {}},
                             {"outlier", std::vector<double>(999, 1.0)},
                             {"single", {-3.25}},
                             {"small integers", {}},
                             {"frame counts", {}},
                             {"micro", scaled(1e-6, 1)},
                             {"tera", scaled(1e12, 1)},
                             {"peta", scaled(1e15, 1)},
                             {"negative peta", scaled(1e15, -1)},
                             {"unix ns", {}},
                             {"beyond the range, few values", {}}};
  for (int i = 0; i < 5000; ++i) cases[1].values.push_back(centred(rng));
  for (int i = 0; i < 5000; ++i) cases[2].values.push_back(heavy(rng));
  cases[3].values.push_back(1e11);
  for (int i = 0; i < 1000; ++i) cases[5].values.push_back(1 + i % 3);
  for (int i = 0; i < 1000; ++i) cases[6].values.push_back(i % 200);
  for (int i = 0; i < 1000; ++i) cases[11].values.push_back(1.7e18 + 1e9 * i);
  for (int i = 0; i < 1000; ++i) cases[12].values.push_back((i % 5 - 2) * 1e300);
  ka::telemetry::QuantileSketch sketch;
  for (const auto& c : cases) {
    sketch.clear();
    for (double v : c.values) sketch.add(v);
    std::vector<double> sorted = c.values;
    std::sort(sorted.begin(), sorted.end());
    // Few distinct values are kept, and read, exactly.
    std::vector<double> distinct = sorted;
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const bool exact = distinct.size() <= size_t{ka::telemetry::QuantileSketch::kExactValues};
    for (double q : {0.0, 0.01, 0.5, 0.9, 0.99, 1.0}) {
      const double want = sorted[static_cast<size_t>(std::floor(q * (sorted.size() - 1)))];
      const double tol = exact ? 0.0
                               : ka::telemetry::QuantileSketch::kRelativeError * std::fabs(want) +
                                     ka::telemetry::QuantileSketch::kMinMagnitude;
      EXPECT_NEAR(sketch.quantile(q), want, tol) << c.what << " q=" << q;
    }
  }
}

}  // namespace
