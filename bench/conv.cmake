# The convolution engine against ONNX Runtime on the fused m4b director; see
# bench/bench_conv.cpp for the command.
ka_add_bench(bench_conv SOURCES bench_conv.cpp)
target_compile_definitions(bench_conv PRIVATE KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
