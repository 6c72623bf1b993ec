#!/bin/sh
# Runs a command in mount and network namespaces of its own whose resolv.conf sends every lookup to
# 127.0.0.1:53, where the test takes them and never answers. Needs root.
set -eu
conf=$(mktemp)
trap 'rm -f "$conf"' EXIT
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:5\n' >"$conf"
# shellcheck disable=SC2016 # the inner sh expands its own arguments
VELMORA_TEST_STALLED_RESOLVER=1 unshare -m -n sh -c \
  'ip link set lo up && mount --bind "$0" /etc/resolv.conf && "$@"' "$conf" "$@"
