// The dock's event rules: what each bridge event does to the model, and what the page derives.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import {
  describeService, describeUpdate, droppedPercent, healthOf, HISTORY_LENGTH, initialModel, reduce, stopReason,
  streamButton, streamStatus,
} from '../../../data/web/js/reducer.js';
import { sayFromModule, setWords } from '../../../data/web/js/words.js';
import fs from 'node:fs';

const english = JSON.parse(fs.readFileSync(new URL('../../../data/web/locale/en-US.json', import.meta.url), 'utf8'));
setWords('en-US', english, english);

const run = (events, from = initialModel()) => events.reduce(reduce, from);
const open = { event: 'connection', status: 'open' };
const state = (fields = {}) => ({ event: 'state', streaming: false, reconnecting: false, serviceIsVelmora: false, previousService: '', lastError: '',
  serviceState: 'other', serviceName: 'Twitch', whipAvailable: false, browserSources: false, connecting: false, ...fields });
const obs = (type, extra = {}) => ({ event: 'obs', type, ...extra });
const stats = (kbps, extra = {}) => ({ event: 'stats', streaming: true, kbps, droppedFrames: 0, totalFrames: 100, congestion: 0, reconnecting: false, fps: 30, ...extra });

test('stream status and button through a stream that connects, reconnects, stops and fails, as OBS shows them', () => {
  const velmora = state({ serviceIsVelmora: true, serviceState: 'velmora', serviceName: 'Velmora' });
  const rows = [
    [[open, state()], 'offline', 'Go live on Twitch', false],
    [[open, velmora], 'offline', 'Go live on Velmora', false],
    [[open, state({ serviceState: 'none', serviceName: '' })], 'offline', 'Go live', false],
    [[state()], 'offline', 'Go live on Twitch', true], // not connected
    [[open], 'offline', 'Go live', true], // no state yet: nothing known of OBS
    // OBS connects for as long as it takes; its own button waits, and so does the dock's.
    [[open, state(), obs('streaming_starting')], 'starting', 'Connecting…', true],
    [[open, state({ connecting: true })], 'starting', 'Connecting…', true], // a dock opened meanwhile
    [[open, state(), obs('streaming_starting'), obs('streaming_start_failed', { lastError: 'x' })], 'offline', 'Go live on Twitch', false],
    [[open, state(), obs('streaming_starting'), state()], 'offline', 'Go live on Twitch', false],
    [[open, obs('streaming_starting'), obs('streaming_started'), state({ streaming: true })], 'live', 'End stream', false],
    [[open, state({ streaming: true }), stats(10, { reconnecting: true })], 'reconnecting', 'End stream', false],
    [[open, state({ streaming: true }), obs('streaming_stopping'), state({ streaming: true })], 'stopping', 'Stopping…', true],
    [[open, state({ streaming: true }), obs('streaming_stopping'), obs('streaming_stopped'), state()], 'offline', 'Go live on Twitch', false],
  ];
  for (const [events, status, label, disabled] of rows) {
    const model = run(events);
    assert.equal(streamStatus(model), status, JSON.stringify(events));
    assert.deepEqual([streamButton(model).label, streamButton(model).disabled], [label, disabled], JSON.stringify(events));
  }
});

test("health as OBS's status icon judges it: congestion averaged with the last tick, never below the latest", () => {
  const rows = [[0, 0, 'excellent'], [0.1, 0, 'good'], [0, 0.5, 'good'], [0.5, 0.5, 'mediocre'], [0.3, 1, 'mediocre'],
    [0.7, 0, 'bad'], [1, 0, 'bad'], [0, 1, 'mediocre'], [2, 0, 'bad'], ['x', 0, 'excellent']];
  for (const [now, previous, level] of rows) assert.equal(healthOf(now, previous), level, `${now} after ${previous}`);
  // Frames dropped since the last tick make it worse however calm the icon; better shows only after
  // CALM_TICKS calm ticks, so the bar does not flicker with OBS's sawtooth.
  const ticks = (...rows) => rows.map(([congestion, droppedFrames, totalFrames]) => stats(100, { congestion, droppedFrames, totalFrames }));
  const seen = [];
  let model = run([open, state({ streaming: true })]);
  for (const tick of ticks([0, 0, 100], [0, 1, 120], [0, 5, 140], [1, 5, 160], [0, 5, 180], [0, 5, 200], [0, 5, 220], [0, 5, 240])) {
    model = run([tick], model);
    seen.push(model.health);
  }
  assert.deepEqual(seen, ['excellent', 'mediocre', 'bad', 'bad', 'bad', 'bad', 'excellent', 'excellent']);
  assert.equal(run([obs('streaming_starting')], model).health, '');
});

