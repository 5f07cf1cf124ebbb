#!/usr/bin/env bash
# ka speak --teeth on the session fixtures' teeth identity: the members are opened and
# the bank decoded as a host would, the pass is attached, and every face of the
# utterance is borrowed with none refused. Then ka tessera run over a short video of
# canvas-sized frames, with its per-frame lines, the strip and the window PNGs.
set -euo pipefail
ka=$1
fx=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=220:sample_rate=16000:duration=1.2" \
  -af "volume=0.4" -ac 1 "$work/speech.wav"
"$ka" speak "$fx/teeth" --motion "$fx/motion-teeth" "$work/speech.wav" --out "$work/out.mp4" --teeth \
  > "$work/log.txt" 2>/dev/null
cat "$work/log.txt"
grep -q "^teeth: attached (corpus geometry v1; bank decoded with libavcodec " "$work/log.txt"
grep -q ", 30 speech frames, 1 utterances" "$work/log.txt"
borrowed=$(sed -n 's/^teeth: \([0-9]*\) borrowed, 0 refused$/\1/p' "$work/log.txt")
# 30 speech frames and the 6 ramp frames all pass through the pass.
[ "${borrowed:-0}" -eq 36 ] || { echo "borrowed: '${borrowed}'"; exit 1; }
grep -q "^teeth: synthesis weight mean .* over 36 frames$" "$work/log.txt"

# Without the members the attach refuses and the command fails with the reason.
if "$ka" speak "$fx/bundle" --motion "$fx/motion-a2x" "$work/speech.wav" --out "$work/x.mp4" --teeth \
  > /dev/null 2> "$work/err.txt"; then
  echo "--teeth on a bundle without teeth members was accepted"; exit 1
fi
grep -q "^ka: " "$work/err.txt"

"$ka" tessera run --help | grep -q "^usage: ka tessera run BUNDLE VIDEO|FRAMES_DIR"
ffmpeg -hide_banner -loglevel error -f lavfi -i "testsrc=size=128x128:rate=25:duration=0.2" \
  -pix_fmt yuv420p "$work/crops.mp4"
"$ka" tessera run "$fx/teeth" "$work/crops.mp4" --count 5 --motion "$fx/motion-teeth" \
  --strip "$work/strip.png" --out "$work/windows" > "$work/run.txt" 2>/dev/null
cat "$work/run.txt"
grep -q "^tessera run: 5 frames, 5 borrowed, 0 skipped (corpus geometry v1, window 48x32)$" "$work/run.txt"
[ "$(ls "$work/windows" | wc -l)" -eq 10 ]
size=$(ffprobe -hide_banner -loglevel error -show_entries stream=width,height -of csv=p=0 "$work/strip.png")
[ "$size" = "240,64" ] || { echo "strip is $size"; exit 1; }
# A run that fails part way (the strip cannot be written) leaves none of its outputs.
if "$ka" tessera run "$fx/teeth" "$work/crops.mp4" --count 5 --motion "$fx/motion-teeth" \
  --out "$work/windows2" --strip "$work/no/such/dir/strip.png" > /dev/null 2>&1; then
  echo "tessera run with an unwritable strip succeeded"; exit 1
fi
[ -z "$(ls -A "$work/windows2" 2>/dev/null)" ] || { echo "a failed run left $(ls "$work/windows2" | head -3)"; exit 1; }
echo "ok: $borrowed faces borrowed"
