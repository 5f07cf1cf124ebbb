// The utterance session through its C interface and its C++ class: refusals, options,
// the shape of an utterance (speech, ramp, idle), interruption, back-pressure and the
// pixels of what it delivers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "driver/image_io.h"
#include "ka/ka_a2x.h"
#include "tessera/json.h"
#include "tests/test_utt_util.h"

namespace ka::test {
namespace {

constexpr int kKp = kHostKpRows * 3;

std::vector<float> xsTarget() {
  std::ifstream in(uttFixture("motion-a2x") + "/xs_target.bin", std::ios::binary | std::ios::ate);
  std::vector<float> v(static_cast<size_t>(in.tellg()) / 4);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * 4));
  return v;
}

// The telemetry batch's metrics as name -> (count, sum); flushes the batch.
std::map<std::string, std::pair<double, double>> telemetryMetrics() {
  std::string doc(static_cast<size_t>(ka_tel_pending_json(nullptr, 0)), '\0');
  EXPECT_EQ(ka_tel_pending_json(doc.data(), doc.size()), static_cast<int64_t>(doc.size()));
  doc.pop_back();  // the terminating NUL
  ka_tel_flush();
  std::map<std::string, std::pair<double, double>> metrics;
  const tessera::json::JVal batch = tessera::json::parse(doc);
  for (const auto& m : batch.req("metrics").arr)
    metrics[m.req("name").str] = {m.req("count").num, m.req("sum").num};
  return metrics;
}

