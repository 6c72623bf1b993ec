#!/usr/bin/env bash
# Compiles every module source against the OBS 32.2.2 SDK headers (the SDK the product ships for)
# with Qt 6: objects only, nothing linked, so that the newer branch of each SDK check is compiled
# as surely as the one Debian's OBS 29 builds. Then the same for Windows with MinGW-w64, the Win32
# platform folder in place of the POSIX one, so both builds are known to compile the same sources.
# Needs build/generated from a configured build.
set -euo pipefail
cd "$(dirname "$0")/.."
sdk=../shared/sdk/obs-32.2.2/include
# The SDK headers sit beside the checkout on the development machines; elsewhere there is
# nothing to compile against.
[ -d "$sdk" ] || { echo "No OBS 32 SDK headers at $sdk: the OBS 32 compile check is skipped."; exit 0; }
read -ra qt <<<"$(pkg-config --cflags Qt6Widgets Qt6WebEngineWidgets)"
flags=(-std=c++20 -fPIC -Wall -Wextra -Werror -fsyntax-only -I"$sdk" -Isrc -Ibuild/generated
  -DVELMORA_INSTALLER_PUBLISHER_NAME='"Velmora"' -DVELMORA_TRUST_ANCHOR_FILE='"/dev/null"' -DVELMORA_WEB_PANEL_ENGINE='""'
  "${qt[@]}")
status=0
for source in $(find src -name '*.cpp' ! -path 'src/platform/win32/*' | sort); do
  g++ "${flags[@]}" "$source" || { echo "!! $source does not compile against OBS 32"; status=1; }
done
[ $status -eq 0 ] && echo "Every module source compiles against the OBS 32.2.2 SDK with Qt 6."

# Qt's Linux headers stand in for its Windows ones: system headers, so their dllimport notes are
# not ours to fix.
read -ra qt_system <<<"$(pkg-config --cflags Qt6Widgets | sed 's/-I/-isystem /g')"
windows_flags=(-std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$sdk" -Isrc -Ibuild/generated
  -D_WIN32_WINNT=0x0A00 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -DUNICODE -D_UNICODE
  -DVELMORA_INSTALLER_PUBLISHER_NAME='"Velmora"' -DVELMORA_TRUST_ANCHOR_FILE='"unused"' "${qt_system[@]}")
windows_status=0
for source in $(find src -name '*.cpp' ! -path 'src/platform/posix/*' ! -path 'src/web_panel/*' | sort); do
  x86_64-w64-mingw32-g++-posix "${windows_flags[@]}" "$source" ||
    { echo "!! $source does not compile for Windows"; windows_status=1; }
done
[ $windows_status -eq 0 ] && echo "Every module source compiles for 64-bit Windows (MinGW-w64) against the OBS 32.2.2 SDK."
[ $status -eq 0 ] && [ $windows_status -eq 0 ]
