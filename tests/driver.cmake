# Driver video: frame sources and the prefetching cursor, over members made by the real
# encoders of the ffmpeg tool.
if(KA_FFMPEG_TOOL)
  set(_ka_ffmpeg ${KA_FFMPEG_TOOL})
else()
  set(_ka_ffmpeg ffmpeg)
endif()
ka_add_fixture(driver_media COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_driver_fixtures.sh
  ${KA_FIXTURE_DIR}/driver ${_ka_ffmpeg})
ka_add_test(test_source SOURCES test_source.cpp FIXTURES driver_media LABELS asan
  ENV KA_CORE_SO=$<TARGET_FILE:ka_core>)
ka_add_test(test_cursor SOURCES test_cursor.cpp FIXTURES driver_media LABELS tsan asan)
# test_source loads the shared library to check what it exports.
add_dependencies(test_source ka_core)
