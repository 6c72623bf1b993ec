#!/usr/bin/env bash
# The field's analysers over the whole tree; the test command runs this first. Fails on any finding:
#   every script through shellcheck, at its default severity;
#   the C++ sources through clang-format --dry-run --Werror;
#   ESLint (its recommended rules; on the dock's pages also the APIs Chromium 87 lacks) over the web
#     pages and the Node code, and stylelint (CSS Chromium 87 lacks) over the pages' styles;
#   clang-tidy (.clang-tidy) over every C++ source of the host build (OBS 29, Qt 5), and over the
#     sources that build differently against OBS 32 and Qt 6 (those that use Qt or OBS's version)
#     in its root, each with its build's compile database. Passes are cached outside the checkout
#     ($VELMORA_LINT_CACHE, default ~/.cache/velmora-lint): a warm run analyses what changed.
# Needs scripts/install-deps.sh and the OBS 32 root (scripts/obs-root.sh 32); configures the two
# builds when they are not.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${VELMORA_LINT_CACHE:-$HOME/.cache/velmora-lint}
failed=()
started=$SECONDS

echo "== lint: shellcheck"
mapfile -t scripts < <(git ls-files '*.sh' '*.bats' .ci/run)
shellcheck -x "${scripts[@]}" || failed+=(shellcheck)

echo "== lint: clang-format"
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
clang-format --dry-run --Werror "${sources[@]}" || failed+=(clang-format)

echo "== lint: ESLint and stylelint"
npx --no-install eslint --max-warnings 0 . || failed+=(ESLint)
npx --no-install stylelint 'data/web/**/*.css' 'data/web/*.html' || failed+=(stylelint)

echo "== lint: clang-tidy"
# Every header of ours goes into each source's key: any may be included.
headers=$(git ls-files -z '*.h' | xargs -0 sha256sum | sha256sum | cut -c1-64)
[ -f build/compile_commands.json ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
bash scripts/tidy.sh build "$cache/obs29" "$headers" || failed+=("clang-tidy (OBS 29)")
# What builds differently against OBS 32 and Qt 6 (and its obs-websocket header).
mapfile -t differ < <(git grep -l -E '#include <Q|LIBOBS_API_MAJOR_VER|__has_include' -- 'src/*.cpp' 'tests/e2e/*.cpp')
pattern="^($(IFS='|'; echo "${differ[*]}"))$"
mkdir -p "$cache/obs32" build-obs32
bash scripts/in-root.sh --rw build-obs32 --rw "$cache" -- sh -ec '
  [ -f build-obs32/compile_commands.json ] ||
    cmake -S . -B build-obs32 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF >/dev/null
  exec bash scripts/tidy.sh build-obs32 "$0" "$1" "$2"' "$cache/obs32" "$headers" "$pattern" ||
  failed+=("clang-tidy (OBS 32)")

echo "== lint took $((SECONDS - started)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED lint: ${failed[*]}" >&2
  exit 1
fi
