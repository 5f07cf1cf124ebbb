// The audio-to-expression stream through its C interface, on the fixture networks
// (tools/fixtures/make_a2x_fixtures.py). In this process the short-window frontend is
// active (the pair lies beside $W2V_ONNX); test_a2x.legacy runs the reference and
// push-size tests on the 8-second window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "audio/a2x_stream.h"
#include "tests/test_a2x_util.h"

namespace fs = std::filesystem;
using namespace ka::test;

namespace {

constexpr float kTol = 2e-4f;  // deltas are at most ~0.1; features are half precision

std::vector<float> offline(ka_a2x* a, const std::vector<float>& x) {
  const int frames = static_cast<int>((x.size() + 639) / 640);
  std::vector<float> d(static_cast<size_t>(frames) * 63);
  EXPECT_EQ(ka_a2x_deltas(a, x.data(), static_cast<int>(x.size()), d.data(), frames), frames)
      << ka_a2x_last_error();
  return d;
}

std::vector<float> deltasOf(const Frames& f) {
  std::vector<float> d(f.xd.size());
  for (size_t i = 0; i < d.size(); ++i) d[i] = f.xd[i] - f.xs[i];
  return d;
}

}  // namespace

// Offline and finished-stream deltas against the PyTorch walk of the fixture tool.
TEST(A2xStream, MatchesTheReference) {
  KA_A2X_FIXTURES();
  for (const char* name : {"hello", "long"}) {
    SCOPED_TRACE(name);
    const std::vector<float> x = clip(name);
    const std::vector<float> ref = floatsOf(a2xDir(std::string("clips/") + name + ".ref.f32"));
    Handle h(a2xDir("motion"));
    ASSERT_TRUE(h.a) << ka_a2x_last_error();
    const std::vector<float> off = offline(h.a, x);
    ASSERT_EQ(off.size(), ref.size());
    EXPECT_LT(maxAbsDiff(off.data(), ref.data(), ref.size()), kTol);

    // The short-window trunk rounds to half precision before the head, and the
    // 8-second window of a stream sees the audio only up to a little past each frame:
    // streamed deltas differ from the offline walk's a little more.
    const Frames f = stream(h.a, x, [] { return size_t{640}; });
    ASSERT_EQ(f.count() * 63, ref.size());
    EXPECT_LT(maxAbsDiff(deltasOf(f).data(), ref.data(), ref.size()), 1e-3f);
    EXPECT_EQ(ka_a2x_total(h.a), static_cast<int>(f.count()));
  }
}

// The width row of the two-output encoder, offline and streamed.
TEST(A2xStream, WidthRowMatchesTheReference) {
  KA_A2X_FIXTURES();
  const std::vector<float> x = clip("hello");
  const std::vector<float> ref = floatsOf(a2xDir("clips/hello.wn.ref.f32"));
  const std::vector<float> refWn = floatsOf(a2xDir("clips/hello.wn.ref_wn.f32"));
  Handle h(a2xDir("motion_wn"));
  ASSERT_TRUE(h.a) << ka_a2x_last_error();
  EXPECT_EQ(ka_a2x_width(h.a), 1);
  const int frames = static_cast<int>(refWn.size());
  std::vector<float> d(ref.size()), wn(refWn.size());
  ASSERT_EQ(ka_a2x_deltas_wn(h.a, x.data(), static_cast<int>(x.size()), d.data(), wn.data(), frames), frames);
  EXPECT_LT(maxAbsDiff(d.data(), ref.data(), ref.size()), kTol);
  EXPECT_LT(maxAbsDiff(wn.data(), refWn.data(), refWn.size()), 1e-3f);
  const Frames f = stream(h.a, x, nullptr);
  ASSERT_EQ(f.wn.size(), refWn.size());
  EXPECT_LT(maxAbsDiff(f.wn.data(), refWn.data(), refWn.size()), 1e-3f);
}

