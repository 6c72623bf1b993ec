#!/usr/bin/env bash
# Builds the Debian packages into dist/: one for Debian 12's OBS 29 (Qt 5) on this machine, one
# for OBS 32 (Qt 6) in the root of scripts/obs-root.sh 32, from the same sources, and checks both
# with lintian. A user installs one with: apt install ./dist/velmora-obs-plugin_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)
options=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SYSTEM_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr
  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_E2E=OFF -DVELMORA_BUILD_BENCH=OFF)
# Configured every time, so the options and the changelog's date are this run's.
build() { # build folder
  rm -rf "$1/_CPack_Packages" "$1"/*.deb
  cmake -S . -B "$1" "${options[@]}" >/dev/null
  cmake --build "$1" --parallel "$(nproc)" >/dev/null
  (cd "$1" && cpack -G DEB >/dev/null)
}
mkdir -p dist build-package-obs32
rm -f dist/velmora-obs-plugin_*.deb

echo "== The package for OBS 29"
build build-package
echo "== The package for OBS 32, in its root"
bash scripts/obs-root.sh 32 >/dev/null
bash scripts/in-root.sh --rw build-package-obs32 -- bash -ec "cd $(printf %q "$checkout"); $(declare -p options); $(declare -f build); build build-package-obs32"
cp build-package/velmora-obs-plugin_*.deb build-package-obs32/velmora-obs-plugin_*.deb dist/

for deb in dist/velmora-obs-plugin_*.deb; do
  echo "== lintian $deb"
  lintian --fail-on error --tag-display-limit 0 "$deb"
  dpkg-deb --field "$deb" Depends
done
