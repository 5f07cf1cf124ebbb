#include "driver/driver_cursor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "bundle/manifest.h"
#include "bundle/path_util.h"
#include "tests/driver_test_util.h"

namespace ka {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;

// A source whose frame i is a pattern only frame i has, counting what the cursor asks
// of it. Optionally slow, or failing on seeks.
class FakeSource : public driver::Source {
 public:
  struct Counters {
    std::atomic<int> nexts{0}, seeks{0}, rewinds{0};
  };
  FakeSource(int nt, std::shared_ptr<Counters> c) : nt_(nt), c_(std::move(c)) {}
  static constexpr int kW = 5, kH = 3;

  static std::vector<uint8_t> frame(int i) {
    std::vector<uint8_t> f(kW * kH * 3);
    for (size_t k = 0; k < f.size(); ++k) f[k] = static_cast<uint8_t>(i * 31 + k * 7 + (i >> 3));
    std::memcpy(f.data(), &i, sizeof i);
    return f;
  }

  int NT() const override { return nt_; }
  int W() const override { return kW; }
  int H() const override { return kH; }
  bool next(uint8_t* dst) override {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (pos_ >= nt_) return false;
    const auto f = frame(pos_++);
    std::memcpy(dst, f.data(), f.size());
    ++c_->nexts;
    return true;
  }
  void rewind() override {
    pos_ = 0;
    ++c_->rewinds;
  }
  void seek(int i) override {
    if (failSeeks) throw std::runtime_error("ka_driver: no seeking today");
    pos_ = i;
    ++c_->seeks;
  }
  std::string name() const override { return "fake"; }
  size_t residentBytes() const override { return 1000; }

  std::chrono::milliseconds delay{0};
  bool failSeeks = false;

