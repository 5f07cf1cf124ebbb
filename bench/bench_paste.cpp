// Paste compositor: a 512 crop (ksize 13) into a 1080p frame through the 1080p test
// identity's face geometry (a ~786 px face, slightly turned), whole and by stage, beside
// peer pipelines doing the same work with OpenCV when the benchmark was built with it
// (-DKA_BENCH_OPENCV=ON): Gaussian unsharp, Lanczos-4 warpAffine and a blend by the
// warped mask; and remap with INTER_LANCZOS4 over the same box with maps made once, plus
// the alpha blend, against the compositor's resample + blend stage. The pool size is
// fixed per process and OpenCV is given the same count: run once with KA_CORE_THREADS=1
// and once with KA_CORE_THREADS=2 (bench/run_paste_bench.sh does).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "compute/pool.h"
#include "compute/simd.h"
#include "hwy/targets.h"
#include "paste/paste.h"

#ifdef KA_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;

struct Scene {
  std::vector<float> crop = std::vector<float>(3 * kSide * kSide);
  std::vector<uint8_t> mask = std::vector<uint8_t>(kSide * kSide);
  std::vector<uint8_t> frame = std::vector<uint8_t>(3 * kW * kH);
  float M[6];
  Scene() {
    std::mt19937 rng(1);
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < kSide * kSide; ++i)
        crop[c * kSide * kSide + i] = 0.5f + 0.4f * std::sin(0.01f * i + c) + 0.05f * ((rng() & 255) / 255.f);
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const float r = std::hypot(x - kSide / 2.f, y - kSide / 2.f) / (kSide * 0.45f);
        mask[y * kSide + x] = uint8_t(std::clamp((1.f - r) * 2000.f, 0.f, 255.f));
      }
    for (auto& b : frame) b = uint8_t(rng());
    // The face of the 1080p test identity: 0.28 * 1080 * 2.6 = 786 px, turned by up to
    // 0.05 rad, centred near (960, 518).
    const float s = 786.24f / kSide, a = 0.05f;
    M[0] = s * std::cos(a), M[1] = -s * std::sin(a), M[3] = s * std::sin(a), M[4] = s * std::cos(a);
    M[2] = 960.f - (M[0] + M[1]) * kSide / 2, M[5] = 518.f - (M[3] + M[4]) * kSide / 2;
  }
};

Scene& scene() {
  static Scene s;
  return s;
}

void BM_PasteComposite(benchmark::State& st) {
  Scene& s = scene();
  ka::Paste p(s.mask, kSide, ka::Unsharp{1.3f, 2.0f, 13});
  for (auto _ : st) p.composite(s.crop.data(), 255.f, s.M, s.frame.data(), kW, kH);
  st.counters["threads"] = ka::pool::threads();
}

// The one-pixel-at-a-time row kernel over the compositor's rows, with the column tables
// and the interleaved crop built here as Paste::place and Paste::sharpen build them: the
// batched kernel's baseline in the same process.
struct PerPixelTail {
  std::vector<float> il, spread = std::vector<float>(ka::simd::kPasteSpreadFloats);
  std::vector<int> fx, fy;
  PerPixelTail(const ka::Paste& p, const float* M, const ka::Paste::Placement& pl) {
    const int S = p.side();
    il.assign(size_t(4) * S * S, 0.0f);
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < S * S; ++i) il[4 * size_t(i) + c] = p.plane(c)[i];
    ka::simd::pasteLanczosSpread(p.lanczosTable().data(), spread.data());
    const double det = double(M[0]) * M[4] - double(M[1]) * M[3];
    const double cu = M[4] / det, cv = -double(M[3]) / det;
    for (int x = pl.x0; x <= pl.x1; ++x) {
      fx.push_back(int(std::trunc(x * cu * 1024.0)));
      fy.push_back(int(std::trunc(x * cv * 1024.0)));
    }
  }
  // Pixels the mask covers, i.e. the ones resampled and blended.
  double covered(const ka::Paste& p, const ka::Paste::Placement& pl) const {
    const int S = p.side();
    const uint8_t* m = p.mask().data();
    auto at = [&](int r, int c) { return r < 0 || c < 0 || r >= S || c >= S ? 0 : int(m[r * S + c]); };
    double n = 0;
    for (int y = pl.y0; y <= pl.y1; ++y) {
      const int dx = int(std::trunc((y * pl.ub + pl.uc) * 1024.0)) + 16;
      const int dy = int(std::trunc((y * pl.vb + pl.vc) * 1024.0)) + 16;
      for (int x = pl.x0; x <= pl.x1; ++x) {
        const int ux = dx + fx[x - pl.x0], uy = dy + fy[x - pl.x0];
        const int ix = ux >> 10, iy = uy >> 10, px = (ux >> 5) & 31, py = (uy >> 5) & 31;
        if (ix < -1 || ix >= S || iy < -1 || iy >= S) continue;
        const int top = at(iy, ix) * (32 - px) + at(iy, ix + 1) * px;
        const int bottom = at(iy + 1, ix) * (32 - px) + at(iy + 1, ix + 1) * px;
        n += (top * (32 - py) + bottom * py) >= 1024;
      }
    }
    return n;
  }
  void run(const ka::Paste& p, const ka::Paste::Placement& pl, uint8_t* frame) const {
    ka::pool::parallelRange(uint64_t(pl.y1 - pl.y0 + 1), 64, [&](uint64_t b, uint64_t e) {
      for (uint64_t k = b; k < e; ++k) {
        const int y = pl.y0 + int(k);
        const int dx = int(std::trunc((y * pl.ub + pl.uc) * 1024.0)) + 16;
        const int dy = int(std::trunc((y * pl.vb + pl.vc) * 1024.0)) + 16;
        ka::simd::pasteLanczos8RowSpread(il.data(), p.side(), p.mask().data(), p.lanczosTable().data(),
                                         spread.data(), p.bilinearTable().data(), fx.data(), fy.data(), dx, dy,
                                         pl.x0, pl.x1, frame + size_t(3) * kW * y);
      }
    });
  }
};

