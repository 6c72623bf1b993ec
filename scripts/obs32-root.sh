#!/usr/bin/env bash
# Makes the root file system that holds Debian unstable's OBS Studio (32 or later, on Qt 6) beside
# the host's OBS 29, once, and reuses it: it is made again only when its package list changes.
# Prints the OBS version it holds. Path: $VELMORA_OBS32_ROOT, default /var/lib/velmora/obs32-root.
set -euo pipefail

root=${VELMORA_OBS32_ROOT:-/var/lib/velmora/obs32-root}
# What the module, the web panel provider and the web pages build with, and what the end-to-end
# suites run inside: OBS, Xvfb, gdb for the exit checks, dpkg-dev for packaging.
packages=obs-studio,libobs-dev,qt6-base-dev,qt6-webengine-dev,cmake,ninja-build,g++,pkg-config,\
libssl-dev,libcurl4-openssl-dev,nodejs,xvfb,xauth,procps,gdb,dpkg-dev,file
stamp="$root/.velmora-packages"

# The archive the host's apt already uses.
mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/\?$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(http[^ ]*\/debian\)\/\? .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n1)
mirror=${mirror:-http://deb.debian.org/debian}

obs_version() { chroot "$root" dpkg-query -W -f='${Version}' obs-studio 2>/dev/null; }

if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$packages" ]; then
  if ! curl -fsS --max-time 30 -o /dev/null "$mirror/dists/sid/Release" 2>/dev/null; then
    echo "Cannot reach the Debian archive at $mirror: the OBS 32 root cannot be made." >&2
    exit 1
  fi
  command -v mmdebstrap >/dev/null || { echo "mmdebstrap is missing: run scripts/install-deps.sh" >&2; exit 1; }
  echo "Making the OBS 32 root in $root (Debian unstable from $mirror; several minutes, once)"
  rm -rf "$root.new"
  mkdir -p "$(dirname "$root")"
  # The snapshot's unstable Release file has expired; mmdebstrap keeps this option inside the root.
  if ! mmdebstrap --quiet --variant=apt --mode=root --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="$packages" sid "$root.new" "$mirror" >"$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    echo "Making the OBS 32 root failed (full output: $root.log)." >&2
    rm -rf "$root.new"
    exit 1
  fi
  echo "$packages" >"$root.new/.velmora-packages"
  rm -rf "$root"
  mv "$root.new" "$root"
fi

version=$(obs_version)
major=${version%%.*}
if ! [[ "$major" =~ ^[0-9]+$ ]] || [ "$major" -lt 30 ]; then
  echo "The root at $root holds OBS '${version:-none}', older than 30: it cannot stand for OBS 32." >&2
  exit 1
fi
echo "OBS $version in $root"
