#!/usr/bin/env bash
# Builds the module, the web panel provider on Qt 6 WebEngine, the web pages and what the
# end-to-end suites install beside them inside the OBS 32 root, against its libobs, frontend API
# and Qt 6, into build-obs32/, and stages the installed layout in build-obs32/stage. The C++ test
# suites are the host's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/obs-root.sh 32
checkout=$(pwd)
mkdir -p build-obs32
bash scripts/in-root.sh --rw build-obs32 -- sh -ec '
  cd "$0"
  if [ ! -f build-obs32/CMakeCache.txt ]; then
    cmake -S . -B build-obs32 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF \
      -DVELMORA_BUILD_BENCH=OFF >/dev/null
  fi
  cmake --build build-obs32 --parallel "$(nproc)"
  rm -rf build-obs32/stage
  cmake --install build-obs32 --prefix build-obs32/stage >/dev/null' "$checkout"
