'use strict';
// Streaming through the bridge in a real OBS to a real RTMP ingest (nginx): the switch to the
// ingest, start and stop events, live statistics against what nginx received, no switching
// while live, and a stream to a dead port.

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
  sleep, settle, unwrap, keysOf, STATE_KEYS, STATS_KEYS, assertMemberOrder, assertStateShape, assertWellFormed,
  assertExitLast, assertCleanExit,
} = require('./lib/checks');

const STREAM_KEY = 'velmora-e2e';
const NOT_WHILE_LIVE = 'info: [velmora] Not switching services while OBS is streaming';
const STATS_INTERVAL_MS = 2000;
const STATS_TICKS = 5;
const TARGET_KBPS = 150 + 64; // the profile's x264 and AAC rates; an empty scene stays below
const IO_TIMEOUT_MS = 3000;
const START_TIMEOUT_MS = 10000;

// What the dock hears of a stream, leaving out statistics and the updater.
const streamEvents = (events) => events.filter((e) => e.event === 'obs' || e.event === 'state')
  .map((e) => (e.event === 'obs' ? `obs:${e.data.type}` : 'state'));

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

      run = await withObs({ home, env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: token } }, async (obs) => {
        obsVersion = obsVersionFromLog(obs.log());
        await dockPort(obs);
        overlayToken = home.readConfig().overlayToken;
        const obsws = await connectObsWebSocket(wsPort);
        const a = await connectBridge({ port, token, name: 'A' });
        await a.waitFor('state', IO_TIMEOUT_MS);
        const b = await connectBridge({ port, token, name: 'B' });
        await b.waitFor('state', IO_TIMEOUT_MS);
        await a.waitFor((e) => a.since(0, 'state').length >= 2, IO_TIMEOUT_MS);
        clients = [a, b];
        const base = [a.mark(), b.mark()];
        const nextState = async (message, sender = a, test = () => true, timeoutMs = IO_TIMEOUT_MS) => {
          const from = a.mark();
          const t0 = performance.now();
          sender.send(message);
          const state = await a.waitFor((e) => e.event === 'state' && test(e.data), timeoutMs, { from });
          return { state, events: a.events.slice(from, state.index + 1), ms: state.at - t0 };
        };

        r.switched = await settle(async () => ({
          ...(await nextState({ action: 'use_velmora', mode: 'rtmp', url: ingest.url, key: STREAM_KEY })),
          live: await obsws.streamService(),
          config: home.readConfig(),
        }));
        unwrap(r.switched);

        r.start = await settle(() => nextState({ action: 'start_streaming' }, b, (s) => s.streaming, START_TIMEOUT_MS));
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
          const first = unwrap(nginxFirst);
          const last = await ingest.stream(STREAM_KEY);
          return { ticks, nginxKbps: ((last.bytesIn - first.stream.bytesIn) * 8) / (performance.now() - first.at), last };
        });

        r.switchWhileLive = await settle(async () => {
          const before = fs.readFileSync(serviceFile, 'utf8');
          const logFrom = obs.log().length;
          const step = await nextState({ action: 'use_velmora', mode: 'rtmp', url: deadUrl, key: 'other' });
          await obs.waitForLog(NOT_WHILE_LIVE, IO_TIMEOUT_MS, { from: logFrom });
          return { ...step, before, after: fs.readFileSync(serviceFile, 'utf8') };
        });

        r.stop = await settle(async () => {
          const step = await nextState({ action: 'stop_streaming' }, a, (s) => !s.streaming, START_TIMEOUT_MS);
          let stream = await ingest.stream(STREAM_KEY);
          for (let i = 0; i < 20 && stream && stream.publishing; i++) {
            await sleep(100);
            stream = await ingest.stream(STREAM_KEY);
          }
          const idleFrom = a.mark();
          await sleep(STATS_INTERVAL_MS + 500); // a full stats interval with OBS not live
          return { ...step, stream, idle: a.since(idleFrom) };
        });

        r.dead = await settle(async () => {
          await nextState({ action: 'use_velmora', mode: 'rtmp', url: deadUrl, key: STREAM_KEY });
          const from = a.mark();
          a.send({ action: 'start_streaming' });
          const stopped = await a.waitFor((e) => e.event === 'obs' && e.data.type === 'streaming_stopped',
            START_TIMEOUT_MS, { from });
          const state = await a.waitFor('state', IO_TIMEOUT_MS, { from: stopped.index });
          return { events: a.events.slice(from, state.index + 1), stopped, state };
        });

        obsws.close();
        // OBS 29 itself (also without the module) sometimes hangs for good when SIGINT comes
        // while its "Failed to connect" dialog is still opening; once it is open, SIGINT works.
        await sleep(1000);
        const stopped = await obs.stop();
        r.closed = await settle(() => Promise.all(clients.map((c) => c.closed)));
        r.sequences = { a: a.since(base[0]).map((e) => e.raw), b: b.since(base[1]).map((e) => e.raw) };
        return stopped;
      });
    } finally {
      r.ingestStop = await ingest.stop();
    }
  });
  after(() => home && home.cleanup());

  it('use_velmora points OBS at the ingest and remembers the custom server', () => {
    const { state, live, config } = unwrap(r.switched);
    assertStateShape(state, { port, overlayToken, obsVersion });
    assert.equal(state.data.serviceIsVelmora, true);
    assert.equal(state.data.previousService, 'your custom server');
    assert.deepEqual(live.settings, { server: ingest.url, key: STREAM_KEY, use_auth: false, velmora_obs: true });
    assert.deepEqual(config.previous, { ...ownService, target: path.join(home.profileDir, 'service.json') });
  });

  it('start_streaming: obs streaming_starting, streaming_started, then a live state', (t) => {
    const { events, state, ms } = unwrap(r.start);
    t.diagnostic(`live state ${Math.round(ms)} ms after start_streaming`);
    assert.deepEqual(streamEvents(events), ['obs:streaming_starting', 'obs:streaming_started', 'state']);
    assert.equal(state.data.streaming, true);
    assert.equal(state.data.reconnecting, false);
  });

  it('sends stats every 2 s while live, kbps 0 first, then what nginx receives', (t) => {
    const { ticks, nginxKbps, last } = unwrap(r.stats);
    const gaps = ticks.slice(1).map((x, i) => x.entry.at - ticks[i].entry.at);
    const nginx = ticks.slice(1).map((x, i) => ((x.nginxBytes - ticks[i].nginxBytes) * 8) / (x.nginxAt - ticks[i].nginxAt));
    const kbps = ticks.map((x) => x.entry.data.kbps);
    t.diagnostic(`stats kbps ${kbps.join(', ')}; nginx ${nginx.map((v) => v.toFixed(1)).join(', ')}; gaps ${gaps.map(Math.round)}`);
    assert.ok(last.publishing);
    assert.match(last.meta, /<width>320<\/width><height>180<\/height>/);
    assert.ok(nginxKbps > 20 && nginxKbps < 3 * TARGET_KBPS, `nginx ${nginxKbps} kbps`);
    for (const { entry } of ticks) {
      const s = entry.data;
      assert.deepEqual(keysOf(entry), STATS_KEYS, entry.raw);
      assert.equal(s.streaming, true);
      assert.ok(s.congestion >= 0 && s.congestion <= 1 && s.fps > 5 && s.fps < 15, entry.raw);
    }
    for (const gap of gaps) assert.ok(Math.abs(gap - STATS_INTERVAL_MS) < 400, `stats ${Math.round(gap)} ms apart`);
    assert.equal(kbps[0], 0, 'first tick');
    const frames = ticks.map((x) => x.entry.data.totalFrames);
    for (let i = 1; i < frames.length; i++) assert.ok(frames[i] > frames[i - 1], `totalFrames ${frames}`);
    kbps.slice(1).forEach((v, i) => assert.ok(Math.abs(v - nginx[i]) < 0.5 * nginx[i], `tick ${i + 1}: ${v} vs ${nginx[i]}`));
  });

  it('refuses to switch services while live, with a log line and a state', () => {
    const { state, before, after: now } = unwrap(r.switchWhileLive);
    assert.equal(now, before, 'service.json changed');
    assert.equal(state.data.streaming, true);
    assert.equal(state.data.serviceIsVelmora, true);
  });

  it('stop_streaming: streaming_stopping, streaming_stopped with lastError, a state, and no stats after', () => {
    const { events, stream, idle } = unwrap(r.stop);
    assert.deepEqual(streamEvents(events), ['obs:streaming_stopping', 'obs:streaming_stopped', 'state']);
    const stopped = events.find((e) => e.event === 'obs' && e.data.type === 'streaming_stopped');
    assert.deepEqual(keysOf(stopped), ['event', 'type', 'lastError']);
    assert.ok(!stream || !stream.publishing, 'nginx still has the stream');
    assert.deepEqual(idle.map((e) => e.raw), [], 'events in an idle stats interval');
    for (const c of clients) {
      const stats = c.events.filter((e) => e.event === 'stats');
      assert.ok(stats.every((e) => e.data.streaming === true && e.at > unwrap(r.start).events[0].at));
    }
  });

  it('a stream to a port where nothing listens ends with a lastError in the event and the state', (t) => {
    const { events, stopped, state } = unwrap(r.dead);
    t.diagnostic(`events ${summary(events)}; lastError ${JSON.stringify(stopped.data.lastError)}`);
    assert.deepEqual(streamEvents(events), ['obs:streaming_starting', 'obs:streaming_stopped', 'state']);
    assert.notEqual(stopped.data.lastError, '');
    assert.equal(state.data.lastError, stopped.data.lastError);
  });

  it('the same whole events on both clients; obs exit last; OBS and nginx exit cleanly', () => {
    unwrap(r.closed);
    for (const c of clients) {
      assertWellFormed(c);
      assertMemberOrder(c, 'state', STATE_KEYS);
      assertMemberOrder(c, 'obs', ['event', 'type'], (e) => e.data.type !== 'streaming_stopped');
      assertExitLast(c);
    }
    assert.deepEqual(r.sequences.b, r.sequences.a);
    assertCleanExit(run);
    assert.deepEqual([r.ingestStop.code, r.ingestStop.signal], [0, null], 'nginx on SIGQUIT');
  });
});
