#!/usr/bin/env bash
# Installs the browser test's npm packages (tests/browser/node_modules) from
# its lock file with npm ci. Quiet and quick when they are already up to date;
# does nothing where npm is missing. No browser is downloaded: the test drives
# the system's Chromium.
set -euo pipefail
dir="$(cd "$(dirname "$0")/../tests/browser" && pwd)"
if ! command -v npm >/dev/null; then
  echo "setup-browser-test: npm missing, the browser test is left out" >&2
  exit 0
fi
stamp="$dir/node_modules/.installed-from"
want="$(cat "$dir/package.json" "$dir/package-lock.json" | sha256sum | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && [ -d "$dir/node_modules/playwright-core" ]; then
  exit 0
fi
cd "$dir"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null
echo "$want" >"$stamp"
