// The offline stream run: every frame equals the single-frame render and paste of its
// keypoints, in order and once; the producer stays within its ring; drops, NT = 1,
// failures mid-run and the creation refusals; the movie written from a speech file;
// cancelling a run or a movie.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_file.h"
#include "ka/ka.h"
#include "session/offline_stream.h"
#include "tests/support/test_support.h"

namespace {
using namespace ka::test;

std::string fcaDir(const std::string& rel) {
  const std::string d = fixtureDir();
  return d.empty() ? "" : d + "/fca/" + rel;
}
std::string encoderPath() { return fcaDir("w2v/audio_encoder.onnx"); }

#define NEED_FIXTURES()                                       \
  do {                                                        \
    if (fixtureDir().empty()) GTEST_SKIP() << "no fixtures";  \
  } while (0)

struct StreamDel {
  void operator()(ka_stream* s) const { ka_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<ka_stream, StreamDel>;

struct Delivered {
  std::vector<int> frames;
  std::vector<std::vector<uint8_t>> rgb;
  std::vector<int> storedAtCallback;  // crops in the ring or consumed when frame k arrived
  const ka::stream::OfflineStream* stream = nullptr;
  bool holdFirst = false;  // a slow host: frame 0's callback waits until the ring is full
  bool ringFilled = false;
};

void collect(void* user, int frame, const uint8_t* rgb, int w, int h) {
  auto* d = static_cast<Delivered*>(user);
  d->frames.push_back(frame);
  d->rgb.emplace_back(rgb, rgb + static_cast<size_t>(w) * h * 3);
  if (d->holdFirst && frame == 0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (d->stream->cropsStored() < 1 + ka::stream::kRingCrops && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    d->ringFilled = d->stream->cropsStored() == 1 + ka::stream::kRingCrops;
    // Time enough to overrun the ring if it could.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (d->stream) d->storedAtCallback.push_back(d->stream->cropsStored());
}

// Pastes like the library, remembers each frame's driver index, and fails one step at
// a chosen frame, or holds its render until told to go on.
class Probe : public ka::stream::OfflineStream {
 public:
  using OfflineStream::OfflineStream;
  int failRenderAt = -1, failPasteAt = -1;
  int holdRenderAt = -1;
  std::atomic<bool> holding{false}, release{false};
  std::vector<int> pastedSi;

 protected:
  const float* renderCrop(int si, const float* xs, const float* xd) override {
    if (rendered_ == holdRenderAt) {
      holding = true;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (rendered_++ == failRenderAt) return nullptr;
    return OfflineStream::renderCrop(si, xs, xd);
  }
  bool pasteCrop(int si, const float* crop, uint8_t* rgb, size_t cap) override {
    if (static_cast<int>(pastedSi.size()) == failPasteAt) return false;
    pastedSi.push_back(si);
    return OfflineStream::pasteCrop(si, crop, rgb, cap);
  }

 private:
  int rendered_ = 0;
};

std::vector<float> speech() { return ka::readAudio16k(fcaDir("clips/speech.wav")); }

// The frames the run should deliver, made one by one through the single-frame interface
// from the generator's deltas.
std::vector<std::vector<uint8_t>> expectedFrames(const std::vector<float>& x, int drop, float gain) {
  const std::string bundle = fcaDir("bundle");
  ka_fca* f = ka_fca_create(encoderPath().c_str(), (bundle + "/fca_stream.onnx").c_str(), 1);
  EXPECT_NE(f, nullptr) << ka_fca_last_error();
  const int frames = static_cast<int>((x.size() + 639) / 640);
  std::vector<float> deltas(static_cast<size_t>(frames) * 63);
  EXPECT_EQ(ka_fca_deltas(f, x.data(), static_cast<int>(x.size()), deltas.data(), frames), frames);
  ka_fca_destroy(f);
  const std::string xsBytes = slurp(bundle + "/xs_target.bin");
  std::vector<float> xsTarget(xsBytes.size() / 4);
  std::memcpy(xsTarget.data(), xsBytes.data(), xsBytes.size());

  ka_ctx* ctx = ka_create(bundle.c_str(), "render", 1, nullptr);
  EXPECT_NE(ctx, nullptr) << ka_last_error();
  const int nt = ka_nt(ctx);
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> rgb(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
  float xd[63];
  for (int i = drop; i < frames; ++i) {
    const int si = i % nt;
    const float* xs = xsTarget.data() + si * 63;
    for (int j = 0; j < 63; ++j) xd[j] = xs[j] + gain * deltas[static_cast<size_t>(i) * 63 + j];
    const float* crop = ka_render_kp_crop(ctx, si, xs, xd);
    EXPECT_NE(crop, nullptr) << ka_last_error();
    EXPECT_EQ(ka_paste_crop(ctx, si, crop, rgb.data(), rgb.size()), 1) << ka_last_error();
    out.push_back(rgb);
  }
  ka_destroy(ctx);
  return out;
}

TEST(Stream, FramesEqualTheSingleFramePathInOrder) {
  NEED_FIXTURES();
  const std::vector<float> x = speech();
  const int drop = 3;
  const float gain = 1.5f;
  StreamPtr st(ka_stream_create(fcaDir("bundle").c_str(), encoderPath().c_str(), 1, drop, gain));
  ASSERT_NE(st, nullptr) << ka_stream_last_error();
  EXPECT_EQ(ka_stream_width(st.get()), 160);
  EXPECT_EQ(ka_stream_height(st.get()), 96);

  Delivered d;
  d.stream = st.get();
  d.holdFirst = true;
  const int n = ka_stream_run(st.get(), x.data(), static_cast<int>(x.size()), collect, &d);
  const auto want = expectedFrames(x, drop, gain);
  ASSERT_EQ(n, static_cast<int>(want.size())) << ka_stream_last_error();
  EXPECT_STREQ(ka_stream_last_error(), "");
  ASSERT_EQ(d.frames.size(), want.size());
  for (int k = 0; k < n; ++k) {
    EXPECT_EQ(d.frames[k], k);
    EXPECT_TRUE(d.rgb[k] == want[k]) << "frame " << k << " differs from render + paste";
    // Frame k is consumed when it is called back; at most 4 more wait in the ring.
    EXPECT_LE(d.storedAtCallback[k], k + 1 + ka::stream::kRingCrops) << "frame " << k;
  }
  EXPECT_TRUE(d.ringFilled) << "the producer did not run ahead while the host held frame 0";

  // The handle serves a second utterance the same way.
  Delivered again;
  ASSERT_EQ(ka_stream_run(st.get(), x.data(), static_cast<int>(x.size()), collect, &again), n);
  EXPECT_TRUE(again.rgb == d.rgb);
}

TEST(Stream, DropsAndDriverIndices) {
  NEED_FIXTURES();
  const std::vector<float> x = speech();
  const int frames = static_cast<int>((x.size() + 639) / 640);
  struct Case {
    const char* bundle;
    int count, drop, delivered;
  } cases[] = {
      {"bundle", frames * 640, frames, 0},      // drop = F: nothing rendered, no callback
      {"bundle", frames * 640, frames + 5, 0},  // drop > F
      {"bundle", 0, 0, 0},                      // no audio
      {"bundle", 641, 1, 1},                    // 2 frames, the first dropped
      {"bundle", 640 * 14, 2, 12},              // driver index wraps (NT 6) and counts the dropped
      {"nt1", 640 * 9, 2, 7},                   // NT 1: always driver frame 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bundle << ", " << c.count << " samples, drop " << c.drop);
    Probe p(fcaDir(c.bundle), encoderPath(), 1, c.drop, 1.0f);
    Delivered d;
    EXPECT_EQ(p.run(x.data(), c.count, collect, &d), c.delivered);
    EXPECT_EQ(static_cast<int>(d.frames.size()), c.delivered);
    if (c.delivered == 0) {
      EXPECT_EQ(p.cropsStored(), 0);
    }
    ASSERT_EQ(static_cast<int>(p.pastedSi.size()), c.delivered);
    for (int k = 0; k < c.delivered; ++k) EXPECT_EQ(p.pastedSi[k], p.nt() < 2 ? 0 : (k + c.drop) % p.nt()) << k;
  }
}

// A failure at frame k delivers frames 0 .. k-1, in order, then reports; destroying the
// handle right after leaks nothing (the AddressSanitizer build checks).
TEST(Stream, FailureMidRunStopsAfterThePreviousFrame) {
  NEED_FIXTURES();
  const std::vector<float> x = speech();
  struct Case {
    int renderAt, pasteAt, delivered;
    const char* cause;
  } cases[] = {
      {-1, 5, 5, "ka_stream_run: render/paste failed (frame 5: "},
      {-1, 0, 0, "ka_stream_run: render/paste failed (frame 0: "},
      {7, -1, 7, "ka_stream_run: render/paste failed (frame 7: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "render fails at " << c.renderAt << ", paste at " << c.pasteAt);
    auto p = std::make_unique<Probe>(fcaDir("bundle"), encoderPath(), 1, 0, 1.0f);
    p->failRenderAt = c.renderAt;
    p->failPasteAt = c.pasteAt;
    Delivered d;
    const std::string text = refusal([&] { p->run(x.data(), static_cast<int>(x.size()), collect, &d); });
    EXPECT_EQ(text.rfind(c.cause, 0), 0u) << text;
    ASSERT_EQ(static_cast<int>(d.frames.size()), c.delivered);
    for (int k = 0; k < c.delivered; ++k) EXPECT_EQ(d.frames[k], k);
    p.reset();
  }
}

TEST(Stream, CreateAndRunRefusals) {
  NEED_FIXTURES();
  TempDir tmp;
  auto damaged = [&](const std::string& name, auto&& damage) {
    const std::string dir = tmp / name;
    std::filesystem::copy(fcaDir("bundle"), dir, std::filesystem::copy_options::recursive);
    damage(dir);
    return dir;
  };
  const std::string noFca = damaged("no_fca", [](const std::string& d) { std::filesystem::remove(d + "/fca_stream.onnx"); });
  const std::string noXs = damaged("no_xs", [](const std::string& d) { std::filesystem::remove(d + "/xs_target.bin"); });
  const std::string longXs = damaged("long_xs", [](const std::string& d) {
    writeFile(d + "/xs_target.bin", slurp(d + "/xs_target.bin") + std::string(4, '\0'));
  });
  const std::string noRender = damaged("no_render", [](const std::string& d) { std::filesystem::remove(d + "/model_render.onnx"); });
  const std::string bundle = fcaDir("bundle"), enc = encoderPath();
  struct Case {
    const char* dir;
    const char* encoder;
    int drop;
    float gain;
    std::string text;  // exact, or a prefix when it ends in ": "
  } cases[] = {
      {nullptr, enc.c_str(), 0, 1.0f, "ka_stream_create: NULL bundle_dir/encoder_path"},
      {bundle.c_str(), nullptr, 0, 1.0f, "ka_stream_create: NULL bundle_dir/encoder_path"},
      {"/nonexistent/bundle", enc.c_str(), 0, 1.0f, "ka_create: "},
      {noFca.c_str(), enc.c_str(), 0, 1.0f, "ka_fca_create: "},
      {bundle.c_str(), "/nonexistent/w2v.onnx", 0, 1.0f, "ka_fca_create: "},
      {noXs.c_str(), enc.c_str(), 0, 1.0f, "ka_stream_create: cannot read xs_target.bin (NT*63 f32)"},
      {longXs.c_str(), enc.c_str(), 0, 1.0f, "ka_stream_create: cannot read xs_target.bin (NT*63 f32)"},
      {bundle.c_str(), enc.c_str(), -1, 1.0f, "ka_stream_create: frames to drop must be >= 0, got -1"},
      {bundle.c_str(), enc.c_str(), 0, std::nanf(""), "ka_stream_create: delta gain must be finite"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ka_stream_create(c.dir, c.encoder, 1, c.drop, c.gain), nullptr);
    const std::string got = ka_stream_last_error();
    if (c.text.size() > 2 && c.text.compare(c.text.size() - 2, 2, ": ") == 0) {
      EXPECT_EQ(got.rfind(c.text, 0), 0u) << got;
      // The family's own text is not prefixed a second time.
      EXPECT_EQ(got.find(c.text, 1), std::string::npos) << got;
    } else {
      EXPECT_EQ(got, c.text);
    }
  }

  // The director under "render" is only needed by the first render: it fails the run.
  StreamPtr st(ka_stream_create(noRender.c_str(), enc.c_str(), 1, 0, 1.0f));
  ASSERT_NE(st, nullptr) << ka_stream_last_error();
  const std::vector<float> x = speech();
  Delivered d;
  EXPECT_EQ(ka_stream_run(st.get(), x.data(), 6400, collect, &d), -1);
  EXPECT_EQ(std::string(ka_stream_last_error()).rfind("ka_stream_run: render/paste failed (frame 0: ka_render_kp_crop: ", 0), 0u)
      << ka_stream_last_error();
  EXPECT_TRUE(d.frames.empty());
  EXPECT_EQ(ka_stream_run(st.get(), x.data(), 6400, nullptr, nullptr), -1);
  EXPECT_STREQ(ka_stream_last_error(), "ka_stream_run: NULL handle/samples/callback");
  EXPECT_EQ(ka_stream_run(nullptr, x.data(), 6400, collect, &d), -1);
  EXPECT_EQ(ka_stream_width(nullptr), 0);
  EXPECT_EQ(ka_stream_height(nullptr), 0);
  ka_stream_destroy(nullptr);
}

// A movie that cannot be made leaves nothing in its folder, not even the writer's
// temporary, and says why; one that can holds every frame with its speech.
TEST(Stream, WriteMovieFailuresLeaveNoFile) {
  NEED_FIXTURES();
  TempDir tmp;
  const std::string noRender = tmp / "no_render";
  std::filesystem::copy(fcaDir("bundle"), noRender, std::filesystem::copy_options::recursive);
  std::filesystem::remove(noRender + "/model_render.onnx");
  const std::string out = tmp / "out";
  std::filesystem::create_directory(out);
  StreamPtr good(ka_stream_create(fcaDir("bundle").c_str(), encoderPath().c_str(), 1, 0, 1.0f));
  StreamPtr dropAll(ka_stream_create(fcaDir("bundle").c_str(), encoderPath().c_str(), 1, 50, 1.0f));
  StreamPtr broken(ka_stream_create(noRender.c_str(), encoderPath().c_str(), 1, 0, 1.0f));
  ASSERT_TRUE(good && dropAll && broken) << ka_stream_last_error();
  const std::string speechWav = fcaDir("clips/speech.wav"), tinyWav = fcaDir("clips/tiny.wav");
  const std::string clip = out + "/clip.mp4", noWav = tmp / "none.wav", noDir = tmp / "no_dir/clip.mp4";
  struct Case {
    ka_stream* st;
    const char* audio;
    const char* out;
    std::string text;  // prefix
  } cases[] = {
      {nullptr, speechWav.c_str(), clip.c_str(), "ka_stream_write_movie: NULL handle/audio_path/out_path"},
      {good.get(), nullptr, clip.c_str(), "ka_stream_write_movie: NULL handle/audio_path/out_path"},
      {good.get(), noWav.c_str(), clip.c_str(), "ka_stream_write_movie: readAudio16k: cannot open "},
      {dropAll.get(), tinyWav.c_str(), clip.c_str(),
       "ka_stream_write_movie: no frame left to render (7 frames of speech, 50 dropped)"},
      {broken.get(), speechWav.c_str(), clip.c_str(), "ka_stream_run: render/paste failed (frame 0: "},
      {good.get(), speechWav.c_str(), noDir.c_str(), "ka_stream_write_movie: movie writer: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ka_stream_movie_stats stats{};
    EXPECT_EQ(ka_stream_write_movie(c.st, c.audio, c.out, nullptr, nullptr, &stats), -1);
    EXPECT_EQ(std::string(ka_stream_last_error()).rfind(c.text, 0), 0u) << ka_stream_last_error();
    EXPECT_TRUE(std::filesystem::is_empty(out));
  }

  struct Seen {
    std::vector<int> done;
    int total = -1;
  } seen;
  auto progress = [](void* user, int done, int total) {
    auto* s = static_cast<Seen*>(user);
    s->done.push_back(done);
    s->total = total;
  };
  ka_stream_movie_stats stats{};
  const int n = ka_stream_write_movie(good.get(), speechWav.c_str(), clip.c_str(), progress, &seen, &stats);
  const int want = static_cast<int>((speech().size() + 639) / 640);
  ASSERT_EQ(n, want) << ka_stream_last_error();
  EXPECT_EQ(seen.total, want);
  ASSERT_EQ(seen.done.size(), static_cast<size_t>(want) + 1);
  for (int i = 0; i <= want; ++i) EXPECT_EQ(seen.done[static_cast<size_t>(i)], i);
  EXPECT_EQ(stats.frames, want);
  EXPECT_EQ(stats.audio_samples, 640LL * want);
  EXPECT_EQ(stats.speech_samples, static_cast<int64_t>(speech().size()));
  EXPECT_GE(stats.run_seconds, stats.encode_seconds);
  EXPECT_EQ(std::vector<std::filesystem::path>(std::filesystem::directory_iterator(out), {}),
            std::vector<std::filesystem::path>{clip});
}

// A cancel stops a run where it is, from the run's own callback or from another thread
// (while the host holds a frame, while the consumer waits for a render, before the
// deltas are made): no frame after it, the call tells it apart from a failure, a movie
// being written leaves no file, and the stream renders the next run whole. A cancel
// with no run in progress changes nothing.
TEST(Stream, CancelStopsTheRunWhereItIs) {
  NEED_FIXTURES();
  TempDir tmp;
  const std::vector<float> one = speech();
  std::vector<float> x;  // 20 s: a cancel that did not take would show as frames
  while (x.size() < 16000 * 20) x.insert(x.end(), one.begin(), one.end());
  const int total = static_cast<int>((x.size() + 639) / 640);
  const int n = static_cast<int>(x.size());
  StreamPtr st(ka_stream_create(fcaDir("bundle").c_str(), encoderPath().c_str(), 1, 0, 1.0f));
  ASSERT_NE(st, nullptr) << ka_stream_last_error();
  EXPECT_EQ(ka_stream_cancel(st.get()), 0);
  EXPECT_EQ(ka_stream_cancel(nullptr), -1);

  struct Host {
    Host(ka_stream* s, int at) : st(s), cancelAt(at) {}
    ka_stream* st;
    int cancelAt;  // the frame (or progress count) whose callback cancels; -1: never
    std::vector<int> frames;
    int cancelled = -9;
    std::atomic<int> count{0};  // frames delivered, read from another thread
  };
  auto onFrame = [](void* user, int frame, const uint8_t*, int, int) {
    auto* h = static_cast<Host*>(user);
    h->frames.push_back(frame);
    ++h->count;
    if (frame == h->cancelAt) h->cancelled = ka_stream_cancel(h->st);
  };
  auto onProgress = [](void* user, int done, int) {
    auto* h = static_cast<Host*>(user);
    h->frames.push_back(done);
    if (done == h->cancelAt) h->cancelled = ka_stream_cancel(h->st);
  };

  {  // From the frame callback: that frame was delivered, no other after it.
    Host h{st.get(), 2};
    EXPECT_EQ(ka_stream_run(st.get(), x.data(), n, onFrame, &h), KA_STREAM_CANCELLED);
    EXPECT_STREQ(ka_stream_last_error(), "ka_stream_run: cancelled after 3 frames");
    EXPECT_EQ(h.cancelled, 1);
    EXPECT_EQ(h.frames, (std::vector<int>{0, 1, 2}));
  }
  {  // From another thread as soon as the run is in progress: before any frame.
    Host h{st.get(), -1};
    std::thread canceller([&] {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (ka_stream_cancel(st.get()) != 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    });
    const int got = ka_stream_run(st.get(), x.data(), n, onFrame, &h);
    canceller.join();
    EXPECT_EQ(got, KA_STREAM_CANCELLED) << ka_stream_last_error();
    EXPECT_LT(static_cast<int>(h.frames.size()), total);
    EXPECT_EQ(std::string(ka_stream_last_error()).rfind("ka_stream_run: cancelled after ", 0), 0u);
  }

  // A movie: cancelled once 3 frames are written, before the first, or from another
  // thread; its folder stays empty (no movie, no temporary), the stats say how far.
  const std::string wav = fcaDir("clips/speech.wav");
  const int wavFrames = static_cast<int>((one.size() + 639) / 640);
  const std::string dir = tmp / "movies", clip = dir + "/clip.mp4";
  std::filesystem::create_directory(dir);
  for (int at : {3, 0, -1}) {
    SCOPED_TRACE(testing::Message() << "movie cancelled at progress " << at);
    Host h{st.get(), at};
    std::atomic<bool> over{false};
    std::thread canceller([&] {
      while (at < 0 && !over && ka_stream_cancel(st.get()) != 1) std::this_thread::yield();
    });
    ka_stream_movie_stats stats{};
    const int got = ka_stream_write_movie(st.get(), wav.c_str(), clip.c_str(), onProgress, &h, &stats);
    over = true;
    canceller.join();
    EXPECT_EQ(got, KA_STREAM_CANCELLED) << ka_stream_last_error();
    const std::string text = ka_stream_last_error();
    if (at >= 0) {
      EXPECT_EQ(text, "ka_stream_write_movie: cancelled after " + std::to_string(at) + " of " +
                          std::to_string(wavFrames) + " frames, nothing written");
      EXPECT_EQ(stats.frames, at);
      EXPECT_EQ(h.frames.back(), at);
    } else {
      EXPECT_EQ(text.rfind("ka_stream_write_movie: cancelled after ", 0), 0u) << text;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir));
  }

  // The stream is as good as before: the next run and movie are whole.
  Host whole{st.get(), -1};
  EXPECT_EQ(ka_stream_run(st.get(), one.data(), static_cast<int>(one.size()), onFrame, &whole), wavFrames);
  EXPECT_EQ(ka_stream_write_movie(st.get(), wav.c_str(), clip.c_str(), nullptr, nullptr, nullptr), wavFrames);
  EXPECT_TRUE(std::filesystem::exists(clip));
  EXPECT_EQ(ka_stream_cancel(st.get()), 0);

  // The consumer waiting for a render that takes long is woken by the cancel: it
  // delivers the frames rendered before, none after, and the render under way ends the
  // producer's work.
  Probe p(fcaDir("bundle"), encoderPath(), 1, 0, 1.0f);
  p.holdRenderAt = 8;
  Host h{nullptr, -1};
  std::thread canceller([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((!p.holding || h.count < 8) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Mostly the consumer is blocked waiting for frame 8 by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(p.cancel());
    p.release = true;
  });
  const std::string text = refusal([&] { p.run(x.data(), n, onFrame, &h); });
  canceller.join();
  EXPECT_EQ(text, "ka_stream_run: cancelled after 8 frames");
  EXPECT_EQ(static_cast<int>(h.frames.size()), 8);
  EXPECT_EQ(p.cropsStored(), 8);
  EXPECT_FALSE(p.cancel());
}

}  // namespace
