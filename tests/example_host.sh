#!/usr/bin/env bash
# The example hosts (the README's in C, and one in C++), built the way a host developer would: against an installed copy of
# the library, through pkg-config and through CMake's find_package, after the installed
# tree was moved away from where it was installed. Runs it on a bundle.
# A C host also arms a speaking session with a bundle's borrowed teeth in one call.
#   example_host.sh BUILD_DIR SOURCE_DIR BUNDLE UTT_FIXTURES
set -euo pipefail
build=$1 src=$2 bundle=$3 utt=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/installed" >/dev/null
mv "$tmp/installed" "$tmp/moved"
prefix=$tmp/moved
if grep -rq "$tmp/installed" "$prefix/lib/pkgconfig"; then
  echo "FAIL: the pkg-config file names the install-time prefix"; exit 1
fi
# The library, its headers, pkg-config and the CMake package: no tools.
if [ -e "$prefix/bin" ]; then echo "FAIL: the install carries $(ls "$prefix/bin" | tr '\n' ' ')"; exit 1; fi
for h in ka/ka.h ka/ka_a2x.h ka/tessera/bank_decode.h ka/driver/movie_decoder_build.h ka/driver/image_io.h; do
  [ -f "$prefix/include/$h" ] || { echo "FAIL: $h is not installed"; exit 1; }
done

check_run() {  # check_run NAME EXE [picture]
  "$2" "$bundle" b1 "$tmp/$1.ppm" > "$tmp/$1.out" 2> "$tmp/$1.err"
  # The host routes the library's lines (FFmpeg's and ONNX Runtime's too): none may
  # reach standard error past it.
  if grep -v '^host: ' "$tmp/$1.err"; then echo "FAIL: $1: lines bypassed the log callback"; exit 1; fi
  grep -q '^rendered [1-9][0-9]* of [1-9][0-9]* frames' "$tmp/$1.out" || { cat "$tmp/$1.out"; echo "FAIL: $1"; exit 1; }
  if [ "${3:-}" = picture ]; then
    head -c 2 "$tmp/$1.ppm" | grep -q P6 || { echo "FAIL: $1 wrote no picture"; exit 1; }
  fi
  echo "ok: $1: $(tr '\n' ' ' < "$tmp/$1.out")"
}

# pkg-config, with a C compiler (the example is C).
cc -std=c11 -Wall -Wextra -Werror "$src/examples/host.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs ka_core) -o "$tmp/host_pc"
check_run pkg-config "$tmp/host_pc" picture
c++ -std=c++17 -Wall -Wextra -Werror "$src/examples/host.cpp" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs ka_core) -o "$tmp/host_cpp_pc"
check_run pkg-config-c++ "$tmp/host_cpp_pc"
grep -q '^decoders: bank libavcodec [0-9.]*, driver libavcodec ' "$tmp/pkg-config-c++.out" ||
  { echo "FAIL: the C++ host printed no decoder builds"; exit 1; }

# teeth_run NAME EXE: the C host attaches the teeth fixture's members and pulls frames
# through the pass; on a bundle without members it reports the refusal by name.
teeth_run() {
  # The teeth identity's motion members share motion-a2x's speech encoder.
  W2V_ONNX="$utt/motion-a2x/w2v/audio_encoder.onnx" "$2" "$utt/teeth" "$utt/motion-teeth" > "$tmp/$1.out" 2> "$tmp/$1.err" ||
    { cat "$tmp/$1.out" "$tmp/$1.err"; echo "FAIL: $1"; exit 1; }
  grep -q '^teeth attached (corpus geometry v1)$' "$tmp/$1.out" || { cat "$tmp/$1.out"; echo "FAIL: $1"; exit 1; }
  grep -q '^pulled 25 frames; teeth pass healthy$' "$tmp/$1.out" || { cat "$tmp/$1.out"; echo "FAIL: $1"; exit 1; }
  if W2V_ONNX="$utt/motion-a2x/w2v/audio_encoder.onnx" "$2" "$utt/bundle" "$utt/motion-a2x" > /dev/null 2> "$tmp/$1.err"; then
    echo "FAIL: $1 attached teeth to a bundle without members"; exit 1
  fi
  grep -q '^ka_utt_tessera_attach_bundle: missing teeth member(s): ' "$tmp/$1.err" ||
    { cat "$tmp/$1.err"; echo "FAIL: $1: no refusal"; exit 1; }
  echo "ok: $1: $(tr '\n' ' ' < "$tmp/$1.out")"
}
cc -std=c11 -Wall -Wextra -Werror "$src/examples/teeth_host.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs ka_core) -o "$tmp/teeth_host_pc"
teeth_run teeth-pkg-config "$tmp/teeth_host_pc"

# CMake find_package.
cmake -S "$src/examples" -B "$tmp/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
check_run find_package "$tmp/cmake-build/host" picture
check_run find_package-c++ "$tmp/cmake-build/host_cpp"
teeth_run teeth-find_package "$tmp/cmake-build/teeth_host"

# The README quotes the example as it is.
awk '/^```c$/{on=1; next} /^```$/{if (on) exit} on' "$src/README.md" > "$tmp/readme_host.c"
diff -u "$src/examples/host.c" "$tmp/readme_host.c" || { echo "FAIL: README's host differs from examples/host.c"; exit 1; }
echo "ok: README quotes examples/host.c"
