#!/usr/bin/env bash
# The Qt WebEngine panel provider's cost to OBS's start-up, its time to the dock's first state and
# its memory; see bench/web_panel.js.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
[ -n "${VELMORA_BENCH_NO_BUILD:-}" ] || bash scripts/build.sh >/dev/null
exec unshare -n sh -c 'ip link set lo up && exec node bench/web_panel.js'
