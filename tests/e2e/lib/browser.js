'use strict';
// Debian's Chromium driven by playwright-core, for the web pages the module serves: each page
// records its console errors, uncaught errors and Content-Security-Policy violations.

const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');

const SCREENSHOTS_DIR = path.join(__dirname, '..', '.artifacts', 'screenshots');

function launchBrowser() {
  return chromium.launch({ executablePath: process.env.VELMORA_CHROMIUM || '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox'] });
}

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
  const file = path.join(SCREENSHOTS_DIR, `${name}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
}

module.exports = { launchBrowser, openPage, screenshot };
