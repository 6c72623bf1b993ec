// The dock's model, rebuilt from bridge events. Pure functions, so the rules live in one place
// and run the same in a test as in the page.

export const HISTORY_LENGTH = 30;

export function initialModel() {
  return {
    connection: 'connecting', // connecting, open, lost, closing (OBS said it exits), no-token
    state: null, // the last "state" event
    phase: 'offline', // offline, starting, live, stopping: OBS's stream events between states
    startOverdue: false, // a start that OBS never reported as started or stopped
    stats: null, // the last "stats" event of this stream
    history: [], // kbps of the last ticks, oldest first
    lastStop: '', // lastError of the last "streaming_stopped"
    update: null, // the last "update" event
    signIn: { status: 'signed-out', isNewUser: false, message: '' },
    notes: { service: '', overlay: '' }, // short answers to the user's last action per card
    awaitingSwitch: false, // use_velmora sent; the next state tells whether OBS switched
  };
}

function reduceObs(model, type, lastError) {
  switch (type) {
    case 'streaming_starting':
      return { ...model, phase: 'starting', startOverdue: false, stats: null, history: [], lastStop: '' };
    case 'streaming_started':
      return { ...model, phase: 'live', startOverdue: false };
    case 'streaming_stopping':
      return { ...model, phase: 'stopping' };
    case 'streaming_stopped':
      return { ...model, phase: 'offline', startOverdue: false, stats: null, lastStop: typeof lastError === 'string' ? lastError : '' };
    case 'exit':
      return { ...model, connection: 'closing' };
    default:
      return model;
  }
}

// A state says whether OBS streams; it settles the phase unless an event said the stream is on its
// way up or down. OBS may fail a start without saying it stopped: a start gone overdue gives way.
function phaseFromState(model, streaming) {
  if (streaming) return model.phase === 'stopping' ? 'stopping' : 'live';
  return model.phase === 'starting' && !model.startOverdue ? 'starting' : 'offline';
}

export function reduce(model, event) {
  switch (event.event) {
    case 'connection':
      // Once OBS said it exits, the dropped connection is no surprise.
      if (event.status === 'lost' && model.connection === 'closing') return model;
      return { ...model, connection: event.status };
    case 'state': {
      const phase = phaseFromState(model, event.streaming === true);
      const next = { ...model, state: event, phase, startOverdue: phase === 'starting' && model.startOverdue };
      if (!model.awaitingSwitch) return next;
      const service = event.serviceIsVelmora === true
        ? 'OBS now streams to Velmora.'
        : 'OBS kept its current service. Check the server URL and the stream key.';
      return { ...next, awaitingSwitch: false, notes: { ...model.notes, service } };
    }
    case 'start_overdue':
      return model.phase === 'starting' ? { ...model, startOverdue: true } : model;
    case 'switch_requested':
      return { ...model, awaitingSwitch: true, notes: { ...model.notes, service: '' } };
    case 'note':
      return { ...model, notes: { ...model.notes, [event.area]: event.text } };
    case 'obs':
      return reduceObs(model, event.type, event.lastError);
    case 'stats':
      if (event.streaming !== true) return model;
      return {
        ...model,
        stats: event,
        history: model.history.concat([Number(event.kbps) || 0]).slice(-HISTORY_LENGTH),
      };
    case 'update':
      return { ...model, update: event };
    case 'sign_in_opened':
      return {
        ...model,
        signIn: event.ok === true
          ? { status: 'waiting', isNewUser: false, message: '' }
          : { status: 'signed-out', isNewUser: false, message: "OBS couldn't open your browser to sign in. Try again, or check your default browser." },
      };
    case 'signed_out':
      return { ...model, signIn: { status: 'signed-out', isNewUser: false, message: '' } };
    case 'auth_token':
      return { ...model, signIn: { status: 'signed-in', isNewUser: event.isNewUser === true, message: '' } };
    case 'overlay_added': {
      const name = event.kind === 'countdown' ? 'Countdown' : 'Chat';
      const overlay = event.ok === true ? `${name} overlay added to the scene.` : String(event.message || 'OBS could not add the overlay.');
      return { ...model, notes: { ...model.notes, overlay } };
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

export function streamButton(model) {
  const status = streamStatus(model);
  const ready = connected(model);
  if (status === 'offline') return { label: 'Go live', action: 'start_streaming', disabled: !ready };
  return { label: 'End stream', action: 'stop_streaming', disabled: !ready || status === 'stopping' };
}

// Why the last stream ended, when it ended badly.
export function stopReason(model) {
  if (model.phase !== 'offline') return '';
  return model.lastStop || (model.state && model.state.lastError) || '';
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
  switch (update.phase) {
    case 'checking':
      view.text = 'Checking for updates…';
      view.canCheck = false;
      break;
    case 'current':
      view.text = `Velmora ${update.current || ''} is up to date.`.replace('  ', ' ');
      view.notes = '';
      break;
    case 'available': // a packaged build: the package manager installs it
      view.text = `Velmora ${version} is available.`;
      view.canDownload = true;
      break;
    case 'downloading':
      view.text = `Downloading Velmora ${version}…`;
      view.progress = Math.max(0, Math.min(100, Number(update.progress) || 0));
      view.canCheck = false;
      break;
    case 'ready':
      view.text = update.restarting
        ? 'Restarting OBS to install the update…'
        : `Velmora ${version} is ready. It installs when OBS closes.`;
      view.canRestart = !update.restarting && !streaming;
      view.canCheck = false;
      if (streaming && !update.restarting) view.text += ' End the stream to restart now.';
      break;
    case 'failed':
      view.text = update.message || 'The update could not be installed.';
      break;
    default:
      view.text = `You have Velmora ${update.current || ''}.`.replace(' .', '.');
      view.notes = '';
  }
  return view;
}
