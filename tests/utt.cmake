ka_add_fixture(utt_fixtures COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_utt_fixtures.sh
  ${KA_FIXTURE_DIR}/utt)
set(_utt_w2v "W2V_ONNX=${KA_FIXTURE_DIR}/utt/motion-a2x/w2v/audio_encoder.onnx")
ka_add_test(test_utt SOURCES test_utt.cpp FIXTURES utt_fixtures LABELS tsan ENV ${_utt_w2v})
ka_add_test(test_utt_stress SOURCES test_utt_stress.cpp FIXTURES utt_fixtures LABELS tsan ENV ${_utt_w2v})
add_test(NAME cli_speak
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_speak.sh ${KA_TOOL_COMMAND} ${KA_FIXTURE_DIR}/utt)
set_tests_properties(cli_speak PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED utt_fixtures
  ENVIRONMENT "${_utt_w2v}")
ka_add_test(test_utt_alloc SOURCES test_utt_alloc.cpp support/count_new.cpp FIXTURES utt_fixtures ENV ${_utt_w2v})
ka_add_test(test_utt_teeth SOURCES test_utt_teeth.cpp FIXTURES utt_fixtures LABELS tsan ENV ${_utt_w2v})
add_test(NAME cli_speak_teeth
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_speak_teeth.sh ${KA_TOOL_COMMAND} ${KA_FIXTURE_DIR}/utt)
set_tests_properties(cli_speak_teeth PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED utt_fixtures
  ENVIRONMENT "${_utt_w2v}")
# On one core every share of the session's core budget is a single thread: speech is
# still delivered and ramps back, with the paste on its own thread and on the conductor.
# ctest puts the emulator of a cross build only before a command that is a target, so
# behind taskset it is named here.
foreach(_pipe 0 1)
  add_test(NAME test_utt.one_core.pipe${_pipe}
    COMMAND taskset -c 0 ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:test_utt> --gtest_filter=UttSession.ThreeFrameUtteranceRampsBackToTheDriver)
  set_tests_properties(test_utt.one_core.pipe${_pipe} PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED utt_fixtures
    ENVIRONMENT "KA_TEST_FIXTURES=${KA_FIXTURE_DIR};KA_UTT_PIPELINE_PASTE=${_pipe};${_utt_w2v}")
endforeach()
