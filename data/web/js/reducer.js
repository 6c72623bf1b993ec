// The dock's model, rebuilt from bridge events. Pure functions, so the rules live in one place
// and run the same in a test as in the page. Words come from the page's catalog (words.js).
import { say, sayFromModule, sayName } from './words.js';

export const HISTORY_LENGTH = 30;

// Where each action's answer shows: beside the control that sent it.
const RESULT_AREAS = { use_velmora: 'service', restore_service: 'service', start_streaming: 'stream', stop_streaming: 'stream' };

export function initialModel() {
  return {
    connection: 'connecting', // connecting, open, lost, closing (OBS said it exits), no-token
    state: null, // the last "state" event
    phase: 'offline', // offline, starting (OBS connects), live, stopping
    stats: null, // the last "stats" event of this stream
    history: [], // kbps of the last ticks, oldest first
    congestion: 0, // the last tick's congestion, which OBS averages with the next
    health: '', // excellent, good, mediocre or bad while live: see nextHealth
    calmTicks: 0, // ticks in a row that were better than the health shown
    lastStop: '', // why the last stream stopped or failed to start
    wentLive: null, // whether the last stream this page saw start went live; null: none seen
    update: null, // the last "update" event
    signIn: { status: 'signed-out', isNewUser: false, message: '' },
    // Short answers to the streamer's last action, per area: { text, error }.
    notes: { service: null, stream: null, chat: null, countdown: null, overlay: null },
    confirm: null, // { action, question }: the module waits for the streamer's yes
  };
}

// OBS's status icon: the congestion averaged with the previous tick, never below the latest, in
// thirds (OBS 29 blends its square from green at none to red at full by the same figure).
export function healthOf(congestion, previous) {
  const now = Math.min(1, Math.max(0, Number(congestion) || 0));
  const average = Math.min(1, Math.max((now + (Number(previous) || 0)) / 2, now));
  if (average <= 0.0001) return 'excellent';
  if (average <= 1 / 3) return 'good';
  if (average <= 2 / 3) return 'mediocre';
  return 'bad';
}

const LEVELS = ['excellent', 'good', 'mediocre', 'bad'];
export const CALM_TICKS = 3;

// The health shown after a tick: the worse of OBS's status icon and the frames OBS dropped since the
// last tick (any is unstable, a tenth or more is poor: OBS's icon samples a sawtooth and can look
// calm while frames go). Worse shows at once; better only after CALM_TICKS ticks in a row, so the
// bar and what a screen reader says do not flicker.
export function nextHealth(model, stats) {
  const last = model.stats || {};
  const dropped = (Number(stats.droppedFrames) || 0) - (Number(last.droppedFrames) || 0);
  const frames = (Number(stats.totalFrames) || 0) - (Number(last.totalFrames) || 0);
  const byDrops = dropped <= 0 || !model.stats ? 0 : frames > 0 && dropped / frames >= 0.1 ? 3 : 2;
  const level = LEVELS[Math.max(LEVELS.indexOf(healthOf(stats.congestion, model.congestion)), byDrops)];
  const shown = LEVELS.indexOf(model.health);
  if (shown < 0 || LEVELS.indexOf(level) >= shown) return { health: level, calmTicks: 0 };
  return model.calmTicks + 1 >= CALM_TICKS ? { health: level, calmTicks: 0 } : { health: model.health, calmTicks: model.calmTicks + 1 };
}

function reduceObs(model, type, lastError) {
  const reason = typeof lastError === 'string' ? sayFromModule(lastError) : '';
  switch (type) {
    case 'streaming_starting':
      return { ...model, phase: 'starting', stats: null, history: [], congestion: 0, health: '', calmTicks: 0, lastStop: '', wentLive: false,
        notes: { ...model.notes, stream: null } };
    case 'streaming_started':
      return { ...model, phase: 'live', wentLive: true };
    case 'streaming_stopping':
      return { ...model, phase: 'stopping' };
    case 'streaming_stopped':
    case 'streaming_start_failed':
      return { ...model, phase: 'offline', stats: null, health: '', lastStop: reason };
    case 'exit':
      return { ...model, connection: 'closing' };
    default:
      return model;
  }
}

// A state says whether OBS streams or still connects; it settles the phase, but a stop under way
// stays one until OBS says it stopped.
function phaseFromState(model, state) {
  if (state.streaming === true) return model.phase === 'stopping' ? 'stopping' : 'live';
  return state.connecting === true ? 'starting' : 'offline';
}

