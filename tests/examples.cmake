# The example host, built against an installed copy of the library by both routes.
add_test(NAME example_host COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/example_host.sh ${CMAKE_BINARY_DIR}
  ${CMAKE_SOURCE_DIR} ${KA_FIXTURE_DIR}/context/raw ${KA_FIXTURE_DIR}/utt)
set_tests_properties(example_host PROPERTIES FIXTURES_REQUIRED "context_bundles;utt_fixtures" TIMEOUT 300)
