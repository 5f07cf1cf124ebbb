#!/usr/bin/env bash
# The main job, from a fresh clone: installs what is missing, builds the library and the
# ka tool, makes the demo identity bundle (a drawn face in a 640x360 driver video, 50
# frames), installs a batch-1 director network into it, and walks it through the tool
# the way a host developer would: check it, pack it into a container, open the
# container, then render the idle loop from the container (each frame's face rendered
# by the director and pasted into its driver frame) into demo.mp4, and one frame into
# demo.png.
# Output goes to demo-out/ (or DEMO_OUT).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$here/build}
out=${DEMO_OUT:-$here/demo-out}
"$here/tools/bootstrap.sh" "$build"
cmake -S "$here" -B "$build" -G Ninja -DKA_ORT_ROOT="$build/deps/onnxruntime" >/dev/null
cmake --build "$build" --target ka
ka="$build/tools/ka"

mkdir -p "$out"
/usr/bin/python3 "$here/tools/fixtures/make_identity_bundle.py" "$out/demo" --canonical --prior hevc \
  --width 640 --height 360 --crop 256 --nt 50 --frames 50
echo "== installing the batch-1 director (model key b1) into $out/demo"
/usr/bin/python3 "$here/tools/fixtures/make_directors.py" "$out/demo" --keys b1
echo "== ka bundle check $out/demo"
"$ka" bundle check "$out/demo"
echo "== ka imx pack $out/demo $out/demo.imx"
rm -rf "$out/demo.kabundle" "$out/demo.kabundle.imx_unwrapped"
"$ka" imx pack "$out/demo" "$out/demo.imx"
echo "== ka bundle resolve $out/demo.imx"
"$ka" bundle resolve "$out/demo.imx"
echo "== ka bundle member $out/demo.imx M.f32 (the bundle carries the canonical name)"
"$ka" bundle member "$out/demo.imx" M.f32
diff -r "$out/demo" "$out/demo.kabundle" && echo "== unwrapped container is byte-identical to the bundle"
echo "== ka render $out/demo.imx --all --out $out/demo.mp4 --png $out/demo.png --model b1"
"$ka" render "$out/demo.imx" --all --out "$out/demo.mp4" --png "$out/demo.png" --model b1
echo "== done: $out/demo.mp4 (the idle loop, rendered and pasted) and $out/demo.png (its first frame)"
