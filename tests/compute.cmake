# Compute foundation: worker pool and vector kernels. The kernel tests run every kernel
# on each compiled target the processor supports.
ka_add_test(test_half SOURCES test_half.cpp LABELS asan TIMEOUT 120)
ka_add_test(test_simd SOURCES test_simd.cpp LABELS asan TIMEOUT 120)

# The pool reads KA_CORE_THREADS / KA_PASTE_THREADS once per process, so every setting
# runs the binary afresh. Both are always set: an empty value counts as unset.
ka_add_test(test_pool SOURCES test_pool.cpp LABELS tsan asan TIMEOUT 120
  ENV KA_CORE_THREADS=4 KA_PASTE_THREADS= KA_TEST_EXPECT_REQUEST=4)
foreach(_case "one|1||1" "zero|0||1" "negative|-3||1" "paste_only||3|3" "paste_zero||0|1"
              "default|||4" "core_wins|2|7|2")
  string(REPLACE "|" ";" _f "${_case}")
  list(GET _f 0 _name)
  list(GET _f 1 _core)
  list(GET _f 2 _paste)
  list(GET _f 3 _want)
  add_test(NAME test_pool.env.${_name} COMMAND test_pool --gtest_filter=PoolEnv.*:PoolInline.*)
  set_tests_properties(test_pool.env.${_name} PROPERTIES TIMEOUT 60
    ENVIRONMENT "KA_CORE_THREADS=${_core};KA_PASTE_THREADS=${_paste};KA_TEST_EXPECT_REQUEST=${_want}")
endforeach()
