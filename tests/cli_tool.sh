#!/usr/bin/env bash
# The ka tool as a person meets it: help and version on standard output, refusals that
# name the file and the valid range, checks that mean what they say.
#   cli_tool.sh KA BUNDLE   (BUNDLE: a fixture bundle with driver video and director b1)
set -euo pipefail
ka=$1 fixture=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset KA_IMX_UNWRAP_ROOT KA_LOG_LEVEL
failures=0
bad() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_ok "ARGS" PATTERN [noisy]: exit 0, PATTERN on standard output, nothing on
# standard error unless the command opens the driver video (which logs).
expect_ok() {
  local args=$1 pattern=$2 noisy=${3:-}
  if ! $ka $args >"$work/out" 2>"$work/err"; then bad "ka $args exited non-zero: $(cat "$work/err")"; return; fi
  grep -q -- "$pattern" "$work/out" || bad "ka $args: no '$pattern' on standard output"
  [ -n "$noisy" ] || [ ! -s "$work/err" ] || bad "ka $args wrote to standard error: $(head -n 3 "$work/err")"
}
# expect_fail "ARGS" TEXT...: non-zero exit, each TEXT on standard error.
expect_fail() {
  local args=$1; shift
  if $ka $args >"$work/out" 2>"$work/err"; then bad "ka $args succeeded"; return; fi
  for t in "$@"; do grep -qF -- "$t" "$work/err" || bad "ka $args: no '$t' in: $(cat "$work/err")"; done
}

# Help and version.
version=$($ka version)
expect_ok "help" "usage: ka"
expect_ok "--help" "usage: ka"
expect_ok "--version" "^$version\$"
for cmd in bundle imx onnx render; do
  expect_ok "$cmd --help" "usage: ka $cmd"
  expect_ok "help $cmd" "usage: ka $cmd"
done
expect_ok "bundle check --help" "usage: ka bundle"
expect_ok "render $fixture --row 0 --help" "usage: ka render"
expect_fail "frobnicate" "unknown command"

# Help and usage errors as a table: exit code, the stream the text goes to (a successful
# help writes nothing to standard error), the arguments (@W the work directory, @B the
# bundle) and the text. A usage error says what was wrong before the usage.
ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=220:sample_rate=16000:duration=0.2" \
  -ac 1 "$work/s.wav"
mkdir -p "$work/nomotion"
head -c 30 "$work/s.wav" > "$work/cut.wav"
echo "not speech" > "$work/text.wav"
while IFS='~' read -r code stream args text; do
  [ -n "$code" ] || continue
  args=${args//@W/$work} args=${args//@B/$fixture} text=${text//@W/$work}
  set +e; $ka $args >"$work/out" 2>"$work/err"; rc=$?; set -e
  [ "$rc" = "$code" ] || bad "ka $args exited $rc, not $code: $(head -n 2 "$work/err")"
  grep -qF -- "$text" "$work/$stream" || bad "ka $args: no '$text' on standard $stream: $(head -n 2 "$work/$stream")"
  [ "$code" != 0 ] || [ ! -s "$work/err" ] || bad "ka $args wrote to standard error: $(head -n 2 "$work/err")"
done <<'TABLE'
0~out~tessera --help~usage: ka tessera inspect BUNDLE
0~out~tessera inspect --help~usage: ka tessera inspect BUNDLE
0~out~help tessera~usage: ka tessera inspect BUNDLE
0~out~help tessera run~usage: ka tessera run BUNDLE
0~out~help --help~usage: ka <command>
0~out~help~ka tessera run BUNDLE VIDEO
0~out~help~[--teeth]
0~out~help speak~[--teeth]
2~err~tessera~usage: ka tessera inspect BUNDLE
2~err~tessera inspect @B --bogus~usage: ka tessera inspect BUNDLE
2~err~speak @B @W/s.wav --motion @W --out @W/o.mp4 --bogus~ka speak: unknown option '--bogus'
2~err~speak @B @W/s.wav --motion @W --out @W/o.mp4 --interrupt-at -1~ka speak: --interrupt-at needs a number of seconds >= 0, not '-1'
2~err~speak @B @W/s.wav --motion @W~ka speak: --out OUT.mp4 is required
2~err~speak @B @W/s.wav --out @W/o.mp4~ka speak: --motion DIR is required
2~err~speak @B --motion @W --out @W/o.mp4~ka speak: needs BUNDLE and AUDIO, got 1 argument(s)
2~err~speak @B @W/s.wav --motion @W --out~ka speak: --out needs a value
1~err~speak @B @W/s.wav --motion @W/nomotion --out @W/o.mp4~it holds no @W/nomotion/a2x_enc_stream.onnx, the encoder of the streaming
1~err~speak @B @W/text.wav --motion @W --out @W/o.mp4~ka: readAudio16k: @W/text.wav is in no audio or video format FFmpeg reads
1~err~a2x @W @W/cut.wav~ka: readAudio16k: @W/cut.wav is truncated: it ends inside its WAV header, at byte 30
0~out~help serve~usage: ka serve BUNDLE --motion DIR
0~out~help~ka serve BUNDLE --motion DIR
2~err~serve @B --motion @W --bogus~ka serve: unknown option '--bogus'
2~err~serve @B~ka serve: --motion DIR is required
2~err~serve --motion @W~ka serve: needs BUNDLE
2~err~serve @B --motion @W --port 70000~ka serve: --port needs a number from 0 to 65535, not '70000'
2~err~serve @B --motion @W --idle-lead 9~ka serve: --idle-lead needs a whole number of frames from 1 to 8, not '9'
2~err~serve @B --motion @W --allowed-host~ka serve: --allowed-host needs a value
1~err~serve @B --motion @W/nomotion --host localhost~ka: serve: 'localhost' is not an IP address
1~err~serve @B --motion @W --page @W/nopage~the page folder @W/nopage does not exist
TABLE

# ka serve takes its address before it loads anything: a port in use is told at once,
# not after a load (here one that would fail on the empty motion folder).
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True); time.sleep(60)' > "$work/port" &
holder=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
busy=$(cat "$work/port")
expect_fail "serve $fixture --motion $work/nomotion --port $busy" "ka: serve: cannot listen on 127.0.0.1:$busy"
grep -q "nomotion" "$work/err" && bad "ka serve loaded the session before taking its port: $(cat "$work/err")"
kill "$holder"

