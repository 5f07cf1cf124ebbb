#include "audio/fca_deltas.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "audio/speech_frontend.h"
#include "compute/pool.h"
#include "base/log.h"

namespace ka::fca {
namespace {

Ort::SessionOptions makeOptions(int threads) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  return o;
}

// A network that lacks a name this engine binds would only fail at the first run, deep
// inside an utterance; it is refused when it opens instead.
void requireNames(Ort::Session& s, const std::string& path, std::initializer_list<const char*> inputs,
                  std::initializer_list<const char*> outputs) {
  Ort::AllocatorWithDefaultOptions alloc;
  auto has = [&](bool input, const char* name) {
    const size_t n = input ? s.GetInputCount() : s.GetOutputCount();
    for (size_t i = 0; i < n; ++i) {
      auto got = input ? s.GetInputNameAllocated(i, alloc) : s.GetOutputNameAllocated(i, alloc);
      if (std::strcmp(got.get(), name) == 0) return true;
    }
    return false;
  };
  for (const char* name : inputs)
    if (!has(true, name)) throw std::runtime_error(path + ": the network has no input \"" + name + "\"");
  for (const char* name : outputs)
    if (!has(false, name)) throw std::runtime_error(path + ": the network has no output \"" + name + "\"");
}

}  // namespace

double quietThreshold(const std::vector<double>& sorted) {
  if (sorted.size() <= static_cast<size_t>(kWarmFrames) + 1) return 0.0;
  const size_t i = sorted.size() - 1;  // the current frame's index
  const double pos = kQuietPercentile * static_cast<double>(i);
  const size_t lo = static_cast<size_t>(std::floor(pos));
  const size_t hi = std::min(lo + 1, i);
  const double t = pos - static_cast<double>(lo);
  const double a = sorted[lo], b = sorted[hi];
  // Interpolated from the nearer end, so equal neighbours give exactly their value.
  return t < 0.5 ? a + (b - a) * t : b - (b - a) * (1.0 - t);
}

FcaDeltas::FcaDeltas(const std::string& encoderPath, const std::string& deltaPath, int threads)
    : env_(ORT_LOGGING_LEVEL_WARNING, "ka_fca", log::ortLoggingFunction, nullptr),
      options_(makeOptions(threads >= 1 ? threads : pool::threads())),
      encoder_(a2x::openSession(env_, encoderPath, options_)),
      delta_(env_, deltaPath.c_str(), options_),
      mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)),
      threads_(threads >= 1 ? threads : pool::threads()),
      window_(kWindowSamples),
      cond_(kContext),
      prev_(kKp),
      state_(kState) {
  requireNames(encoder_, encoderPath, {"input_values"}, {"audio_emb"});
  requireNames(delta_, deltaPath, {"cond", "prev", "h"}, {"m", "hn"});
  // An interrupted run is asked for, not a fault worth a warning.
  runOptions_.SetRunLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
}

int FcaDeltas::deltas(const float* samples, size_t n, float* out, int capacity) {
  const long long frames = frameCount(static_cast<long long>(n));
  if (frames == 0) return 0;
  if (frames > capacity) return -1;
  const int f = static_cast<int>(frames);
  // Cleared before the flag is read: an interrupt() that follows a stop set after this
  // check still reaches the runs below.
  runOptions_.UnsetTerminate();
  checkStop();
  features(samples, n, f);
  normalise(f);
  recur(f, out);
  return f;
}

void FcaDeltas::checkStop() const {
  if (stop_ && stop_->load()) throw std::runtime_error("interrupted");
}

