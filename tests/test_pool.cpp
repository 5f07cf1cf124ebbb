// Worker pool: deterministic splits, inline fallbacks, nesting, per-thread pools and the
// thread-count variables (read once per process, so each setting is its own ctest entry
// running this binary with a different environment).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "compute/core_budget.h"
#include "compute/pool.h"

namespace {

using Call = std::tuple<uint64_t, uint64_t, std::thread::id>;

std::vector<Call> record(uint64_t total, uint64_t grain) {
  std::mutex mtx;  // owned by this recording; guards calls
  std::vector<Call> calls;
  ka::pool::parallelRange(total, grain, [&](uint64_t b, uint64_t e) {
    std::lock_guard<std::mutex> lock(mtx);
    calls.emplace_back(b, e, std::this_thread::get_id());
  });
  std::sort(calls.begin(), calls.end());
  return calls;
}

int expectedParts(uint64_t total, uint64_t grain, int threads) {
  const uint64_t q = total / std::max<uint64_t>(grain, 1);
  return threads <= 1 || q <= 1 ? 1 : static_cast<int>(std::min<uint64_t>(q, threads));
}

// The split as documented: part i covers [i*chunk, min(total, (i+1)*chunk)).
std::vector<std::pair<uint64_t, uint64_t>> expectedSplit(uint64_t total, uint64_t grain, int threads) {
  const int parts = expectedParts(total, grain, threads);
  std::vector<std::pair<uint64_t, uint64_t>> out;
  const uint64_t chunk = (total + parts - 1) / parts;
  for (int i = 0; i < parts; ++i) {
    const uint64_t b = i * chunk;
    if (parts == 1 || b < total) out.emplace_back(b, std::min(total, b + chunk));
  }
  return out;
}

TEST(PoolEnv, ThreadsFollowTheEnvironment) {
  const char* want = std::getenv("KA_TEST_EXPECT_REQUEST");
  if (!want) GTEST_SKIP() << "run through ctest";
  const unsigned hw = std::thread::hardware_concurrency();
  int expected = std::atoi(want);
  if (hw > 0 && hw < static_cast<unsigned>(expected)) expected = static_cast<int>(hw);
  EXPECT_EQ(ka::pool::threads(), expected);
  EXPECT_TRUE(ka::pool::available());
}

TEST(PoolInline, SingleThreadRunsEveryCallOnTheCaller) {
  if (ka::pool::threads() != 1) GTEST_SKIP() << "needs KA_CORE_THREADS=1";
  for (uint64_t total : {0ull, 1ull, 130ull, 1000000ull}) {
    const auto calls = record(total, 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], Call(0, total, std::this_thread::get_id()));
    EXPECT_EQ(ka::pool::parts(total, 1), 1);
  }
}

TEST(Pool, SplitsFollowTheDocumentedBoundaries) {
  const int t = ka::pool::threads();
  for (auto [total, grain] : {std::pair<uint64_t, uint64_t>{130, 64}, {1000, 10}, {5, 1}, {7, 0},
                              {127, 64}, {0, 64}, {1, 1}, {4096, 64}}) {
    const auto calls = record(total, grain);
    const auto want = expectedSplit(total, grain, t);
    ASSERT_EQ(calls.size(), want.size()) << total << "/" << grain;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(std::get<0>(calls[i]), want[i].first) << total << "/" << grain;
      EXPECT_EQ(std::get<1>(calls[i]), want[i].second) << total << "/" << grain;
    }
    // The caller always takes part 0; with one part it is the only one.
    EXPECT_EQ(std::get<2>(calls[0]), std::this_thread::get_id());
    EXPECT_EQ(ka::pool::parts(total, grain), expectedParts(total, grain, t));
  }
  if (t >= 2) {
    const auto calls = record(130, 64);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], Call(0, 65, std::this_thread::get_id()));
    EXPECT_EQ(std::get<0>(calls[1]), 65u);
    EXPECT_EQ(std::get<1>(calls[1]), 130u);
    EXPECT_NE(std::get<2>(calls[1]), std::this_thread::get_id());
  }
}

// A thread kept to its share splits over at most that many threads, on a pool of that
// size, and gets the whole pool back when the limit is lifted.
TEST(Pool, ALimitedThreadSplitsOverItsShareOnly) {
  ka::pool::testing::setThreads(4);
  struct Case {
    int limit;
    size_t parts;
  };
  std::thread([] {
    for (const Case& c : {Case{1, 1}, Case{2, 2}, Case{0, 4}, Case{9, 4}, Case{-1, 4}}) {
      ka::pool::limitThisThread(c.limit);
      const auto calls = record(4096, 64);
      EXPECT_EQ(calls.size(), c.parts) << "limit " << c.limit;
      std::set<std::thread::id> ids;
      for (const Call& call : calls) ids.insert(std::get<2>(call));
      EXPECT_EQ(ids.size(), c.parts) << "limit " << c.limit;
      EXPECT_EQ(std::get<0>(calls.front()), 0u);
      EXPECT_EQ(std::get<1>(calls.back()), 4096u);
    }
  }).join();
  ka::pool::testing::setThreads(0);
}

