#!/usr/bin/env bash
# Runs a command inside a root made by scripts/obs-root.sh (the OBS 32 root unless told), in a
# mount namespace of its own so that nothing stays mounted once it ends. The root sees the host's
# /proc, /dev, /sys and /tmp (test homes, X sockets), and this checkout at its own path, read-only;
# --rw PATH binds a folder of the checkout writable at its own path too. --overlay DIR runs on a
# copy: what the command changes goes to DIR (kept for the next call), the root stays as it was.
# The network namespace is the caller's.
# Usage: in-root.sh [--root DIR] [--overlay DIR] [--rw PATH]... [--] command [argument...]
set -euo pipefail
root=${VELMORA_OBS32_ROOT:-/var/lib/velmora/obs32-root}
overlay=
checkout=$(cd "$(dirname "$0")/.." && pwd)
writable=()
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root=$2; shift 2 ;;
    --overlay) overlay=$(realpath -m "$2"); shift 2 ;;
    --rw) writable+=("$(realpath -m "$2")"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--root DIR] [--overlay DIR] [--rw PATH]... [--] command [argument...]" >&2; exit 2; }
[ -x "$root/usr/bin/obs" ] || { echo "No OBS root at $root: run scripts/obs-root.sh" >&2; exit 1; }
# One mount of a copy at a time: overlayfs leaves two that share a work folder undefined.
serialise=()
if [ -n "$overlay" ]; then
  mkdir -p "$overlay/upper" "$overlay/work" "$overlay/merged"
  serialise=(flock -o "$overlay/lock")
fi

mounts='set -e
root=$1 overlay=$2 checkout=$3 count=$4; shift 4
if [ -n "$overlay" ]; then
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$overlay/upper,workdir=$overlay/work" "$overlay/merged"
  root=$overlay/merged
fi
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
exec "${serialise[@]}" unshare -m --propagation private sh -c "$mounts" sh "$root" "$overlay" "$checkout" "${#writable[@]}" \
  "${writable[@]}" "$@"
