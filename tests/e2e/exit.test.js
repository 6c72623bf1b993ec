'use strict';
// OBS closed while it streams, with docks and an overlay open, many times over: through File > Exit in its window, as a
// user closes it, and by a SIGINT landing anywhere in the statistics interval (Ctrl+C in OBS's terminal, a desktop
// logging out) with OBS under gdb. From OBS's EXIT on, the module calls nothing of OBS's frontend and sends the docks
// no statistics. VELMORA_E2E_EXIT_RUNS sets how many closes of each kind (30).

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const WebSocket = require('ws');
const { makeHome, withObs, GDB_AFTER_RUN } = require('./lib/obs');
const { startIngest } = require('./lib/ingest');
const { sleep, lateFrontendCalls } = require('./lib/checks');

const RUNS = Number(process.env.VELMORA_E2E_EXIT_RUNS || 30);
const STATS_INTERVAL_MS = 2000;
const KEY = 'exit';

// The signal gdb stopped OBS with (it lets SIGINT and SIGPIPE through silently), and the crashing thread's stack;
// null when OBS ended by itself.
function crashOf(log) {
  const at = log.indexOf(GDB_AFTER_RUN);
  const signal = at < 0 ? null : [...log.slice(0, at).matchAll(/received signal (SIG\w+)/g)].at(-1);
  return signal ? { signal: signal[1], stack: log.slice(at).split('\n').filter((l) => /^#\d+ /.test(l)) } : null;
}

// Starts OBS streaming to the ingest with three docks and an overlay connected, waits `delayMs` into the stream and
// closes OBS `how` ('menu' or 'sigint'); what the docks heard and how OBS ended.
async function closeWhileLive(ingest, how, delayMs) {
  const home = makeHome({ webPanel: how === 'menu',
    service: { type: 'rtmp_custom', settings: { server: ingest.url, key: KEY, use_auth: false } } });
  let docks = [];
  const run = await withObs({ home, gdb: how === 'sigint', settleMs: 0 }, async (obs) => {
    docks = await Promise.all(['A', 'B', 'C'].map((name) => obs.connect(name)));
    const port = await obs.dockPort();
    const overlay = new WebSocket(`ws://127.0.0.1:${port}/overlay?token=${home.readConfig().overlayToken}`,
      { origin: `http://127.0.0.1:${port}` });
    overlay.on('error', () => {});
    await docks[0].ask({ action: 'start_streaming' }, (e) => e.event === 'state' && e.data.streaming, 10000);
    await sleep(delayMs);
    if (how === 'menu') obs.exitFromMenu(); else obs.interrupt();
    const stopped = await obs.stop(20000);
    overlay.terminate();
    return stopped;
  }).finally(() => home.cleanup());
  const heardAfterExit = docks.flatMap((dock) => {
    const exit = dock.events.findIndex((e) => e.event === 'obs' && e.data.type === 'exit');
    return exit < 0 ? [] : dock.events.slice(exit + 1).filter((e) => e.event === 'stats' || e.event === 'state');
  });
  return { ...run, heardExit: docks.filter((d) => d.events.some((e) => e.data?.type === 'exit')).length, heardAfterExit };
}

// RUNS closes, their moments spread over two statistics intervals.
async function closes(how) {
  const ingest = await startIngest();
  const results = [];
  try {
    for (let i = 0; i < RUNS; i++) results.push(await closeWhileLive(ingest, how, 300 + (2 * STATS_INTERVAL_MS * i) / RUNS));
  } finally {
    await ingest.stop();
  }
  return results;
}

const describeRuns = (results) => results.map((r, i) => `#${i}: ${r.timedOut ? 'hung' : `code ${r.code}`}`).join(', ');

describe('OBS closed through File > Exit while live', { timeout: RUNS * 30000 }, () => {
  let results;
  before(async () => { results = await closes('menu'); });

  it('exits with status 0 and no leaks every time', () => {
    const unclean = results.filter((r) => r.timedOut || r.code !== 0 || r.signal || !/Number of memory leaks: 0\n/.test(r.fileLog));
    assert.equal(unclean.length, 0, describeRuns(unclean));
  });

  it('after EXIT calls nothing of OBS\'s frontend and sends the docks nothing more', () => {
    for (const r of results) {
      assert.deepEqual(lateFrontendCalls(r.log), []);
      assert.equal(r.heardExit, 3, 'every dock hears that OBS exits');
      assert.deepEqual(r.heardAfterExit.map((e) => e.raw), []);
    }
  });
});

describe('OBS interrupted by SIGINT at any moment while live, under gdb', { timeout: RUNS * 40000 }, () => {
  let results;
  before(async () => { results = await closes('sigint'); });
  after(() => {
    const crashes = (results || []).filter((r) => crashOf(r.log));
    const hangs = (results || []).filter((r) => r.timedOut);
    console.log(`# ${RUNS} SIGINTs: ${RUNS - crashes.length - hangs.length} clean exits, ${hangs.length} hung; crashes: ` +
      `${crashes.map((r) => `${crashOf(r.log).signal} in ${crashOf(r.log).stack[0]}`).join('; ') || 'none'}`);
  });

  it('never crashes in the module', () => {
    for (const r of results) {
      const crash = crashOf(r.log);
      assert.ok(!crash || !crash.stack.some((frame) => /velmora/i.test(frame)), crash && crash.stack.join('\n'));
    }
  });

  it('after EXIT calls nothing of OBS\'s frontend and sends the docks nothing more', () => {
    for (const r of results) {
      assert.deepEqual(lateFrontendCalls(r.log), []);
      assert.deepEqual(r.heardAfterExit.map((e) => e.raw), []);
    }
  });
});