#define KA_NEED_UTT()                                                           \
  do {                                                                          \
    if (uttFixture("bundle").empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set"; \
  } while (0)

TEST(UttConfig, OptionsAndEnvironment) {
  KA_NEED_UTT();
  const std::string motion = uttFixture("motion-a2x");
  struct Case {
    const char* what;
    ka_utt_opts opts;
    const char* steadyEnv;
    const char* hybridEnv;
    const char* pipeEnv;
    std::string steady;
    bool hybrid;
    int eager;
    double autoEndMs;
    int endRamp, intRamp;
    bool pipe;
  };
  auto o = [&](const char* steady, int eager, double autoEnd, int endRamp, int intRamp) {
    ka_utt_opts x{};
    x.motion_dir = motion.c_str();
    x.steady_model = steady;
    x.eager = eager;
    x.auto_end_s = autoEnd;
    x.end_ramp_frames = endRamp;
    x.interrupt_ramp_frames = intRamp;
    return x;
  };
  const Case cases[] = {
      {"defaults", o(nullptr, 0, 0, 0, 0), nullptr, nullptr, nullptr, "b24_fp32", false, -1, 600, 6, 4, true},
      {"explicit", o("b4", 5, 1.5, 3, 2), nullptr, nullptr, nullptr, "b4", false, 5, 1500, 3, 2, true},
      {"env wins", o("b4", -2, -1, 0, 0), "-", nullptr, "0", "", true, -1, -1, 6, 4, false},
      {"hybrid env", o("", 0, 0, 0, 0), nullptr, "1", nullptr, "b24_fp32", true, -1, 600, 6, 4, true},
      {"hybrid env 0", o("", 0, 0, 0, 0), "b4", "0", "2", "b4", false, -1, 600, 6, 4, true},
      {"fixed eager ignores env", o("", 3, 0, 0, 0), nullptr, "1", nullptr, "b24_fp32", false, 3, 600, 6, 4, true},
  };
  for (const Case& c : cases) {
    ScopedEnv e1("KA_STEADY_MODEL", c.steadyEnv ? std::optional<std::string>(c.steadyEnv) : std::nullopt);
    ScopedEnv e2("KA_UTT_HYBRID", c.hybridEnv ? std::optional<std::string>(c.hybridEnv) : std::nullopt);
    ScopedEnv e3("KA_UTT_PIPELINE_PASTE", c.pipeEnv ? std::optional<std::string>(c.pipeEnv) : std::nullopt);
    const UtteranceConfig r = UtteranceConfig::resolve(c.opts, 7);
    EXPECT_EQ(r.steadyModel, c.steady) << c.what;
    EXPECT_EQ(r.hybrid, c.hybrid) << c.what;
    EXPECT_EQ(r.eager, c.eager) << c.what;
    EXPECT_DOUBLE_EQ(r.autoEndMs, c.autoEndMs) << c.what;
    EXPECT_EQ(r.endRampFrames, c.endRamp) << c.what;
    EXPECT_EQ(r.interruptRampFrames, c.intRamp) << c.what;
    EXPECT_EQ(r.pipelinePaste, c.pipe) << c.what;
    EXPECT_TRUE(r.useA2x) << c.what;
    EXPECT_EQ(r.threads, 7) << c.what;
  }
}

TEST(UttInterface, Refusals) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  ka_utt_opts none{};
  const std::string motion = uttFixture("motion-a2x");
  ka_utt_opts good = uttOpts(motion);

  EXPECT_EQ(ka_utt_create(nullptr, &good), nullptr);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_create: NULL ctx/opts");
  EXPECT_EQ(ka_utt_create(ctx.get(), nullptr), nullptr);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_create: NULL ctx/opts");
  EXPECT_EQ(ka_utt_create(ctx.get(), &none), nullptr);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_create: opts.motion_dir required");
  EXPECT_EQ(ka_utt_ready(nullptr), -1);

  UttPtr s(ka_utt_create(ctx.get(), &good));
  ASSERT_NE(s, nullptr) << ka_utt_last_error();
  EXPECT_STREQ(ka_utt_last_error(), "");
  // Speech pushed while the model loads is dropped: it never becomes speech frames.
  const std::vector<int16_t> early = speechFrames(6);
  const bool beforeReady = ka_utt_ready(s.get()) == 0;
  ASSERT_EQ(ka_utt_push_audio(s.get(), early.data(), static_cast<int>(early.size())), 1);
  int16_t pcm[4] = {};
  std::vector<uint8_t> rgb(s->frameBytes());
  struct Call {
    const char* what;
    std::function<int()> call;
    int want;
    const char* text;
  };
  const Call calls[] = {
      {"push null session", [&] { return ka_utt_push_audio(nullptr, pcm, 4); }, 0, "ka_utt_push_audio: bad args"},
      {"push null samples", [&] { return ka_utt_push_audio(s.get(), nullptr, 4); }, 0, "ka_utt_push_audio: bad args"},
      {"push negative", [&] { return ka_utt_push_audio(s.get(), pcm, -1); }, 0, "ka_utt_push_audio: bad args"},
      {"push nothing", [&] { return ka_utt_push_audio(s.get(), pcm, 0); }, 1, ""},
      {"pull null session", [&] { return ka_utt_pull_frame(nullptr, rgb.data(), rgb.size(), nullptr); }, 0, "ka_utt_pull_frame: bad args"},
      {"pull null buffer", [&] { return ka_utt_pull_frame(s.get(), nullptr, rgb.size(), nullptr); }, 0, "ka_utt_pull_frame: bad args"},
      {"pull one byte short", [&] { return ka_utt_pull_frame(s.get(), rgb.data(), rgb.size() - 1, nullptr); }, 0, "ka_utt_pull_frame: buffer too small"},
      {"available null", [&] { return ka_utt_frames_available(nullptr); }, 0, nullptr},
      {"render status null", [&] { return ka_utt_render_status(nullptr, nullptr, nullptr, 0); }, 0, nullptr},
  };
  for (const Call& c : calls) {
    EXPECT_EQ(c.call(), c.want) << c.what;
    if (c.text) {
      EXPECT_STREQ(ka_utt_last_error(), c.text) << c.what;
    }
  }
  // Nulls everywhere else are accepted quietly.
  ka_utt_end_utterance(nullptr);
  ka_utt_interrupt(nullptr);
  ka_utt_get_stats(nullptr, nullptr);
  ka_utt_get_stats(s.get(), nullptr);
  ka_utt_destroy(nullptr);

  // No teeth pass: nothing attached, empty texts, outputs of synth_w untouched.
  int64_t borrowed = -1, refused = -1, count = -7;
  double mean = -3, max = -4;
  char text[16] = "junk";
  EXPECT_EQ(ka_utt_tessera_stats(s.get(), &borrowed, &refused, text, sizeof text), 0);
  EXPECT_EQ(borrowed, 0);
  EXPECT_EQ(refused, 0);
  EXPECT_STREQ(text, "");
  std::strcpy(text, "junk");
  EXPECT_EQ(ka_utt_tessera_geometry(s.get(), text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(ka_utt_tessera_geometry(s.get(), nullptr, 4), 0);
  EXPECT_EQ(ka_utt_tessera_geometry(s.get(), text, 0), 0);
  EXPECT_EQ(ka_utt_tessera_geometry(nullptr, text, sizeof text), 0);
  EXPECT_EQ(ka_utt_tessera_synth_w(s.get(), &mean, &max, &count), 0);
  EXPECT_EQ(count, -7);
  EXPECT_EQ(mean, -3);
  EXPECT_EQ(max, -4);

  // The frame refused for a short buffer is the one the next adequate pull returns.
  ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
  while (ka_utt_frames_available(s.get()) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(ka_utt_pull_frame(s.get(), rgb.data(), rgb.size() - 1, nullptr), 0);
  ka_utt_frame_info info{};
  EXPECT_EQ(ka_utt_pull_frame(s.get(), rgb.data(), rgb.size(), &info), 1);
  EXPECT_EQ(info.seq, 0);
  EXPECT_EQ(info.kind, KA_UTT_IDLE);
  if (beforeReady) {
    ka_utt_end_utterance(s.get());
    std::vector<Pulled> f;
    ASSERT_TRUE(pullUntil(s.get(), f, [](const std::vector<Pulled>& v) { return v.size() >= 20; }));
    EXPECT_EQ(countKind(f, KA_UTT_IDLE), 20);
  }
}

// A motion directory the session cannot serve leaves it alive on the driver video, with
// the reason from ka_utt_ready: a broken one, and one made for another identity (its
// rows name another driver video's frames).
TEST(UttInterface, UnservableMotionDirIsReportedByReady) {
  KA_NEED_UTT();
  struct Case {
    const char* what;
    std::function<void(const std::filesystem::path&)> spoil;
    const char* want;
  };
  const Case cases[] = {
      {"no meta", [](const std::filesystem::path& m) { std::filesystem::remove(m / "a2x_meta.json"); },
       "ka_a2x_create: "},
      {"another identity",
       [](const std::filesystem::path& m) {
         std::ofstream(m / "xs_target.bin", std::ios::binary | std::ios::app).write(std::string(63 * 4, '\0').data(), 63 * 4);
       },
       "was made for another identity"},
  };
  UttCtx ctx = uttContext();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir t;
    std::filesystem::copy(uttFixture("motion-a2x"), t / "m", std::filesystem::copy_options::recursive);
    c.spoil(t / "m");
    const std::string dir = t / "m";
    ka_utt_opts o = uttOpts(dir);
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    EXPECT_FALSE(waitReady(s.get()));
    EXPECT_EQ(ka_utt_ready(s.get()), -1);
    EXPECT_NE(std::string(ka_utt_last_error()).find(c.want), std::string::npos) << ka_utt_last_error();
    // The session lives on, delivering the driver video.
    std::vector<Pulled> f;
    EXPECT_TRUE(pullUntil(s.get(), f, [](const std::vector<Pulled>& v) { return v.size() >= 3; }));
    EXPECT_EQ(countKind(f, KA_UTT_IDLE), 3);
  }
}

// The streaming engine finds its speech encoder through $W2V_ONNX or, without it, the
// path a host preloaded; a session needs nothing else.
TEST(UttInterface, SpeechEncoderPreloadedInsteadOfTheVariable) {
  KA_NEED_UTT();
  const std::string motion = uttFixture("motion-a2x");
  const std::string encoder = motion + "/w2v/audio_encoder.onnx";
  ScopedEnv none("W2V_ONNX", std::nullopt);
  UttCtx ctx = uttContext();
  ka_utt_opts o = uttOpts(motion);
  {
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    EXPECT_FALSE(waitReady(s.get()));
    EXPECT_STREQ(ka_utt_last_error(), "ka_a2x_create: $W2V_ONNX not set");
  }
  ASSERT_NE(ka_a2x_preload_w2v(encoder.c_str()), 0) << ka_a2x_last_error();
  UttPtr s(ka_utt_create(ctx.get(), &o));
  ASSERT_NE(s, nullptr) << ka_utt_last_error();
  EXPECT_TRUE(waitReady(s.get())) << ka_utt_last_error();
}

// The checks every delivered sequence must pass: sequence numbers +1 per frame (only
// rising when frames were discarded in between), driver indices walking +1, speech
// indices 0, 1, 2, ... within an utterance.
void expectConsistent(const std::vector<Pulled>& f, int nt, int64_t firstSeq, bool discarded = false) {
  for (size_t i = 0; i < f.size(); ++i) {
    if (!discarded) {
      EXPECT_EQ(f[i].info.seq, firstSeq + static_cast<int64_t>(i)) << "frame " << i;
    } else if (i > 0) {
      EXPECT_GT(f[i].info.seq, f[i - 1].info.seq) << "frame " << i;
    }
    if (f[i].info.kind == KA_UTT_SPEECH) {
      const bool first = i == 0 || f[i - 1].info.kind != KA_UTT_SPEECH;
      EXPECT_EQ(f[i].info.speech_index, first ? 0 : f[i - 1].info.speech_index + 1) << "frame " << i;
    } else {
      EXPECT_EQ(f[i].info.speech_index, -1) << "frame " << i;
    }
    if (i > 0) {
      EXPECT_EQ(f[i].info.driver_index, (f[i - 1].info.driver_index + 1) % nt) << "frame " << i;
    }
  }
}

TEST(UttSession, ThreeFrameUtteranceRampsBackToTheDriver) {
  KA_NEED_UTT();
  ka_tel_flush();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  ka_utt_opts o = uttOpts(motion);
  o.end_ramp_frames = 6;
  UttPtr s(ka_utt_create(ctx.get(), &o));
  ASSERT_NE(s, nullptr) << ka_utt_last_error();
  ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
  EXPECT_FALSE(s->hasChunkRenderer());
  const int nt = ka_nt(ctx.get());
  const std::vector<float> xs = xsTarget();
  ASSERT_EQ(xs.size(), static_cast<size_t>(nt) * kKp);

  std::vector<Pulled> f;
  ASSERT_TRUE(pullUntil(s.get(), f, [](const std::vector<Pulled>& v) { return v.size() >= 2; }, true));
  const std::vector<int16_t> pcm = speechFrames(3);
  ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data(), static_cast<int>(pcm.size())), 1);
  ka_utt_end_utterance(s.get());
  ASSERT_TRUE(pullUntil(
      s.get(), f,
      [](const std::vector<Pulled>& v) { return v.size() > 2 && countKind(v, KA_UTT_RAMP) == 6 && v.back().info.kind == KA_UTT_IDLE; },
      true));
  ASSERT_TRUE(pullUntil(s.get(), f, [n = f.size()](const std::vector<Pulled>& v) { return v.size() >= n + 2; }, true));

  expectConsistent(f, nt, 0);
  EXPECT_EQ(countKind(f, KA_UTT_SPEECH), 3);
  EXPECT_EQ(countKind(f, KA_UTT_RAMP), 6);
  // speech, speech, speech, ramp x 6, then idle only.
  size_t first = 0;
  while (f[first].info.kind == KA_UTT_IDLE) ++first;
  for (size_t i = first; i < f.size(); ++i)
    EXPECT_EQ(f[i].info.kind, i < first + 3 ? KA_UTT_SPEECH : i < first + 9 ? KA_UTT_RAMP : KA_UTT_IDLE) << i;
  // The last ramp frame stands exactly on the driver's pose.
  const Pulled& last = f[first + 8];
  for (int j = 0; j < kKp; ++j) EXPECT_EQ(last.kp[j], xs[last.info.driver_index * kKp + j]) << j;
  ka_utt_stats st{};
  ka_utt_get_stats(s.get(), &st);
  EXPECT_EQ(st.utterances, 1);
  EXPECT_EQ(st.speech_frames_out, 3);
  EXPECT_EQ(st.frames_out, static_cast<int64_t>(f.size()));
  EXPECT_GT(st.first_frame_ms, 0.0);
  EXPECT_GT(st.render_ms, 0.0);
  EXPECT_EQ(st.state, 0);

  // The session told telemetry about the bundle it opened and the utterance it spoke.
  auto metrics = telemetryMetrics();
  EXPECT_EQ(metrics["ka.bundle_open_ms"].first, 1);
  EXPECT_EQ(metrics["utt.speech_frames"], std::make_pair(1.0, 3.0));
  EXPECT_EQ(metrics["utt.interrupted"], std::make_pair(1.0, 0.0));
  EXPECT_EQ(metrics["utt.first_frame_ms"], std::make_pair(1.0, st.first_frame_ms));
  EXPECT_EQ(metrics["utt.render_failures"], std::make_pair(1.0, 0.0));
  EXPECT_EQ(metrics["utt.paste_ms"].first, 1);
  EXPECT_EQ(metrics.count("utt.teeth_borrowed"), 0u);

  // Pixels: idle frames are the driver frames; faces are the single-frame interface's
  // render of the same keypoints pasted into the same driver frame.
  UttCtx ref = uttContext();
  std::vector<uint8_t> want(s->frameBytes());
  for (const Pulled& p : f) {
    const int si = p.info.driver_index;
    if (p.info.kind == KA_UTT_IDLE) {
      const uint8_t* drv = ka_target_frame(ref.get(), si);
      ASSERT_NE(drv, nullptr) << ka_last_error();
      EXPECT_EQ(std::memcmp(drv, p.rgb.data(), want.size()), 0) << "idle frame seq " << p.info.seq;
    } else {
      const float* crop = ka_render_kp_crop(ref.get(), si, &xs[si * kKp], p.kp.data());
      ASSERT_NE(crop, nullptr) << ka_last_error();
      ASSERT_EQ(ka_paste_crop(ref.get(), si, crop, want.data(), want.size()), 1) << ka_last_error();
      EXPECT_EQ(std::memcmp(want.data(), p.rgb.data(), want.size()), 0) << "face frame seq " << p.info.seq;
    }
  }
}

TEST(UttSession, InterruptRampsFromThePulledSpeechFrame) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  ka_utt_opts o = uttOpts(motion);
  UttPtr s(ka_utt_create(ctx.get(), &o));
  ASSERT_NE(s, nullptr) << ka_utt_last_error();
  ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
  const int nt = ka_nt(ctx.get());

  std::vector<Pulled> f;
  const std::vector<int16_t> pcm = speechFrames(40);
  ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data(), static_cast<int>(pcm.size())), 1);
  ASSERT_TRUE(pullUntil(s.get(), f, [](const std::vector<Pulled>& v) { return countKind(v, KA_UTT_SPEECH) == 2; }));
  ka_utt_interrupt(s.get());
  const Pulled cut = f.back();
  const size_t at = f.size();
  ASSERT_TRUE(pullUntil(s.get(), f, [at](const std::vector<Pulled>& v) { return v.size() >= at + 7; }));

  expectConsistent(f, nt, 0, true);
  for (size_t i = at; i < f.size(); ++i)
    EXPECT_EQ(f[i].info.kind, i < at + 4 ? KA_UTT_RAMP : KA_UTT_IDLE) << i;
  EXPECT_EQ(f[at].info.driver_index, (cut.info.driver_index + 1) % nt);

  // A fresh utterance after the interruption starts again at speech index 0.
  ka_utt_end_utterance(s.get());
  ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data(), 3 * 640), 1);
  ka_utt_end_utterance(s.get());
  ASSERT_TRUE(pullUntil(s.get(), f, [](const std::vector<Pulled>& v) { return countKind(v, KA_UTT_SPEECH) == 5; }));
  expectConsistent(f, nt, 0, true);
  ka_utt_stats st{};
  ka_utt_get_stats(s.get(), &st);
  EXPECT_EQ(st.utterances, 2);
}