test('answers to actions go to their area; a question waits for the yes, and the yes clears it', () => {
  const result = (action, fields) => ({ event: 'action_result', action, ok: false, message: '', confirm: '', ...fields });
  const asked = run([open, state(), result('use_velmora', { confirm: 'Replace your custom server?' })]);
  assert.deepEqual(asked.confirm, { action: 'use_velmora', question: 'Replace your custom server?' });
  assert.equal(asked.notes.service, null);
  assert.equal(run([{ event: 'confirm_answered' }], asked).confirm, null);
  const refused = run([result('use_velmora', { message: 'OBS is streaming. End the stream to change the service.' })], asked);
  assert.deepEqual(refused.notes.service, { text: 'OBS is streaming. End the stream to change the service.', error: true });
  assert.equal(refused.confirm, null, 'an answer to the same action ends its question');
  const done = run([result('restore_service', { ok: true, message: 'OBS streams to Twitch again.' })]);
  assert.deepEqual(done.notes.service, { text: 'OBS streams to Twitch again.', error: false });
  const start = run([result('start_streaming', { confirm: 'Are you sure you want to start the stream?' })], done);
  assert.equal(start.confirm.action, 'start_streaming');
  assert.equal(run([result('use_velmora', { ok: true, message: 'OBS now streams to Velmora.' })], start).confirm.action, 'start_streaming',
    'an answer to another action leaves the question');
  assert.equal(run([state()], asked).notes.service, null, 'a state claims nothing about a switch');
});

test('the service card says what OBS streams to and what “Put back” would replace', () => {
  const rows = [
    [{ serviceState: 'velmora', serviceIsVelmora: true, previousService: 'Twitch' }, 'OBS streams to Velmora.', 'Twitch', false],
    [{ serviceState: 'other', serviceName: 'your custom server', previousService: 'Twitch' },
      'OBS streams to your custom server, not to Velmora. “Put back” would put Twitch in its place.', 'Twitch', true],
    [{ serviceState: 'other', serviceName: 'YouTube - RTMPS' }, 'OBS streams to YouTube - RTMPS.', '', false],
    [{ serviceState: 'recorded', previousService: 'Twitch' }, 'OBS streams to Twitch.', '', false],
    [{ serviceState: 'none', serviceName: '' }, 'OBS has no stream service yet.', '', false],
  ];
  for (const [fields, text, restore, asks] of rows) {
    const view = describeService(run([open, state(fields)]));
    assert.deepEqual([view.text, view.restore, view.restoreAsks], [text, restore, asks], JSON.stringify(fields));
  }
  assert.equal(describeService(run([open, state({ streaming: true })])).editable, false);
  assert.equal(describeService(run([open, state({ connecting: true })])).editable, false);
  assert.equal(describeService(run([open, state({ whipAvailable: true })])).whip, true);
  assert.equal(describeService(run([open, state()])).whip, false);
});

test('the reason a stream ended shows while offline and clears when the next one starts', () => {
  const failed = run([open, obs('streaming_starting'), obs('streaming_stopped', { lastError: 'Could not connect.' }), state({ lastError: 'Could not connect.' })]);
  assert.equal(stopReason(failed), 'Could not connect.');
  assert.equal(stopReason(run([open, state({ lastError: 'Old error' })])), 'Old error');
  assert.equal(stopReason(run([obs('streaming_starting')], failed)), '');
  assert.equal(stopReason(run([obs('streaming_stopped', { lastError: 5 })])), '');
});

