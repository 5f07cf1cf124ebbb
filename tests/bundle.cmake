ka_add_test(test_manifest_key SOURCES test_manifest_key.cpp)
ka_add_test(test_manifest SOURCES test_manifest.cpp)
ka_add_test(test_member SOURCES test_member.cpp)
ka_add_test(test_imx_unwrap SOURCES test_imx_unwrap.cpp)
ka_add_test(test_c_interface SOURCES test_c_interface.cpp)

ka_add_fixture(smoke_onnx COMMAND ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_smoke_onnx.py
  ${KA_FIXTURE_DIR}/smoke)
ka_add_test(test_ort_smoke SOURCES test_ort_smoke.cpp FIXTURES smoke_onnx)

add_test(NAME cli_imx_roundtrip
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_imx_roundtrip.sh ${KA_TOOL_COMMAND})
set_tests_properties(cli_imx_roundtrip PROPERTIES TIMEOUT 120)
