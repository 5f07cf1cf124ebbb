#!/usr/bin/env bash
# Runs the whole test suite from a fresh clone: installs what is missing, builds, tests.
#   tools/test.sh [extra ctest arguments]
# Environment: BUILD_DIR (default: build), KA_SANITIZE (address|thread; uses its own
# build directory build-<sanitizer> unless BUILD_DIR is set), KA_BUILD_TARGETS (build
# only these targets, for a run limited with -R or -L).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
san=${KA_SANITIZE:-}
build=${BUILD_DIR:-$here/build${san:+-$san}}
"$here/tools/bootstrap.sh" "$build"
cmake -S "$here" -B "$build" -G Ninja -DKA_SANITIZE="$san" -DKA_ORT_ROOT="$build/deps/onnxruntime" >/dev/null
cmake --build "$build" ${KA_BUILD_TARGETS:+--target $KA_BUILD_TARGETS}
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