// An interrupted utterance's telemetry counts the speech frames the host pulled, not
// those made and dropped unread, and says it was interrupted: cut while it is still
// being made, and cut once all of it was made but not all pulled.
TEST(UttSession, InterruptedUtteranceToldAsPulled) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  const struct {
    const char* what;
    int speechFrames;
    bool end;
    int pulled;  // speech frames pulled before the interruption
    int ahead;   // frames waiting unread when it comes
  } cases[] = {{"mid-speech", 40, false, 2, 3}, {"after its last frame was made", 3, true, 1, 3}};
  for (const auto& c : cases) {
    ka_utt_opts o = uttOpts(motion);
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
    ka_tel_flush();
    std::vector<Pulled> f;
    const std::vector<int16_t> pcm = speechFrames(c.speechFrames);
    ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data(), static_cast<int>(pcm.size())), 1);
    if (c.end) ka_utt_end_utterance(s.get());
    ASSERT_TRUE(pullUntil(s.get(), f, [&](const std::vector<Pulled>& v) { return countKind(v, KA_UTT_SPEECH) == c.pulled; }));
    const auto t0 = std::chrono::steady_clock::now();
    while (ka_utt_frames_available(s.get()) < c.ahead && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ka_utt_interrupt(s.get());
    const size_t at = f.size();
    ASSERT_TRUE(pullUntil(s.get(), f, [at](const std::vector<Pulled>& v) { return v.size() >= at + 7; }));
    auto metrics = telemetryMetrics();
    EXPECT_EQ(metrics["utt.speech_frames"], std::make_pair(1.0, double(c.pulled))) << c.what;
    EXPECT_EQ(metrics["utt.interrupted"], std::make_pair(1.0, 1.0)) << c.what;
  }
}

