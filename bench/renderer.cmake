# Renderer ms per frame at crop 512, with and without the load-time rewrites; see
# bench/bench_renderer.cpp for the command.
ka_add_bench(bench_renderer SOURCES bench_renderer.cpp)
target_compile_definitions(bench_renderer PRIVATE KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
