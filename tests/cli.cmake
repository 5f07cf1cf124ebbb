add_test(NAME cli_tool COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_tool.sh ${KA_TOOL_COMMAND}
  ${KA_FIXTURE_DIR}/context/raw)
set_tests_properties(cli_tool PROPERTIES FIXTURES_REQUIRED context_bundles TIMEOUT 300)