// Sequence numbers count every frame the session produced: frames an interruption
// discards unread keep theirs, so the host sees how many it lost.
TEST(UttSession, InterruptionSpendsTheNumbersOfDiscardedFrames) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  ka_utt_opts o = uttOpts(motion);
  UttPtr s(ka_utt_create(ctx.get(), &o));
  ASSERT_NE(s, nullptr) << ka_utt_last_error();
  ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
  ASSERT_EQ(ka_utt_set_idle_lead(s.get(), 8), 1);  // idle fills the whole ring
  std::vector<Pulled> f;
  // frames pulled before the interruption (after the one that followed the last), and
  // the seq the first frame after it must carry: 8 unread ones were discarded each time
  const struct {
    size_t pulled;
    int64_t next;
  } rounds[] = {{0, 8}, {3, 20}, {1, 30}};
  for (const auto& r : rounds) {
    const size_t at = f.size();
    ASSERT_TRUE(pullUntil(s.get(), f, [&](const std::vector<Pulled>& v) { return v.size() >= at + r.pulled; }));
    while (ka_utt_frames_available(s.get()) < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ka_utt_interrupt(s.get());
    const size_t cut = f.size();
    ASSERT_TRUE(pullUntil(s.get(), f, [&](const std::vector<Pulled>& v) { return v.size() > cut; }));
    EXPECT_EQ(f[cut].info.seq, r.next) << "after pulling " << r.pulled;
  }
  expectConsistent(f, ka_nt(ctx.get()), 0, true);
}

