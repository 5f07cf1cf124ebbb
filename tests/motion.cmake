# The motion generator on a PyTorch-built motion directory with a spoken clip and the
# NumPy/PyTorch reference of its frames (tools/fixtures/make_motion_fixtures.py).
ka_add_fixture(motion COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_motion_fixtures.py
  ${KA_FIXTURE_DIR}/motion)
ka_add_test(test_motion SOURCES test_motion.cpp FIXTURES motion TIMEOUT 300)