 private:
  int nt_;
  int pos_ = 0;
  std::shared_ptr<Counters> c_;
};

struct Fake {
  std::shared_ptr<FakeSource::Counters> counters = std::make_shared<FakeSource::Counters>();
  std::unique_ptr<FakeSource> src;
  explicit Fake(int nt) : src(std::make_unique<FakeSource>(nt, counters)) {}
};

using test::refusal;

// Waits until the producer has filled its look-ahead and gone to sleep.
void waitIdle(const FakeSource::Counters& c) {
  int last = -1, stable = 0;
  for (int i = 0; i < 4000 && stable < 30; ++i) {
    const int now = c.nexts.load();
    stable = now == last ? stable + 1 : 0;
    last = now;
    std::this_thread::sleep_for(1ms);
  }
}

int frameId(const uint8_t* p) {
  int i;
  std::memcpy(&i, p, sizeof i);
  return i;
}

TEST(DriverCursor, PlainPullsLoopOverTheDriver) {
  Fake f(5);
  auto* counters = f.counters.get();
  auto c = DriverCursor::over(std::move(f.src), 2, 11);
  EXPECT_EQ(c->NT, 5);
  EXPECT_EQ(c->frameBytes, size_t(FakeSource::kW * FakeSource::kH * 3));
  EXPECT_EQ(c->backend, "fake");
  EXPECT_EQ(c->residentBytes(), c->frameBytes * 14 + 1000);
  std::vector<uint8_t> buf(c->frameBytes);
  for (int k = 0; k < 12; ++k) {
    ASSERT_EQ(c->pull(buf.data()), k % 5);
    ASSERT_EQ(buf, FakeSource::frame(k % 5));
    EXPECT_EQ(c->position(), (k + 1) % 5);
  }
  EXPECT_EQ(c->seeks(), 0u);
  EXPECT_EQ(counters->seeks.load(), 0);
  EXPECT_GE(counters->rewinds.load(), 2);
}

TEST(DriverCursor, HistoryAndLookAheadAreServedWithoutSeeking) {
  Fake f(40);
  auto* counters = f.counters.get();
  auto c = DriverCursor::over(std::move(f.src), 2, 11);
  std::vector<uint8_t> buf(c->frameBytes);
  int got = -1;

  // Only frames 0 and 1 can have been decoded: 3 is a real seek.
  EXPECT_EQ(c->pullAt(3, buf.data()), 3);
  EXPECT_EQ(c->seeks(), 1u);
  const uint64_t s0 = c->seeks();
  EXPECT_EQ(c->pullAt(3, buf.data()), 3);  // the same frame again, from history
  EXPECT_EQ(buf, FakeSource::frame(3));
  EXPECT_EQ(c->seeks(), s0);

  for (int i = 4; i <= 15; ++i) ASSERT_EQ(c->pull(buf.data()), i);
  waitIdle(*counters);
  const int decodedBefore = counters->nexts.load();
  // Back 10 frames, inside the 11 the history keeps.
  const uint8_t* p = c->pullAt(5, &got);
  EXPECT_EQ(got, 5);
  EXPECT_EQ(frameId(p), 5);
  EXPECT_EQ(std::vector<uint8_t>(p, p + c->frameBytes), FakeSource::frame(5));
  EXPECT_EQ(c->pull(buf.data()), 6);  // and plain pulls walk on through history
  EXPECT_EQ(buf, FakeSource::frame(6));
  EXPECT_EQ(c->seeks(), s0);
  EXPECT_EQ(counters->nexts.load(), decodedBefore);

  // Forward inside the look-ahead: let the producer fill it, then skip over a frame.
  for (int i = 7; i <= 15; ++i) ASSERT_EQ(c->pull(buf.data()), i);
  waitIdle(*counters);  // 16 and 17 decoded
  EXPECT_EQ(c->pullAt(17, buf.data()), 17);
  EXPECT_EQ(buf, FakeSource::frame(17));
  EXPECT_EQ(c->seeks(), s0);
  EXPECT_EQ(counters->seeks.load(), int(s0));

  // 20 frames away is a real seek, served correctly, and the walk goes on from there.
  EXPECT_EQ(c->pullAt(37, buf.data()), 37);
  EXPECT_EQ(buf, FakeSource::frame(37));
  EXPECT_EQ(c->seeks(), s0 + 1);
  for (int k : {38, 39, 0, 1}) {
    ASSERT_EQ(c->pull(buf.data()), k);
    ASSERT_EQ(buf, FakeSource::frame(k));
  }
  // An index the ring never held: a real seek too.
  EXPECT_EQ(c->pullAt(20, buf.data()), 20);
  EXPECT_EQ(c->seeks(), s0 + 2);
}

TEST(DriverCursor, MutableSlotsAreNeverServedAgain) {
  Fake f(30);
  auto c = DriverCursor::over(std::move(f.src), 2, 11);
  int got = -1;
  uint8_t* p = c->pullMutAt(3, &got);
  ASSERT_EQ(got, 3);
  std::memset(p, 0xEE, c->frameBytes);  // the paste writes into the frame
  const uint64_t s = c->seeks();
  const uint8_t* q = c->pullAt(3, &got);
  EXPECT_EQ(got, 3);
  EXPECT_EQ(std::vector<uint8_t>(q, q + c->frameBytes), FakeSource::frame(3));
  EXPECT_EQ(c->seeks(), s + 1);

  // Plain pulls after a mutable one never step back into it either.
  uint8_t* m = c->pullMut(&got);
  ASSERT_EQ(got, 4);
  std::memset(m, 0xEE, c->frameBytes);
  std::vector<uint8_t> buf(c->frameBytes);
  EXPECT_EQ(c->pull(buf.data()), 5);
  EXPECT_EQ(c->pullAt(4, buf.data()), 4);
  EXPECT_EQ(buf, FakeSource::frame(4));
}

// While a seek is still pending, the frame the producer was about to decode is not what
// comes next: asking for it must seek again, not wait for the pending target.
TEST(DriverCursor, ASeekPendingBehindASlowDecodeIsNotMistakenForTheNextFrame) {
  Fake f(40);
  f.src->delay = 100ms;
  auto c = DriverCursor::over(std::move(f.src), 2, 11);
  std::vector<uint8_t> buf(c->frameBytes);
  ASSERT_EQ(c->pull(buf.data()), 0);  // the producer is now inside the decode of frame 1
  c->seek(30);
  EXPECT_EQ(c->pullAt(1, buf.data()), 1);
  EXPECT_EQ(buf, FakeSource::frame(1));
  EXPECT_EQ(c->seeks(), 2u);
}

TEST(DriverCursor, OutOfRangeIndicesAreRefusedAndTheCursorGoesOn) {
  Fake f(30);
  auto c = DriverCursor::over(std::move(f.src), 2, 11);
  std::vector<uint8_t> buf(c->frameBytes);
  EXPECT_EQ(c->pull(buf.data()), 0);
  EXPECT_EQ(refusal([&] { c->pullAt(30, buf.data()); }), "ka_driver: seek(30) outside [0,30)");
  int got;
  EXPECT_EQ(refusal([&] { c->pullMutAt(-1, &got); }), "ka_driver: seek(-1) outside [0,30)");
  EXPECT_EQ(refusal([&] { c->seek(31); }), "ka_driver: seek(31) outside [0,30)");
  EXPECT_EQ(c->pull(buf.data()), 1);
  EXPECT_EQ(buf, FakeSource::frame(1));
  c->seek(12);
  EXPECT_EQ(c->position(), 12);
  EXPECT_EQ(c->pull(buf.data()), 12);
}

TEST(DriverCursor, ASeekFailureIsStoredWithItsOwnPrefix) {
  Fake f(40);
  f.src->failSeeks = true;
  auto c = DriverCursor::over(std::move(f.src), 2, 11);
  std::vector<uint8_t> buf(c->frameBytes);
  EXPECT_EQ(refusal([&] { c->pullAt(30, buf.data()); }), "ka_driver: seek failed: ka_driver: no seeking today");
  EXPECT_EQ(refusal([&] { c->pull(buf.data()); }), "ka_driver: seek failed: ka_driver: no seeking today");
}

// Copying pulls from two threads: each call is atomic, so whatever the interleaving a
// frame always matches the index it is reported under. (A pointer handed out by the
// in-place pulls is only guaranteed until the cursor moves on, which another thread may
// do at any time, so they are not shared this way.)
TEST(DriverCursor, ConcurrentPullersAlwaysGetConsistentFrames) {
  Fake f(50);
  auto c = DriverCursor::over(std::move(f.src), 2, 5);
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};
  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> buf(c->frameBytes);
    for (int k = 0; k < 400; ++k) {
      switch (rng() % 4) {
        case 0: {
          const int got = c->pull(buf.data());
          if (buf != FakeSource::frame(got)) ++bad;
          break;
        }
        case 1: {
          const int want = static_cast<int>(rng() % 50);
          if (c->pullAt(want, buf.data()) != want || buf != FakeSource::frame(want)) ++bad;
          break;
        }
        case 2: {  // mostly history and look-ahead hits
          const int want = (c->position() + 49 + static_cast<int>(rng() % 4)) % 50;
          if (c->pullAt(want, buf.data()) != want || buf != FakeSource::frame(want)) ++bad;
          break;
        }
        default:
          c->seek(static_cast<int>(rng() % 50));
      }
    }
  };
  std::thread observer([&] {
    while (!done) {
      if (c->position() < 0 || c->residentBytes() == 0) ++bad;
      c->seeks();
      std::this_thread::yield();
    }
  });
  std::thread a(worker, 1u), b(worker, 2u);
  a.join();
  b.join();
  done = true;
  observer.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(c->seeks(), 0u);
}

