# Audio to expression: the two speech frontends' cost per second of audio and the live
# stream's real-time factor; see bench/bench_a2x.cpp for the command.
ka_add_bench(bench_a2x SOURCES bench_a2x.cpp)
target_compile_definitions(bench_a2x PRIVATE
  KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KA_BENCH_CACHE="${CMAKE_BINARY_DIR}/bench_fixtures")
