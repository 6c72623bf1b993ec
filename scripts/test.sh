#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: unit and integration tests through
# CTest, then the end-to-end tests against the real OBS in a loopback-only network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh

echo "== Unit and integration tests"
(cd build && ctest --output-on-failure --timeout 300)

echo "== End-to-end tests"
bash tests/e2e/run.sh
