'use strict';
// The dock's bridge in one run of a real OBS: state on connect and on request, switches of the
// stream service that must not happen (unsaved records, another profile, an address or a service
// type that cannot work) and those that must, with what they store on disk and the reason each
// refusal gives; OBS's confirmations before a stream starts or stops; a real stream to nginx with
// its events and statistics; a stream to a dead port and to one that never answers, told as OBS
// shows them; and the exit event. obs-websocket tells what OBS holds in memory, the probe what OBS's
// own window shows.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { makeHome, withObs, obsVersionFromLog } = require('./lib/obs');
const { summary } = require('./lib/bridge');
const { startIngest, startSilentServer } = require('./lib/ingest');
const { connectObsWebSocket } = require('./lib/obsws');
const { freePorts } = require('./lib/ports');
const { sleep, count, keysOf, assertExitLast, assertCleanExit } = require('./lib/checks');

const SEEDED = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_123' } };
const OTHER = { type: 'rtmp_custom', settings: { server: 'rtmp://127.0.0.1:1/other', key: 'b', use_auth: false } };
const KEY = 'velmora-e2e';
const NOT_SAVED = 'error: [velmora] Not switching services: the current service could not be saved to put it back later';
const IO_MS = 3000;
const STREAM_MS = 10000;
const LOG_LAG_MS = 300; // stdout reaches the test through another pipe than the bridge, a little later

// What the dock hears of a stream, leaving out statistics and the updater.
const streamEvents = (events) => events.filter((e) => e.event === 'obs' || e.event === 'state')
  .map((e) => (e.event === 'obs' ? `obs:${e.data.type}` : 'state'));

