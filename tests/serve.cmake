# ka serve's live server: its message parser and network edges alone, and the server in-process over the
# utterance fixtures (cli.cmake makes them and names the speech encoder).
if(TARGET ka_serve)
  ka_add_test(test_client_message SOURCES test_client_message.cpp LIBS ka_serve LABELS asan TIMEOUT 60)
  ka_add_test(test_serve_edges SOURCES test_serve_edges.cpp LIBS ka_serve LABELS asan TIMEOUT 60)
  if(KA_SANITIZE STREQUAL "address")
    # It runs the process out of descriptors, under which the vptr check reports every
    # object it looks at (see tools/CMakeLists.txt).
    target_compile_options(test_serve_edges PRIVATE -fno-sanitize=vptr)
  endif()
  ka_add_test(test_serve SOURCES test_serve.cpp LIBS ka_serve FIXTURES utt_fixtures LABELS asan tsan TIMEOUT 300
    ENV "W2V_ONNX=${KA_FIXTURE_DIR}/utt/motion-a2x/w2v/audio_encoder.onnx")
endif()