// How the host sizes its pushes changes nothing: every frame is bit-identical to a
// single push pulled only after finishing, and frames pulled live equal those. Also
// with an encoder that looks further ahead (meta window 8, 16 frames over two layers)
// than the frontend's right context, where a frame must wait for features it would
// otherwise be encoded without.
TEST(A2xStream, PushSizesDoNotChangeFrames) {
  KA_A2X_FIXTURES();
  TempDir wide;
  for (const auto& e : fs::directory_iterator(a2xDir("motion")))
    if (e.is_regular_file()) fs::copy_file(e.path(), wide / e.path().filename().string());
  writeFile(wide / "a2x_meta.json", "{\"h\": 64, \"window\": 8, \"left\": 8, \"layers\": 2}");
  struct Case {
    const char* name;
    const char* clipName;
    std::function<size_t()> size;
  };
  std::mt19937 rng(7);
  const Case cases[] = {
      {"640", "hello", [] { return size_t{640}; }},
      {"333", "hello", [] { return size_t{333}; }},
      {"random", "hello", [&rng] { return size_t{1} + rng() % 3000; }},
      {"one sample", "short", [] { return size_t{1}; }},
      {"one push", "hello", nullptr},
  };
  for (const std::string& dir : {a2xDir("motion"), wide.path()}) {
    SCOPED_TRACE(dir);
    Handle h(dir);
    ASSERT_TRUE(h.a) << ka_a2x_last_error();
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const std::vector<float> x = clip(c.clipName);
      ka_a2x_reset(h.a, 0, 1, 1);
      const Frames base = stream(h.a, x, nullptr, /*pullLive=*/false);
      ka_a2x_reset(h.a, 0, 1, 1);
      const Frames f = stream(h.a, x, c.size);
      if (c.size && std::string(c.clipName) == "hello") {
        EXPECT_GT(f.live, 0u) << "frames must become final before the end of the audio";
      }
      ASSERT_EQ(f.count(), base.count());
      EXPECT_EQ(f.si, base.si);
      size_t differ = 0;
      for (size_t t = 0; t < f.count(); ++t)
        differ += std::memcmp(f.xd.data() + t * 63, base.xd.data() + t * 63, 63 * sizeof(float)) != 0;
      EXPECT_EQ(differ, 0u) << "of " << f.count() << " frames";
    }
  }
}

// Frames become final block by block: a block lacking at most 639 samples counts, one
// lacking 640 does not. With the short window the latency is 12 + 8 frames.
TEST(A2xStream, LiveFramesFollowWholeBlocks) {
  KA_A2X_FIXTURES();
  struct Case {
    int samples, live, finished;
  };
  const Case cases[] = {
      {4480, 0, 7}, {4481, 0, 8}, {4 * 5120 - 640, 4, 31}, {4 * 5120 - 639, 12, 32}, {4 * 5120 + 1, 12, 33},
  };
  Handle h(a2xDir("motion"));
  ASSERT_TRUE(h.a) << ka_a2x_last_error();
  const std::vector<float> x = clip("hello");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.samples);
    ka_a2x_reset(h.a, 0, 1, 1);
    ka_a2x_push(h.a, x.data(), c.samples);
    Frames f;
    drain(h.a, f);
    EXPECT_EQ(static_cast<int>(f.count()), c.live);
    EXPECT_EQ(ka_a2x_total(h.a), -1);
    ka_a2x_finish(h.a);
    drain(h.a, f);
    EXPECT_EQ(static_cast<int>(f.count()), c.finished);
    EXPECT_EQ(ka_a2x_total(h.a), c.finished);
  }
}