test('the bridge and the stream service in a real OBS', { timeout: 240000 }, async (t) => {
  const ingest = await startIngest();
  const port = await freePorts(3);
  const [wsPort, deadUrl] = [port + 1, `rtmp://127.0.0.1:${port + 2}/live`];
  const silent = await startSilentServer();
  t.after(() => silent.close());
  // OBS asks before a stream starts or stops, so the dock must too.
  const home = makeHome({ service: SEEDED, profiles: { other: OTHER }, config: { port }, obsWebSocket: wsPort,
    standIns: ['velmora-probe'], globalIni: { BasicWindow: { WarnBeforeStartingStream: 'true', WarnBeforeStoppingStream: 'true' } } });
  t.after(() => home.cleanup());
  const files = {
    service: path.join(home.profileDir, 'service.json'),
    otherService: path.join(home.obsDir, 'basic', 'profiles', 'other', 'service.json'),
    record: path.join(home.configDir, 'restore-service.json'),
    target: path.join(home.configDir, 'restore-target.txt'),
  };
  const text = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : null);
  const snapshot = () => Object.fromEntries([...Object.entries(files), ['config', home.configFile]]
    .map(([name, file]) => [name, text(file)]));
  let clients = [];
  let sequences;
  let run;
  let ingestStop;
  try {
    run = await withObs({ home }, async (obs) => {
      const obsws = await connectObsWebSocket(wsPort);
      // The seeded service as OBS holds it (OBS 32 fills in more settings of its own).
      const seeded = await obsws.streamService();
      const a = await obs.connect('A');
      let b;
      // Sends from one client; the first state after it on both clients, with all A heard
      // meanwhile, what was logged, and what OBS and the disk hold then.
      const step = async (message, { sender = a, test: accept = () => true, timeoutMs = IO_MS } = {}) => {
        const [ma, mb, logFrom, t0] = [a.mark(), b.mark(), obs.log().length, performance.now()];
        sender.send(message);
        const state = await a.waitFor((e) => e.event === 'state' && accept(e.data), timeoutMs, { from: ma });
        const other = await b.waitFor('state', IO_MS, { from: mb });
        await sleep(LOG_LAG_MS);
        return { state, other, events: a.events.slice(ma, state.index + 1), ms: state.at - t0,
          log: obs.log().slice(logFrom), live: await obsws.streamService(), files: snapshot() };
      };
      const useVelmora = (url, mode = 'rtmp') => ({ action: 'use_velmora', mode, url, key: KEY });
      // What came of an action: its result on A.
      const result = async (message, from = a.mark()) => {
        a.send(message);
        return (await a.waitFor((e) => e.event === 'action_result' && e.data.action === message.action, IO_MS, { from })).data;
      };

      await t.test('sends a state to a client that connects, and to the others, without being asked', async () => {
        const first = await a.waitFor('state', IO_MS);
        const beforeB = a.mark();
        b = await obs.connect('B');
        const [bFirst, aSecond] = [await b.waitFor('state', IO_MS), await a.waitFor('state', IO_MS, { from: beforeB })];
        const overlayToken = home.readConfig().overlayToken;
        assert.equal(first.raw, JSON.stringify({
          event: 'state', version: '1.0.1', obsVersion: obsVersionFromLog(obs.log()), streaming: false, reconnecting: false,
          serviceIsVelmora: false, previousService: '', lastError: '',
          overlayChatUrl: `http://127.0.0.1:${await obs.dockPort()}/dock/overlay-chat.html#o=${overlayToken}`,
          overlayCountdownUrl: `http://127.0.0.1:${port}/dock/overlay-countdown.html#o=${overlayToken}`,
          serviceState: 'other', serviceName: 'Twitch', serviceMode: '', serviceServer: '', serviceKey: '',
          whipAvailable: false, browserSources: false, connecting: false, confirmStart: true, confirmStop: true,
        }));
        assert.equal(aSecond.raw, bFirst.raw, 'the state for B\'s connection did not reach A as well');
      });
      if (!b) throw new Error('the second client never connected');
      clients = [a, b];
      const base = [a.mark(), b.mark()];

      await t.test('refuses to switch when the old service or its backups cannot be saved, and says why', async () => {
        assert.deepEqual({ type: seeded.type, settings: { ...SEEDED.settings, ...seeded.settings } }, seeded);
        // Writes that really fail (root ignores permissions): a folder where a file must go.
        for (const blocked of [`${files.record}.tmp`, `${home.configFile}.tmp`]) {
          fs.mkdirSync(blocked);
          const before = snapshot();
          const attempt = await step(useVelmora(ingest.url));
          fs.rmdirSync(blocked);
          const name = path.basename(blocked);
          assert.deepEqual(attempt.live, seeded, `${name}: OBS's service changed`);
          assert.equal(attempt.files.service, before.service, `${name}: service.json changed`);
          assert.equal(JSON.parse(attempt.files.config).previous, undefined, `${name}: a record was kept`);
          assert.equal(attempt.files.record, null, `${name}: a backup was left behind`);
          assert.ok(attempt.log.includes(NOT_SAVED), `${name}: ${attempt.log}`);
          assert.equal(attempt.state.data.serviceIsVelmora, false);
          if (blocked.startsWith(home.configFile)) {
            assert.match(attempt.log, /warning: \[velmora\] Could not save the settings to .*config\.json/);
          }
        }
      });

      await t.test('refuses an https address for RTMP, and WHIP where OBS has no WHIP service, saying why; nothing stored', async () => {
        const before = snapshot();
        const rows = [[useVelmora('https://127.0.0.1/live'), 'An RTMP server URL starts with rtmp:// or rtmps://.',
          'info: [velmora] Not switching services: the server URL is not an rtmp(s) address'],
        [useVelmora(`https://127.0.0.1:${port}/whip`, 'whip'), 'WHIP needs OBS 30 or newer with WebRTC; use RTMP.',
          'info: [velmora] Not switching services: this OBS has no WHIP service (whip_custom)']];
        for (const [message, words, line] of rows) {
          const { state, live, files: now, log, events } = await step(message);
          const answer = events.find((e) => e.event === 'action_result').data;
          assert.deepEqual([answer.ok, answer.message], [false, words]);
          assert.ok(log.includes(line), log);
          assert.deepEqual(live, seeded);
          assert.deepEqual(now, before, 'a record or a backup was written');
          assert.deepEqual([state.data.serviceIsVelmora, state.data.previousService], [false, '']);
        }
      });

      await t.test('use_velmora installs the Velmora service, remembers the old one and backs it up', async () => {
        const { state, live, files: now, log } = await step(useVelmora(ingest.url));
        const ours = { type: 'rtmp_custom', settings: { server: ingest.url, key: KEY, use_auth: false, velmora_obs: true } };
        assert.deepEqual(JSON.parse(now.service), ours, 'service.json');
        assert.deepEqual(live, ours, 'OBS\'s service in memory');
        assert.ok(log.includes('info: [velmora] OBS now streams to Velmora (RTMP)'));
        assert.deepEqual([state.data.serviceIsVelmora, state.data.previousService], [true, 'Twitch']);
        assert.deepEqual(JSON.parse(now.config).previous, { ...seeded, target: files.service,
          installed: { type: 'rtmp_custom', server: ingest.url } });
        assert.deepEqual([state.data.serviceState, state.data.serviceName, state.data.serviceServer, state.data.serviceKey],
          ['velmora', 'Velmora', ingest.url, KEY]);
        assert.deepEqual(JSON.parse(now.record), seeded, 'restore-service.json');
        assert.equal(now.target, files.service, 'restore-target.txt');
      });

      await t.test('a second identical use_velmora changes and logs nothing but sends a state', async () => {
        const before = snapshot();
        const { files: now, log, state } = await step(useVelmora(ingest.url), { sender: b });
        assert.deepEqual(now, before);
        assert.ok(!log.includes('[velmora]'), `module logged: ${log}`);
        assert.equal(state.data.serviceIsVelmora, true);
      });

      // In another profile nothing of the first profile's may be written over.
      await t.test('in another profile, neither restores over its service nor replaces the first profile\'s record', async () => {
        const from = a.mark();
        await obsws.request('SetCurrentProfile', { profileName: 'other' });
        const changed = await a.waitFor('state', IO_MS, { from });
        const restore = await step({ action: 'restore_service' });
        const use = await step(useVelmora(ingest.url));
        const back = a.mark();
        await obsws.request('SetCurrentProfile', { profileName: 'test' });
        await a.waitFor('state', IO_MS, { from: back });
        assert.equal(changed.data.serviceIsVelmora, false);
        for (const attempt of [restore, use]) {
          assert.deepEqual(attempt.live, OTHER, 'the other profile\'s service changed');
          assert.deepEqual(JSON.parse(attempt.files.otherService), OTHER, 'its service.json changed');
          assert.equal(JSON.parse(attempt.files.config).previous.type, 'rtmp_common', 'the record changed');
        }
        assert.match(restore.log, /warning: \[velmora\] Not putting back the previous rtmp_common service: /);
        assert.match(use.log, /warning: \[velmora\] Not switching services: the service of another profile is still to be put back/);
      });

      await t.test('start_streaming asks OBS\'s question first; confirmed: streaming_starting, streaming_started, a live state', async (st) => {
        const from = a.mark();
        const asked = await result({ action: 'start_streaming' }, from);
        await sleep(1000);
        assert.deepEqual(asked, { event: 'action_result', action: 'start_streaming', ok: false, message: '',
          confirm: 'Are you sure you want to start the stream?' });
        assert.deepEqual(streamEvents(a.since(from)), [], 'OBS started before the streamer said yes');
        const { events, state, ms } = await step({ action: 'start_streaming', confirmed: true }, { sender: b, test: (x) => x.streaming, timeoutMs: STREAM_MS });
        st.diagnostic(`live state ${Math.round(ms)} ms after start_streaming`);
        assert.deepEqual(streamEvents(events), ['obs:streaming_starting', 'obs:streaming_started', 'state']);
        assert.deepEqual([state.data.streaming, state.data.reconnecting, state.data.connecting], [true, false, false]);
      });

      await t.test('sends stats every 2 s while live, kbps 0 first, then what nginx receives', async (st) => {
        // Each stats event, paired with nginx's byte count fetched right after it.
        const ticks = [];
        for (let from = a.mark(); ticks.length < 5;) {
          const e = await a.waitFor('stats', 3500, { from });
          from = e.index + 1;
          ticks.push({ entry: e, nginx: await ingest.stream(KEY), at: performance.now() });
        }
        const gaps = ticks.slice(1).map((x, i) => x.entry.at - ticks[i].entry.at);
        const nginx = ticks.slice(1).map((x, i) => ((x.nginx.bytesIn - ticks[i].nginx.bytesIn) * 8) / (x.at - ticks[i].at));
        const kbps = ticks.map((x) => x.entry.data.kbps);
        st.diagnostic(`stats kbps ${kbps}; nginx ${nginx.map((v) => v.toFixed(1))}; gaps ${gaps.map(Math.round)} ms`);
        assert.match(ticks.at(-1).nginx.meta, /<width>320<\/width><height>180<\/height>/);
        for (const { entry } of ticks) {
          assert.ok(entry.data.streaming && entry.data.congestion >= 0 && entry.data.fps > 5 && entry.data.fps < 15, entry.raw);
        }
        for (const gap of gaps) assert.ok(Math.abs(gap - 2000) < 400, `stats ${Math.round(gap)} ms apart`);
        assert.equal(kbps[0], 0, 'first tick');
        const frames = ticks.map((x) => x.entry.data.totalFrames);
        assert.ok(frames.every((f, i) => i === 0 || f > frames[i - 1]), `totalFrames ${frames}`);
        kbps.slice(1).forEach((v, i) => assert.ok(Math.abs(v - nginx[i]) < 0.5 * nginx[i] && v > 20, `${v} vs ${nginx[i]}`));
      });

      await t.test('refuses to switch services while live, with a log line, the reason and a state', async () => {
        const before = snapshot();
        const { files: now, state, log, events } = await step(useVelmora(deadUrl));
        assert.equal(now.service, before.service);
        assert.ok(log.includes('info: [velmora] Not switching services while OBS is streaming'));
        assert.equal(events.find((e) => e.event === 'action_result').data.message, 'OBS is streaming. End the stream to change the service.');
        assert.deepEqual([state.data.streaming, state.data.serviceIsVelmora], [true, true]);
      });

      await t.test('stop_streaming asks first; confirmed: stopping, stopped with lastError, a state, and no stats after', async () => {
        assert.equal((await result({ action: 'stop_streaming' })).confirm, 'Are you sure you want to stop the stream?');
        const { events } = await step({ action: 'stop_streaming', confirmed: true }, { test: (x) => !x.streaming, timeoutMs: STREAM_MS });
        const idleFrom = a.mark();
        await sleep(2500); // a full stats interval with OBS not live
        assert.deepEqual(streamEvents(events), ['obs:streaming_stopping', 'obs:streaming_stopped', 'state']);
        assert.deepEqual(keysOf(events.find((e) => e.data.type === 'streaming_stopped')), ['event', 'type', 'lastError']);
        assert.deepEqual(a.since(idleFrom).map((e) => e.raw), [], 'events in an idle stats interval');
        const stream = await ingest.stream(KEY);
        assert.ok(!stream || !stream.publishing, 'nginx still has the stream');
      });

      await t.test('a stream to a port where nothing listens fails naming the server, as OBS says it failed', async (st) => {
        await step(useVelmora(deadUrl));
        const from = a.mark();
        a.send({ action: 'start_streaming', confirmed: true });
        const stopped = await a.waitFor((e) => e.event === 'obs' && e.data.type === 'streaming_stopped', STREAM_MS, { from });
        const state = await a.waitFor('state', IO_MS, { from: stopped.index });
        await sleep(1000); // OBS's "Failed to connect" dialog opens
        const dialogs = (await obs.command('dialogs', /\[stand-in\] dialogs: .*/))[0];
        const events = a.events.slice(from, state.index + 1);
        st.diagnostic(`events ${summary(events)}; lastError ${JSON.stringify(stopped.data.lastError)}; ${dialogs}`);
        assert.deepEqual(streamEvents(events), ['obs:streaming_starting', 'obs:streaming_stopped', 'state']);
        assert.equal(stopped.data.lastError, `Couldn't connect to ${deadUrl}: check the server URL.`);
        assert.deepEqual([state.data.lastError, state.data.connecting, state.data.streaming], [stopped.data.lastError, false, false]);
        assert.match(dialogs, /dialogs: (?!none)/, 'OBS showed no failure while the dock did');
      });

      await t.test('while OBS connects to a server that never answers, the dock says “connecting” as long as OBS does', async () => {
        await step(useVelmora(silent.url));
        const from = a.mark();
        a.send({ action: 'start_streaming', confirmed: true });
        await a.waitFor((e) => e.event === 'obs' && e.data.type === 'streaming_starting', STREAM_MS, { from });
        await sleep(3000);
        a.send({ action: 'start_streaming', confirmed: true }); // a second Go live is no second start
        await sleep(9000); // longer than any "start overdue" guess
        const waiting = await step({ action: 'get_state' });
        const button = (await obs.command('stream-button', /\[stand-in\] stream button: .*/))[0];
        const dialogsWhileConnecting = (await obs.command('dialogs', /\[stand-in\] dialogs: .*/))[0];
        await silent.close(); // the server goes away: OBS gives up
        const stopped = await a.waitFor((e) => e.event === 'obs' && e.data.type === 'streaming_stopped', 40000, { from });
        const after = await a.waitFor('state', IO_MS, { from: stopped.index });
        await sleep(1000);
        await obs.command('dialogs', /\[stand-in\] dialogs: .*/);
        const buttonAfter = (await obs.command('stream-button', /\[stand-in\] stream button: .*/))[0];
        assert.deepEqual([waiting.state.data.connecting, waiting.state.data.streaming], [true, false]);
        assert.match(button, /stream button: Connecting\.\.\. \(disabled\)/);
        assert.match(dialogsWhileConnecting, /dialogs: none$/);
        assert.deepEqual(streamEvents(a.since(from)).filter((x) => x.startsWith('obs:')), ['obs:streaming_starting', 'obs:streaming_stopped']);
        assert.match(stopped.data.lastError, new RegExp(`${silent.url.replace(/[.]/g, '\\.')}`));
        assert.equal(after.data.connecting, false);
        assert.match(buttonAfter, /stream button: Start Streaming \(enabled\)/);
      });

      await t.test('restore_service puts the old service back and removes the record and backups', async () => {
        const { live, files: now, state } = await step({ action: 'restore_service' });
        assert.deepEqual(live, seeded);
        assert.deepEqual(JSON.parse(now.service), seeded);
        assert.deepEqual([JSON.parse(now.config).previous, now.record, now.target], [undefined, null, null]);
        assert.equal(count(obs.log(), '[velmora] Put back the stream service OBS had before Velmora (rtmp_common)'), 1);
        assert.deepEqual([state.data.serviceIsVelmora, state.data.previousService], [false, '']);
      });

      await t.test('a start OBS refuses at once is told as OBS shows it, not left “connecting”', async (st) => {
        await obs.command('failing-service', '[stand-in] failing service in use');
        const from = a.mark();
        a.send({ action: 'start_streaming', confirmed: true });
        const failed = await a.waitFor((e) => e.event === 'obs' && e.data.type === 'streaming_start_failed', STREAM_MS, { from });
        const state = await a.waitFor('state', IO_MS, { from: failed.index });
        await sleep(500);
        const dialogs = (await obs.command('dialogs', /\[stand-in\] dialogs: .*/))[0];
        st.diagnostic(`${summary(a.since(from))}; ${failed.data.lastError}; ${dialogs}`);
        assert.match(failed.data.lastError, /^OBS couldn't start the stream/);
        assert.deepEqual([state.data.connecting, state.data.streaming], [false, false]);
        assert.match(dialogs, /dialogs: (?!none)/, 'the dock told of a failure OBS did not show');
      });

      obsws.close();
      const stopped = await obs.stop();
      await Promise.all(clients.map((c) => c.closed));
      sequences = clients.map((c, i) => c.since(base[i]).map((e) => e.raw));
      return stopped;
    });
  } finally {
    ingestStop = await ingest.stop();
  }

  await t.test('the same events on both clients; obs exit last; OBS and nginx exit cleanly', () => {
    // Update events leave from the asking client's connection thread, states from OBS's main
    // thread: the two kinds may interleave differently on each client, each kind in one order.
    const kinds = (sequence) => [sequence.filter((raw) => !raw.includes('"event":"update"')),
      sequence.filter((raw) => raw.includes('"event":"update"'))];
    assert.deepEqual(kinds(sequences[1]), kinds(sequences[0]));
    for (const c of clients) assertExitLast(c);
    assertCleanExit(run);
    assert.deepEqual(ingestStop, { code: 0, signal: null }, 'nginx on SIGQUIT');
  });
});
