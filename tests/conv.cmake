# The half-precision convolution engine on the fused m4b fixture director, installed in
# a crop-512 identity bundle with its broken variants (tools/fixtures/make_m4b_director.py).
ka_add_fixture(m4b COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_m4b_director.py
  ${KA_FIXTURE_DIR}/m4b)
ka_add_test(test_conv_backend SOURCES test_conv_backend.cpp FIXTURES m4b directors TIMEOUT 300)
# Under the race detector only the engine's own threads are of interest; the picture
# comparisons with ONNX Runtime would take minutes there.
add_test(NAME test_conv_backend.workers COMMAND test_conv_backend
  --gtest_filter=ConvBackend.WorkersGiveTheSamePictureEveryRun)
set_tests_properties(test_conv_backend.workers PROPERTIES
  ENVIRONMENT "KA_TEST_FIXTURES=${KA_FIXTURE_DIR};TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/tsan.supp"
  FIXTURES_REQUIRED m4b LABELS tsan TIMEOUT 300)
ka_add_test(test_conv_backend_kernels SOURCES test_conv_backend_kernels.cpp LABELS asan TIMEOUT 120)
ka_add_test(test_conv_backend_alloc SOURCES test_conv_backend_alloc.cpp support/count_new.cpp FIXTURES m4b TIMEOUT 120)
