// ka::readAudio16k: whatever FFmpeg decodes, as 16 kHz mono float.
#include <gtest/gtest.h>

#include <cmath>

#include "audio/audio_file.h"
#include "tests/test_a2x_util.h"

using namespace ka::test;

// A 44.1 kHz stereo FLAC made from a 16 kHz mono WAV comes back as the WAV: same length
// and, after resampling there and back, the same signal within the resampler's error.
TEST(AudioFile, ResamplesAndDownmixesToSixteenKilohertzMono) {
  KA_A2X_FIXTURES();
  const std::vector<float> wav = clip("hello");
  const std::vector<float> flac = ka::readAudio16k(a2xDir("clips/hello_44k_stereo.flac"));
  ASSERT_GT(wav.size(), 16000u);
  EXPECT_LE(std::abs(static_cast<long>(flac.size()) - static_cast<long>(wav.size())), 2);
  double err = 0, energy = 0;
  for (size_t i = 0; i < std::min(wav.size(), flac.size()); ++i) {
    err += (flac[i] - wav[i]) * (flac[i] - wav[i]);
    energy += wav[i] * wav[i];
  }
  EXPECT_LT(std::sqrt(err / energy), 0.02);
}

TEST(AudioFile, FailuresNameTheFile) {
  KA_A2X_FIXTURES();
  for (const std::string& path : {a2xDir("clips/missing.wav"), a2xDir("clips/not_audio.wav"), a2xDir("motion")}) {
    SCOPED_TRACE(path);
    const std::string why = refusal([&] { ka::readAudio16k(path); });
    EXPECT_EQ(why.rfind("readAudio16k: ", 0), 0u) << why;
    EXPECT_NE(why.find(path), std::string::npos) << why;
  }
}
