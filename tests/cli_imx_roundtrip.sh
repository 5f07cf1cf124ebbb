#!/usr/bin/env bash
# ka imx pack, then ka bundle resolve on the container: the unwrapped directory must be
# byte-identical to the source bundle. Also checks the tool's failure paths.
set -euo pipefail
ka=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset KA_IMX_UNWRAP_ROOT

src="$work/src"
mkdir -p "$src/drive" "$src/target_frames"
cat > "$src/manifest.json" <<'JSON'
{"format": "ka-bundle-v0", "agent": "cli", "NT": 4, "H": 8, "W": 8, "crop": 4,
 "amount": 1, "sigma": 1, "ksize": 3, "frames": 2, "M_src_w": 8, "M_src_h": 8}
JSON
head -c 4096 /dev/urandom > "$src/paste_transform.f32"
head -c 100 /dev/urandom > "$src/drive/xs.f32"
head -c 9000000 /dev/urandom > "$src/target_frames/big.bin"   # more than one copy buffer
: > "$src/empty"

"$ka" imx pack "$src" "$work/id.imx"
dir=$("$ka" bundle resolve "$work/id.imx")
[ "$dir" = "$work/id.kabundle" ] || { echo "resolved to $dir"; exit 1; }
diff -r "$src" "$dir"
[ "$("$ka" bundle member "$work/id.imx" M.f32)" = "$dir/paste_transform.f32" ]
# check reads the manifest first, then refuses the member-less bundle by name.
if "$ka" bundle check "$work/id.imx" >"$work/out" 2>"$work/err"; then echo "check of a member-less bundle passed"; exit 1; fi
grep -q '^NT           4$' "$work/out"
grep -q 'this bundle carries neither P.f16 nor fs_red.f16' "$work/err"
"$ka" imx unwrap "$work/id.imx" >/dev/null

# Failures: non-zero exit and the library's message.
if "$ka" bundle member "$src" P.f16 2>"$work/err"; then echo "missing member succeeded"; exit 1; fi
grep -q 'not in the bundle' "$work/err"
if "$ka" bundle check "$work/nothing" 2>"$work/err"; then echo "check of nothing succeeded"; exit 1; fi
grep -q "ka: cannot open $work/nothing/manifest.json" "$work/err"
if "$ka" frobnicate 2>/dev/null; then exit 1; fi
echo "cli round trip ok"
