// Paste compositor: a 512 crop (ksize 13) into a 1080p frame through a face-sized
// transform, whole and by stage, beside a peer pipeline doing the same work with
// OpenCV (Gaussian unsharp, Lanczos-4 warpAffine, blend by the warped mask) when the
// benchmark was built with it. The pool size is fixed per process: run once with
// KA_CORE_THREADS=1 and once with KA_CORE_THREADS=2 (bench/run_paste_bench.sh does).
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "compute/pool.h"
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
    const float s = 600.f / kSide, a = 0.08f;  // the crop scaled to ~600 px, slightly turned
    M[0] = s * std::cos(a), M[1] = -s * std::sin(a), M[2] = 700;
    M[3] = s * std::sin(a), M[4] = s * std::cos(a), M[5] = 200;
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

void BM_PasteUnsharpOnly(benchmark::State& st) {
  Scene& s = scene();
  ka::Paste p(s.mask, kSide, ka::Unsharp{1.3f, 2.0f, 13});
  p.fillPlanes(s.crop.data(), 255.f);
  std::vector<float> planes[3] = {p.plane(0), p.plane(1), p.plane(2)};
  // Resample-and-blend costs the difference between this and BM_PasteComposite.
  for (auto _ : st)
    for (auto& plane : planes) p.unsharpPlane(plane);
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
BENCHMARK(BM_OpenCvPipeline)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

BENCHMARK(BM_PasteComposite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PasteUnsharpOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