TEST(DriverCursor, RefusesASourceWithNothingToPlay) {
  Fake f(0);
  EXPECT_EQ(refusal([&] { DriverCursor::over(std::move(f.src), 2, 11); }),
            "ka_driver: fake has 0 frames of 45 bytes — nothing to play, refusing");
}

TEST(DriverCursor, DestructionWhileTheProducerDecodesJoinsCleanly) {
  for (int k = 0; k < 3; ++k) {
    Fake f(20);
    f.src->delay = 150ms;
    auto c = DriverCursor::over(std::move(f.src), 2, 11);
    std::this_thread::sleep_for(20ms);  // the producer is inside next()
    const auto t0 = std::chrono::steady_clock::now();
    c.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  }
  // And while a real decoder's own threads are busy.
  if (!test::fixtureDir().empty()) {
    auto c = DriverCursor::over(driver::openMp4(test::driverFixture("h264_420.mp4"), test::kNT, test::kW, test::kH),
                                2, 11);
    std::vector<uint8_t> buf(c->frameBytes);
    c->pullAt(25, buf.data());
    c->seek(3);
  }
}

// Frames through the cursor against frames decoded straight from a second source.
class CursorOverMp4 : public ::testing::Test {
 protected:
  void SetUp() override {
    KA_REQUIRE_DRIVER_FIXTURES();
    auto src = driver::openMp4(test::driverFixture("h264_420.mp4"), test::kNT, test::kW, test::kH);
    std::vector<uint8_t> f(src->frameBytes());
    while (src->next(f.data())) ref.push_back(f);
    ASSERT_EQ(ref.size(), size_t(test::kNT));
  }
  std::vector<std::vector<uint8_t>> ref;
};

