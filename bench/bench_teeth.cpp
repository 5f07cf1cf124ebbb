// The teeth pass per frame on a 512 canvas with a bank of 1024 donors (the largest a
// bank may be), a 192 x 128 mouth window and the serving configuration banks ship with
// (shortlist 256, cut 48, K 12).
//
//   TeethFrame/threads:N/avx2:A  one push per iteration (each releasing the previous
//                         frame): wall and process CPU milliseconds per frame, split into
//                         retrieval, gathering, the blend head and compositing; with A = 1
//                         the vector kernels run their AVX2 target whatever the processor
//                         offers beyond it
//
//   build/bench/bench_teeth [--benchmark_repetitions=3 --benchmark_report_aggregates_only=true]
//   /usr/bin/python3 bench/teeth_retrieval_numpy.py build/bench_models/teeth
//
// The second line times NumPy doing the same retrieval scoring, vectorised, on the
// bank and frames the first one writes to KA_BENCH_TEETH (default
// build/bench_models/teeth); compare it with retrieve_ms.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "compute/pool.h"
#include "hwy/targets.h"
#include "tessera/teeth_pass.h"

namespace {

using ka::tessera::BankData;
using ka::tessera::FrameResult;
using ka::tessera::GeometryStamp;
using ka::tessera::HeadWeights;
using ka::tessera::ServeConfig;
using ka::tessera::TeethPass;

constexpr int kDonors = 1024, kCanvas = 512, kFrames = 4;

struct Lcg {
  uint64_t s;
  double next() {  // [0, 1)
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return double(s >> 11) / double(1ull << 53);
  }
};

GeometryStamp stamp() {
  GeometryStamp s;
  s.canvas_w = s.canvas_h = kCanvas;
  s.window_x0 = 160, s.window_y0 = 286, s.window_w = 192, s.window_h = 128;
  s.pad = 4;
  s.band_r0 = 32, s.band_r1 = 96, s.band_c0 = 24, s.band_c1 = 168;
  s.shift_margin = 3;
  return s;
}

uint8_t clampByte(double v) { return uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, v)))); }

// Mouth interiors: a dark cavity, upper teeth whose height, width, gaps and shade vary
// per donor, a tongue below, a little noise.
BankData bank() {
  BankData b;
  b.stamp = stamp();
  b.n_donors = kDonors;
  b.c_canon = {256.3, 350.2};
  const int bh = int(b.stamp.bandH()), bw = int(b.stamp.bandW());
  Lcg rng{42};
  b.bytes.resize(size_t(kDonors) * bh * bw * 3);
  for (int d = 0; d < kDonors; ++d) {
    const double teeth_h = bh * (0.35 + 0.2 * rng.next()), tooth_w = bw / (6.0 + d % 4), shade = 225 + 25 * rng.next();
    uint8_t* p = b.bytes.data() + size_t(d) * bh * bw * 3;
    for (int y = 0; y < bh; ++y)
      for (int x = 0; x < bw; ++x) {
        double c[3] = {60 + 20.0 * d / kDonors, 20, 25};
        if (y < teeth_h && std::fmod(x + d * 1.7, tooth_w) >= 1.2) c[0] = shade, c[1] = shade * 0.97, c[2] = shade * 0.9;
        if (y > bh * 0.7 && std::hypot((x - bw / 2.0) / (bw * 0.4), (y - bh) / (bh * 0.35)) < 1) c[0] = 170, c[1] = 70, c[2] = 80;
        for (int k = 0; k < 3; ++k) *p++ = clampByte(c[k] + 6 * (rng.next() - 0.5));
      }
    b.cent.push_back({b.c_canon[0] + 4 * (rng.next() - 0.5), b.c_canon[1] + 4 * (rng.next() - 0.5)});
    b.aperture.push_back(0.02 + 0.06 * d / (kDonors - 1));
  }
  return b;
}

HeadWeights head() {
  HeadWeights w;
  Lcg rng{7};
  const auto fill = [&](std::vector<float>& v, size_t n) {
    v.resize(n);
    for (float& x : v) x = float(0.2 * (rng.next() - 0.5));
  };
  fill(w.cand0_w, 16 * 7 * 9), fill(w.cand0_b, 16), fill(w.cand2_w, 16 * 16 * 9), fill(w.cand2_b, 16);
  fill(w.cand4_w, 16 * 9), fill(w.cand4_b, 1), fill(w.syn0_w, 16 * 3 * 9), fill(w.syn0_b, 16);
  fill(w.syn2_w, 16 * 9), fill(w.syn2_b, 1);
  return w;
}

ServeConfig config() {
  ServeConfig c;
  c.kshort = 256, c.aperture_tol = 0.25, c.cut = 48, c.K = 12, c.hysteresis = 4, c.lookahead = 3;
  return c;
}

// Skin-coloured canvases whose mouth shows a donor's teeth through noise, with a
// feathered elliptic mask a pixel or two off the canonical centre.
struct Frames {
  std::vector<std::vector<uint8_t>> rgb, mask;
};

