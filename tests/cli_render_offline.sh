#!/usr/bin/env bash
# ka render-offline on the offline clip fixtures: the movie carries H.264 video with one
# frame per 640 samples of speech (less the dropped ones) and the speech as an AAC track,
# and the progress bar reaches the total. ka speak makes a playable movie from the same
# bundle and speech. Also --help and usage errors.
set -euo pipefail
ka=$1
fx=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
enc="$fx/w2v/audio_encoder.onnx"

"$ka" render-offline --help | grep -q "^usage: ka render-offline BUNDLE --encoder W2V AUDIO --out OUT.mp4"
for bad in "--drop -1" "--gain nan" ""; do
  # shellcheck disable=SC2086
  if "$ka" render-offline "$fx/bundle" --encoder "$enc" "$fx/clips/speech.wav" $bad 2>/dev/null; then
    echo "accepted: render-offline ... $bad (no --out or a bad value)"; exit 1
  fi
done

"$ka" render-offline "$fx/bundle" --encoder "$enc" "$fx/clips/speech.wav" --out "$work/offline.mp4" --drop 2 \
  > "$work/log.txt" 2> "$work/err.txt"
cat "$work/log.txt"
samples=$(sed -n 's/.*(\([0-9]*\) samples at 16 kHz)/\1/p' "$work/log.txt")
want=$(( (samples + 639) / 640 - 2 ))
tr '\r' '\n' < "$work/err.txt" | grep -q "\] $want/$want frames .* fps .* s left" || {
  echo "no finished progress bar for $want frames"; cat "$work/err.txt"; exit 1; }

probe() {
  ffprobe -hide_banner -loglevel error "$@"
}
check_movie() {
  local movie=$1
  streams=$(probe -show_entries stream=codec_name -of csv=p=0 "$movie" | tr '\n' ' ')
  [ "$streams" = "h264 aac " ] || { echo "$movie streams: $streams" >&2; exit 1; }
  probe -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$movie"
}
frames=$(check_movie "$work/offline.mp4")
[ "$frames" -eq "$want" ] || { echo "offline: $frames frames, expected $want"; exit 1; }
muxed=$(sed -n 's/.* with \([0-9]*\) audio samples.*/\1/p' "$work/log.txt")
[ "$muxed" -eq $((want * 640)) ] || { echo "offline: $muxed audio samples for $want frames"; exit 1; }

W2V_ONNX="$enc" "$ka" speak "$fx/bundle" --motion "$fx/motion-a2x" "$fx/clips/speech.wav" --out "$work/live.mp4" \
  --model render > "$work/live.txt" 2> "$work/live_err.txt" || {
  echo "ka speak failed:"; cat "$work/live.txt" "$work/live_err.txt"; exit 1; }
live=$(check_movie "$work/live.mp4")
[ "$live" -ge "$want" ] || { echo "live: only $live frames"; exit 1; }
echo "ok: offline $frames frames, live $live frames"
