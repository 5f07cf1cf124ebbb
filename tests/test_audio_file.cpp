// ka::readAudio16k: whatever FFmpeg decodes, as 16 kHz mono float.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

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

// ADTS streams joined with cat change rate and channel count at the seam. The reader
// follows each change, so the joined file is exactly as long as its parts, in either
// order; the parts themselves are a second of sound plus the codec's priming.
TEST(AudioFile, AFormatChangeMidFileIsFollowed) {
  KA_A2X_FIXTURES();
  const long stereo44 = long(ka::readAudio16k(a2xDir("clips/aac_44k_stereo.aac")).size());
  const long mono16 = long(ka::readAudio16k(a2xDir("clips/aac_16k_mono.aac")).size());
  EXPECT_NEAR(stereo44 + mono16, 2 * 16000, 2 * 1100);
  for (const char* joined : {"clips/aac_44k_then_16k.aac", "clips/aac_16k_then_44k.aac"}) {
    const std::vector<float> x = ka::readAudio16k(a2xDir(joined));
    EXPECT_NEAR(long(x.size()), stereo44 + mono16, 64) << joined;
    float peak = 0;
    for (const float v : x) peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.05f) << joined;
    EXPECT_LE(peak, 1.0f) << joined;
  }
}

namespace {

// A PCM WAV of 16-bit samples: `frames` frames of a ramp, a data chunk declaring
// `declared` bytes (the real count when negative) and `trailer` after the samples.
std::string wavFile(uint32_t rate, uint16_t channels, size_t frames, int64_t declared = -1,
                    const std::string& trailer = "") {
  std::string pcm(frames * channels * 2, '\0');
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    const int16_t v = int16_t((i * 37) % 20000 - 10000);
    std::memcpy(&pcm[i * 2], &v, 2);
  }
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t data = declared < 0 ? uint32_t(pcm.size()) : uint32_t(declared);
  const std::string fmt =
      u16(1) + u16(channels) + u32(rate) + u32(rate * channels * 2) + u16(uint16_t(channels * 2)) + u16(16);
  const std::string body = "WAVE" + ("fmt " + u32(uint32_t(fmt.size())) + fmt) + "data" + u32(data) + pcm + trailer;
  return "RIFF" + u32(uint32_t(body.size())) + body;
}

}  // namespace

// What a header claims is held against what the file holds: a rate that would make a
// small file decode to hours is refused before the samples are allocated, a rate above
// any recording's before the resampler is built, and a data chunk longer than the file
// says the file is truncated. All name the file.
TEST(AudioFile, HeadersCannotClaimMoreThanTheFileHolds) {
  TempDir d;
  struct Case {
    const char* name;
    std::string bytes;
    long samples;       // expected at 16 kHz (within 32), when accepted
    const char* words;  // in the refusal, when refused
  } cases[] = {
      {"1 Hz", wavFile(1, 1, 16000), 0, "claims more audio than"},
      {"10 Hz, stereo", wavFile(10, 2, 8000), 0, "claims more audio than"},
      {"250 Hz: odd, but within what 32 KB can say", wavFile(250, 1, 16000), 1024000, nullptr},
      {"4 kHz", wavFile(4000, 1, 16000), 64000, nullptr},
      {"16 kHz", wavFile(16000, 1, 16000), 16000, nullptr},
      {"768 kHz", wavFile(768000, 1, 16000), 333, nullptr},
      {"1 MHz: the resampler's filter would grow with the rate", wavFile(1000000, 1, 16000), 0,
       "has a sample rate of 1000000 Hz, above"},
      {"half the data missing", wavFile(16000, 1, 16000, 64000), 0, "is truncated"},
      {"one byte missing", wavFile(16000, 1, 16000, 32001), 0, "is truncated"},
      {"unknown length (streamed)", wavFile(16000, 1, 16000, 0xFFFFFFFF), 16000, nullptr},
      {"a chunk after the data", wavFile(16000, 1, 16000, -1, "LIST" + std::string("\4\0\0\0abcd", 8)), 16000,
       nullptr},
      {"no samples", wavFile(16000, 1, 0), 0, nullptr},
  };
  for (const Case& c : cases) {
    const std::string path = d / (std::string(c.name) + ".wav");
    writeFile(path, c.bytes);
    std::vector<float> x;
    const std::string why = refusal([&] { x = ka::readAudio16k(path); });
    if (c.words) {
      EXPECT_NE(why.find(c.words), std::string::npos) << c.name << ": " << why;
      EXPECT_NE(why.find(path), std::string::npos) << c.name << ": " << why;
    } else {
      EXPECT_EQ(why, "") << c.name;
      EXPECT_NEAR(long(x.size()), c.samples, 32) << c.name;
    }
  }

  // Float samples out of range, as damaged packets also decode to, come back within it.
  const float wild[] = {NAN, INFINITY, -INFINITY, 2.0f, -3.0f, 0.5f};
  std::string pcm(reinterpret_cast<const char*>(wild), sizeof wild);
  std::string wav = wavFile(16000, 1, 0);
  wav.replace(20, 2, std::string("\3\0", 2));   // IEEE float
  wav.replace(28, 4, std::string("\0\xfa\0\0", 4));  // 64000 bytes per second
  wav.replace(32, 4, std::string("\4\0\x20\0", 4));  // 4-byte frames of 32 bits
  wav.replace(wav.size() - 4, 4, std::string("\x18\0\0\0", 4));
  writeFile(d / "wild.wav", wav + pcm);
  const std::vector<float> x = ka::readAudio16k(d / "wild.wav");
  ASSERT_EQ(x.size(), 6u);
  for (const float v : x) EXPECT_TRUE(std::fabs(v) <= 1.0f) << v;
  EXPECT_EQ(x[0], 0.0f);
  EXPECT_EQ(x[5], 0.5f);
}

