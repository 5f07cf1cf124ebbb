# Cross-building for AArch64 with Debian's cross compiler against the arm64 packages of
# a multiarch host (dpkg --add-architecture arm64; libavcodec-dev:arm64 and the rest):
# their libraries live in /usr/lib/aarch64-linux-gnu, which the cross compiler searches
# by itself, and their headers beside the host's. tools/aarch64.sh uses this file.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
#
# Tests run under qemu-aarch64 (user mode); KA_QEMU_CPU picks the emulated processor
# (default max: SVE, SVE2 and half-precision arithmetic).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config must see only the arm64 .pc files (plus the architecture-independent ones).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_EXECUTABLE pkg-config CACHE FILEPATH "")

# No find root: CMAKE_LIBRARY_ARCHITECTURE already sends library and CMake package
# searches to the arm64 directories, while programs (python3 and ffmpeg, which make the
# fixtures) and header-only packages come from the host, as they should.

find_program(_ka_qemu NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(KA_QEMU_CPU "max" CACHE STRING "Processor qemu-aarch64 emulates for the tests")
# Without binfmt registration the arm64 loader is found through -L; a multiarch host
# has it at its usual place, so the prefix is the root itself unless the cross libc's
# tree is all there is.
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(_ka_qemu_prefix /)
else()
  set(_ka_qemu_prefix /usr/aarch64-linux-gnu)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${_ka_qemu};-L;${_ka_qemu_prefix};-cpu;${KA_QEMU_CPU}" CACHE STRING "")
