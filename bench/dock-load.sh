#!/usr/bin/env bash
# The dock's time from page load to the first drawn state in Chromium; see bench/dock_load.js.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
[ -n "${VELMORA_BENCH_NO_BUILD:-}" ] || bash scripts/build.sh >/dev/null
exec unshare -n sh -c 'ip link set lo up && exec node bench/dock_load.js'
