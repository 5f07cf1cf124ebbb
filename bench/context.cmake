# The single-frame path (render + paste at 1080p) beside render alone and paste alone.
ka_add_bench(bench_single_frame SOURCES bench_single_frame.cpp)
target_compile_definitions(bench_single_frame PRIVATE
  KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KA_BENCH_CACHE="${CMAKE_BINARY_DIR}/bench_fixtures")
