# The live page in the system's headless Chromium: ka serve on a small speaking identity
# with teeth, driven through its page (a typed sentence, the fake microphone fed a spoken
# WAV, stop mid-sentence, a page of another origin). Screenshots of every step land in
# browser-artifacts/. Runs alone: it paces real time, and a crowded machine would judge
# the machine rather than the page.
ka_add_fixture(live_fixtures COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_live_fixtures.sh
  ${KA_FIXTURE_DIR}/live)
add_test(NAME browser_live
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/browser/run.sh --ka ${KA_TOOL_COMMAND}
    --bundle ${KA_FIXTURE_DIR}/live/bundle --motion ${KA_FIXTURE_DIR}/live/motion-a2x --teeth
    --speech ${KA_FIXTURE_DIR}/live/speech.wav --artifacts ${CMAKE_BINARY_DIR}/browser-artifacts)
set_tests_properties(browser_live PROPERTIES TIMEOUT 240 RUN_SERIAL TRUE LABELS browser
  FIXTURES_REQUIRED live_fixtures
  ENVIRONMENT "W2V_ONNX=${KA_FIXTURE_DIR}/live/motion-a2x/w2v/audio_encoder.onnx")
