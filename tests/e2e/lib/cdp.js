'use strict';
// A small DevTools-protocol client for a page inside OBS's Qt WebEngine (Chromium 87), whose
// remote debugging has no browser-context management, which playwright's connectOverCDP needs.
// Clicks and typing go through the engine's input pipeline, as a user's would.

const http = require('node:http');
const WebSocket = require('ws');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function targets(port) {
  return new Promise((resolve, reject) => {
    http.get({ host: '127.0.0.1', port, path: '/json/list', timeout: 2000 }, (res) => {
      let body = '';
      res.on('data', (c) => { body += c; }).on('end', () => {
        try { resolve(JSON.parse(body)); } catch (error) { reject(error); }
      });
    }).on('error', reject).on('timeout', function timeout() { this.destroy(new Error('/json/list timed out')); });
  });
}

/** Attaches to the first page whose URL contains urlPart, waiting up to timeoutMs for it. */
async function attachPage(port, urlPart, timeoutMs = 15000) {
  const deadline = Date.now() + timeoutMs;
  let target;
  while (!target) {
    target = await targets(port).then((list) => list.find((t) => t.type === 'page' && t.url.includes(urlPart)), () => null);
    if (!target) {
      if (Date.now() > deadline) throw new Error(`no page with ${urlPart} on DevTools port ${port}`);
      await sleep(100);
    }
  }
  const ws = new WebSocket(target.webSocketDebuggerUrl);
  await new Promise((resolve, reject) => ws.once('open', resolve).once('error', reject));
  let nextId = 1;
  const pending = new Map();
  ws.on('message', (raw) => {
    const message = JSON.parse(raw);
    const waiter = pending.get(message.id);
    if (!waiter) return;
    pending.delete(message.id);
    if (message.error) waiter.reject(new Error(`${message.error.message}`));
    else waiter.resolve(message.result);
  });
  const send = (method, params = {}) => new Promise((resolve, reject) => {
    const id = nextId++;
    pending.set(id, { resolve, reject });
    ws.send(JSON.stringify({ id, method, params }));
  });

  async function evaluate(expression) {
    const { result, exceptionDetails } = await send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.exception?.description || exceptionDetails.text}`);
    return result.value;
  }
  // Until the expression is true; one that throws (the page still loading) counts as false.
  async function waitFor(expression, ms = 10000) {
    let last = null;
    for (const end = Date.now() + ms; ; await sleep(50)) {
      try {
        if (await evaluate(expression)) return;
      } catch (error) {
        last = error;
      }
      if (Date.now() > end) throw new Error(`not true in ${ms} ms: ${expression}${last ? ` (${last.message})` : ''}`);
    }
  }
  async function click(selector) {
    const at = await evaluate(`(() => { const e = document.querySelector(${JSON.stringify(selector)});
      e.scrollIntoView({ block: 'center' }); const r = e.getBoundingClientRect();
      return { x: r.left + r.width / 2, y: r.top + r.height / 2 }; })()`);
    for (const type of ['mouseMoved', 'mousePressed', 'mouseReleased']) {
      await send('Input.dispatchMouseEvent', { type, x: at.x, y: at.y, button: 'left', clickCount: 1 });
    }
  }
  async function type(selector, text) {
    await evaluate(`(() => { const e = document.querySelector(${JSON.stringify(selector)}); e.focus(); e.select(); })()`);
    await send('Input.insertText', { text });
  }
  const text = (selector) => evaluate(`document.querySelector(${JSON.stringify(selector)}).innerText`);
  const close = () => ws.close();
  return { evaluate, waitFor, click, type, text, close, url: target.url, targets: () => targets(port) };
}

module.exports = { attachPage };
