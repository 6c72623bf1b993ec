'use strict';
// Small helpers and assertions shared by the suites.

const assert = require('node:assert/strict');
const OBS_BUILD = require('./obs_build');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

/** fn's first truthy result, asking every 20 ms for up to ms; a throw (say, a page still loading) counts as not yet. */
async function poll(fn, ms, what = fn) {
  let last = null;
  for (const end = Date.now() + ms; ; await sleep(20)) {
    try {
      const value = await fn();
      if (value) return value;
    } catch (error) {
      last = error;
    }
    if (Date.now() > end) throw new Error(`not reached in ${ms} ms: ${what}${last ? ` (${last.message})` : ''}`);
  }
}

/**
 * Waits on something that grows (a log, a list of events): wait(check, ms, failure) resolves to check()'s first
 * truthy result, asked again at each notify(); a throw from check rejects, failure() words a time-out.
 */
function watcher() {
  const checks = new Set();
  const wait = (check, ms, failure) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => done(new Error(failure())), ms);
    const run = () => {
      try {
        const value = check();
        if (value) done(null, value);
      } catch (error) {
        done(error);
      }
    };
    function done(error, value) {
      clearTimeout(timer);
      checks.delete(run);
      if (error) reject(error); else resolve(value);
    }
    checks.add(run);
    run();
  });
  return { wait, notify: () => { for (const check of checks) check(); } };
}

const count = (text, needle) => text.split(needle).length - 1;
// Member names in the order the text has them (JSON.parse keeps it for non-index keys).
const keysOf = (entry) => Object.keys(JSON.parse(entry.raw));

/** The OBS "exit" event arrived and no state followed it. */
function assertExitLast(client) {
  const i = client.events.findIndex((e) => e.event === 'obs' && e.data.type === 'exit');
  assert.ok(i >= 0, `${client.name}: no obs exit event; closed with ${JSON.stringify(client.closeInfo)}`);
  assert.deepEqual(keysOf(client.events[i]), ['event', 'type']);
  assert.ok(!client.events.slice(i + 1).some((e) => e.event === 'state'), `${client.name}: a state after exit`);
}

/**
 * Calls into OBS's frontend after OBS cleared its callbacks (OBS 32 does before modules unload), beyond those OBS's own
 * modules make.
 */
function lateFrontendCalls(log) {
  const calls = [...log.matchAll(/Tried to call (obs_frontend_\w+) with no callbacks!/g)].map((m) => m[1]);
  for (const stock of OBS_BUILD.stockLateFrontendCalls) {
    if (calls.includes(stock)) calls.splice(calls.indexOf(stock), 1);
  }
  return calls;
}

/** OBS exited by itself after SIGINT with status 0 and no leaks, and nothing called its frontend too late. */
function assertCleanExit(run) {
  assert.deepEqual([run.timedOut, run.code, run.signal], [false, 0, null], 'OBS did not exit cleanly after SIGINT');
  assert.match(run.fileLog, /Number of memory leaks: 0\n/);
  assert.deepEqual(lateFrontendCalls(run.log), [], 'calls to OBS\'s frontend after it closed');
}

/** The module unloaded after OBS began shutting down. */
function assertUnloaded(log) {
  const shutdown = log.indexOf('==== Shutting down');
  assert.ok(shutdown >= 0 && log.indexOf('[velmora] Velmora for OBS unloaded', shutdown) > shutdown, 'no unload at shutdown');
}

module.exports = { sleep, poll, watcher, count, keysOf, assertExitLast, assertCleanExit, assertUnloaded,
  lateFrontendCalls };
