// A WebSocket to the module that comes back by itself. Before each new attempt it asks the page's
// own origin whether the server is up, so that attempts while OBS is away never print the socket
// URL (and with it the token) to the console. A server that is up but keeps refusing the socket
// may no longer take this token (an overlay link that was reset): after a few refusals an overlay
// page gives up, and the dock, whose token lasts the whole session, only slows down.

const BACKOFF_MS = [500, 1000, 2000, 4000, 8000];
export const REFUSALS_BEFORE_GIVING_UP = 3;
export const REFUSED_RETRY_MS = 60000;
// An open socket that lasted this long, or brought a message, was a real connection.
const SETTLED_MS = 5000;

export function backoffDelay(attempt) {
  return BACKOFF_MS[Math.min(attempt, BACKOFF_MS.length - 1)];
}

// The token after "#<key>=" in a fragment; empty when absent or not token-shaped.
export function tokenFrom(hash, key) {
  const prefix = `#${key}=`;
  if (typeof hash !== 'string' || !hash.startsWith(prefix)) return '';
  const token = hash.slice(prefix.length).split('&')[0];
  return /^[A-Za-z0-9_-]{1,256}$/.test(token) ? token : '';
}

export class ModuleSocket {
  // path: "/bridge" or "/overlay"; handlers: onOpen(), onMessage(object), onStatus(status);
  // giveUp: stop for good once refused (pages whose token can change under them).
  constructor(path, token, handlers, { giveUp = false } = {}) {
    this.url = `ws://${location.host}${path}?token=${encodeURIComponent(token)}`;
    this.handlers = handlers;
    this.giveUp = giveUp;
    this.attempt = 0;
    this.refusals = 0;
    this.opened = false;
    this.openedAt = 0;
    this.socket = null;
    this.timer = 0;
  }

  start() {
    this.open();
  }

  send(object) {
    if (!this.socket || this.socket.readyState !== WebSocket.OPEN) return false;
    this.socket.send(JSON.stringify(object));
    return true;
  }

  open() {
    let socket;
    try {
      socket = new WebSocket(this.url);
    } catch {
      this.retry();
      return;
    }
    this.socket = socket;
    this.opened = false;
    socket.onopen = () => {
      this.opened = true;
      this.openedAt = Date.now();
      this.refusals = 0;
      this.handlers.onStatus('open');
      this.handlers.onOpen();
    };
    socket.onmessage = (message) => {
      this.attempt = 0;
      if (typeof message.data !== 'string') return;
      let object;
      try {
        object = JSON.parse(message.data);
      } catch {
        return;
      }
      if (object && typeof object === 'object' && typeof object.event === 'string') {
        this.handlers.onMessage(object);
      }
    };
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      if (this.opened && Date.now() - this.openedAt >= SETTLED_MS) this.attempt = 0;
      this.handlers.onStatus('lost');
      this.retry();
    };
  }

  retry(delay = backoffDelay(this.attempt)) {
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.probe(), delay);
    this.attempt += 1;
  }

  probe() {
    fetch(`${location.origin}/dock/`, { cache: 'no-store' })
      .then(() => {
        if (!this.opened) this.refusals += 1;
        if (this.refusals < REFUSALS_BEFORE_GIVING_UP) {
          this.open();
          return;
        }
        this.handlers.onStatus('refused');
        if (this.giveUp) return;
        // One attempt a minute from now on.
        clearTimeout(this.timer);
        this.timer = setTimeout(() => this.open(), REFUSED_RETRY_MS);
      })
      .catch(() => this.retry());
  }
}
