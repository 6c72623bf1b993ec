'use strict';
// obs-websocket 5 as a test instrument: asks OBS itself what it holds in
// memory (e.g. the stream service), independent of the module.

const WebSocket = require('ws');

/** Connects and identifies; resolves to { request(type, data), streamService(), close() }. */
function connectObsWebSocket(port, timeoutMs = 5000) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}`, 'obswebsocket.json', { handshakeTimeout: timeoutMs });
    const pending = new Map();
    let nextId = 1;
    const timer = setTimeout(() => { ws.terminate(); reject(new Error('obs-websocket: no Identified')); }, timeoutMs);
    ws.on('error', reject);
    ws.on('close', () => {
      for (const p of pending.values()) p.reject(new Error('obs-websocket closed'));
      pending.clear();
    });
    const request = (requestType, requestData) => new Promise((res, rej) => {
      const requestId = String(nextId++);
      pending.set(requestId, { resolve: res, reject: rej });
      ws.send(JSON.stringify({ op: 6, d: { requestType, requestId, requestData } }));
    });
    ws.on('message', (raw) => {
      const { op, d } = JSON.parse(raw.toString('utf8'));
      if (op === 0) ws.send(JSON.stringify({ op: 1, d: { rpcVersion: 1, eventSubscriptions: 0 } }));
      if (op === 2) {
        clearTimeout(timer);
        resolve({
          request,
          /** The stream service OBS holds in memory, as { type, settings }. */
          async streamService() {
            const s = await request('GetStreamServiceSettings');
            return { type: s.streamServiceType, settings: s.streamServiceSettings };
          },
          close() { ws.terminate(); },
        });
      }
      if (op === 7) {
        const p = pending.get(d.requestId);
        pending.delete(d.requestId);
        if (d.requestStatus.result) p?.resolve(d.responseData || {});
        else p?.reject(new Error(`${d.requestType}: ${d.requestStatus.code} ${d.requestStatus.comment || ''}`));
      }
    });
  });
}

module.exports = { connectObsWebSocket };
