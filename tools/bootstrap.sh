#!/usr/bin/env bash
# Brings a machine that has only the base image to a state where libka_core builds
# and its tests run. Idempotent: a second run finds everything in place and neither
# installs nor downloads anything.
#
# Usage: tools/bootstrap.sh [BUILD_DIR]
#   BUILD_DIR (default: build) receives the ONNX Runtime library and headers under
#   BUILD_DIR/deps/onnxruntime.
# Environment:
#   KA_DEPS_CACHE   where fetched archives are kept between runs
#                   (default: ~/.cache/libka_core)
#   KA_ORT_VERSION  onnxruntime-node version providing the runtime (default below)
#   KA_ORT_ARCH     x64 or arm64: the runtime's architecture, when building for another
#                   than the machine's own (tools/aarch64.sh); default: the machine's
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$here/$build" ;; esac
cache=${KA_DEPS_CACHE:-${HOME:-/root}/.cache/libka_core}
ort_version=${KA_ORT_VERSION:-1.23.2}
# The headers come from the newest Debian suite that packages them; the runtime must
# not be older than they are.
hdr_suite=trixie

log() { printf '[bootstrap] %s\n' "$*" >&2; }

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
    log "need root to run: $*"; exit 1; fi
}

# ---------------------------------------------------------------- Debian packages
debs=(
  build-essential cmake ninja-build pkg-config git ca-certificates xz-utils
  chromium
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libswresample-dev
  libhwy-dev libstb-dev libgtest-dev libgmock-dev libbenchmark-dev libkissfft-dev
  ffmpeg espeak-ng nodejs npm
  python3-torch python3-onnx python3-numpy libonnx-testdata python3-pytest python3-setuptools python3-pip python3-venv
  python3-distributed python3-mypy
  clang libclang-rt-dev
  libboost-dev libespeak-ng-dev
)
missing=()
for p in "${debs[@]}"; do
  # nodejs/npm may come from elsewhere on the image; the commands are what we need.
  case "$p" in nodejs) command -v node >/dev/null && continue ;; npm) command -v npm >/dev/null && continue ;; esac
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing Debian packages: ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# ---------------------------------------------------------------- ONNX Runtime
# The headers are the same for every architecture, so they always come from the
# machine's own package; only the runtime follows KA_ORT_ARCH.
case "$(uname -m)" in
  x86_64|amd64) ort_arch=x64; deb_arch=amd64 ;;
  aarch64|arm64) ort_arch=arm64; deb_arch=arm64 ;;
  *) log "no prebuilt ONNX Runtime for $(uname -m)"; exit 1 ;;
esac
case "${KA_ORT_ARCH:-}" in
  "") ;;
  x64|arm64) ort_arch=$KA_ORT_ARCH ;;
  *) log "KA_ORT_ARCH must be x64 or arm64, not $KA_ORT_ARCH"; exit 1 ;;
esac
ort_dir="$build/deps/onnxruntime"
stamp="$ort_dir/.stamp"
want_stamp="runtime=$ort_version arch=$ort_arch headers=$hdr_suite"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want_stamp" ] \
   && [ -f "$ort_dir/lib/libonnxruntime.so.1" ] && [ -f "$ort_dir/include/onnxruntime_cxx_api.h" ]; then
  exit 0
fi
mkdir -p "$cache"

# Runtime library: the npm package ships prebuilt CPU libraries per platform.
tgz="$cache/onnxruntime-node-$ort_version.tgz"
if [ ! -s "$tgz" ]; then
  log "fetching onnxruntime-node@$ort_version"
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "onnxruntime-node@$ort_version" >/dev/null)
  mv "$tmp"/onnxruntime-node-*.tgz "$tgz.tmp" && mv "$tgz.tmp" "$tgz"
  rm -rf "$tmp"
fi

# Headers: apt-get download under a private configuration, so the machine's own
# sources stay as they are. The mirror is whatever the machine already uses.
hdr_deb=$(ls "$cache"/libonnxruntime-dev_*_"$deb_arch".deb 2>/dev/null | head -n1 || true)
if [ -z "$hdr_deb" ]; then
  mirror=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
           | tr ' ' '\n' | grep -v -- '-security' | grep -v '^$' | head -n1 || true)
  if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
    mirror=$(awk '$1=="deb" && $0 !~ /security/ {for(i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
  fi
  [ -n "$mirror" ] || { log "cannot find a Debian mirror in the apt configuration"; exit 1; }
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  apt_root="$cache/apt-$hdr_suite"
  mkdir -p "$apt_root/lists/partial" "$apt_root/cache/archives/partial" "$apt_root/etc"
  echo "deb [signed-by=$keyring] $mirror $hdr_suite main" > "$apt_root/etc/sources.list"
  aopt=(-o "Dir::Etc::sourcelist=$apt_root/etc/sources.list" -o Dir::Etc::sourceparts=-
        -o "Dir::State::Lists=$apt_root/lists" -o "Dir::Cache=$apt_root/cache"
        -o APT::Sandbox::User=root -o "APT::Architecture=$deb_arch" -q)
  log "fetching libonnxruntime-dev headers ($hdr_suite)"
  as_root apt-get "${aopt[@]}" update >/dev/null
  (cd "$cache" && as_root apt-get "${aopt[@]}" download "libonnxruntime-dev:$deb_arch" >/dev/null)
  hdr_deb=$(ls "$cache"/libonnxruntime-dev_*_"$deb_arch".deb | head -n1)
fi

rm -rf "$ort_dir.tmp" && mkdir -p "$ort_dir.tmp/lib" "$ort_dir.tmp/include" "$ort_dir.tmp/x"
tar -xzf "$tgz" -C "$ort_dir.tmp/x" "package/bin/napi-v6/linux/$ort_arch/libonnxruntime.so.1"
mv "$ort_dir.tmp/x/package/bin/napi-v6/linux/$ort_arch/libonnxruntime.so.1" "$ort_dir.tmp/lib/"
ln -s libonnxruntime.so.1 "$ort_dir.tmp/lib/libonnxruntime.so"
dpkg-deb -x "$hdr_deb" "$ort_dir.tmp/x/deb"
cp -r "$ort_dir.tmp/x/deb/usr/include/onnxruntime/." "$ort_dir.tmp/include/"
rm -rf "$ort_dir.tmp/x"
echo "$want_stamp" > "$ort_dir.tmp/.stamp"
rm -rf "$ort_dir" && mv "$ort_dir.tmp" "$ort_dir"
log "ONNX Runtime $ort_version ($ort_arch) with headers from $(basename "$hdr_deb") in $ort_dir"
