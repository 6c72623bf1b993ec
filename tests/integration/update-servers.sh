#!/usr/bin/env bash
# Starts (or stops) the test update servers for a test run of the updater (Wine cannot start a Linux
# program, so tests on both builds find these by the port files left here): one plain, one HTTPS with the
# untrusted test certificate.
set -euo pipefail
action=${1:?usage: update-servers.sh start|stop <folder> [fixtures]}
dir=${2:?}
here=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$dir"
stop() {
  for kind in plain tls; do
    if [ -f "$dir/$kind.pid" ]; then
      pid=$(cat "$dir/$kind.pid")
      # Only our server: after an interrupted run the number may be another program's by now.
      if grep -qs update_server.js "/proc/$pid/cmdline"; then kill "$pid" 2>/dev/null || true; fi
      rm -f "$dir/$kind.pid" "$dir/$kind.port"
    fi
  done
}
if [ "$action" = stop ]; then
  stop
  exit 0
fi
stop
fixtures=${3:?}
start() {
  local kind=$1
  shift
  node "$here/tests/e2e/lib/update_server.js" "$@" >"$dir/$kind.out" 2>&1 </dev/null &
  echo $! >"$dir/$kind.pid"
  for _ in $(seq 100); do
    if grep -q '^port ' "$dir/$kind.out"; then
      sed -n 's/^port //p' "$dir/$kind.out" >"$dir/$kind.port"
      return 0
    fi
    sleep 0.05
  done
  echo "the $kind update server did not start" >&2
  cat "$dir/$kind.out" >&2
  exit 1
}
start plain
start tls --tls "$fixtures/tls.pem" "$fixtures/tls.key"
