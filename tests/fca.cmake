# Offline clips: the feature-conditioned delta generator and the offline stream run on a
# small identity with fca_stream.onnx (tools/fixtures/make_fca_test_fixtures.sh).
ka_add_fixture(fca COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_fca_test_fixtures.sh ${KA_FIXTURE_DIR}/fca)
ka_add_test(test_fca SOURCES test_fca.cpp FIXTURES fca LABELS asan TIMEOUT 300)
ka_add_test(test_stream SOURCES test_stream.cpp FIXTURES fca LABELS asan tsan TIMEOUT 300)
add_test(NAME cli_render_offline
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_render_offline.sh ${KA_TOOL_COMMAND} ${KA_FIXTURE_DIR}/fca)
set_tests_properties(cli_render_offline PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED fca)