void FcaDeltas::features(const float* samples, size_t n, int frames) {
  features_.assign(static_cast<size_t>(frames) * kFeat, 0.0f);
  int ready = 0;
  // Each window fills the frames no earlier window reached; a window that would add
  // none is not run.
  for (int s = 0; ready < frames; s += kWindowStride) {
    std::fill(window_.begin(), window_.end(), 0.0f);
    const size_t from = static_cast<size_t>(s) * kHop;
    if (from < n) std::memcpy(window_.data(), samples + from, std::min<size_t>(kWindowSamples, n - from) * sizeof(float));
    a2x::normaliseWindow(window_.data(), window_.size());
    checkStop();

    const int64_t shape[] = {1, kWindowSamples};
    Ort::Value in = Ort::Value::CreateTensor<float>(mem_, window_.data(), window_.size(), shape, 2);
    const char* inNames[] = {"input_values"};
    const char* outNames[] = {"audio_emb"};
    auto outs = encoder_.Run(runOptions_, inNames, &in, 1, outNames, 1);
    const size_t count = outs[0].GetTensorTypeAndShapeInfo().GetElementCount();
    const size_t perLayer = static_cast<size_t>(kWindowFrames) * kFeat;
    const size_t layers = count / perLayer;
    if (count % perLayer != 0 || layers <= static_cast<size_t>(kLayers[std::size(kLayers) - 1]))
      throw std::runtime_error("the speech encoder's audio_emb holds " + std::to_string(count) +
                               " values, not [layers >= 10, 200, 768]");
    const float* emb = outs[0].GetTensorData<float>();

    const int j0 = s == 0 ? 0 : kWindowFrames / 4;
    for (int fr = std::max(ready, s + j0); fr < std::min(frames, s + kWindowFrames); ++fr) {
      float* row = features_.data() + static_cast<size_t>(fr) * kFeat;
      for (int l : kLayers) {
        const float* src = emb + static_cast<size_t>(l) * perLayer + static_cast<size_t>(fr - s) * kFeat;
        for (int c = 0; c < kFeat; ++c) row[c] += src[c];
      }
      for (int c = 0; c < kFeat; ++c) row[c] /= static_cast<float>(std::size(kLayers));
    }
    ready = std::min(frames, s + kWindowFrames);
  }
}

void FcaDeltas::normalise(int frames) {
  normalised_.resize(static_cast<size_t>(frames) * kFeat);
  std::vector<double> sorted;
  sorted.reserve(static_cast<size_t>(frames));
  std::vector<double> sum(kFeat, 0.0);
  long long counted = 0;
  for (int i = 0; i < frames; ++i) {
    const float* f = features_.data() + static_cast<size_t>(i) * kFeat;
    double sq = 0.0;
    for (int c = 0; c < kFeat; ++c) sq += static_cast<double>(f[c]) * f[c];
    const double norm = std::sqrt(sq);
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), norm), norm);
    if (quietThreshold(sorted) < norm) {
      for (int c = 0; c < kFeat; ++c) sum[c] += f[c];
      ++counted;
    }
    const double div = static_cast<double>(std::max<long long>(counted, 1));
    float* dst = normalised_.data() + static_cast<size_t>(i) * kFeat;
    for (int c = 0; c < kFeat; ++c) dst[c] = static_cast<float>(f[c] - sum[c] / div);
  }
}

void FcaDeltas::recur(int frames, float* out) {
  std::fill(prev_.begin(), prev_.end(), 0.0f);
  std::fill(state_.begin(), state_.end(), 0.0f);
  const int64_t condShape[] = {1, kContext};
  const int64_t prevShape[] = {1, kKp};
  const int64_t stateShape[] = {1, 1, kState};
  const char* inNames[] = {"cond", "prev", "h"};
  const char* outNames[] = {"m", "hn"};
  for (int i = 0; i < frames; ++i) {
    checkStop();
    for (size_t o = 0; o < std::size(kOffsets); ++o) {
      const int src = std::clamp(i + kOffsets[o], 0, frames - 1);
      std::memcpy(cond_.data() + o * kFeat, normalised_.data() + static_cast<size_t>(src) * kFeat,
                  kFeat * sizeof(float));
    }
    Ort::Value in[] = {Ort::Value::CreateTensor<float>(mem_, cond_.data(), cond_.size(), condShape, 2),
                       Ort::Value::CreateTensor<float>(mem_, prev_.data(), prev_.size(), prevShape, 2),
                       Ort::Value::CreateTensor<float>(mem_, state_.data(), state_.size(), stateShape, 3)};
    auto outs = delta_.Run(runOptions_, inNames, in, 3, outNames, 2);
    if (outs[0].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(kKp) ||
        outs[1].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(kState))
      throw std::runtime_error("the delta network's m / hn are not 63 / 384 values");
    const float* m = outs[0].GetTensorData<float>();
    std::memcpy(out + static_cast<size_t>(i) * kKp, m, kKp * sizeof(float));
    std::memcpy(prev_.data(), m, kKp * sizeof(float));
    std::memcpy(state_.data(), outs[1].GetTensorData<float>(), kState * sizeof(float));
  }
}

}  // namespace ka::fca
