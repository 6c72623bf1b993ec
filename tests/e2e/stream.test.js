'use strict';
// Streaming through the bridge in a real OBS to a real RTMP ingest (nginx):
// the switch to the ingest, start and stop events, live statistics against
// what nginx received, no switching while live, and a stream to a dead port.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { makeHome, withObs, obsVersionFromLog } = require('./lib/obs');
const { connectBridge, dockPort, newToken, summary } = require('./lib/bridge');
const { startIngest } = require('./lib/ingest');
const { obsWebSocketIni, connectObsWebSocket } = require('./lib/obsws');
const { freePorts } = require('./lib/ports');
const {
  sleep, settle, unwrap, count, keysOf, STATE_KEYS, STATS_KEYS,
  assertMemberOrder, assertStateShape, assertWellFormed, assertExitLast, assertCleanExit,
} = require('./lib/checks');

const STREAM_KEY = 'velmora-e2e';
const NOW_STREAMS = '[velmora] OBS now streams to Velmora (RTMP)';
const NOT_WHILE_LIVE = '[velmora] Not switching services while OBS is streaming';
const STATS_INTERVAL_MS = 2000;
const STATS_TICKS = 5;
// The profile's x264 and AAC targets; an empty scene may stay well below them.
const TARGET_KBPS = 150 + 64;
const IO_TIMEOUT_MS = 3000;
const START_TIMEOUT_MS = 10000;
const LOG_LAG_MS = 300;
const DIALOG_MS = 1000;

const notStats = (e) => e.event !== 'stats';
const label = (e) => (e.event === 'obs' ? `obs:${e.data.type}` : e.event);

