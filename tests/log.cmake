ka_add_test(test_log SOURCES test_log.cpp LABELS asan tsan)
ka_add_test(test_printable_text SOURCES test_printable_text.cpp)