// Frame t sees the features of frames up to t + 4 (the encoder looks 2 x 2 frames
// ahead). Features are local (frame f reads 240 samples from about f * 642.4, the
// legacy grid) but come from trunk windows 2 s long: the window making frames 24..31
// ends at frame 24 + 8 + 12 = 44. Audio from frame 44 on therefore cannot touch frames
// up to 27 at all; audio at frame 24's grid position moves frame 20 (through the
// encoder) and frame 19 only through the window's normalisation, by rounding.
TEST(A2xStream, LookAheadIsRealAndBounded) {
  KA_A2X_FIXTURES();
  Handle h(a2xDir("motion"));
  ASSERT_TRUE(h.a) << ka_a2x_last_error();
  const std::vector<float> x = clip("hello");
  const Frames base = stream(h.a, x, nullptr);
  auto changed = [&](size_t from, size_t to) {
    std::vector<float> y = x;
    for (size_t i = from; i < to; ++i) y[i] = 0.3f * std::sin(0.2f * static_cast<float>(i));
    ka_a2x_reset(h.a, 0, 1, 1);
    return stream(h.a, y, [] { return size_t{640}; });
  };
  auto diff = [&](const Frames& f, size_t t0, size_t t1) {
    return maxAbsDiff(f.xd.data() + t0 * 63, base.xd.data() + t0 * 63, (t1 - t0) * 63);
  };
  const Frames beyond = changed(640 * 44, x.size());
  EXPECT_EQ(0, std::memcmp(beyond.xd.data(), base.xd.data(), 28 * 63 * sizeof(float)));
  EXPECT_GT(diff(beyond, 28, base.count()), 1e-3f);
  const Frames within = changed(15200, 15700);
  EXPECT_LT(diff(within, 0, 20), 1e-5f);
  EXPECT_GT(diff(within, 20, 21), 1e-4f);
}

// Speech opens the mouth (upper lip 17 up, lower lip 18 down); digital silence leaves it.
TEST(A2xStream, VoicedSpeechOpensTheMouth) {
  KA_A2X_FIXTURES();
  Handle h(a2xDir("motion"));
  ASSERT_TRUE(h.a) << ka_a2x_last_error();
  const Frames f = stream(h.a, clip("hello"), nullptr);
  const std::vector<float> d = deltasOf(f);
  auto opening = [&](size_t t) { return d[t * 63 + 18 * 3 + 1] - d[t * 63 + 17 * 3 + 1]; };
  EXPECT_EQ(opening(0), 0.0f);  // 0.3 s of leading silence
  float most = 0.0f;
  for (size_t t = 0; t < f.count(); ++t) most = std::max(most, opening(t));
  EXPECT_GT(most, 0.05f);
}

TEST(A2xStream, DriverIndexWalks) {
  KA_A2X_FIXTURES();
  struct Case {
    const char* dir;
    int start, direction, loop;
    std::vector<int> want;
  };
  const Case cases[] = {
      {"nt1", 0, 1, 1, {0, 0, 0}},
      {"nt1", 0, -1, 0, {0, 0, 0}},
      {"motion", 2, 1, 1, {2, 3, 0, 1, 2, 3}},
      {"motion", 1, -1, 1, {1, 0, 3, 2, 1}},
      {"motion", 0, 1, 0, {0, 1, 2, 3, 2, 1, 0, 1}},
      {"motion", 3, -1, 0, {3, 2, 1, 0, 1, 2, 3}},
  };
  const std::vector<float> silence(640 * 8, 0.0f);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " start " + std::to_string(c.start) + " dir " + std::to_string(c.direction));
    Handle h(a2xDir(c.dir));
    ASSERT_TRUE(h.a) << ka_a2x_last_error();
    ka_a2x_reset(h.a, c.start, c.direction, c.loop);
    ka_a2x_push(h.a, silence.data(), static_cast<int>(c.want.size()) * 640);
    ka_a2x_finish(h.a);
    Frames f;
    drain(h.a, f);
    EXPECT_EQ(f.si, c.want);
  }

  // A reset with start -1 continues where the pulled frames left the driver.
  struct Continue {
    int loop;
    std::vector<int> want;
  };
  for (const Continue& c : {Continue{0, {0, 1, 2, 3, 2, 1, 0, 1, 2}}, Continue{1, {0, 1, 2, 3, 0, 1, 2, 3, 0}}}) {
    SCOPED_TRACE(c.loop);
    Handle h(a2xDir("motion"));
    Frames f;
    for (int part = 0; part < 2; ++part) {
      ka_a2x_reset(h.a, part == 0 ? 0 : -1, 1, c.loop);
      ka_a2x_push(h.a, silence.data(), (part == 0 ? 5 : 4) * 640);
      ka_a2x_finish(h.a);
      drain(h.a, f);
    }
    EXPECT_EQ(f.si, c.want);
  }
}

