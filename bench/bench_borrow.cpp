// The stream borrow's own share of a teeth frame, on the 48-donor bank of
// tools/fixtures/make_bank_decode_fixtures.sh (made on first use under KA_BENCH_BORROW,
// default build/bench_fixtures/bank_decode):
//   BM_DecodeBank       the whole bank track decoded from memory into donor order (once
//                       per attach);
//   BM_PassPush         TeethPass::push on a ready canvas, mask and shift (the baseline);
//   BM_StreamPush       StreamBorrow::push from float planes plus the write-back of the
//                       released window: the pass plus everything the borrow adds
//                       (conversion, delivery mask and shift, write-back).
// Both pushes run at 1 and 2 worker threads.
//   build/bench/bench_borrow --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "compute/pool.h"
#include "tessera/attach_inputs.h"
#include "tessera/bank_decode.h"
#include "tessera/bank_load.h"
#include "tessera/stream_borrow.h"

#ifndef KA_SOURCE_DIR
#define KA_SOURCE_DIR "."
#endif
#ifndef KA_BENCH_CACHE
#define KA_BENCH_CACHE "build/bench_fixtures"
#endif

namespace {

using namespace ka::tessera;

std::string slurp(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot read " + path);
  std::string s;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  std::fclose(f);
  return s;
}

struct Fixture {
  TesseraAttachInputs in;
  std::string track;
  BankData bank;
  HeadWeights weights;
  ServeConfig config;
  UnifiedPi pi;
  std::string lip;
  std::vector<float> xs;
  int frames = 0;
};

const Fixture& fixture() {
  static const Fixture fx = [] {
    Fixture f;
    const char* env = std::getenv("KA_BENCH_BORROW");
    const std::string dir = env && *env ? env : std::string(KA_BENCH_CACHE) + "/bank_decode";
    const std::string cmd = "bash " KA_SOURCE_DIR "/tools/fixtures/make_bank_decode_fixtures.sh '" + dir + "' >&2";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("could not make " + dir);
    f.in = loadTesseraMembers(dir + "/bank48");
    f.track = slurp(f.in.bank_track_path);
    f.bank = loadBank(f.in);
    f.weights = loadHeadPt(f.in.head_pt);
    f.config = ServeConfig::fromHeadMemberJson(f.in.head_json);
    const std::string x = slurp(dir + "/bank48.xs_target.bin");
    f.xs.resize(x.size() / 4);
    std::memcpy(f.xs.data(), x.data(), f.xs.size() * 4);
    f.frames = int(f.xs.size() / 63);
    f.pi = UnifiedPi::corpusFromManifestJson(f.in.manifest_json, f.bank.stamp.canvas_w, f.xs.data(), f.frames,
                                             f.in.c_canon, nullptr);
    f.lip = slurp(dir + "/bank48/lip_template.v1.json");
    return f;
  }();
  return fx;
}

// A crop per fixture frame: mid-grey skin with a bright band over the mouth.
std::vector<std::vector<float>> crops(const Fixture& f) {
  const int n = f.bank.stamp.canvas_w;
  std::vector<std::vector<float>> out;
  std::vector<uint8_t> m(size_t(n) * n);
  for (int t = 0; t < f.frames; ++t) {
    f.pi.piU8(f.xs.data() + size_t(t) * 63, m.data());
    std::vector<float> p(size_t(3) * n * n);
    for (size_t k = 0; k < m.size(); ++k)
      for (int c = 0; c < 3; ++c) p[size_t(c) * m.size() + k] = m[k] >= 128 ? 0.9f - 0.02f * float(c) : 0.6f;
    out.push_back(std::move(p));
  }
  return out;
}

void BM_DecodeBank(benchmark::State& st) {
  const Fixture& f = fixture();
  const std::vector<int> order(f.in.track_order.begin(), f.in.track_order.end());
  for (auto _ : st)
    benchmark::DoNotOptimize(decodeBankTrack(reinterpret_cast<const uint8_t*>(f.track.data()), f.track.size(),
                                             f.in.n_donors, f.in.band_h, f.in.band_w, order));
  st.counters["donors"] = f.in.n_donors;
}
BENCHMARK(BM_DecodeBank)->Unit(benchmark::kMillisecond);

void BM_PassPush(benchmark::State& st) {
  const Fixture& f = fixture();
  ka::pool::testing::setThreads(int(st.range(0)));
  const int n = f.bank.stamp.canvas_w;
  TeethPass pass(f.bank, f.weights, f.config);
  const auto cs = crops(f);
  // The canvases and masks the borrow would hand the pass, made outside the loop.
  StreamBorrow b(f.bank, f.weights, f.config, f.pi, f.lip);
  std::vector<std::vector<uint8_t>> rgb, mask;
  std::vector<std::array<int, 2>> shift;
  FrameResult r;
  for (int t = 0; t < f.frames; ++t) {
    b.push(cs[size_t(t)].data(), f.xs.data() + size_t(t) * 63, &r);
    rgb.emplace_back(b.canvasFrame(), b.canvasFrame() + size_t(n) * n * 3);
    mask.emplace_back(b.deliveryMask(), b.deliveryMask() + size_t(n) * n);
    int dy = 0, dx = 0;
    std::string why;
    pass.deriveShift(mask.back().data(), nullptr, &dy, &dx, &why);
    shift.push_back({dy, dx});
  }
  int t = 0;
  for (auto _ : st) {
    const size_t k = size_t(t % f.frames);
    pass.push(t++, rgb[k].data(), mask[k].data(), shift[k].data(), &r);
  }
}
BENCHMARK(BM_PassPush)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_StreamPush(benchmark::State& st) {
  const Fixture& f = fixture();
  ka::pool::testing::setThreads(int(st.range(0)));
  const int n = f.bank.stamp.canvas_w;
  StreamBorrow b(f.bank, f.weights, f.config, f.pi, f.lip);
  const auto cs = crops(f);
  // The caller's copy of the crop the result belongs to; written back into in place
  // (copying it afresh would time the caller, not the borrow).
  std::vector<float> out = cs[0];
  FrameResult r;
  int t = 0;
  for (auto _ : st) {
    const size_t k = size_t(t % f.frames);
    if (b.push(cs[k].data(), f.xs.data() + k * 63, &r)) StreamBorrow::writeWindowDelta(out.data(), n, r, b.stamp());
    ++t;
  }
}
BENCHMARK(BM_StreamPush)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
