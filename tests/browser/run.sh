#!/usr/bin/env bash
# Runs the live page's browser test (or, with --bench SECONDS, its benchmark) in the
# system's Chromium. Installs the test's one npm package into tests/browser/node_modules
# when it is missing or of another version; a second run installs nothing.
#   tests/browser/run.sh --ka KA --bundle DIR --motion DIR --speech WAV [--teeth]
#                        [--encoder W2V] [--idle-lead N] [--artifacts DIR] [--bench SECONDS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
want=$(node -p "require('$here/package.json').dependencies['playwright-core']")
have=$(node -p "try { require('$here/node_modules/playwright-core/package.json').version } catch (e) { '' }")
if [ "$have" != "$want" ]; then
  echo "[browser] installing playwright-core $want into $here/node_modules" >&2
  (cd "$here" && npm install --no-audit --no-fund --loglevel=error >&2)
fi
[ -x /usr/bin/chromium ] || { echo "[browser] /usr/bin/chromium is missing: run tools/bootstrap.sh" >&2; exit 1; }
exec node "$here/live.mjs" "$@"
