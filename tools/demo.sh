#!/usr/bin/env bash
# The main job, from a fresh clone: installs what is missing, builds the library and the
# ka tool, makes the demo identity bundle (a drawn face in a 640x360 driver video, 50
# frames) with its teeth members (donor bank, blend head, lip template), its directors
# (batch 1, and batch 24 as the session's chunk renderer) and its audio-to-motion
# directory, synthesises a sentence, and makes the face speak it through a real
# utterance session into demo-out/speak.mp4 (idle video, the face
# speaking with the lips following the audio and teeth borrowed from the donor bank,
# the ramp back, idle; the speech is the movie's audio track), and renders the same sentence offline in one call into
# demo-out/offline.mp4. Then, as before, walks the bundle through the tool the way a
# host developer would (check, pack into a container, open it) and renders the idle
# loop from the container into demo.mp4 and one frame into demo.png.
# Output goes to demo-out/ (or DEMO_OUT).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$here/build}
out=${DEMO_OUT:-$here/demo-out}
py=/usr/bin/python3
"$here/tools/bootstrap.sh" "$build"
cmake -S "$here" -B "$build" -G Ninja -DKA_ORT_ROOT="$build/deps/onnxruntime" >/dev/null
cmake --build "$build"
ka="$build/tools/ka"

mkdir -p "$out"
bash "$here/tools/fixtures/make_demo_fixtures.sh" "$out"
export W2V_ONNX="$out/motion-a2x/w2v/audio_encoder.onnx"

echo "== synthesising a sentence into $out/speech.wav"
espeak-ng -w "$out/speech.raw.wav" "Hello. I am a drawn face, and my lips follow what I say."
ffmpeg -hide_banner -loglevel error -y -i "$out/speech.raw.wav" -ar 16000 -ac 1 -c:a pcm_s16le "$out/speech.wav"
rm -f "$out/speech.raw.wav"
echo "== ka speak $out/demo --motion $out/motion-a2x $out/speech.wav --out $out/speak.mp4 --teeth"
"$ka" speak "$out/demo" --motion "$out/motion-a2x" "$out/speech.wav" --out "$out/speak.mp4" --teeth
echo "== installing the offline delta network (fca_stream.onnx, xs_target.bin, model key render) into $out/demo"
$py "$here/tools/fixtures/make_fca_fixtures.py" "$out/demo" --w2v-dir "$out/motion-a2x/w2v"
echo "== ka render-offline $out/demo --encoder $W2V_ONNX $out/speech.wav --out $out/offline.mp4"
"$ka" render-offline "$out/demo" --encoder "$W2V_ONNX" "$out/speech.wav" --out "$out/offline.mp4"

echo "== ka tessera inspect $out/demo --motion $out/motion-a2x"
"$ka" tessera inspect "$out/demo" --motion "$out/motion-a2x"
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
echo "== done: $out/speak.mp4 (the face speaking with borrowed teeth, with its audio), $out/offline.mp4 (the same sentence rendered offline in one call), $out/demo.mp4 (the idle loop, rendered and pasted) and $out/demo.png (its first frame)"
