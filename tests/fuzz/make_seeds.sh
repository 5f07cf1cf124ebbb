#!/usr/bin/env bash
# Seed corpora for the fuzz targets, made from the project's own fixtures: a small
# identity bundle with a director network installed, its manifest (in the canonical and
# the legacy key spelling), an IMX container of its small members, and ONNX models.
#   make_seeds.sh OUT_DIR      (OUT_DIR/<target>/ receives the seeds)
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
py=/usr/bin/python3
bundle="$out/bundle"
$py "$here/tools/fixtures/make_identity_bundle.py" "$bundle" --nt 3 --crop 32 --frames 3 --width 32 --height 24 \
  --canonical
$py "$here/tools/fixtures/make_directors.py" "$bundle" --keys b1
$py "$here/tools/fixtures/make_smoke_onnx.py" "$out/smoke"
# A director shaped for the graph surgeries (cone, warp block, compose tail), at crop 32.
$py "$here/tools/fixtures/make_graph_directors.py" --bundle "$bundle" --keys g_cone
mkdir -p "$out/manifest_key" "$out/manifest" "$out/imx" "$out/onnx_codec" "$out/audio_file"

cp "$bundle/manifest.json" "$out/manifest/canonical.json"
sed -e 's/"NT"/"frame_count"/; s/"M_src_w"/"paste_source_width"/; s/"M_src_h"/"paste_source_height"/; s/"crop"/"crop_size"/' \
  "$bundle/manifest.json" > "$out/manifest/legacy.json"
printf '{"format": "ka-bundle-v0", "P_hevc": "P_hevc.mov", "tessera": {"W": 2, "sigma": [1, 2]}}\n' \
  > "$out/manifest/nested.json"
cp "$out/manifest/"*.json "$out/manifest_key/"

# A container of the bundle's small members (the director and the video stay out).
$py - "$bundle" "$out/imx/bundle.imx" <<'PY'
import os, struct, sys
src, dst = sys.argv[1], sys.argv[2]
names = sorted(os.path.relpath(os.path.join(d, f), src) for d, _, fs in os.walk(src) for f in fs
               if os.path.getsize(os.path.join(d, f)) <= 16384)
blobs = [open(os.path.join(src, n), "rb").read() for n in names]
toc = sum(2 + len(n.encode()) + 16 for n in names)
head, offset = b"IMX\0" + struct.pack("<HH", 2, len(names)), 8 + toc
for n, b in zip(names, blobs):
    head += struct.pack("<H", len(n.encode())) + n.encode() + struct.pack("<QQ", offset, len(b))
    offset += len(b)
open(dst, "wb").write(head + b"".join(blobs))
PY

cp "$bundle"/render_model.batch1.onnx "$out/onnx_codec/director_b1.onnx"
cp "$out/smoke/add_mul.onnx" "$out/onnx_codec/add_mul.onnx"

# Speech files: PCM WAV, FLAC, MP3, AAC in MP4 (an edit list stating where the sound
# ends), and ADTS AAC whose rate and layout change part way.
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
tone() { echo "sine=frequency=$1:sample_rate=$2:duration=$3"; }
ff -f lavfi -i "$(tone 300 16000 0.3)" -ac 1 "$out/audio_file/mono16k.wav"
ff -f lavfi -i "$(tone 440 44100 0.2)" -ac 2 -c:a flac "$out/audio_file/stereo44k.flac"
ff -f lavfi -i "$(tone 440 22050 0.3)" -ac 1 -c:a libmp3lame -b:a 32k "$out/audio_file/mono22k.mp3"
ff -f lavfi -i "$(tone 440 44100 0.2)" -ac 2 -c:a aac -b:a 32k -f adts "$out/audio_file/a.aac"
ff -f lavfi -i "$(tone 300 16000 0.2)" -ac 1 -c:a aac -b:a 16k -f adts "$out/audio_file/b.aac"
cat "$out/audio_file/a.aac" "$out/audio_file/b.aac" > "$out/audio_file/joined.aac"
ff -f lavfi -i "$(tone 440 44100 0.2)" -ac 2 -c:a aac -b:a 32k "$out/audio_file/stereo44k.m4a"

# The teeth readers: the first byte picks the reader (0 head checkpoint, 1 serving
# config, 2 bank sidecar with the manifest after a NUL).
mkdir -p "$out/tessera"
$py "$here/tools/fixtures/make_tessera_fixtures.py" heads "$out/heads" >/dev/null
$py "$here/tools/fixtures/make_tessera_fixtures.py" bundle "$bundle" --donors 4 >/dev/null
for f in blend_head blend_head8 nested tuples; do
  { printf '\0'; cat "$out/heads/$f.pt"; } > "$out/tessera/head_$f"
done
{ printf '\1'; cat "$out/heads/head.json"; } > "$out/tessera/config"
{ printf '\2'; cat "$bundle/tessera_bank.v1.json"; printf '\0'; cat "$bundle/manifest.json"; } > "$out/tessera/sidecar"
{ printf '\3'; cat "$bundle/lip_template.v1.json"; } > "$out/tessera/lip_template"

cp "$bundle/model_g_cone.onnx" "$out/onnx_codec/director_surgeries.onnx"

# The live page's messages: one of each kind, and a few near misses.
mkdir -p "$out/client_message"
printf '%s' '{"type":"say","text":"Hello there, caf\u00e9 \ud83d\ude00"}' > "$out/client_message/say"
printf '%s' '{"type":"talk","on":true}' > "$out/client_message/talk"
printf '%s' '{"type":"end"}' > "$out/client_message/end"
printf '%s' ' { "type" : "stop", "n": -1.5e3, "x": null, "b": false } ' > "$out/client_message/stop"
printf '%s' '{"type":"say","text":"a\"b\\c\n"}' > "$out/client_message/escapes"
