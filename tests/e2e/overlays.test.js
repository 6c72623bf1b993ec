'use strict';
// Overlay sources in a real OBS, browser sources being real ones of the stand-in obs-browser;
// obs-websocket shows the scenes and the sources' settings.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, withObs } = require('./lib/obs');
const { connectObsWebSocket } = require('./lib/obsws');
const { freePorts, listen, closeServer } = require('./lib/ports');

const IO_MS = 3000;
const THEIRS = { url: 'https://example.com/theirs', width: 100, height: 50 };

test('overlay sources in OBS', { timeout: 120000 }, async (t) => {
  const port = await freePorts(3); // the module's, the next one it moves to, and obs-websocket's
  const wsPort = port + 2;
  const home = makeHome({ standIns: ['obs-browser'], config: { port }, obsWebSocket: wsPort });
  t.after(() => home.cleanup());
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
        const { sceneItemTransform: at } = await obsws.request('GetSceneItemTransform', { sceneName, sceneItemId: item.sceneItemId });
        return `${item.sourceName} (${at.positionX}, ${at.positionY})`;
      }));
    };
    const settings = async (inputName) => (await obsws.request('GetInputSettings', { inputName })).inputSettings;
    try {
      await steps({ obsws, ask, add, items, settings });
    } finally {
      obsws.close();
    }
  };
  const url = (at, page, token) => `http://127.0.0.1:${at}/dock/overlay-${page}.html#o=${token}`;

  await withObs({ home }, (obs) => session(obs, async ({ obsws, ask, add, items, settings }) => {
    await t.test('adds each overlay once, never taking over the streamer\'s own sources, placed on the small canvas', async () => {
      // Names held by the streamer's own sources: an image, and a browser source of theirs.
      await obsws.request('CreateInput', { sceneName: 'Scene', inputName: 'Velmora chat', inputKind: 'image_source', inputSettings: {} });
      await obsws.request('CreateInput', { sceneName: 'Scene', inputName: 'Velmora countdown', inputKind: 'browser_source', inputSettings: THEIRS });
      for (const [kind, query] of [['chat', 'theme=dark&size=2'], ['countdown', ''], ['chat', '']]) {
        assert.deepEqual(await add(kind, query), { event: 'overlay_added', kind, ok: true, message: '' });
      }
      // 320 by 180: the chat 32 in from the left, its y clamped to the top; the countdown centred, x negative.
      assert.deepEqual(await items('Scene'), ['Velmora chat (0, 0)', 'Velmora countdown (0, 0)', 'Velmora chat 2 (32, 0)', 'Velmora countdown 2 (-320, 0)']);
      assert.deepEqual(await settings('Velmora countdown'), THEIRS);
    });

    await t.test('in studio mode puts the overlay into the preview scene', async () => {
      await obsws.request('SetStudioModeEnabled', { studioModeEnabled: true });
      await obsws.request('CreateScene', { sceneName: 'Preview' });
      await obsws.request('SetCurrentPreviewScene', { sceneName: 'Preview' });
      assert.equal((await add('countdown', '')).ok, true);
      assert.deepEqual(await items('Preview'), ['Velmora countdown 2 (-320, 0)']);
    });

    await t.test('overlay_reset gives every overlay source and the state the new token', async () => {
      // Open pages being let go is the web suite's.
      const state = await ask({ action: 'overlay_reset' }, 'state');
      const token = home.readConfig().overlayToken;
      const chat = await settings('Velmora chat 2');
      assert.equal(state.overlayChatUrl, url(port, 'chat', token));
      assert.equal(chat.url, url(port, 'chat', token));
      assert.equal((await settings('Velmora countdown 2')).url, url(port, 'countdown', token));
      assert.deepEqual([chat.velmora_overlay, chat.width, chat.height, chat.shutdown], ['chat', 420, 640, false]);
    });
  }));

  await t.test('moves on from a taken port at the next start, stores it, and the sources point at it', async () => {
    const token = home.readConfig().overlayToken;
    const held = await listen(port);
    try {
      await withObs({ home }, (obs) => session(obs, async ({ settings }) => {
        assert.equal(await obs.dockPort(), port + 1);
        assert.equal((await settings('Velmora chat 2')).url, url(port + 1, 'chat', token));
        assert.equal((await settings('Velmora countdown 2')).url, url(port + 1, 'countdown', token));
      }));
    } finally {
      await closeServer(held);
    }
    assert.deepEqual([home.readConfig().port, home.readConfig().overlayToken], [port + 1, token], 'the port stored, the token kept');
  });
});