// An end mark belongs to the audio pushed before it: two utterances pushed and ended
// back to back, faster than the session looks, stay two utterances.
TEST(UttSession, EachEndClosesTheAudioPushedBeforeIt) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  ka_utt_opts o = uttOpts(motion);
  UttPtr s(ka_utt_create(ctx.get(), &o));
  ASSERT_NE(s, nullptr) << ka_utt_last_error();
  ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
  const std::vector<int16_t> a = speechFrames(3), b = speechFrames(5);
  std::vector<Pulled> f;
  for (int round = 1; round <= 3; ++round) {
    ASSERT_EQ(ka_utt_push_audio(s.get(), a.data(), static_cast<int>(a.size())), 1);
    ka_utt_end_utterance(s.get());
    ASSERT_EQ(ka_utt_push_audio(s.get(), b.data(), static_cast<int>(b.size())), 1);
    ka_utt_end_utterance(s.get());
    ka_utt_end_utterance(s.get());  // a second mark with nothing after the first ends nothing
    f.clear();
    ASSERT_TRUE(pullUntil(
        s.get(), f,
        [](const std::vector<Pulled>& v) { return countKind(v, KA_UTT_RAMP) >= 12 && v.back().info.kind == KA_UTT_IDLE; },
        false, 10.0))
        << "round " << round;
    // speech runs of 3 and 5 frames, each followed by its 6 ramp frames
    std::vector<std::pair<int, int>> runs;  // kind, length
    for (const Pulled& p : f) {
      const int k = p.info.kind;
      if (k == KA_UTT_IDLE) continue;
      if (runs.empty() || runs.back().first != k) runs.push_back({k, 0});
      ++runs.back().second;
    }
    const std::vector<std::pair<int, int>> want = {
        {KA_UTT_SPEECH, 3}, {KA_UTT_RAMP, 6}, {KA_UTT_SPEECH, 5}, {KA_UTT_RAMP, 6}};
    EXPECT_EQ(runs, want) << "round " << round;
    ka_utt_stats st{};
    ka_utt_get_stats(s.get(), &st);
    EXPECT_EQ(st.utterances, 2 * round);
  }
}

