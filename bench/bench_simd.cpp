// Vector kernels at the sizes the library runs them, each beside a plain scalar loop
// doing the same work in the same run (auto-vectorisation is switched off for those
// loops so they stay scalar), and the half conversions beside memcpy of the float side's
// bytes. One thread throughout.
//
//   build/bench/bench_simd --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "compute/simd.h"

#if defined(__GNUC__) && !defined(__clang__)
#define KA_SCALAR_LOOP __attribute__((noinline, optimize("no-tree-vectorize")))
#else
#define KA_SCALAR_LOOP __attribute__((noinline))
#endif

namespace {

constexpr size_t kCrop = 512;
constexpr size_t kCropValues = 3 * kCrop * kCrop;  // one 512x512 crop's three planes

std::vector<float> randomFloats(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& f : v) f = d(rng);
  return v;
}

std::vector<uint16_t> halvesOf(const std::vector<float>& f) {
  std::vector<uint16_t> h(f.size());
  ka::simd::f32ToF16(f.data(), h.data(), f.size());
  return h;
}

float halfToF(uint16_t h) {
  float f;
  ka::halfToFloat(&h, &f, 1);
  return f;
}

// ---- half conversions ----

void BM_Memcpy_CropFloats(benchmark::State& st) {
  std::vector<float> a(kCropValues, 1.0f), b(kCropValues);
  for (auto _ : st) {
    std::memcpy(b.data(), a.data(), a.size() * sizeof(float));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kCropValues * sizeof(float));
}

void BM_F16ToF32_Crop(benchmark::State& st) {
  const auto h = halvesOf(randomFloats(kCropValues, 0, 1, 1));
  std::vector<float> f(kCropValues);
  for (auto _ : st) {
    ka::simd::f16ToF32(h.data(), f.data(), h.size());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kCropValues * sizeof(float));
}

void BM_F16ToF32_Crop_Scalar(benchmark::State& st) {
  const auto h = halvesOf(randomFloats(kCropValues, 0, 1, 1));
  std::vector<float> f(kCropValues);
  for (auto _ : st) {
    ka::halfToFloat(h.data(), f.data(), h.size());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kCropValues * sizeof(float));
}

void BM_F32ToF16_Crop(benchmark::State& st) {
  const auto f = randomFloats(kCropValues, 0, 1, 2);
  std::vector<uint16_t> h(kCropValues);
  for (auto _ : st) {
    ka::simd::f32ToF16(f.data(), h.data(), f.size());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kCropValues * sizeof(float));
}

KA_SCALAR_LOOP void f32ToF16Scalar(const float* f, uint16_t* h, size_t n) {
  for (size_t i = 0; i < n; ++i) h[i] = ka::f32ToF16(f[i]);
}

void BM_F32ToF16_Crop_Scalar(benchmark::State& st) {
  const auto f = randomFloats(kCropValues, 0, 1, 2);
  std::vector<uint16_t> h(kCropValues);
  for (auto _ : st) {
    f32ToF16Scalar(f.data(), h.data(), f.size());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kCropValues * sizeof(float));
}

void BM_RoundF16Mul_Crop(benchmark::State& st) {
  const auto a = randomFloats(kCropValues, 0, 1, 3), b = randomFloats(kCropValues, 0, 1, 4);
  std::vector<float> o(kCropValues);
  for (auto _ : st) {
    ka::simd::roundF16Mul(a.data(), b.data(), o.data(), o.size());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kCropValues);
}

KA_SCALAR_LOOP void roundF16MulScalar(const float* a, const float* b, float* o, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] = halfToF(ka::f32ToF16(a[i])) * b[i];
}

void BM_RoundF16Mul_Crop_Scalar(benchmark::State& st) {
  const auto a = randomFloats(kCropValues, 0, 1, 3), b = randomFloats(kCropValues, 0, 1, 4);
  std::vector<float> o(kCropValues);
  for (auto _ : st) {
    roundF16MulScalar(a.data(), b.data(), o.data(), o.size());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kCropValues);
}

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void BM_Rgb8ToPlanarF16_Crop(benchmark::State& st) {
  const auto rgb = randomBytes(kCropValues, 5);
  std::vector<uint16_t> dst(kCropValues);
  for (auto _ : st) {
    ka::simd::rgb8ToPlanarF16(rgb.data(), dst.data(), kCrop * kCrop, kCrop * kCrop);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kCrop * kCrop);
}

