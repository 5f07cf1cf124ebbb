#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# their own build directory and runs each for a bounded time, starting from seeds made
# from the project's fixtures plus the committed regression inputs in
# tests/fuzz/corpus/<target>/. Prints executions and findings per target; exits non-zero
# when any target found something (its input is kept under BUILD/findings/<target>/).
#   tools/fuzz.sh [--seconds N] [TARGET...]     targets: manifest_key manifest imx onnx_codec
#                                                audio_file tessera client_message tessera_json
#                                                stored_zip pickle bank_decode driver_movie
#                                                driver_jpeg m4b_model motion_meta
# Environment: FUZZ_BUILD_DIR (default: build-fuzz).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=60
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(manifest_key manifest imx onnx_codec audio_file tessera client_message
                                     tessera_json stored_zip pickle bank_decode driver_movie driver_jpeg m4b_model
                                     motion_meta)
build=${FUZZ_BUILD_DIR:-$here/build-fuzz}

"$here/tools/bootstrap.sh" "$build"
CC=clang CXX=clang++ cmake -S "$here/tests/fuzz" -B "$build" -G Ninja \
  -DKA_ORT_ROOT="$build/deps/onnxruntime" >/dev/null
cmake --build "$build" --target $(printf 'fuzz_%s ' "${targets[@]}")
bash "$here/tests/fuzz/make_seeds.sh" "$build/seeds" >/dev/null

export TMPDIR="$build/tmp"
total_findings=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t" findings="$build/findings/$t"
  mkdir -p "$work" "$findings" "$TMPDIR" "$here/tests/fuzz/corpus/$t"
  # A finding of an earlier run is not this run's: keep it beside, out of the count.
  if [ -n "$(ls -A "$findings")" ]; then
    mkdir -p "$findings.earlier" && mv "$findings"/* "$findings.earlier"/
    echo "fuzz_$t: earlier findings moved to $findings.earlier"
  fi
  log="$build/fuzz_$t.log"
  # Inputs up to 64 KiB: the seeds' size class (the director seed is larger and is
  # still read whole as a seed).
  set +e
  "$build/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$findings/" \
    "$work" "$build/seeds/$t" "$here/tests/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  found=$(find "$findings" -type f | wc -l)
  [ "$rc" = 0 ] || [ "$found" -gt 0 ] || found=1
  echo "fuzz_$t: ${execs:-0} executions in ${seconds} s, $found finding(s)"
  if [ "$found" -gt 0 ]; then
    grep -E 'ERROR|SUMMARY|runtime error' "$log" | head -n 5 || tail -n 20 "$log"
    total_findings=$((total_findings + found))
  fi
done
[ "$total_findings" = 0 ]
