ka_add_bench(bench_tessera SOURCES bench_tessera.cpp)
# Teeth pass per frame with 1024 donors, split by stage; see bench/bench_teeth.cpp for
# the commands, the NumPy retrieval beside it included.
ka_add_bench(bench_teeth SOURCES bench_teeth.cpp)
