#pragma once
// A fixed-size quantile sketch. While a series has had few distinct values (counts,
// flags, a constant, small integers) it keeps them exactly and its quantiles are exact;
// past that it counts values in logarithmic buckets, so a reported quantile lies within
// kRelativeError of the true value at that rank for magnitudes in [kMinMagnitude,
// kMaxMagnitude], whatever the distribution. Memory is fixed at construction: adding
// never allocates.
#include <array>
#include <cstdint>
#include <vector>

namespace ka::telemetry {

class QuantileSketch {
 public:
  // Relative accuracy of a quantile read from the buckets (1%).
  static constexpr double kRelativeError = 0.01;
  // The range that accuracy holds over. Once the buckets are in use, magnitudes below
  // kMinMagnitude count as zero and those above kMaxMagnitude share the last bucket
  // (read as kMaxMagnitude; the batch clamps a reading to its exact min and max).
  // 1e19 leaves room for Unix times in nanoseconds and byte counts of any disk.
  static constexpr double kMinMagnitude = 1e-9;
  static constexpr double kMaxMagnitude = 1e19;
  // Distinct values kept exactly before the buckets take over.
  static constexpr int kExactValues = 64;

  QuantileSketch();

  void add(double v) noexcept;  // v must be finite
  void clear() noexcept;
  uint64_t count() const noexcept { return count_; }

  // The value at rank floor(q * (count - 1)) in sorted order: exact while at most
  // kExactValues distinct values were added, else within kRelativeError of its
  // magnitude over the range above; q in [0, 1]; NaN when empty.
  double quantile(double q) const noexcept;

 private:
  int bucketOf(double magnitude) const noexcept;
  double valueOf(int bucket) const noexcept;
  void addToBuckets(double v, uint64_t n) noexcept;

  double gamma_, logGamma_;
  int minIndex_;  // bucket index of kMinMagnitude

  // Exact mode: distinct values in ascending order with their counts.
  std::array<double, kExactValues> exact_{};
  std::array<uint64_t, kExactValues> exactCount_{};
  int nExact_ = 0;
  bool bucketed_ = false;

  std::vector<uint32_t> pos_;  // positive values by bucket
  std::vector<uint32_t> neg_;  // negative values by bucket of their magnitude
  uint64_t zeros_ = 0, count_ = 0;
};

}  // namespace ka::telemetry
