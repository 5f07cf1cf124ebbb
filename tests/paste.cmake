# The compositor must give the same bytes whatever the pool size.
ka_add_test(test_paste SOURCES test_paste.cpp ENV KA_CORE_THREADS=1)
add_test(NAME test_paste_2threads COMMAND test_paste)
set_tests_properties(test_paste_2threads PROPERTIES ENVIRONMENT "KA_CORE_THREADS=2")
