// The dock's event rules: what each bridge event does to the model, and what the page derives.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import {
  describeUpdate, droppedPercent, HISTORY_LENGTH, initialModel, reduce, stopReason, streamButton, streamStatus,
} from '../../../data/web/js/reducer.js';

const run = (events, from = initialModel()) => events.reduce(reduce, from);
const open = { event: 'connection', status: 'open' };
const state = (fields = {}) => ({ event: 'state', streaming: false, reconnecting: false, serviceIsVelmora: false, previousService: '', lastError: '', ...fields });
const obs = (type, extra = {}) => ({ event: 'obs', type, ...extra });
const stats = (kbps, extra = {}) => ({ event: 'stats', streaming: true, kbps, droppedFrames: 0, totalFrames: 100, congestion: 0, reconnecting: false, fps: 30, ...extra });

test('stream status and button through a stream that starts, reconnects, stops and fails', () => {
  const rows = [
    [[open, state()], 'offline', 'Go live', false],
    [[state()], 'offline', 'Go live', true], // not connected
    [[open, obs('streaming_starting')], 'starting', 'End stream', false],
    [[open, obs('streaming_starting'), state()], 'starting', 'End stream', false], // a state while connecting keeps it
    [[open, obs('streaming_starting'), obs('streaming_started'), state({ streaming: true })], 'live', 'End stream', false],
    [[open, state({ streaming: true }), stats(10, { reconnecting: true })], 'reconnecting', 'End stream', false],
    [[open, state({ streaming: true, reconnecting: true })], 'reconnecting', 'End stream', false],
    [[open, state({ streaming: true }), obs('streaming_stopping'), state({ streaming: true })], 'stopping', 'End stream', true],
    [[open, state({ streaming: true }), obs('streaming_stopping'), obs('streaming_stopped')], 'offline', 'Go live', false],
    // A start OBS failed without a word: once overdue, the next state settles it.
    [[open, obs('streaming_starting'), { event: 'start_overdue' }], 'starting', 'End stream', false],
    [[open, obs('streaming_starting'), { event: 'start_overdue' }, state()], 'offline', 'Go live', false],
    [[open, obs('streaming_starting'), { event: 'start_overdue' }, state({ streaming: true })], 'live', 'End stream', false],
    [[open, { event: 'start_overdue' }, obs('streaming_starting'), state()], 'starting', 'End stream', false],
  ];
  for (const [events, status, label, disabled] of rows) {
    const model = run(events);
    assert.equal(streamStatus(model), status, JSON.stringify(events));
    assert.deepEqual([streamButton(model).label, streamButton(model).disabled], [label, disabled], JSON.stringify(events));
  }
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
  const closing = run([open, obs('exit'), { event: 'connection', status: 'lost' }]);
  assert.equal(closing.connection, 'closing');
  assert.equal(run([{ event: 'connection', status: 'open' }], closing).connection, 'open');

  assert.equal(run([{ event: 'sign_in_opened', ok: true }]).signIn.status, 'waiting');
  const refused = run([{ event: 'sign_in_opened', ok: false }]).signIn;
  assert.equal(refused.status, 'signed-out');
  assert.match(refused.message, /couldn't open your browser/);
  const signedIn = run([{ event: 'sign_in_opened', ok: true }, { event: 'auth_token', idToken: 'x', isNewUser: true }]);
  assert.deepEqual(signedIn.signIn, { status: 'signed-in', isNewUser: true, message: '' });
  assert.equal(JSON.stringify(signedIn).includes('"x"'), false, 'the token stays out of the model');
  assert.equal(run([{ event: 'signed_out' }], signedIn).signIn.status, 'signed-out');

  assert.equal(run([{ event: 'overlay_added', kind: 'countdown', ok: true, message: '' }]).notes.overlay, 'Countdown overlay added to the scene.');
  assert.equal(run([{ event: 'overlay_added', kind: 'chat', ok: false, message: 'Pick a scene in OBS first, then try again.' }]).notes.overlay,
    'Pick a scene in OBS first, then try again.');

  const asked = run([open, { event: 'switch_requested' }]);
  assert.equal(run([state({ serviceIsVelmora: true })], asked).notes.service, 'OBS now streams to Velmora.');
  const kept = run([state()], asked);
  assert.match(kept.notes.service, /kept its current service/);
  assert.equal(run([state({ serviceIsVelmora: true })], kept).notes.service, kept.notes.service, 'only the state after the request answers it');
  assert.equal(run([{ event: 'unknown' }, { event: 'obs', type: 'scene_changed' }], asked), asked);
});

test('the update panel in each phase', () => {
  const update = (phase, extra = {}) => ({ event: 'update', current: '1.0.1', phase, version: '1.2.0', notes: '<b>Fixes</b>', required: true, message: '', progress: 0, restarting: false, ...extra });
  const rows = [
    [null, false, { text: '', canRestart: false, canDownload: false, canCheck: true, progress: null, required: false, notes: '' }],
    [update('available'), false, { text: 'Velmora 1.2.0 is available.', canDownload: true, canRestart: false, canCheck: true, required: true, notes: '<b>Fixes</b>', needsAttention: true }],
    [update('idle'), false, { text: 'You have Velmora 1.0.1.', canCheck: true, notes: '', needsAttention: false }],
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
