# Bank decoding and the stream borrow, over tracks the ffmpeg tool encoded and a
# 48-donor fixture bundle.
ka_add_fixture(bank_decode COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_bank_decode_fixtures.sh
  ${KA_FIXTURE_DIR}/bank_decode)
ka_add_test(test_bank_decode SOURCES test_bank_decode.cpp FIXTURES bank_decode LABELS asan TIMEOUT 300
  ENV KA_CORE_SO=$<TARGET_FILE:ka_core>)
# test_bank_decode loads the shared library to check what it exports.
add_dependencies(test_bank_decode ka_core)
ka_add_test(test_stream_borrow SOURCES test_stream_borrow.cpp FIXTURES bank_decode LABELS asan TIMEOUT 300)
ka_add_test(test_stream_borrow_alloc SOURCES test_stream_borrow_alloc.cpp support/count_new.cpp FIXTURES bank_decode TIMEOUT 120)
