#pragma once
// ka::fca::FcaDeltas: an offline audio-to-expression generator. For one whole utterance
// of 16 kHz float audio it returns one 63-float keypoint delta per 640 samples. The
// 8-second speech encoder gives per-frame features (the mean of six middle layers),
// which are normalised against a running mean of the speaker's voiced frames and fed,
// seven frames at a time, to a small recurrent delta network.
//
// No streaming state: every call handles one utterance on its own. One thread at a time.
#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

namespace ka::fca {

constexpr int kHop = 640;                              // samples per frame
constexpr int kFeat = 768;                             // feature width
constexpr int kWindowSamples = 128000;                 // the encoder's 8 s window
constexpr int kWindowFrames = 200;
constexpr int kWindowStride = 100;                     // frames between window origins
constexpr int kLayers[] = {4, 5, 6, 7, 8, 9};          // encoder layers averaged
constexpr int kOffsets[] = {-1, 0, 1, 2, 3, 4, 5};     // context frames around the current
constexpr int kContext = static_cast<int>(std::size(kOffsets)) * kFeat;  // 5376
constexpr int kState = 384;                            // recurrent state of the delta network
constexpr int kKp = 63;
// Up to this frame index every voiced frame counts toward the speaker's mean.
constexpr int kWarmFrames = 6;
constexpr double kQuietPercentile = 0.2;

// Frames of an utterance of n samples: ceil(n / 640); 0 for n < 1.
inline long long frameCount(long long n) { return n < 1 ? 0 : (n + kHop - 1) / kHop; }

// The threshold under which frame i counts as quiet, given the norms of frames 0..i
// kept sorted ascending: 0 for i <= 6, else their 20th percentile with linear
// interpolation at position 0.2 * i.
double quietThreshold(const std::vector<double>& sortedNorms);

class FcaDeltas {
 public:
  // Opens both networks. threads < 1 uses the worker pool's count. Throws the runtime's
  // reason, naming the file, when a network does not open or lacks the expected
  // inputs and outputs.
  FcaDeltas(const std::string& encoderPath, const std::string& deltaPath, int threads);

  // Writes frameCount(n) rows of 63 floats into out and returns that count; returns -1
  // (out untouched) when capacity is below it. Throws on network failures.
  int deltas(const float* samples, size_t n, float* out, int capacity);

  // Makes deltas() give up, throwing "interrupted", once *stop is true: before each
  // network run, and from inside the one under way when interrupt() is called after
  // setting it. The flag outlives this object's use of it; null turns the check off.
  void setStop(const std::atomic<bool>* stop) { stop_ = stop; }
  // From any thread: aborts the network run in progress of a deltas() call whose stop
  // flag is set. Without the flag set it changes nothing, so a later call runs whole.
  void interrupt() { runOptions_.SetTerminate(); }

  // The speaker-normalised feature rows of the last deltas() call (frames x 768).
  const std::vector<float>& normalisedFeatures() const { return normalised_; }

 private:
  void features(const float* samples, size_t n, int frames);
  void normalise(int frames);
  void recur(int frames, float* out);
  void checkStop() const;

  Ort::Env env_;
  Ort::SessionOptions options_;
  Ort::Session encoder_;
  Ort::Session delta_;
  Ort::MemoryInfo mem_;
  int threads_;
  Ort::RunOptions runOptions_;
  const std::atomic<bool>* stop_ = nullptr;

  std::vector<float> window_;      // one normalised 8 s window
  std::vector<float> features_;    // frames x 768, layer means
  std::vector<float> normalised_;  // frames x 768
  std::vector<float> cond_;        // one context row
  std::vector<float> prev_, state_;  // the recurrence's previous output and state
};

}  // namespace ka::fca
