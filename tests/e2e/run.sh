#!/usr/bin/env bash
# Runs the end-to-end suites in a network namespace that has only loopback,
# so nothing OBS or the module does can reach another host.
# Arguments, if any, are the test files to run (default: every *.test.js).
# VELMORA_E2E_OBS=32 runs them against OBS 32 in its root (lib/obs_build.js), 29 (default) on the host.
set -uo pipefail
cd "$(dirname "$0")" || exit

case "${VELMORA_E2E_OBS:-29}" in
  29) build=../../build ;;
  32) build=../../build-obs32 ;;
  *) echo "VELMORA_E2E_OBS must be 29 or 32" >&2; exit 2 ;;
esac
# The signed test installers the updater suite serves; the test build of the module trusts their root.
bash ../fixtures/make-installers.sh "$build/test-fixtures"

if [ $# -gt 0 ]; then files=("$@"); else files=(*.test.js); fi
runner=(node --test --test-concurrency=1 "${files[@]}")

if unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
  unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${runner[@]}"
else
  echo "warning: cannot create a network namespace (unshare -n); running with the host network" >&2
  "${runner[@]}"
fi
