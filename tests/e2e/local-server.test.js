'use strict';
// The module's loopback HTTP and WebSocket server, exercised in a real OBS.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const WebSocket = require('ws');
const { makeHome, withObs, STAGE_DIR } = require('./lib/obs');
const { settle, unwrap } = require('./lib/checks');
const { listen, closeServer } = require('./lib/ports');

const DOCK_SERVER = /\[velmora\] Dock server on 127\.0\.0\.1:(\d+)/;
const TEST_TOKEN_WARNING = '[velmora] Using a test bridge token from the environment';
const REFUSED_BRIDGE = '[velmora] Refused a bridge connection that is not ours';
const REFUSED_OVERLAY = '[velmora] Refused a overlay connection that is not ours';
const OVERLAY_CONNECTED = '[velmora] An overlay connected';
const NO_PORT = '[velmora] Could not open a local port for the dock';
const UNAVAILABLE = '[velmora] The dock cannot start without a local port; Velmora is unavailable this session';
const UNLOADED = '[velmora] Velmora for OBS unloaded';
const PORT_CANDIDATES = 20;
const IO_TIMEOUT_MS = 5000;
const SUITE_TIMEOUT_MS = 120000;

// ---------------------------------------------------------------- helpers

// Rejects with a readable message if promise does not settle within ms.
function deadline(promise, ms, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms: ${what}`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}


/** Holds 127.0.0.1 listeners on ports; release() closes whatever was opened. */
async function holdPorts(ports) {
  const servers = [];
  const release = () => Promise.all(servers.splice(0).map(closeServer));
  try {
    for (const port of ports) servers.push(await listen(port));
  } catch (err) {
    await release();
    throw err;
  }
  return release;
}

// First port of count consecutive ports that can all be bound right now,
// above Linux's ephemeral range so outgoing connections cannot take them.
async function freePortRange(count) {
  for (let attempt = 0; attempt < 50; attempt++) {
    const first = 61000 + crypto.randomInt(4000);
    const ports = Array.from({ length: count }, (_, i) => first + i);
    try {
      const release = await holdPorts(ports);
      await release();
      return first;
    } catch { /* taken, try elsewhere */ }
  }
  throw new Error(`found no ${count} consecutive free ports`);
}

// Inodes of TCP sockets listening on port, from this network namespace's tables.
function listeningInodes(port) {
  const inodes = new Set();
  for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
    let text;
    try { text = fs.readFileSync(table, 'utf8'); } catch { continue; }
    for (const line of text.split('\n').slice(1)) {
      const f = line.trim().split(/\s+/);
      if (f.length < 10 || f[3] !== '0A') continue;
      if (parseInt(f[1].split(':')[1], 16) === port) inodes.add(f[9]);
    }
  }
  return inodes;
}

function socketInodesOf(pid) {
  const inodes = new Set();
  for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
    let target;
    try { target = fs.readlinkSync(`/proc/${pid}/fd/${fd}`); } catch { continue; }
    const m = target.match(/^socket:\[(\d+)\]$/);
    if (m) inodes.add(m[1]);
  }
  return inodes;
}

// Ports among the given ones on which process pid has a listening socket.
function portsListenedBy(pid, ports) {
  const own = socketInodesOf(pid);
  return ports.filter((port) => [...listeningInodes(port)].some((inode) => own.has(inode)));
}

/**
 * Sends request text over a plain socket and returns the raw reply split into
 * status line, header lines in order and body bytes. The server closes after
 * one reply.
 */
function rawRequest(port, text) {
  return deadline(new Promise((resolve, reject) => {
    const chunks = [];
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.on('connect', () => socket.end(text));
    socket.on('data', (c) => chunks.push(c));
    socket.on('error', reject);
    socket.on('close', () => {
      const raw = Buffer.concat(chunks);
      const split = raw.indexOf('\r\n\r\n');
      if (split < 0) return reject(new Error(`no complete response head: ${JSON.stringify(raw.toString('latin1'))}`));
      const lines = raw.subarray(0, split).toString('latin1').split('\r\n');
      const headers = lines.slice(1).map((l) => {
        const i = l.indexOf(':');
        return [l.slice(0, i), l.slice(i + 1).trim()];
      });
      resolve({
        statusLine: lines[0],
        headerLines: lines.slice(1),
        header: (name) => (headers.find(([n]) => n.toLowerCase() === name.toLowerCase()) || [])[1],
        body: raw.subarray(split + 4),
      });
    });
  }), IO_TIMEOUT_MS, `HTTP reply on port ${port}`);
}

const get = (port, target, host) => rawRequest(port,
  `GET ${target} HTTP/1.1\r\n${host === null ? '' : `Host: ${host}\r\n`}Accept: */*\r\n\r\n`);

/**
 * Opens a WebSocket and resolves to the open client, or rejects; a refused
 * upgrade rejects with err.statusCode and err.body.
 */
function openSocket(url, origin) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url, { handshakeTimeout: IO_TIMEOUT_MS, ...(origin ? { origin } : {}) });
    ws.closed = new Promise((r) => ws.on('close', (code, reason) => r({ code, reason: reason.toString() })));
    ws.once('open', () => resolve(ws));
    ws.once('error', reject);
    ws.once('unexpected-response', (req, res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const err = new Error(`upgrade refused with ${res.statusCode}`);
        err.statusCode = res.statusCode;
        err.contentType = res.headers['content-type'];
        err.body = Buffer.concat(chunks).toString('utf8');
        req.destroy();
        reject(err);
      });
    });
  });
}

