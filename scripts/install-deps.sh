#!/usr/bin/env bash
# Installs every Debian and npm package the build, the run script and the tests need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config ninja-build clang libclang-rt-14-dev
  obs-studio libobs-dev qt6-base-dev qtbase5-dev qtwebengine5-dev qt6-webengine-dev libgl-dev libglx-dev libopengl-dev
  libgtest-dev googletest libssl-dev libcurl4-openssl-dev osslsigncode openssl curl
  xvfb xauth xdotool iproute2 util-linux procps psmisc gdb mmdebstrap dpkg-dev lintian file bats
  shellcheck clang-format clang-tidy
  nginx libnginx-mod-rtmp wrk chromium locales
  fonts-noto-cjk # the glyphs of the dock in Japanese, Korean and Chinese, for the browser tests
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64
)
# Node.js and npm: the machine's own when present (Debian's npm conflicts with other Node builds).
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# A locale whose decimal mark is a comma, for the tests of locale-independent number output.
if ! locale -a 2>/dev/null | grep -qi '^de_DE.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1 || true
fi

# The pinned npm packages: what builds and lints the web pages (esbuild, ESLint, stylelint) here,
# and the end-to-end suites' clients in tests/e2e; again whenever a lock file changed since.
for dir in . tests/e2e; do
  if [ ! -f "$dir/node_modules/.package-lock.json" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error </dev/null)
  fi
done
