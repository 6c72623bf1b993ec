'use strict';
// Chromium for the web pages the module serves: Debian's, driven by playwright-core, where each page records
// its console errors, uncaught errors and Content-Security-Policy violations; and a small DevTools-protocol
// client for the page inside OBS's Qt WebEngine (Chromium 87), whose remote debugging has no browser-context
// management, which playwright's connectOverCDP needs.

const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');
const WebSocket = require('ws');
const { poll } = require('./checks');

const SCREENSHOTS_DIR = path.join(__dirname, '..', '.artifacts', 'screenshots');

const launchBrowser = () =>
  chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox'] });

/** Opens url in a new page of context; page.problems() lists what went wrong in it so far. */
async function openPage(context, url) {
  const page = await context.newPage();
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => problems.push(`error: ${e.message}`));
  await page.addInitScript(() => {
    document.addEventListener('securitypolicyviolation', (e) => {
      console.error(`CSP violation: ${e.violatedDirective} ${e.blockedURI}`);
    });
  });
  page.problems = () => problems.slice();
  await page.goto(url);
  return page;
}

async function screenshot(page, name) {
  fs.mkdirSync(SCREENSHOTS_DIR, { recursive: true });
  await page.screenshot({ path: path.join(SCREENSHOTS_DIR, `${name}.png`), fullPage: true });
}

const targets = (port) => fetch(`http://127.0.0.1:${port}/json/list`, { signal: AbortSignal.timeout(2000) })
  .then((res) => res.json());

/**
 * Attaches over DevTools to the first page whose URL contains urlPart, waiting up to timeoutMs for it.
 * Clicks and typing go through the engine's input pipeline, as a user's would.
 */
async function attachPage(port, urlPart, timeoutMs = 15000) {
  const target = await poll(async () => (await targets(port)).find((t) => t.type === 'page' && t.url.includes(urlPart)),
    timeoutMs, `a page with ${urlPart} on DevTools port ${port}`);
  const ws = new WebSocket(target.webSocketDebuggerUrl);
  await new Promise((resolve, reject) => ws.once('open', resolve).once('error', reject));
  let nextId = 1;
  const pending = new Map();
  ws.on('message', (raw) => {
    const message = JSON.parse(raw);
    const waiter = pending.get(message.id);
    pending.delete(message.id);
    if (message.error) waiter?.reject(new Error(message.error.message));
    else waiter?.resolve(message.result);
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
  const element = (selector) => `document.querySelector(${JSON.stringify(selector)})`;
  async function click(selector) {
    const at = await evaluate(`(() => { const e = ${element(selector)}; e.scrollIntoView({ block: 'center' });
      const r = e.getBoundingClientRect(); return { x: r.left + r.width / 2, y: r.top + r.height / 2 }; })()`);
    for (const type of ['mouseMoved', 'mousePressed', 'mouseReleased']) {
      await send('Input.dispatchMouseEvent', { type, x: at.x, y: at.y, button: 'left', clickCount: 1 });
    }
  }
  async function type(selector, text) {
    await evaluate(`(() => { const e = ${element(selector)}; e.focus(); e.select(); })()`);
    await send('Input.insertText', { text });
  }
  return {
    evaluate, click, type,
    // Until the expression is true; one that throws (the page still loading) counts as false.
    waitFor: (expression, ms = 10000) => poll(() => evaluate(expression), ms, expression),
    text: (selector) => evaluate(`${element(selector)}.innerText`),
    close: () => ws.close(),
    targets: () => targets(port),
  };
}

module.exports = { launchBrowser, openPage, screenshot, attachPage };
