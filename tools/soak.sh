#!/usr/bin/env bash
# A long randomised run of one utterance session on the demo identity with its teeth
# attached: host threads push speech in random sizes at a random pace, end utterances,
# interrupt, stall the puller for seconds and pull in bursts, while a watchdog bounds
# every call and the frame sequence, resident memory, descriptors and threads are
# checked (tools/soak/soak.cpp). Not part of the test suite.
#   tools/soak.sh --minutes N [--sanitize address] [--seed N] [--log FILE]
# Installs what is missing, builds ka_soak (in build/, or build-<sanitizer>/ with
# --sanitize), makes the demo identity under BUILD/soak-fixtures with the project's
# fixture scripts (skipped when made already) and runs. Exit status: ka_soak's (0 clean,
# 1 a check failed, 3 the watchdog tripped). Environment: BUILD_DIR, KA_ORT_ROOT (an
# ONNX Runtime already unpacked elsewhere; default BUILD/deps/onnxruntime).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
minutes="" san="" log="" extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --sanitize) san=$2; shift 2 ;;
    --seed) extra+=(--seed "$2"); shift 2 ;;
    --log) log=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "soak.sh: --minutes N is required (a number > 0)" >&2; exit 2; }
case "$san" in ""|address) ;; *) echo "soak.sh: --sanitize takes address, not '$san'" >&2; exit 2 ;; esac
seconds=$(awk -v m="$minutes" 'BEGIN { print m * 60 }')
build=${BUILD_DIR:-$here/build${san:+-$san}}

"$here/tools/bootstrap.sh" "$build"
cmake -S "$here" -B "$build" -G Ninja -DKA_SANITIZE="$san" \
  -DKA_ORT_ROOT="${KA_ORT_ROOT:-$build/deps/onnxruntime}" >/dev/null
cmake --build "$build" --target ka_soak
fixtures="$build/soak-fixtures"
bash "$here/tools/fixtures/make_demo_fixtures.sh" "$fixtures" >/dev/null
export W2V_ONNX="$fixtures/motion-a2x/w2v/audio_encoder.onnx"

if [ -n "$san" ]; then
  # The sanitizer's quarantine and allocator caches make resident memory grow by
  # design: the slope is reported, and LeakSanitizer judges leaks at exit instead.
  extra+=(--slope-max -1)
fi
run=("$build/tools/ka_soak" --bundle "$fixtures/demo" --motion "$fixtures/motion-a2x" --seconds "$seconds" "${extra[@]}")
echo "== ${run[*]}"
if [ -n "$log" ]; then
  "${run[@]}" 2>&1 | tee "$log" | grep --line-buffered '^\[soak\]'
  exit "${PIPESTATUS[0]}"
fi
exec "${run[@]}"
