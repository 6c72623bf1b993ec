'use strict';
// The module's loopback server inside a real OBS: what it binds and stores, what it logs in
// OBS's log, and that nothing a local program holds open delays OBS's exit.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const WebSocket = require('ws');
const { makeHome, withObs, STAGE_DIR } = require('./lib/obs');
const { connectBridge, dockPort, newToken, DOCK_SERVER } = require('./lib/bridge');
const { settle, unwrap, count, assertCleanExit, assertUnloaded } = require('./lib/checks');
const { freePorts, listen, closeServer } = require('./lib/ports');

const NO_PORT = '[velmora] Could not open a local port for the dock';
const UNAVAILABLE = '[velmora] The dock cannot start without a local port; Velmora is unavailable this session';
const IO_TIMEOUT_MS = 5000;

/** Holds 127.0.0.1 listeners on ports; the result closes them. */
async function holdPorts(ports) {
  const servers = [];
  for (const port of ports) servers.push(await listen(port));
  return () => Promise.all(servers.map(closeServer));
}

/** Ports among the given ones on which process pid listens (from this namespace's tables). */
function portsListenedBy(pid, ports) {
  const own = new Set();
  for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
    const m = (() => { try { return fs.readlinkSync(`/proc/${pid}/fd/${fd}`); } catch { return ''; } })()
      .match(/^socket:\[(\d+)\]$/);
    if (m) own.add(m[1]);
  }
  const out = new Set();
  for (const line of fs.readFileSync('/proc/net/tcp', 'utf8').split('\n').slice(1)) {
    const f = line.trim().split(/\s+/);
    const port = f.length >= 10 && f[3] === '0A' && own.has(f[9]) ? parseInt(f[1].split(':')[1], 16) : null;
    if (port !== null && (!ports || ports.includes(port))) out.add(port);
  }
  return [...out];
}

function getDock(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host: '127.0.0.1', port }, () =>
      socket.end(`GET /dock/ HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`));
    const chunks = [];
    socket.on('data', (c) => chunks.push(c));
    socket.on('error', reject);
    socket.on('close', () => resolve(Buffer.concat(chunks)));
  });
}

function refusedUpgrade(url, origin) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url, { origin, handshakeTimeout: IO_TIMEOUT_MS });
    ws.once('open', () => { ws.terminate(); reject(new Error(`${url} was accepted`)); });
    ws.once('unexpected-response', (req, res) => { req.destroy(); resolve(res.statusCode); });
    ws.once('error', reject);
  });
}

