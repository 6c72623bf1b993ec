// Draws the model into the dock's page. Text goes in as text only: nothing from the bridge is
// ever parsed as HTML.
import { connected, describeUpdate, droppedPercent, stopReason, streamButton, streamStatus } from './reducer.js';

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
  starting: 'Starting…',
  live: 'Live',
  reconnecting: 'Reconnecting…',
  stopping: 'Stopping…',
};

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

export function graphPoints(history) {
  if (history.length < 2) return '';
  const top = Math.max(...history, 1);
  const step = 100 / (history.length - 1);
  return history.map((kbps, i) => `${(i * step).toFixed(1)},${(30 - (kbps / top) * 28).toFixed(1)}`).join(' ');
}

function drawStream(model) {
  const status = streamStatus(model);
  const statusElement = $('stream-status');
  setText(statusElement, STATUS_WORDS[status] || 'Offline');
  statusElement.dataset.status = status;
  const button = streamButton(model);
  const streamButtonElement = $('stream-button');
  setText(streamButtonElement, button.label);
  streamButtonElement.dataset.action = button.action;
  streamButtonElement.disabled = button.disabled;
  const reason = stopReason(model);
  note($('stream-error'), reason ? `The stream ended: ${reason}` : '');

  const stats = model.stats;
  const figures = !!stats && (status === 'live' || status === 'reconnecting');
  show($('figures'), figures);
  show($('stream-card'), figures || reason !== '');
  // Beside the state in the bar, outside its live region: a tick is not news.
  show($('bar-kbps'), figures);
  if (!stats) return;
  const kbps = `${Math.round(Number(stats.kbps) || 0).toLocaleString('en-US')} kb/s`;
  setText($('bar-kbps'), ` · ${kbps}`);
  setText($('kbps'), kbps);
  setText($('dropped'), `${stats.droppedFrames || 0} (${droppedPercent(stats).toFixed(1)}%)`);
  setText($('congestion'), `${Math.round((Number(stats.congestion) || 0) * 100)}%`);
  setText($('fps'), `${Math.round(Number(stats.fps) || 0)} fps`);
  $('graph-line').setAttribute('points', graphPoints(model.history));
}

function drawService(model, ready, streaming) {
  const state = model.state;
  setText($('service-status'), !state ? '—'
    : state.serviceIsVelmora ? 'OBS streams to Velmora.' : 'OBS streams to another service.');
  $('service-use').disabled = !ready || streaming;
  const restore = $('service-restore');
  const previous = state && typeof state.previousService === 'string' ? state.previousService : '';
  show(restore, previous !== '');
  setText(restore, `Put back ${previous}`);
  restore.disabled = !ready || streaming;
  note($('service-note'), model.notes.service);
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
  for (const button of document.querySelectorAll('[data-overlay-add]')) button.disabled = !ready;
  for (const button of document.querySelectorAll('[data-overlay-copy]')) {
    const key = button.dataset.overlayCopy === 'countdown' ? 'overlayCountdownUrl' : 'overlayChatUrl';
    button.disabled = !state || !state[key];
  }
  for (const id of ['chat-send', 'countdown-set', 'countdown-clear', 'overlay-reset']) $(id).disabled = !ready;
  note($('overlay-note'), model.notes.overlay);
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

export function draw(model) {
  const ready = connected(model);
  const streaming = !!(model.state && model.state.streaming);
  const [pill, banner] = CONNECTION_WORDS[model.connection] || CONNECTION_WORDS.connecting;
  setText($('connection'), pill);
  $('connection').dataset.connection = model.connection;
  note($('banner'), banner);
  drawStream(model);
  drawService(model, ready, streaming);
  drawAccount(model, ready);
  drawOverlays(model, ready);
  drawUpdate(model, ready, streaming);
  document.body.dataset.drawn = model.state ? 'state' : 'waiting';
}
