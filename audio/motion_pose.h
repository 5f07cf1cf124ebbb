#pragma once
// Keypoint records of the motion generator and the head pose they carry.
//
// A record is 328 floats: 63 expression offsets, 63 canonical keypoint coordinates,
// 66 pitch bins, 66 roll bins, the scale, the translation (x, y, z) and 66 yaw bins.
// Each bin group is a distribution over angles 3 degrees apart starting at -97.5.
#include <array>

namespace ka::audio {

namespace record {
constexpr int kFloats = 328;
constexpr int kBins = 66;
constexpr int kExp = 0;
constexpr int kCanonical = 63;
constexpr int kPitch = 126;
constexpr int kRoll = 192;
constexpr int kScale = 258;
constexpr int kTrans = 259;
constexpr int kYaw = 262;
}  // namespace record

using Mat3 = std::array<float, 9>;  // row-major

// The expected angle in degrees of one 66-bin group: 3 * sum(softmax(bins)_i * i) - 97.5.
float decodeAngle(const float* bins);

// Rotation for pitch, yaw and roll in degrees, applied to row vectors (k * R).
Mat3 rotation(float pitchDeg, float yawDeg, float rollDeg);

// out = scale * (k * R + exp) + (tx, ty, 0) for 21 keypoints of canonical coordinates k.
void placeKeypoints(const float* canonical, const Mat3& r, const float* exp, float scale, const float* trans,
                    float* out);

}  // namespace ka::audio
