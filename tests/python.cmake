# The Python package (python/ka) against the built library and the ka tool, with
# Debian's pytest: frames compared with the tool's and the C paths', and the package's
# own contract. Not under the sanitizers: an instrumented library does not load into a
# plain interpreter. Exit code 5 (no test collected, e.g. under a -k filter) is a skip.
if(NOT KA_SYSTEM_PYTHON)
  message(STATUS "python_package: no system python3; the Python package's tests are not registered")
  return()
endif()
set(_ka_py_env
  "KA_LIBRARY=$<TARGET_FILE:ka_core>"
  "KA_TEST_FIXTURES=${KA_FIXTURE_DIR}"
  "KA_TEST_REQUIRE_FIXTURES=1"
  "PYTHONPATH=${CMAKE_SOURCE_DIR}/python"
  "PYTHONDONTWRITEBYTECODE=1")
if(TARGET ka)
  list(APPEND _ka_py_env "KA_TOOL=${KA_TOOL_COMMAND}")
endif()
add_test(NAME python_package
  COMMAND ${KA_SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_SOURCE_DIR}/python/tests)
set_tests_properties(python_package PROPERTIES
  ENVIRONMENT "${_ka_py_env}"
  FIXTURES_REQUIRED "fca;utt_fixtures;motion"
  SKIP_RETURN_CODE 5
  TIMEOUT 450)
if(KA_SANITIZE)
  set_tests_properties(python_package PROPERTIES DISABLED TRUE)
endif()

# The package's type hints, checked with Debian's mypy (python3-mypy) against the
# settings in python/pyproject.toml, with a host's use of it (tests/typed_use.py).
execute_process(COMMAND ${KA_SYSTEM_PYTHON} -c "import mypy"
                RESULT_VARIABLE _ka_mypy_missing OUTPUT_QUIET ERROR_QUIET)
if(_ka_mypy_missing)
  message(STATUS "python_types: no mypy for ${KA_SYSTEM_PYTHON} (python3-mypy); not registered")
else()
  add_test(NAME python_types
    COMMAND ${KA_SYSTEM_PYTHON} -m mypy --cache-dir ${CMAKE_BINARY_DIR}/mypy_cache
            ka tests/typed_use.py
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/python)
endif()
