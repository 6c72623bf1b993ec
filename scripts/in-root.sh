#!/usr/bin/env bash
# Runs a command inside a root made by scripts/obs-root.sh (the OBS 32 root unless told), in a
# mount namespace of its own so that nothing stays mounted once it ends. The command runs on a copy
# of the root (an overlay), so the root itself is never written: by default the copy's changes go
# to a tmpfs and end with the command; --overlay DIR keeps them in DIR for the next call. The copy
# sees the host's /proc, /dev, /sys and /tmp (test homes, X sockets), and this checkout at its own
# physical path, read-only; --rw PATH binds a folder writable at its own path too. The network
# namespace is the caller's. A rebuild of the root waits for the command to end.
# Usage: in-root.sh [--root DIR] [--overlay DIR] [--rw PATH]... [--] command [argument...]
set -euo pipefail
# chroot lives in /usr/sbin, which a caller's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
# shellcheck source=scripts/root-paths.sh
. "$(dirname "$0")/root-paths.sh"

root=$root32
overlay=
writable=()
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root=$(root_path "$2"); shift 2 ;;
    --overlay) overlay=$(root_path "$2"); shift 2 ;;
    --rw) writable+=("$(root_path "$2")"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--root DIR] [--overlay DIR] [--rw PATH]... [--] command [argument...]" >&2; exit 2; }
refuse_root "$root"
[ -x "$root/usr/bin/obs" ] || { echo "No OBS root at $root: run scripts/obs-root.sh" >&2; exit 1; }
if [ -n "$overlay" ] && { lies_in "$overlay" "$root" || lies_in "$root" "$overlay"; }; then
  echo "The copy's folder $overlay and the root $root overlap: give the copy a folder beside the root." >&2
  exit 2
fi
for dir in "${writable[@]}"; do mkdir -p "$dir"; done

# One mount of a copy at a time: overlayfs leaves two that share a work folder undefined. Without
# a folder of its own the copy lives on a tmpfs mounted here, in the namespace only.
if [ -n "$overlay" ]; then
  mkdir -p "$overlay/upper" "$overlay/work" "$overlay/merged"
  serialise=(flock -o "$overlay/lock")
else
  overlay=$root.scratch
  mkdir -p "$overlay"
  serialise=()
fi

# shellcheck disable=SC2016 # a script of its own, expanded by the sh that runs it
mounts='set -e
root=$1 copy=$2 scratch=$3 checkout=$4 cwd=$5 count=$6; shift 6
if [ "$scratch" = 1 ]; then
  mount -t tmpfs -o mode=0755 velmora-copy "$copy"
  mkdir -p "$copy/upper" "$copy/work" "$copy/merged"
fi
mount -t overlay overlay -o "lowerdir=$root,upperdir=$copy/upper,workdir=$copy/work" "$copy/merged"
copy=$copy/merged
mount --rbind /proc "$copy/proc"
mount --rbind /dev "$copy/dev"
mount --rbind /sys "$copy/sys"
mount --bind /tmp "$copy/tmp"
mkdir -p "$copy$checkout"
mount --bind "$checkout" "$copy$checkout"
mount -o remount,bind,ro "$copy$checkout"
while [ "$count" -gt 0 ]; do
  mkdir -p "$copy$1"
  mount --bind "$1" "$copy$1"
  shift; count=$((count - 1))
done
# chroot starts in /: carry the working folder over where the root has it.
exec chroot "$copy" sh -c '"'"'cd "$0" 2>/dev/null || true; exec "$@"'"'"' "$cwd" "$@"'
scratch=0
[ "${#serialise[@]}" -gt 0 ] || scratch=1
exec flock -s -o "$(root_lock "$root")" "${serialise[@]}" unshare -m --propagation private sh -c "$mounts" sh \
  "$root" "$overlay" "$scratch" "$velmora_checkout" "$(pwd -P)" "${#writable[@]}" "${writable[@]}" "$@"
