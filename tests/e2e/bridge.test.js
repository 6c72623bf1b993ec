'use strict';
// The /bridge protocol in a real OBS: state on connect and on request, messages that must be
// ignored (a deeply nested one among them), the switch to a Velmora stream service and back
// with what is stored on disk, switches that must not happen, a dock that stops reading, and the
// exit event at shutdown. obs-websocket tells what OBS holds in memory.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { makeHome, withObs, obsVersionFromLog } = require('./lib/obs');
const { connectBridge, dockPort, newToken } = require('./lib/bridge');
const { obsWebSocketIni, connectObsWebSocket } = require('./lib/obsws');
const { freePorts } = require('./lib/ports');
const {
  sleep, settle, unwrap, count, readJson, STATE_KEYS, assertMemberOrder, assertStateShape, assertWellFormed,
  assertExitLast, assertCleanExit,
} = require('./lib/checks');

const SEEDED = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_123' } };
const OTHER = { type: 'rtmp_custom', settings: { server: 'rtmp://127.0.0.1:1/other', key: 'b', use_auth: false } };
const NOW_STREAMS = '[velmora] OBS now streams to Velmora (RTMP)';
const PUT_BACK = '[velmora] Put back the stream service OBS had before Velmora (rtmp_common)';
const NOT_SAVED = 'error: [velmora] Not switching services: the current service could not be saved to put it back later';
const IO_TIMEOUT_MS = 3000;
// Long enough for a reply that would come from OBS's main thread.
const QUIET_MS = 1000;
// Stdout reaches the test through another pipe than the bridge, a little later.
const LOG_LAG_MS = 300;

async function until(condition, timeoutMs) {
  const deadline = performance.now() + timeoutMs;
  while (!condition()) {
    if (performance.now() > deadline) throw new Error(`not reached in ${timeoutMs} ms: ${condition}`);
    await sleep(20);
  }
}

const deepPublish = (levels) =>
  `{"action":"overlay_publish","state":${'{"a":'.repeat(levels)}1${'}'.repeat(levels)}}`;
const IGNORED = ['not json', '{"action":"hello"', '[{"action":"hello"}]', '{"action":"HELLO"}',
  '{"action":"no_such_action"}', deepPublish(2000)];

