#!/usr/bin/env bash
# ka speak on the session fixtures: the movie carries H.264 video and the speech as an
# AAC track of one 640-sample piece per frame; speech frames sit between idle lead-in
# and the ramp and idle tail. Also --help and a usage error, and a paced run that finds
# the speech encoder through --encoder alone and reports what a live host sees.
set -euo pipefail
ka=$1
fx=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$ka" speak --help | grep -q "^usage: ka speak BUNDLE --motion DIR AUDIO"
if "$ka" speak "$fx/bundle" "$work/none.wav" 2>/dev/null; then
  echo "missing --motion/--out was accepted"; exit 1
fi

# 1.2 s of a swelling tone stands in for speech.
ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=220:sample_rate=22050:duration=1.2" \
  -af "volume=0.4" -ac 1 "$work/speech.wav"
"$ka" speak "$fx/bundle" --motion "$fx/motion-a2x" "$work/speech.wav" --out "$work/out.mp4" \
  --model b1 --telemetry-file "$work/tel.json" > "$work/log.txt" 2>/dev/null
cat "$work/log.txt"
grep -q ", 30 speech frames, 1 utterances" "$work/log.txt"
# The run's telemetry, in its file and not in the report: one bundle opened, one
# utterance of 30 speech frames, not interrupted.
! grep -q "telemetry" "$work/log.txt" || { echo "telemetry in standard output"; exit 1; }
/usr/bin/python3 -c '
import json, sys
m = {x["name"]: x for x in json.load(open(sys.argv[1]))["metrics"]}
assert m["ka.bundle_open_ms"]["count"] == 1, m
assert m["utt.speech_frames"]["count"] == 1 and m["utt.speech_frames"]["sum"] == 30, m
assert m["utt.interrupted"]["count"] == 1 and m["utt.interrupted"]["sum"] == 0, m
assert m["utt.first_frame_ms"]["count"] == 1, m' "$work/tel.json"

# Interrupted: the utterance counts the speech frames pulled, not those the interruption
# dropped unread, and says it was interrupted; --telemetry writes to standard error.
"$ka" speak "$fx/bundle" --motion "$fx/motion-a2x" "$work/speech.wav" --out "$work/cut.mp4" \
  --model b1 --interrupt-at 0.4 --telemetry > "$work/cut.txt" 2> "$work/cut.err"
! grep -q "telemetry" "$work/cut.txt" || { echo "telemetry in standard output"; exit 1; }
pulled=$(sed -n 's/^interrupted after \([0-9]*\) speech frames$/\1/p' "$work/cut.txt")
grep -q ", $pulled speech frames, 1 utterances" "$work/cut.txt" || { cat "$work/cut.txt"; exit 1; }
sed -n 's/^telemetry: //p' "$work/cut.err" | /usr/bin/python3 -c '
import json, sys
m = {x["name"]: x for x in json.load(sys.stdin)["metrics"]}
assert m["utt.speech_frames"]["count"] == 1 and m["utt.speech_frames"]["sum"] == int(sys.argv[1]), m
assert m["utt.interrupted"]["count"] == 1 and m["utt.interrupted"]["sum"] == 1, m' "$pulled"

streams=$(ffprobe -hide_banner -loglevel error -show_entries stream=codec_name -of csv=p=0 "$work/out.mp4" | tr '\n' ' ')
[ "$streams" = "h264 aac " ] || { echo "streams: $streams"; exit 1; }
frames=$(ffprobe -hide_banner -loglevel error -count_frames -select_streams v:0 \
  -show_entries stream=nb_read_frames -of csv=p=0 "$work/out.mp4")
samples=$(sed -n 's/.* with \([0-9]*\) audio samples/\1/p' "$work/log.txt")
[ "$samples" -eq $((frames * 640)) ] || { echo "frames $frames, audio samples $samples"; exit 1; }
# lead-in (12) + speech (30) + ramp (6) + a second of idle (25), at least
[ "$frames" -ge 73 ] || { echo "only $frames frames"; exit 1; }

# A run that fails leaves no movie behind, nor a temporary beside it: a WAV without a
# single sample gives a session of idle frames only, which is no answer to the request.
ffmpeg -hide_banner -loglevel error -f lavfi -i "anullsrc=r=16000:cl=mono" -t 0 "$work/empty.wav"
if "$ka" speak "$fx/bundle" --motion "$fx/motion-a2x" "$work/empty.wav" --out "$work/empty.mp4" --model b1 \
  > /dev/null 2> "$work/err.txt"; then
  echo "speak on empty.wav succeeded"; exit 1
fi
grep -q "^ka: speak: the session delivered no speech frame" "$work/err.txt" || { cat "$work/err.txt"; exit 1; }
[ ! -e "$work/empty.mp4" ] || { echo "a failed run left empty.mp4"; exit 1; }
left=$(ls "$work" | grep -v -E '^(speech.wav|out.mp4|log.txt|err.txt|empty.wav|tel.json|cut.mp4|cut.txt|cut.err)$' || true)
[ -z "$left" ] || { echo "left behind: $left"; exit 1; }
echo "ok: $frames frames, $samples audio samples"

# ka serve without the streaming engine's speech encoder says how to give it.
if env -u W2V_ONNX timeout 60 "$ka" serve "$fx/bundle" --motion "$fx/motion-a2x" --port 0 \
  > /dev/null 2> "$work/err.txt"; then
  echo "ka serve without a speech encoder succeeded"; exit 1
fi
grep -q "W2V_ONNX not set (.*give --encoder W2V" "$work/err.txt" || { cat "$work/err.txt"; exit 1; }

env -u W2V_ONNX "$ka" speak "$fx/bundle" --motion "$fx/motion-a2x" "$work/speech.wav" --out "$work/live.mp4" \
  --model b1 --realtime --idle-lead 2 --encoder "$fx/motion-a2x/w2v/audio_encoder.onnx" > "$work/live.txt" 2>/dev/null
grep "^live: " "$work/live.txt"
grep -q "^live: first push -> first speech frame pulled [0-9]* ms, longest gap between frames [0-9]* ms" "$work/live.txt"
grep -q ", 30 speech frames, 1 utterances" "$work/live.txt"
