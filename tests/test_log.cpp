// The host's control over diagnostic lines: capture or silence everything the library
// prints (its own tagged lines, FFmpeg's and ONNX Runtime's), by level, from any thread.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/source.h"
#include "ka/ka.h"
#include "base/log.h"
#include "base/log_limiter.h"
#include "render/onnx_codec.h"
#include "tests/support/test_support.h"

namespace {

using ka::log::Level;

struct Captured {
  std::mutex mu;
  std::vector<std::pair<int, std::string>> lines;
  static void fn(int level, const char* line, void* user) {
    auto* self = static_cast<Captured*>(user);
    std::lock_guard<std::mutex> lock(self->mu);
    self->lines.emplace_back(level, line);
  }
  bool has(int level, const std::string& part) {
    std::lock_guard<std::mutex> lock(mu);
    for (const auto& [lv, text] : lines)
      if (lv == level && text.find(part) != std::string::npos) return true;
    return false;
  }
};

// Restores the library's defaults whatever a test did.
struct LogScope {
  ~LogScope() {
    ka_set_log_callback(nullptr, nullptr);
    ka_set_log_level(KA_LOG_LEVEL_INFO);
  }
};

// An MP4 that names itself ("ftyp") but has no movie box: FFmpeg's demuxer complains.
void openBrokenMovie(const ka::test::TempDir& dir) {
  const std::string path = dir / "broken.mp4";
  ka::test::writeFile(path, std::string("\0\0\0\x18" "ftypisom\0\0\x02\0isomiso2", 24) + std::string(64, 'x'));
  EXPECT_THROW(ka::driver::openMp4(path, 4, 64, 48), std::runtime_error);
}

// A one-node model (y = x) carrying an initializer nothing reads, which ONNX Runtime
// warns about when it loads the graph.
std::vector<uint8_t> modelWithUnusedInitializer() {
  ka::GsBytes graph, model;
  ka::hcNode(graph, "Identity", {"x"}, "y", "id", {});
  const float zero = 0;
  ka::hcInit(graph, "never_read", 1, {1}, &zero, sizeof zero);
  const int64_t dims[] = {2};
  ka::gsPutTensorValueInfo(graph, 11, "x", dims, 1);
  ka::gsPutTensorValueInfo(graph, 12, "y", dims, 1);
  ka::gsPutTag(model, 1, 0);
  ka::gsPutVarint(model, 8);  // ir_version
  ka::GsBytes opset;
  ka::gsPutTag(opset, 2, 0);
  ka::gsPutVarint(opset, 16);
  ka::gsPutBytes(model, 8, opset.data(), opset.size());
  ka::gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

TEST(Log, ThresholdFiltersByLevelAndLinesArriveClean) {
  LogScope scope;
  struct Case {
    int threshold;
    std::vector<int> heard;
  } cases[] = {
      {KA_LOG_LEVEL_OFF, {}},
      {KA_LOG_LEVEL_ERROR, {0}},
      {KA_LOG_LEVEL_WARNING, {0, 1}},
      {KA_LOG_LEVEL_INFO, {0, 1, 2}},
      {KA_LOG_LEVEL_DEBUG, {0, 1, 2, 3}},
      {-7, {}},  // below off counts as off
      {9, {0, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    Captured cap;
    ka_set_log_callback(&Captured::fn, &cap);
    ka_set_log_level(c.threshold);
    for (int lv = 0; lv <= 3; ++lv) ka::log::line(static_cast<Level>(lv), "[ka] level %d\n", lv);
    ka_set_log_callback(nullptr, nullptr);
    std::vector<int> heard;
    for (const auto& [lv, text] : cap.lines) {
      heard.push_back(lv);
      EXPECT_EQ(text, "[ka] level " + std::to_string(lv));
    }
    EXPECT_EQ(heard, c.heard) << "threshold " << c.threshold;
  }

  // One line per line end, no line end and no colour escapes in the texts.
  Captured cap;
  ka_set_log_level(KA_LOG_LEVEL_INFO);
  ka_set_log_callback(&Captured::fn, &cap);
  ka::log::text(Level::Warning, "\x1b[1;33mfirst\x1b[m\nsecond\r\n");
  ka_set_log_callback(nullptr, nullptr);
  ASSERT_EQ(cap.lines.size(), 2u);
  EXPECT_EQ(cap.lines[0].second, "first");
  EXPECT_EQ(cap.lines[1].second, "second");
}

TEST(Log, DefaultSinkWritesTheSameTextToStandardErrorAndOffSilencesIt) {
  LogScope scope;
  ka::test::TempDir dir;
  std::string heard;
  {
    ka::test::StderrCapture err;
    ka::log::line(Level::Info, "[ka] unwrapped %s -> %s\n", "a.imx", "a.kabundle");
    openBrokenMovie(dir);
    heard = err.text();
  }
  EXPECT_NE(heard.find("[ka] unwrapped a.imx -> a.kabundle\n"), std::string::npos) << heard;
  EXPECT_NE(heard.find("moov atom not found\n"), std::string::npos) << heard;

  ka_set_log_level(KA_LOG_LEVEL_OFF);
  ka::test::StderrCapture err;
  ka::log::line(Level::Error, "[ka] must not appear\n");
  openBrokenMovie(dir);
  EXPECT_EQ(err.text(), "");
}

TEST(Log, CallbackHearsFfmpegAndOnnxRuntimeWithTheirSeverities) {
  LogScope scope;
  Captured cap;
  ka_set_log_callback(&Captured::fn, &cap);
  ka::test::TempDir dir;
  openBrokenMovie(dir);
  EXPECT_TRUE(cap.has(KA_LOG_LEVEL_ERROR, "moov atom not found"));

  {
    ka::test::StderrCapture err;
    Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ka-log-test", ka::log::ortLoggingFunction, nullptr);
    const std::vector<uint8_t> model = modelWithUnusedInitializer();
    Ort::SessionOptions options;
    Ort::Session session(env, model.data(), model.size(), options);
    EXPECT_EQ(err.text(), "") << "ONNX Runtime wrote past the callback";
  }
  EXPECT_TRUE(cap.has(KA_LOG_LEVEL_WARNING, "never_read"));
  ka_set_log_callback(nullptr, nullptr);
  for (const auto& [lv, text] : cap.lines) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
}

// Lines from many threads while the host swaps callbacks: every line reaches exactly one
// callback whole, and once ka_set_log_callback returns the old one hears nothing more.
TEST(Log, ConcurrentLinesAndCallbackSwaps) {
  LogScope scope;
  constexpr int kThreads = 4, kLines = 2000;
  Captured a, b;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) KA_LOG_WARN("[ka] thread %d line %d\n", t, i);
    });
  ka_set_log_callback(&Captured::fn, &a);
  go = true;
  size_t afterSwap = 0;
  for (int swap = 0; swap < 200; ++swap) {
    Captured& next = swap % 2 ? a : b;
    Captured& old = swap % 2 ? b : a;
    ka_set_log_callback(&Captured::fn, &next);
    {
      std::lock_guard<std::mutex> lock(old.mu);
      afterSwap = old.lines.size();
    }
    std::this_thread::yield();
    std::lock_guard<std::mutex> lock(old.mu);
    EXPECT_EQ(old.lines.size(), afterSwap) << "a replaced callback was still called";
  }
  for (auto& t : threads) t.join();
  ka_set_log_callback(nullptr, nullptr);

  std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLines, false));
  size_t total = 0;
  for (Captured* c : {&a, &b})
    for (const auto& [lv, text] : c->lines) {
      int t = -1, i = -1;
      ASSERT_EQ(std::sscanf(text.c_str(), "[ka] thread %d line %d", &t, &i), 2) << text;
      EXPECT_EQ(lv, KA_LOG_LEVEL_WARNING);
      EXPECT_EQ(text, "[ka] thread " + std::to_string(t) + " line " + std::to_string(i));
      EXPECT_FALSE(seen[t][i]) << text;
      seen[t][i] = true;
      ++total;
    }
  EXPECT_EQ(total, static_cast<size_t>(kThreads) * kLines);
}

