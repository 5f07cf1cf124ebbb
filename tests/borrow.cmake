ka_add_fixture(bank_decode COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_bank_decode_fixtures.sh
  ${KA_FIXTURE_DIR}/bank_decode)
ka_add_test(test_bank_decode SOURCES test_bank_decode.cpp FIXTURES bank_decode LABELS asan TIMEOUT 300
  ENV KA_CORE_SO=$<TARGET_FILE:ka_core>)
ka_add_test(test_stream_borrow SOURCES test_stream_borrow.cpp FIXTURES bank_decode TIMEOUT 300)
