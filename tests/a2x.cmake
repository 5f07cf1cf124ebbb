# Audio to expression: the streaming engine and its speech frontends on small PyTorch
# networks and espeak-ng clips (tools/fixtures/make_a2x_test_fixtures.sh).
set(_ka_a2x ${KA_FIXTURE_DIR}/a2x)
ka_add_fixture(a2x COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_a2x_test_fixtures.sh ${_ka_a2x})

# The short-window pair beside the encoder: the process serves the short window.
set(_ka_a2x_w2v ${_ka_a2x}/motion/w2v/audio_encoder.onnx)
ka_add_test(test_a2x SOURCES test_a2x.cpp FIXTURES a2x LABELS asan TIMEOUT 300
  ENV W2V_ONNX=${_ka_a2x_w2v} KA_A2X_W2V_WIN_ONNX= KA_A2X_W2V_HEAD_ONNX= KA_A2X_SILENCE_PRIME= KA_A2X_W2V_RIGHT=)
# The reference and push-size tests again, on the 8-second window (no pair beside the encoder).
add_test(NAME test_a2x.legacy COMMAND test_a2x
  --gtest_filter=A2xStream.MatchesTheReference:A2xStream.PushSizesDoNotChangeFrames)
set_tests_properties(test_a2x.legacy PROPERTIES FIXTURES_REQUIRED a2x TIMEOUT 300
  ENVIRONMENT "KA_TEST_FIXTURES=${KA_FIXTURE_DIR};W2V_ONNX=${_ka_a2x}/legacy_w2v/audio_encoder.onnx;KA_A2X_W2V_WIN_ONNX=;KA_A2X_W2V_HEAD_ONNX=;KA_A2X_SILENCE_PRIME=;KA_A2X_W2V_RIGHT=")
ka_add_test(test_a2x_frontend SOURCES test_a2x_frontend.cpp FIXTURES a2x TIMEOUT 300
  ENV W2V_ONNX=${_ka_a2x_w2v} KA_A2X_W2V_WIN_ONNX= KA_A2X_W2V_HEAD_ONNX= KA_A2X_SILENCE_PRIME=)
set_tests_properties(test_a2x_frontend PROPERTIES
  ENVIRONMENT_MODIFICATION "KA_TEST_EXPECT_SHORT=unset:")
add_test(NAME test_a2x_frontend.threads COMMAND test_a2x_frontend --gtest_filter=FrontendThreads.*)
set_tests_properties(test_a2x_frontend.threads PROPERTIES FIXTURES_REQUIRED a2x LABELS tsan TIMEOUT 300
  ENVIRONMENT "KA_TEST_FIXTURES=${KA_FIXTURE_DIR};W2V_ONNX=${_ka_a2x_w2v};TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/tsan.supp")

# The frontend is chosen once per process, so every way of finding (or not finding)
# the pair runs in its own process.
# ka_a2x_select(NAME W2V TRUNK_VAR HEAD_VAR EXPECT_SHORT TRUNK_PATH_END [ENV...]): paths
# relative to the fixture directory; "-" leaves a variable empty.
function(ka_a2x_select name w2v trunk head short tail)
  foreach(_v w2v trunk head)
    if(${_v} STREQUAL "-")
      set(${_v} "")
    elseif(NOT ${_v} MATCHES "^/" AND NOT name STREQUAL "bare")
      set(${_v} "${_ka_a2x}/${${_v}}")
    endif()
  endforeach()
  if(tail STREQUAL "-")
    set(tail "")
  endif()
  add_test(NAME test_a2x.select.${name} COMMAND test_a2x_frontend --gtest_filter=FrontendSelection.*)
  set_tests_properties(test_a2x.select.${name} PROPERTIES FIXTURES_REQUIRED a2x TIMEOUT 120
    ENVIRONMENT "KA_TEST_FIXTURES=${KA_FIXTURE_DIR};W2V_ONNX=${w2v};KA_A2X_W2V_WIN_ONNX=${trunk};KA_A2X_W2V_HEAD_ONNX=${head};KA_TEST_EXPECT_SHORT=${short};KA_TEST_EXPECT_TRUNK=${tail};${ARGN}")
endfunction()
ka_a2x_select(sibling motion/w2v/audio_encoder.onnx - - 1 /motion/w2v/audio_encoder_fp16_window_trunk.onnx
  KA_A2X_CUDA=1 "KA_TEST_EXPECT_LOG=CUDA EP append failed (w2v): ")
ka_a2x_select(env_pair legacy_w2v/audio_encoder.onnx old_names/w2v_trunk32.onnx old_names/w2v_head32.onnx
  1 /old_names/w2v_trunk32.onnx KA_A2X_CUDA=true "KA_TEST_EXPECT_NO_LOG=CUDA EP")
# Only one of the two variables set: they are ignored and the sibling search finds nothing.
ka_a2x_select(one_env legacy_w2v/audio_encoder.onnx old_names/w2v_trunk32.onnx - 0 -)
ka_a2x_select(older_names old_names/audio_encoder.onnx - - 1 /old_names/w2v_trunk32.onnx)
ka_a2x_select(legacy legacy_w2v/audio_encoder.onnx - - 0 -)
# A bare file name is looked for in the working directory.
ka_a2x_select(bare audio_encoder.onnx - - 1 trunk=./audio_encoder_fp16_window_trunk.onnx)
set_tests_properties(test_a2x.select.bare PROPERTIES WORKING_DIRECTORY ${_ka_a2x}/motion/w2v)

# ka a2x streams and runs offline; every frame of the clip is printed.
foreach(_mode streamed offline)
  set(_flag "")
  if(_mode STREQUAL "offline")
    set(_flag --offline)
  endif()
  add_test(NAME cli_a2x_${_mode} COMMAND ${KA_TOOL_COMMAND} a2x ${_ka_a2x}/motion ${_ka_a2x}/clips/hello.wav
    --live-chunk 100 ${_flag} --w2v ${_ka_a2x_w2v})
  set_tests_properties(cli_a2x_${_mode} PROPERTIES FIXTURES_REQUIRED a2x TIMEOUT 60
    PASS_REGULAR_EXPRESSION "\n   70   2 [ 0-9.]+\n.*71 frames from 2.8. s of audio \\(${_mode}\\)")
endforeach()

ka_add_test(test_audio_file SOURCES test_audio_file.cpp FIXTURES a2x LABELS asan TIMEOUT 60)
