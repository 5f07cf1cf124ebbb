ka_add_bench(bench_paste SOURCES bench_paste.cpp)
# The OpenCV peer pipelines are built only on request (bench/run_paste_bench.sh asks and
# installs OpenCV); the library, the demo and the tests never use it.
option(KA_BENCH_OPENCV "Build bench_paste's OpenCV comparison" OFF)
if(KA_BENCH_OPENCV)
  find_package(OpenCV QUIET COMPONENTS core imgproc)
  if(OpenCV_FOUND)
    target_compile_definitions(bench_paste PRIVATE KA_HAVE_OPENCV)
    target_link_libraries(bench_paste PRIVATE ${OpenCV_LIBS})
    target_include_directories(bench_paste PRIVATE ${OpenCV_INCLUDE_DIRS})
  else()
    message(STATUS "KA_BENCH_OPENCV: OpenCV not found, bench_paste runs without its comparison")
  endif()
endif()
