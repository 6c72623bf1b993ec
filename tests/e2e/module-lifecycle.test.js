'use strict';
// The module's life in a real OBS: loading and unloading, the stored configuration, the port it
// binds and stores, what it logs, and an exit that nothing a local program holds open delays.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const WebSocket = require('ws');
const { makeHome, withObs, obsVersionFromLog } = require('./lib/obs');
const { DOCK_SERVER } = require('./lib/bridge');
const { assertCleanExit, assertUnloaded } = require('./lib/checks');
const { freePorts, listen, closeServer } = require('./lib/ports');

const LOADING = /\[velmora\] Velmora for OBS (\S+) loading \(OBS (\S+)\)/;
const UNAVAILABLE = 'error: [velmora] The dock cannot start without a local port; Velmora is unavailable this session';
const boundPort = (log) => Number((log.match(DOCK_SERVER) || [])[1]);

// Resolves once open; a refused upgrade rejects.
const openSocket = (url, origin) => new Promise((resolve, reject) => {
  const ws = new WebSocket(url, { origin }).once('open', () => resolve(ws)).once('error', reject);
});

test('the module across OBS runs with one configuration folder', { timeout: 180000 }, async (t) => {
  const home = makeHome();
  t.after(() => home.cleanup());
  let open = null;
  let stopMs;
  // The token in upper case: the module keeps it in lower case.
  const fresh = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: home.token.toUpperCase() } }, async (obs) => {
    const port = await obs.dockPort();
    // Left open at SIGINT: a dock, an overlay and a crowd of idle connections.
    open = {
      dock: await obs.connect(),
      overlay: await openSocket(`ws://127.0.0.1:${port}/overlay?token=${home.readConfig().overlayToken}`,
        `http://127.0.0.1:${port}`),
      idle: await Promise.all(Array.from({ length: 300 }, () => new Promise((resolve) => {
        const s = net.connect({ host: '127.0.0.1', port }, () => resolve(s)).on('error', () => resolve(s));
      }))),
    };
    const started = Date.now();
    const stopped = await obs.stop();
    stopMs = Date.now() - started;
    for (const s of open.idle) s.destroy();
    open.overlay.terminate();
    return stopped;
  });

  await t.test('logs its version and the running OBS version, and OBS lists it and finds its text', () => {
    const m = fresh.log.match(LOADING);
    assert.deepEqual(m && [m[1], m[2]], ['1.0.1', obsVersionFromLog(fresh.log)]);
    assert.match(fresh.fileLog, LOADING, 'the same lines go to OBS\'s log file');
    assert.match(fresh.log, /Loaded Modules:\n(?:.*\n)*?.*velmora-obs-plugin\.so\n/);
    assert.doesNotMatch(fresh.log, /Failed to load '[^']*' text for module: '[^']*velmora/);
  });

  await t.test('without a configuration binds the default port and stores a new overlay token', () => {
    assert.equal(boundPort(fresh.log), 41471);
    assert.match(home.readConfig().overlayToken ?? '', /^[0-9a-f]{64}$/);
  });

  await t.test('exits promptly with a dock, an overlay and 300 idle connections open', (st) => {
    st.diagnostic(`OBS exited ${stopMs} ms after SIGINT`);
    assert.ok(open.dock.closeInfo, 'the dock was not closed');
    assert.ok(stopMs < 3000, `OBS took ${stopMs} ms to exit`);
  });

  // With the stored port and the nineteen after it taken the module gives up, and the stored port
  // stays (a move to the next one is the overlay suite's).
  const first = await freePorts(20);
  const held = [];
  let none;
  try {
    for (let p = first; p < first + 20; p++) held.push(await listen(p));
    fs.writeFileSync(home.configFile, JSON.stringify({ port: first, overlayToken: home.readConfig().overlayToken }));
    none = await withObs({ home }, async (obs) => {
      await obs.waitForLog(UNAVAILABLE, 5000);
      return obs.stop();
    });
  } finally {
    await Promise.all(held.map(closeServer));
  }

  await t.test('with no port free says why, gives up and keeps the stored port', () => {
    const noPort = none.log.indexOf('error: [velmora] Could not open a local port for the dock');
    assert.ok(noPort >= 0 && none.log.indexOf(UNAVAILABLE) > noPort, 'the two error lines, in order');
    assert.doesNotMatch(none.log, DOCK_SERVER);
    assert.equal(home.readConfig().port, first);
  });

  await t.test('unloads at shutdown, and OBS exits cleanly without leaks', () => {
    for (const run of [fresh, none]) {
      assertUnloaded(run.log);
      assertCleanExit(run);
    }
  });
});
