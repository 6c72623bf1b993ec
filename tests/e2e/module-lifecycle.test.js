'use strict';
// Loading, unloading and the stored configuration of the module in a real OBS.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { makeHome, withObs, obsVersionFromLog } = require('./lib/obs');
const { DOCK_SERVER } = require('./lib/bridge');
const { assertCleanExit, assertUnloaded } = require('./lib/checks');

const LOADING = /\[velmora\] Velmora for OBS (\S+) loading \(OBS (\S+)\)/;

// The file names OBS lists under "Loaded Modules:" at the end of start-up.
function loadedModules(log) {
  const block = log.match(/Loaded Modules:\n((?:.*\n)*?).*-{10,}/);
  assert.ok(block, 'OBS printed no "Loaded Modules:" list');
  return block[1].split('\n').map((l) => l.replace(/^\S+:\s+/, '').trim()).filter(Boolean);
}
const boundPort = (log) => Number((log.match(DOCK_SERVER) || [])[1]);

describe('module in a fresh OBS profile, then with a stored configuration', () => {
  let home;
  const runs = {};
  let tokenAfterFirst;
  let tokenAfterBadPort;

  before(async () => {
    home = makeHome();
    const runOnce = () => withObs({ home }, (obs) => obs.stop());
    runs.fresh = await runOnce();
    tokenAfterFirst = fs.existsSync(home.configFile) ? home.readConfig().overlayToken : undefined;
    // A stored port outside 1024..65535 reads as the default; the token must survive.
    fs.writeFileSync(home.configFile, JSON.stringify({ port: 70000, overlayToken: tokenAfterFirst }));
    runs.badPort = await runOnce();
    tokenAfterBadPort = home.readConfig().overlayToken;
    fs.writeFileSync(home.configFile, '{"port": ');
    fs.rmSync(`${home.configFile}.bak`, { force: true });
    runs.corrupt = await runOnce();
  });
  after(() => home && home.cleanup());

  it('logs its version and the running OBS version, and OBS lists it', () => {
    const m = runs.fresh.log.match(LOADING);
    assert.ok(m, 'no loading line from the module');
    assert.equal(m[1], '1.0.1');
    assert.equal(m[2], obsVersionFromLog(runs.fresh.log));
    assert.match(runs.fresh.fileLog, LOADING, 'the same lines go to OBS\'s log file');
    assert.ok(loadedModules(runs.fresh.log).includes('velmora-obs-plugin.so'));
  });

  it('binds the default port for a missing, out-of-range or unreadable configuration', () => {
    for (const [name, run] of Object.entries(runs)) assert.equal(boundPort(run.log), 41471, name);
  });

  it('creates an overlay token on the first run and keeps it', () => {
    assert.match(tokenAfterFirst ?? '', /^[0-9a-f]{64}$/);
    assert.equal(tokenAfterBadPort, tokenAfterFirst, 'the second run replaced a valid token');
    assert.match(home.readConfig().overlayToken, /^[0-9a-f]{64}$/, 'a corrupt file gets a new one');
  });

  it('unloads at shutdown, and OBS exits cleanly without leaks', () => {
    for (const run of Object.values(runs)) {
      assertUnloaded(run.log);
      assertCleanExit(run);
    }
  });
});
