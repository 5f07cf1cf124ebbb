# Driver playback speed against the ffmpeg tool, and the cursor's fixed memory.
ka_add_bench(bench_driver SOURCES bench_driver.cpp)
if(KA_FFMPEG_TOOL)
  target_compile_definitions(bench_driver PRIVATE KA_FFMPEG_TOOL="${KA_FFMPEG_TOOL}")
endif()
