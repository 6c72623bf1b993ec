// The dock: one bridge connection, a model rebuilt from its events, controls that send actions.
import { countdownEnd } from './countdown.js';
import { draw } from './dock-view.js';
import { ModuleSocket, tokenFrom } from './connection.js';
import { localisePage } from './i18n.js';
import { LINKS } from './links.js';
import { buildQuery, withQuery } from './overlay-query.js';
import { addChatMessage, clearCountdown, sanitiseOverlayState, setCountdown } from './overlay-state.js';
import { ingestProblems, ingestWords, initialModel, reduce } from './reducer.js';
import { clockTime, say } from './words.js';

const $ = (id) => document.getElementById(id);
const STORE_KEY = 'velmora.overlayState';
const FOLDED_KEY = 'velmora.folded';

// The page's language (the module's server chose this page for OBS's), before anything draws.
localisePage();

let model = initialModel();
let drawPending = false;
// The sign-in result stays in memory only; nothing stores or shows it.
// eslint-disable-next-line no-unused-vars -- held for the service's calls that will carry it; no page reads it yet
let idToken = '';
let overlayState = sanitiseOverlayState(readStored(STORE_KEY));

// The page's local storage may be off or full: then what it keeps lasts as long as the page.
function readStored(key) {
  try {
    return JSON.parse(localStorage.getItem(key) || 'null');
  } catch {
    return null;
  }
}

function store(key, value) {
  try {
    localStorage.setItem(key, JSON.stringify(value));
  } catch {
    // Kept in the page only.
  }
}

// The live time of the last stats tick, counted on by the page between ticks.
let liveBase = { seconds: 0, at: 0 };
function liveSeconds() {
  return liveBase.at ? liveBase.seconds + Math.floor((Date.now() - liveBase.at) / 1000) : 0;
}
setInterval(() => {
  if (liveBase.at) scheduleDraw();
}, 1000);

function scheduleDraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => {
    drawPending = false;
    draw(model, liveSeconds());
  });
}

function apply(event) {
  const firstState = !model.state && event.event === 'state';
  model = reduce(model, event);
  if (model.phase !== 'live') liveBase = { seconds: 0, at: 0 };
  else if (event.event === 'stats' && event.streaming === true) liveBase = { seconds: Number(event.liveSeconds) || 0, at: Date.now() };
  if (event.event === 'state') fillServiceForm(event);
  // The first state is drawn at once; later bursts (a flood of states) are drawn once a frame.
  if (firstState) {
    draw(model, liveSeconds());
    return;
  }
  scheduleDraw();
}

function tell(area, text, error = false) {
  apply({ event: 'note', area, text, error });
}

// The form shows the Velmora ingest OBS uses, until the streamer starts changing it.
let formEdited = false;
function fillServiceForm(state) {
  if (formEdited || state.serviceState !== 'velmora' || typeof state.serviceServer !== 'string') return;
  $('service-mode').value = state.serviceMode === 'whip' ? 'whip' : 'rtmp';
  $('service-url').value = state.serviceServer;
  $('service-key').value = typeof state.serviceKey === 'string' ? state.serviceKey : '';
}

// Beside the field: the dock's own words, not the browser's bubble over another one.
function showFieldProblems(problems) {
  for (const name of ['url', 'key']) {
    const field = $(`service-${name}`);
    const error = $(`service-${name}-error`);
    error.textContent = problems[name] || '';
    error.hidden = !problems[name];
    if (problems[name]) field.setAttribute('aria-invalid', 'true');
    else field.removeAttribute('aria-invalid');
  }
  const first = problems.url ? 'service-url' : problems.key ? 'service-key' : '';
  if (first) $(first).focus();
  return !first;
}

const token = tokenFrom(location.hash, 't');
const socket = token
  ? new ModuleSocket('/bridge', token, {
      onOpen() {
        socket.send({ action: 'hello' });
        if (overlayState.chat.messages.length || overlayState.countdown.endsAt) publish();
      },
      onMessage(event) {
        if (event.event === 'auth_token') idToken = typeof event.idToken === 'string' ? event.idToken : '';
        if (event.event === 'action_result' && event.action === 'use_velmora' && event.ok === true) formEdited = false;
        apply(event);
      },
      onStatus(status) {
        apply({ event: 'connection', status });
      },
    })
  : null;

function send(action, fields) {
  return !!socket && socket.send({ action, ...fields });
}

function publish() {
  store(STORE_KEY, overlayState);
  send('overlay_publish', { state: overlayState });
}

function overlayOptions(kind) {
  const value = (id) => $(`${kind}-${id}`).value;
  return kind === 'chat'
    ? { theme: value('theme'), size: value('size'), fade: value('fade'), max: value('max') }
    : { theme: value('theme'), size: value('size'), done: value('done') };
}

function copyText(text) {
  if (navigator.clipboard && navigator.clipboard.writeText) {
    return navigator.clipboard.writeText(text).catch(() => copyBySelection(text));
  }
  return new Promise((resolve) => resolve(copyBySelection(text)));
}

function copyBySelection(text) {
  const focused = document.activeElement;
  const area = document.createElement('textarea');
  area.value = text;
  area.setAttribute('readonly', '');
  area.className = 'offscreen';
  document.body.appendChild(area);
  area.select();
  const copied = document.execCommand('copy');
  area.remove();
  if (focused && focused.focus) focused.focus();
  if (!copied) throw new Error('copy refused');
}

function on(id, type, handler) {
  $(id).addEventListener(type, handler);
}

