// The feature-conditioned delta generator against an independent NumPy/PyTorch
// reference (tools/fixtures/make_fca_fixtures.py), its frame counting and capacity
// contract, the quiet threshold, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_file.h"
#include "audio/fca_deltas.h"
#include "ka/ka.h"
#include "tests/support/test_support.h"

namespace {
using namespace ka::test;

std::string fcaDir(const std::string& rel) {
  const std::string d = fixtureDir();
  return d.empty() ? "" : d + "/fca/" + rel;
}
std::string encoderPath() { return fcaDir("w2v/audio_encoder.onnx"); }
std::string deltaPath() { return fcaDir("bundle/fca_stream.onnx"); }

struct FcaDel {
  void operator()(ka_fca* f) const { ka_fca_destroy(f); }
};
using FcaPtr = std::unique_ptr<ka_fca, FcaDel>;

FcaPtr open() {
  FcaPtr f(ka_fca_create(encoderPath().c_str(), deltaPath().c_str(), 2));
  EXPECT_NE(f, nullptr) << ka_fca_last_error();
  return f;
}

std::vector<float> floatsOf(const std::string& path) {
  const std::string bytes = slurp(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

#define NEED_FIXTURES()                                       \
  do {                                                        \
    if (fixtureDir().empty()) GTEST_SKIP() << "no fixtures";  \
  } while (0)

// Windows, layer means, norms, the percentile threshold, the running mean, clamped
// context rows and the recurrence, end to end: a sentence, the same after 1.2 s of the
// noise floor (quiet frames lead the running mean), and 7 frames (threshold 0 throughout).
TEST(FcaDeltas, MatchesTheReference) {
  NEED_FIXTURES();
  FcaPtr f = open();
  ASSERT_NE(f, nullptr);
  for (const char* name : {"speech", "quiet_start", "tiny"}) {
    SCOPED_TRACE(name);
    const std::vector<float> x = ka::readAudio16k(fcaDir(std::string("clips/") + name + ".wav"));
    const std::vector<float> ref = floatsOf(fcaDir(std::string("clips/") + name + ".fca.ref.f32"));
    const int frames = static_cast<int>((x.size() + 639) / 640);
    ASSERT_EQ(ref.size(), static_cast<size_t>(frames) * 63);
    std::vector<float> out(ref.size());
    ASSERT_EQ(ka_fca_deltas(f.get(), x.data(), static_cast<int>(x.size()), out.data(), frames), frames)
        << ka_fca_last_error();
    EXPECT_STREQ(ka_fca_last_error(), "");
    float worst = 0.0f;
    int at = -1;
    for (size_t i = 0; i < out.size(); ++i) {
      const float d = std::fabs(out[i] - ref[i]);
      if (d > worst) worst = d, at = static_cast<int>(i / 63);
    }
    EXPECT_LT(worst, 2e-4f) << "worst at frame " << at;
    // The mouth moves with the sentence: the lower lip's vertical delta spans a real range.
    if (frames < 20) continue;
    float lo = 1e9f, hi = -1e9f;
    for (int i = 0; i < frames; ++i) lo = std::min(lo, out[i * 63 + 55]), hi = std::max(hi, out[i * 63 + 55]);
    EXPECT_GT(hi - lo, 0.01f);
  }
}

TEST(FcaDeltas, FrameCountAndCapacity) {
  NEED_FIXTURES();
  FcaPtr f = open();
  ASSERT_NE(f, nullptr);
  const std::vector<float> x = ka::readAudio16k(fcaDir("clips/speech.wav"));
  struct Case {
    int count, capacity, want;
  } cases[] = {
      {640, 1, 1},     {641, 2, 2},    {641, 1, -1},  {1, 1, 1},
      {0, 0, 0},       {-3, 0, 0},     {6400, 9, -1}, {6400, 10, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " samples, capacity " << c.capacity);
    std::vector<float> out(static_cast<size_t>(c.capacity + 1) * 63, 7.0f);
    EXPECT_EQ(ka_fca_deltas(f.get(), x.data(), c.count, out.data(), c.capacity), c.want);
    // A short capacity is no failure of the engine: no text, and out untouched.
    EXPECT_STREQ(ka_fca_last_error(), "");
    const size_t written = c.want > 0 ? static_cast<size_t>(c.want) * 63 : 0;
    for (size_t i = written; i < out.size(); ++i) ASSERT_EQ(out[i], 7.0f) << i;
  }
}

// The threshold is NumPy's 20th percentile (linear) of the norms so far, 0 up to frame 6.
TEST(FcaDeltas, QuietThreshold) {
  struct Case {
    std::vector<double> sorted;
    double want;
  } cases[] = {
      {{1.0}, 0.0},
      {{1, 2, 3, 4, 5, 6, 7}, 0.0},           // frame 6
      {{1, 2, 3, 4, 5, 6, 7, 8}, 2.4},        // frame 7: position 1.4
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 3.0},  // frame 10: position 2
      {{0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 1.0},  // frame 15: position 3
      {{2.5, 2.5, 2.5, 2.5, 2.5, 2.5, 2.5, 2.5, 2.5}, 2.5},
      {{0.1, 0.2, 0.7, 0.8, 0.9, 1.0, 1.1, 1.2, 1.3, 1.4}, 0.2 + 0.8 * 0.5},  // frame 9: position 1.8
  };
  for (const Case& c : cases) EXPECT_NEAR(ka::fca::quietThreshold(c.sorted), c.want, 1e-12) << c.sorted.size();
  // Equal neighbours give exactly their value, so an unchanged norm never counts as loud.
  EXPECT_EQ(ka::fca::quietThreshold(std::vector<double>(9, 0.1)), 0.1);
}

TEST(FcaDeltas, Refusals) {
  NEED_FIXTURES();
  struct Case {
    const char* encoder;
    const char* delta;
    std::string starts;
  } cases[] = {
      {nullptr, "x", "ka_fca_create: NULL encoder_path/delta_path"},
      {"x", nullptr, "ka_fca_create: NULL encoder_path/delta_path"},
      {"/nonexistent/enc.onnx", "x", "ka_fca_create: "},
      // The encoder handed as the delta network: refused at creation, naming the input.
      {"", "", "ka_fca_create: " + encoderPath() + ": the network has no input \"cond\""},
  };
  const std::string enc = encoderPath();
  for (Case& c : cases) {
    if (c.encoder && !*c.encoder) c.encoder = enc.c_str(), c.delta = enc.c_str();
    EXPECT_EQ(ka_fca_create(c.encoder, c.delta, 1), nullptr);
    EXPECT_EQ(std::string(ka_fca_last_error()).rfind(c.starts, 0), 0u) << ka_fca_last_error();
  }
  FcaPtr f = open();
  float out[63];
  EXPECT_EQ(ka_fca_deltas(f.get(), nullptr, 640, out, 1), -1);
  EXPECT_STREQ(ka_fca_last_error(), "ka_fca_deltas: NULL handle/samples/out");
  EXPECT_EQ(ka_fca_deltas(nullptr, out, 63, out, 1), -1);
  ka_fca_destroy(nullptr);
}

}  // namespace
