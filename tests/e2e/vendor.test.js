'use strict';
// Velmora through obs-websocket (password-protected), as a stream deck drives it with obs-websocket-js: the
// automation round trip to a real RTMP ingest, bad requests, overlay publications on a real overlay page, OBS's
// exit with a subscribed client, and a module that works on without obs-websocket.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, withObs, OBS_BUILD } = require('./lib/obs');
const { connectObsWebSocket } = require('./lib/obsws');
const { startIngest } = require('./lib/ingest');
const { freePorts } = require('./lib/ports');
const { poll, assertCleanExit, count } = require('./lib/checks');
const { launchBrowser, openPage } = require('./lib/browser');

const TWITCH = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_twitch_key' } };
const PASSWORD = 'deck-password-1';
const KEY = 'velmora_deck_key';
const UI_MS = 5000;
const REQUESTS = ['GetState', 'UseVelmora', 'RestoreService', 'ShowDock', 'PublishOverlay', 'AddOverlay',
  'ResetOverlayLink', 'CheckForUpdate'];
const refused = (message) => ({ ok: false, message, confirm: '' });

test('Velmora through obs-websocket', { timeout: 240000 }, async (t) => {
  const wsPort = await freePorts();
  const ingest = await startIngest();
  const browser = await launchBrowser();
  const home = makeHome({ service: TWITCH, standIns: ['obs-browser'], obsWebSocket: wsPort, obsWebSocketPassword: PASSWORD });
  t.after(async () => { await browser.close(); await ingest.stop(); home.cleanup(); });
  const session = (fn, options = {}) => withObs({ home, args: ['--websocket_debug'], ...options }, async (obs) => {
    const deck = await connectObsWebSocket(wsPort, PASSWORD);
    const out = await fn(deck, obs);
    return { out, run: await obs.stop() };
  });
  const event = (deck, type, test = () => true, from = 0) =>
    poll(() => deck.vendorEvents.slice(from).find((e) => e.type === type && test(e.data)), UI_MS, `a ${type} event`);
  const secrets = () => [KEY, TWITCH.settings.key, home.readConfig().overlayToken];
  const assertNoSecret = (what, text) => { for (const s of secrets()) assert.ok(!text.includes(s), `${what} holds a secret`); };

  const { run } = await session(async (deck, obs) => {
    await t.test('switches, streams with obs-websocket’s StartStream, reports, and puts the service back exactly', async () => {
      const before = await deck.request('GetStreamServiceSettings');
      const first = await deck.vendor('GetState');
      assert.deepEqual([first.ok, first.state.serviceState, first.state.serviceName], [true, 'other', 'Twitch']);
      assert.deepEqual(await deck.vendor('UseVelmora', { mode: 'rtmp', url: ingest.url, key: KEY }),
        { ok: true, message: 'OBS now streams to Velmora.', confirm: '' });
      await event(deck, 'StateChanged', (s) => s.serviceIsVelmora && s.serviceServer === ingest.url);
      const live = deck.vendorEvents.length;
      await deck.request('StartStream');
      await poll(async () => (await ingest.stream(KEY))?.publishing, 15000, 'the stream at the ingest');
      const stats = await event(deck, 'Stats', (s) => s.streaming && s.kbps > 0, live);
      await event(deck, 'StateChanged', (s) => s.streaming, live);
      const ended = deck.vendorEvents.length;
      await deck.request('StopStream');
      await event(deck, 'StateChanged', (s) => !s.streaming, ended);
      const back = await deck.vendor('RestoreService');
      assert.deepEqual(back, { ok: true, message: 'OBS streams to Twitch again.', confirm: '' });
      assert.deepEqual(await deck.request('GetStreamServiceSettings'), before);
      assert.deepEqual(Object.keys(stats.data).sort(), ['congestion', 'droppedFrames', 'fps', 'kbps', 'liveSeconds',
        'reconnectAttempt', 'reconnecting', 'streaming', 'totalFrames']);
      for (const e of deck.vendorEvents) assertNoSecret(`${e.type} event`, e.text);
      assertNoSecret('GetState', JSON.stringify(await deck.vendor('GetState')));
    });

    await t.test('bad requests are answered with their error and change nothing', async () => {
      const url = ingest.url;
      const cases = [
        ['UseVelmora', undefined, refused('"mode" is missing.')],
        ['UseVelmora', { mode: 5, url, key: KEY }, refused('"mode" must be a string.')],
        ['UseVelmora', { mode: 'srt', url, key: KEY }, refused('Unknown mode "srt": use "rtmp" or "whip".')],
        ['UseVelmora', { mode: 'rtmp', url, key: KEY, replace: 'yes' }, refused('"replace" must be true or false.')],
        ['UseVelmora', { mode: 'rtmp', url: 'https://127.0.0.1/live', key: KEY },
          refused('An RTMP server URL starts with rtmp:// or rtmps://.')],
        ['RestoreService', { replace: 1 }, refused('"replace" must be true or false.')],
        ['RestoreService', undefined, refused('There is no service to put back.')],
        ['PublishOverlay', undefined, refused('"state" is missing.')],
        ['PublishOverlay', { state: 'chat' }, refused('"state" must be an object.')],
        ['AddOverlay', { kind: 'poll' }, refused('That overlay doesn\'t exist.')],
        ['AddOverlay', { kind: 'chat', query: 7 }, refused('"query" must be a string.')],
      ];
      const before = [await deck.request('GetStreamServiceSettings'), (await deck.vendor('GetState')).state];
      for (const [type, data, answer] of cases) assert.deepEqual(await deck.vendor(type, data), answer, `${type} ${JSON.stringify(data)}`);
      await assert.rejects(deck.vendor('Nope'), /No request was found by that name/);
      // A flood: every request answered, at most refused as busy, and OBS answers at once afterwards.
      const flood = await Promise.all(Array.from({ length: 100 }, () => deck.vendor('GetState')));
      assert.deepEqual([...new Set(flood.map((a) => a.ok || a.message))], [true].concat(
        flood.some((a) => !a.ok) ? ['Velmora is busy with other requests. Try again.'] : []));
      assert.deepEqual([await deck.request('GetStreamServiceSettings'), (await deck.vendor('GetState')).state], before);
    });

    await t.test('a chat line and a countdown published by a client show on the overlay pages', async () => {
      const from = deck.vendorEvents.length;
      const context = await browser.newContext();
      for (const kind of ['chat', 'countdown']) assert.equal((await deck.vendor('AddOverlay', { kind })).ok, true);
      await event(deck, 'OverlayAdded', (e) => e.kind === 'countdown' && e.ok, from);
      const page = async (name) => openPage(context, (await deck.request('GetInputSettings', { inputName: name })).inputSettings.url);
      const [chat, countdown] = [await page('Velmora chat'), await page('Velmora countdown')];
      const line = { id: 1, text: 'Hello from the deck', at: Date.now() };
      assert.equal((await deck.vendor('PublishOverlay', { state: { chat: { messages: [line] } } })).ok, true);
      await chat.locator('li', { hasText: line.text }).waitFor({ timeout: UI_MS });
      // A countdown alone keeps the chat line: members left out stay as published.
      const countdownState = { title: 'Starting soon', endsAt: Date.now() + 300000 };
      assert.equal((await deck.vendor('PublishOverlay', { state: { countdown: countdownState } })).ok, true);
      await countdown.locator('#countdown-title', { hasText: 'Starting soon' }).waitFor({ timeout: UI_MS });
      assert.match(await countdown.innerText('#countdown-time'), /^[45]:\d\d$/);
      const late = await page('Velmora chat');
      await late.locator('li', { hasText: line.text }).waitFor({ timeout: UI_MS });
      const problems = [chat, countdown, late].flatMap((p) => p.problems());
      await context.close();
      assert.deepEqual(problems, []);
      assert.deepEqual(await deck.vendor('ShowDock'), { ok: true, message: 'The Velmora dock is shown.', confirm: '' });
      const token = home.readConfig().overlayToken;
      assert.equal((await deck.vendor('ResetOverlayLink')).ok, true);
      assert.notEqual(home.readConfig().overlayToken, token);
      const updates = deck.vendorEvents.length;
      assert.equal((await deck.vendor('CheckForUpdate')).ok, true);
      await event(deck, 'UpdateChanged', () => true, updates);
      for (const e of deck.vendorEvents) assertNoSecret(`${e.type} event`, e.text);
    });

    // Closing with the client connected and subscribed.
    obs.exitFromMenu();
  });
  await t.test('File > Exit with a subscribed client: clean, every request unregistered first', () => {
    assertCleanExit(run);
    for (const type of REQUESTS) assert.match(run.log, new RegExp(`Unregistered vendor request: ${type}\\n`));
    assert.match(run.log, /obs-websocket clients reach Velmora as vendor "velmora" \(8 requests\)/);
  });

  await t.test('SIGINT with a subscribed client: clean', async () => {
    const { run: interrupted } = await session(async (deck, obs) => {
      await deck.vendor('GetState');
      obs.interrupt();
    });
    assertCleanExit(interrupted);
    assert.match(interrupted.log, /Unregistered vendor request: CheckForUpdate\n/);
  });

  await t.test('without obs-websocket the module works on and says so once', async () => {
    const bare = makeHome({ service: TWITCH });
    t.after(() => bare.cleanup());
    const { log, state } = await withObs({ home: bare, launcher: OBS_BUILD.launcherWithout('obs-websocket.so') },
      async (obs) => {
        const dock = await obs.connect();
        const answer = await dock.ask({ action: 'use_velmora', mode: 'rtmp', url: ingest.url, key: KEY }, 'action_result', UI_MS);
        return { log: obs.log(), state: answer.data };
      });
    assert.equal(count(log, 'obs-websocket is not there; stream decks and scripts cannot reach Velmora'), 1);
    assert.doesNotMatch(log, /obs-websocket\.so/);
    assert.equal(state.ok, true);
  });
});
