'use strict';
// A test client for the module's /bridge WebSocket: records every event in order and waits for
// the ones a test expects.

const { performance } = require('node:perf_hooks');
const WebSocket = require('ws');
const { watcher } = require('./checks');

const DOCK_SERVER = /\[velmora\] Dock server on 127\.0\.0\.1:(\d+)/;

/** Short readable list of events, for failure messages. */
const summary = (entries) => `[${entries.map((e) => (e.event === 'obs' ? `obs:${e.data.type}` : e.event ?? '!'))
  .join(', ')}]`;

/**
 * Connects to the bridge with the dock's Origin; resolves once open. Every text message becomes
 * an entry { event, data, raw, at } in client.events (at: performance.now()).
 */
function connectBridge({ port, token, name = 'client', timeoutMs = 5000 }) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/bridge?token=${token}`,
      { origin: `http://127.0.0.1:${port}`, handshakeTimeout: timeoutMs });
    const events = [];
    const { wait, notify } = watcher();
    let closeInfo = null;
    ws.on('message', (message) => {
      const entry = { event: null, data: null, raw: message.toString('utf8'), at: performance.now() };
      try {
        entry.data = JSON.parse(entry.raw);
        entry.event = entry.data && typeof entry.data === 'object' ? entry.data.event : null;
      } catch { /* recorded as it came */ }
      events.push(entry);
      notify();
    });
    const closed = new Promise((r) => ws.on('close', (code, reason) => {
      closeInfo = { code, reason: reason.toString() };
      r(closeInfo);
      notify();
    }));

    const client = {
      name, ws, events, closed,
      get closeInfo() { return closeInfo; },
      mark: () => events.length,
      send: (message) => ws.send(typeof message === 'string' ? message : JSON.stringify(message)),
      since: (from = 0, eventName) => events.slice(from).filter((e) => !eventName || e.event === eventName),
      /** The first entry from position from on that matches (an event name or a test), with its index. */
      waitFor(predicate, ms = 5000, { from = 0 } = {}) {
        const test = typeof predicate === 'function' ? predicate : (e) => e.event === predicate;
        let next = from;
        return wait(() => {
          for (; next < events.length; next++) if (test(events[next])) return { ...events[next], index: next };
          if (closeInfo) throw new Error(`${name}: closed (${closeInfo.code}) before ${predicate}`);
          return null;
        }, ms, () => `${name}: timed out after ${ms} ms waiting for ${predicate}; since ${from}: ` +
          summary(events.slice(from, from + 50)));
      },
      /** Sends message; the first entry after it that matches. */
      ask(message, predicate, ms = 5000) {
        const from = events.length;
        client.send(message);
        return client.waitFor(predicate, ms, { from });
      },
    };
    ws.once('open', () => resolve(client));
    ws.on('error', reject); // stays: an error after the open must not go unhandled
    ws.once('unexpected-response', (req, res) => {
      req.destroy();
      reject(new Error(`${name}: bridge upgrade refused with ${res.statusCode}`));
    });
  });
}

module.exports = { connectBridge, summary, DOCK_SERVER };
