'use strict';
// The /bridge protocol in a real OBS: state on connect and on request,
// messages that must be ignored, the switch to a Velmora stream service and
// putting the old one back, and the exit event at shutdown.

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
  sleep, settle, unwrap, count, readJson, STATE_KEYS, assertMemberOrder, assertStateShape, assertWellFormed, assertExitLast, assertCleanExit,
} = require('./lib/checks');

const SEEDED = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_123' } };
const NOW_STREAMS = '[velmora] OBS now streams to Velmora (RTMP)';
const PUT_BACK = '[velmora] Put back the stream service OBS had before Velmora (rtmp_common)';
const NO_WHIP = '[velmora] OBS could not create the whip_custom service';
const IO_TIMEOUT_MS = 3000;
// Long enough for a reply that would come from OBS's main thread.
const QUIET_MS = 1000;
// Stdout reaches the test through another pipe than the bridge, a little later.
const LOG_LAG_MS = 300;

// Texts the module has to drop without an answer or a closed connection.
const IGNORED = [
  '{', 'not json', '', '{"action":"hello"', '{"action":"hello"} x',
  '[1]', '"x"', '5', 'null', 'true', '[]', '{}', '[{"action":"hello"}]',
  '{"action":"HELLO"}', '{"action":" hello"}', '{"action":"hello "}', '{"action":""}',
  '{"action":"Get_State"}', '{"action":"GET_STATE"}', '{"action":"no_such_action"}',
  '{"action":5}', '{"action":null}', '{"action":["hello"]}', '{"Action":"hello"}',
];

