ka_add_fixture(identity_bundles COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_identity_fixtures.sh
  ${KA_FIXTURE_DIR}/identity)
ka_add_test(test_identity SOURCES test_identity.cpp FIXTURES identity_bundles)
