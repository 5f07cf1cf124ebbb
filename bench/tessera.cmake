ka_add_bench(bench_tessera SOURCES bench_tessera.cpp)
