# shellcheck shell=bash
# Where the OBS roots live and the rules every script that touches one keeps; sourced by
# obs-root.sh and in-root.sh, which run as root with rm -rf, mv and mounts. Each path is resolved
# once, physically and without a trailing slash, before anything is derived from it.

# root_path <path>: the physical path of a folder that may not exist yet.
root_path() { realpath -m -- "$1"; }

velmora_checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
root32=$(root_path "${VELMORA_OBS32_ROOT:-/var/lib/velmora/obs32-root}")
root29=$(root_path "${VELMORA_OBS29_ROOT:-/var/lib/velmora/obs29-root}")

# lies_in <path> <folder>: true when path is the folder or lies under it.
lies_in() { [ "$2" = / ] || [ "$1" = "$2" ] || case "$1" in "$2"/*) true ;; *) false ;; esac; }

# refuse_root <root>: exits when making, replacing or running in that root could harm another
# folder: the whole file system, this checkout, or the other OBS root.
refuse_root() {
  local root=$1 other
  if [ "$root" = / ] || lies_in "$velmora_checkout" "$root"; then
    echo "The OBS root $root would hold this checkout ($velmora_checkout): give it a folder of its own." >&2
    exit 2
  fi
  for other in "$root32" "$root29"; do
    [ "$other" != "$root" ] || [ "$root32" = "$root29" ] || continue
    if lies_in "$root" "$other" || lies_in "$other" "$root"; then
      echo "The OBS roots $root32 and $root29 overlap: give each a folder of its own, neither inside the other." >&2
      exit 2
    fi
  done
}

# A rebuild holds this exclusively, every run in the root shares it.
root_lock() { printf '%s.lock\n' "$1"; }