KA_SCALAR_LOOP void rgb8ToPlanarScalar(const uint8_t* rgb, uint16_t* dst, size_t stride, size_t n) {
  for (size_t i = 0; i < n; ++i)
    for (size_t c = 0; c < 3; ++c) dst[c * stride + i] = ka::f32ToF16(rgb[3 * i + c] / 255.0f);
}

void BM_Rgb8ToPlanarF16_Crop_Scalar(benchmark::State& st) {
  const auto rgb = randomBytes(kCropValues, 5);
  std::vector<uint16_t> dst(kCropValues);
  for (auto _ : st) {
    rgb8ToPlanarScalar(rgb.data(), dst.data(), kCrop * kCrop, kCrop * kCrop);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kCrop * kCrop);
}

// ---- colour ----

constexpr int kRow1080 = 1920;

void BM_Yuv420Row_1080p(benchmark::State& st) {
  const auto y = randomBytes(kRow1080, 6), u = randomBytes(kRow1080 / 2, 7), v = randomBytes(kRow1080 / 2, 8);
  std::vector<uint8_t> rgb(3 * kRow1080);
  for (auto _ : st) {
    ka::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), kRow1080, 1, rgb.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kRow1080);
}

KA_SCALAR_LOOP void yuvScalar(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, uint8_t* rgb) {
  const auto clamp = [](int s) { return static_cast<uint8_t>(s < 0 ? 0 : s > 255 * 256 ? 255 : s >> 8); };
  for (int x = 0; x < width; ++x) {
    const int Y = 298 * (y[x] - 16) + 128, U = u[x >> 1] - 128, V = v[x >> 1] - 128;
    rgb[3 * x] = clamp(Y + 409 * V);
    rgb[3 * x + 1] = clamp(Y - 100 * U - 208 * V);
    rgb[3 * x + 2] = clamp(Y + 516 * U);
  }
}

