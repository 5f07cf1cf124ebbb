#!/usr/bin/env bash
# The whole library on AArch64 under emulation, from a fresh Debian 12 machine: installs
# what is missing (the arm64 architecture and its FFmpeg, Highway, kissfft, espeak-ng and
# GoogleTest packages, Debian's cross compiler, qemu-user-static, ONNX Runtime's arm64
# library), cross-builds the library, the ka tool and the test suite into build-aarch64,
# runs the suite under qemu-aarch64, then the demo's speaking step on both architectures
# and compares the two movies. Idempotent; runs as root or with sudo.
#
#   tools/aarch64.sh            the whole suite and the speaking demo (about 40 minutes on
#                               2 cores, packages and build included)
#   tools/aarch64.sh --subset   the kernel tests and a few end-to-end tests that touch
#                               every subsystem (what CI runs), no demo
#   tools/aarch64.sh --no-demo  the whole suite only
#
# Environment: BUILD_DIR (default build-aarch64), HOST_BUILD_DIR (default build: the
# x86-64 build the fixtures and the demo's reference movie come from), KA_QEMU_CPU
# (default max: NEON, SVE, SVE2 and half-precision arithmetic), DEMO_OUT (default
# BUILD_DIR/demo-out), KA_AARCH64_JOBS (parallel compiles and tests, default nproc).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$here/build-aarch64}
host_build=${HOST_BUILD_DIR:-$here/build}
cpu=${KA_QEMU_CPU:-max}
jobs=${KA_AARCH64_JOBS:-$(nproc)}
subset=0
demo=1
for a in "$@"; do
  case "$a" in
    --subset) subset=1; demo=0 ;;
    --no-demo) demo=0 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "tools/aarch64.sh: unknown argument '$a' (try --help)" >&2; exit 2 ;;
  esac
done
out=${DEMO_OUT:-$build/demo-out}

log() { printf '[aarch64] %s\n' "$*" >&2; }
as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
    log "need root to run: $*"; exit 1; fi
}

# ---------------------------------------------------------------- packages
# The host's own build (fixtures, the reference movie) needs what tools/bootstrap.sh
# installs; the cross build needs the same libraries for arm64.
"$here/tools/bootstrap.sh" "$host_build"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  log "adding the arm64 architecture"
  as_root dpkg --add-architecture arm64
  as_root apt-get update -q
fi
host_debs=(g++-aarch64-linux-gnu qemu-user-static pkg-config)
arm_debs=(libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libswresample-dev
          libhwy-dev libkissfft-dev libespeak-ng-dev libgtest-dev libgmock-dev)
missing=()
for p in "${host_debs[@]}" "${arm_debs[@]/%/:arm64}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" || {
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  }
fi
# ONNX Runtime's arm64 library from the npm package the host's came from.
KA_ORT_ARCH=arm64 "$here/tools/bootstrap.sh" "$build"

# ---------------------------------------------------------------- build
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# The fixtures are the host's (made by host tools, the same for every architecture):
# whatever the host's own test run already made is reused.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" \
    -DKA_ORT_ROOT="$build/deps/onnxruntime" -DKA_BUILD_BENCH=OFF -DKA_QEMU_CPU="$cpu" \
    -DKA_FIXTURE_DIR="$host_build/fixtures" "${launcher[@]}" >/dev/null
else
  cmake -S "$here" -B "$build" -DKA_QEMU_CPU="$cpu" >/dev/null
fi

# Tests that cannot run here, each with its reason. They are excluded by name and
# listed in the summary; nothing else is left out.
declare -A skip=(
  [browser_live]="drives a headless x86-64 browser against ka serve in real time"
  [python_package]="the host's Python cannot load an arm64 library"
  [telemetry_json]="the host's Python cannot load an arm64 library"
  [example_host]="builds a host program against the installed library with the host compiler"
  [cli_tool]="requires an empty standard error, and ONNX Runtime warns at load that it cannot name the processor's vendor (user-mode emulation shows it the host's /proc/cpuinfo)"
)
# The subset: every kernel test, and end-to-end tests touching each subsystem once
# (bundle and container, driver decoding, ONNX Runtime and the rewrites, the convolution
# engine, paste, the context and C interface, audio-to-motion, the session's threads,
# teeth borrowing). The ka tool is left out: its server alone takes longer to compile
# than the rest of the subset.
subset_tests=(test_half test_simd test_pool test_conv_backend_kernels test_paste
              test_manifest test_imx_unwrap test_c_interface test_source test_rewrites test_custom_ops
              test_single_frame test_a2x_frontend test_utt test_teeth_pass)
if [ "$subset" = 1 ]; then
  targets=("${subset_tests[@]}")
  filter=(-R "^($(IFS='|'; echo "${subset_tests[*]}"))\$")
else
  targets=(all)
  filter=()
fi
log "building ${targets[*]} for aarch64 in $build"
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# ---------------------------------------------------------------- suite
skip_re=$(IFS='|'; echo "^(${!skip[*]})\$")
junit="$build/aarch64-ctest.xml"
rm -f "$junit"
log "running the suite under qemu-aarch64 -cpu $cpu"
set +e
# The emulated processor has half-precision arithmetic (unless KA_QEMU_CPU says
# otherwise): the kernel tests must find it.
env $([ "$cpu" = max ] && echo KA_TEST_REQUIRE_HALF_ARITH=1) \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" "${filter[@]}" -E "$skip_re" --output-junit "$junit"
suite=$?
set -e
names=$(printf '%s\n' "${!skip[@]}" | sort)
if [ "$subset" = 1 ]; then
  names=$(printf '%s\n' "${!skip[@]}" | grep -Ex "$(IFS='|'; echo "${subset_tests[*]}")" || true)