// Expects the upgrade to be refused, and returns the refusal.
async function refusedSocket(url, origin) {
  try {
    const ws = await openSocket(url, origin);
    ws.terminate();
  } catch (err) {
    if (err.statusCode) return { statusCode: err.statusCode, contentType: err.contentType, body: err.body };
    throw err;
  }
  throw new Error(`${url} with Origin ${origin} was accepted`);
}

function pingPong(ws, payload) {
  const pong = new Promise((resolve) => ws.once('pong', resolve));
  ws.ping(payload);
  return deadline(pong, IO_TIMEOUT_MS, 'pong');
}

const count = (text, needle) => text.split(needle).length - 1;

function assertCleanExit(run) {
  assert.equal(run.timedOut, false, 'OBS did not exit after SIGINT');
  assert.equal(run.signal, null);
  assert.equal(run.code, 0, `OBS exit code ${run.code}`);
  const leaks = run.fileLog.match(/Number of memory leaks: (\d+)/);
  assert.ok(leaks, 'OBS logged no memory leak count');
  assert.equal(leaks[1], '0');
}

function assertUnloadedAtShutdown(log) {
  const shutdown = log.indexOf('==== Shutting down');
  assert.ok(shutdown >= 0, 'OBS never started shutting down');
  assert.ok(log.indexOf(UNLOADED, shutdown) > shutdown, 'no unload line after shutdown began');
}

// Logged port of the dock server, waiting for the line if need be.
async function dockPort(obs) {
  const m = await obs.waitForLog(DOCK_SERVER, IO_TIMEOUT_MS);
  return Number(m[1]);
}

// Waits for needle to be logged after offset; resolves to its position.
async function loggedAfter(obs, needle, offset) {
  return (await obs.waitForLog(needle, IO_TIMEOUT_MS, { from: offset })).index;
}

// ---------------------------------------------------------------- one OBS run, many requests