describe('dock server in OBS with the stored port free', { timeout: 120000 }, () => {
  const r = {};
  const token = newToken().toUpperCase(); // the module keeps it in lower case
  let port;
  let home;
  let run;

  before(async () => {
    port = await freePorts(1);
    home = makeHome({ config: { port } });
    run = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: token } }, async (obs) => {
      r.port = await settle(() => dockPort(obs));
      r.listens = await settle(async () => portsListenedBy(obs.pid));
      r.dock = await settle(() => getDock(port));
      r.refused = await settle(() => refusedUpgrade(`ws://127.0.0.1:${port}/bridge?token=${token}`,
        `http://localhost:${port}`));
      const overlayToken = home.readConfig().overlayToken;
      // Left open at SIGINT: a dock, an overlay, and a crowd of idle connections.
      r.open = await settle(async () => ({
        dock: await connectBridge({ port, token: token.toLowerCase() }),
        overlay: await new Promise((resolve, reject) => {
          const ws = new WebSocket(`ws://127.0.0.1:${port}/overlay?token=${overlayToken}`,
            { origin: `http://127.0.0.1:${port}` });
          ws.once('open', () => resolve(ws));
          ws.once('error', reject);
        }),
        idle: await Promise.all(Array.from({ length: 300 }, () => new Promise((resolve) => {
          const s = net.connect({ host: '127.0.0.1', port }, () => resolve(s));
          s.on('error', () => resolve(s));
        }))),
      }));
      const stopStarted = Date.now();
      const stopped = await obs.stop();
      r.stopMs = Date.now() - stopStarted;
      if (r.open.value) {
        for (const s of r.open.value.idle) s.destroy();
        r.open.value.overlay.terminate();
      }
      return stopped;
    });
  });
  after(() => home && home.cleanup());

  it('binds the stored port, logs it and keeps it in config.json', () => {
    assert.equal(unwrap(r.port), port);
    assert.deepEqual(unwrap(r.listens), [port], 'OBS listens on something else as well');
    assert.equal(home.readConfig().port, port);
  });

  it('serves the staged dock page', () => {
    const reply = unwrap(r.dock).toString('latin1');
    const index = fs.readFileSync(path.join(STAGE_DIR, 'data', 'web', 'index.html'), 'latin1');
    assert.match(reply, /^HTTP\/1\.1 200 OK\r\n/);
    assert.ok(reply.includes(`connect-src 'self' ws://127.0.0.1:${port} `), 'the policy names another port');
    assert.ok(reply.endsWith(`\r\n\r\n${index}`), 'the body is not data/web/index.html');
  });

  it('logs the test token and a refused connection as warnings', () => {
    assert.equal(unwrap(r.refused), 403);
    assert.match(run.log, /warning: \[velmora\] Using a test bridge token from the environment/);
    assert.equal(count(run.log, 'warning: [velmora] Refused a bridge connection that is not ours'), 1);
    assert.ok(run.log.includes('[velmora] An overlay connected'));
  });

  it('exits promptly with a dock, an overlay and 300 idle connections open', (t) => {
    const { dock } = unwrap(r.open);
    t.diagnostic(`OBS exited ${r.stopMs} ms after SIGINT`);
    assert.ok(r.stopMs < 3000, `OBS took ${r.stopMs} ms to exit`);
    assert.ok(dock.closeInfo, 'the dock was not closed');
    assertUnloaded(run.log);
    assertCleanExit(run);
  });
});

describe('dock server in OBS with its ports taken', { timeout: 120000 }, () => {
  const r = {};
  let first;
  let homes = [];

  before(async () => {
    first = await freePorts(21);
    // The stored port taken: the next one is bound and stored.
    const release = await holdPorts([first]);
    try {
      const home = makeHome({ config: { port: first } });
      homes.push(home);
      r.moved = await withObs({ home }, async (obs) => ({ port: await dockPort(obs), run: await obs.stop() }));
      r.movedConfig = home.readConfig();
    } finally {
      await release();
    }
    // All twenty candidates taken (one more is free: a module trying too far would get it).
    const releaseAll = await holdPorts(Array.from({ length: 20 }, (_, i) => first + i));
    try {
      const home = makeHome({ config: { port: first } });
      homes.push(home);
      r.none = await withObs({ home }, async (obs) => {
        await obs.waitForLog(UNAVAILABLE, IO_TIMEOUT_MS);
        const listens = portsListenedBy(obs.pid);
        return { listens, run: await obs.stop() };
      });
      r.noneConfig = home.readConfig();
    } finally {
      await releaseAll();
    }
  });
  after(() => homes.forEach((h) => h.cleanup()));

  it('moves on to the next port and stores it', () => {
    assert.equal(r.moved.port, first + 1);
    assert.equal(r.movedConfig.port, first + 1);
    assertCleanExit(r.moved.run);
  });

  it('with no port at all, logs why, listens nowhere, keeps the stored port and unloads cleanly', () => {
    const { log } = r.none.run;
    const noPort = log.indexOf(`error: ${NO_PORT}`);
    const unavailable = log.indexOf(`error: ${UNAVAILABLE}`);
    assert.ok(noPort >= 0 && unavailable > noPort, 'the two error lines, in order');
    assert.ok(log.indexOf('[velmora] Velmora for OBS unloaded') > unavailable);
    assert.doesNotMatch(log, DOCK_SERVER);
    assert.deepEqual(r.none.listens, []);
    assert.equal(r.noneConfig.port, first);
    assertCleanExit(r.none.run);
  });
});
