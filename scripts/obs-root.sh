#!/usr/bin/env bash
# Makes a root file system with Debian's OBS Studio, once, and reuses it: it is made again only
# when its package list changes. Prints the OBS version it holds.
#   obs-root.sh 32: Debian unstable's OBS 32 or later (Qt 6) beside the host's OBS 29, with what
#     the module builds with; path $VELMORA_OBS32_ROOT, default /var/lib/velmora/obs32-root.
#   obs-root.sh 29: a clean Debian 12 with only its OBS 29 and what OBS and the module's package
#     run on, to install that package into; path $VELMORA_OBS29_ROOT, default /var/lib/velmora/obs29-root.
# The packages come from the Debian archive this machine's apt uses. A rebuild waits for the runs
# in the root (scripts/in-root.sh) to end, and they wait for it.
set -euo pipefail
# chroot lives in /usr/sbin, which a caller's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
# shellcheck source=scripts/root-paths.sh
. "$(dirname "$0")/root-paths.sh"

obs=${1:-32}
case "$obs" in
  32)
    root=$root32
    suite=sid
    # What the module, the web panel provider and the web pages build with, and what the
    # end-to-end suites run inside: OBS, Xvfb, gdb for the exit checks, dpkg-dev for packaging,
    # clang-tidy for the lint of this build.
    packages="obs-studio,libobs-dev,qt6-base-dev,qt6-webengine-dev,cmake,ninja-build,g++,pkg-config,\
libssl-dev,libcurl4-openssl-dev,nodejs,xvfb,xauth,procps,gdb,dpkg-dev,file,clang-tidy"
    lowest=30 highest=999 ;;
  29)
    root=$root29
    suite=bookworm
    # The package's dependencies are installed ahead, so apt installs it without the network.
    packages="obs-studio,libqt5webenginewidgets5,libcurl4,libssl3,ca-certificates,xvfb,xauth,procps"
    lowest=29 highest=29 ;;
  *) echo "usage: $0 29|32" >&2; exit 2 ;;
esac
refuse_root "$root"
stamp="$root/.velmora-packages"
current() { [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ]; }

# The archive of this machine's own Debian release, as its apt sources name it.
debian_archive() {
  local codename
  # shellcheck source=/dev/null # the machine's own
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # shellcheck disable=SC2016 # $(REPO_URI) is apt's field, not a substitution
  apt-get indextargets --format '$(REPO_URI)' 'Identifier: Packages' "Release: $codename" 2>/dev/null |
    head -n1 | sed 's:/*$::'
}

make_root() {
  local mirror
  mirror=$(debian_archive)
  if [ -z "$mirror" ]; then
    echo "This machine's apt sources name no Debian archive: the OBS $obs root cannot be made." >&2
    exit 1
  fi
  if ! curl -fsS --max-time 30 -o /dev/null "$mirror/dists/$suite/Release" 2>/dev/null; then
    echo "Cannot reach the Debian archive at $mirror: the OBS $obs root cannot be made." >&2
    exit 1
  fi
  command -v mmdebstrap >/dev/null || { echo "mmdebstrap is missing: run scripts/install-deps.sh" >&2; exit 1; }
  # Only a root of ours is ever replaced.
  if [ -e "$root" ] && [ ! -f "$stamp" ] && [ -n "$(ls -A "$root" 2>/dev/null)" ]; then
    echo "$root is not an OBS root made here: move it away or give the root another path." >&2
    exit 1
  fi
  echo "Making the OBS $obs root in $root (Debian $suite from $mirror; several minutes, once)"
  # Never into a file system mounted inside: a killed mmdebstrap leaves /proc, /sys and /dev/pts there.
  rm -rf --one-file-system "$root.new"
  # The snapshot's unstable Release file has expired; mmdebstrap keeps this option inside the root.
  if ! mmdebstrap --quiet --variant=apt --mode=root --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="$packages" "$suite" "$root.new" "$mirror" >"$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    echo "Making the OBS $obs root failed (full output: $root.log)." >&2
    rm -rf --one-file-system "$root.new"
    exit 1
  fi
  echo "$packages" >"$root.new/.velmora-packages"
  rm -rf --one-file-system "$root"
  mv "$root.new" "$root"
}

mkdir -p "$(dirname "$root")"
exec {lock}>"$(root_lock "$root")"
flock -s "$lock"
if ! current; then
  if ! flock -n -x "$lock"; then
    echo "Waiting for the runs in $root to end before making it again"
    flock -x "$lock"
  fi
  # Another rebuild may have made it while this one waited.
  current || make_root
fi

# shellcheck disable=SC2016 # ${Version} is dpkg-query's field, not a substitution
version=$(chroot "$root" dpkg-query -W -f='${Version}' obs-studio 2>/dev/null || true)
major=${version%%.*}
if ! [[ "$major" =~ ^[0-9]+$ ]] || [ "$major" -lt "$lowest" ] || [ "$major" -gt "$highest" ]; then
  echo "The root at $root holds OBS '${version:-none}', which cannot stand for OBS $obs." >&2
  exit 1
fi
echo "OBS $version in $root"
