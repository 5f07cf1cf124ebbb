ka_add_bench(bench_paste SOURCES bench_paste.cpp)
# The OpenCV peer pipeline is compared only where OpenCV is installed
# (bench/run_paste_bench.sh installs it); the library never links it.
find_package(OpenCV QUIET COMPONENTS core imgproc)
if(OpenCV_FOUND)
  target_compile_definitions(bench_paste PRIVATE KA_HAVE_OPENCV)
  target_link_libraries(bench_paste PRIVATE ${OpenCV_LIBS})
  target_include_directories(bench_paste PRIVATE ${OpenCV_INCLUDE_DIRS})
endif()
