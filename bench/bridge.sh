#!/usr/bin/env bash
# Bridge round trips and main-thread costs in a real OBS; see bench/bridge.js.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
bash scripts/build.sh >/dev/null
exec unshare -n sh -c 'ip link set lo up && exec node bench/bridge.js'