// The clip in the rates, widths and containers the tools are handed comes back as its
// 16 kHz source: as long within a few samples, and as close as the path through that
// rate or codec allows. What cannot be read is refused naming the file and why.
TEST(AudioFile, EveryInputConvertsOrIsRefusedWithItsReason) {
  KA_A2X_FIXTURES();
  const std::vector<float> ref = clip("hello");
  struct Case {
    const char* file;   // under clips/formats
    double maxError;    // RMS of the difference over the source's RMS, when accepted
    const char* words;  // in the refusal, after the file's path, when refused
  } cases[] = {
      {"8k.wav", 0.08, nullptr},  // what lies above 4 kHz is gone
      {"44k.wav", 0.02, nullptr},
      {"48k.wav", 0.02, nullptr},
      {"stereo.wav", 0.001, nullptr},
      {"u8.wav", 0.06, nullptr},
      {"s24.wav", 0.001, nullptr},
      {"f32.wav", 0.001, nullptr},
      {"f64_stereo.wav", 0.001, nullptr},
      {"44k_stereo.mp3", 0.1, nullptr},
      {"48k_stereo.ogg", 0.1, nullptr},  // Opus
      {"44k_stereo.m4a", 0.1, nullptr},  // AAC
      {"video.mp4", 0.1, nullptr},       // H.264 with an AAC track
      {"empty.wav", 0, " is empty"},
      {"cut_in_data.wav", 0, " is truncated: its data chunk declares"},
      {"cut_in_header.wav", 0, " is truncated: it ends inside its WAV header, at byte 30"},
      {"cut_after_fmt.wav", 0, " is truncated: it ends inside its WAV header, at byte 36"},
      {"text.wav", 0, " is in no audio or video format FFmpeg reads"},
      {"video_no_audio.mp4", 0, " holds no audio stream"},
      {"missing.wav", 0, " (No such file or directory)"},
      {"", 0, " (Is a directory)"},
  };
  for (const Case& c : cases) {
    const std::string path = a2xDir("clips/formats/") + c.file;
    SCOPED_TRACE(path);
    std::vector<float> x;
    const std::string why = refusal([&] { x = ka::readAudio16k(path); });
    if (c.words) {
      EXPECT_NE(why.find("readAudio16k: "), std::string::npos) << why;
      EXPECT_NE(why.find(path + c.words), std::string::npos) << why;
      continue;
    }
    EXPECT_EQ(why, "");
    EXPECT_NEAR(double(x.size()), double(ref.size()), 4);
    double err = 0, energy = 0;
    for (size_t i = 0; i < std::min(x.size(), ref.size()); ++i) {
      err += (x[i] - ref[i]) * (x[i] - ref[i]);
      energy += ref[i] * ref[i];
    }
    EXPECT_LT(std::sqrt(err / energy), c.maxError);
  }
}
