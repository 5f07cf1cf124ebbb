# Renderer ms per frame at crop 512 with and without the source-cone hoist and with the
# warp node; see bench/bench_graph.cpp for the command.
ka_add_bench(bench_graph SOURCES bench_graph.cpp)
target_compile_definitions(bench_graph PRIVATE KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
