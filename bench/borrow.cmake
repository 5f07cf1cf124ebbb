# Stream borrow and bank decoding: the bank decode per attach and the borrow's share of a
# teeth frame against the pass alone; see bench/bench_borrow.cpp for the command.
ka_add_bench(bench_borrow SOURCES bench_borrow.cpp)
target_compile_definitions(bench_borrow PRIVATE
  KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KA_BENCH_CACHE="${CMAKE_BINARY_DIR}/bench_fixtures")
