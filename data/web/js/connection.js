// A WebSocket to the module that comes back by itself. Before each new attempt it asks the page's
// own origin whether the server is up, so that attempts while OBS is away never print the socket
// URL (and with it the token) to the console. A server that is up but keeps refusing the socket
// no longer takes this token (a reset overlay link): after a few refusals the page gives up.

const BACKOFF_MS = [500, 1000, 2000, 4000, 8000];
export const REFUSALS_BEFORE_GIVING_UP = 3;

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
  // path: "/bridge" or "/overlay"; handlers: onOpen(), onMessage(object), onStatus(status).
  constructor(path, token, handlers) {
    this.url = `ws://${location.host}${path}?token=${encodeURIComponent(token)}`;
    this.handlers = handlers;
    this.attempt = 0;
    this.refusals = 0;
    this.opened = false;
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

  isOpen() {
    return !!this.socket && this.socket.readyState === WebSocket.OPEN;
  }

  open() {
    const socket = new WebSocket(this.url);
    this.socket = socket;
    this.opened = false;
    socket.onopen = () => {
      this.opened = true;
      this.attempt = 0;
      this.refusals = 0;
      this.handlers.onStatus('open');
      this.handlers.onOpen();
    };
    socket.onmessage = (message) => {
      if (typeof message.data !== 'string') return;
      let object;
      try {
        object = JSON.parse(message.data);
      } catch (error) {
        return;
      }
      if (object && typeof object === 'object' && typeof object.event === 'string') {
        this.handlers.onMessage(object);
      }
    };
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.handlers.onStatus('lost');
      this.retry();
    };
  }

  retry() {
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.probe(), backoffDelay(this.attempt));
    this.attempt += 1;
  }

  probe() {
    fetch(`${location.origin}/dock/`, { cache: 'no-store' })
      .then(() => {
        if (!this.opened) this.refusals += 1;
        if (this.refusals >= REFUSALS_BEFORE_GIVING_UP) this.handlers.onStatus('refused');
        else this.open();
      })
      .catch(() => this.retry());
  }
}
