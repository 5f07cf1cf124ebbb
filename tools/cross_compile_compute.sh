#!/usr/bin/env bash
# Compiles compute/ (worker pool and every vector kernel, for every Arm target Highway
# offers) for AArch64 with Debian's cross compiler, as a check that the product's
# architecture builds. Objects only: nothing is linked, so no arm64 libraries are
# needed; Highway's headers are architecture-independent and come from the host.
#
#   tools/cross_compile_compute.sh [output-dir]    (default: build/cross-aarch64)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/cross-aarch64}"
cxx=aarch64-linux-gnu-g++

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "[cross] installing g++-aarch64-linux-gnu" >&2
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get install -y --no-install-recommends g++-aarch64-linux-gnu >&2 || {
    $sudo apt-get update >&2
    $sudo apt-get install -y --no-install-recommends g++-aarch64-linux-gnu >&2
  }
fi

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
echo "[cross] compute/ compiled for aarch64 into $out"
