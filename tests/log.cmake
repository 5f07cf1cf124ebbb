ka_add_test(test_log SOURCES test_log.cpp LABELS asan tsan)
