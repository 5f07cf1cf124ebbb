# Locates the libraries the build needs and presents each as one imported target.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(KA_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil libswresample)
add_library(ka::ffmpeg ALIAS PkgConfig::KA_FFMPEG)

pkg_check_modules(KA_HWY REQUIRED IMPORTED_TARGET libhwy)
add_library(ka::hwy ALIAS PkgConfig::KA_HWY)

# The motion generator's spectra: a real FFT whose state (and scratch) the caller owns.
pkg_check_modules(KA_KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
add_library(ka::kissfft ALIAS PkgConfig::KA_KISSFFT)

find_path(KA_STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)

set(_ort_lib "${KA_ORT_ROOT}/lib/libonnxruntime.so.1")
if(NOT EXISTS "${_ort_lib}" OR NOT EXISTS "${KA_ORT_ROOT}/include/onnxruntime_cxx_api.h")
  message(FATAL_ERROR "ONNX Runtime not found under KA_ORT_ROOT=${KA_ORT_ROOT}. "
                      "Run tools/bootstrap.sh ${CMAKE_BINARY_DIR} first.")
endif()
add_library(ka::onnxruntime SHARED IMPORTED GLOBAL)
set_target_properties(ka::onnxruntime PROPERTIES
  IMPORTED_LOCATION "${_ort_lib}"
  IMPORTED_SONAME "libonnxruntime.so.1"
  INTERFACE_INCLUDE_DIRECTORIES "${KA_ORT_ROOT}/include")

find_package(GTest)
find_package(benchmark QUIET)
find_program(KA_SYSTEM_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KA_FFMPEG_TOOL ffmpeg)