TEST_F(CursorOverMp4, EveryWayOfReachingAFrameServesThatFrame) {
  test::StderrCapture quiet;  // the decoder's own chatter
  auto c = DriverCursor::over(driver::openMp4(test::driverFixture("h264_420.mp4"), test::kNT, test::kW, test::kH),
                              2, 11);
  std::vector<uint8_t> buf(c->frameBytes);
  for (int k = 0; k < 2 * test::kNT + 5; ++k) {  // across two loop closures
    ASSERT_EQ(c->pull(buf.data()), k % test::kNT);
    ASSERT_EQ(buf, ref[k % test::kNT]) << k;
  }
  EXPECT_EQ(c->seeks(), 0u);
  int got = -1;
  const uint8_t* p = c->pullAt(0, &got);  // history, across the loop closure
  EXPECT_EQ(std::vector<uint8_t>(p, p + c->frameBytes), ref[0]);
  EXPECT_EQ(c->seeks(), 0u);
  // Targets are chosen so that whether they are still in the ring never depends on how
  // far the producer has got: either never decoded recently, or served just before.
  struct Step {
    int index;
    bool seeks;
  } steps[] = {{12, true}, {13, false}, {10, true}, {10, false}, {11, false},
               {17, true}, {16, true},  {28, true}};
  uint64_t expectSeeks = 0;
  for (const Step& s : steps) {
    expectSeeks += s.seeks ? 1 : 0;
    ASSERT_EQ(c->pullAt(s.index, buf.data()), s.index);
    EXPECT_EQ(buf, ref[s.index]) << s.index;
    EXPECT_EQ(c->seeks(), expectSeeks) << s.index;
  }
  ASSERT_EQ(c->pull(buf.data()), 29);
  EXPECT_EQ(buf, ref[29]);
  for (int k : {0, 1, 2}) {  // the loop closes after a seek too
    ASSERT_EQ(c->pull(buf.data()), k);
    EXPECT_EQ(buf, ref[k]);
  }
}

TEST_F(CursorOverMp4, ARealDriverOneFrameShortStopsEveryPull) {
  test::ScopedEnv hw("KA_DRIVER_HWDEC", "0");
  test::StderrCapture quiet;
  std::vector<std::vector<uint8_t>> ref29;  // the member decoded straight through
  {
    auto direct = driver::openMovie(test::driverFixture("h264_29.mkv"), "matroska", test::kNT, test::kW, test::kH);
    std::vector<uint8_t> f(direct->frameBytes());
    while (direct->next(f.data())) ref29.push_back(f);
    ASSERT_EQ(ref29.size(), 29u);
  }
  auto src = driver::openMovie(test::driverFixture("h264_29.mkv"), "matroska", test::kNT, test::kW, test::kH);
  const std::string ended = "ka_driver: " + src->name() +
                            " ended after 29 frames, the manifest says NT=30 — a short driver is a session that "
                            "stops part way through the loop, refusing";
  auto c = DriverCursor::over(std::move(src), 2, 11);
  std::vector<uint8_t> buf(c->frameBytes);
  std::string text;
  int k = 0;
  for (; k < test::kNT && text.empty(); ++k)
    text = refusal([&] {
      ASSERT_EQ(c->pull(buf.data()), k);
      ASSERT_EQ(buf, ref29[k]);
    });
  EXPECT_EQ(text, ended);
  EXPECT_EQ(refusal([&] { c->pullAt(0, buf.data()); }), ended);
}

// A bundle directory holding the given driver members (links to the fixtures).
struct Bundle {
  test::TempDir d;
  Bundle(int nt, int crop, const std::string& extra = "") {
    test::writeFile(d / "manifest.json", test::driverManifest(nt, test::kW, test::kH, crop, extra));
  }
  void link(const std::string& fixture, const std::string& member) const {
    ka::mkdirs(ka::dirName(d / member));
    ASSERT_EQ(::symlink(test::driverFixture(fixture).c_str(), (d / member).c_str()), 0) << member;
  }
  // A target_frames/ directory with frames 0..n-1 (all the same picture).
  void jpgDir(int n, const std::string& name = "target_frames") const {
    for (int i = 0; i < n; ++i) {
      char f[32];
      std::snprintf(f, sizeof f, "/frame_%06d.jpg", i);
      link("jpg/frame_000000.jpg", name + f);
    }
  }
  Manifest manifest() const { return loadManifest(d.path()); }
};