// A callback that calls back into the library neither deadlocks nor loses the line.
TEST(Log, CallbackMayCallTheLibrary) {
  LogScope scope;
  static std::vector<std::string> got;
  got.clear();
  ka_set_log_callback(
      [](int, const char* line, void*) {
        got.emplace_back(line);
        if (got.size() == 1) {
          KA_LOG_INFO("[ka] nested\n");
          ka_set_log_callback(nullptr, nullptr);  // ignored from inside
        }
      },
      nullptr);
  KA_LOG_INFO("[ka] outer\n");
  KA_LOG_INFO("[ka] after\n");
  EXPECT_EQ(got, (std::vector<std::string>{"[ka] outer", "[ka] nested", "[ka] after"}));
}

// Lines a client causes: a few per kind and window, then a count of the rest on the
// next line written.
TEST(LogLimiter, WritesABurstPerKindAndWindowThenCountsTheRest) {
  using ka::log::LogLimiter;
  LogLimiter limiter(2, std::chrono::seconds(10));
  const auto t0 = LogLimiter::Clock::time_point{} + std::chrono::hours(1);
  struct Step {
    int atS;
    const char* kind;
    bool written;
    const char* note;
  };
  const Step steps[] = {
      {0, "stop", true, ""},
      {1, "stop", true, ""},
      {2, "stop", false, ""},
      {3, "stop", false, ""},
      {4, "not_found", true, ""},  // kinds are counted apart
      {9, "stop", false, ""},
      {10, "stop", true, " (3 similar suppressed)"},  // a new window
      {11, "stop", true, ""},
      {12, "stop", false, ""},
      {25, "stop", true, " (1 similar suppressed)"},
      {26, "a kind whose name runs on and on", true, ""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.atS);
    const auto line = limiter.admit(s.kind, t0 + std::chrono::seconds(s.atS));
    EXPECT_EQ(static_cast<bool>(line), s.written);
    EXPECT_STREQ(line.note(), s.note);
  }
  EXPECT_EQ(limiter.suppressed(), 4u);
  // Many kinds share the last slot rather than growing without bound.
  for (int i = 0; i < 100; ++i) limiter.admit("kind" + std::to_string(i), t0);
  EXPECT_GT(limiter.suppressed(), 80u);
}

}  // namespace