describe('bridge protocol and stream-service switch', { timeout: 120000 }, () => {
  const token = newToken();
  const r = {};
  let home;
  let run;
  let port;
  let overlayToken;
  let obsVersion;
  let rtmpUrl;
  let serviceFile;
  let recordFile;
  let targetFile;

  before(async () => {
    port = await freePorts(1);
    const wsPort = await freePorts(1, [port]);
    // Nothing listens there: this run never streams.
    rtmpUrl = `rtmp://127.0.0.1:${await freePorts(1, [port, wsPort])}/live`;
    home = makeHome({ service: SEEDED, config: { port }, globalIni: obsWebSocketIni(wsPort) });
    serviceFile = path.join(home.profileDir, 'service.json');
    recordFile = path.join(home.configDir, 'restore-service.json');
    targetFile = path.join(home.configDir, 'restore-target.txt');
    const text = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : null);
    const snapshot = () => ({
      service: text(serviceFile), config: text(home.configFile), record: text(recordFile), target: text(targetFile),
    });

    const started = performance.now();
    run = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: token } }, async (obs) => {
      r.startMs = performance.now() - started;
      obsVersion = obsVersionFromLog(obs.log());
      r.port = await settle(() => dockPort(obs));
      overlayToken = home.readConfig().overlayToken;
      const obsws = await connectObsWebSocket(wsPort);
      const liveService = () => obsws.streamService();
      let a;
      let b;
      const marks = () => [a.mark(), b.mark()];
      // Sends from one client and returns the next state both clients get.
      const stateAfter = async (sender, message) => {
        const [ma, mb] = marks();
        sender.send(message);
        return {
          a: await a.waitFor('state', IO_TIMEOUT_MS, { from: ma }),
          b: await b.waitFor('state', IO_TIMEOUT_MS, { from: mb }),
        };
      };

      r.connect = await settle(async () => {
        const t0 = performance.now();
        a = await connectBridge({ port, token, name: 'A' });
        const first = await a.waitFor('state', IO_TIMEOUT_MS);
        const firstMs = first.at - t0;
        const before = a.mark();
        b = await connectBridge({ port, token, name: 'B' });
        const bFirst = await b.waitFor('state', IO_TIMEOUT_MS);
        const aSecond = await a.waitFor('state', IO_TIMEOUT_MS, { from: before });
        return { first, firstMs, eventsBeforeB: a.events.slice(0, before), bFirst, aSecond };
      });
      unwrap(r.connect);
      const base = marks();

      r.requests = await settle(async () => ({
        hello: await stateAfter(a, { action: 'hello' }),
        getState: await stateAfter(b, { action: 'get_state' }),
      }));

      r.ignored = await settle(async () => {
        const eventsSoFar = { a: a.since(base[0]), b: b.since(base[1]) };
        const [ma, mb] = marks();
        for (const text of IGNORED) a.send(text);
        for (const text of IGNORED.slice(0, 6)) b.send(text);
        await sleep(QUIET_MS);
        const quiet = { a: a.since(ma), b: b.since(mb), openA: a.isOpen(), openB: b.isOpen() };
        const afterwards = await stateAfter(b, { action: 'hello' });
        return { eventsSoFar, quiet, afterwards };
      });

      r.emptyArgs = await settle(async () => {
        const before = snapshot();
        const logFrom = obs.log().length;
        const states = [];
        for (const args of [{ url: '', key: 'k' }, { url: rtmpUrl, key: '' }, {}]) {
          states.push((await stateAfter(a, { action: 'use_velmora', mode: 'rtmp', ...args })).a);
        }
        await sleep(LOG_LAG_MS);
        return { before, after: snapshot(), states, log: obs.log().slice(logFrom), live: await liveService() };
      });

      r.switched = await settle(async () => {
        const liveBefore = await liveService();
        const logFrom = obs.log().length;
        const state = await stateAfter(a, { action: 'use_velmora', mode: 'rtmp', url: rtmpUrl, key: 'k' });
        await obs.waitForLog(NOW_STREAMS, IO_TIMEOUT_MS, { from: logFrom });
        return {
          liveBefore, state, live: await liveService(), service: readJson(serviceFile), config: home.readConfig(),
          record: readJson(recordFile), target: fs.readFileSync(targetFile, 'utf8'),
        };
      });

      r.again = await settle(async () => {
        const before = snapshot();
        const logFrom = obs.log().length;
        const state = await stateAfter(b, { action: 'use_velmora', mode: 'rtmp', url: rtmpUrl, key: 'k' });
        await sleep(LOG_LAG_MS);
        return { before, after: snapshot(), state, log: obs.log().slice(logFrom), live: await liveService() };
      });

      r.restored = await settle(async () => {
        const logFrom = obs.log().length;
        const state = await stateAfter(a, { action: 'restore_service' });
        await obs.waitForLog(PUT_BACK, IO_TIMEOUT_MS, { from: logFrom });
        return {
          state, live: await liveService(), service: readJson(serviceFile), config: home.readConfig(),
          files: fs.readdirSync(home.configDir),
        };
      });

      r.whip = await settle(async () => {
        const before = snapshot();
        const liveBefore = await liveService();
        const logFrom = obs.log().length;
        const state = await stateAfter(a,
          { action: 'use_velmora', mode: 'whip', url: `http://127.0.0.1:${port}/whip`, key: 'bearer' });
        await obs.waitForLog(NO_WHIP, IO_TIMEOUT_MS, { from: logFrom });
        await sleep(LOG_LAG_MS);
        return {
          before, after: snapshot(), liveBefore, live: await liveService(), state,
          log: obs.log().slice(logFrom), config: home.readConfig(),
        };
      });

      obsws.close();
      const stopStarted = performance.now();
      const stopped = await obs.stop();
      r.stopMs = performance.now() - stopStarted;
      r.closed = await settle(async () => {
        for (const c of [a, b]) {
          const t = setTimeout(() => c.ws.terminate(), 5000);
          await c.closed.finally(() => clearTimeout(t));
        }
      });
      r.sequences = { a: a.since(base[0]).map((e) => e.raw), b: b.since(base[1]).map((e) => e.raw) };
      r.clients = [a, b];
      return stopped;
    });
  });
  after(() => home && home.cleanup());

  it('sends a state to a client that connects, without being asked', (t) => {
    const { first, firstMs, eventsBeforeB, bFirst, aSecond } = unwrap(r.connect);
    t.diagnostic(`OBS ready after ${Math.round(r.startMs)} ms; first state ${firstMs.toFixed(1)} ms after connecting`);
    assert.deepEqual(eventsBeforeB.map((e) => e.event), ['state'], 'A got more than one event before B came');
    const ctx = { port, overlayToken, obsVersion };
    for (const e of [first, bFirst, aSecond]) assertStateShape(e, ctx);
    assert.deepEqual(first.data, {
      event: 'state', version: '1.0.1', obsVersion, streaming: false, reconnecting: false,
      serviceIsVelmora: false, previousService: '', lastError: '',
      overlayChatUrl: `http://127.0.0.1:${port}/dock/overlay-chat.html#o=${overlayToken}`,
      overlayCountdownUrl: `http://127.0.0.1:${port}/dock/overlay-countdown.html#o=${overlayToken}`,
    });
    assert.equal(aSecond.raw, bFirst.raw, 'the state for B\'s connection did not reach A as well');
  });

  it('answers hello and get_state with a state to every client', () => {
    const { hello, getState } = unwrap(r.requests);
    for (const pair of [hello, getState]) {
      for (const e of [pair.a, pair.b]) assertStateShape(e, { port, overlayToken, obsVersion });
      assert.equal(pair.a.raw, pair.b.raw);
      assert.equal(pair.a.data.serviceIsVelmora, false);
    }
    const { eventsSoFar } = unwrap(r.ignored);
    assert.deepEqual(eventsSoFar.a.map((e) => e.event), ['state', 'state'], 'one state per request on A');
    assert.deepEqual(eventsSoFar.b.map((e) => e.event), ['state', 'state'], 'one state per request on B');
  });

  it('sends the state members in the documented order', () => {
    const [a, b] = r.clients;
    assert.ok(a.since(0, 'state').length >= 10);
    assertMemberOrder(a, 'state', STATE_KEYS);
    assertMemberOrder(b, 'state', STATE_KEYS);
  });

  it('ignores malformed, non-object, unknown and differently cased messages and stays open', (t) => {
    const { quiet, afterwards } = unwrap(r.ignored);
    t.diagnostic(`${IGNORED.length} texts, none answered within ${QUIET_MS} ms`);
    assert.deepEqual(quiet.a.map((e) => e.raw), [], 'A got events');
    assert.deepEqual(quiet.b.map((e) => e.raw), [], 'B got events');
    assert.ok(quiet.openA && quiet.openB, 'a connection closed');
    assertStateShape(afterwards.a, { port, overlayToken, obsVersion });
    assert.equal(afterwards.a.raw, afterwards.b.raw);
  });

  it('use_velmora without a url or key changes nothing but still sends a state', () => {
    const { before, after: now, states, log, live } = unwrap(r.emptyArgs);
    assert.equal(states.length, 3);
    for (const s of states) {
      assert.equal(s.data.serviceIsVelmora, false);
      assert.equal(s.data.previousService, '');
    }
    assert.deepEqual(now, before, 'files changed');
    assert.equal(now.record, null);
    assert.equal(now.target, null);
    assert.equal(JSON.parse(now.config).previous, undefined);
    assert.deepEqual(live, SEEDED, 'OBS\'s service changed');
    assert.ok(!log.includes('[velmora]'), `module logged: ${log}`);
  });

  it('OBS accepts the seeded rtmp_common service offline', () => {
    assert.deepEqual(unwrap(r.switched).liveBefore, SEEDED);
  });

  it('use_velmora rtmp installs the Velmora service, remembers the old one and backs it up', () => {
    const { liveBefore, state, live, service, config, record, target } = unwrap(r.switched);
    const ours = {
      type: 'rtmp_custom',
      settings: { server: rtmpUrl, key: 'k', use_auth: false, velmora_obs: true },
    };
    assert.deepEqual(service, ours, 'service.json');
    assert.deepEqual(live, ours, 'OBS\'s service in memory');
    assert.equal(count(run.log, NOW_STREAMS), 1);
    assertStateShape(state.a, { port, overlayToken, obsVersion });
    assert.equal(state.a.raw, state.b.raw);
    assert.equal(state.a.data.serviceIsVelmora, true);
    assert.equal(state.a.data.previousService, 'Twitch');
    assert.equal(state.a.data.streaming, false);
    assert.deepEqual(config.previous, liveBefore, 'config.json "previous"');
    assert.equal(config.overlayToken, overlayToken);
    assert.deepEqual(record, liveBefore, 'restore-service.json');
    assert.equal(target, path.join(home.profileDir, 'service.json'), 'restore-target.txt');
  });

  it('a second identical use_velmora changes and logs nothing but sends a state', () => {
    const { before, after: now, state, log, live } = unwrap(r.again);
    assert.deepEqual(now, before, 'files changed');
    assert.ok(!log.includes('[velmora]'), `module logged: ${log}`);
    assert.equal(state.a.data.serviceIsVelmora, true);
    assert.equal(state.a.data.previousService, 'Twitch');
    assert.equal(live.type, 'rtmp_custom');
  });

  it('restore_service puts the old service back and removes the record and backups', () => {
    const { state, live, service, config, files } = unwrap(r.restored);
    assert.deepEqual(live, SEEDED, 'OBS\'s service in memory');
    assert.deepEqual(service, SEEDED, 'service.json');
    assert.ok(!('previous' in config), 'config.json still has "previous"');
    assert.ok(!files.includes('restore-service.json'), `files: ${files}`);
    assert.ok(!files.includes('restore-target.txt'), `files: ${files}`);
    assert.equal(count(run.log, PUT_BACK), 1);
    assertStateShape(state.a, { port, overlayToken, obsVersion });
    assert.equal(state.a.data.serviceIsVelmora, false);
    assert.equal(state.a.data.previousService, '');
  });

  it('use_velmora whip fails on OBS 29, leaves the service alone and still records the old one', (t) => {
    const { before, after: now, liveBefore, live, state, log, config } = unwrap(r.whip);
    t.diagnostic(`backups after the failed switch: restore-service.json ${now.record ? 'present' : 'absent'}, ` +
      `restore-target.txt ${now.target ? 'present' : 'absent'}`);
    assert.match(log, /error: \[velmora\] OBS could not create the whip_custom service/);
    assert.equal(count(log, '[velmora]'), 1, `module logged: ${log}`);
    assert.deepEqual(live, liveBefore, 'OBS\'s service in memory changed');
    assert.equal(now.service, before.service, 'service.json changed');
    assert.deepEqual(config.previous, SEEDED, 'config.json "previous"');
    assert.equal(state.a.data.serviceIsVelmora, false);
    assert.equal(state.a.data.previousService, 'Twitch');
  });

  it('every event is one JSON object led by "event", identical on both clients', () => {
    const [a, b] = r.clients;
    assertWellFormed(a);
    assertWellFormed(b);
    assert.deepEqual(r.sequences.b, r.sequences.a);
    assert.ok(r.sequences.a.length >= 10, `only ${r.sequences.a.length} events`);
  });

  it('at SIGINT sends the obs exit event and no state after it, then OBS exits cleanly', (t) => {
    unwrap(r.closed);
    t.diagnostic(`OBS stopped ${Math.round(r.stopMs)} ms after SIGINT`);
    for (const c of r.clients) {
      assertExitLast(c);
      assert.equal(c.errors.length, 0, `${c.name}: ${c.errors.map((e) => e.message)}`);
    }
    assertCleanExit(run);
  });
});