describe('dock server with the stored port free', { timeout: SUITE_TIMEOUT_MS }, () => {
  const r = {};
  let port;
  let home;
  let run;
  // Mixed case on purpose: the module keeps the token lower-cased.
  const envToken = `AbCdEf${crypto.randomBytes(29).toString('hex').toUpperCase()}`;
  const bridgeToken = envToken.toLowerCase();
  const otherToken = crypto.randomBytes(32).toString('hex');
  const indexHtml = fs.readFileSync(path.join(STAGE_DIR, 'data', 'web', 'index.html'));

  before(async () => {
    port = await freePortRange(1);
    home = makeHome({ config: { port } });
    const origin = `http://127.0.0.1:${port}`;
    const bridgeUrl = (token) => `ws://127.0.0.1:${port}/bridge?token=${token}`;
    const overlayUrl = (token) => `ws://127.0.0.1:${port}/overlay?token=${token}`;

    run = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: envToken } }, async (obs) => {
      r.boundPort = await settle(() => dockPort(obs));
      r.listeners = await settle(async () => portsListenedBy(obs.pid, [port]));
      r.configDuringRun = await settle(async () => home.readConfig());

      r.dock = await settle(() => get(port, '/dock/', `127.0.0.1:${port}`));
      r.dockLocalhost = await settle(() => get(port, '/dock/', `localhost:${port}`));
      r.redirects = await settle(async () => ({
        root: await get(port, '/', `127.0.0.1:${port}`),
        dock: await get(port, '/dock', `127.0.0.1:${port}`),
      }));
      const badHosts = [null, 'example.com', '127.0.0.1', `127.0.0.1:${port + 1}`,
        `attacker.example:${port}`, `Localhost:${port}`, `[::1]:${port}`, `127.0.0.1:${port} `];
      r.wrongHosts = await settle(async () => {
        const out = [];
        for (const host of badHosts) out.push({ host, reply: await get(port, '/dock/', host) });
        return out;
      });

      // Accepted bridge: ping/pong, then a close handshake started by the client.
      r.bridge = await settle(async () => {
        const ws = await openSocket(bridgeUrl(bridgeToken), origin);
        const text = Buffer.from('velmora ping 1');
        const bytes = Buffer.from([0, 1, 2, 0x7f, 0x80, 0xfe, 0xff]);
        const pongs = [await pingPong(ws, text), await pingPong(ws, bytes), await pingPong(ws, Buffer.alloc(0))];
        const started = Date.now();
        ws.close(1000, 'done');
        const closed = await deadline(ws.closed, IO_TIMEOUT_MS, 'close after a close frame');
        return { pongs, expected: [text, bytes, Buffer.alloc(0)], closed, closeMs: Date.now() - started };
      });

      const refusal = async (needle, url, originHeader) => {
        const offset = obs.log().length;
        const reply = await refusedSocket(url, originHeader);
        const logged = await settle(() => loggedAfter(obs, needle, offset));
        return { reply, logged };
      };
      r.noOrigin = await settle(() => refusal(REFUSED_BRIDGE, bridgeUrl(bridgeToken), null));
      r.localhostOrigin = await settle(() => refusal(REFUSED_BRIDGE, bridgeUrl(bridgeToken), `http://localhost:${port}`));
      r.wrongToken = await settle(() => refusal(REFUSED_BRIDGE, bridgeUrl(otherToken), origin));
      r.overlayWrongToken = await settle(() => refusal(REFUSED_OVERLAY, overlayUrl(otherToken), origin));

      r.overlay = await settle(async () => {
        const token = home.readConfig().overlayToken;
        const offset = obs.log().length;
        const ws = await openSocket(overlayUrl(token), origin);
        const logged = await loggedAfter(obs, OVERLAY_CONNECTED, offset);
        ws.close(1000);
        const closed = await deadline(ws.closed, IO_TIMEOUT_MS, 'overlay close');
        return { logged, closed };
      });

      // Clients left open at SIGINT: shutdown has to close them.
      const lingering = await settle(async () => ({
        bridge: await openSocket(bridgeUrl(bridgeToken), origin),
        overlay: await openSocket(overlayUrl(home.readConfig().overlayToken), origin),
      }));
      r.lingeringOpened = lingering;
      const stopResult = await obs.stop();
      r.lingeringClosed = await settle(async () => {
        const { bridge, overlay } = unwrap(lingering);
        try {
          return {
            bridge: await deadline(bridge.closed, IO_TIMEOUT_MS, 'bridge close at shutdown'),
            overlay: await deadline(overlay.closed, IO_TIMEOUT_MS, 'overlay close at shutdown'),
          };
        } finally {
          bridge.terminate();
          overlay.terminate();
        }
      });
      return stopResult;
    });
  });
  after(() => home && home.cleanup());

  it('binds the stored port and logs it', () => {
    assert.equal(unwrap(r.boundPort), port);
    assert.deepEqual(unwrap(r.listeners), [port], 'OBS holds no listening socket on the logged port');
    assert.equal(unwrap(r.configDuringRun).port, port);
    assert.equal(home.readConfig().port, port, 'the stored port changed although it was free');
  });

  it('takes the bridge token from the environment and says so', () => {
    assert.ok(run.log.includes(TEST_TOKEN_WARNING), 'no warning about the test token');
    assert.match(run.log, /warning: \[velmora\] Using a test bridge token from the environment/);
  });

  it('serves the dock page with the exact status line, headers in order and body', () => {
    for (const reply of [unwrap(r.dock), unwrap(r.dockLocalhost)]) {
      assert.equal(reply.statusLine, 'HTTP/1.1 200 OK');
      const csp = reply.headerLines[6] || '';
      assert.deepEqual(reply.headerLines.slice(0, 6), [
        'Content-Type: text/html; charset=utf-8',
        `Content-Length: ${indexHtml.length}`,
        'Connection: close',
        'X-Content-Type-Options: nosniff',
        'Referrer-Policy: no-referrer',
        'Cache-Control: no-store',
      ]);
      assert.equal(reply.headerLines.length, 7, `unexpected headers: ${JSON.stringify(reply.headerLines)}`);
      const m = csp.match(new RegExp(
        '^Content-Security-Policy: default-src \'self\'; script-src \'self\'; ' +
        'style-src \'self\' \'unsafe-inline\'; img-src \'self\' data: blob: https:; ' +
        'font-src \'self\' data:; media-src \'self\' data:; ' +
        `connect-src 'self' ws://127\\.0\\.0\\.1:${port}((?: [^ ;]+)*); ` +
        'frame-src \'none\'; object-src \'none\'; base-uri \'none\'; form-action \'none\'; ' +
        'frame-ancestors \'none\'$'));
      assert.ok(m, `policy differs: ${csp}`);
      const extra = m[1].trim().split(' ');
      assert.equal(extra.length, 5, `connect-src origins after the local one: ${m[1]}`);
      for (const o of extra) assert.match(o, /^(https|wss):\/\/[a-z0-9.-]+$/);
      assert.ok(reply.body.equals(indexHtml), 'body differs from the staged data/web/index.html');
    }
  });

  it('redirects / and /dock to /dock/', () => {
    const { root, dock } = unwrap(r.redirects);
    for (const reply of [root, dock]) {
      assert.match(reply.statusLine, /^HTTP\/1\.1 302 /);
      assert.equal(reply.header('Location'), '/dock/');
    }
  });

  it('answers 403 "Forbidden" to any other Host', () => {
    for (const { host, reply } of unwrap(r.wrongHosts)) {
      const label = host === null ? 'no Host' : `Host ${JSON.stringify(host)}`;
      assert.equal(reply.statusLine, 'HTTP/1.1 403 Forbidden', label);
      assert.match(reply.header('Content-Type') || '', /^text\/plain/, label);
      assert.equal(reply.body.toString('utf8'), 'Forbidden', label);
    }
  });

  it('accepts the bridge with our Origin and token, answers pings and closes cleanly', (t) => {
    const { pongs, expected, closed, closeMs } = unwrap(r.bridge);
    t.diagnostic(`close code ${closed.code} after ${closeMs} ms`);
    pongs.forEach((p, i) => assert.ok(p.equals(expected[i]), `pong ${i} payload ${p.toString('hex')}`));
    // 1006 would mean the connection ended without a close frame from the server.
    assert.notEqual(closed.code, 1006, 'no close frame came back');
    assert.ok(closeMs < 2000, `close took ${closeMs} ms`);
  });

  const refusals = {
    'refuses the bridge without an Origin': ['noOrigin', REFUSED_BRIDGE],
    'refuses the bridge from Origin http://localhost:<port>': ['localhostOrigin', REFUSED_BRIDGE],
    'refuses the bridge with a wrong token': ['wrongToken', REFUSED_BRIDGE],
    'refuses an overlay with a wrong token': ['overlayWrongToken', REFUSED_OVERLAY],
  };
  for (const [name, [key, needle]] of Object.entries(refusals)) {
    it(`${name} with 403 and a warning`, () => {
      const { reply, logged } = unwrap(r[key]);
      assert.equal(reply.statusCode, 403);
      assert.match(reply.contentType || '', /^text\/plain/);
      assert.equal(reply.body, 'Forbidden');
      unwrap(logged);
      assert.match(run.log, new RegExp(`warning: ${needle.replace(/[[\]]/g, '\\$&')}`));
    });
  }

  it('logs exactly one warning per refused connection', () => {
    assert.equal(count(run.log, REFUSED_BRIDGE), 3);
    assert.equal(count(run.log, REFUSED_OVERLAY), 1);
  });

  it('accepts an overlay with the token from config.json and logs it', () => {
    const { closed } = unwrap(r.overlay);
    assert.match(unwrap(r.configDuringRun).overlayToken ?? '', /^[0-9a-f]{64}$/);
    assert.notEqual(closed.code, 1006, 'no close frame came back');
    assert.equal(count(run.log, OVERLAY_CONNECTED), 2, 'one line per accepted overlay');
  });

  it('closes clients still connected at shutdown and unloads cleanly', (t) => {
    unwrap(r.lingeringOpened);
    const { bridge, overlay } = unwrap(r.lingeringClosed);
    t.diagnostic(`close codes at shutdown: bridge ${bridge.code}, overlay ${overlay.code}`);
    assertUnloadedAtShutdown(run.log);
    assertCleanExit(run);
  });
});

