# Compute foundation: worker pool and vector kernels. The kernel tests run every kernel
# on each compiled target the processor supports.
ka_add_test(test_half SOURCES test_half.cpp LABELS asan TIMEOUT 120)
ka_add_test(test_simd SOURCES test_simd.cpp LABELS asan TIMEOUT 120)
