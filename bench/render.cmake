# Custom operators and the head rewrite against ONNX Runtime's own kernels. The models
# come from tools/fixtures/make_onnx_ops.py; see bench/bench_ops.cpp for the command.
ka_add_bench(bench_ops SOURCES bench_ops.cpp)
