'use strict';
// Loading, unloading and first-run configuration of the module in a real OBS.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { makeHome, withObs, obsVersionFromLog } = require('./lib/obs');

const LOADING = /\[velmora\] Velmora for OBS (\S+) loading \(OBS (\S+)\)/;
const UNLOADED = '[velmora] Velmora for OBS unloaded';

// Starts OBS on home, stops it straight away and returns the stop result.
const runOnce = (home) => withObs({ home }, (obs) => obs.stop());

// The file names OBS lists under "Loaded Modules:" at the end of start-up.
function loadedModules(log) {
  const block = log.match(/Loaded Modules:\n((?:.*\n)*?).*-{10,}/);
  assert.ok(block, 'OBS printed no "Loaded Modules:" list');
  return block[1].split('\n').map((l) => l.replace(/^\S+:\s+/, '').trim()).filter(Boolean);
}

function assertCleanExit(run) {
  assert.equal(run.timedOut, false, 'OBS did not exit after SIGINT');
  assert.equal(run.signal, null);
  assert.equal(run.code, 0, `OBS exit code ${run.code}`);
}

describe('module in a fresh OBS profile', () => {
  let home;
  let first;
  let second;
  let tokenAfterFirst;

  before(async () => {
    home = makeHome();
    first = await runOnce(home);
    tokenAfterFirst = fs.existsSync(home.configFile) ? home.readConfig().overlayToken : undefined;
    second = await runOnce(home);
  });
  after(() => home && home.cleanup());

  it('logs its version and the running OBS version when loading', () => {
    const m = first.log.match(LOADING);
    assert.ok(m, 'no loading line from the module');
    assert.equal(m[1], '1.0.1');
    const obsVersion = obsVersionFromLog(first.log);
    assert.ok(obsVersion, 'OBS logged no version of its own');
    assert.equal(m[2], obsVersion);
  });

  it('is listed among the modules OBS loaded', () => {
    assert.ok(loadedModules(first.log).includes('velmora-obs-plugin.so'),
      `not in the list: ${loadedModules(first.log).join(', ')}`);
  });

  it('unloads at shutdown and OBS exits cleanly', () => {
    for (const run of [first, second]) {
      const shutdown = run.log.indexOf('==== Shutting down');
      assert.ok(shutdown >= 0, 'OBS never started shutting down');
      assert.ok(run.log.indexOf(UNLOADED, shutdown) > shutdown, 'no unload line after shutdown began');
      assertCleanExit(run);
    }
  });

  it('writes the same lines to OBS\'s log file', () => {
    assert.match(first.fileLog, LOADING);
    assert.ok(first.fileLog.includes(UNLOADED));
  });

  it('leaves OBS\'s memory leak count at zero', () => {
    for (const run of [first, second]) {
      const m = run.fileLog.match(/Number of memory leaks: (\d+)/);
      assert.ok(m, 'OBS logged no memory leak count');
      assert.equal(m[1], '0');
    }
  });

  it('creates an overlay token on the first run and keeps it', () => {
    assert.match(tokenAfterFirst ?? '', /^[0-9a-f]{64}$/,
      `config.json after the first run: ${fs.existsSync(home.configFile) ? fs.readFileSync(home.configFile, 'utf8') : '(missing)'}`);
    assert.equal(home.readConfig().overlayToken, tokenAfterFirst);
  });
});

describe('module with an unusable stored configuration', () => {
  const cases = {
    'port 80': { port: 80 },
    'port 70000': { port: 70000 },
    'text that is not JSON': '{"port": ',
  };
  for (const [name, config] of Object.entries(cases)) {
    it(`loads and unloads with ${name}`, async () => {
      const run = await withObs({ config }, (obs) => obs.stop());
      assert.match(run.log, LOADING);
      assert.ok(run.log.includes(UNLOADED), 'no unload line');
      assertCleanExit(run);
    });
  }
});
