'use strict';
// Overlay sources in a real OBS, browser sources being real ones of the stand-in obs-browser;
// obs-websocket shows the scenes and the sources' settings.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, withObs } = require('./lib/obs');
const { connectObsWebSocket } = require('./lib/obsws');
const { freePorts, listen, closeServer } = require('./lib/ports');
const { settle, unwrap } = require('./lib/checks');

const IO_MS = 3000;
const THEIRS = { url: 'https://example.com/theirs', width: 100, height: 50 };

describe('overlay sources in OBS', { timeout: 120000 }, () => {
  const r = {};
  let home;
  let port;

  before(async () => {
    port = await freePorts(3); // the module's, the next one it moves to, and obs-websocket's
    const wsPort = port + 2;
    home = makeHome({ standIns: ['obs-browser'], config: { port }, obsWebSocket: wsPort });
    const session = async (obs, steps) => {
      await obs.waitForLog('[stand-in] widget shown', 5000);
      const obsws = await connectObsWebSocket(wsPort);
      const dock = await obs.connect();
      await dock.waitFor('state', IO_MS);
      const ask = async (message, name) => (await dock.ask(message, name, IO_MS)).data;
      const add = (kind, query) => ask({ action: 'overlay_add', kind, query }, 'overlay_added');
      const items = async (sceneName) => {
        const { sceneItems } = await obsws.request('GetSceneItemList', { sceneName });
        return Promise.all(sceneItems.map(async (item) => {
          const { sceneItemTransform: t } = await obsws.request('GetSceneItemTransform', { sceneName, sceneItemId: item.sceneItemId });
          return `${item.sourceName} (${t.positionX}, ${t.positionY})`;
        }));
      };
      const settings = async (inputName) => (await obsws.request('GetInputSettings', { inputName })).inputSettings;
      try {
        return await steps({ obs, obsws, dock, ask, add, items, settings });
      } finally {
        obsws.close();
      }
    };

    r.first = await settle(() => withObs({ home }, (obs) => session(obs,
      async ({ obsws, dock, ask, add, items, settings }) => {
        // Names held by the streamer's own sources: an image, and a browser source of theirs.
        await obsws.request('CreateInput', { sceneName: 'Scene', inputName: 'Velmora chat', inputKind: 'image_source', inputSettings: {} });
        await obsws.request('CreateInput', { sceneName: 'Scene', inputName: 'Velmora countdown', inputKind: 'browser_source', inputSettings: THEIRS });
        const added = [await add('chat', 'theme=dark&size=2'), await add('countdown', ''), await add('chat', '')];
        const scene = await items('Scene');
        await obsws.request('SetStudioModeEnabled', { studioModeEnabled: true });
        await obsws.request('CreateScene', { sceneName: 'Preview' });
        await obsws.request('SetCurrentPreviewScene', { sceneName: 'Preview' });
        const studio = await add('countdown', '');
        const preview = await items('Preview');
        const theirs = await settings('Velmora countdown');

        // A new overlay link: every overlay source changes (open pages being let go is the web suite's).
        const state = await ask({ action: 'overlay_reset' }, 'state');
        return { added, scene, studio, preview, theirs, state, chat: await settings('Velmora chat 2'),
          countdown: await settings('Velmora countdown 2'), token: home.readConfig().overlayToken };
      })));
    // OBS again, with the stored port taken: the module moves to the next one and stores it, and at start
    // the sources follow.
    const held = await listen(port);
    try {
      r.second = await settle(() => withObs({ home }, (obs) => session(obs, async ({ settings }) => ({
        bound: await obs.dockPort(), chat: await settings('Velmora chat 2'),
        countdown: await settings('Velmora countdown 2') }))));
      r.stored = home.readConfig();
    } finally {
      await closeServer(held);
    }
  });
  after(() => home && home.cleanup());

  it('adds each overlay once, never taking over the streamer\'s own sources, placed on the small canvas', () => {
    const { added, scene, theirs } = unwrap(r.first);
    for (const [i, kind] of ['chat', 'countdown', 'chat'].entries()) assert.deepEqual(added[i], { event: 'overlay_added', kind, ok: true, message: '' });
    // 320 by 180: the chat 32 in from the left, its y clamped to the top; the countdown centred, x negative.
    assert.deepEqual(scene, ['Velmora chat (0, 0)', 'Velmora countdown (0, 0)', 'Velmora chat 2 (32, 0)', 'Velmora countdown 2 (-320, 0)']);
    assert.deepEqual(theirs, THEIRS);
  });

  it('in studio mode puts the overlay into the preview scene', () => {
    const { studio, preview } = unwrap(r.first);
    assert.equal(studio.ok, true);
    assert.deepEqual(preview, ['Velmora countdown 2 (-320, 0)']);
  });

  it('overlay_reset gives every overlay source and the state the new token', () => {
    const { state, chat, countdown, token: overlayToken } = unwrap(r.first);
    assert.equal(state.overlayChatUrl, `http://127.0.0.1:${port}/dock/overlay-chat.html#o=${overlayToken}`);
    assert.equal(chat.url, `http://127.0.0.1:${port}/dock/overlay-chat.html#o=${overlayToken}`);
    assert.equal(countdown.url, `http://127.0.0.1:${port}/dock/overlay-countdown.html#o=${overlayToken}`);
    assert.deepEqual([chat.velmora_overlay, chat.width, chat.height, chat.shutdown], ['chat', 420, 640, false]);
  });

  it('moves on from a taken port at the next start, stores it, and the sources point at it', () => {
    const { bound, chat, countdown } = unwrap(r.second);
    const { token: overlayToken } = unwrap(r.first);
    assert.deepEqual([bound, r.stored.port, r.stored.overlayToken], [port + 1, port + 1, overlayToken],
      'the port bound and stored, the token kept');
    assert.equal(chat.url, `http://127.0.0.1:${port + 1}/dock/overlay-chat.html#o=${overlayToken}`);
    assert.equal(countdown.url, `http://127.0.0.1:${port + 1}/dock/overlay-countdown.html#o=${overlayToken}`);
  });
});