function reduceResult(model, event) {
  const area = RESULT_AREAS[event.action] || 'service';
  const question = typeof event.confirm === 'string' ? sayFromModule(event.confirm) : '';
  const message = typeof event.message === 'string' ? sayFromModule(event.message) : '';
  const confirm = question ? { action: event.action, question } : model.confirm && model.confirm.action !== event.action ? model.confirm : null;
  return { ...model, confirm, notes: { ...model.notes, [area]: message ? { text: message, error: event.ok !== true } : null } };
}

export function reduce(model, event) {
  switch (event.event) {
    case 'connection':
      // Once OBS said it exits, the dropped connection is no surprise.
      if (event.status === 'lost' && model.connection === 'closing') return model;
      // Answers and questions were about the OBS that went away.
      if (event.status === 'open' && model.connection !== 'connecting' && model.connection !== 'open') {
        return { ...model, connection: 'open', confirm: null, notes: initialModel().notes };
      }
      return { ...model, connection: event.status };
    case 'state':
      return { ...model, state: event, phase: phaseFromState(model, event) };
    case 'action_result':
      return reduceResult(model, event);
    case 'confirm_answered':
      return { ...model, confirm: null };
    case 'note':
      return { ...model, notes: { ...model.notes, [event.area]: event.text ? { text: event.text, error: event.error === true } : null } };
    case 'obs':
      return reduceObs(model, event.type, event.lastError);
    case 'stats':
      if (event.streaming !== true) return model;
      return {
        ...model,
        stats: event,
        history: model.history.concat([Number(event.kbps) || 0]).slice(-HISTORY_LENGTH),
        congestion: Number(event.congestion) || 0,
        ...nextHealth(model, event),
      };
    case 'update':
      return { ...model, update: event };
    case 'sign_in_opened':
      return {
        ...model,
        signIn: event.ok === true
          ? { status: 'waiting', isNewUser: false, message: '' }
          : { status: 'signed-out', isNewUser: false, message: say('dock.account.browserFailed') },
      };
    case 'signed_out':
      return { ...model, signIn: { status: 'signed-out', isNewUser: false, message: '' } };
    case 'auth_token':
      return { ...model, signIn: { status: 'signed-in', isNewUser: event.isNewUser === true, message: '' } };
    case 'overlay_added': {
      const kind = event.kind === 'countdown' ? 'countdown' : 'chat';
      const text = event.ok === true ? say(kind === 'countdown' ? 'dock.overlays.countdownAdded' : 'dock.overlays.chatAdded')
        : sayFromModule(String(event.message || '')) || say('dock.overlays.notAdded');
      return { ...model, notes: { ...model.notes, [kind]: { text, error: event.ok !== true } } };
    }
    default:
      return model;
  }
}

export function connected(model) {
  return model.connection === 'open';
}

// offline, starting, live, reconnecting or stopping.
export function streamStatus(model) {
  if (model.phase === 'live') {
    const reconnecting = model.stats ? model.stats.reconnecting === true : !!(model.state && model.state.reconnecting);
    return reconnecting ? 'reconnecting' : 'live';
  }
  return model.phase;
}

// Where a stream would go: "Velmora", a platform, "your custom server"; empty when unknown.
export function destination(model) {
  const state = model.state;
  if (!state) return '';
  if (state.serviceIsVelmora === true) return 'Velmora';
  return typeof state.serviceName === 'string' ? sayName(state.serviceName) : '';
}

// As OBS's own button: it waits while OBS connects or stops.
export function streamButton(model) {
  const status = streamStatus(model);
  const ready = connected(model) && !!model.state;
  if (status === 'offline') {
    const where = destination(model);
    return { label: where ? say('dock.button.goLiveOn', { destination: where }) : say('dock.button.goLive'), action: 'start_streaming', disabled: !ready };
  }
  if (status === 'starting') return { label: say('dock.button.connecting'), action: '', disabled: true };
  if (status === 'stopping') return { label: say('dock.button.stopping'), action: '', disabled: true };
  return { label: say('dock.button.end'), action: 'stop_streaming', disabled: !ready };
}

// Why the last stream ended, when it ended badly.
export function stopReason(model) {
  if (model.phase !== 'offline') return '';
  return model.lastStop || (model.state && sayFromModule(model.state.lastError)) || '';
}

