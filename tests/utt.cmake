ka_add_fixture(utt_fixtures COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_utt_fixtures.sh
  ${KA_FIXTURE_DIR}/utt)
ka_add_test(test_utt SOURCES test_utt.cpp /tmp/uttscratch/stub_a2x.cpp FIXTURES utt_fixtures LABELS tsan)
ka_add_test(test_utt_stress SOURCES test_utt_stress.cpp /tmp/uttscratch/stub_a2x.cpp FIXTURES utt_fixtures LABELS tsan)
