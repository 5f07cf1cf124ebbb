#!/usr/bin/env bash
# Compiles compute/ (worker pool and every vector kernel, for every Arm target Highway
# offers) for AArch64 with Debian's cross compiler, as a check that the product's
# architecture builds. Objects only: nothing is linked, so no arm64 libraries are
# needed; Highway's headers are architecture-independent and come from the host.
#
#   tools/cross_compile_compute.sh [--run] [output-dir]   (default: build/cross-aarch64)
#
# --run also links the kernel tests statically (GoogleTest from /usr/src/googletest,
# a stand-in for Highway's target detection from tools/cross/) and runs them under
# qemu-user with SVE vectors of 512, 256 and 128 bits, so that NEON, SVE, SVE2,
# SVE_256 and SVE2_128 each run every kernel test and the convolution row's half-arithmetic
# kernel must run (the emulated processor has ASIMDHP), then once more on a processor
# without half arithmetic, where the row falls back to the Highway kernel.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
run=0
if [ "${1:-}" = "--run" ]; then
  run=1
  shift
fi
out="${1:-$root/build/cross-aarch64}"
cxx=aarch64-linux-gnu-g++

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
need_deb() {  # command package
  command -v "$1" >/dev/null 2>&1 && return 0
  echo "[cross] installing $2" >&2
  $sudo apt-get install -y --no-install-recommends "$2" >&2 || {
    $sudo apt-get update >&2
    $sudo apt-get install -y --no-install-recommends "$2" >&2
  }
}
need_deb "$cxx" g++-aarch64-linux-gnu

hwy_include="$(dirname "$(dirname "$(find /usr/include -maxdepth 2 -name highway.h -path '*hwy*' | head -n1)")")"
[ -f "$hwy_include/hwy/highway.h" ] || { echo "[cross] Highway headers not found" >&2; exit 1; }

mkdir -p "$out"
# The cross compiler's own sysroot must win over the host's /usr/include, so Highway's
# directory is added with -idirafter rather than -I.
flags=(-std=c++20 -O2 -fPIC -Wall -Wextra -Werror -ffp-contract=off -I "$root" -idirafter "$hwy_include"
       -DKA_BUILDING_LIBRARY -fvisibility=hidden -fvisibility-inlines-hidden)
status=0
for src in "$root"/compute/*.cpp; do
  obj="$out/$(basename "${src%.cpp}").o"
  echo "[cross] $cxx ${src#$root/}"
  "$cxx" "${flags[@]}" -c "$src" -o "$obj" || status=1
done
[ "$status" -eq 0 ] || { echo "[cross] FAILED" >&2; exit 1; }

# Every kernel must exist for each Arm target, not just the baseline.
for t in NEON SVE SVE2 SVE_256 SVE2_128; do
  if ! nm -C "$out"/simd_half.o | grep -q "ka::simd::N_${t}::F32ToF16"; then
    echo "[cross] target $t missing from simd_half.o" >&2
    exit 1
  fi
done
if ! nm -C "$out"/simd_conv_f16_halfarith.o | grep -q "ka::simd::detail::convF16RowHalfArith"; then
  echo "[cross] the half-arithmetic convolution row is missing from simd_conv_f16_halfarith.o" >&2
  exit 1
fi
echo "[cross] compute/ compiled for aarch64 into $out"
[ "$run" -eq 1 ] || exit 0

need_deb qemu-aarch64-static qemu-user-static
gtest=/usr/src/googletest/googletest
[ -f "$gtest/src/gtest-all.cc" ] || { echo "[cross] GoogleTest sources not found in $gtest" >&2; exit 1; }
tflags=(-std=c++20 -O2 -ffp-contract=off -I "$root" -I "$gtest/include" -I "$gtest" -idirafter "$hwy_include"
        -DKA_BUILDING_LIBRARY)
for src in "$gtest/src/gtest-all.cc" "$gtest/src/gtest_main.cc" "$root/tools/cross/hwy_targets_aarch64.cpp" \
           "$root/tests/test_simd.cpp" "$root/tests/test_half.cpp" "$root/tests/test_conv_backend_kernels.cpp" \
           "$root/render/conv_backend_pack.cpp" "$root/render/m4b_model.cpp" "$root/render/onnx_codec.cpp"; do
  obj="$out/test-$(basename "${src%.*}").o"
  case "$src" in */gtest*) if [ -f "$obj" ]; then continue; fi ;; esac  # built once
  echo "[cross] $cxx ${src#$root/}"
  "$cxx" "${tflags[@]}" -c "$src" -o "$obj"
done
objs=()
for src in "$root"/compute/*.cpp; do objs+=("$out/$(basename "${src%.cpp}").o"); done
# (The static link warns about getaddrinfo inside GoogleTest's unused streaming code.)
"$cxx" -static -o "$out/kernel_tests" "$out"/test-*.o "${objs[@]}" -lpthread
for bytes in 64 32 16; do
  echo "[cross] kernel tests, SVE vectors of $((bytes * 8)) bits"
  KA_TEST_REQUIRE_HALF_ARITH=1 qemu-aarch64-static -cpu "max,sve-default-vector-length=$bytes" "$out/kernel_tests" \
    --gtest_brief=1
done
echo "[cross] kernel tests, a processor without half-precision arithmetic"
qemu-aarch64-static -cpu cortex-a57 "$out/kernel_tests" --gtest_brief=1
echo "[cross] kernel tests passed on aarch64"
