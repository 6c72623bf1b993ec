'use strict';
// Bridge figures in one real OBS run:
//  - round trip from "get_state" sent to the "state" event received, with 1 and with 20 docks
//    connected, against obs-websocket's GetStreamStatus round trip in the same OBS;
//  - the vendor request GetState through obs-websocket against GetStreamStatus, same client;
//  - main-thread time of the stats tick and of the state snapshot, from OBS's own profiler
//    (velmora_stats_tick, velmora_send_state, and in these velmora_vendor_event, the copy for obs-websocket), while OBS streams to a local RTMP ingest.
// Run through bench/bridge.sh (it builds, and enters a loopback-only network namespace).

const crypto = require('node:crypto');
const { fork } = require('node:child_process');
const WebSocket = require('../tests/e2e/node_modules/ws');
const { makeHome, startObs } = require('../tests/e2e/lib/obs');
const { startIngest } = require('../tests/e2e/lib/ingest');
const { freePorts } = require('../tests/e2e/lib/ports');
const { connectObsWebSocket } = require('../tests/e2e/lib/obsws');

const ROUNDS = Number(process.env.ROUNDS || 300);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}
const figures = (ms) => `p50 ${percentile(ms, 0.5).toFixed(3)} ms, p99 ${percentile(ms, 0.99).toFixed(3)} ms`;

function openDock(port, token) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/bridge?token=${token}`, { origin: `http://127.0.0.1:${port}` });
    ws.once('open', () => resolve(ws));
    ws.once('error', reject);
  });
}

// The other docks live in a process of their own, as other dock windows would, so the measuring
// dock's process does not also parse every other dock's copy of each event.
function openOtherDocks(port, token, count, pauseOne = false) {
  const child = fork(__filename, ['docks', String(port), token, String(count), pauseOne ? 'pause' : ''],
    { stdio: 'inherit' });
  return new Promise((resolve, reject) => {
    child.once('message', () => resolve(child));
    child.once('exit', (code) => reject(new Error(`dock process exited with ${code}`)));
  });
}

async function runOtherDocks(port, token, count, pauseOne) {
  const docks = [];
  for (let i = 0; i < count; i++) docks.push(await openDock(port, token));
  // A dock that stops reading: its socket and then its queue in the module fill up.
  if (pauseOne) docks[0]._socket.pause();
  process.send('ready');
  process.on('disconnect', () => process.exit(0));
}

// One get_state from the first dock; the time until its state event arrives, in ms.
async function stateRoundTrip(dock) {
  const arrived = new Promise((resolve) => {
    const onMessage = (raw) => {
      if (raw.toString().startsWith('{"event":"state"')) {
        dock.off('message', onMessage);
        resolve();
      }
    };
    dock.on('message', onMessage);
  });
  const start = process.hrtime.bigint();
  dock.send('{"action":"get_state"}');
  await arrived;
  return Number(process.hrtime.bigint() - start) / 1e6;
}

async function obsWebSocketRoundTrip(client) {
  const start = process.hrtime.bigint();
  await client.request('GetStreamStatus');
  return Number(process.hrtime.bigint() - start) / 1e6;
}

// Turn about, as above: the vendor's GetState against GetStreamStatus through the same client.
async function compareVendorRoundTrips(obsWs, rounds) {
  const ours = [];
  const theirs = [];
  for (let i = 0; i < rounds + 50; i++) {
    let start = process.hrtime.bigint();
    await obsWs.vendor('GetState');
    const a = Number(process.hrtime.bigint() - start) / 1e6;
    start = process.hrtime.bigint();
    await obsWs.request('GetStreamStatus');
    const b = Number(process.hrtime.bigint() - start) / 1e6;
    if (i >= 50) {
      ours.push(a);
      theirs.push(b);
    }
  }
  return [ours, theirs];
}

async function stateRoundTrips(docks, rounds) {
  await sleep(300); // let the connection snapshots pass
  const times = [];
  for (let i = 0; i < rounds; i++) times.push(await stateRoundTrip(docks[0]));
  return times;
}

// Turn about, after a warm-up of both, so that neither side gets the quieter moments of the run.
async function compareRoundTrips(docks, obsWs, rounds) {
  await sleep(300);
  const ours = [];
  const theirs = [];
  for (let i = 0; i < rounds + 50; i++) {
    const a = await stateRoundTrip(docks[0]);
    const b = await obsWebSocketRoundTrip(obsWs);
    if (i >= 50) {
      ours.push(a);
      theirs.push(b);
    }
  }
  return [ours, theirs];
}

function profilerLine(result, name) {
  const log = result.fileLog || result.log;
  const line = log.split('\n').find((l) => l.includes(`${name}:`) && l.includes('median'));
  if (line) return line.replace(/^.*?┃?\s*[┣┗]?/, '').trim();
  return result.timedOut ? '(OBS hung at SIGINT and was killed: no profiler results)' : '(not in the profiler results)';
}

