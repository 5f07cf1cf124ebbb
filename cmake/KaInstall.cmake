# Install rules: the library (versioned SONAME plus the plain link name), the public
# headers, the ONNX Runtime it was linked against, a pkg-config file and a CMake
# package so a host can find_package(ka_core).
include(CMakePackageConfigHelpers)

install(TARGETS ka_core EXPORT ka_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ka/ka.h ka/ka_a2x.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ka)
# The exported C++ helpers, each header self-contained (it includes only ka/ka.h),
# under the C interface's prefix: <ka/tessera/bank_decode.h>, <ka/driver/...>.
install(FILES tessera/bank_decode.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ka/tessera)
install(FILES driver/movie_decoder_build.h driver/image_io.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ka/driver)
install(FILES "${KA_ORT_ROOT}/lib/libonnxruntime.so.1" DESTINATION ${CMAKE_INSTALL_LIBDIR})

install(EXPORT ka_coreTargets NAMESPACE ka_core:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ka_core)
configure_package_config_file(cmake/ka_coreConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/ka_coreConfig.cmake"
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ka_core)
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/ka_coreConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/ka_coreConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/ka_coreConfigVersion.cmake"
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ka_core)

# The .pc file finds the prefix from its own place, so an installed tree can be moved
# (or installed with --prefix at install time) and still be found; an absolute libdir
# or includedir stays as given.
file(RELATIVE_PATH KA_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" KA_PC_TO_PREFIX "${KA_PC_TO_PREFIX}")
foreach(_d LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_d}}")
    set(KA_PC_${_d} "${CMAKE_INSTALL_${_d}}")
  else()
    set(KA_PC_${_d} "\${prefix}/${CMAKE_INSTALL_${_d}}")
  endif()
endforeach()
configure_file(cmake/ka_core.pc.in "${CMAKE_CURRENT_BINARY_DIR}/ka_core.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/ka_core.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
