#include "telemetry/quantile_sketch.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ka::telemetry {

QuantileSketch::QuantileSketch()
    : gamma_((1 + kRelativeError) / (1 - kRelativeError)), logGamma_(std::log(gamma_)) {
  minIndex_ = static_cast<int>(std::ceil(std::log(kMinMagnitude) / logGamma_));
  const int maxIndex = static_cast<int>(std::ceil(std::log(kMaxMagnitude) / logGamma_));
  const size_t buckets = static_cast<size_t>(maxIndex - minIndex_ + 1);
  pos_.assign(buckets, 0);
  neg_.assign(buckets, 0);
}

// Bucket i holds magnitudes in (gamma^(i-1), gamma^i]; its representative
// 2 gamma^i / (gamma + 1) is within kRelativeError of every value in it.
int QuantileSketch::bucketOf(double magnitude) const noexcept {
  const int i = static_cast<int>(std::ceil(std::log(magnitude) / logGamma_)) - minIndex_;
  return std::clamp(i, 0, static_cast<int>(pos_.size()) - 1);
}

double QuantileSketch::valueOf(int bucket) const noexcept {
  return 2 * std::pow(gamma_, bucket + minIndex_) / (gamma_ + 1);
}

void QuantileSketch::add(double v) noexcept {
  ++count_;
  const double m = std::fabs(v);
  if (m < kMinMagnitude) {
    ++zeros_;
    return;
  }
  // Counts saturate rather than wrap: a batch of four billion values in one bucket
  // still ranks sensibly.
  uint32_t& c = (v > 0 ? pos_ : neg_)[bucketOf(m)];
  if (c != std::numeric_limits<uint32_t>::max()) ++c;
}

void QuantileSketch::clear() noexcept {
  std::fill(pos_.begin(), pos_.end(), 0);
  std::fill(neg_.begin(), neg_.end(), 0);
  zeros_ = count_ = 0;
}

double QuantileSketch::quantile(double q) const noexcept {
  if (count_ == 0) return std::numeric_limits<double>::quiet_NaN();
  q = std::clamp(q, 0.0, 1.0);
  const uint64_t rank = static_cast<uint64_t>(std::floor(q * static_cast<double>(count_ - 1)));
  uint64_t seen = 0;
  // Ascending order: the most negative values sit in the highest negative buckets.
  for (int i = static_cast<int>(neg_.size()) - 1; i >= 0; --i) {
    seen += neg_[i];
    if (seen > rank) return -valueOf(i);
  }
  seen += zeros_;
  if (seen > rank) return 0.0;
  for (int i = 0; i < static_cast<int>(pos_.size()); ++i) {
    seen += pos_[i];
    if (seen > rank) return valueOf(i);
  }
  return valueOf(static_cast<int>(pos_.size()) - 1);
}

}  // namespace ka::telemetry
