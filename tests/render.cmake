# ONNX codec, load-time rewrites and custom operators. The fixtures are real PyTorch
# exports, operator models made with the onnx package, and what the onnx package reads
# from all of them and from Debian's libonnx-testdata.
set(_ka_onnx_torch ${KA_FIXTURE_DIR}/onnx_torch)
set(_ka_onnx_ops ${KA_FIXTURE_DIR}/onnx_ops)
ka_add_fixture(onnx_torch COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_onnx_torch.py
  ${_ka_onnx_torch})
ka_add_fixture(onnx_ops COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_onnx_ops.py
  ${_ka_onnx_ops})
ka_add_fixture(onnx_refs COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_onnx_codec_refs.py
  ${KA_FIXTURE_DIR}/onnx_refs/refs.txt ${_ka_onnx_torch} ${_ka_onnx_ops})
set_tests_properties(fixture.onnx_refs PROPERTIES FIXTURES_REQUIRED "onnx_torch;onnx_ops")

ka_add_test(test_onnx_codec SOURCES test_onnx_codec.cpp FIXTURES onnx_refs LABELS asan TIMEOUT 120)
ka_add_test(test_custom_ops SOURCES test_custom_ops.cpp FIXTURES onnx_ops LABELS asan TIMEOUT 120)
ka_add_test(test_rewrites SOURCES test_rewrites.cpp FIXTURES onnx_torch TIMEOUT 120)

add_test(NAME cli_onnx_info COMMAND ${KA_TOOL_COMMAND} onnx info ${_ka_onnx_torch}/cubic_head.onnx)
set_tests_properties(cli_onnx_info PROPERTIES FIXTURES_REQUIRED onnx_torch TIMEOUT 60
  PASS_REGULAR_EXPRESSION "x \\[\\?, 8, 16, 12\\].*y \\[\\?, 4, 32, 24\\].*head cubic x2 Resize -> Pad\\+Conv\\+DepthToSpace: 1 node")
