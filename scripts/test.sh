#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: unit and integration tests through
# CTest, then the end-to-end tests against the real OBS 29 (the host's) and OBS 32 (in its root,
# made once by scripts/obs-root.sh 32) in a loopback-only network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."

# Includes run one way: module, features, bridge, server, core, platform; none of the lower four
# includes a folder above it.
floors=(platform core server bridge "dock|service|signin|update|overlay|web_panel" module)
for i in 0 1 2 3; do above=$(IFS='|'; echo "${floors[*]:i+1}"); ! grep -rnE "#include \"($above)/" "src/${floors[i]}" || { echo "FAILED: the include above runs up a floor" >&2; exit 1; }; done

# No package registry's or archive's host name is written in the repository: those of this
# machine's apt sources and npm are looked for.
# shellcheck disable=SC2016 # $(REPO_URI) is apt's field, not a substitution
for host in $({ apt-get indextargets --format '$(REPO_URI)'; npm config get registry; } 2>/dev/null |
  sed -n 's|^[a-z+]*://\([^/:]*\).*|\1|p' | sort -u); do
  if git grep -nF -e "$host" -- . 2>/dev/null; then echo "FAILED: the repository names the package host $host" >&2; exit 1; fi
done

bash scripts/install-deps.sh
# The analysers first: a finding costs minutes, not the whole run. They read the OBS 32 root too.
bash scripts/obs-root.sh 32
bash scripts/lint.sh
bash scripts/build.sh
echo "== The module for OBS 32, in its root"
bash scripts/build-obs32.sh

echo "== The Debian packages, and a clean Debian 12 root to install the OBS 29 one into"
bash scripts/package.sh
bash scripts/obs-root.sh 29

echo "== Module sources against the OBS 32 SDK (Qt 6)"
bash scripts/check-obs32.sh

echo "== Unit and integration tests"
# OBS's core, which some tests start, needs an X display.
(cd build && xvfb-run -a -s "-nolisten tcp" ctest --output-on-failure --timeout 300)

# The thread-heavy server tests again under ThreadSanitizer, and everything under
# AddressSanitizer with UndefinedBehaviorSanitizer; any report fails the run.
for sanitizer in thread address,undefined; do
  dir=build-${sanitizer%%,*}
  echo "== Tests under the $sanitizer sanitizer"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_BENCH=OFF \
      -DVELMORA_BUILD_E2E=OFF -DVELMORA_SANITIZER="$sanitizer" >/dev/null
  fi
  cmake --build "$dir" --parallel "$(nproc)" >/dev/null
  (cd "$dir" && env TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ASAN_OPTIONS="detect_leaks=1" \
    UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
    xvfb-run -a -s "-nolisten tcp" ctest --output-on-failure --timeout 300 -j"$(nproc)")
done

# Both OBS builds run even when the first fails, so one run shows what fails where.
failed=()
for obs in 29 32; do
  echo "== End-to-end tests in OBS $obs"
  VELMORA_E2E_OBS=$obs bash tests/e2e/run.sh || failed+=("end-to-end in OBS $obs")
done

echo "== Windows test build under Wine"
# One test at a time: two Wine processes at once have starved the broadcast tests' readers on a
# loaded two-core machine (a 0.4 s test took 14 s), failing them for want of time, not of a fault.
bash scripts/test-windows.sh -j1 || failed+=("the Windows test build")

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