// Priming the decoder on silence changes the first frames; the recurrent state forgets
// it within a few dozen frames.
TEST(A2xStream, SilencePrimingChangesOnlyTheFirstFrames) {
  KA_A2X_FIXTURES();
  const std::vector<float> x = clip("hello");
  Handle plain(a2xDir("motion"));
  ASSERT_TRUE(plain.a) << ka_a2x_last_error();
  std::string log;
  std::vector<float> primedOff;
  Frames primedStream;
  {
    ScopedEnv prime("KA_A2X_SILENCE_PRIME", "20");
    StderrCapture cap;
    Handle primed(a2xDir("motion"));
    log = cap.text();
    ASSERT_TRUE(primed.a) << ka_a2x_last_error();
    primedOff = offline(primed.a, x);
    primedStream = stream(primed.a, x, nullptr);
  }
  EXPECT_NE(log.find("[ka_a2x] silence-primed AR state cached (20 frames)\n"), std::string::npos) << log;
  const std::vector<float> plainOff = offline(plain.a, x);
  EXPECT_GT(maxAbsDiff(primedOff.data(), plainOff.data(), 63), 1e-3f);
  EXPECT_LT(maxAbsDiff(primedOff.data() + 30 * 63, plainOff.data() + 30 * 63, plainOff.size() - 30 * 63), 1e-6f);
  const std::vector<float> streamed = deltasOf(primedStream);
  EXPECT_LT(maxAbsDiff(streamed.data(), primedOff.data(), 63), kTol);
}

TEST(A2xCreate, Refusals) {
  KA_A2X_FIXTURES();
  const std::string src = a2xDir("motion");
  const std::string meta = slurp(src + "/a2x_meta.json");
  struct Case {
    const char* name;
    std::function<void(const std::string&)> spoil;
    std::string want;  // the start of the error text; "<dir>" stands for the directory
  };
  const Case cases[] = {
      {"no meta", [](const std::string& d) { fs::remove(d + "/a2x_meta.json"); },
       "ka_a2x_create: a2x_meta.json missing in <dir>"},
      {"no left", [](const std::string& d) { writeFile(d + "/a2x_meta.json", "{\"h\": 64, \"window\": 2}"); },
       "ka_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {"negative window",
       [](const std::string& d) { writeFile(d + "/a2x_meta.json", "{\"h\": 64, \"window\": -1, \"left\": 8}"); },
       "ka_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {"zero width rows",
       [](const std::string& d) { writeFile(d + "/a2x_meta.json", "{\"h\": 0, \"window\": 2, \"left\": 8}"); },
       "ka_a2x_create: a2x_meta.json of <dir> declares h=0"},
      {"one position row", [](const std::string& d) { writeFile(d + "/a2x_pos.f32", std::string(64 * 4, '\0')); },
       "ka_a2x_create: pos/norm/xs_target read failed"},
      {"short norm", [](const std::string& d) { writeFile(d + "/a2x_norm.f32", std::string(125 * 4, '\0')); },
       "ka_a2x_create: pos/norm/xs_target read failed"},
      {"empty xs", [](const std::string& d) { writeFile(d + "/xs_target.bin", ""); },
       "ka_a2x_create: pos/norm/xs_target read failed"},
      {"no norm", [](const std::string& d) { fs::remove(d + "/a2x_norm.f32"); },
       "ka_a2x_create: pos/norm/xs_target read failed"},
      {"no decoder", [](const std::string& d) { fs::remove(d + "/a2x_dec.onnx"); }, "ka_a2x_create: "},
      {"no W2V_ONNX", nullptr, "ka_a2x_create: $W2V_ONNX not set"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    for (const char* m : {"a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "xs_target.bin", "a2x_enc_stream.onnx",
                          "a2x_dec.onnx"})
      fs::copy_file(src + "/" + m, t / m);
    std::optional<ScopedEnv> unset;
    if (c.spoil)
      c.spoil(t.path());
    else
      unset.emplace("W2V_ONNX", std::nullopt);
    ka_a2x* a = ka_a2x_create(t.path().c_str(), 0);
    EXPECT_EQ(a, nullptr);
    ka_a2x_destroy(a);
    std::string want = c.want;
    if (const size_t at = want.find("<dir>"); at != std::string::npos) want.replace(at, 5, t.path());
    EXPECT_EQ(std::string(ka_a2x_last_error()).substr(0, want.size()), want);
  }
  EXPECT_EQ(ka_a2x_create(nullptr, 0), nullptr);
  EXPECT_EQ(std::string(ka_a2x_last_error()).rfind("ka_a2x_create: ", 0), 0u);

  // A meta that promises a width row the graph lacks is served as the graph says.
  TempDir t;
  for (const auto& e : fs::directory_iterator(src))
    if (e.is_regular_file()) fs::copy_file(e.path(), t / e.path().filename().string());
  writeFile(t / "a2x_meta.json", "{\"h\": 64, \"window\": 2, \"left\": 8, \"layers\": 2, \"width\":  true}");
  StderrCapture cap;
  Handle h(t.path());
  const std::string log = cap.text();
  ASSERT_TRUE(h.a) << ka_a2x_last_error();
  EXPECT_EQ(ka_a2x_width(h.a), 0);
  EXPECT_NE(log.find("[ka_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) — serving the "
                     "GRAPH (width=0). Repackage this bundle.\n"),
            std::string::npos)
      << log;
}

// Built for a context, a stream refuses rows made for another identity's video: the
// frame counts must agree to the float.
TEST(A2xCreate, MotionDirectoryOfAnotherIdentity) {
  KA_A2X_FIXTURES();
  const std::string src = a2xDir("motion");  // NT 4
  TempDir t;
  for (const auto& e : fs::directory_iterator(src))
    if (e.is_regular_file()) fs::copy_file(e.path(), t / e.path().filename().string());
  const std::string fourRows = slurp(src + "/xs_target.bin");
  struct Case {
    int contextFrames;
    std::string xs;    // xs_target.bin
    std::string want;  // "" when created; else the refusal after "xs_target.bin of <dir> "
  };
  const Case cases[] = {
      {4, fourRows, ""},
      {0, fourRows + std::string(4, '\0'), ""},  // unchecked: the plain creation's rows
      {5, fourRows,
       "holds 4 driver frames (252 floats) but the context's driver video has 5 (315 floats): this motion "
       "directory was made for another identity"},
      {4, fourRows + std::string(4, '\0'),
       "holds 4 driver frames (253 floats) but the context's driver video has 4 (252 floats): this motion "
       "directory was made for another identity"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.contextFrames) + " / " + std::to_string(c.xs.size()));
    writeFile(t / "xs_target.bin", c.xs);
    std::string error;
    try {
      ka::a2x::A2xStream stream(t.path(), 1, c.contextFrames);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.want.empty() ? "" : "xs_target.bin of " + t.path() + " " + c.want);
  }
}