export function droppedPercent(stats) {
  const total = Number(stats.totalFrames) || 0;
  const dropped = Number(stats.droppedFrames) || 0;
  return total > 0 ? (dropped / total) * 100 : 0;
}

export function describeUpdate(update, streaming) {
  const view = { text: '', progress: null, canRestart: false, canDownload: false, canCheck: true, required: false, notes: '',
    needsAttention: false };
  if (!update) return view;
  const version = update.version || '';
  view.notes = typeof update.notes === 'string' ? update.notes : '';
  view.required = update.required === true && ['available', 'downloading', 'ready'].includes(update.phase);
  view.needsAttention = view.required || ['available', 'ready'].includes(update.phase);
  const message = typeof update.message === 'string' ? sayFromModule(update.message) : '';
  switch (update.phase) {
    case 'checking':
      view.text = say('dock.update.checking');
      view.canCheck = false;
      break;
    case 'current':
      view.text = say('dock.update.current', { current: update.current || '' }).replace('  ', ' ');
      view.notes = '';
      break;
    case 'available': // a packaged build: the package manager installs it
      view.text = say('dock.update.available', { version });
      view.canDownload = true;
      break;
    case 'downloading':
      view.text = say('dock.update.downloading', { version });
      view.progress = Math.max(0, Math.min(100, Number(update.progress) || 0));
      view.canCheck = false;
      break;
    case 'ready':
      view.text = update.restarting
        ? say('dock.update.restarting')
        : say(streaming ? 'dock.update.readyStreaming' : 'dock.update.ready', { version });
      view.canRestart = !update.restarting && !streaming;
      view.canCheck = false;
      break;
    case 'failed':
      view.text = message || say('dock.update.failed');
      break;
    default: // idle: no answer yet, or the last check could not reach the update server
      view.text = message || say('dock.update.installed', { current: update.current || '' }).replace(' .', '.');
      view.notes = '';
  }
  return view;
}

// The words of the ingest form for a mode.
export function ingestWords(mode) {
  const words = mode === 'whip'
    ? { url: 'endpointUrl', key: 'bearerToken', show: 'showToken', hide: 'hideToken', placeholder: 'https://ingest.example/whip' }
    : { url: 'serverUrl', key: 'streamKey', show: 'showKey', hide: 'hideKey', placeholder: 'rtmp://ingest.example/live' };
  return { url: say(`dock.service.${words.url}`), key: say(`dock.service.${words.key}`), placeholder: words.placeholder,
    show: say(`dock.service.${words.show}`), hide: say(`dock.service.${words.hide}`) };
}

// The dock's own words for what is wrong with the form, per field; empty when it may be sent.
export function ingestProblems(mode, url, key) {
  const problems = {};
  const address = String(url || '').trim().toLowerCase();
  if (!address) problems.url = say(mode === 'whip' ? 'dock.service.giveEndpointUrl' : 'dock.service.giveServerUrl');
  else if (mode === 'whip' ? !/^https?:\/\/./.test(address) : !/^rtmps?:\/\/./.test(address)) {
    // The module's own words for the same problem.
    problems.url = say(mode === 'whip' ? 'module.service.whipUrl' : 'module.service.rtmpUrl');
  }
  if (!key) problems.key = say(mode === 'whip' ? 'dock.service.giveBearerToken' : 'dock.service.giveStreamKey');
  return problems;
}

// What the service card says and offers.
export function describeService(model) {
  const state = model.state;
  const view = { text: '—', restore: '', restoreAsks: false, editable: false, whip: true };
  if (!state) return view;
  const live = state.streaming === true || state.connecting === true;
  const previous = typeof state.previousService === 'string' ? sayName(state.previousService) : '';
  const service = typeof state.serviceName === 'string' && state.serviceName ? sayName(state.serviceName) : say('dock.service.another');
  view.whip = state.whipAvailable !== false;
  view.editable = !live;
  switch (state.serviceState) {
    case 'velmora':
      view.text = say('dock.service.velmora');
      break;
    case 'none':
      view.text = say('dock.service.none');
      break;
    case 'other':
      view.text = previous ? say('dock.service.otherWithPrevious', { service, previous }) : say('dock.service.other', { service });
      view.restoreAsks = !!previous;
      break;
    default: // recorded: the streamer's own service is back already
      view.text = say('dock.service.other', { service });
  }
  view.restore = state.serviceState === 'recorded' ? '' : previous;
  return view;
}
