'use strict';
// The streamer's own service is never lost: switched to Velmora, then the Velmora service edited in
// OBS's settings page (which saves only the fields it knows, so our marker goes) and OBS restarted,
// the dock still knows the service as ours, a second switch keeps the record of Twitch, and "Put back"
// restores Twitch with its key. A record as the previous release wrote it (without the ingest) is
// read, and what "Put back" would replace is said and asked first. Three OBS starts in one home.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { makeHome, withObs } = require('./lib/obs');
const { assertCleanExit } = require('./lib/checks');

const TWITCH = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_twitch_key' } };
const INGEST = 'rtmp://127.0.0.1:1935/live';
const IO_MS = 5000;

test('the streamer’s service survives an edit of ours in OBS’s settings and a restart', { timeout: 120000 }, async (t) => {
  const home = makeHome({ service: TWITCH });
  t.after(() => home.cleanup());
  const serviceFile = path.join(home.profileDir, 'service.json');
  const readService = () => JSON.parse(fs.readFileSync(serviceFile, 'utf8'));
  // An action and what came of it: its result, then the state after it.
  const act = async (bridge, message) => {
    const from = bridge.mark();
    bridge.send(message);
    const result = await bridge.waitFor((e) => e.event === 'action_result' && e.data.action === message.action, IO_MS, { from });
    const state = await bridge.waitFor('state', IO_MS, { from: result.index });
    return { result: result.data, state: state.data };
  };
  const session = (fn) => withObs({ home }, async (obs) => {
    const bridge = await obs.connect();
    const first = await bridge.waitFor('state', IO_MS);
    const out = await fn(bridge, first.data, obs);
    bridge.ws.close();
    return { out, run: await obs.stop() };
  });
  // OBS's settings page writes the service back with only the fields it shows.
  const editInOBSSettings = (key) => {
    const { type, settings } = readService();
    fs.writeFileSync(serviceFile, JSON.stringify({ type, settings: { server: settings.server, key, use_auth: false } }));
  };

  await t.test('switched, edited in OBS’s settings and restarted, the service is still ours; switching again keeps Twitch', async () => {
    const first = await session((bridge) => act(bridge, { action: 'use_velmora', mode: 'rtmp', url: INGEST, key: 'velmora_1' }));
    assertCleanExit(first.run);
    editInOBSSettings('velmora_edited');
    const { out, run } = await session(async (bridge, first) => ({
      first, again: await act(bridge, { action: 'use_velmora', mode: 'rtmp', url: INGEST, key: 'velmora_2' }),
      config: home.readConfig(), put: await act(bridge, { action: 'restore_service' }),
    }));
    assertCleanExit(run);
    assert.deepEqual([out.first.serviceState, out.first.serviceIsVelmora, out.first.previousService, out.first.serviceServer,
      out.first.serviceKey], ['velmora', true, 'Twitch', INGEST, 'velmora_edited']);
    assert.equal(out.again.result.ok, true);
    assert.equal(out.config.previous.settings.key, 'live_twitch_key', 'the record of Twitch was overwritten');
    assert.deepEqual(out.put.result, { event: 'action_result', action: 'restore_service', ok: true, message: 'OBS streams to Twitch again.', confirm: '' });
    assert.deepEqual([out.put.state.serviceState, out.put.state.serviceName, out.put.state.previousService], ['other', 'Twitch', '']);
    const back = readService();
    assert.deepEqual([back.type, back.settings.service, back.settings.key], ['rtmp_common', 'Twitch', 'live_twitch_key']);
  });

  await t.test('a record as the last release wrote it is read; “Put back” says what it replaces and asks first', async () => {
    // Today's release's record of Twitch, and its Velmora service edited the same way.
    fs.writeFileSync(home.configFile, JSON.stringify({ ...home.readConfig(), previous: { ...TWITCH, target: serviceFile } }));
    fs.writeFileSync(serviceFile, JSON.stringify({ type: 'rtmp_custom', settings: { server: INGEST, key: 'velmora_edited', use_auth: false } }));
    const { out, run } = await session(async (bridge, first) => ({
      first,
      switched: await act(bridge, { action: 'use_velmora', mode: 'rtmp', url: INGEST, key: 'velmora_3' }),
      asked: await act(bridge, { action: 'restore_service' }),
      unchanged: readService(),
      put: await act(bridge, { action: 'restore_service', replace: true }),
    }));
    assertCleanExit(run);
    assert.deepEqual([out.first.serviceState, out.first.serviceName, out.first.previousService], ['other', 'your custom server', 'Twitch']);
    assert.equal(out.switched.result.ok, false);
    assert.match(out.switched.result.confirm, /^OBS streams to your custom server now, not to Velmora, and “Put back” keeps Twitch\. Replace/);
    assert.equal(out.asked.result.confirm, 'OBS streams to your custom server now, not to Velmora. Put back Twitch in its place?');
    assert.equal(out.unchanged.settings.key, 'velmora_edited', 'replaced before the streamer said yes');
    assert.equal(out.put.result.ok, true);
    const back = readService();
    assert.deepEqual([back.type, back.settings.service, back.settings.key], ['rtmp_common', 'Twitch', 'live_twitch_key']);
  });
});