void BM_Yuv420Row_1080p_Scalar(benchmark::State& st) {
  const auto y = randomBytes(kRow1080, 6), u = randomBytes(kRow1080 / 2, 7), v = randomBytes(kRow1080 / 2, 8);
  std::vector<uint8_t> rgb(3 * kRow1080);
  for (auto _ : st) {
    yuvScalar(y.data(), u.data(), v.data(), kRow1080, rgb.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kRow1080);
}

// ---- paste row: a 512 crop pasted at ~1.2x across a 1080p row ----

struct PasteSetup {
  int side = static_cast<int>(kCrop);
  std::vector<float> src4 = randomFloats(kCrop * kCrop * 4, 0, 255, 9);
  std::vector<uint8_t> mask = std::vector<uint8_t>(kCrop * kCrop, 255);
  std::vector<float> lanczos = std::vector<float>(32 * 8), bilinear = std::vector<float>(64);
  int x0 = 700, x1 = 700 + 600;
  std::vector<int> fx, fy;
  int dx = 0, dy = 256 * 1024 + 300;
  std::vector<uint8_t> row = randomBytes(3 * kRow1080, 10);
  PasteSetup() {
    for (int p = 0; p < 32; ++p) {
      double sum = 0, w[8];
      for (int c = 0; c < 8; ++c) {
        const double t = c - 3 - p / 32.0;
        w[c] = t == 0 ? 1 : std::sin(M_PI * t) * std::sin(M_PI * t / 4) / (M_PI * M_PI * t * t / 4);
        sum += w[c];
      }
      for (int c = 0; c < 8; ++c) lanczos[p * 8 + c] = static_cast<float>(w[c] / sum);
      bilinear[2 * p] = 1 - p / 32.0f;
      bilinear[2 * p + 1] = p / 32.0f;
    }
    for (int i = 0; i <= x1 - x0; ++i) {
      fx.push_back(i * 853 - 20 * 1024);  // ~1.2x upscale, entering the crop from the left
      fy.push_back(i * 37);
    }
  }
};

void BM_PasteRow_1080p(benchmark::State& st) {
  PasteSetup s;
  for (auto _ : st) {
    ka::simd::pasteLanczos8Row(s.src4.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilinear.data(),
                               s.fx.data(), s.fy.data(), s.dx, s.dy, s.x0, s.x1, s.row.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * (s.x1 - s.x0 + 1));
}

KA_SCALAR_LOOP void pasteScalar(const PasteSetup& s, uint8_t* out) {
  const int side = s.side;
  for (int x = s.x0; x <= s.x1; ++x) {
    const int ux = s.dx + s.fx[x - s.x0], uy = s.dy + s.fy[x - s.x0];
    const int ix = ux >> 10, iy = uy >> 10;
    if (ix < -1 || ix >= side || iy < -1 || iy >= side) continue;
    const int px = (ux >> 5) & 31, py = (uy >> 5) & 31;
    const auto m = [&](int r, int c) -> float {
      return r < 0 || c < 0 || r >= side || c >= side ? 0.0f : s.mask[r * side + c];
    };
    const float* bx = &s.bilinear[2 * px];
    const float* by = &s.bilinear[2 * py];
    const float raw = (m(iy, ix) * bx[0] + m(iy, ix + 1) * bx[1]) * by[0] +
                      (m(iy + 1, ix) * bx[0] + m(iy + 1, ix + 1) * bx[1]) * by[1];
    const float alpha = std::trunc(raw) / 255.0f;
    if (!(alpha > 0)) continue;
    for (int ch = 0; ch < 3; ++ch) {
      float v = 0;
      for (int r = 0; r < 8; ++r) {
        const int sy = iy - 3 + r;
        if (sy < 0 || sy >= side) continue;
        float h = 0;
        for (int c = 0; c < 8; ++c) {
          const int sx = ix - 3 + c;
          if (sx < 0 || sx >= side) continue;
          h += s.lanczos[px * 8 + c] * s.src4[(sy * side + sx) * 4 + ch];
        }
        v += s.lanczos[py * 8 + r] * h;
      }
      const float o = out[3 * x + ch] * (1 - alpha) + alpha * v;
      out[3 * x + ch] = !(o >= 0) ? 0 : o > 255 ? 255 : static_cast<uint8_t>(o);
    }
  }
}

void BM_PasteRow_1080p_Scalar(benchmark::State& st) {
  PasteSetup s;
  for (auto _ : st) {
    pasteScalar(s, s.row.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * (s.x1 - s.x0 + 1));
}

// ---- conv3x3 at 64x64: 16 -> 16 and 7 -> 16 channels ----

void BM_Conv3x3(benchmark::State& st) {
  const int cin = static_cast<int>(st.range(0)), cout = 16, h = 64, w = 64;
  const auto in = randomFloats(static_cast<size_t>(cin) * h * w, -1, 1, 11);
  const auto wt = randomFloats(static_cast<size_t>(cout) * cin * 9, -1, 1, 12);
  const auto bias = randomFloats(cout, -1, 1, 13);
  std::vector<float> out(static_cast<size_t>(cout) * h * w);
  for (auto _ : st) {
    ka::simd::conv3x3Range(in.data(), 1, cin, h, w, wt.data(), bias.data(), cout, out.data(), 0, cout);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * cout * h * w);
}

// Plain direct convolution over a zero-padded copy (no bounds tests in the inner loop).
KA_SCALAR_LOOP void convScalar(const float* in, int cin, int h, int w, const float* wt, const float* bias, int cout,
                               float* out, std::vector<float>& pad) {
  const int pw = w + 2;
  pad.assign(static_cast<size_t>(cin) * (h + 2) * pw, 0.0f);
  for (int c = 0; c < cin; ++c)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pad[(c * (h + 2) + y + 1) * pw + x + 1] = in[(c * h + y) * w + x];
  for (int oc = 0; oc < cout; ++oc)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float s = bias[oc];
        for (int ic = 0; ic < cin; ++ic) {
          const float* k = wt + (oc * cin + ic) * 9;
          const float* p = &pad[(ic * (h + 2) + y) * pw + x];
          s += k[0] * p[0] + k[1] * p[1] + k[2] * p[2] + k[3] * p[pw] + k[4] * p[pw + 1] + k[5] * p[pw + 2] +
               k[6] * p[2 * pw] + k[7] * p[2 * pw + 1] + k[8] * p[2 * pw + 2];
        }
        out[(oc * h + y) * w + x] = s;
      }
}

void BM_Conv3x3_Scalar(benchmark::State& st) {
  const int cin = static_cast<int>(st.range(0)), cout = 16, h = 64, w = 64;
  const auto in = randomFloats(static_cast<size_t>(cin) * h * w, -1, 1, 11);
  const auto wt = randomFloats(static_cast<size_t>(cout) * cin * 9, -1, 1, 12);
  const auto bias = randomFloats(cout, -1, 1, 13);
  std::vector<float> out(static_cast<size_t>(cout) * h * w), pad;
  for (auto _ : st) {
    convScalar(in.data(), cin, h, w, wt.data(), bias.data(), cout, out.data(), pad);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * cout * h * w);
}

// ---- retrieval terms over a 128x96 window ----

constexpr size_t kWindow = 128 * 96;

struct RetrieveSetup {
  std::vector<uint16_t> a = halvesOf(randomFloats(3 * kWindow, 0, 1, 14));
  std::vector<uint16_t> b = halvesOf(randomFloats(3 * kWindow, 0, 1, 15));
  std::vector<float> wt = randomFloats(kWindow, 0, 1, 16);
  std::vector<uint16_t> wh = halvesOf(wt);
};

void BM_RetrieveExact_Window(benchmark::State& st) {
  RetrieveSetup s;
  for (auto _ : st) benchmark::DoNotOptimize(ka::simd::retrieveTermExact(s.a.data(), s.b.data(), s.wt.data(), kWindow));
  st.SetItemsProcessed(st.iterations() * kWindow);
}

KA_SCALAR_LOOP float distanceScalar(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  float t = 0;
  for (size_t c = 0; c < 3; ++c) t += std::fabs(halfToF(ka::f32ToF16(halfToF(a[c * n + i]) - halfToF(b[c * n + i]))));
  return t / 3.0f;
}

KA_SCALAR_LOOP float exactScalar(const RetrieveSetup& s) {
  float sum = 0;
  for (size_t i = 0; i < kWindow; ++i) {
    if (s.wt[i] == 0) continue;
    sum += s.wt[i] * halfToF(ka::f32ToF16(distanceScalar(s.a.data(), s.b.data(), kWindow, i)));
  }
  return sum;
}

void BM_RetrieveExact_Window_Scalar(benchmark::State& st) {
  RetrieveSetup s;
  for (auto _ : st) benchmark::DoNotOptimize(exactScalar(s));
  st.SetItemsProcessed(st.iterations() * kWindow);
}

void BM_RetrievePooled_Window(benchmark::State& st) {
  RetrieveSetup s;
  for (auto _ : st) benchmark::DoNotOptimize(ka::simd::retrieveTermPooled(s.a.data(), s.b.data(), s.wh.data(), kWindow));
  st.SetItemsProcessed(st.iterations() * kWindow);
}

KA_SCALAR_LOOP float pooledScalar(const RetrieveSetup& s) {
  float sum = 0;
  for (size_t i = 0; i < kWindow; ++i) {
    const float d = halfToF(ka::f32ToF16(distanceScalar(s.a.data(), s.b.data(), kWindow, i)));
    sum += halfToF(ka::f32ToF16(halfToF(s.wh[i]) * d));
  }
  return sum;
}

void BM_RetrievePooled_Window_Scalar(benchmark::State& st) {
  RetrieveSetup s;
  for (auto _ : st) benchmark::DoNotOptimize(pooledScalar(s));
  st.SetItemsProcessed(st.iterations() * kWindow);
}

}  // namespace

BENCHMARK(BM_Memcpy_CropFloats);
BENCHMARK(BM_F16ToF32_Crop);
BENCHMARK(BM_F16ToF32_Crop_Scalar);
BENCHMARK(BM_F32ToF16_Crop);
BENCHMARK(BM_F32ToF16_Crop_Scalar);
BENCHMARK(BM_RoundF16Mul_Crop);
BENCHMARK(BM_RoundF16Mul_Crop_Scalar);
BENCHMARK(BM_Rgb8ToPlanarF16_Crop);
BENCHMARK(BM_Rgb8ToPlanarF16_Crop_Scalar);
BENCHMARK(BM_Yuv420Row_1080p);
BENCHMARK(BM_Yuv420Row_1080p_Scalar);
BENCHMARK(BM_PasteRow_1080p);
BENCHMARK(BM_PasteRow_1080p_Scalar);
BENCHMARK(BM_Conv3x3)->Arg(16)->Arg(7);
BENCHMARK(BM_Conv3x3_Scalar)->Arg(16)->Arg(7);
BENCHMARK(BM_RetrieveExact_Window);
BENCHMARK(BM_RetrieveExact_Window_Scalar);
BENCHMARK(BM_RetrievePooled_Window);
BENCHMARK(BM_RetrievePooled_Window_Scalar);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("vector target: %s\n", ka::simd::target());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
