#pragma once
// Shared by the driver tests: fixture paths, raw dumps, and reference conversions written
// straight from the published formulas, independently of the code under test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace ka::test {

// Fixture members are 96x64 x 30 frames (driver) and 64x64 x 30 frames (prior).
constexpr int kW = 96, kH = 64, kNT = 30, kSide = 64;

inline std::string driverFixture(const std::string& name) { return fixtureDir() + "/driver/" + name; }

#define KA_REQUIRE_DRIVER_FIXTURES()                                                   \
  do {                                                                                 \
    if (::ka::test::fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES not set"; \
  } while (0)

inline std::vector<uint8_t> bytesOf(const std::string& path) {
  const std::string s = slurp(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

inline uint8_t clampByte(double v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Limited-range BT.601 in the 8.8 integer form the canvas uses, evaluated as exact
// floor divisions in double precision. chroma(x) gives (u, v) for pixel column x.
template <class Chroma>
std::vector<uint8_t> referenceRgbRow(const uint8_t* y, int w, Chroma chroma) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * 3);
  for (int x = 0; x < w; ++x) {
    const auto [u, v] = chroma(x);
    const double Y = 298.0 * (y[x] - 16) + 128.0;
    out[3 * x + 0] = clampByte(std::floor((Y + 409.0 * (v - 128)) / 256.0));
    out[3 * x + 1] = clampByte(std::floor((Y - 100.0 * (u - 128) - 208.0 * (v - 128)) / 256.0));
    out[3 * x + 2] = clampByte(std::floor((Y + 516.0 * (u - 128)) / 256.0));
  }
  return out;
}

// RGB24 of frame f of a raw 4:2:0 dump: planar (yuv420p) or interleaved (nv12) chroma.
inline std::vector<uint8_t> reference420(const std::vector<uint8_t>& dump, int f, int w, int h, bool nv12) {
  const size_t ysz = static_cast<size_t>(w) * h;
  const uint8_t* Y = dump.data() + f * (ysz + ysz / 2);
  const uint8_t* C = Y + ysz;
  std::vector<uint8_t> rgb;
  for (int r = 0; r < h; ++r) {
    const size_t row = static_cast<size_t>(r / 2) * (w / 2);
    auto chroma = [&](int x) {
      if (nv12) return std::pair<int, int>(C[2 * row + 2 * (x / 2)], C[2 * row + 2 * (x / 2) + 1]);
      return std::pair<int, int>(C[row + x / 2], C[ysz / 4 + row + x / 2]);
    };
    auto px = referenceRgbRow(Y + static_cast<size_t>(r) * w, w, chroma);
    rgb.insert(rgb.end(), px.begin(), px.end());
  }
  return rgb;
}

// Nearest binary16 of a float in the normal range or zero, ties to even.
inline uint16_t referenceHalf(float xf) {
  const double x = xf;
  if (x == 0) return 0;
  int ex = 0;
  const double fr = std::frexp(x, &ex);  // x = fr * 2^ex, fr in [0.5, 1)
  int e = ex - 1;
  double q = std::nearbyint((fr * 2.0 - 1.0) * 1024.0);
  if (q == 1024.0) {
    q = 0;
    ++e;
  }
  return static_cast<uint16_t>(((e + 15) << 10) | static_cast<int>(q));
}

// Planar half-float RGB of frame f of a raw yuv444p dump: 16.16 fixed-point BT.601,
// clamped to a byte, then half(byte / 255).
inline std::vector<uint16_t> referencePrior(const std::vector<uint8_t>& dump, int f, int side) {
  const size_t n = static_cast<size_t>(side) * side;
  const uint8_t* Y = dump.data() + f * 3 * n;
  const uint8_t* U = Y + n;
  const uint8_t* V = U + n;
  std::vector<uint16_t> out(3 * n);
  for (size_t i = 0; i < n; ++i) {
    const double c = (Y[i] - 16) * 76312.0, d = U[i] - 128.0, e = V[i] - 128.0;
    const double rgb[3] = {std::floor((c + 104600.0 * e + 32768.0) / 65536.0),
                           std::floor((c - 25672.0 * d - 53280.0 * e + 32768.0) / 65536.0),
                           std::floor((c + 132200.0 * d + 32768.0) / 65536.0)};
    for (int p = 0; p < 3; ++p) out[p * n + i] = referenceHalf(static_cast<float>(clampByte(rgb[p])) / 255.0f);
  }
  return out;
}

// A manifest.json for a driver bundle of the given geometry; `extra` starts with ", ".
inline std::string driverManifest(int nt, int w, int h, int crop, const std::string& extra = "") {
  return "{\"format\": \"ka-bundle-v0\", \"agent\": \"t\", \"NT\": " + std::to_string(nt) +
         ", \"H\": " + std::to_string(h) + ", \"W\": " + std::to_string(w) + ", \"crop\": " +
         std::to_string(crop) +
         ", \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13, \"frames\": 1, \"M_src_w\": " + std::to_string(w) +
         ", \"M_src_h\": " + std::to_string(h) + extra + "}\n";
}

}  // namespace ka::test
