'use strict';
// The dock as a real browser dock where OBS has no obs-browser: the module's Qt WebEngine panel
// provider in Debian's OBS, read and worked from outside through the engine's DevTools port.

const { describe, it, before } = require('node:test');
const assert = require('node:assert/strict');
const { attachPage } = require('./lib/browser');
const { makeHome, startObs, running, pidsWithCommand } = require('./lib/obs');
const { freePorts } = require('./lib/ports');
const { sleep, poll, settle, unwrap, count, assertCleanExit } = require('./lib/checks');

const LIFECYCLE = ['browser closed', 'store flushed', 'widget deleted', 'store closed', 'panel deleted'];

// Stops OBS and tells which engine helpers were still there half a second after OBS itself ended.
async function stopWatchingHelpers(obs) {
  const helpers = pidsWithCommand('QtWebEngineProcess');
  const stopped = obs.stop();
  await poll(() => !running(obs.pid), 20000, 'OBS gone');
  await sleep(500);
  return { run: await stopped, helpers, outlived: helpers.filter(running) };
}

describe('the Qt WebEngine panel where OBS has no obs-browser', { timeout: 180000 }, () => {
  const r = {};
  before(async () => {
    const port = await freePorts(2);
    const cdpPort = port + 1;
    const home = makeHome({ webPanel: true, config: { port } });
    const env = { QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${cdpPort}`, QT_XCB_GL_INTEGRATION: 'xcb_egl' };
    try {
      let obs = await startObs(home, { env });
      r.first = await settle(async () => {
        await obs.dockPort();
        const page = await attachPage(cdpPort, `:${port}/dock/`);
        await page.waitFor('document.body.dataset.drawn === "state"');
        const shown = { pill: await page.text('#connection'), status: await page.text('#stream-status') };
        await page.evaluate('localStorage.setItem("velmora.e2e", "kept")');
        // No window opens from the panel; a reload comes back to the same dock.
        await page.evaluate('window.open("https://velmora.app/"), undefined');
        await page.evaluate('location.reload()');
        await page.waitFor('document.body.dataset.drawn === "state" && document.getElementById("connection").innerText === "Connected"');
        const pages = (await page.targets()).filter((t) => t.type === 'page').length;
        // The page's warnings and errors reach OBS's log, without the tokens they may carry.
        const quietUntil = obs.log().length;
        await page.evaluate('console.info("just info"); console.error("probe ws://127.0.0.1:1/bridge?token=0123abcd failed");' +
          'console.warn("long #o=" + "f".repeat(200000) + " " + "x".repeat(200000))');
        const probe = (await obs.waitForLog(/.*Dock page error: probe.*/, 5000, { from: quietUntil }))[0];
        const long = (await obs.waitForLog(/.*Dock page warning: long.*/, 5000, { from: quietUntil }))[0];
        page.close();
        return { shown, probe, long, pages, quiet: obs.log().slice(0, quietUntil), all: obs.log() };
      });
      r.firstStop = await stopWatchingHelpers(obs);
      obs = await startObs(home, { env });
      r.second = await settle(async () => {
        await obs.dockPort();
        const page = await attachPage(cdpPort, `:${port}/dock/`);
        await page.waitFor('document.body.dataset.drawn === "state"');
        const kept = await page.evaluate('localStorage.getItem("velmora.e2e")');
        page.close();
        return kept;
      });
      r.secondStop = await stopWatchingHelpers(obs);
    } finally {
      home.cleanup();
    }
  });

  it('loads the dock in OBS after start-up, connects, opens no windows, reloads, and logs page errors only', () => {
    const { shown, quiet, probe, long, all, pages } = unwrap(r.first);
    assert.deepEqual(shown, { pill: 'Connected', status: 'Offline' });
    assert.equal(pages, 1, 'window.open made a page, or the reload lost the dock');
    const log = r.firstStop.run.log;
    assert.ok(log.indexOf('[velmora] Browser panels from velmora-web-panel') > log.indexOf('==== Startup complete'));
    assert.equal(count(log, 'Web panel: OBS runs as root, where Chromium\'s sandbox cannot work; it is off'), 1);
    assert.doesNotMatch(quiet, /\[velmora\] Dock page (error|warning)/);
    assert.match(probe, /^error: \[velmora\] Dock page error: probe ws:\/\/127\.0\.0\.1:1\/bridge\?token=… failed \(.*:\d+\)$/);
    assert.ok(!all.includes('0123abcd') && !all.includes('just info') && !all.includes('ffff'));
    assert.ok(long.length < 2200 && long.startsWith('warning: [velmora] Dock page warning: long #o=… xxx'), long.slice(0, 80));
  });

  it('keeps local storage across an OBS restart', () => {
    assert.equal(unwrap(r.second), 'kept');
  });

  it('at exit closes, flushes and deletes once, and leaves no engine process behind', () => {
    for (const stop of [r.firstStop, r.secondStop]) {
      const exit = stop.run.log.indexOf('==== Shutting down');
      for (const line of LIFECYCLE) assert.equal(count(stop.run.log.slice(exit), `[velmora] Web panel: ${line}\n`), 1, line);
      assertCleanExit(stop.run);
      assert.ok(stop.helpers.length > 0, 'no engine process ran');
      assert.deepEqual(stop.outlived, [], 'engine processes outlived OBS');
    }
  });
});
