'use strict';
// Small helpers and assertions shared by the suites.

const assert = require('node:assert/strict');
const fs = require('node:fs');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Captures an outcome so that one broken interaction fails only its own test.
async function settle(fn) {
  try { return { value: await fn() }; } catch (error) { return { error }; }
}
function unwrap(result) {
  if (!result) throw new Error('not reached: an earlier step of the OBS run failed');
  if (result.error) throw result.error;
  return result.value;
}

const count = (text, needle) => text.split(needle).length - 1;

/** Parsed JSON file, or undefined when it does not exist. */
function readJson(file) {
  if (!fs.existsSync(file)) return undefined;
  return JSON.parse(fs.readFileSync(file, 'utf8'));
}

const STATE_KEYS = ['event', 'version', 'obsVersion', 'streaming', 'reconnecting', 'serviceIsVelmora',
  'previousService', 'lastError', 'overlayChatUrl', 'overlayCountdownUrl'];
const STATS_KEYS = ['event', 'streaming', 'kbps', 'droppedFrames', 'totalFrames', 'congestion',
  'reconnecting', 'fps'];

// Member names in the order the text has them (JSON.parse keeps it for non-index keys).
const keysOf = (entry) => Object.keys(JSON.parse(entry.raw));

/** Member order of every event named name that client received. */
function assertMemberOrder(client, name, keys, filter = () => true) {
  const wrong = client.events.filter((e) => e.event === name && filter(e) && keysOf(e).join() !== keys.join());
  assert.equal(wrong.length, 0, `${client.name}: ${name} events with members in another order, e.g. ` +
    `${wrong[0] && keysOf(wrong[0]).join(',')}; expected ${keys.join(',')}`);
}

/** A state event's members and the values that do not depend on the test step. */
function assertStateShape(entry, { port, overlayToken, obsVersion }) {
  const s = entry.data;
  assert.deepEqual(keysOf(entry), STATE_KEYS, `state members: ${entry.raw}`);
  assert.equal(s.version, '1.0.1');
  assert.equal(s.obsVersion, obsVersion);
  assert.equal(s.overlayChatUrl, `http://127.0.0.1:${port}/dock/overlay-chat.html#o=${overlayToken}`);
  assert.equal(s.overlayCountdownUrl, `http://127.0.0.1:${port}/dock/overlay-countdown.html#o=${overlayToken}`);
}

/** Every message was one JSON object whose first member is "event". */
function assertWellFormed(client) {
  for (const e of client.events) {
    assert.ok(!e.binary && e.data && typeof e.data === 'object' && !Array.isArray(e.data),
      `${client.name}: not a JSON object: ${e.raw.slice(0, 200)}`);
    assert.equal(keysOf(e)[0], 'event', `${client.name}: first member is not "event": ${e.raw.slice(0, 200)}`);
  }
}

/** The OBS "exit" event arrived and no state followed it. */
function assertExitLast(client) {
  const i = client.events.findIndex((e) => e.event === 'obs' && e.data.type === 'exit');
  assert.ok(i >= 0, `${client.name}: no obs exit event; closed with ${JSON.stringify(client.closeInfo)}`);
  assert.deepEqual(keysOf(client.events[i]), ['event', 'type']);
  const after = client.events.slice(i + 1).map((e) => e.event);
  assert.ok(!after.includes('state'), `${client.name}: state after exit: ${after}`);
}

/** OBS exited by itself after SIGINT with status 0 and, unless told otherwise, no leaks. */
function assertCleanExit(run, { leaks = 0 } = {}) {
  assert.equal(run.timedOut, false, 'OBS did not exit after SIGINT');
  assert.equal(run.signal, null);
  assert.equal(run.code, 0, `OBS exit code ${run.code}`);
  const m = run.fileLog.match(/Number of memory leaks: (\d+)/);
  assert.ok(m, 'OBS logged no memory leak count');
  assert.equal(Number(m[1]), leaks, 'memory leaks');
}

/** The module unloaded after OBS began shutting down. */
function assertUnloaded(log) {
  const shutdown = log.indexOf('==== Shutting down');
  assert.ok(shutdown >= 0, 'OBS never started shutting down');
  assert.ok(log.indexOf('[velmora] Velmora for OBS unloaded', shutdown) > shutdown, 'no unload line after shutdown');
}

module.exports = {
  sleep, settle, unwrap, count, readJson, keysOf, STATE_KEYS, STATS_KEYS,
  assertMemberOrder, assertStateShape, assertWellFormed, assertExitLast, assertCleanExit, assertUnloaded,
};
