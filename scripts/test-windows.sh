#!/usr/bin/env bash
# The Windows test build: cross-builds the platform layer, the server and the updater's platform
# work with MinGW-w64 and runs their tests under Wine, in a Wine prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

# Loopback only, as the end-to-end suite: WinHTTP's proxy discovery and a name in a test URL must
# not reach any network.
if [ -z "${VELMORA_IN_NETNS:-}" ] && unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
  # shellcheck disable=SC2016 # the inner sh expands its own arguments
  exec unshare -n sh -c 'ip link set lo up && VELMORA_IN_NETNS=1 exec bash "$0" "$@"' "$0" "$@"
fi

dir=${VELMORA_WINDOWS_BUILD:-build-windows}
mkdir -p "$dir"
export WINEPREFIX=$PWD/$dir/wine-prefix WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and asking for them would wait on the network.
export WINEDLLOVERRIDES="mscoree,mshtml="

# One Wine server for the whole run; without it every test pays for a server start. Detached,
# so that no test inherits its pipes.
wineserver -p </dev/null >/dev/null 2>&1 &
wineboot -i </dev/null >"$dir/wineboot.log" 2>&1 &
booting=$!
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVELMORA_WITHOUT_OBS=ON >/dev/null
fi
cmake --build "$dir" --parallel "$(nproc)"
wait "$booting" || true

(cd "$dir" && ctest --output-on-failure --timeout 120 "$@")
