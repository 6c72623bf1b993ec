#!/usr/bin/env bash
# Installs what is needed, builds, installs the module for this user and starts OBS with it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh
cmake --install build --prefix "$HOME/.config/obs-studio" >/dev/null
echo
echo "Velmora for OBS is installed in $HOME/.config/obs-studio/plugins/velmora-obs-plugin, with"
echo "its browser panels for OBS builds without obs-browser in .../plugins/velmora-web-panel."
echo "In OBS: the dock \"Velmora\" on the right (Docks > Velmora or Tools > Velmora shows it again);"
echo "OBS's log lines from the module start with [velmora]."
echo "The dock's web page is served at http://127.0.0.1:41471/dock/ (or the port stored in"
echo "$HOME/.config/obs-studio/plugin_config/velmora-obs-plugin/config.json)."
echo

# Qt WebEngine beside OBS's preview: EGL on X11 spares both a failing GL context switch.
export QT_XCB_GL_INTEGRATION="${QT_XCB_GL_INTEGRATION:-xcb_egl}"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec obs --multi
fi
echo "No display found: starting OBS under Xvfb (stop it with Ctrl+C)."
exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" obs --multi
