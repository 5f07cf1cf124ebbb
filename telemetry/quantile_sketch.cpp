#include "telemetry/quantile_sketch.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ka::telemetry {

namespace {
// A hair inside the promise, so that a value on a bucket's edge that the logarithm's
// rounding puts into the next bucket is still within it.
constexpr double kBucketError = 0.995 * QuantileSketch::kRelativeError;
}  // namespace

QuantileSketch::QuantileSketch()
    : gamma_((1 + kBucketError) / (1 - kBucketError)), logGamma_(std::log(gamma_)) {
  minIndex_ = static_cast<int>(std::ceil(std::log(kMinMagnitude) / logGamma_));
  const int maxIndex = static_cast<int>(std::ceil(std::log(kMaxMagnitude) / logGamma_));
  // The last bucket is for magnitudes beyond kMaxMagnitude.
  const size_t buckets = static_cast<size_t>(maxIndex - minIndex_ + 2);
  pos_.assign(buckets, 0);
  neg_.assign(buckets, 0);
}

// Bucket i holds magnitudes in (gamma^(i-1), gamma^i]; its representative
// 2 gamma^i / (gamma + 1) is within kBucketError of every value in it.
int QuantileSketch::bucketOf(double magnitude) const noexcept {
  const int i = static_cast<int>(std::ceil(std::log(magnitude) / logGamma_)) - minIndex_;
  return std::clamp(i, 0, static_cast<int>(pos_.size()) - 1);
}

double QuantileSketch::valueOf(int bucket) const noexcept {
  if (bucket == static_cast<int>(pos_.size()) - 1) return kMaxMagnitude;
  return 2 * std::pow(gamma_, bucket + minIndex_) / (gamma_ + 1);
}

void QuantileSketch::addToBuckets(double v, uint64_t n) noexcept {
  const double m = std::fabs(v);
  if (m < kMinMagnitude) {
    zeros_ += n;
    return;
  }
  // Counts saturate rather than wrap: a batch of four billion values in one bucket
  // still ranks sensibly.
  uint32_t& c = (v > 0 ? pos_ : neg_)[bucketOf(m)];
  c = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{c} + n, std::numeric_limits<uint32_t>::max()));
}

void QuantileSketch::add(double v) noexcept {
  ++count_;
  if (bucketed_) {
    addToBuckets(v, 1);
    return;
  }
  const auto end = exact_.begin() + nExact_;
  const auto at = std::lower_bound(exact_.begin(), end, v);
  const int i = static_cast<int>(at - exact_.begin());
  if (at != end && *at == v) {
    ++exactCount_[i];
    return;
  }
  if (nExact_ < kExactValues) {
    std::copy_backward(exact_.begin() + i, exact_.begin() + nExact_, exact_.begin() + nExact_ + 1);
    std::copy_backward(exactCount_.begin() + i, exactCount_.begin() + nExact_,
                       exactCount_.begin() + nExact_ + 1);
    exact_[i] = v;
    exactCount_[i] = 1;
    ++nExact_;
    return;
  }
  // One distinct value too many: the series goes over to the buckets for good.
  for (int k = 0; k < nExact_; ++k) addToBuckets(exact_[k], exactCount_[k]);
  nExact_ = 0;
  bucketed_ = true;
  addToBuckets(v, 1);
}

void QuantileSketch::clear() noexcept {
  if (bucketed_) {
    std::fill(pos_.begin(), pos_.end(), 0);
    std::fill(neg_.begin(), neg_.end(), 0);
  }
  nExact_ = 0;
  bucketed_ = false;
  zeros_ = count_ = 0;
}

double QuantileSketch::quantile(double q) const noexcept {
  if (count_ == 0) return std::numeric_limits<double>::quiet_NaN();
  q = std::clamp(q, 0.0, 1.0);
  const uint64_t rank = static_cast<uint64_t>(std::floor(q * static_cast<double>(count_ - 1)));
  uint64_t seen = 0;
  if (!bucketed_) {
    for (int k = 0; k < nExact_; ++k) {
      seen += exactCount_[k];
      if (seen > rank) return exact_[k];
    }
    return exact_[nExact_ - 1];
  }
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