// The session's threads share the machine: the network and the paste each keep cores of
// their own once there are two, and no share is ever empty.
TEST(CoreBudget, SplitForEveryMachineSize) {
  struct Case {
    int cores, director, paste, decoder, motion;
  };
  for (const Case& c : {Case{-4, 1, 1, 1, 1}, Case{0, 1, 1, 1, 1}, Case{1, 1, 1, 1, 1}, Case{2, 1, 1, 1, 1},
                        Case{3, 2, 1, 1, 1}, Case{4, 3, 1, 1, 1}, Case{8, 6, 2, 1, 2}, Case{16, 12, 4, 2, 2},
                        Case{64, 16, 4, 4, 2}}) {
    const ka::CoreBudget b = ka::CoreBudget::split(c.cores);
    EXPECT_EQ(b.cores, std::max(c.cores, 1)) << c.cores;
    EXPECT_EQ(b.director, c.director) << c.cores;
    EXPECT_EQ(b.paste, c.paste) << c.cores;
    EXPECT_EQ(b.decoder, c.decoder) << c.cores;
    EXPECT_EQ(b.motion, c.motion) << c.cores;
    if (b.cores >= 2) {
      EXPECT_LE(b.director + b.paste, b.cores) << c.cores;
    }
  }
  const int machine = ka::CoreBudget::machineCores();
  EXPECT_GE(machine, 1);
  EXPECT_EQ(ka::CoreBudget::machine().cores, machine);
}

TEST(Pool, NestedCallOnTheCallerRunsInline) {
  std::atomic<int> innerCalls{0};
  std::atomic<bool> innerWasWhole{true};
  const std::thread::id caller = std::this_thread::get_id();
  ka::pool::parallelRange(1000, 1, [&](uint64_t b, uint64_t) {
    if (std::this_thread::get_id() != caller || b != 0) return;
    ka::pool::parallelRange(500, 1, [&](uint64_t ib, uint64_t ie) {
      ++innerCalls;
      if (ib != 0 || ie != 500 || std::this_thread::get_id() != caller) innerWasWhole = false;
    });
  });
  EXPECT_EQ(innerCalls.load(), 1);
  EXPECT_TRUE(innerWasWhole.load());
  // The busy flag is cleared again: the next call splits as usual.
  EXPECT_EQ(record(1000, 1).size(), expectedSplit(1000, 1, ka::pool::threads()).size());
}

TEST(Pool, WorkersMayRunTheirOwnPools) {
  std::vector<std::atomic<int>> hits(64 * 100);
  ka::pool::parallelRange(64, 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t row = b; row < e; ++row) {
      ka::pool::parallelRange(100, 1, [&](uint64_t ib, uint64_t ie) {
        for (uint64_t i = ib; i < ie; ++i) ++hits[row * 100 + i];
      });
    }
  });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST(Pool, ACallerPartThatThrowsWaitsForTheWorkersAndRethrows) {
  std::atomic<int> done{0};
  const std::thread::id caller = std::this_thread::get_id();
  EXPECT_THROW(ka::pool::parallelRange(1000, 1,
                                       [&](uint64_t, uint64_t) {
                                         if (std::this_thread::get_id() == caller) throw std::runtime_error("x");
                                         std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                         ++done;
                                       }),
               std::runtime_error);
  EXPECT_EQ(done.load(), ka::pool::parts(1000, 1) - 1);
  EXPECT_EQ(record(1000, 1).size(), expectedSplit(1000, 1, ka::pool::threads()).size());
}

// Worker 3 of a 4-thread pool cannot start: workers 1 and 2 are joined (were they left
// joinable, the process would terminate), the caller gets an exception it can catch, and
// its next split builds the pool afresh. Pool sizes set through the seam take effect at
// the next split, in either direction.
TEST(Pool, AWorkerThatCannotStartIsACatchableErrorAndTheNextSplitRecovers) {
  static std::atomic<int> g_starts{0};
  const int before = ka::pool::threads();
  ka::pool::testing::setThreads(4);
  ka::pool::testing::setWorkerStartHook([](int index) {
    ++g_starts;
    if (index == 3) throw std::system_error(EAGAIN, std::generic_category(), "no thread for you");
  });
  std::thread caller([] {  // a thread of its own: it has no pool yet
    std::string err;
    try {
      record(1000, 1);
    } catch (const std::runtime_error& e) {
      err = e.what();
    }
    EXPECT_EQ(err, "ka::pool: cannot start worker thread 3 of 3 (no thread for you: " +
                       std::generic_category().message(EAGAIN) + "); the 2 already started were joined");
    EXPECT_EQ(g_starts.load(), 3);
    ka::pool::testing::setWorkerStartHook(nullptr);
    EXPECT_EQ(record(1000, 1).size(), 4u);
    ka::pool::testing::setThreads(1);
    EXPECT_EQ(record(1000, 1).size(), 1u);
    ka::pool::testing::setThreads(3);
    EXPECT_EQ(record(1000, 1).size(), 3u);
  });
  caller.join();
  ka::pool::testing::setThreads(0);
  EXPECT_EQ(ka::pool::threads(), before) << "0 restores the environment's choice";
}

TEST(Pool, ManyCallingThreadsEachOwnAPool) {
  constexpr int kThreads = 6, kRounds = 200;
  std::vector<std::vector<uint32_t>> out(kThreads, std::vector<uint32_t>(777));
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        ka::pool::parallelRange(777, 8, [&](uint64_t b, uint64_t e) {
          for (uint64_t i = b; i < e; ++i) out[t][i] += static_cast<uint32_t>(i);
        });
      }
    });  // each caller's pool is joined when the caller exits
  }
  for (auto& c : callers) c.join();
  for (int t = 0; t < kThreads; ++t) {
    for (uint32_t i = 0; i < 777; ++i) ASSERT_EQ(out[t][i], i * kRounds);
  }
}

}  // namespace
