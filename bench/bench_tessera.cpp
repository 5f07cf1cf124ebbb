// Per-frame teeth masks on a 512 canvas: pi over the whole canvas (the load-time form)
// against pi evaluated only in its support box (the per-frame form), the delivered mask
// (pi clipped by the lip contour) and the contour the renderer binds, all from one
// frame's keypoints with the mouth half open. Then attach's corpus match: the canonical
// centroid of 512 driver frames under each of the three corpus geometries, evaluated in
// the support boxes (what attach does) against the whole canvas (what it did before).
#include <benchmark/benchmark.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/lip_contour.h"
#include "tessera/unified_pi.h"

namespace {

using ka::tessera::LipContour;
using ka::tessera::UnifiedPi;

constexpr int kN = 512;

std::vector<float> mouth() {
  std::vector<float> kp(63, 0.0f);
  const float pts[4][2] = {{-0.2f, 0.4f}, {0.2f, 0.4f}, {0.0f, 0.35f}, {0.0f, 0.46f}};
  for (int r = 0; r < 4; ++r) kp[(15 + r) * 3] = pts[r][0], kp[(15 + r) * 3 + 1] = pts[r][1];
  return kp;
}

UnifiedPi pi() {
  return UnifiedPi::fromManifestJson(
      "{\"unified\": {\"pi\": {\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [15,16,17,18], "
      "\"lip_geom_params\": [0.1, 0.08, 0.074]}}}",
      kN);
}

LipContour contour() {
  std::string u;
  for (int v = 0; v < 16; ++v)
    u += (v ? "," : "") + std::string("[") + std::to_string(1.15 * std::cos(v * 0.3927)) + "," +
         std::to_string(1.3 * std::sin(v * 0.3927)) + "]";
  return LipContour::fromTemplateJson("{\"format\": \"lip-template-v1\", \"canvas\": 512, \"feather_px\": 3, "
                                      "\"u_canon\": [" + u + "], \"lip_idx\": [15,16,17,18]}",
                                      kN);
}

void BM_PiFullCanvas(benchmark::State& st) {
  const UnifiedPi p = pi();
  const auto kp = mouth();
  std::vector<uint8_t> out(kN * kN);
  for (auto _ : st) {
    p.piU8(kp.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_PiFullCanvas)->Unit(benchmark::kMicrosecond);

void BM_PiSupportBox(benchmark::State& st) {
  const UnifiedPi p = pi();
  const auto kp = mouth();
  std::vector<uint8_t> out(kN * kN);
  for (auto _ : st) {
    p.piU8Boxed(kp.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_PiSupportBox)->Unit(benchmark::kMicrosecond);

void BM_DeliveredMask(benchmark::State& st) {
  const UnifiedPi p = pi();
  LipContour lc = contour();
  const auto kp = mouth();
  std::vector<uint8_t> out(kN * kN);
  for (auto _ : st) {
    lc.deliveredU8(kp.data(), p, out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_DeliveredMask)->Unit(benchmark::kMicrosecond);

void BM_ContourCanvas(benchmark::State& st) {
  LipContour lc = contour();
  const auto kp = mouth();
  std::vector<float> out(kN * kN);
  for (auto _ : st) {
    lc.contourF32Canvas(kp.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_ContourCanvas)->Unit(benchmark::kMicrosecond);

// 512 frames of a mouth opening and closing; the manifest names canvas 512.
std::vector<float> drive() {
  std::vector<float> frames;
  for (int f = 0; f < 512; ++f) {
    auto kp = mouth();
    const float open = 0.5f + 0.5f * std::sin(f * 0.2f);
    kp[17 * 3 + 1] = 0.4f - 0.05f * open, kp[18 * 3 + 1] = 0.4f + 0.06f * open;
    frames.insert(frames.end(), kp.begin(), kp.end());
  }
  return frames;
}

const std::string kCorpusManifest =
    "{\"unified\": {\"pi\": {\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [15,16,17,18], "
    "\"lip_geom_params\": [0.1, 0.08, 0.074]}}}";

void BM_CorpusMatch512Frames(benchmark::State& st) {
  const auto frames = drive();
  const UnifiedPi base = pi();
  double canon[2] = {0, 0};
  base.canonicalCentroid(frames.data(), 512, &canon[0], &canon[1]);
  for (auto _ : st) {
    std::string picked;
    try {
      benchmark::DoNotOptimize(UnifiedPi::corpusFromManifestJson(kCorpusManifest, kN, frames.data(), 512, canon, &picked));
    } catch (const std::runtime_error&) {  // ambiguity is fine: every geometry was evaluated
    }
  }
}
BENCHMARK(BM_CorpusMatch512Frames)->Unit(benchmark::kMillisecond);

// The whole-canvas form of the same three centroids, the baseline.
void BM_CorpusMatch512FramesWholeCanvas(benchmark::State& st) {
  const auto frames = drive();
  const UnifiedPi base = pi();
  std::vector<uint8_t> buf(kN * kN);
  for (auto _ : st)
    for (int r = 0; r < 3; ++r) {
      double sx = 0;
      for (int f = 0; f < 512; ++f) {
        double x = 0, y = 0;
        base.piU8(frames.data() + f * 63, buf.data());
        if (base.piU8Centroid(buf.data(), &x, &y)) sx += x + y;
      }
      benchmark::DoNotOptimize(sx);
    }
}
BENCHMARK(BM_CorpusMatch512FramesWholeCanvas)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

