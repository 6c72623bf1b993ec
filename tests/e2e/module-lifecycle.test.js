'use strict';
// The module's life in a real OBS: loading and unloading, the stored configuration, the port it
// binds and stores, what it logs, and an exit that nothing a local program holds open delays.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const WebSocket = require('ws');
const { makeHome, withObs, obsVersionFromLog } = require('./lib/obs');
const { DOCK_SERVER } = require('./lib/bridge');
const { settle, unwrap, assertCleanExit, assertUnloaded } = require('./lib/checks');
const { freePorts, listen, closeServer } = require('./lib/ports');

const LOADING = /\[velmora\] Velmora for OBS (\S+) loading \(OBS (\S+)\)/;
const UNAVAILABLE = 'error: [velmora] The dock cannot start without a local port; Velmora is unavailable this session';
const boundPort = (log) => Number((log.match(DOCK_SERVER) || [])[1]);

// Resolves once open; a refused upgrade rejects.
const openSocket = (url, origin) => new Promise((resolve, reject) => {
  const ws = new WebSocket(url, { origin }).once('open', () => resolve(ws)).once('error', reject);
});

describe('the module across OBS runs with one configuration folder', { timeout: 180000 }, () => {
  const runs = {};
  const r = {};
  let home;

  before(async () => {
    home = makeHome();
    // The token in upper case: the module keeps it in lower case.
    runs.fresh = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: home.token.toUpperCase() } }, async (obs) => {
      const port = await obs.dockPort();
      // Left open at SIGINT: a dock, an overlay and a crowd of idle connections.
      r.open = await settle(async () => ({
        dock: await obs.connect(),
        overlay: await openSocket(`ws://127.0.0.1:${port}/overlay?token=${home.readConfig().overlayToken}`,
          `http://127.0.0.1:${port}`),
        idle: await Promise.all(Array.from({ length: 300 }, () => new Promise((resolve) => {
          const s = net.connect({ host: '127.0.0.1', port }, () => resolve(s)).on('error', () => resolve(s));
        }))),
      }));
      const started = Date.now();
      const stopped = await obs.stop();
      r.stopMs = Date.now() - started;
      for (const s of r.open.value?.idle || []) s.destroy();
      r.open.value?.overlay.terminate();
      return stopped;
    });
    r.overlayToken = home.readConfig().overlayToken;

    // With the stored port and the nineteen after it taken the module gives up, and the stored port
    // stays (a move to the next one is the overlay suite's).
    const first = await freePorts(20);
    r.first = first;
    const held = [];
    try {
      for (let p = first; p < first + 20; p++) held.push(await listen(p));
      fs.writeFileSync(home.configFile, JSON.stringify({ port: first, overlayToken: r.overlayToken }));
      runs.none = await withObs({ home }, async (obs) => {
        await obs.waitForLog(UNAVAILABLE, 5000);
        return obs.stop();
      });
      r.nonePort = home.readConfig().port;
    } finally {
      await Promise.all(held.map(closeServer));
    }
  });
  after(() => home && home.cleanup());

  it('logs its version and the running OBS version, and OBS lists it and finds its text', () => {
    const m = runs.fresh.log.match(LOADING);
    assert.deepEqual(m && [m[1], m[2]], ['1.0.1', obsVersionFromLog(runs.fresh.log)]);
    assert.match(runs.fresh.fileLog, LOADING, 'the same lines go to OBS\'s log file');
    assert.match(runs.fresh.log, /Loaded Modules:\n(?:.*\n)*?.*velmora-obs-plugin\.so\n/);
    assert.doesNotMatch(runs.fresh.log, /Failed to load '[^']*' text for module: '[^']*velmora/);
  });

  it('without a configuration binds the default port and stores a new overlay token', () => {
    assert.equal(boundPort(runs.fresh.log), 41471);
    assert.match(r.overlayToken ?? '', /^[0-9a-f]{64}$/);
  });

  it('exits promptly with a dock, an overlay and 300 idle connections open', (t) => {
    t.diagnostic(`OBS exited ${r.stopMs} ms after SIGINT`);
    assert.ok(unwrap(r.open).dock.closeInfo, 'the dock was not closed');
    assert.ok(r.stopMs < 3000, `OBS took ${r.stopMs} ms to exit`);
  });

  it('with no port free says why, gives up and keeps the stored port', () => {
    const { log } = runs.none;
    const noPort = log.indexOf('error: [velmora] Could not open a local port for the dock');
    assert.ok(noPort >= 0 && log.indexOf(UNAVAILABLE) > noPort, 'the two error lines, in order');
    assert.doesNotMatch(log, DOCK_SERVER);
    assert.equal(r.nonePort, r.first);
  });

  it('unloads at shutdown, and OBS exits cleanly without leaks', () => {
    for (const run of Object.values(runs)) {
      assertUnloaded(run.log);
      assertCleanExit(run);
    }
  });
});
