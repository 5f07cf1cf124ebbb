ka_add_bench(bench_telemetry SOURCES bench_telemetry.cpp)