Frames frames(const BankData& b) {
  Frames f;
  Lcg rng{11};
  const GeometryStamp& s = b.stamp;
  const int bh = int(s.bandH()), bw = int(s.bandW());
  for (int k = 0; k < kFrames; ++k) {
    std::vector<uint8_t> rgb(size_t(kCanvas) * kCanvas * 3), mask(size_t(kCanvas) * kCanvas);
    const int dy = k % 3 - 1, dx = 1 - k % 2, donor = 97 * (k + 1);
    const double cx = b.c_canon[0] + dx, cy = b.c_canon[1] + dy;
    for (int y = 0; y < kCanvas; ++y)
      for (int x = 0; x < kCanvas; ++x) {
        uint8_t* px = &rgb[(size_t(y) * kCanvas + x) * 3];
        const int pr = y - (s.window_y0 + dy) - s.band_r0 + s.shift_margin, pc = x - (s.window_x0 + dx) - s.band_c0 + s.shift_margin;
        const bool mouth = pr >= 0 && pr < bh && pc >= 0 && pc < bw;
        const uint8_t* src = mouth ? &b.bytes[((size_t(donor) * bh + pr) * bw + pc) * 3] : nullptr;
        for (int c = 0; c < 3; ++c)
          px[c] = clampByte((mouth ? src[c] : 190.0 - 30 * c) + 16 * (rng.next() - 0.5));
        const double r = std::hypot((x - cx) / 86.0, (y - cy) / 40.0);
        mask[size_t(y) * kCanvas + x] = clampByte(std::fmin(1.0, std::fmax(0.0, (1.3 - r) / 0.6)) * 255);
      }
    f.rgb.push_back(std::move(rgb));
    f.mask.push_back(std::move(mask));
  }
  return f;
}

struct Setup {
  BankData bank;
  Frames frames;
};

void writeFile(const std::string& path, const void* data, size_t n) {
  std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(n));
}

// The bank, the frames and the configuration in the raw layout the NumPy script reads.
void dump(const Setup& s, const std::string& dir) {
  const std::string mk = "mkdir -p '" + dir + "'";
  if (std::system(mk.c_str()) != 0) return;
  writeFile(dir + "/bank.rgb", s.bank.bytes.data(), s.bank.bytes.size());
  std::vector<char> meta;
  const auto put = [&](const void* p, size_t n) { meta.insert(meta.end(), (const char*)p, (const char*)p + n); };
  put(&s.bank.n_donors, 4);
  const auto st = s.bank.stamp.toArray();
  put(st.data(), st.size() * 4);
  put(s.bank.c_canon.data(), 16);
  for (const auto& c : s.bank.cent) put(c.data(), 16);
  put(s.bank.aperture.data(), s.bank.aperture.size() * 8);
  writeFile(dir + "/bank.meta", meta.data(), meta.size());
  const ServeConfig c = config();
  const int32_t ci[3] = {c.kshort, c.cut, c.K};
  writeFile(dir + "/configs.i32", ci, sizeof ci);
  writeFile(dir + "/configs.f64", &c.aperture_tol, 8);
  for (int k = 0; k < kFrames; ++k) {
    writeFile(dir + "/frame" + std::to_string(k) + ".rgb", s.frames.rgb[k].data(), s.frames.rgb[k].size());
    writeFile(dir + "/frame" + std::to_string(k) + ".mask", s.frames.mask[k].data(), s.frames.mask[k].size());
  }
}

const Setup& setup() {
  static const Setup s = [] {
    Setup v;
    v.bank = bank();
    v.frames = frames(v.bank);
    const char* d = std::getenv("KA_BENCH_TEETH");
    dump(v, d && *d ? d : "build/bench_models/teeth");
    return v;
  }();
  return s;
}

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

void BM_TeethFrame(benchmark::State& state) {
  const Setup& s = setup();
#if HWY_ARCH_X86
  if (state.range(1) != 0) {
    if (!(hwy::SupportedTargets() & HWY_AVX2)) {
      state.SkipWithError("this processor has no AVX2");
      return;
    }
    hwy::SetSupportedTargetsForTest(HWY_AVX2);
  }
#else
  if (state.range(1) != 0) {
    state.SkipWithError("AVX2 is an x86 target");
    return;
  }
#endif
  ka::pool::testing::setThreads(int(state.range(0)));
  TeethPass pass(s.bank, head(), config());
  FrameResult out;
  int index = 0;
  // Warm-up: scratch grows and the pool starts on the first frames.
  for (; index < 3; ++index)
    pass.push(index, s.frames.rgb[index % kFrames].data(), s.frames.mask[index % kFrames].data(), nullptr, &out);
  pass.clearTimes();
  const double c0 = processCpuSeconds();
  for (auto _ : state) {
    const int k = index % kFrames;
    pass.push(index++, s.frames.rgb[k].data(), s.frames.mask[k].data(), nullptr, &out);
    benchmark::DoNotOptimize(out.pixels.data());
  }
  const double cpu = processCpuSeconds() - c0;
  const TeethPass::StageTimes& t = pass.stageTimes();
  const double frames = double(std::max<int64_t>(t.emitted, 1));
  const char* names[] = {"retrieve", "gather", "head", "composite"};
  for (int k = 0; k < TeethPass::kStages; ++k) {
    state.counters[std::string(names[k]) + "_ms"] = t.wall[k] * 1e3 / frames;
    state.counters[std::string(names[k]) + "_cpu_ms"] = t.cpu[k] * 1e3 / frames;
  }
  state.counters["cpu_ms_per_frame"] = cpu * 1e3 / frames;
  state.counters["n_used"] = out.n_used;
  ka::pool::testing::setThreads(0);
  hwy::SetSupportedTargetsForTest(0);
}
BENCHMARK(BM_TeethFrame)
    ->ArgNames({"threads", "avx2"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