# A path that names nothing is no bundle.
expect_fail "bundle resolve $work/nothing" "$work/nothing"

# Packing: a directory without a manifest is refused; unwrap markers stay out.
mkdir -p "$work/empty"
expect_fail "imx pack $work/empty $work/empty.imx" "$work/empty" "manifest.json"
[ ! -e "$work/empty.imx" ] || bad "a container was written from a directory without a manifest"
cp -r "$fixture" "$work/b"
echo "imx-unwrapped.v2 x.imx 1 2 3" > "$work/b/old.kabundle.imx_unwrapped"
$ka imx pack "$work/b" "$work/b.imx" 2>/dev/null
unwrapped=$($ka imx unwrap "$work/b.imx" 2>/dev/null)
[ ! -e "$unwrapped/old.kabundle.imx_unwrapped" ] || bad "the container carries an unwrap marker"
rm "$work/b/old.kabundle.imx_unwrapped"
# The fixture bundle carries only the bundle: its generators' stamps and reference data
# live beside it.
[ -z "$(ls -A "$fixture" | grep '^\.')" ] || bad "the fixture bundle holds $(ls -A "$fixture" | grep '^\.' | tr '\n' ' ')"

# check opens what ka_create opens: "ok" for the good bundle, a refusal naming the
# driver video for one with the wrong frame count or size.
expect_ok "bundle check $work/b" "^ok$" noisy
nt=$(sed -n 's/.*"NT": *\([0-9]*\).*/\1/p' "$work/b/manifest.json")
for damage in "-frames:v 3" "-vf scale=64:48"; do
  ffmpeg -hide_banner -loglevel error -y -i "$fixture/target_frames.mp4" $damage -c:v libx264 \
    -pix_fmt yuv420p "$work/b/target_frames.mp4"
  expect_fail "bundle check $work/b" "target_frames.mp4"
  grep -q '^ok$' "$work/out" && bad "check printed ok for a driver with $damage"
done
cp "$fixture/target_frames.mp4" "$work/b/target_frames.mp4"

# Index refusals name the bundle and the valid range.
rows=$(sed -n 's/.*"frames": *\([0-9]*\).*/\1/p' "$work/b/manifest.json")
expect_fail "render $work/b --row $rows --out $work/r.png" "$work/b" "--row $rows" "$rows rows (0..$((rows - 1)))"
expect_fail "render $work/b --row x" "--row needs a row number"
head -c 504 /dev/zero > "$work/kp.f32"
expect_fail "render $work/b --si $nt --kp $work/kp.f32 --out $work/r.png" "--si $nt" "$nt frames (0..$((nt - 1)))"
expect_fail "render $work/b --si 0 --kp $work/missing.f32 --out $work/r.png" "$work/missing.f32"

# A render that fails part way leaves none of its outputs, nor temporaries.
expect_fail "render $work/b --all --out $work/all.mp4 --png $work/no/dir/f.png" "$work/no/dir/f.png"
expect_fail "render $work/b --row 0 --out $work/no/dir/r.png" "$work/no/dir/r.png"
[ -z "$(ls "$work" | grep -E '^all\.mp4|\.tmp$|\.part$')" ] || bad "a failed render left $(ls "$work" | tr '\n' ' ')"

# The log level: a successful check is silent at KA_LOG_LEVEL=off and not by default.
KA_LOG_LEVEL=off $ka bundle check "$work/b" >/dev/null 2>"$work/err"
[ ! -s "$work/err" ] || bad "KA_LOG_LEVEL=off still printed: $(head -n 3 "$work/err")"
$ka bundle check "$work/b" >/dev/null 2>"$work/err"
grep -q '^\[ka-driver\] ' "$work/err" || bad "no [ka-driver] line by default"

echo "$((failures == 0 ? 1 : 0)) passed, $failures failed"
[ "$failures" = 0 ]
