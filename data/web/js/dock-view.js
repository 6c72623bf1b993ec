// Draws the model into the dock's page. Text goes in as text only: nothing from the bridge is
// ever parsed as HTML.
import {
  connected, describeService, describeUpdate, droppedPercent, ingestWords, stopReason, streamButton, streamStatus,
} from './reducer.js';
import { duration, number, say } from './words.js';

const $ = (id) => document.getElementById(id);

// Per connection state: the pill's key and the banner's (none when all is well).
const CONNECTION_WORDS = {
  connecting: ['dock.connection.connecting', ''],
  open: ['dock.connection.open', ''],
  lost: ['dock.connection.lost', 'dock.connection.lostBanner'],
  closing: ['dock.connection.closing', 'dock.connection.closingBanner'],
  'no-token': ['dock.connection.none', 'dock.connection.noTokenBanner'],
  refused: ['dock.connection.none', 'dock.connection.refusedBanner'],
};

const STATUSES = ['offline', 'starting', 'live', 'reconnecting', 'stopping'];
const HEALTHS = ['excellent', 'good', 'mediocre', 'bad'];

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

export function graphPoints(history) {
  if (history.length < 2) return '';
  const top = Math.max(...history, 1);
  const step = 100 / (history.length - 1);
  return history.map((kbps, i) => `${(i * step).toFixed(1)},${(30 - (kbps / top) * 28).toFixed(1)}`).join(' ');
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
  const attempt = model.stats ? Number(model.stats.reconnectAttempt) || 0 : 0;
  setText(statusElement, status === 'reconnecting' && attempt > 0 ? say('dock.status.reconnectingAttempt', { attempt: number(attempt) })
    : say(`dock.status.${STATUSES.includes(status) ? status : 'offline'}`));
  statusElement.dataset.status = status;
  const button = streamButton(model);
  const streamButtonElement = $('stream-button');
  setText(streamButtonElement, button.label);
  streamButtonElement.dataset.action = button.action;
  streamButtonElement.disabled = button.disabled;
  drawConfirm(model, 'stream', { start_streaming: say('dock.confirm.start'), stop_streaming: say('dock.confirm.stop') });
  answer($('stream-note'), model.notes.stream);
  const reason = stopReason(model);
  note($('stream-error'), !reason ? '' : say(model.wentLive === false ? 'dock.stream.didNotStart' : 'dock.stream.ended', { reason }));

  const live = status === 'live' || status === 'reconnecting';
  const health = live && model.health ? model.health : '';
  const healthElement = $('bar-health');
  setText(healthElement, HEALTHS.includes(health) ? say(`dock.health.${health}`) : '');
  healthElement.dataset.health = health;
  show(healthElement, health !== '');

  const stats = model.stats;
  const figures = !!stats && live;
  show($('figures'), figures);
  show($('stream-card'), figures || reason !== '');
  // Beside the state in the bar, outside its live region: a tick is not news.
  show($('bar-kbps'), figures);
  if (!stats) return;
  const kbps = say('dock.stats.kbps', { value: number(Math.round(Number(stats.kbps) || 0)) });
  setText($('bar-kbps'), `· ${kbps}`);
  setText($('kbps'), kbps);
  const percent = number(droppedPercent(stats) / 100, { style: 'percent', minimumFractionDigits: 1, maximumFractionDigits: 1 });
  setText($('dropped'), say('dock.stats.droppedFrames', { frames: number(Number(stats.droppedFrames) || 0), percent }));
  setText($('congestion'), number(Math.min(1, Math.max(0, Number(stats.congestion) || 0)), { style: 'percent', maximumFractionDigits: 0 }));
  setText($('fps'), say('dock.stats.fps', { value: number(Math.round(Number(stats.fps) || 0)) }));
  setText($('live-time'), duration(liveSeconds));
  setText($('graph-top'), say('dock.stats.kbps', { value: number(Math.round(Math.max(...model.history, 0))) }));
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
  note($('service-mode-note'), view.whip ? '' : say('module.service.whipMissing'));
  const words = ingestWords(mode.value);
  setText($('service-url-label'), words.url);
  setText($('service-key-label'), words.key);
  $('service-url').placeholder = words.placeholder;
  setText($('service-key-show'), $('service-key').type === 'password' ? words.show : words.hide);
  $('service-fields').disabled = !ready || !view.editable;
  $('service-use').disabled = !ready || !view.editable;
  show($('service-live-note'), !!state && !view.editable);
  drawConfirm(model, 'service', { use_velmora: say('dock.service.replace'), restore_service: say('dock.service.putItBack') });
  const restore = $('service-restore');
  show(restore, view.restore !== '');
  setText(restore, say('dock.service.putBack', { service: view.restore }));
  restore.dataset.asks = String(view.restoreAsks);
  restore.disabled = !ready || !view.editable;
  answer($('service-note'), model.notes.service);
}

function drawAccount(model, ready) {
  const signIn = model.signIn;
  const words = {
    'signed-out': signIn.message || say('dock.account.signedOut'),
    waiting: say('dock.account.waiting'),
    'signed-in': say(signIn.isNewUser ? 'dock.account.welcome' : 'dock.account.signedIn'),
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
  note($('overlays-unavailable'), browserSources ? '' : say('dock.overlays.noBrowserSources'));
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
  setText($('connection'), say(pill));
  $('connection').dataset.connection = model.connection;
  note($('banner'), banner ? say(banner) : '');
  drawStream(model, liveSeconds);
  drawService(model, ready);
  drawAccount(model, ready);
  drawOverlays(model, ready);
  drawUpdate(model, ready, streaming);
  document.body.dataset.drawn = model.state ? 'state' : 'waiting';
}