// Failures after readiness reach ka_utt_render_status with their text once, at the pace
// of the work that failed, and the session goes on.
TEST(UttFailures, ReportedOnceAndTheSessionGoesOn) {
  KA_NEED_UTT();
  const std::string motion = uttFixture("motion-a2x");
  TempDir t;
  // A driver video with a frame missing: the idle loop's source fails for good.
  const std::filesystem::path dead = t / "dead";
  {
    std::filesystem::copy(uttFixture("bundle"), dead, std::filesystem::copy_options::recursive);
    UttCtx ref = uttContext();
    std::filesystem::create_directory(dead / "target_frames");
    for (int i = 0; i < ka_nt(ref.get()); ++i) {
      if (i == 3) continue;
      char name[32];
      std::snprintf(name, sizeof name, "frame_%06d.jpg", i);  // the reader takes any image
      writePNG(dead / "target_frames" / name, ka_target_frame(ref.get(), i), ka_width(ref.get()),
               ka_height(ref.get()));
    }
  }
  struct Case {
    const char* what;
    std::string bundle;
    const char* right;  // KA_A2X_W2V_RIGHT
    bool speak;
    const char* text;   // in the failure text
    bool fatal;
    bool idleGoesOn;
  };
  const Case cases[] = {
      // The frontend's right context reaches past its window: every advance fails.
      {"engine fails after ready", uttFixture("bundle"), "43", true, "motion: ka_a2x extend: ", false, true},
      {"dead driver video", dead.string(), nullptr, false, "paste: ka_driver: ", true, false},
  };
  for (const Case& c : cases) {
    ScopedEnv right("KA_A2X_W2V_RIGHT", c.right ? std::optional<std::string>(c.right) : std::nullopt);
    UttCtx ctx(ka_create(c.bundle.c_str(), "b1", 1, nullptr));
    ASSERT_NE(ctx, nullptr) << ka_last_error();
    ka_utt_opts o = uttOpts(motion);
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(waitReady(s.get())) << c.what << ": " << ka_utt_last_error();
    if (c.speak) {
      const std::vector<int16_t> pcm = speechFrames(5);
      ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data(), static_cast<int>(pcm.size())), 1);
      ka_utt_end_utterance(s.get());
    }
    std::vector<Pulled> f;
    pullUntil(s.get(), f, [](const std::vector<Pulled>&) { return false; }, false, 0.6);
    int failures = -1;
    char text[512] = "";
    const int status = ka_utt_render_status(s.get(), &failures, text, sizeof text);
    EXPECT_EQ(status, c.fatal ? -1 : 0) << c.what;
    EXPECT_NE(std::string(text).find(c.text), std::string::npos) << c.what << ": " << text;
    // One failed utterance is one failure; a dead source is asked again only after a
    // growing pause, not thousands of times a second.
    EXPECT_GE(failures, 1) << c.what;
    EXPECT_LE(failures, c.speak ? 1 : 12) << c.what << ": " << text;
    ka_utt_stats st{};
    ka_utt_get_stats(s.get(), &st);
    EXPECT_EQ(st.state, 0) << c.what;
    if (c.idleGoesOn) {
      const size_t at = f.size();
      EXPECT_TRUE(pullUntil(
          s.get(), f, [at](const std::vector<Pulled>& v) { return v.size() >= at + 3; }, false, 5.0))
          << c.what;
      EXPECT_EQ(countKind(f, KA_UTT_SPEECH), 0) << c.what;
    }
  }
}

