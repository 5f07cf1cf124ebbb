// The telemetry batch under concurrent recording: every event is shipped exactly once
// across read/flush cycles, a sealed read is stable while recording goes on, and the
// sketch's quantiles stay within their stated error on awkward distributions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
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

// Quantiles against a sorted copy on distributions that stress a log-bucket sketch:
// mixed signs, values straddling zero, a constant, one huge outlier, heavy tails.
TEST(Telemetry, SketchQuantilesWithinTheirStatedError) {
  std::mt19937_64 rng(11);
  std::lognormal_distribution<double> heavy(0, 3);
  std::normal_distribution<double> centred(0, 1);
  struct Case {
    const char* what;
    std::vector<double> values;
  };
  std::vector<Case> cases = {{"constant", std::vector<double>(1000, 42.5)},
                             {"mixed signs", {}},
                             {"heavy tail", {}},
                             {"outlier", std::vector<double>(999, 1.0)},
                             {"single", {-3.25}}};
  for (int i = 0; i < 5000; ++i) cases[1].values.push_back(centred(rng));
  for (int i = 0; i < 5000; ++i) cases[2].values.push_back(heavy(rng));
  cases[3].values.push_back(1e11);
  ka::telemetry::QuantileSketch sketch;
  for (const auto& c : cases) {
    sketch.clear();
    for (double v : c.values) sketch.add(v);
    std::vector<double> sorted = c.values;
    std::sort(sorted.begin(), sorted.end());
    for (double q : {0.0, 0.01, 0.5, 0.9, 0.99, 1.0}) {
      const double want = sorted[static_cast<size_t>(std::floor(q * (sorted.size() - 1)))];
      const double tol = ka::telemetry::QuantileSketch::kRelativeError * std::fabs(want) +
                         ka::telemetry::QuantileSketch::kMinMagnitude;
      EXPECT_NEAR(sketch.quantile(q), want, tol) << c.what << " q=" << q;
    }
  }
}

}  // namespace
