// The dock: one bridge connection, a model rebuilt from its events, controls that send actions.
import { countdownEnd } from './countdown.js';
import { draw } from './dock-view.js';
import { ModuleSocket, tokenFrom } from './connection.js';
import { LINKS } from './links.js';
import { buildQuery, withQuery } from './overlay-query.js';
import { addChatMessage, clearCountdown, sanitiseOverlayState, setCountdown } from './overlay-state.js';
import { initialModel, reduce } from './reducer.js';

const $ = (id) => document.getElementById(id);
const STORE_KEY = 'velmora.overlayState';
const FOLDED_KEY = 'velmora.folded';

let model = initialModel();
let drawPending = false;
// The sign-in result stays in memory only; nothing stores or shows it.
let idToken = '';
let overlayState = sanitiseOverlayState(readStored(STORE_KEY));

// The page's local storage may be off or full: then what it keeps lasts as long as the page.
function readStored(key) {
  try {
    return JSON.parse(localStorage.getItem(key) || 'null');
  } catch (error) {
    return null;
  }
}

function store(key, value) {
  try {
    localStorage.setItem(key, JSON.stringify(value));
  } catch (error) {
    // Kept in the page only.
  }
}

function apply(event) {
  const firstState = !model.state && event.event === 'state';
  model = reduce(model, event);
  // The first state is drawn at once; later bursts (a flood of states) are drawn once a frame.
  if (firstState) {
    draw(model);
    return;
  }
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => {
    drawPending = false;
    draw(model);
  });
}

function tell(area, text) {
  apply({ event: 'note', area, text });
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
        if (event.event === 'obs' && event.type === 'streaming_starting') watchStart();
        apply(event);
      },
      onStatus(status) {
        apply({ event: 'connection', status });
      },
    })
  : null;

// OBS may fail a start and say nothing more; after a while, ask again how things stand.
const START_OVERDUE_MS = 10000;
let startTimer = 0;
function watchStart() {
  clearTimeout(startTimer);
  startTimer = setTimeout(() => {
    apply({ event: 'start_overdue' });
    send('get_state');
  }, START_OVERDUE_MS);
}

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

function wireStreamAndService() {
  on('stream-button', 'click', (e) => send(e.currentTarget.dataset.action));
  on('service-form', 'submit', (e) => {
    e.preventDefault();
    const sent = send('use_velmora', { mode: $('service-mode').value, url: $('service-url').value.trim(), key: $('service-key').value });
    if (sent) apply({ event: 'switch_requested' });
  });
  on('service-key-show', 'click', (e) => {
    const shown = $('service-key').type === 'password';
    $('service-key').type = shown ? 'text' : 'password';
    e.currentTarget.setAttribute('aria-pressed', String(shown));
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
      copyText(withQuery(url, buildQuery(kind, overlayOptions(kind))))
        .then(() => tell('overlay', 'Link copied. Paste it into a browser source.'))
        .catch(() => tell('overlay', "The link couldn't be copied here. Use “Add to scene” instead."));
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
      tell('overlay', 'Give the minutes from now (up to a day) or a clock time.');
      return;
    }
    overlayState = setCountdown(overlayState, $('countdown-title').value, end);
    publish();
    $('countdown-clock').value = ''; // a clock time is for one countdown; minutes stay the default
    tell('overlay', 'Countdown started.');
  });
  on('countdown-clear', 'click', () => {
    overlayState = clearCountdown(overlayState);
    publish();
    tell('overlay', 'Countdown cleared.');
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
    if (send('overlay_reset')) tell('overlay', 'New overlay link made. Overlays in OBS use it now.');
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
draw(model);