// A host on a simulated clock: every frame it pulls is 40 ms, and it pushes speech at
// that pace (one frame of audio per frame pulled) while it has some. A session that
// stopped delivering frames until it had speech to show would never get the look-ahead
// audio it waits for, and the host would wait forever: no frozen picture is what lets
// the loop run at all. Utterances start during idle, during a ramp, right after an
// interruption and back to back; every delivered frame continues the driver walk.
TEST(UttPaced, UnbrokenStreamThroughEveryUtterance) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const int nt = ka_nt(ctx.get());
  for (const char* engine : {"motion-a2x", "motion-lmdm"}) {
    SCOPED_TRACE(engine);
    const std::string motion = uttFixture(engine);
    ka_utt_opts o = uttOpts(motion);
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();

    // Utterances in frames of speech; each starts when `when` holds for the frames so far.
    using When = std::function<bool(const std::vector<Pulled>&)>;
    auto lastKind = [](int k) { return [k](const std::vector<Pulled>& v) { return !v.empty() && v.back().info.kind == k; }; };
    struct Utt {
      const char* what;
      int frames;
      When when;
      bool interruptAt5;  // interrupted once its fifth speech frame was pulled
    };
    const Utt utts[] = {
        {"during idle", 40, [](const std::vector<Pulled>& v) { return v.size() >= 4; }, false},
        {"during a ramp", 30, lastKind(KA_UTT_RAMP), true},
        {"after an interruption", 12, [](const std::vector<Pulled>&) { return true; }, false},
        {"after idle again", 10, lastKind(KA_UTT_IDLE), false},
        {"back to back", 10, [](const std::vector<Pulled>&) { return true; }, false},
    };
    const std::vector<int16_t> pcm = speechFrames(40);
    std::vector<Pulled> f;
    std::vector<size_t> cuts;  // frame counts at each interruption
    std::vector<uint8_t> rgb(s->frameBytes());
    auto pullOne = [&]() {
      const auto t0 = std::chrono::steady_clock::now();
      Pulled p;
      while (s->pull(rgb.data(), rgb.size(), &p.info, p.kp.data()) != 1) {
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(8)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      f.push_back(p);
      return true;
    };
    for (const Utt& u : utts) {
      while (!u.when(f)) ASSERT_TRUE(pullOne()) << "no frame while waiting to start " << u.what;
      const size_t start = f.size();
      auto spoken = [&] { return countKind({f.begin() + static_cast<std::ptrdiff_t>(start), f.end()}, KA_UTT_SPEECH); };
      // Pushes while it has audio, then lets the rest play out at the same pace.
      for (int k = 0; spoken() < (u.interruptAt5 ? 5 : u.frames); ++k) {
        if (k < u.frames) {
          ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data() + k * 640, 320), 1);
          ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data() + k * 640 + 320, 320), 1);
          if (k + 1 == u.frames) ka_utt_end_utterance(s.get());
        }
        ASSERT_TRUE(pullOne()) << "frozen " << u.what << " after " << k + 1 << " frames";
      }
      if (u.interruptAt5) {
        ka_utt_interrupt(s.get());
        cuts.push_back(f.size());
      }
    }
    while (f.back().info.kind != KA_UTT_IDLE) ASSERT_TRUE(pullOne());

    // The walk never jumps back or skips, across every boundary and the interruption.
    for (size_t i = 1; i < f.size(); ++i) {
      ASSERT_EQ(f[i].info.driver_index, (f[i - 1].info.driver_index + 1) % nt)
          << "frame " << i << ": kind " << f[i - 1].info.kind << " -> " << f[i].info.kind;
      const bool afterCut = std::find(cuts.begin(), cuts.end(), i) != cuts.end();
      if (afterCut) {
        EXPECT_GT(f[i].info.seq, f[i - 1].info.seq) << i;
      } else {
        EXPECT_EQ(f[i].info.seq, f[i - 1].info.seq + 1) << i;
      }
    }
    // 40 + 5 (cut) + 12 + 10 + 10 speech frames, each utterance numbered from 0.
    EXPECT_EQ(countKind(f, KA_UTT_SPEECH), 77);
    ka_utt_stats st{};
    ka_utt_get_stats(s.get(), &st);
    EXPECT_EQ(st.utterances, 5);

    // Idle keeps only its lead made ahead; speech fills the ring (back-pressure).
    for (int lead : {3, 6}) {
      if (lead != 3) {
        ASSERT_EQ(ka_utt_set_idle_lead(s.get(), lead), 1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      EXPECT_EQ(ka_utt_frames_available(s.get()), lead);
    }
    EXPECT_EQ(ka_utt_set_idle_lead(s.get(), 0), 0);
    EXPECT_STREQ(ka_utt_last_error(), "ka_utt_set_idle_lead: frames must be 1 to 8");
    EXPECT_EQ(ka_utt_set_idle_lead(s.get(), 9), 0);
    EXPECT_EQ(ka_utt_set_idle_lead(nullptr, 3), 0);
    EXPECT_STREQ(ka_utt_last_error(), "ka_utt_set_idle_lead: bad args");
    ka_utt_end_utterance(s.get());
    const std::vector<int16_t> more = speechFrames(20);
    ASSERT_EQ(ka_utt_push_audio(s.get(), more.data(), static_cast<int>(more.size())), 1);
    ka_utt_end_utterance(s.get());
    const auto t0 = std::chrono::steady_clock::now();
    while (ka_utt_frames_available(s.get()) < 8 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ka_utt_frames_available(s.get()), 8);
  }
}