uint32_t fnv1a(const std::vector<uint8_t>& v) {
  uint32_t h = 2166136261u;
  for (const uint8_t b : v) h = (h ^ b) * 16777619u;
  return h;
}

// The resample + blend stage alone, over a crop already sharpened. args: kernel (0 one
// pixel at a time as before, 1 the compositor's batched kernel), target (0 the processor's
// best, 1 AVX2 through Highway's target mask). The label names the target and a hash of
// one pass over the scene's frame: equal across kernels on one target when their output
// is identical.
void BM_PasteResampleBlend(benchmark::State& st) {
  const bool batched = st.range(0) != 0;
#if HWY_ARCH_X86
  if (st.range(1) != 0) hwy::SetSupportedTargetsForTest(HWY_AVX2);
#endif
  Scene& s = scene();
  ka::Paste p(s.mask, kSide, ka::Unsharp{1.3f, 2.0f, 13});
  ka::Paste::Placement pl;
  p.place(s.M, kW, kH, &pl);
  p.sharpen(s.crop.data(), 255.f);
  const PerPixelTail before(p, s.M, pl);
  auto pass = [&](uint8_t* frame) {
    if (batched)
      p.compositeTail(frame, kW, pl.x0, pl.x1, pl.y0, pl.y1, pl.ub, pl.vb, pl.uc, pl.vc);
    else
      before.run(p, pl, frame);
  };
  std::vector<uint8_t> once = s.frame;
  pass(once.data());
  std::vector<uint8_t> frame = s.frame;
  for (auto _ : st) pass(frame.data());
  st.counters["threads"] = ka::pool::threads();
  st.counters["pixels"] = double(pl.x1 - pl.x0 + 1) * (pl.y1 - pl.y0 + 1);
  st.counters["covered"] = before.covered(p, pl);
  char label[64];
  std::snprintf(label, sizeof label, "%s bytes %08x", ka::simd::target(), unsigned(fnv1a(once)));
  st.SetLabel(label);
  hwy::SetSupportedTargetsForTest(0);
}

void BM_PasteUnsharpOnly(benchmark::State& st) {
  Scene& s = scene();
  ka::Paste p(s.mask, kSide, ka::Unsharp{1.3f, 2.0f, 13});
  // Resample-and-blend costs the difference between this and BM_PasteComposite.
  for (auto _ : st) p.sharpen(s.crop.data(), 255.f);
  st.counters["threads"] = ka::pool::threads();
}