test('stats keep a bounded bitrate history per stream and ignore ticks that are not live', () => {
  const ticks = Array.from({ length: HISTORY_LENGTH + 5 }, (_, i) => stats(i));
  const model = run([open, state({ streaming: true }), ...ticks, { event: 'stats', streaming: false, fps: 30 }]);
  assert.equal(model.history.length, HISTORY_LENGTH);
  assert.deepEqual(model.history.slice(-2), [HISTORY_LENGTH + 3, HISTORY_LENGTH + 4]);
  assert.equal(model.stats.kbps, HISTORY_LENGTH + 4);
  assert.deepEqual(run([obs('streaming_starting')], model).history, []);
  assert.equal(droppedPercent({ droppedFrames: 3, totalFrames: 200 }), 1.5);
  assert.equal(droppedPercent({ droppedFrames: 3, totalFrames: 0 }), 0);
});

test('the connection, sign-in, overlay and service answers', () => {
  const closing = run([open, { event: 'note', area: 'service', text: 'OBS streams to Twitch again.' }, obs('exit'),
    { event: 'connection', status: 'lost' }]);
  assert.equal(closing.connection, 'closing');
  const back = run([{ event: 'connection', status: 'open' }], closing);
  assert.deepEqual([back.connection, back.notes.service], ['open', null], 'an answer from the OBS that went away stays behind');

  assert.equal(run([{ event: 'sign_in_opened', ok: true }]).signIn.status, 'waiting');
  const refused = run([{ event: 'sign_in_opened', ok: false }]).signIn;
  assert.equal(refused.status, 'signed-out');
  assert.match(refused.message, /couldn't open your browser/);
  const signedIn = run([{ event: 'sign_in_opened', ok: true }, { event: 'auth_token', idToken: 'x', isNewUser: true }]);
  assert.deepEqual(signedIn.signIn, { status: 'signed-in', isNewUser: true, message: '' });
  assert.equal(JSON.stringify(signedIn).includes('"x"'), false, 'the token stays out of the model');
  assert.equal(run([{ event: 'signed_out' }], signedIn).signIn.status, 'signed-out');

  assert.deepEqual(run([{ event: 'overlay_added', kind: 'countdown', ok: true, message: '' }]).notes.countdown,
    { text: 'Countdown overlay added to the scene.', error: false });
  assert.deepEqual(run([{ event: 'overlay_added', kind: 'chat', ok: false, message: 'Pick a scene in OBS first, then try again.' }]).notes.chat,
    { text: 'Pick a scene in OBS first, then try again.', error: true });

  const asked = run([open, state()]);
  assert.equal(run([{ event: 'unknown' }, { event: 'obs', type: 'scene_changed' }], asked), asked);
});

test('the update panel in each phase', () => {
  const update = (phase, extra = {}) => ({ event: 'update', current: '1.0.1', phase, version: '1.2.0', notes: '<b>Fixes</b>', required: true, message: '', progress: 0, restarting: false, ...extra });
  const rows = [
    [null, false, { text: '', canRestart: false, canDownload: false, canCheck: true, progress: null, required: false, notes: '' }],
    [update('available'), false, { text: 'Velmora 1.2.0 is available.', canDownload: true, canRestart: false, canCheck: true, required: true, notes: '<b>Fixes</b>', needsAttention: true }],
    [update('idle'), false, { text: 'You have Velmora 1.0.1.', canCheck: true, notes: '', needsAttention: false }],
    [update('idle', { message: "Couldn't reach the update server. We'll try again later." }), false,
      { text: "Couldn't reach the update server. We'll try again later.", canCheck: true }],
    [update('checking'), false, { text: 'Checking for updates…', canCheck: false }],
    [update('current'), false, { text: 'Velmora 1.0.1 is up to date.', notes: '' }],
    [update('downloading', { progress: 140 }), false, { progress: 100, canCheck: false, required: true, notes: '<b>Fixes</b>' }],
    [update('ready', { required: false }), false, { text: 'Velmora 1.2.0 is ready. It installs when OBS closes.', canRestart: true, canCheck: false, needsAttention: true }],
    [update('ready'), true, { canRestart: false, text: 'Velmora 1.2.0 is ready. It installs when OBS closes. End the stream to restart now.' }],
    [update('ready', { restarting: true }), false, { canRestart: false, text: 'Restarting OBS to install the update…' }],
    [update('failed', { message: 'The update is not signed.' }), false, { text: 'The update is not signed.', canCheck: true, required: false }],
  ];
  for (const [event, streaming, expected] of rows) {
    const view = describeUpdate(event, streaming);
    for (const [key, value] of Object.entries(expected)) assert.deepEqual(view[key], value, `${event && event.phase} ${key}`);
  }
});

// The module speaks English on the bridge; the dock reads each sentence against the English catalog
// and says it in its own language, with the names and nested sentences in it translated too.
test('the module’s English sentences are shown in the dock’s language, whatever they carry', () => {
  const german = JSON.parse(fs.readFileSync(new URL('../../../data/web/locale/de-DE.json', import.meta.url), 'utf8'));
  const fill = (key, values = {}) => german[key].replace(/\{(\w+)\}/g, (all, name) => values[name]);
  setWords('de-DE', german, english);
  const rows = [
    ['OBS streams to Twitch again.', fill('module.service.restored', { previous: 'Twitch' })],
    ['OBS streams to your custom server now, not to Velmora. Put back your WHIP server in its place?',
      fill('module.service.restoreQuestion', { service: german['module.name.custom'], previous: german['module.name.whip'] })],
    // A name twice, and a sentence inside a sentence inside a sentence.
    ['OBS streams to Kick now, not to Velmora, and “Put back” keeps Twitch. Replace Kick with Velmora?',
      fill('module.service.replaceQuestion', { service: 'Kick', kept: 'Twitch' })],
    ['The connection to the server was lost. OBS says: Verbindung getrennt',
      fill('module.stream.obsSays', { reason: fill('module.stream.disconnected', { server: german['module.name.server'] }), error: 'Verbindung getrennt' })],
    ["The update didn't look right, so we skipped it. Download it from velmora.app instead.",
      fill('module.update.elsewhere', { reason: german['module.update.looksWrong'], site: 'velmora.app' })],
    ['OBS couldn\'t start the stream to rtmp://a.example/live. Help › Log Files in OBS says why.',
      fill('module.stream.startFailedToNoWords', { server: 'rtmp://a.example/live' })],
    ['Are you sure you want to start the stream?', 'Möchten Sie den Stream wirklich starten?'],
    // What the catalog does not know is shown as it came, never half translated.
    ['Something new from a later module.', 'Something new from a later module.'],
    ['OBS streams to Twitch again', 'OBS streams to Twitch again'],
    ['OBS streams to Kick now, not to Velmora, and “Put back” keeps Twitch. Replace YouTube with Velmora?',
      'OBS streams to Kick now, not to Velmora, and “Put back” keeps Twitch. Replace YouTube with Velmora?'],
    // Too long to be the module's: matching such texts can take seconds, so none is matched.
    [`OBS streams to ${'x'.repeat(2000)} again.`, `OBS streams to ${'x'.repeat(2000)} again.`],
  ];
  try {
    assert.deepEqual(rows.map(([text]) => sayFromModule(text)), rows.map(([, shown]) => shown));
    const answered = run([open, { event: 'action_result', action: 'restore_service', ok: false, message: 'There is no service to put back.', confirm: '' }]);
    assert.equal(answered.notes.service.text, german['module.service.nothingToRestore']);
    assert.equal(streamButton(run([open, state({ serviceName: 'your custom server' })])).label,
      fill('dock.button.goLiveOn', { destination: german['module.name.custom'] }));
  } finally {
    setWords('en-US', english, english);
  }
});
