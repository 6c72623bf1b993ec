'use strict';
// The Qt WebEngine panel provider in a real OBS: OBS's time to "Startup complete" with and without
// the provider installed (runs alternate), the time from FINISHED_LOADING (the dock's "Browser
// panels from" line) to the dock page's first drawn state, and the memory the provider adds
// (resident and proportional set size of OBS and the engine's processes, with the dock shown).
// Run through bench/web-panel.sh (it builds, and enters a loopback-only network namespace).

const fs = require('node:fs');
const { performance } = require('node:perf_hooks');
const { attachPage } = require('../tests/e2e/lib/browser');
const { makeHome, startObs, pidsWithCommand } = require('../tests/e2e/lib/obs');
const { freePorts } = require('../tests/e2e/lib/ports');

const ROUNDS = Number(process.env.ROUNDS || 3);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];

function memoryKb(pids) {
  let rss = 0;
  let pss = 0;
  for (const pid of pids) {
    try {
      const rollup = fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
      rss += Number(/^Rss:\s+(\d+)/m.exec(rollup)[1]);
      pss += Number(/^Pss:\s+(\d+)/m.exec(rollup)[1]);
    } catch { /* gone */ }
  }
  return { rss, pss };
}

const engines = () => pidsWithCommand('QtWebEngineProcess');

async function oneRun(withPanel) {
  const [port, cdpPort] = await freePorts(2).then((p) => [p, p + 1]);
  const home = makeHome({ webPanel: withPanel, config: { port } });
  const env = { QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${cdpPort}`,
    QT_XCB_GL_INTEGRATION: 'xcb_egl' };
  const t0 = performance.now();
  const obs = await startObs(home, { env, settleMs: 0 });
  const result = {};
  try {
    result.startupMs = obs.logAt('==== Startup complete') - t0;
    if (withPanel) {
      await obs.waitForLog('[velmora] Browser panels from velmora-web-panel', 10000);
      const loadedAt = obs.logAt('[velmora] Browser panels from');
      const page = await attachPage(cdpPort, '/dock/', 10000);
      while (!(await page.evaluate('document.body !== null && document.body.dataset.drawn === "state"'))) await sleep(5);
      result.firstStateMs = performance.now() - loadedAt;
      page.close();
    }
    await sleep(3000); // settled
    result.memory = memoryKb([obs.pid, ...engines()]);
  } finally {
    await obs.stop();
    home.cleanup();
  }
  return result;
}

async function main() {
  const without = [];
  const withPanel = [];
  for (let i = 0; i < ROUNDS; i++) {
    without.push(await oneRun(false));
    withPanel.push(await oneRun(true));
  }
  const ms = (runs, key) => median(runs.map((r) => r[key])).toFixed(0);
  console.log(`OBS to "Startup complete": without the provider ${ms(without, 'startupMs')} ms, with it ${ms(withPanel, 'startupMs')} ms (medians of ${ROUNDS})`);
  console.log(`start-up delay: ${(median(withPanel.map((r) => r.startupMs)) - median(without.map((r) => r.startupMs))).toFixed(0)} ms`);
  console.log(`FINISHED_LOADING to the dock's first drawn state: median ${ms(withPanel, 'firstStateMs')} ms (${withPanel.map((r) => r.firstStateMs.toFixed(0)).join(', ')})`);
  const mem = (runs, key) => median(runs.map((r) => r.memory[key]));
  console.log(`memory, OBS and engine processes: RSS ${(mem(without, 'rss') / 1024).toFixed(0)} MB without, ${(mem(withPanel, 'rss') / 1024).toFixed(0)} MB with ` +
    `(+${((mem(withPanel, 'rss') - mem(without, 'rss')) / 1024).toFixed(0)} MB); PSS +${((mem(withPanel, 'pss') - mem(without, 'pss')) / 1024).toFixed(0)} MB`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
