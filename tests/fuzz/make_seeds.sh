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
  --canonical --prior both --driver both
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

# The teeth JSON reader, the checkpoint's zip and its pickle on their own.
mkdir -p "$out/tessera_json" "$out/stored_zip" "$out/pickle"
cp "$bundle/tessera_bank.v1.json" "$out/tessera_json/sidecar.json"
cp "$bundle/lip_template.v1.json" "$out/tessera_json/lip_template.json"
cp "$out/heads/head.json" "$out/tessera_json/head.json"
cp "$bundle/manifest.json" "$out/tessera_json/manifest.json"
for f in blend_head blend_head8 nested tuples; do
  cp "$out/heads/$f.pt" "$out/stored_zip/$f.pt"
  $py - "$out/heads/$f.pt" "$out/pickle/$f.pkl" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    name = next(n for n in z.namelist() if n.endswith("/data.pkl"))
    open(sys.argv[2], "wb").write(z.read(name))
PY
done

# Media headed by four bytes that state what the sidecar or manifest would (see each
# target): the bytes are each value less one.
head4() { printf "\\$(printf '%03o' "$1")\\$(printf '%03o' $(($2 - 1)))\\$(printf '%03o' $(($3 - 1)))\\$(printf '%03o' $(($4 - 1)))"; }
probe() {  # probe FILE -> "frames width height"
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames,width,height \
    -of default=nw=1:nk=1 "$1" | awk 'NR==1{w=$1} NR==2{h=$1} NR==3{n=$1} END{print n, w, h}'
}
with_head() {  # with_head FLAGS FILE OUT
  read -r n w h < <(probe "$2")
  { head4 "$1" "$n" "$w" "$h"; cat "$2"; } > "$3"
}
# Donor bank tracks: the fixture bundle's 4:4:4 bank, and seven lossless RGB frames,
# each also remuxed as matroska (flag bit 0 set: the mp4 family; bit 1: reversed order).
mkdir -p "$out/bank_decode" "$out/driver_movie" "$out/m4b_model" "$out/motion_meta"
ff -f lavfi -i testsrc=size=30x18:rate=25 -frames:v 7 -c:v libx264rgb -qp 0 -preset veryfast "$out/patches.mp4"
for t in "$bundle/tessera_bank.v1.mp4" "$out/patches.mp4"; do
  b=$(basename "$t" .mp4)
  ff -i "$t" -c copy "$out/$b.mkv"
  with_head 1 "$t" "$out/bank_decode/$b.mp4"
  with_head 2 "$out/$b.mkv" "$out/bank_decode/$b.mkv"
done
# The driver video (4:2:0 H.264, also as matroska) and the 4:4:4 warp prior (flag bit 0).
ff -i "$bundle/target_frames.mp4" -c copy "$out/driver.mkv"
with_head 0 "$bundle/target_frames.mp4" "$out/driver_movie/driver.mp4"
with_head 2 "$out/driver.mkv" "$out/driver_movie/driver.mkv"
with_head 1 "$bundle/P_hevc.mov" "$out/driver_movie/prior.mov"
# JPEG driver frames behind two bytes of width and height less one.
mkdir -p "$out/driver_jpeg"
for f in "$bundle"/target_frames/frame_*.jpg; do
  { head4 0 1 32 24 | tail -c 2; cat "$f"; } > "$out/driver_jpeg/$(basename "$f")"
done

# The engine's initializer reader takes any ONNX model; meta.json as the motion fixture
# writes it, with and without its optional key.
cp "$out/onnx_codec/"*.onnx "$out/m4b_model/"
printf '{\n  "nt": 24,\n  "n_src": 24,\n  "n_emo": 4,\n  "s_bridge": 0.9,\n  "delta_pitch": 2.0\n}\n' \
  > "$out/motion_meta/meta.json"
printf '{"nt": 3, "n_src": 3, "n_emo": 1, "s_bridge": -1e-3}' > "$out/motion_meta/bare.json"
