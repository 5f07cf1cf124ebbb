# The motion generator on a PyTorch-built motion directory with a spoken clip and the
# NumPy/PyTorch reference of its frames (tools/fixtures/make_motion_fixtures.py).
ka_add_fixture(motion COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_motion_fixtures.py
  ${KA_FIXTURE_DIR}/motion)
ka_add_test(test_motion SOURCES test_motion.cpp FIXTURES motion TIMEOUT 300)
ka_add_test(test_motion_members SOURCES test_motion_members.cpp FIXTURES motion LABELS asan TIMEOUT 120)
ka_add_test(test_motion_threads SOURCES test_motion_threads.cpp FIXTURES motion LABELS tsan TIMEOUT 120)
