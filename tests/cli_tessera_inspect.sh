#!/usr/bin/env bash
# ka tessera inspect on the fixture bundle: every section printed, the corpus geometry
# identified from the keypoints; on a bundle missing a member, the refusal and exit 1.
set -euo pipefail
ka=$1
fx=$2
out=$("$ka" tessera inspect "$fx/bundle" --motion "$fx/motion")
echo "$out"
for want in "complete yes" "donors   24" "pix_fmt yuv444p" "BlendHead(16), 4082 parameters" \
            "kshort=256" "stamp    {canvas_w=256" "pi mode=prop" "corpus   v1" "LIP CONTOUR: 16 vertices"; do
  grep -qF "$want" <<<"$out" || { echo "missing: $want"; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$fx/bundle/manifest.json" "$fx/bundle/tessera_bank.v1.json" "$fx/bundle/tessera_head.v1.pt" "$tmp/"
if out=$("$ka" tessera inspect "$tmp"); then echo "inspect passed a bundle without two members"; exit 1; fi
grep -qF "REFUSED: missing teeth member(s): bank_track (tessera_bank.v1.mp4), head_config (tessera_head.v1.json) — carries 2 of 4" <<<"$out"
