ka_add_bench(bench_simd SOURCES bench_simd.cpp)
