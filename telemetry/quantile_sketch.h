#pragma once
// A fixed-size quantile sketch: counts in logarithmic buckets, so any quantile it
// reports lies within kRelativeError of the true value at that rank, whatever the
// distribution, with memory fixed at construction (no allocation when adding).
#include <cstdint>
#include <vector>

namespace ka::telemetry {

class QuantileSketch {
 public:
  // Relative accuracy of a reported quantile (1%).
  static constexpr double kRelativeError = 0.01;
  // Magnitudes below kMinMagnitude count as zero; above kMaxMagnitude they share the
  // last bucket (the reported quantile is then clamped to the exact min/max).
  static constexpr double kMinMagnitude = 1e-9;
  static constexpr double kMaxMagnitude = 1e12;

  QuantileSketch();

  void add(double v) noexcept;  // v must be finite
  void clear() noexcept;
  uint64_t count() const noexcept { return count_; }

  // The value at rank floor(q * (count - 1)) in sorted order, within kRelativeError of
  // its magnitude; q in [0, 1]; NaN when empty.
  double quantile(double q) const noexcept;

 private:
  int bucketOf(double magnitude) const noexcept;
  double valueOf(int bucket) const noexcept;

  double gamma_, logGamma_;
  int minIndex_;                 // bucket index of kMinMagnitude
  std::vector<uint32_t> pos_;    // positive values by bucket
  std::vector<uint32_t> neg_;    // negative values by bucket of their magnitude
  uint64_t zeros_ = 0, count_ = 0;
};

}  // namespace ka::telemetry
