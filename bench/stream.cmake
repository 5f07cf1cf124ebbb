# The offline stream run against the single-frame path in a plain loop, at the demo's
# size and at 1080p; see bench/bench_stream.cpp for the command.
ka_add_bench(bench_stream SOURCES bench_stream.cpp)
target_compile_definitions(bench_stream PRIVATE
  KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KA_BENCH_CACHE="${CMAKE_BINARY_DIR}/bench_fixtures")
