'use strict';
// The OBS the suites run against, and every way the two builds differ, in one place:
// VELMORA_E2E_OBS=29 (default) is Debian 12's OBS 29 on the host (Qt 5), built into build/;
// VELMORA_E2E_OBS=32 is Debian unstable's OBS 32 in the root of scripts/obs-root.sh 32 (Qt 6),
// built into build-obs32/ by scripts/build-obs32.sh and started through scripts/in-root.sh.

const path = require('node:path');

const CHECKOUT = path.resolve(__dirname, '..', '..', '..');
const PLUGINS = '/usr/lib/x86_64-linux-gnu/obs-plugins';
const major = Number(process.env.VELMORA_E2E_OBS || 29);
if (major !== 29 && major !== 32) throw new Error(`VELMORA_E2E_OBS must be 29 or 32, not ${process.env.VELMORA_E2E_OBS}`);
const buildDir = path.join(CHECKOUT, major === 32 ? 'build-obs32' : 'build');

const launcher = major === 32 ? ['bash', path.join(CHECKOUT, 'scripts', 'in-root.sh'), '--'] : [];

module.exports = {
  major,
  buildDir,
  // The signed test installers; the test build of the module trusts their root by this path.
  fixturesDir: process.env.VELMORA_TEST_FIXTURES || path.join(buildDir, 'test-fixtures'),
  // Put before a command to run it where this OBS is installed.
  launcher,
  // The same with one of OBS's own plug-in files gone from its folder: deleted in OBS 32's root, a throw-away copy
  // each run; on the host, hidden in a mount namespace of OBS's own (the folder bound aside, links to the rest).
  launcherWithout: (file) => (major === 32 ? [...launcher, 'sh', '-c', `rm ${PLUGINS}/${file} && exec "$@"`, 'sh']
    : ['unshare', '-m', 'sh', '-c', `d=$(mktemp -d) && mkdir "$d/all" "$d/some" && mount --bind ${PLUGINS} "$d/all" &&
      for f in "$d"/all/*; do [ "\${f##*/}" = ${file} ] || ln -s "$f" "$d/some/"; done &&
      mount --bind "$d/some" ${PLUGINS} && exec "$@"`, 'sh']),
  // The clean root of this OBS's suite that its Debian package is installed into (scripts/obs-root.sh).
  packageRoot: major === 32 ? process.env.VELMORA_OBS32_ROOT || '/var/lib/velmora/obs32-root'
    : process.env.VELMORA_OBS29_ROOT || '/var/lib/velmora/obs29-root',
  // The version OBS last ran as (no "what's new" or first-run dialog): 29.0.2 and 32.2.2.
  lastVersion: major === 32 ? 536936450 : 486539266,
  // OBS 31 and later read the user's settings from user.ini beside global.ini.
  userIni: major >= 31,
  // OBS 30 and later register the module's dock by id; OBS 29's is the module's own QDockWidget.
  docksById: major >= 30,
  // OBS 32 clears the frontend's callbacks before modules unload, and two of its own modules
  // (frontend-tools, obs-websocket) still remove theirs there: OBS logs "Tried to call
  // obs_frontend_remove_event_callback with no callbacks!" for each, with or without this module.
  stockLateFrontendCalls: major >= 32 ? ['obs_frontend_remove_event_callback', 'obs_frontend_remove_event_callback'] : [],
};