fi
skipped=()
while IFS= read -r n; do
  [ -n "$n" ] || continue
  echo "skipped: $n ($(printf '%s' "${skip[$n]}"))"
  skipped+=("$n")
done <<<"$names"
/usr/bin/python3 - "$junit" "${#skipped[@]}" <<'PY'
import sys
import xml.etree.ElementTree as ET
cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
passed, failed, notrun = [], [], []
for c in cases:
    name = c.get("name")
    if c.find("failure") is not None or c.get("status") == "fail":
        failed.append(name)
    elif c.find("skipped") is not None or c.get("status") in ("notrun", "disabled"):
        notrun.append(name)
    else:
        passed.append(name)
for n in failed:
    print(f"failed: {n}")
for n in notrun:
    print(f"skipped: {n} (ctest did not run it)")
print(f"[aarch64] suite: {len(passed)} passed, {len(failed)} failed, {len(notrun) + int(sys.argv[2])} skipped")
PY
[ "$suite" = 0 ] || { log "the suite failed under emulation"; exit 1; }
[ "$demo" = 1 ] || exit 0

# ---------------------------------------------------------------- speaking demo
# The same sentence through the same identity on both architectures; the frames are lined
# up by what they show (kind, driver frame, speech frame), since the number of idle frames
# made while the session waits for the model depends on how fast the machine is.
cmake -S "$here" -B "$host_build" -G Ninja -DKA_ORT_ROOT="$host_build/deps/onnxruntime" >/dev/null
cmake --build "$host_build" -j "$jobs" --target ka
mkdir -p "$out"
bash "$here/tools/fixtures/make_demo_fixtures.sh" "$out"
if [ ! -s "$out/speech.wav" ]; then
  espeak-ng -w "$out/speech.raw.wav" "Hello. I am a drawn face, and my lips follow what I say."
  ffmpeg -hide_banner -loglevel error -y -i "$out/speech.raw.wav" -ar 16000 -ac 1 -c:a pcm_s16le "$out/speech.wav"
  rm -f "$out/speech.raw.wav"
fi
export W2V_ONNX="$out/motion-a2x/w2v/audio_encoder.onnx"
for arch in x86_64 aarch64; do
  if [ "$arch" = x86_64 ]; then ka=("$host_build/tools/ka"); else ka=("$build/ka-emulated"); fi
  log "ka speak on $arch"
  "${ka[@]}" speak "$out/demo" --motion "$out/motion-a2x" "$out/speech.wav" --teeth \
    --out "$out/speak-$arch.mp4" --frame-log "$out/speak-$arch.frames"
done
status=0
/usr/bin/python3 "$here/tools/cross/compare_speak.py" "$out/speak-x86_64" "$out/speak-aarch64" || status=1
# The movies are lossy; single frames through the director and the paste are compared as
# PNGs, within the bound the half-precision engine is held to against ONNX Runtime
# (2e-2 worst, 8.5e-4 mean on [0, 1]).
for row in 0 7 31; do
  "$host_build/tools/ka" render "$out/demo" --row "$row" --out "$out/row$row-x86_64.png" >/dev/null 2>&1
  "$build/ka-emulated" render "$out/demo" --row "$row" --out "$out/row$row-aarch64.png" >/dev/null 2>&1
  /usr/bin/python3 - "$out/row$row-x86_64.png" "$out/row$row-aarch64.png" "$row" <<'PY' || status=1
import subprocess, sys
import numpy as np
a, b = (np.frombuffer(subprocess.run(["ffmpeg", "-v", "error", "-i", p, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                                     check=True, capture_output=True).stdout, np.uint8) / 255.0 for p in sys.argv[1:3])
d = np.abs(a - b) if a.size == b.size and a.size else np.ones(1)
print(f"[aarch64] ka render --row {sys.argv[3]}: worst {d.max():.3e}, mean {d.mean():.3e} against x86-64")
sys.exit(0 if d.max() <= 2e-2 and d.mean() <= 8.5e-4 else 1)
PY
done
# The same sentence rendered offline in one call: no timing decides which driver frame a
# speech frame lands on, so every speech frame lines up with its x86-64 twin; their mean
# difference must stay at the encoder's level, as the idle frames' does.
/usr/bin/python3 "$here/tools/fixtures/make_fca_fixtures.py" "$out/demo" --w2v-dir "$out/motion-a2x/w2v" >/dev/null
"$host_build/tools/ka" render-offline "$out/demo" --encoder "$W2V_ONNX" "$out/speech.wav" --out "$out/offline-x86_64.mp4" >/dev/null
"$build/ka-emulated" render-offline "$out/demo" --encoder "$W2V_ONNX" "$out/speech.wav" --out "$out/offline-aarch64.mp4" >/dev/null
/usr/bin/python3 - "$out/offline-x86_64.mp4" "$out/offline-aarch64.mp4" <<'PY' || status=1
import subprocess, sys
import numpy as np
a, b = (np.frombuffer(subprocess.run(["ffmpeg", "-v", "error", "-i", p, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                                     check=True, capture_output=True).stdout, np.uint8) / 255.0 for p in sys.argv[1:3])
d = np.abs(a - b) if a.size == b.size and a.size else np.ones(1)
print(f"[aarch64] ka render-offline, {a.size // (640 * 360 * 3)} frames: worst {d.max():.3e}, mean {d.mean():.3e} against x86-64")
sys.exit(0 if a.size == b.size and d.mean() <= 1e-2 else 1)
PY
[ "$status" = 0 ] || { log "the speaking demo differs between the architectures"; exit 1; }
log "the speaking demo agrees on both architectures"
