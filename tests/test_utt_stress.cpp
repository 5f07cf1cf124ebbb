// Two host threads drive one session at random (push, end, interrupt, pull, stats) for
// a fixed number of operations (longer, without interruptions, until speech has been
// pulled), then the session is destroyed. A watchdog aborts a run that deadlocks.
// Checked afterwards: every pulled frame's sequence number appears once and only
// interruptions leave numbers out (at most the 8 frames each discards); within an
// utterance speech indices run 0, 1, 2, ... and no frame of an interrupted utterance is
// pulled after the interruption returned; never more than 8 frames wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "tests/test_utt_util.h"

namespace ka::test {
namespace {

class Watchdog {
 public:
  explicit Watchdog(int seconds)
      : thread_([this, seconds] {
          std::unique_lock<std::mutex> lk(mu_);
          if (!cv_.wait_for(lk, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr, "test_utt_stress: no progress after %d s: the session deadlocked\n", seconds);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

TEST(UttStress, TwoHostThreadsAtRandom) {
  if (uttFixture("bundle").empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";
  Watchdog dog(static_cast<int>(240 * timeScale()));
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  ka_utt_opts o = uttOpts(motion);
  o.auto_end_s = 0.3;
  UttPtr s(ka_utt_create(ctx.get(), &o));
  ASSERT_NE(s, nullptr) << ka_utt_last_error();
  ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
  const std::vector<int16_t> pcm = speechFrames(6);

  // Host operations are serialised by `order` so that the log below is the order in
  // which the session saw them; the session's own threads run freely meanwhile.
  std::mutex order;
  struct Event {
    bool interrupt = false;
    ka_utt_frame_info info{};
  };
  std::vector<Event> log;
  std::atomic<int> maxAvail{0};
  std::atomic<bool> spoke{false};
  constexpr int kOps = 600;
  // A machine too slow to make speech within the planned operations (an emulator, a
  // sanitizer) goes on until a speech frame is pulled, with interruptions left out:
  // each one would cut the utterance whose first frame is still being made.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(120.0 * timeScale());
  auto host = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> rgb(s->frameBytes());
    for (int i = 0; i < kOps || (!spoke && std::chrono::steady_clock::now() < deadline); ++i) {
      int op = static_cast<int>(rng() % 100);
      if (i >= kOps && op == 19) op = 50;
      std::lock_guard<std::mutex> lk(order);
      if (op < 15) {
        ka_utt_push_audio(s.get(), pcm.data(), static_cast<int>(640 * (1 + rng() % 6)));
      } else if (op < 19) {
        ka_utt_end_utterance(s.get());
      } else if (op < 20) {
        ka_utt_interrupt(s.get());
        log.push_back({true, {}});
      } else if (op < 95) {
        maxAvail = std::max(maxAvail.load(), ka_utt_frames_available(s.get()));
        Event e;
        if (ka_utt_pull_frame(s.get(), rgb.data(), rgb.size(), &e.info) == 1) {
          log.push_back(e);
          if (e.info.kind == KA_UTT_SPEECH) spoke = true;
        }
      } else {
        ka_utt_stats st;
        ka_utt_get_stats(s.get(), &st);
      }
      if (rng() % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 4));
    }
  };
  std::thread a(host, 1234u), b(host, 5678u);
  a.join();
  b.join();
  s.reset();

  std::vector<int64_t> seqs;
  int speech = 0;
  bool cut = false;  // an interruption since the last pulled frame
  int prevSpeech = -2;
  for (const Event& e : log) {
    if (e.interrupt) {
      cut = true;
      continue;
    }
    seqs.push_back(e.info.seq);
    if (e.info.kind == KA_UTT_SPEECH) {
      ++speech;
      const int want = (prevSpeech < 0 || cut) ? 0 : prevSpeech + 1;
      EXPECT_EQ(e.info.speech_index, want) << "seq " << e.info.seq;
      prevSpeech = e.info.speech_index;
    } else {
      prevSpeech = -2;
    }
    cut = false;
  }
  const long cuts = std::count_if(log.begin(), log.end(), [](const Event& e) { return e.interrupt; });
  std::printf("pulled %zu frames (%d speech) around %ld interruptions\n", seqs.size(), speech, cuts);
  std::sort(seqs.begin(), seqs.end());
  ASSERT_TRUE(std::adjacent_find(seqs.begin(), seqs.end()) == seqs.end()) << "a sequence number twice";
  const int64_t missing = seqs.empty() ? 0 : seqs.back() + 1 - static_cast<int64_t>(seqs.size());
  EXPECT_LE(missing, 8 * cuts);
  EXPECT_LE(maxAvail.load(), 8);
  // How many frames a run gets through depends on the machine (sanitizers, load); that
  // speech was spoken and pulled at all is what makes the checks above mean something.
  EXPECT_GT(speech, 0);
}

}  // namespace
}  // namespace ka::test
