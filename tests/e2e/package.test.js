'use strict';
// The Debian package of this OBS build (scripts/package.sh), installed with apt into a copy of a clean
// root of its own suite (scripts/obs-root.sh) and used from there by an OBS started with no plug-ins
// of the user's: the dock through the web panel provider, and updates only named, never fetched.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { attachPage } = require('./lib/browser');
const { makeHome, withObs, OBS_BUILD } = require('./lib/obs');
const { freePorts } = require('./lib/ports');
const { createUpdateServer, installerRecord, INSTALLER, CHECK, DOWNLOAD } = require('./lib/update_server');
const { sleep, assertCleanExit } = require('./lib/checks');

const CHECKOUT = path.resolve(__dirname, '..', '..');
const IN_ROOT = path.join(CHECKOUT, 'scripts', 'in-root.sh');
const SYSTEM_MODULE = '/usr/lib/x86_64-linux-gnu/obs-plugins/velmora-obs-plugin.so';

// The package scripts/package.sh made for OBS `major`.
function packageFor(major) {
  const dist = path.join(CHECKOUT, 'dist');
  const name = fs.existsSync(dist) && fs.readdirSync(dist).find((f) => f.endsWith(`+obs${major}_amd64.deb`));
  assert.ok(name, `no package for OBS ${major} in ${dist}: run scripts/package.sh`);
  return path.join(dist, name);
}

test(`the Debian package for OBS ${OBS_BUILD.major}, installed with apt into a clean root`, { timeout: 240000 }, async (t) => {
  const deb = packageFor(OBS_BUILD.major);
  const other = packageFor(OBS_BUILD.major === 32 ? 29 : 32);
  // What the root's copy changes stays here, beside the root (a file system overlayfs takes); the
  // root itself is left as it was.
  const copy = fs.mkdtempSync(`${OBS_BUILD.packageRoot}-copy-`);
  t.after(() => fs.rmSync(copy, { recursive: true, force: true }));
  const launcher = ['bash', IN_ROOT, '--root', OBS_BUILD.packageRoot, '--overlay', copy, '--'];
  const inRoot = (...command) => {
    const r = spawnSync(launcher[0], [...launcher.slice(1), ...command], { encoding: 'utf8' });
    return { status: r.status, output: `${r.stdout}${r.stderr}` };
  };
  // Everything the package needs is in the root already: apt installs it with no network to fetch from.
  const apt = (...words) => inRoot('env', 'DEBIAN_FRONTEND=noninteractive', 'apt-get', '-y', ...words);

  await t.test('refuses the package built for the other OBS', () => {
    const refused = apt('install', other);
    assert.notEqual(refused.status, 0);
    assert.match(refused.output, /Depends:? obs-studio \((<<?|>=) \d+/);
  });

  await t.test('installs with apt where the distribution\'s OBS keeps its plug-ins', () => {
    const installed = apt('install', deb);
    assert.equal(installed.status, 0, installed.output);
    const files = inRoot('dpkg', '-L', 'velmora-obs-plugin').output.split('\n');
    for (const file of [SYSTEM_MODULE, '/usr/lib/x86_64-linux-gnu/obs-plugins/velmora-web-panel.so',
      '/usr/share/obs/obs-plugins/velmora-obs-plugin/web/index.html']) assert.ok(files.includes(file), file);
  });

  const updates = createUpdateServer();
  await updates.listen();
  t.after(() => updates.close());
  updates.setRoutes({ [CHECK]: { body: installerRecord(updates) }, [DOWNLOAD]: { file: INSTALLER } });
  const port = await freePorts(2);
  const cdpPort = port + 1;
  const home = makeHome({ module: false, config: { port } });
  t.after(() => home.cleanup());
  const env = { QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${cdpPort}`, QT_XCB_GL_INTEGRATION: 'xcb_egl',
    VELMORA_OBS_TEST_UPDATE_ORIGIN: updates.origin };

  const run = await withObs({ home, launcher, env }, async (obs) => {
    await obs.dockPort();
    const page = await attachPage(cdpPort, `:${port}/dock/`);
    try {
      await t.test('loads the module from the system folder and shows the dock through the web panel', async () => {
        assert.ok(!fs.existsSync(path.join(home.obsDir, 'plugins')), 'the home has plug-ins of its own');
        await page.waitFor('document.body.dataset.drawn === "state"');
        assert.equal(await page.text('#connection'), 'Connected');
        assert.match(obs.log(), /\[velmora\] Velmora for OBS \S+ loading/);
        assert.match(obs.log(), /\[velmora\] Browser panels from velmora-web-panel\n/);
      });

      await t.test('names a newer version with a link to the download page, and downloads nothing', async () => {
        await page.waitFor('document.getElementById("update-text").innerText === "Velmora 1.0.2 is available."');
        const seen = home.openedUrls().length;
        await page.evaluate('document.getElementById("update-download").click()');
        assert.equal(await home.nextOpened(seen), 'https://velmora.app/download');
        assert.equal(await page.evaluate('document.getElementById("update-restart").hidden'), true);
        assert.ok(!updates.requests.some((r) => r.target === DOWNLOAD), 'the installer was fetched');
        assert.ok(!fs.existsSync(path.join(home.home, '.local', 'share', 'Velmora for OBS')), 'an updates folder was made');
        // Folded, the Updates section opens for the notice again when the dock comes back.
        await page.evaluate('document.querySelector("details[data-fold=update] > summary").click()');
        await sleep(100);
        await page.evaluate('location.reload()');
        await page.waitFor('document.body.dataset.drawn === "state" && document.querySelector("details[data-fold=update]").open');
      });
    } finally {
      page.close();
    }
    return obs.stop();
  });
  assertCleanExit(run);

  await t.test('removed with apt, OBS starts cleanly and the user\'s settings stay as they were', async () => {
    const settings = fs.readFileSync(home.configFile, 'utf8');
    const removed = apt('remove', 'velmora-obs-plugin');
    assert.equal(removed.status, 0, removed.output);
    assert.notEqual(inRoot('test', '-e', SYSTEM_MODULE).status, 0, 'the module is still there');
    const again = await withObs({ home, launcher }, (obs) => obs.stop());
    assertCleanExit(again);
    assert.doesNotMatch(again.log, /\[velmora\]|velmora-web-panel/);
    assert.equal(fs.readFileSync(home.configFile, 'utf8'), settings);
  });
});