// The streamer's yes to a question the module asked goes back with the action, and the answer
// focuses the control the question came from.
function answerConfirm(area, yes) {
  const action = model.confirm && model.confirm.action;
  apply({ event: 'confirm_answered' });
  if (yes && action === 'use_velmora') send('use_velmora', { ...lastIngest, replace: true });
  else if (yes && action === 'restore_service') send('restore_service', { replace: true });
  else if (yes && action) send(action, { confirmed: true });
  $(area === 'stream' ? 'stream-button' : 'service-use').focus();
}

let lastIngest = null;
function wireStreamAndService() {
  on('stream-button', 'click', (e) => {
    if (e.currentTarget.dataset.action) send(e.currentTarget.dataset.action);
  });
  on('stream-yes', 'click', () => answerConfirm('stream', true));
  on('stream-no', 'click', () => answerConfirm('stream', false));
  on('service-yes', 'click', () => answerConfirm('service', true));
  on('service-no', 'click', () => answerConfirm('service', false));
  on('service-form', 'submit', (e) => {
    e.preventDefault();
    const ingest = { mode: $('service-mode').value, url: $('service-url').value.trim(), key: $('service-key').value };
    if (!showFieldProblems(ingestProblems(ingest.mode, ingest.url, ingest.key))) return;
    lastIngest = ingest;
    send('use_velmora', ingest);
  });
  for (const id of ['service-mode', 'service-url', 'service-key']) {
    on(id, 'input', () => {
      formEdited = true;
      if (id === 'service-mode') scheduleDraw();
    });
  }
  on('service-key-show', 'click', (e) => {
    const shown = $('service-key').type === 'password';
    $('service-key').type = shown ? 'text' : 'password';
    e.currentTarget.setAttribute('aria-pressed', String(shown));
    const words = ingestWords($('service-mode').value);
    e.currentTarget.textContent = shown ? words.hide : words.show;
  });
  on('service-restore', 'click', () => send('restore_service'));
}

function wireAccount() {
  for (const button of document.querySelectorAll('[data-provider]')) {
    button.addEventListener('click', () => send('sign_in', { provider: button.dataset.provider }));
  }
  on('sign-in-cancel', 'click', () => {
    send('cancel_sign_in');
    apply({ event: 'signed_out' });
  });
  on('sign-out', 'click', () => {
    idToken = '';
    apply({ event: 'signed_out' });
  });
}

function wireOverlays() {
  for (const button of document.querySelectorAll('[data-overlay-add]')) {
    const kind = button.dataset.overlayAdd;
    button.addEventListener('click', () => send('overlay_add', { kind, query: buildQuery(kind, overlayOptions(kind)) }));
  }
  for (const button of document.querySelectorAll('[data-overlay-copy]')) {
    const kind = button.dataset.overlayCopy;
    button.addEventListener('click', () => {
      const url = model.state && model.state[kind === 'countdown' ? 'overlayCountdownUrl' : 'overlayChatUrl'];
      if (!url) return;
      const link = withQuery(url, buildQuery(kind, overlayOptions(kind)));
      const field = $(`${kind}-link`);
      copyText(link)
        .then(() => {
          field.hidden = true;
          tell(kind, say('dock.overlays.copied'));
        })
        .catch(() => {
          // Shown to copy by hand: selected, so Ctrl+C takes it.
          field.value = link;
          field.hidden = false;
          field.focus();
          field.select();
          tell(kind, say('dock.overlays.copyByHand'));
        });
    });
  }
  on('chat-form', 'submit', (e) => {
    e.preventDefault();
    const next = addChatMessage(overlayState, $('chat-text').value, Date.now());
    if (!next) return;
    overlayState = next;
    publish();
    $('chat-text').value = '';
  });
  on('countdown-form', 'submit', (e) => {
    e.preventDefault();
    const end = countdownEnd({ minutes: $('countdown-minutes').value, clock: $('countdown-clock').value }, Date.now());
    if (end === null) {
      tell('countdown', say('dock.overlays.badCountdown'), true);
      return;
    }
    overlayState = setCountdown(overlayState, $('countdown-title').value, end);
    publish();
    $('countdown-clock').value = ''; // a clock time is for one countdown; minutes stay the default
    tell('countdown', say('dock.overlays.countdownStarted', { time: clockTime(end) }));
  });
  on('countdown-clear', 'click', () => {
    overlayState = clearCountdown(overlayState);
    publish();
    tell('countdown', say('dock.overlays.countdownCleared'));
  });
  const confirmBox = $('overlay-reset-confirm');
  on('overlay-reset', 'click', () => {
    confirmBox.hidden = false;
    $('overlay-reset-no').focus();
  });
  on('overlay-reset-no', 'click', () => {
    confirmBox.hidden = true;
    $('overlay-reset').focus();
  });
  on('overlay-reset-yes', 'click', () => {
    confirmBox.hidden = true;
    if (send('overlay_reset')) tell('overlay', say('dock.overlays.linkReset'));
    $('overlay-reset').focus();
  });
}

// The sections the streamer folded stay folded across reloads and OBS restarts.
function wireFolds() {
  const sections = [...document.querySelectorAll('details[data-fold]')];
  const folded = readStored(FOLDED_KEY);
  for (const section of sections) {
    section.open = !(Array.isArray(folded) && folded.includes(section.dataset.fold));
    section.addEventListener('toggle', () => store(FOLDED_KEY, sections.filter((d) => !d.open).map((d) => d.dataset.fold)));
  }
}

function wireUpdatesAndLinks() {
  on('update-restart', 'click', () => send('update_restart'));
  on('update-check', 'click', () => send('update_check'));
  for (const button of document.querySelectorAll('[data-link]')) {
    button.addEventListener('click', () => send('open_url', { url: LINKS[button.dataset.link] }));
  }
}

wireFolds();
wireStreamAndService();
wireAccount();
wireOverlays();
wireUpdatesAndLinks();
if (socket) socket.start();
else apply({ event: 'connection', status: 'no-token' });
draw(model, 0);