describe('bridge protocol and stream-service switch', { timeout: 180000 }, () => {
  const token = newToken();
  const r = {};
  let home;
  let run;
  let port;
  let overlayToken;
  let obsVersion;
  let rtmpUrl;
  let files;

  before(async () => {
    port = await freePorts(1);
    const wsPort = await freePorts(1, [port]);
    rtmpUrl = `rtmp://127.0.0.1:${await freePorts(1, [port, wsPort])}/live`; // never streamed to
    home = makeHome({ service: SEEDED, profiles: { other: OTHER }, config: { port }, globalIni: obsWebSocketIni(wsPort) });
    files = {
      service: path.join(home.profileDir, 'service.json'),
      otherService: path.join(home.obsDir, 'basic', 'profiles', 'other', 'service.json'),
      record: path.join(home.configDir, 'restore-service.json'),
      target: path.join(home.configDir, 'restore-target.txt'),
    };
    const text = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : null);
    const snapshot = () => ({
      service: text(files.service), other: text(files.otherService), config: text(home.configFile),
      record: text(files.record), target: text(files.target),
    });

    run = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: token } }, async (obs) => {
      obsVersion = obsVersionFromLog(obs.log());
      r.port = await settle(() => dockPort(obs));
      overlayToken = home.readConfig().overlayToken;
      const obsws = await connectObsWebSocket(wsPort);
      let a;
      let b;
      // Sends from one client and returns the next state both clients get, with what was logged.
      const stateAfter = async (sender, message) => {
        const [ma, mb, logFrom] = [a.mark(), b.mark(), obs.log().length];
        sender.send(message);
        const result = {
          a: await a.waitFor('state', IO_TIMEOUT_MS, { from: ma }),
          b: await b.waitFor('state', IO_TIMEOUT_MS, { from: mb }),
        };
        await sleep(LOG_LAG_MS);
        return { ...result, log: obs.log().slice(logFrom), live: await obsws.streamService(), files: snapshot() };
      };
      const useVelmora = { action: 'use_velmora', mode: 'rtmp', url: rtmpUrl, key: 'k' };

      r.connect = await settle(async () => {
        a = await connectBridge({ port, token, name: 'A' });
        const first = await a.waitFor('state', IO_TIMEOUT_MS);
        const beforeB = a.mark();
        b = await connectBridge({ port, token, name: 'B' });
        return { first, bFirst: await b.waitFor('state', IO_TIMEOUT_MS), aSecond: await a.waitFor('state', IO_TIMEOUT_MS, { from: beforeB }) };
      });
      unwrap(r.connect);
      const base = [a.mark(), b.mark()];

      r.requests = await settle(async () => ({
        hello: await stateAfter(a, { action: 'hello' }),
        getState: await stateAfter(b, { action: 'get_state' }),
      }));

      r.ignored = await settle(async () => {
        const [ma, mb] = [a.mark(), b.mark()];
        for (const message of IGNORED) a.send(message);
        await sleep(QUIET_MS);
        const quiet = { a: a.since(ma), b: b.since(mb), open: a.isOpen() && b.isOpen() };
        return { quiet, afterwards: await stateAfter(a, { action: 'hello' }) };
      });

      // Writes that really fail (root ignores permissions): a folder where a file must go.
      r.unsaved = await settle(async () => {
        const out = [];
        for (const blocked of [`${files.record}.tmp`, `${home.configFile}.tmp`]) {
          fs.mkdirSync(blocked);
          const before = snapshot();
          out.push({ blocked: path.basename(blocked), before, ...(await stateAfter(a, useVelmora)) });
          fs.rmdirSync(blocked);
        }
        return out;
      });

      r.switched = await settle(async () => ({ liveBefore: await obsws.streamService(), ...(await stateAfter(a, useVelmora)) }));
      r.again = await settle(async () => ({ before: snapshot(), ...(await stateAfter(b, useVelmora)) }));

      // In another profile nothing of the first profile's may be written over.
      r.otherProfile = await settle(async () => {
        const switched = a.mark();
        await obsws.request('SetCurrentProfile', { profileName: 'other' });
        const changed = await a.waitFor('state', IO_TIMEOUT_MS, { from: switched });
        const restore = await stateAfter(a, { action: 'restore_service' });
        const use = await stateAfter(a, useVelmora);
        const from = a.mark();
        await obsws.request('SetCurrentProfile', { profileName: 'test' });
        await a.waitFor((e) => e.event === 'obs' && e.data.type === 'profile_changed', IO_TIMEOUT_MS, { from });
        return { changed, restore, use };
      });

      r.restored = await settle(() => stateAfter(a, { action: 'restore_service' }));
      r.whip = await settle(async () => ({
        before: snapshot(),
        ...(await stateAfter(a, { action: 'use_velmora', mode: 'whip', url: `http://127.0.0.1:${port}/whip`, key: 'x' })),
      }));

      // A dock that stops reading while thousands of states go out: the others get every one,
      // and OBS's main thread keeps answering.
      r.paused = await settle(async () => {
        const p = await connectBridge({ port, token, name: 'P' });
        await p.waitFor('state', IO_TIMEOUT_MS);
        p.ws._socket.pause();
        const [ma, mb] = [a.mark(), b.mark()];
        const requests = 5000;
        const t0 = performance.now();
        for (let i = 0; i < requests; i++) a.send({ action: 'get_state' });
        await until(() => a.since(ma, 'state').length >= requests, 30000);
        const floodMs = performance.now() - t0;
        const t1 = performance.now();
        const mark = b.mark();
        b.send({ action: 'get_state' });
        await b.waitFor('state', IO_TIMEOUT_MS, { from: mark });
        const roundTripMs = performance.now() - t1;
        await until(() => b.since(mb, 'state').length >= requests + 1, IO_TIMEOUT_MS);
        const result = { a: a.since(ma, 'state').length, b: b.since(mb, 'state').length, floodMs, roundTripMs };
        p.ws.terminate();
        return result;
      });

      obsws.close();
      const stopped = await obs.stop();
      r.closed = await settle(() => Promise.all([a, b].map((c) => c.closed)));
      r.sequences = { a: a.since(base[0]).map((e) => e.raw), b: b.since(base[1]).map((e) => e.raw) };
      r.clients = [a, b];
      return stopped;
    });
  });
  after(() => home && home.cleanup());

  it('sends a state to a client that connects, and to the others, without being asked', () => {
    const { first, bFirst, aSecond } = unwrap(r.connect);
    assert.deepEqual(first.data, {
      event: 'state', version: '1.0.1', obsVersion, streaming: false, reconnecting: false,
      serviceIsVelmora: false, previousService: '', lastError: '',
      overlayChatUrl: `http://127.0.0.1:${unwrap(r.port)}/dock/overlay-chat.html#o=${overlayToken}`,
      overlayCountdownUrl: `http://127.0.0.1:${port}/dock/overlay-countdown.html#o=${overlayToken}`,
    });
    assert.equal(aSecond.raw, bFirst.raw, 'the state for B\'s connection did not reach A as well');
  });

  it('answers hello and get_state with a state to every client, members in order', () => {
    const { hello, getState } = unwrap(r.requests);
    for (const pair of [hello, getState]) {
      assertStateShape(pair.a, { port, overlayToken, obsVersion });
      assert.equal(pair.a.raw, pair.b.raw);
    }
    for (const c of r.clients) assertMemberOrder(c, 'state', STATE_KEYS);
  });

  it('ignores malformed, unknown and too deeply nested messages, and stays open', () => {
    const { quiet, afterwards } = unwrap(r.ignored);
    assert.deepEqual([...quiet.a, ...quiet.b].map((e) => e.raw), []);
    assert.ok(quiet.open, 'a connection closed');
    assert.equal(afterwards.a.raw, afterwards.b.raw);
    assert.ok(!run.log.includes('overlay_state'), 'the nested message reached the overlays');
  });

  it('refuses to switch when the old service or its backups cannot be saved, and says why', () => {
    for (const attempt of unwrap(r.unsaved)) {
      assert.deepEqual(attempt.live, SEEDED, `${attempt.blocked}: OBS's service changed`);
      assert.equal(attempt.files.service, attempt.before.service, `${attempt.blocked}: service.json changed`);
      assert.equal(JSON.parse(attempt.files.config).previous, undefined, `${attempt.blocked}: a record was kept`);
      assert.equal(attempt.files.record, null, `${attempt.blocked}: a backup was left behind`);
      assert.ok(attempt.log.includes(NOT_SAVED), `${attempt.blocked}: ${attempt.log}`);
      assert.equal(attempt.a.data.serviceIsVelmora, false);
    }
    assert.match(unwrap(r.unsaved)[1].log, /warning: \[velmora\] Could not save the settings to .*config\.json/);
  });

  it('use_velmora installs the Velmora service, remembers the old one and backs it up', () => {
    const { liveBefore, a, live, files: now, log } = unwrap(r.switched);
    const ours = { type: 'rtmp_custom', settings: { server: rtmpUrl, key: 'k', use_auth: false, velmora_obs: true } };
    assert.deepEqual(JSON.parse(now.service), ours, 'service.json');
    assert.deepEqual(live, ours, 'OBS\'s service in memory');
    assert.ok(log.includes(NOW_STREAMS));
    assert.equal(a.data.serviceIsVelmora, true);
    assert.equal(a.data.previousService, 'Twitch');
    assert.deepEqual(JSON.parse(now.config).previous, { ...liveBefore, target: files.service });
    assert.deepEqual(JSON.parse(now.record), liveBefore, 'restore-service.json');
    assert.equal(now.target, files.service, 'restore-target.txt');
  });

  it('a second identical use_velmora changes and logs nothing but sends a state', () => {
    const { before, files: now, log, a } = unwrap(r.again);
    assert.deepEqual(now, before);
    assert.ok(!log.includes('[velmora]'), `module logged: ${log}`);
    assert.equal(a.data.serviceIsVelmora, true);
  });

  it('in another profile, neither restores over its service nor replaces the first profile\'s record', () => {
    const { changed, restore, use } = unwrap(r.otherProfile);
    assert.equal(changed.data.serviceIsVelmora, false, 'the other profile\'s state');
    for (const step of [restore, use]) {
      assert.deepEqual(step.live, OTHER, 'the other profile\'s service changed');
      assert.deepEqual(JSON.parse(step.files.other), OTHER, 'its service.json changed');
      assert.equal(JSON.parse(step.files.config).previous.type, 'rtmp_common', 'the first profile\'s record changed');
    }
    assert.match(restore.log, /warning: \[velmora\] Not putting back the previous rtmp_common service: /);
    assert.match(use.log, /warning: \[velmora\] Not switching services: the service of another profile is still to be put back/);
  });

  it('restore_service puts the old service back and removes the record and backups', () => {
    const { live, files: now, a } = unwrap(r.restored);
    assert.deepEqual(live, SEEDED);
    assert.deepEqual(JSON.parse(now.service), SEEDED);
    assert.ok(!('previous' in JSON.parse(now.config)));
    assert.equal(now.record, null);
    assert.equal(now.target, null);
    assert.equal(count(run.log, PUT_BACK), 1);
    assert.equal(a.data.serviceIsVelmora, false);
    assert.equal(a.data.previousService, '');
  });

  it('use_velmora whip fails on OBS 29, leaves the service alone and still records the old one', () => {
    const { before, files: now, live, log, a } = unwrap(r.whip);
    assert.match(log, /error: \[velmora\] OBS could not create the whip_custom service/);
    assert.deepEqual(live, SEEDED);
    assert.equal(now.service, before.service);
    assert.equal(JSON.parse(now.config).previous.type, 'rtmp_common');
    assert.equal(a.data.previousService, 'Twitch');
  });

  it('a dock that stops reading holds up neither the other docks nor OBS', (t) => {
    const { a, b, floodMs, roundTripMs } = unwrap(r.paused);
    t.diagnostic(`5000 states in ${Math.round(floodMs)} ms; a get_state meanwhile ${roundTripMs.toFixed(1)} ms`);
    assert.ok(a >= 5000 && b >= 5001, `states received: A ${a}, B ${b}`);
    assert.ok(roundTripMs < 200, `get_state took ${roundTripMs} ms`);
  });

  it('every event is one JSON object led by "event", the same on both clients', () => {
    for (const c of r.clients) assertWellFormed(c);
    assert.deepEqual(r.sequences.b, r.sequences.a);
  });

  it('at SIGINT sends the obs exit event and no state after it, then OBS exits cleanly', () => {
    unwrap(r.closed);
    for (const c of r.clients) {
      assertExitLast(c);
      assert.equal(c.errors.length, 0, `${c.name}: ${c.errors.map((e) => e.message)}`);
    }
    assertCleanExit(run);
  });
});
