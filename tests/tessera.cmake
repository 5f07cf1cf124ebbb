ka_add_fixture(tessera COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_tessera_test_fixtures.sh
  ${KA_FIXTURE_DIR}/tessera)
ka_add_test(test_tessera_geometry SOURCES test_tessera_geometry.cpp LABELS asan TIMEOUT 60)
ka_add_test(test_tessera_json SOURCES test_tessera_json.cpp LABELS asan TIMEOUT 60)
ka_add_test(test_tessera_members SOURCES test_tessera_members.cpp FIXTURES tessera LABELS asan TIMEOUT 120)
ka_add_test(test_tessera_head SOURCES test_tessera_head.cpp FIXTURES tessera LABELS asan TIMEOUT 120)
ka_add_test(test_teeth_pass SOURCES test_teeth_pass.cpp FIXTURES tessera LABELS asan TIMEOUT 120)
ka_add_test(test_teeth_pass_alloc SOURCES test_teeth_pass_alloc.cpp support/count_new.cpp TIMEOUT 60)
add_test(NAME cli_tessera_inspect
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_tessera_inspect.sh ${KA_TOOL_COMMAND} ${KA_FIXTURE_DIR}/tessera)
set_tests_properties(cli_tessera_inspect PROPERTIES TIMEOUT 60 FIXTURES_REQUIRED tessera)
ka_add_test(test_tessera_run SOURCES test_tessera_run.cpp FIXTURES tessera LABELS asan TIMEOUT 300)
