// Cost of recording one telemetry event: uncontended, and with a second thread
// recording under the same lock. Hosts call this once per frame or more.
#include <benchmark/benchmark.h>

#include "ka/ka.h"

namespace {

void BM_RecordNumber(benchmark::State& state) {
  static const char* kNames[] = {"frame.ms", "queue.depth", "paste.ms", "render.ms"};
  int i = state.thread_index();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ka_tel_record(kNames[i & 3], 12.5 + (i & 15)));
    ++i;
  }
  if (state.thread_index() == 0) ka_tel_flush();
}
BENCHMARK(BM_RecordNumber)->Threads(1)->Threads(2)->UseRealTime();

void BM_RecordText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ka_tel_record_str("event", "utterance interrupted"));
  if (state.thread_index() == 0) ka_tel_flush();
}
BENCHMARK(BM_RecordText)->Threads(1)->Threads(2)->UseRealTime();

// A host's read of a full batch (256 names, 4096 texts), formatting included.
void BM_ReadBatch(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ka_tel_flush();
    for (int n = 0; n < 256; ++n)
      for (int k = 0; k < 40; ++k) ka_tel_record(("name." + std::to_string(n)).c_str(), k);
    for (int k = 0; k < 4096; ++k) ka_tel_record_str("text", "a line of text of moderate length");
    state.ResumeTiming();
    const int64_t need = ka_tel_pending_json(nullptr, 0);
    benchmark::DoNotOptimize(need);
  }
  ka_tel_flush();
}
BENCHMARK(BM_ReadBatch)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
