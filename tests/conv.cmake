# The half-precision convolution engine on the fused m4b fixture director, installed in
# a crop-512 identity bundle with its broken variants (tools/fixtures/make_m4b_director.py).
ka_add_fixture(m4b COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_m4b_director.py
  ${KA_FIXTURE_DIR}/m4b)
ka_add_test(test_conv_backend SOURCES test_conv_backend.cpp FIXTURES m4b directors LABELS tsan TIMEOUT 300)
ka_add_test(test_conv_backend_kernels SOURCES test_conv_backend_kernels.cpp LABELS asan TIMEOUT 120)
ka_add_test(test_conv_backend_alloc SOURCES test_conv_backend_alloc.cpp FIXTURES m4b TIMEOUT 120)
