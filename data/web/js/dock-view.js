// Draws the model into the dock's page. Text goes in as text only: nothing from the bridge is
// ever parsed as HTML.
import {
  connected, describeService, describeUpdate, droppedPercent, ingestWords, stopReason, streamButton, streamStatus, WHIP_MISSING,
} from './reducer.js';

const $ = (id) => document.getElementById(id);

const CONNECTION_WORDS = {
  connecting: ['Connecting…', ''],
  open: ['Connected', ''],
  lost: ['Reconnecting…', 'Lost the connection to OBS. Trying again…'],
  closing: ['OBS is closing', 'OBS is closing.'],
  'no-token': ['Not connected', 'Open this page from the Velmora dock in OBS.'],
  refused: ['Not connected', 'OBS refuses this page. Trying again every minute; if it stays, open the Velmora dock from OBS again.'],
};

const STATUS_WORDS = {
  offline: 'Offline',
  starting: 'Connecting…',
  live: 'Live',
  reconnecting: 'Reconnecting…',
  stopping: 'Stopping…',
};

const HEALTH_WORDS = {
  excellent: 'Excellent connection',
  good: 'Good connection',
  mediocre: 'Unstable connection: OBS is dropping some frames',
  bad: 'Poor connection: OBS is dropping frames',
};

export const NO_BROWSER_SOURCES = 'This OBS has no browser sources, so “Add to scene” can’t work here. Use “Copy link” and '
  + 'paste the link into a browser source of an OBS that has them.';

// Hiding the control that has the keyboard focus would drop it on the page: it goes to the
// card's summary or heading instead.
function show(element, visible) {
  if (!visible && !element.hidden && element.contains(document.activeElement)) {
    const card = element.closest('details, section');
    const target = card && card.querySelector('summary, h2');
    if (target) target.focus();
  }
  element.hidden = !visible;
}

// Opens a folded section when something in it now needs the streamer.
function unfold(name) {
  const section = document.querySelector(`details[data-fold="${name}"]`);
  if (section && !section.open) section.open = true;
}

// What was last drawn, to open sections on a change rather than on every draw.
const drawn = { updateNeedsAttention: false, signInStatus: 'signed-out' };

function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}

function note(element, text) {
  setText(element, text);
  show(element, text !== '');
}

// An answer to the streamer: errors in the error colour.
function answer(element, value) {
  note(element, value ? value.text : '');
  element.classList.toggle('error', !!(value && value.error));
}

// A figure and its unit never part at a line end.
function figure(number, unit) {
  return `${number}\u00a0${unit}`;
}

export function graphPoints(history) {
  if (history.length < 2) return '';
  const top = Math.max(...history, 1);
  const step = 100 / (history.length - 1);
  return history.map((kbps, i) => `${(i * step).toFixed(1)},${(30 - (kbps / top) * 28).toFixed(1)}`).join(' ');
}

export function clock(seconds) {
  const s = Math.max(0, Math.floor(Number(seconds) || 0));
  return `${Math.floor(s / 3600)}:${String(Math.floor(s / 60) % 60).padStart(2, '0')}:${String(s % 60).padStart(2, '0')}`;
}

function drawConfirm(model, area, yesWords) {
  const confirm = model.confirm && yesWords[model.confirm.action] ? model.confirm : null;
  const box = $(`${area}-confirm`);
  const wasHidden = box.hidden;
  show(box, !!confirm);
  if (!confirm) return;
  setText($(`${area}-question`), confirm.question);
  setText($(`${area}-yes`), yesWords[confirm.action]);
  $(`${area}-yes`).dataset.action = confirm.action;
  if (wasHidden) $(`${area}-no`).focus();
}

function drawStream(model, liveSeconds) {
  const status = streamStatus(model);
  const statusElement = $('stream-status');
  const attempt = model.stats && Number(model.stats.reconnectAttempt) > 0 ? ` (attempt ${Number(model.stats.reconnectAttempt)})` : '';
  setText(statusElement, (STATUS_WORDS[status] || 'Offline') + (status === 'reconnecting' ? attempt : ''));
  statusElement.dataset.status = status;
  const button = streamButton(model);
  const streamButtonElement = $('stream-button');
  setText(streamButtonElement, button.label);
  streamButtonElement.dataset.action = button.action;
  streamButtonElement.disabled = button.disabled;
  drawConfirm(model, 'stream', { start_streaming: 'Start the stream', stop_streaming: 'Stop the stream' });
  answer($('stream-note'), model.notes.stream);
  const reason = stopReason(model);
  note($('stream-error'), !reason ? '' : model.wentLive === false ? `The stream didn't start. ${reason}` : `The stream ended: ${reason}`);

  const live = status === 'live' || status === 'reconnecting';
  const health = live && model.health ? model.health : '';
  const healthElement = $('bar-health');
  setText(healthElement, HEALTH_WORDS[health] || '');
  healthElement.dataset.health = health;
  show(healthElement, health !== '');

  const stats = model.stats;
  const figures = !!stats && live;
  show($('figures'), figures);
  show($('stream-card'), figures || reason !== '');
  // Beside the state in the bar, outside its live region: a tick is not news.
  show($('bar-kbps'), figures);
  if (!stats) return;
  const kbps = figure(Math.round(Number(stats.kbps) || 0).toLocaleString('en-US'), 'kb/s');
  setText($('bar-kbps'), ` · ${kbps}`);
  setText($('kbps'), kbps);
  setText($('dropped'), `${stats.droppedFrames || 0}\u00a0(${droppedPercent(stats).toFixed(1)}%)`);
  setText($('congestion'), `${Math.round((Number(stats.congestion) || 0) * 100)}%`);
  setText($('fps'), figure(Math.round(Number(stats.fps) || 0), 'fps'));
  setText($('live-time'), clock(liveSeconds));
  setText($('graph-top'), figure(Math.round(Math.max(...model.history, 0)).toLocaleString('en-US'), 'kb/s'));
  $('graph-line').setAttribute('points', graphPoints(model.history));
}

