ka_add_fixture(context_bundles COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_context_fixtures.sh
  ${KA_FIXTURE_DIR}/context)
ka_add_test(test_context SOURCES test_context.cpp FIXTURES context_bundles LABELS asan tsan)
ka_add_test(test_single_frame SOURCES test_single_frame.cpp FIXTURES context_bundles LABELS asan tsan)
ka_add_test(test_single_frame_movie SOURCES test_single_frame_movie.cpp FIXTURES context_bundles
  ENV KA_TOOL=${KA_TOOL_COMMAND})
add_dependencies(test_single_frame_movie ka)
