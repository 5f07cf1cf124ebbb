#!/usr/bin/env bash
# Runs the paste benchmark at 1 and 2 pool threads with the OpenCV peer pipelines, which
# only this script installs and enables.
#   bench/run_paste_bench.sh [BUILD_DIR] [extra benchmark arguments]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build}
shift || true
if ! dpkg-query -W -f='${Status}' libopencv-dev 2>/dev/null | grep -q 'install ok installed'; then
  sudo=$( [ "$(id -u)" = 0 ] || echo sudo )
  $sudo apt-get install -y -q --no-install-recommends libopencv-dev >/dev/null
fi
cmake -S "$here" -B "$build" -DKA_BENCH_OPENCV=ON >/dev/null
cmake --build "$build" --target bench_paste
for t in 1 2; do
  # Interleaved repetitions: the kernels and targets compared share the machine's state.
  KA_CORE_THREADS=$t "$build/bench/bench_paste" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true "$@"
done
