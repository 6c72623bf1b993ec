#!/usr/bin/env bash
# Runs a command inside the OBS 32 root (scripts/obs32-root.sh), in a mount namespace of its own so
# that nothing stays mounted once it ends. The root sees the host's /proc, /dev, /sys and /tmp (test
# homes, X sockets), and this checkout at its own path, read-only; --rw PATH binds a folder of the
# checkout writable at its own path too. The network namespace is the caller's.
# Usage: obs32-exec.sh [--rw PATH]... [--] command [argument...]
set -euo pipefail
root=${VELMORA_OBS32_ROOT:-/var/lib/velmora/obs32-root}
checkout=$(cd "$(dirname "$0")/.." && pwd)
writable=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rw) writable+=("$(realpath -m "$2")"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--rw PATH]... [--] command [argument...]" >&2; exit 2; }
[ -x "$root/usr/bin/obs" ] || { echo "No OBS 32 root at $root: run scripts/obs32-root.sh" >&2; exit 1; }

mounts='set -e
root=$1 checkout=$2 count=$3; shift 3
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount --bind /tmp "$root/tmp"
mkdir -p "$root$checkout"
mount --bind "$checkout" "$root$checkout"
mount -o remount,bind,ro "$root$checkout"
while [ "$count" -gt 0 ]; do
  mkdir -p "$root$1" 2>/dev/null || true
  mount --bind "$1" "$root$1"
  shift; count=$((count - 1))
done
# chroot starts in /: carry the working folder over where the root has it.
exec /usr/sbin/chroot "$root" sh -c '"'"'cd "$0" 2>/dev/null || true; exec "$@"'"'"' "$PWD" "$@"'
for dir in "${writable[@]}"; do mkdir -p "$dir"; done
exec unshare -m --propagation private sh -c "$mounts" sh "$root" "$checkout" "${#writable[@]}" \
  "${writable[@]}" "$@"
