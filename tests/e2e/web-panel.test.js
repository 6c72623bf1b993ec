'use strict';
// The dock as a real browser dock where OBS has no obs-browser: the module's Qt WebEngine panel
// provider in Debian's OBS, read and worked from outside through the engine's DevTools port.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { attachPage } = require('./lib/browser');
const { makeHome, startObs, running, pidsWithCommand } = require('./lib/obs');
const { freePorts } = require('./lib/ports');
const { sleep, poll, count, assertCleanExit } = require('./lib/checks');

const LIFECYCLE = ['browser closed', 'store flushed', 'widget deleted', 'store closed', 'panel deleted'];

// Stops OBS and tells which engine helpers were still there half a second after OBS itself ended.
async function stopWatchingHelpers(obs) {
  const helpers = pidsWithCommand('QtWebEngineProcess');
  const stopped = obs.stop();
  await poll(() => !running(obs.pid), 20000, 'OBS gone');
  await sleep(500);
  return { run: await stopped, helpers, outlived: helpers.filter(running) };
}

test('the Qt WebEngine panel where OBS has no obs-browser', { timeout: 180000 }, async (t) => {
  const port = await freePorts(2);
  const cdpPort = port + 1;
  const home = makeHome({ webPanel: true, config: { port } });
  t.after(() => home.cleanup());
  const env = { QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${cdpPort}`, QT_XCB_GL_INTEGRATION: 'xcb_egl' };
  const stops = [];
  // One OBS start with the dock drawn in its panel; the stop watches the engine's helpers.
  const session = async (steps) => {
    const obs = await startObs(home, { env });
    try {
      await obs.dockPort();
      const page = await attachPage(cdpPort, `:${port}/dock/`);
      await page.waitFor('document.body.dataset.drawn === "state"');
      await steps(obs, page);
      page.close();
    } finally {
      stops.push(await stopWatchingHelpers(obs));
    }
  };

  await session((obs, page) => t.test('loads the dock in OBS after start-up, connects, opens no windows, reloads, and logs page errors only', async () => {
    assert.deepEqual({ pill: await page.text('#connection'), status: await page.text('#stream-status') },
      { pill: 'Connected', status: 'Offline' });
    await page.evaluate('localStorage.setItem("velmora.e2e", "kept")');
    // No window opens from the panel; a reload comes back to the same dock.
    await page.evaluate('window.open("https://velmora.app/"), undefined');
    await page.evaluate('location.reload()');
    await page.waitFor('document.body.dataset.drawn === "state" && document.getElementById("connection").innerText === "Connected"');
    assert.equal((await page.targets()).filter((target) => target.type === 'page').length, 1,
      'window.open made a page, or the reload lost the dock');
    // The page's warnings and errors reach OBS's log, without the tokens they may carry.
    const quietUntil = obs.log().length;
    await page.evaluate('console.info("just info"); console.error("probe ws://127.0.0.1:1/bridge?token=0123abcd failed");' +
      'console.warn("long #o=" + "f".repeat(200000) + " " + "x".repeat(200000))');
    const probe = (await obs.waitForLog(/.*Dock page error: probe.*/, 5000, { from: quietUntil }))[0];
    const long = (await obs.waitForLog(/.*Dock page warning: long.*/, 5000, { from: quietUntil }))[0];
    const log = obs.log();
    assert.ok(log.indexOf('[velmora] Browser panels from velmora-web-panel') > log.indexOf('==== Startup complete'));
    assert.equal(count(log, 'Web panel: OBS runs as root, where Chromium\'s sandbox cannot work; it is off'), 1);
    assert.doesNotMatch(log.slice(0, quietUntil), /\[velmora\] Dock page (error|warning)/);
    assert.match(probe, /^error: \[velmora\] Dock page error: probe ws:\/\/127\.0\.0\.1:1\/bridge\?token=… failed \(.*:\d+\)$/);
    // The fragment is a long run of f: a short one can turn up in the random id of Chromium's
    // "DevTools listening on" line.
    const leaked = ['0123abcd', 'just info', 'f'.repeat(64)].filter((text) => log.includes(text));
    assert.deepEqual(leaked, [], leaked.map((text) => log.slice(log.indexOf(text) - 120, log.indexOf(text) + 80)).join('\n'));
    assert.ok(long.length < 2200 && long.startsWith('warning: [velmora] Dock page warning: long #o=… xxx'), long.slice(0, 80));
  }));

  await session((obs, page) => t.test('keeps local storage across an OBS restart', async () => {
    assert.equal(await page.evaluate('localStorage.getItem("velmora.e2e")'), 'kept');
  }));

  await t.test('at exit closes, flushes and deletes once, and leaves no engine process behind', () => {
    for (const stop of stops) {
      const exit = stop.run.log.indexOf('==== Shutting down');
      for (const line of LIFECYCLE) assert.equal(count(stop.run.log.slice(exit), `[velmora] Web panel: ${line}\n`), 1, line);
      assertCleanExit(stop.run);
      assert.ok(stop.helpers.length > 0, 'no engine process ran');
      assert.deepEqual(stop.outlived, [], 'engine processes outlived OBS');
    }
  });
});