// ---------------------------------------------------------------- busy ports

describe('dock server with the stored port taken', { timeout: SUITE_TIMEOUT_MS }, () => {
  let port;
  let home;
  let run;
  const r = {};

  before(async () => {
    port = await freePortRange(2);
    home = makeHome({ config: { port } });
    const release = await holdPorts([port]);
    try {
      run = await withObs({ home }, async (obs) => {
        r.boundPort = await settle(() => dockPort(obs));
        r.listeners = await settle(async () => portsListenedBy(obs.pid, [port, port + 1]));
        r.dock = await settle(() => get(port + 1, '/dock/', `127.0.0.1:${port + 1}`));
        r.configDuringRun = await settle(async () => home.readConfig());
        return obs.stop();
      });
    } finally {
      await release();
    }
  });
  after(() => home && home.cleanup());

  it('moves on to the next port', () => {
    assert.equal(unwrap(r.boundPort), port + 1);
    assert.deepEqual(unwrap(r.listeners), [port + 1]);
    const dock = unwrap(r.dock);
    assert.equal(dock.statusLine, 'HTTP/1.1 200 OK');
    assert.ok(dock.header('Content-Security-Policy').includes(`connect-src 'self' ws://127.0.0.1:${port + 1} `));
  });

  it('stores the new port in config.json', () => {
    const during = unwrap(r.configDuringRun);
    assert.equal(during.port, port + 1);
    const afterRun = home.readConfig();
    assert.equal(afterRun.port, port + 1);
    assert.equal(afterRun.overlayToken, during.overlayToken, 'the overlay token changed');
  });

  it('unloads cleanly', () => {
    assertUnloadedAtShutdown(run.log);
    assertCleanExit(run);
  });
});

