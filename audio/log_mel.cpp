#include "audio/log_mel.h"

#include <kiss_fftr.h>

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

namespace ka::audio {

namespace {

// The transform's twiddles and scratch live in the kiss_fftr state, so one state per
// thread lets several handles run windows on different threads without a lock. The
// padded signal and the spectrum sit beside it for the same reason.
struct FftScratch {
  kiss_fftr_cfg cfg = nullptr;
  float padded[LogMel::kSamples + 2 * LogMel::kPad];
  float frame[LogMel::kFftLen];
  kiss_fft_cpx spectrum[LogMel::kBins];
  float magnitude[LogMel::kBins];
  float bands[LogMel::kBands];

  FftScratch() {
    cfg = kiss_fftr_alloc(LogMel::kFftLen, 0, nullptr, nullptr);
    if (!cfg) throw std::bad_alloc();
  }
  ~FftScratch() { kiss_fftr_free(cfg); }
  FftScratch(const FftScratch&) = delete;
  FftScratch& operator=(const FftScratch&) = delete;
};

FftScratch& scratch() {
  thread_local FftScratch g_scratch;
  return g_scratch;
}

}  // namespace

LogMel::LogMel(std::vector<float> window, std::vector<float> binmat)
    : window_(std::move(window)), binmat_(std::move(binmat)) {
  if (window_.size() != static_cast<size_t>(kFftLen) || binmat_.size() != static_cast<size_t>(kBins) * kBands)
    throw std::runtime_error("LogMel: window of " + std::to_string(window_.size()) + " and matrix of " +
                             std::to_string(binmat_.size()) + " floats, expected " + std::to_string(kFftLen) +
                             " and " + std::to_string(kBins * kBands));
  first_.assign(kBins, 0);
  last_.assign(kBins, 0);
  for (int k = 0; k < kBins; ++k) {
    const float* row = binmat_.data() + static_cast<size_t>(k) * kBands;
    int b0 = 0, b1 = kBands;
    while (b0 < kBands && row[b0] == 0.f) ++b0;
    while (b1 > b0 && row[b1 - 1] == 0.f) --b1;
    first_[k] = b0;
    last_[k] = b1;
  }
}

void LogMel::compute(const float* in, float* out) const {
  FftScratch& s = scratch();
  constexpr int n = kSamples;
  // Reflection excludes the edge sample itself: padded[kPad - i] = in[i].
  for (int i = 0; i < kPad; ++i) s.padded[i] = in[kPad - i];
  for (int i = 0; i < n; ++i) s.padded[kPad + i] = in[i];
  for (int i = 0; i < kPad; ++i) s.padded[kPad + n + i] = in[n - 2 - i];

  for (int f = 0; f < kFrames; ++f) {
    const float* src = s.padded + f * kHop;
    for (int i = 0; i < kFftLen; ++i) s.frame[i] = src[i] * window_[i];
    kiss_fftr(s.cfg, s.frame, s.spectrum);
    for (int k = 0; k < kBins; ++k)
      s.magnitude[k] = std::sqrt(s.spectrum[k].r * s.spectrum[k].r + s.spectrum[k].i * s.spectrum[k].i);
    for (int b = 0; b < kBands; ++b) s.bands[b] = 0.f;
    for (int k = 0; k < kBins; ++k) {
      const float m = s.magnitude[k];
      const float* row = binmat_.data() + static_cast<size_t>(k) * kBands;
      for (int b = first_[k]; b < last_[k]; ++b) s.bands[b] += row[b] * m;
    }
    for (int b = 0; b < kBands; ++b) out[b * kFrames + f] = std::log(s.bands[b] + kFloor);
  }
}

}  // namespace ka::audio