function drawService(model, ready) {
  const view = describeService(model);
  const state = model.state;
  setText($('service-status'), view.text);
  const mode = $('service-mode');
  const whip = mode.querySelector('option[value="whip"]');
  whip.disabled = !view.whip;
  if (!view.whip && mode.value === 'whip') mode.value = 'rtmp';
  note($('service-mode-note'), view.whip ? '' : WHIP_MISSING);
  const words = ingestWords(mode.value);
  setText($('service-url-label'), words.url);
  setText($('service-key-label'), words.key);
  $('service-url').placeholder = words.placeholder;
  setText($('service-key-show'), $('service-key').type === 'password' ? words.show : words.hide);
  $('service-fields').disabled = !ready || !view.editable;
  $('service-use').disabled = !ready || !view.editable;
  show($('service-live-note'), !!state && !view.editable);
  drawConfirm(model, 'service', { use_velmora: 'Replace it', restore_service: 'Put it back' });
  const restore = $('service-restore');
  show(restore, view.restore !== '');
  setText(restore, `Put back ${view.restore}`);
  restore.dataset.asks = String(view.restoreAsks);
  restore.disabled = !ready || !view.editable;
  answer($('service-note'), model.notes.service);
}

function drawAccount(model, ready) {
  const signIn = model.signIn;
  const words = {
    'signed-out': signIn.message || 'You are not signed in.',
    waiting: 'Finish signing in in your browser…',
    'signed-in': signIn.isNewUser ? 'Welcome to Velmora! You are signed in.' : 'You are signed in.',
  };
  setText($('account-status'), words[signIn.status]);
  if (drawn.signInStatus === 'waiting' && signIn.status !== 'waiting') unfold('account');
  drawn.signInStatus = signIn.status;
  show($('providers'), signIn.status === 'signed-out');
  for (const button of document.querySelectorAll('[data-provider]')) button.disabled = !ready;
  show($('sign-in-cancel'), signIn.status === 'waiting');
  show($('sign-out'), signIn.status === 'signed-in');
}

function drawOverlays(model, ready) {
  const state = model.state;
  const browserSources = !state || state.browserSources !== false;
  note($('overlays-unavailable'), browserSources ? '' : NO_BROWSER_SOURCES);
  for (const button of document.querySelectorAll('[data-overlay-add]')) {
    button.disabled = !ready || !browserSources;
    if (browserSources) button.removeAttribute('aria-describedby');
    else button.setAttribute('aria-describedby', 'overlays-unavailable');
  }
  for (const button of document.querySelectorAll('[data-overlay-copy]')) {
    const key = button.dataset.overlayCopy === 'countdown' ? 'overlayCountdownUrl' : 'overlayChatUrl';
    button.disabled = !state || !state[key];
  }
  for (const id of ['chat-send', 'countdown-set', 'countdown-clear', 'overlay-reset']) $(id).disabled = !ready;
  answer($('chat-note'), model.notes.chat);
  answer($('countdown-note'), model.notes.countdown);
  answer($('overlay-note'), model.notes.overlay);
}

function drawUpdate(model, ready, streaming) {
  const view = describeUpdate(model.update, streaming);
  if (view.needsAttention && !drawn.updateNeedsAttention) unfold('update');
  drawn.updateNeedsAttention = view.needsAttention;
  setText($('update-text'), view.text || '—');
  show($('update-required'), view.required);
  const progress = $('update-progress');
  show(progress, view.progress !== null);
  if (view.progress !== null) progress.value = view.progress;
  const notes = $('update-notes');
  setText(notes, view.notes);
  show(notes, view.notes !== '');
  show($('update-restart'), view.canRestart);
  show($('update-download'), view.canDownload);
  $('update-restart').disabled = !ready;
  $('update-check').disabled = !ready || !view.canCheck;
}

// liveSeconds: how long the stream has been live, counted on between ticks by the page.
export function draw(model, liveSeconds = 0) {
  const ready = connected(model);
  const streaming = !!(model.state && model.state.streaming);
  const [pill, banner] = CONNECTION_WORDS[model.connection] || CONNECTION_WORDS.connecting;
  setText($('connection'), pill);
  $('connection').dataset.connection = model.connection;
  note($('banner'), banner);
  drawStream(model, liveSeconds);
  drawService(model, ready);
  drawAccount(model, ready);
  drawOverlays(model, ready);
  drawUpdate(model, ready, streaming);
  document.body.dataset.drawn = model.state ? 'state' : 'waiting';
}
