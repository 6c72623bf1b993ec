#!/usr/bin/env bash
# Makes a root file system with Debian's OBS Studio, once, and reuses it: it is made again only
# when its package list changes. Prints the OBS version it holds.
#   obs-root.sh 32: Debian unstable's OBS 32 or later (Qt 6) beside the host's OBS 29, with what
#     the module builds with; path $VELMORA_OBS32_ROOT, default /var/lib/velmora/obs32-root.
#   obs-root.sh 29: a clean Debian 12 with only its OBS 29 and what OBS and the module's package
#     run on, to install that package into; path $VELMORA_OBS29_ROOT, default /var/lib/velmora/obs29-root.
set -euo pipefail

obs=${1:-32}
root32=${VELMORA_OBS32_ROOT:-/var/lib/velmora/obs32-root}
root29=${VELMORA_OBS29_ROOT:-/var/lib/velmora/obs29-root}
# A root whose package list differs is made again: one path for both would wipe the other's root.
if [ "$(realpath -m "$root32")" = "$(realpath -m "$root29")" ]; then
  echo "The OBS 29 and OBS 32 roots are both $root32: give each a path of its own." >&2
  exit 2
fi
case "$obs" in
  32)
    root=$root32
    suite=sid
    # What the module, the web panel provider and the web pages build with, and what the
    # end-to-end suites run inside: OBS, Xvfb, gdb for the exit checks, dpkg-dev for packaging.
    packages=obs-studio,libobs-dev,qt6-base-dev,qt6-webengine-dev,cmake,ninja-build,g++,pkg-config,\
libssl-dev,libcurl4-openssl-dev,nodejs,xvfb,xauth,procps,gdb,dpkg-dev,file
    lowest=30 highest=999 ;;
  29)
    root=$root29
    suite=bookworm
    # The package's dependencies are installed ahead, so apt installs it without the network.
    packages=obs-studio,libqt5webenginewidgets5,libcurl4,libssl3,ca-certificates,xvfb,xauth,procps
    lowest=29 highest=29 ;;
  *) echo "usage: $0 29|32" >&2; exit 2 ;;
esac
stamp="$root/.velmora-packages"

mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/\?$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(http[^ ]*\/debian\)\/\? .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n1)
mirror=${mirror:-http://deb.debian.org/debian}

obs_version() { chroot "$root" dpkg-query -W -f='${Version}' obs-studio 2>/dev/null; }

if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$packages" ]; then
  if ! curl -fsS --max-time 30 -o /dev/null "$mirror/dists/$suite/Release" 2>/dev/null; then
    echo "Cannot reach the Debian archive at $mirror: the OBS $obs root cannot be made." >&2
    exit 1
  fi
  command -v mmdebstrap >/dev/null || { echo "mmdebstrap is missing: run scripts/install-deps.sh" >&2; exit 1; }
  echo "Making the OBS $obs root in $root (Debian $suite from $mirror; several minutes, once)"
  rm -rf "$root.new"
  mkdir -p "$(dirname "$root")"
  # The snapshot's unstable Release file has expired; mmdebstrap keeps this option inside the root.
  if ! mmdebstrap --quiet --variant=apt --mode=root --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="$packages" "$suite" "$root.new" "$mirror" >"$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    echo "Making the OBS $obs root failed (full output: $root.log)." >&2
    rm -rf "$root.new"
    exit 1
  fi
  echo "$packages" >"$root.new/.velmora-packages"
  rm -rf "$root"
  mv "$root.new" "$root"
fi

version=$(obs_version)
major=${version%%.*}
if ! [[ "$major" =~ ^[0-9]+$ ]] || [ "$major" -lt "$lowest" ] || [ "$major" -gt "$highest" ]; then
  echo "The root at $root holds OBS '${version:-none}', which cannot stand for OBS $obs." >&2
  exit 1
fi
echo "OBS $version in $root"