TEST(A2xOffline, CapacityAndWidthRefusals) {
  KA_A2X_FIXTURES();
  const std::vector<float> x = clip("short");
  const int frames = static_cast<int>((x.size() + 639) / 640);
  Handle h(a2xDir("motion"));
  ASSERT_TRUE(h.a) << ka_a2x_last_error();
  std::vector<float> out(static_cast<size_t>(frames) * 63, 7.0f), wn(frames, 7.0f);
  EXPECT_EQ(ka_a2x_deltas(h.a, x.data(), static_cast<int>(x.size()), out.data(), frames - 1), -2);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 7.0f; }));
  EXPECT_EQ(ka_a2x_deltas_wn(h.a, x.data(), static_cast<int>(x.size()), out.data(), wn.data(), frames), -3);
  EXPECT_STREQ(ka_a2x_last_error(), "ka_a2x_deltas_wn: encoder declares no wn output");
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 7.0f; }));
  EXPECT_EQ(ka_a2x_deltas(h.a, x.data(), 0, out.data(), 0), 0);
  EXPECT_EQ(ka_a2x_deltas(h.a, nullptr, 640, out.data(), frames), -1);
  EXPECT_EQ(ka_a2x_nt(h.a), 4);
  EXPECT_EQ(ka_a2x_nt(nullptr), 0);
  // A push on no stream appends nothing and succeeds; samples missing behind a count do not.
  EXPECT_EQ(ka_a2x_push(nullptr, x.data(), 1), 1);
  EXPECT_EQ(ka_a2x_push(nullptr, nullptr, 0), 1);
  EXPECT_EQ(ka_a2x_push(h.a, nullptr, 640), -1);
}
