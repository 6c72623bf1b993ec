#!/usr/bin/env bash
# Configures and builds the module and its tests into build/, then stages the installed layout
# in build/stage (the folder the end-to-end tests copy into each test's OBS configuration).
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build --parallel "$(nproc)"
rm -rf build/stage
cmake --install build --prefix build/stage >/dev/null
