ka_add_test(test_telemetry SOURCES test_telemetry.cpp LABELS asan tsan)
ka_add_test(test_telemetry_alloc SOURCES test_telemetry_alloc.cpp support/count_new.cpp)
# The batch through the C interface, checked by Python's JSON parser and NumPy. Not under
# the sanitizers: an instrumented library does not load into a plain interpreter.
add_test(NAME telemetry_json COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/telemetry_json.py
         $<TARGET_FILE:ka_core>)
if(KA_SANITIZE)
  set_tests_properties(telemetry_json PROPERTIES DISABLED TRUE)
endif()
