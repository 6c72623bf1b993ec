'use strict';
// Time from navigation to the dock's first drawn state in Chromium against the module in a real
// OBS (page, scripts, styles, the bridge connection, hello, the state event, the first draw),
// beside the same built pages loaded from nginx, where the page draws without a bridge. Fresh
// browser context (empty cache) per load; runs alternate; medians of ROUNDS.
// Run through bench/dock-load.sh (it builds, and enters a loopback-only network namespace).

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { makeHome, startObs, STAGE_DIR } = require('../tests/e2e/lib/obs');
const { launchBrowser } = require('../tests/e2e/lib/browser');
const { freePorts } = require('../tests/e2e/lib/ports');

const ROUNDS = Number(process.env.ROUNDS || 25);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];

async function startNginx(root) {
  const port = await freePorts(1);
  const prefix = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-bench-nginx-'));
  fs.mkdirSync(path.join(prefix, 'tmp'));
  fs.writeFileSync(path.join(prefix, 'nginx.conf'), `daemon off; master_process off; worker_processes 1;
pid ${prefix}/nginx.pid; error_log ${prefix}/error.log;
events { worker_connections 64; }
http { include /etc/nginx/mime.types; access_log off; client_body_temp_path ${prefix}/tmp;
  server { listen 127.0.0.1:${port}; location /dock/ { alias ${root}/; } } }
`);
  const child = spawn('/usr/sbin/nginx', ['-p', `${prefix}/`, '-c', `${prefix}/nginx.conf`], { stdio: 'ignore' });
  await sleep(300);
  return { origin: `http://127.0.0.1:${port}`, stop: () => { child.kill('SIGQUIT'); fs.rmSync(prefix, { recursive: true, force: true }); } };
}

// Milliseconds from navigation start until the body carries data-drawn="<value>".
async function loadOnce(browser, url, value) {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.addInitScript((wanted) => {
    new MutationObserver((changes, observer) => {
      if (document.body && document.body.dataset.drawn === wanted) {
        window.drawnAt = performance.now();
        observer.disconnect();
      }
    }).observe(document, { subtree: true, attributes: true, attributeFilter: ['data-drawn'] });
  }, value);
  await page.goto(url);
  await page.waitForFunction(() => window.drawnAt !== undefined, null, { timeout: 10000 });
  const ms = await page.evaluate(() => window.drawnAt);
  await context.close();
  return ms;
}

async function main() {
  const home = makeHome();
  const { token } = home;
  const obs = await startObs(home);
  const nginx = await startNginx(path.join(STAGE_DIR, 'data', 'web'));
  const browser = await launchBrowser();
  try {
    const port = await obs.dockPort();
    const ours = `http://127.0.0.1:${port}/dock/#t=${token}`;
    const peer = `${nginx.origin}/dock/`;
    await loadOnce(browser, ours, 'state'); // warm-up: the browser's own first start
    await loadOnce(browser, peer, 'waiting');
    const a = [];
    const b = [];
    // The German dock: the page the module picks for OBS's language, and the same file from nginx.
    const oursGerman = `http://127.0.0.1:${port}/dock/?lang=de-DE#t=${token}`;
    const peerGerman = `${nginx.origin}/dock/index.de-DE.html`;
    const c = [];
    const d = [];
    for (let i = 0; i < ROUNDS; i++) {
      a.push(await loadOnce(browser, ours, 'state'));
      b.push(await loadOnce(browser, peer, 'waiting'));
      c.push(await loadOnce(browser, oursGerman, 'state'));
      d.push(await loadOnce(browser, peerGerman, 'waiting'));
    }
    // The English dock: its page and the script and style it names (each language has its own).
    const web = path.join(STAGE_DIR, 'data', 'web');
    const page = fs.readFileSync(path.join(web, 'index.html'), 'utf8');
    const size = [...page.matchAll(/(?:src|href)="(assets\/[^"]+)"/g)]
      .reduce((sum, m) => sum + fs.statSync(path.join(web, m[1])).size, Buffer.byteLength(page));
    console.log(`dock page, scripts and styles: ${(size / 1024).toFixed(1)} KiB before compression`);
    console.log(`load to first drawn state, module in OBS: median ${median(a).toFixed(1)} ms (${ROUNDS} loads)`);
    console.log(`load to first draw, same pages from nginx (no bridge): median ${median(b).toFixed(1)} ms`);
    console.log(`ratio module/nginx: ${(median(a) / median(b)).toFixed(2)}`);
    console.log(`German dock: module median ${median(c).toFixed(1)} ms, nginx ${median(d).toFixed(1)} ms, ratio ${(median(c) / median(d)).toFixed(2)}`);
  } finally {
    await browser.close();
    nginx.stop();
    await obs.stop();
    home.cleanup();
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
