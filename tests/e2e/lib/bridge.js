'use strict';
// A test client for the module's /bridge WebSocket: records every event in
// order and waits for the ones a test expects.

const crypto = require('node:crypto');
const { performance } = require('node:perf_hooks');
const WebSocket = require('ws');

const DOCK_SERVER = /\[velmora\] Dock server on 127\.0\.0\.1:(\d+)/;

/** A bridge token in the form the module expects from the test environment. */
const newToken = () => crypto.randomBytes(32).toString('hex');

/** The port the module logged for its dock server. */
async function dockPort(obs, timeoutMs = 5000) {
  return Number((await obs.waitForLog(DOCK_SERVER, timeoutMs))[1]);
}

/**
 * Connects to ws://127.0.0.1:<port>/bridge?token=<token> with the dock's
 * Origin. Resolves once open. Every text message becomes an entry
 * { event, data, raw, at } in client.events (at: performance.now() ms);
 * a message that is not JSON gets event null and parseError.
 */
function connectBridge({ port, token, name = 'client', timeoutMs = 5000 }) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/bridge?token=${token}`, {
      origin: `http://127.0.0.1:${port}`,
      handshakeTimeout: timeoutMs,
    });
    const events = [];
    const waiters = new Set();
    let closeInfo = null;
    const errors = [];

    const notify = () => { for (const w of waiters) w.check(); };
    ws.on('message', (message, isBinary) => {
      const raw = message.toString('utf8');
      const entry = { event: null, data: null, raw, at: performance.now(), binary: isBinary };
      try {
        entry.data = JSON.parse(raw);
        entry.event = entry.data && typeof entry.data === 'object' ? entry.data.event : null;
      } catch (err) {
        entry.parseError = err.message;
      }
      events.push(entry);
      notify();
    });
    ws.on('error', (err) => errors.push(err));
    const closed = new Promise((r) => ws.on('close', (code, reason) => {
      closeInfo = { code, reason: reason.toString() };
      r(closeInfo);
      notify();
    }));

    const client = {
      name,
      ws,
      events,
      errors,
      closed,
      get closeInfo() { return closeInfo; },
      isOpen: () => ws.readyState === WebSocket.OPEN,
      /** Position after the last event so far, for waitFor's from. */
      mark: () => events.length,
      /** Sends an object as JSON, or a string as it is. */
      send(message) {
        ws.send(typeof message === 'string' ? message : JSON.stringify(message));
      },
      /** Events from position from on, optionally only those named name. */
      since(from = 0, eventName) {
        return events.slice(from).filter((e) => !eventName || e.event === eventName);
      },
      /**
       * Resolves to the first entry at or after from that matches predicate
       * (a function of the entry, or an event name), with its index.
       */
      waitFor(predicate, timeoutMs = 5000, { from = 0 } = {}) {
        const test = typeof predicate === 'function' ? predicate : (e) => e.event === predicate;
        const describe = typeof predicate === 'function' ? String(predicate) : JSON.stringify(predicate);
        return new Promise((res, rej) => {
          const w = {
            check() {
              for (let i = from; i < events.length; i++) {
                if (test(events[i])) return done(null, { ...events[i], index: i });
              }
              if (closeInfo) {
                done(new Error(`${name}: bridge closed (${closeInfo.code}) before ${describe}; ` +
                  `events: ${summary(events.slice(from))}`));
              }
            },
          };
          const timer = setTimeout(() => done(new Error(`${name}: timed out after ${timeoutMs} ms ` +
            `waiting for ${describe}; events since ${from}: ${summary(events.slice(from))}`)), timeoutMs);
          function done(err, value) {
            clearTimeout(timer);
            waiters.delete(w);
            if (err) rej(err); else res(value);
          }
          waiters.add(w);
          w.check();
        });
      },
      close() {
        if (closeInfo) return closed;
        ws.close(1000);
        const t = setTimeout(() => ws.terminate(), 2000);
        return closed.finally(() => clearTimeout(t));
      },
    };

    ws.once('open', () => resolve(client));
    ws.once('error', reject);
    ws.once('unexpected-response', (req, res) => {
      req.destroy();
      reject(new Error(`${name}: bridge upgrade refused with ${res.statusCode}`));
    });
  });
}

/** Short readable list of events, for failure messages. */
function summary(entries) {
  return `[${entries.map((e) => (e.event === 'obs' ? `obs:${e.data.type}` : e.event ?? `!${e.raw.slice(0, 30)}`))
    .join(', ')}]`;
}

module.exports = { connectBridge, dockPort, newToken, summary, DOCK_SERVER };