describe('streaming to a real RTMP ingest', { timeout: 180000 }, () => {
  const token = newToken();
  const r = {};
  let home;
  let run;
  let ingest;
  let port;
  let deadUrl;
  let ownService;
  let overlayToken;
  let obsVersion;
  let clients = [];

  before(async () => {
    ingest = await startIngest();
    try {
      const taken = [ingest.rtmpPort, ingest.httpPort];
      port = await freePorts(1, taken);
      const wsPort = await freePorts(1, [...taken, port]);
      deadUrl = `rtmp://127.0.0.1:${await freePorts(1, [...taken, port, wsPort])}/live`;
      ownService = { type: 'rtmp_custom', settings: { server: deadUrl, key: 'mine', use_auth: false } };
      home = makeHome({ service: ownService, config: { port }, globalIni: obsWebSocketIni(wsPort) });
      const serviceFile = path.join(home.profileDir, 'service.json');

      const started = performance.now();
      run = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: token } }, async (obs) => {
        r.startMs = performance.now() - started;
        obsVersion = obsVersionFromLog(obs.log());
        await dockPort(obs);
        overlayToken = home.readConfig().overlayToken;
        const obsws = await connectObsWebSocket(wsPort);
        const liveService = () => obsws.streamService();
        const a = await connectBridge({ port, token, name: 'A' });
        await a.waitFor('state', IO_TIMEOUT_MS);
        const beforeB = a.mark();
        const b = await connectBridge({ port, token, name: 'B' });
        await b.waitFor('state', IO_TIMEOUT_MS);
        await a.waitFor('state', IO_TIMEOUT_MS, { from: beforeB });
        clients = [a, b];
        const base = [a.mark(), b.mark()];

        r.switched = await settle(async () => {
          const logFrom = obs.log().length;
          const from = a.mark();
          a.send({ action: 'use_velmora', mode: 'rtmp', url: ingest.url, key: STREAM_KEY });
          const state = await a.waitFor('state', IO_TIMEOUT_MS, { from });
          await obs.waitForLog(NOW_STREAMS, IO_TIMEOUT_MS, { from: logFrom });
          return { state, live: await liveService(), config: home.readConfig() };
        });
        unwrap(r.switched);

        // Start: events up to the state that says OBS is live.
        r.start = await settle(async () => {
          const from = a.mark();
          const t0 = performance.now();
          b.send({ action: 'start_streaming' });
          const state = await a.waitFor((e) => e.event === 'state' && e.data.streaming, START_TIMEOUT_MS, { from });
          return { events: a.events.slice(from, state.index + 1), state, ms: state.at - t0, startedAt: state.at };
        });
        const nginxFirst = await settle(async () => ({ stream: await ingest.stream(STREAM_KEY), at: performance.now() }));

        // Each stats event, paired with nginx's byte count fetched right after it.
        r.stats = await settle(async () => {
          const ticks = [];
          let from = a.mark();
          while (ticks.length < STATS_TICKS) {
            const e = await a.waitFor('stats', STATS_INTERVAL_MS + 1500, { from });
            from = e.index + 1;
            const s = await ingest.stream(STREAM_KEY);
            ticks.push({ entry: e, nginxBytes: s && s.bytesIn, nginxAt: performance.now() });
          }
          return ticks;
        });

        // What nginx received while the stats were collected (at least 4 s), whatever they said.
        r.nginxRate = await settle(async () => {
          const first = unwrap(nginxFirst);
          await sleep(first.at + 2 * STATS_INTERVAL_MS - performance.now());
          const second = await ingest.stream(STREAM_KEY);
          const ms = performance.now() - first.at;
          return { kbps: ((second.bytesIn - first.stream.bytesIn) * 8) / ms, ms, second };
        });

        r.switchWhileLive = await settle(async () => {
          const before = fs.readFileSync(serviceFile, 'utf8');
          const liveBefore = await liveService();
          const logFrom = obs.log().length;
          const from = a.mark();
          a.send({ action: 'use_velmora', mode: 'rtmp', url: deadUrl, key: 'other' });
          const state = await a.waitFor('state', IO_TIMEOUT_MS, { from });
          await obs.waitForLog(NOT_WHILE_LIVE, IO_TIMEOUT_MS, { from: logFrom });
          await sleep(LOG_LAG_MS);
          return {
            state, before, after: fs.readFileSync(serviceFile, 'utf8'), liveBefore, live: await liveService(),
            log: obs.log().slice(logFrom),
          };
        });

        r.stop = await settle(async () => {
          const from = a.mark();
          const t0 = performance.now();
          a.send({ action: 'stop_streaming' });
          const state = await a.waitFor((e) => e.event === 'state' && !e.data.streaming, START_TIMEOUT_MS, { from });
          const ms = state.at - t0;
          let stream = await ingest.stream(STREAM_KEY);
          for (let i = 0; i < 20 && stream && stream.publishing; i++) {
            await sleep(100);
            stream = await ingest.stream(STREAM_KEY);
          }
          return { events: a.events.slice(from, state.index + 1), ms, stoppedAt: state.at, stream };
        });

        // A full stats interval with OBS not live.
        r.idle = await settle(async () => {
          const from = a.mark();
          await sleep(STATS_INTERVAL_MS + 500);
          return a.since(from);
        });

        r.dead = await settle(async () => {
          let from = a.mark();
          a.send({ action: 'use_velmora', mode: 'rtmp', url: deadUrl, key: STREAM_KEY });
          await a.waitFor('state', IO_TIMEOUT_MS, { from });
          from = a.mark();
          const t0 = performance.now();
          a.send({ action: 'start_streaming' });
          const stopped = await a.waitFor((e) => e.event === 'obs' && e.data.type === 'streaming_stopped',
            START_TIMEOUT_MS, { from });
          const state = await a.waitFor('state', IO_TIMEOUT_MS, { from: stopped.index });
          return { events: a.events.slice(from, state.index + 1), stopped, state, ms: stopped.at - t0 };
        });

        obsws.close();
        // OBS 29 itself (also without the module) sometimes hangs for good when SIGINT comes
        // while its "Failed to connect" dialog is still opening; once it is open, SIGINT works.
        await sleep(DIALOG_MS);
        const stopped = await obs.stop();
        r.closed = await settle(async () => {
          for (const c of clients) {
            const t = setTimeout(() => c.ws.terminate(), 5000);
            await c.closed.finally(() => clearTimeout(t));
          }
        });
        r.sequences = { a: a.since(base[0]).map((e) => e.raw), b: b.since(base[1]).map((e) => e.raw) };
        return stopped;
      });
    } finally {
      r.ingestStop = await ingest.stop();
    }
  });
  after(() => home && home.cleanup());

  it('use_velmora points OBS at the ingest and remembers the custom server', (t) => {
    const { state, live, config } = unwrap(r.switched);
    t.diagnostic(`OBS ready after ${Math.round(r.startMs)} ms`);
    assertStateShape(state, { port, overlayToken, obsVersion });
    assert.equal(state.data.serviceIsVelmora, true);
    assert.equal(state.data.previousService, 'your custom server');
    assert.deepEqual(live, {
      type: 'rtmp_custom', settings: { server: ingest.url, key: STREAM_KEY, use_auth: false, velmora_obs: true },
    });
    assert.deepEqual(config.previous, ownService, 'config.json "previous"');
  });

  it('start_streaming: obs streaming_starting, streaming_started, then a live state', (t) => {
    const { events, state, ms } = unwrap(r.start);
    t.diagnostic(`live state ${Math.round(ms)} ms after start_streaming`);
    assert.deepEqual(events.filter(notStats).map(label), ['obs:streaming_starting', 'obs:streaming_started', 'state']);
    for (const e of events.filter((x) => x.event === 'obs')) assert.deepEqual(keysOf(e).sort(), ['event', 'type']);
    assertStateShape(state, { port, overlayToken, obsVersion });
    assert.equal(state.data.streaming, true);
    assert.equal(state.data.reconnecting, false);
    assert.equal(state.data.serviceIsVelmora, true);
  });

  it('nginx receives the stream', (t) => {
    const { kbps, ms, second } = unwrap(r.nginxRate);
    t.diagnostic(`nginx: ${kbps.toFixed(1)} kbps over ${Math.round(ms)} ms; meta ${second.meta}`);
    assert.ok(second.publishing);
    assert.match(second.meta, /<width>320<\/width><height>180<\/height>/);
    assert.ok(kbps > 20 && kbps < 3 * TARGET_KBPS, `${kbps} kbps`);
  });

  it('sends stats every 2 s while live, kbps 0 first, then the real bitrate', (t) => {
    const ticks = unwrap(r.stats);
    const gaps = ticks.slice(1).map((x, i) => x.entry.at - ticks[i].entry.at);
    const nginx = ticks.slice(1).map((x, i) => ((x.nginxBytes - ticks[i].nginxBytes) * 8) / (x.nginxAt - ticks[i].nginxAt));
    const kbps = ticks.map((x) => x.entry.data.kbps);
    t.diagnostic(`stats kbps ${kbps.join(', ')}; nginx kbps ${nginx.map((v) => v.toFixed(1)).join(', ')}; ` +
      `gaps ${gaps.map(Math.round).join(', ')} ms`);
    t.diagnostic(`last stats: ${JSON.stringify(ticks.at(-1).entry.data)}`);
    for (const { entry } of ticks) {
      const s = entry.data;
      assert.deepEqual(keysOf(entry).sort(), [...STATS_KEYS].sort(), entry.raw);
      assert.equal(s.streaming, true);
      assert.equal(s.reconnecting, false);
      for (const k of ['kbps', 'droppedFrames', 'totalFrames']) assert.ok(Number.isInteger(s[k]) && s[k] >= 0, `${k}: ${s[k]}`);
      assert.ok(typeof s.congestion === 'number' && s.congestion >= 0 && s.congestion <= 1, `congestion ${s.congestion}`);
      assert.ok(typeof s.fps === 'number' && s.fps > 5 && s.fps < 15, `fps ${s.fps}`);
    }
    for (const gap of gaps) assert.ok(Math.abs(gap - STATS_INTERVAL_MS) < 400, `stats ${Math.round(gap)} ms apart`);
    assert.equal(kbps[0], 0, 'first tick');
    const frames = ticks.map((x) => x.entry.data.totalFrames);
    for (let i = 1; i < frames.length; i++) assert.ok(frames[i] > frames[i - 1], `totalFrames ${frames}`);
    const mean = (v) => v.reduce((x, y) => x + y, 0) / v.length;
    const statsMean = mean(kbps.slice(1));
    const nginxMean = mean(nginx);
    assert.ok(statsMean > 40 && statsMean < 3 * TARGET_KBPS, `mean ${statsMean} kbps`);
    assert.ok(Math.abs(statsMean - nginxMean) < 0.25 * nginxMean, `stats ${statsMean} vs nginx ${nginxMean} kbps`);
    kbps.slice(1).forEach((v, i) => assert.ok(Math.abs(v - nginx[i]) < 0.5 * nginx[i],
      `tick ${i + 1}: stats ${v} vs nginx ${nginx[i].toFixed(1)} kbps`));
  });

  it('sends the stats members in the documented order', () => {
    const [a] = clients;
    assert.ok(a.since(0, 'stats').length > 0, 'no stats at all');
    assertMemberOrder(a, 'stats', STATS_KEYS);
  });

  it('refuses to switch services while live, with a log line and a state', () => {
    const { state, before, after: now, liveBefore, live, log } = unwrap(r.switchWhileLive);
    assert.match(log, /info: \[velmora\] Not switching services while OBS is streaming/);
    assert.equal(count(log, '[velmora]'), 1, log);
    assert.equal(now, before, 'service.json changed');
    assert.deepEqual(live, liveBefore, 'OBS\'s service changed');
    assert.equal(state.data.streaming, true);
    assert.equal(state.data.serviceIsVelmora, true);
    assert.equal(count(run.log, NOW_STREAMS), 2, 'one switch to the ingest, one to the dead port');
  });

  it('stop_streaming: obs streaming_stopping, streaming_stopped with lastError, then a state', (t) => {
    const { events, ms, stream } = unwrap(r.stop);
    t.diagnostic(`stopped state ${Math.round(ms)} ms after stop_streaming`);
    assert.deepEqual(events.filter(notStats).map(label), ['obs:streaming_stopping', 'obs:streaming_stopped', 'state']);
    const [stopping, stopped, state] = events.filter(notStats);
    assert.deepEqual(keysOf(stopping).sort(), ['event', 'type']);
    assert.deepEqual(keysOf(stopped).sort(), ['event', 'lastError', 'type']);
    assert.equal(typeof stopped.data.lastError, 'string');
    assert.equal(state.data.streaming, false);
    assert.ok(!stream || !stream.publishing, 'nginx still has the stream');
  });

  it('sends no stats while OBS is not live', () => {
    const startingAt = unwrap(r.start).events[0].at;
    const { stoppedAt } = unwrap(r.stop);
    for (const c of clients) {
      const stats = c.events.filter((e) => e.event === 'stats');
      const outside = stats.filter((e) => e.at < startingAt || e.at > stoppedAt);
      assert.deepEqual(outside.map((e) => e.raw), [], `${c.name}: stats while not live`);
      const notLive = stats.filter((e) => e.data.streaming !== true);
      assert.deepEqual(notLive.map((e) => e.raw), [], `${c.name}: stats saying not streaming`);
    }
    assert.deepEqual(unwrap(r.idle).map((e) => e.raw), [], 'events in an idle stats interval');
  });

  it('a stream to a port where nothing listens ends with a lastError in the event and the state', (t) => {
    const { events, stopped, state, ms } = unwrap(r.dead);
    t.diagnostic(`streaming_stopped ${Math.round(ms)} ms after start_streaming; events ${summary(events)}; ` +
      `lastError ${JSON.stringify(stopped.data.lastError)}`);
    assert.deepEqual(events.map(label), ['obs:streaming_starting', 'obs:streaming_stopped', 'state']);
    assert.equal(state.data.streaming, false);
    assert.notEqual(stopped.data.lastError, '', 'streaming_stopped lastError');
    assert.notEqual(state.data.lastError, '', 'state lastError');
    assert.equal(state.data.lastError, stopped.data.lastError);
  });

  it('sends the obs and state members in the documented order', () => {
    for (const c of clients) {
      assertMemberOrder(c, 'state', STATE_KEYS);
      const stopped = { ...c, events: c.events.filter((e) => e.event === 'obs' && e.data.type === 'streaming_stopped') };
      assert.ok(stopped.events.length >= 2);
      assertMemberOrder(stopped, 'obs', ['event', 'type', 'lastError']);
      const others = { ...c, events: c.events.filter((e) => e.event === 'obs' && e.data.type !== 'streaming_stopped') };
      assertMemberOrder(others, 'obs', ['event', 'type']);
    }
  });

  it('every event is one whole JSON object led by "event", identical on both clients', () => {
    for (const c of clients) assertWellFormed(c);
    assert.deepEqual(r.sequences.b, r.sequences.a);
  });

  it('at SIGINT (with the failure dialog open) sends obs exit and no state after it; OBS exits cleanly', (t) => {
    unwrap(r.closed);
    const at = (needle) => run.log.indexOf(needle);
    t.diagnostic(`OBS exit code ${run.code}, signal ${run.signal}; log positions: shutting down ` +
      `${at('==== Shutting down')}, unloaded ${at('[velmora] Velmora for OBS unloaded')}, leaks ` +
      `${(run.log.match(/Number of memory leaks: \d+/) || ['none'])[0]}`);
    for (const c of clients) {
      t.diagnostic(`${c.name}: ${c.events.length} events, closed ${JSON.stringify(c.closeInfo)}, last ` +
        `${c.events.slice(-3).map((e) => `${label(e)}@${Math.round(e.at)}`).join(' ')}`);
    }
    for (const c of clients) {
      assertExitLast(c);
      assert.equal(c.errors.length, 0, `${c.name}: ${c.errors.map((e) => e.message)}`);
    }
    assertCleanExit(run);
  });

  it('nginx stops on SIGQUIT', (t) => {
    t.diagnostic(`nginx exit: code ${r.ingestStop.code}, signal ${r.ingestStop.signal}`);
    assert.equal(r.ingestStop.signal, null);
    assert.equal(r.ingestStop.code, 0);
  });
});
