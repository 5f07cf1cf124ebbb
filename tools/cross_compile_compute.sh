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
# without half arithmetic, where the row falls back to the Highway kernel. Last it renders
# one frame of the m4b fixture director through the engine both ways (minutes under
# emulation) and compares the pictures.
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

# The whole engine on the fused m4b fixture director: one frame in half arithmetic
# (emulated processor with ASIMDHP) against the same frame in single arithmetic (one
# without), which the x86 tests hold to ONNX Runtime's picture.
m4b="${KA_CROSS_M4B:-$root/build/fixtures/m4b}"
if [ ! -f "$m4b/model_m4b1.onnx" ]; then
  echo "[cross] making the m4b fixture in $m4b"
  /usr/bin/python3 "$root/tools/fixtures/make_m4b_director.py" "$m4b" >/dev/null
fi
# The log header names ONNX Runtime's logging types; its headers are the same for every
# architecture, so the host's copy from tools/bootstrap.sh serves.
ort_include="${KA_ORT_ROOT:-$root/build/deps/onnxruntime}/include"
[ -f "$ort_include/onnxruntime_c_api.h" ] || "$root/tools/bootstrap.sh" "$root/build"
[ -f "$ort_include/onnxruntime_c_api.h" ] || { echo "[cross] ONNX Runtime headers not found in $ort_include" >&2; exit 1; }
for src in "$root/tools/cross/conv_engine_render.cpp" "$root/render/conv_backend.cpp" \
           "$root/render/conv_backend_engine.cpp" "$root/render/conv_backend_workers.cpp" "$root/base/log.cpp"; do
  echo "[cross] $cxx ${src#$root/}"
  "$cxx" "${tflags[@]}" -idirafter "$ort_include" -c "$src" -o "$out/engine-$(basename "${src%.*}").o"
done
"$cxx" -static -o "$out/conv_engine_render" "$out"/engine-*.o "$out/test-conv_backend_pack.o" \
  "$out/test-m4b_model.o" "$out/test-onnx_codec.o" "$out/test-hwy_targets_aarch64.o" "${objs[@]}" -lpthread
qemu-aarch64-static -cpu max "$out/conv_engine_render" "$m4b/model_m4b1.onnx" "$m4b" "$out/rgb_half.f32"
qemu-aarch64-static -cpu cortex-a57 "$out/conv_engine_render" "$m4b/model_m4b1.onnx" "$m4b" "$out/rgb_single.f32"
# Bounds: half runs of 16 products lose up to 16 x 2^-11 of their magnitude where the
# single sums lose nothing comparable, and the error grows through the layers before the
# warp much as the half rounding of the activations does. Measured on the fixture frame:
# worst pixel 4.4e-3, mean 1.7e-4 on [0, 1]; the bounds leave a factor of about three.
# With the x86 engine's bounds against ONNX Runtime (8e-3, 3.5e-4) the half-arithmetic
# picture is ONNX Runtime's within 2e-2 worst and 8.5e-4 mean.
/usr/bin/python3 - "$out/rgb_half.f32" "$out/rgb_single.f32" <<'PY'
import sys
import numpy as np
a, b = (np.fromfile(p, dtype=np.float32) for p in sys.argv[1:3])
d = np.abs(a - b)
print(f"[cross] engine, half against single arithmetic: worst {d.max():.2e}, mean {d.mean():.2e}")
sys.exit(0 if a.size == 3 * 512 * 512 and np.isfinite(a).all() and d.max() <= 1.2e-2 and d.mean() <= 5e-4 else 1)
PY
echo "[cross] engine picture in half arithmetic within bounds on aarch64"
