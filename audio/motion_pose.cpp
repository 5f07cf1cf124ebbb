#include "audio/motion_pose.h"

#include <algorithm>
#include <cmath>

namespace ka::audio {

float decodeAngle(const float* bins) {
  // Shifted by the maximum so the exponentials cannot overflow; the result is the same.
  const float top = *std::max_element(bins, bins + record::kBins);
  double sum = 0, weighted = 0;
  for (int i = 0; i < record::kBins; ++i) {
    const double e = std::exp(static_cast<double>(bins[i]) - top);
    sum += e;
    weighted += e * i;
  }
  return static_cast<float>(3.0 * weighted / sum - 97.5);
}

Mat3 rotation(float pitchDeg, float yawDeg, float rollDeg) {
  constexpr double kRad = 3.14159265358979323846 / 180.0;
  const double sp = std::sin(pitchDeg * kRad), cp = std::cos(pitchDeg * kRad);
  const double sy = std::sin(yawDeg * kRad), cy = std::cos(yawDeg * kRad);
  const double sr = std::sin(rollDeg * kRad), cr = std::cos(rollDeg * kRad);
  return {static_cast<float>(cy * cr),
          static_cast<float>(cy * sr),
          static_cast<float>(-sy),
          static_cast<float>(-sr * cp + sp * sy * cr),
          static_cast<float>(cp * cr + sp * sy * sr),
          static_cast<float>(sp * cy),
          static_cast<float>(sp * sr + cp * sy * cr),
          static_cast<float>(-cr * sp + cp * sy * sr),
          static_cast<float>(cp * cy)};
}

void placeKeypoints(const float* canonical, const Mat3& r, const float* exp, float scale, const float* trans,
                    float* out) {
  for (int k = 0; k < 21; ++k) {
    const float* p = canonical + 3 * k;
    for (int c = 0; c < 3; ++c) {
      const float rotated = p[0] * r[0 * 3 + c] + p[1] * r[1 * 3 + c] + p[2] * r[2 * 3 + c];
      out[3 * k + c] = scale * (rotated + exp[3 * k + c]) + (c < 2 ? trans[c] : 0.f);
    }
  }
}

}  // namespace ka::audio