// OBS 29's SIGINT handler closes the window from inside the signal: arriving while OBS is busy
// with dozens of closing connections, it can deadlock. Let that pass first.
const QUIET_BEFORE_SIGINT_MS = 1500;

// Main-thread time of send_state (OBS's profiler) with 50 docks, all reading or one paused: a
// separate OBS run each, so each profiler figure covers that case alone.
async function sendStateWithFiftyDocks(pauseOne) {
  const token = crypto.randomBytes(32).toString('hex');
  const home = makeHome({});
  const obs = await startObs(home, { env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: token } });
  let others = null;
  const docks = [];
  try {
    const port = Number((await obs.waitForLog(/\[velmora\] Dock server on 127\.0\.0\.1:(\d+)/))[1]);
    docks.push(await openDock(port, token));
    others = await openOtherDocks(port, token, 49, pauseOne);
    await stateRoundTrips(docks, ROUNDS);
  } finally {
    for (const dock of docks) dock.terminate();
    if (others) others.kill();
  }
  await sleep(QUIET_BEFORE_SIGINT_MS);
  const result = await obs.stop();
  home.cleanup();
  return profilerLine(result, 'velmora_send_state');
}

async function main() {
  const token = crypto.randomBytes(32).toString('hex');
  const obsWsPort = await freePorts(1);
  const ingest = await startIngest();
  const home = makeHome({
    obsWebSocket: obsWsPort,
    service: { type: 'rtmp_custom', settings: { server: ingest.url, key: 'bench', use_auth: false } },
  });
  const obs = await startObs(home, { env: { VELMORA_OBS_TEST_BRIDGE_TOKEN: token } });
  const docks = [];
  let others = null;
  let result;
  try {
    const port = Number((await obs.waitForLog(/\[velmora\] Dock server on 127\.0\.0\.1:(\d+)/))[1]);
    const obsWs = await connectObsWebSocket(obsWsPort);

    const [vendorOurs, vendorTheirs] = await compareVendorRoundTrips(obsWs, ROUNDS);
    docks.push(await openDock(port, token));
    const [ours1, theirs1] = await compareRoundTrips(docks, obsWs, ROUNDS);
    others = await openOtherDocks(port, token, 19);
    const [ours20, theirs20] = await compareRoundTrips(docks, obsWs, ROUNDS);

    // Stream for a while so the stats tick does its full work.
    docks[0].send('{"action":"start_streaming"}');
    await obs.waitForLog('==> Start Streaming', 10000).catch(() => {});
    await sleep(12000);
    docks[0].send('{"action":"stop_streaming"}');
    await sleep(1500);
    obsWs.close();

    console.log(`obs-websocket round trip (${ROUNDS} rounds each, one client): vendor velmora GetState against GetStreamStatus`);
    console.log(`  velmora ${figures(vendorOurs)}   GetStreamStatus ${figures(vendorTheirs)}   ratio of medians ${(percentile(vendorOurs, 0.5) / percentile(vendorTheirs, 0.5)).toFixed(2)}`);
    console.log(`Bridge round trip, get_state -> state (${ROUNDS} rounds each), against obs-websocket's GetStreamStatus`);
    console.log(`  1 dock:    velmora ${figures(ours1)}   obs-websocket ${figures(theirs1)}   ratio of medians ${(percentile(ours1, 0.5) / percentile(theirs1, 0.5)).toFixed(2)}`);
    console.log(`  20 docks:  velmora ${figures(ours20)}   obs-websocket ${figures(theirs20)}   ratio of medians ${(percentile(ours20, 0.5) / percentile(theirs20, 0.5)).toFixed(2)}`);
  } finally {
    for (const dock of docks) dock.terminate();
    if (others) others.kill();
    await sleep(QUIET_BEFORE_SIGINT_MS);
    result = await obs.stop();
    await ingest.stop();
    home.cleanup();
  }
  console.log('Main-thread time in OBS\'s profiler (per call), streaming with 20 docks:');
  for (const name of ['velmora_stats_tick', 'velmora_send_state', 'velmora_vendor_event']) console.log(`  ${profilerLine(result, name)}`);
  console.log(`send_state with 50 docks (${ROUNDS} get_state), all reading:`);
  console.log(`  ${await sendStateWithFiftyDocks(false)}`);
  console.log('send_state with 50 docks, one of them paused:');
  console.log(`  ${await sendStateWithFiftyDocks(true)}`);
}

if (process.argv[2] === 'docks') {
  runOtherDocks(Number(process.argv[3]), process.argv[4], Number(process.argv[5]), process.argv[6] === 'pause').catch((err) => {
    console.error(err);
    process.exit(1);
  });
} else main().catch((err) => {
  console.error(err);
  process.exit(1);
});