TEST(UttSession, EndsBySilenceOnlyWhenAsked) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  for (double autoEnd : {0.0, -1.0}) {
    ka_utt_opts o = uttOpts(motion);
    o.auto_end_s = autoEnd;
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
    const std::vector<int16_t> pcm = speechFrames(4);
    ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data(), static_cast<int>(pcm.size())), 1);
    std::vector<Pulled> f;
    // The default 0.6 s of silence ends it; without an automatic end it stays open.
    const bool ramped = pullUntil(
        s.get(), f, [](const std::vector<Pulled>& v) { return countKind(v, KA_UTT_RAMP) > 0; }, false, 2.5);
    EXPECT_EQ(ramped, autoEnd == 0.0) << "auto_end_s " << autoEnd;
    ka_utt_stats st{};
    ka_utt_get_stats(s.get(), &st);
    if (autoEnd < 0) {
      EXPECT_TRUE(st.state == 1 || st.state == 2) << st.state;
    }
  }
}

TEST(UttSession, ChunkRendererAndBackPressure) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  struct Case {
    const char* env;
    const char* option;
    bool chunk;
  };
  const Case cases[] = {{"-", "b4", false}, {nullptr, "b4", true}, {nullptr, "no_such_model", false}};
  for (const Case& c : cases) {
    ScopedEnv env("KA_STEADY_MODEL", c.env ? std::optional<std::string>(c.env) : std::nullopt);
    ka_utt_opts o = uttOpts(motion);
    o.steady_model = c.option;
    UttPtr s(ka_utt_create(ctx.get(), &o));
    ASSERT_NE(s, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(waitReady(s.get())) << ka_utt_last_error();
    EXPECT_EQ(s->hasChunkRenderer(), c.chunk) << c.option;
    const std::vector<int16_t> pcm = speechFrames(14);
    ASSERT_EQ(ka_utt_push_audio(s.get(), pcm.data(), static_cast<int>(pcm.size())), 1);
    ka_utt_end_utterance(s.get());
    // A host that stops pulling finds at most 8 frames waiting: the ring fills, then
    // stays at 8.
    const auto t0 = std::chrono::steady_clock::now();
    while (ka_utt_frames_available(s.get()) < 8 &&
           std::chrono::steady_clock::now() - t0 < std::chrono::duration<double>(20.0 * ka::test::timeScale()))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ka_utt_frames_available(s.get()), 8);
    std::vector<Pulled> f;
    ASSERT_TRUE(pullUntil(s.get(), f, [](const std::vector<Pulled>& v) {
      return countKind(v, KA_UTT_RAMP) == 6;
    }));
    EXPECT_EQ(countKind(f, KA_UTT_SPEECH), 14) << c.option;
    expectConsistent(f, ka_nt(ctx.get()), 0);
    int failures = -1;
    char text[256];
    EXPECT_EQ(ka_utt_render_status(s.get(), &failures, text, sizeof text), 0);
    EXPECT_EQ(failures, 0) << text;
  }
}

TEST(UttSession, StageReport) {
  KA_NEED_UTT();
  UttCtx ctx = uttContext();
  const std::string motion = uttFixture("motion-a2x");
  ScopedEnv report("KA_UTT_STAGE_REPORT", "1");
  for (const char* pipe : {"0", "1"}) {
    ScopedEnv p("KA_UTT_PIPELINE_PASTE", pipe);
    StderrCapture err;
    {
      ka_utt_opts o = uttOpts(motion);
      UttPtr s(ka_utt_create(ctx.get(), &o));
      ASSERT_NE(s, nullptr) << ka_utt_last_error();
      std::vector<Pulled> f;
      ASSERT_TRUE(pullUntil(s.get(), f, [](const std::vector<Pulled>& v) { return v.size() >= 3; }));
    }
    const std::string text = err.text();
    if (*pipe == '0')
      EXPECT_NE(text.find("[ka_utt-stage] MEASURED NOTHING"), std::string::npos) << text;
    else
      EXPECT_NE(text.find("[ka_utt-stage] pipe=0 jobsB=0 jobsC="), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace ka::test
