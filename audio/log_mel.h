#pragma once
// The log-mel window the motion generator's speech encoder reads: 6 480 samples of
// 16 kHz audio, reflection-padded by 256 at both ends, cut into 21 frames of 512 at a
// hop of 320, windowed, transformed, reduced to magnitudes, projected onto 80 mel
// bands and logged. The output is band-major: out[band * 21 + frame].
#include <cstddef>
#include <vector>

namespace ka::audio {

class LogMel {
 public:
  static constexpr int kSamples = 6480;  // one window of input audio
  static constexpr int kPad = 256;       // reflection on each side
  static constexpr int kFftLen = 512;
  static constexpr int kBins = kFftLen / 2 + 1;  // 257
  static constexpr int kHop = 320;
  static constexpr int kFrames = 21;
  static constexpr int kBands = 80;
  static constexpr float kFloor = 1e-8f;  // added before the log so silence stays finite

  // window: kFftLen values; binmat: kBins rows of kBands (row = FFT bin).
  LogMel(std::vector<float> window, std::vector<float> binmat);

  // in: kSamples samples; out: kBands * kFrames values. Allocates nothing once the
  // calling thread has run one window (its transform state is per thread).
  void compute(const float* in, float* out) const;

 private:
  std::vector<float> window_;
  std::vector<float> binmat_;
  // Per FFT bin the bands [first, last) its row is non-zero in. A filter bank's rows
  // touch one or two bands, so the projection skips the zeros (adding them would not
  // change a sum of finite values).
  std::vector<int> first_, last_;
};

}  // namespace ka::audio