// Runs OBS with every candidate port from first on taken and checks the
// module gives up without listening anywhere.
function noPortSuite(name, { pickFirst, held }) {
  describe(name, { timeout: SUITE_TIMEOUT_MS }, () => {
    let first;
    let home;
    let run;
    let heldPorts;
    let skip = null;
    const r = {};

    before(async () => {
      const picked = await pickFirst();
      if (typeof picked === 'string') { skip = picked; return; }
      first = picked;
      heldPorts = held(first);
      home = makeHome({ config: { port: first } });
      const release = await holdPorts(heldPorts);
      try {
        run = await withObs({ home }, async (obs) => {
          r.unavailable = await settle(() => obs.waitForLog(UNAVAILABLE, IO_TIMEOUT_MS));
          // The module has given up; anything it listens on now is a leftover.
          const scan = heldPorts.concat([heldPorts.at(-1) + 1].filter((p) => p <= 65535));
          r.listeners = await settle(async () => portsListenedBy(obs.pid, scan));
          r.allListeners = await settle(async () => {
            const own = socketInodesOf(obs.pid);
            const out = [];
            for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
              for (const line of fs.readFileSync(table, 'utf8').split('\n').slice(1)) {
                const f = line.trim().split(/\s+/);
                if (f.length >= 10 && f[3] === '0A' && own.has(f[9])) out.push(f[1]);
              }
            }
            return out;
          });
          return obs.stop();
        });
      } finally {
        await release();
      }
    });
    after(() => home && home.cleanup());

    it('logs that no port could be opened, that it is unavailable, and unloads, in that order', (t) => {
      if (skip) return t.skip(skip);
      unwrap(r.unavailable);
      const log = run.log;
      const noPort = log.indexOf(NO_PORT);
      const unavailable = log.indexOf(UNAVAILABLE);
      const unloaded = log.indexOf(UNLOADED);
      assert.ok(noPort >= 0, 'no "could not open" line');
      assert.ok(unavailable > noPort, 'the unavailable line does not follow the could-not-open line');
      assert.ok(unloaded > unavailable, 'no unload line after the unavailable line');
      assert.match(log, /error: \[velmora\] Could not open a local port for the dock/);
      assert.match(log, /error: \[velmora\] The dock cannot start without a local port/);
      assert.doesNotMatch(log, DOCK_SERVER);
    });

    it('listens on no port at all', (t) => {
      if (skip) return t.skip(skip);
      assert.deepEqual(unwrap(r.listeners), []);
      assert.deepEqual(unwrap(r.allListeners), [], 'OBS has a listening TCP socket');
    });

    it('keeps the stored port', (t) => {
      if (skip) return t.skip(skip);
      assert.equal(home.readConfig().port, first);
    });

    it('exits cleanly', (t) => {
      if (skip) return t.skip(skip);
      assertUnloadedAtShutdown(run.log);
      assertCleanExit(run);
    });
  });
}

noPortSuite('dock server with all twenty candidate ports taken', {
  // One more than the module may try, so a module trying too far would get it.
  pickFirst: () => freePortRange(PORT_CANDIDATES + 1),
  held: (first) => Array.from({ length: PORT_CANDIDATES }, (_, i) => first + i),
});

noPortSuite('dock server near the top of the port range', {
  // The candidates stop at 65535 instead of wrapping round to low ports.
  pickFirst: async () => {
    const first = 65530;
    try {
      await (await holdPorts(Array.from({ length: 65536 - first }, (_, i) => first + i)))();
      return first;
    } catch {
      return `ports ${first}..65535 are not all free here`;
    }
  },
  held: (first) => Array.from({ length: 65536 - first }, (_, i) => first + i),
});