TEST(DriverCursorOpen, ChoosesBetweenTheJpegDirectoryAndTheMp4) {
  KA_REQUIRE_DRIVER_FIXTURES();
  const std::string jpgLine = "[ka-driver] target_frames/ (raw jpg, 30 frames) — read one frame per pull\n";
  const std::string notUsed =
      "[ka-driver] KA_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; target_frames.mp4 is the "
      "member this consumer reads\n";
  Bundle b(test::kNT, 64);
  b.jpgDir(test::kNT);
  {
    test::ScopedEnv env("KA_DRIVER_PREFER_MP4", "1");  // no MP4: the directory it is
    test::StderrCapture err;
    EXPECT_EQ(DriverCursor::open(b.manifest(), 2, 11)->backend, "jpg/stb");
    EXPECT_EQ(err.text(), jpgLine);
  }
  b.link("h264_420.mp4", "target_frames.mp4");
  for (const char* value : {"", "true", "01"}) {
    test::ScopedEnv env("KA_DRIVER_PREFER_MP4", value);
    test::StderrCapture err;
    EXPECT_EQ(DriverCursor::open(b.manifest(), 2, 11)->backend, "jpg/stb") << value;
    EXPECT_EQ(err.text(), jpgLine);
  }
  test::ScopedEnv env("KA_DRIVER_PREFER_MP4", "1");
  test::ScopedEnv hw("KA_DRIVER_HWDEC", "0");
  test::StderrCapture err;
  auto c = DriverCursor::open(b.manifest(), 0, -4);
  EXPECT_THAT(c->backend, StartsWith("mp4/libavcodec "));
  const std::string text = err.text();
  EXPECT_THAT(text, HasSubstr(notUsed));
  EXPECT_THAT(text, HasSubstr("[ka-driver] target_frames.mp4 decoded IN PLACE (" + c->backend +
                              ", 30 frames 96x64, look-ahead 1, history 0) — no frame of the driver is "
                              "expanded ahead of the paste\n"));
}

TEST(DriverCursorOpen, ADirectoryWithoutItsLastFrameIsNotADriver) {
  KA_REQUIRE_DRIVER_FIXTURES();
  Bundle b(test::kNT, 64);
  b.jpgDir(test::kNT - 1);
  EXPECT_EQ(refusal([&] { DriverCursor::open(b.manifest(), 2, 11); }),
            "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" +
                (b.d / "target_frames.mp4") +
                ") — there is no driver video to play. REFUSING to create a session.");
  // Renamed members are looked for under the names the manifest gives.
  Bundle r(test::kNT, 64, ", \"target_frames\": \"frames\", \"target_frames_mp4\": \"drv.m4v\"");
  r.link("h264_420.mp4", "drv.m4v");
  r.link("h264_420.mp4", "target_frames.mp4");
  r.jpgDir(test::kNT);  // target_frames/ is not the directory this bundle names
  test::ScopedEnv hw("KA_DRIVER_HWDEC", "0");
  test::StderrCapture err;
  auto c = DriverCursor::open(r.manifest(), 2, 11);
  EXPECT_THAT(err.text(), HasSubstr("[ka-driver] drv.m4v decoded IN PLACE ("));
  r.jpgDir(test::kNT, "frames");
  EXPECT_EQ(DriverCursor::open(r.manifest(), 2, 11)->backend, "jpg/stb");
}

TEST(DriverCursorOpen, PriorIsServedAsHalfFloatPlanes) {
  KA_REQUIRE_DRIVER_FIXTURES();
  auto direct = driver::openPriorHevc(test::driverFixture("prior_444.mov"), test::kNT, test::kSide);
  std::vector<uint8_t> want(direct->frameBytes());
  ASSERT_TRUE(direct->next(want.data()));

  Bundle b(test::kNT, test::kSide);
  EXPECT_EQ(refusal([&] { DriverCursor::openPrior(b.manifest(), 2, 11); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + (b.d / "P_hevc.mov") +
                ") — there is no warp prior to play. REFUSING to create a session.");
  b.link("prior_444.mov", "source_frames.hevc");  // the canonical name
  test::StderrCapture err;
  auto c = DriverCursor::openPrior(b.manifest(), 2, 11);
  EXPECT_EQ(c->frameBytes, want.size());
  EXPECT_EQ(err.text(), "tavrin: identity source ready — 30 frames 64x64, played straight from P_hevc.mov (" +
                            c->backend + "); nothing is unpacked to disk\n");
  std::vector<uint8_t> got(c->frameBytes);
  EXPECT_EQ(c->pullAt(0, got.data()), 0);
  EXPECT_EQ(got, want);

  Bundle named(test::kNT, test::kSide, ", \"P_hevc\": \"prior.mov\"");
  named.link("prior_444.mov", "prior.mov");
  EXPECT_EQ(DriverCursor::openPrior(named.manifest(), 1, 0)->NT, test::kNT);
}

}  // namespace
}  // namespace ka
