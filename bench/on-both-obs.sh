#!/usr/bin/env bash
# Runs one benchmark script in OBS 29 (the host's) and OBS 32 (its root), each in a loopback-only
# network namespace, and prints their figures line by line, the OBS 29 line above the OBS 32 one.
# Usage: bench/on-both-obs.sh bench/<script>.js
set -euo pipefail
cd "$(dirname "$0")/.."
script=${1:?usage: bench/on-both-obs.sh bench/<script>.js}
bash scripts/install-deps.sh >/dev/null
if [ -z "${VELMORA_BENCH_NO_BUILD:-}" ]; then
  bash scripts/build.sh >/dev/null
  bash scripts/build-obs32.sh >/dev/null
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for obs in 29 32; do
  echo "running $script in OBS $obs" >&2
  # shellcheck disable=SC2016 # the inner sh expands its own argument
  VELMORA_E2E_OBS=$obs unshare -n sh -c 'ip link set lo up && exec node "$0"' "$script" >"$out/$obs"
done
paste -d '\n' <(sed 's/^/OBS 29 | /' "$out/29") <(sed 's/^/OBS 32 | /' "$out/32")