#ifdef KA_HAVE_OPENCV
// The same work with OpenCV: unsharp by GaussianBlur + addWeighted, warpAffine with
// INTER_LANCZOS4 of the sharpened crop and INTER_LINEAR of the mask into the bounding
// box of the transformed crop, then an alpha blend into the frame.
void BM_OpenCvPipeline(benchmark::State& st) {
  Scene& s = scene();
  cv::setNumThreads(ka::pool::threads());
  cv::Mat planes[3];
  for (int c = 0; c < 3; ++c)
    planes[c] = cv::Mat(kSide, kSide, CV_32F, s.crop.data() + c * kSide * kSide) * 255.0;
  cv::Mat crop;
  cv::merge(planes, 3, crop);
  cv::Mat mask(kSide, kSide, CV_8U, s.mask.data());
  cv::Mat frame(kH, kW, CV_8UC3, s.frame.data());
  // Bounding box of the transformed crop.
  std::vector<cv::Point2f> corners = {{0, 0}, {kSide, 0}, {0, kSide}, {kSide, kSide}}, mapped;
  cv::Mat Mm = (cv::Mat_<double>(2, 3) << s.M[0], s.M[1], s.M[2], s.M[3], s.M[4], s.M[5]);
  cv::transform(corners, mapped, Mm);
  const cv::Rect box = cv::boundingRect(mapped) & cv::Rect(0, 0, kW, kH);
  cv::Mat Mroi = Mm.clone();
  Mroi.at<double>(0, 2) -= box.x;
  Mroi.at<double>(1, 2) -= box.y;
  cv::Mat blurred, sharp, warped, wmask, roiF, out;
  for (auto _ : st) {
    cv::GaussianBlur(crop, blurred, cv::Size(13, 13), 2.0, 2.0, cv::BORDER_REFLECT_101);
    cv::addWeighted(crop, 2.3, blurred, -1.3, 0.0, sharp);
    cv::warpAffine(sharp, warped, Mroi, box.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(mask, wmask, Mroi, box.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::Mat roi = frame(box);
    roi.convertTo(roiF, CV_32FC3);
    cv::Mat alpha;
    wmask.convertTo(alpha, CV_32F, 1.0 / 255.0);
    cv::Mat alpha3;
    cv::merge(std::vector<cv::Mat>{alpha, alpha, alpha}, alpha3);
    out = roiF + alpha3.mul(warped - roiF);
    out.convertTo(roi, CV_8UC3);
  }
  st.counters["threads"] = ka::pool::threads();
}

// remap with INTER_LANCZOS4 of the sharpened crop (the compositor's own, interleaved)
// and INTER_LINEAR of the mask over the compositor's box, maps built once for the
// geometry as the compositor builds its column tables, then the alpha blend.
void BM_OpenCvRemapBlend(benchmark::State& st) {
  Scene& s = scene();
  cv::setNumThreads(ka::pool::threads());
  ka::Paste p(s.mask, kSide, ka::Unsharp{1.3f, 2.0f, 13});
  ka::Paste::Placement pl;
  p.place(s.M, kW, kH, &pl);
  p.sharpen(s.crop.data(), 255.f);
  cv::Mat planes[3] = {cv::Mat(kSide, kSide, CV_32F, const_cast<float*>(p.plane(0).data())),
                       cv::Mat(kSide, kSide, CV_32F, const_cast<float*>(p.plane(1).data())),
                       cv::Mat(kSide, kSide, CV_32F, const_cast<float*>(p.plane(2).data()))};
  cv::Mat sharp;
  cv::merge(planes, 3, sharp);
  cv::Mat mask(kSide, kSide, CV_8U, s.mask.data());
  const cv::Rect box(pl.x0, pl.y0, pl.x1 - pl.x0 + 1, pl.y1 - pl.y0 + 1);
  cv::Mat mapx(box.size(), CV_32F), mapy(box.size(), CV_32F);
  const double det = double(s.M[0]) * s.M[4] - double(s.M[1]) * s.M[3];
  for (int y = 0; y < box.height; ++y)
    for (int x = 0; x < box.width; ++x) {
      const double fx = box.x + x - s.M[2], fy = box.y + y - s.M[5];
      mapx.at<float>(y, x) = float((s.M[4] * fx - s.M[1] * fy) / det);
      mapy.at<float>(y, x) = float((-s.M[3] * fx + s.M[0] * fy) / det);
    }
  cv::Mat m1, m2;
  cv::convertMaps(mapx, mapy, m1, m2, CV_16SC2);
  cv::Mat frame(kH, kW, CV_8UC3, s.frame.data());
  cv::Mat warped, wmask, roiF, alpha, alpha3, out;
  for (auto _ : st) {
    cv::remap(sharp, warped, m1, m2, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::remap(mask, wmask, m1, m2, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::Mat roi = frame(box);
    roi.convertTo(roiF, CV_32FC3);
    wmask.convertTo(alpha, CV_32F, 1.0 / 255.0);
    cv::merge(std::vector<cv::Mat>{alpha, alpha, alpha}, alpha3);
    out = roiF + alpha3.mul(warped - roiF);
    out.convertTo(roi, CV_8UC3);
  }
  st.counters["threads"] = ka::pool::threads();
}
BENCHMARK(BM_OpenCvRemapBlend)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_OpenCvPipeline)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
#endif

BENCHMARK(BM_PasteComposite)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_PasteResampleBlend)
    ->ArgNames({"batched", "avx2"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PasteUnsharpOnly)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
