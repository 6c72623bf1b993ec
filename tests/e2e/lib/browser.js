'use strict';
// Chromium for the web pages the module serves: Debian's, driven by playwright-core, where each page records
// its console errors, uncaught errors and Content-Security-Policy violations; and chrome-remote-interface for
// the page inside OBS's Qt WebEngine (Chromium 87), whose remote debugging has no browser-context
// management, which playwright's connectOverCDP needs.

const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');
const CDP = require('chrome-remote-interface');
const { poll } = require('./checks');

const SCREENSHOTS_DIR = path.join(__dirname, '..', '.artifacts', 'screenshots');
const AXE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

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

async function screenshot(page, name, { fullPage = true } = {}) {
  fs.mkdirSync(SCREENSHOTS_DIR, { recursive: true });
  await page.screenshot({ path: path.join(SCREENSHOTS_DIR, `${name}.png`), fullPage });
}

/** What axe-core finds against WCAG 2 A and AA and its best practices, one line per rule. */
async function accessibilityViolations(page) {
  await page.evaluate(AXE); // through DevTools: the page's own policy allows no injected script
  return page.evaluate(async () => {
    const { violations } = await window.axe.run(document, {
      runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'best-practice'] } });
    return violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  });
}

const targets = (port) => CDP.List({ host: '127.0.0.1', port });

/**
 * Attaches over DevTools to the first page whose URL contains urlPart, waiting up to timeoutMs for it.
 */
async function attachPage(port, urlPart, timeoutMs = 15000) {
  const target = await poll(async () => (await targets(port)).find((t) => t.type === 'page' && t.url.includes(urlPart)),
    timeoutMs, `a page with ${urlPart} on DevTools port ${port}`);
  // The protocol description it carries: the engine's own may be older than the client.
  const client = await CDP({ host: '127.0.0.1', port, target, local: true });
  const send = (method, params = {}) => client.send(method, params);

  async function evaluate(expression) {
    const { result, exceptionDetails } = await send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.exception?.description || exceptionDetails.text}`);
    return result.value;
  }
  const element = (selector) => `document.querySelector(${JSON.stringify(selector)})`;
  return {
    evaluate,
    // Until the expression is true; one that throws (the page still loading) counts as false.
    waitFor: (expression, ms = 10000) => poll(() => evaluate(expression), ms, expression),
    text: (selector) => evaluate(`${element(selector)}.innerText`),
    close: () => client.close(),
    targets: () => targets(port),
  };
}

module.exports = { launchBrowser, openPage, screenshot, accessibilityViolations, attachPage };
