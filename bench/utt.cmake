# The utterance session: sustained speech fps, first-frame latency and the stage report
# at the demo's size; see bench/bench_utt.cpp for the command.
ka_add_bench(bench_utt SOURCES bench_utt.cpp)
target_compile_definitions(bench_utt PRIVATE
  KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KA_BENCH_CACHE="${CMAKE_BINARY_DIR}/bench_fixtures")
