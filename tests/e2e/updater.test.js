'use strict';
// The updater in a real OBS, against the test update server: the module is the one that trusts
// the test installers' signer, and the installer's start is a dry run that logs its command line.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { makeHome, withObs } = require('./lib/obs');
const { createUpdateServer, installerRecord, INSTALLER, CHECK, DOWNLOAD } = require('./lib/update_server');
const { sleep, assertCleanExit } = require('./lib/checks');

const updatesFolder = (home) => path.join(home.home, '.local', 'share', 'Velmora for OBS', 'updates');

// Starts OBS on the test update server and runs fn; fn's result and the OBS run, which must have exited cleanly.
async function updaterRun(server, fn, homeOptions = {}) {
  const home = makeHome({ testTrust: true, ...homeOptions });
  let result;
  const env = { VELMORA_OBS_TEST_UPDATE_ORIGIN: server.origin, VELMORA_OBS_TEST_UPDATE_DRYRUN: '1' };
  try {
    const run = await withObs({ home, env }, async (obs) => {
      const bridge = await obs.connect();
      result = await fn({ obs, bridge, home });
      bridge.ws.close();
      return obs.stop();
    });
    assertCleanExit(run);
    return { run, result };
  } finally {
    home.cleanup();
  }
}

const updates = (bridge, from = 0) => bridge.since(from, 'update').map((e) => e.data);

describe('the updater in OBS', { timeout: 120000 }, () => {
  let server;
  before(async () => {
    server = createUpdateServer();
    await server.listen();
  });
  after(() => server.close());
  // The check offers 1.0.2, the signed test installer; route changes the download's.
  const offer = (route = {}) => server.setRoutes({ [CHECK]: { body: installerRecord(server) },
    [DOWNLOAD]: { file: INSTALLER, ...route } });

  it('checks on request, downloads with progress, restarts OBS into the installer', async () => {
    server.setRoutes({ [CHECK]: { status: 404 } });
    const { run, result } = await updaterRun(server, async ({ obs, bridge }) => {
      await bridge.ask({ action: 'hello' }, (e) => e.event === 'update' && e.data.phase === 'current');
      offer();
      const from = bridge.mark();
      bridge.send({ action: 'update_check' });
      await bridge.waitFor((e) => e.event === 'update' && e.data.phase === 'ready', 10000, { from });
      const flow = updates(bridge, from);

      // While ready, a check changes nothing and says nothing.
      const quiet = bridge.mark();
      bridge.send({ action: 'update_check' });
      await sleep(1000);
      const afterReady = updates(bridge, quiet);

      bridge.send({ action: 'update_restart' });
      const restart = await bridge.waitFor((e) => e.event === 'update' && e.data.restarting, 5000, { from: quiet });
      const closedItself = await Promise.race([obs.exited.then(() => true), sleep(10000).then(() => false)]);
      return { flow, afterReady, restart: restart.data, closedItself };
    });
    const { flow, afterReady, restart, closedItself } = result;
    assert.deepEqual(flow.at(-1), { event: 'update', current: '1.0.1', phase: 'ready', version: '1.0.2',
      notes: 'Faster', required: false, message: '', progress: 100, restarting: false });
    assert.deepEqual(afterReady, []);
    assert.equal(restart.phase, 'ready');
    assert.ok(closedItself, 'OBS did not close by itself after update_restart');
    const dryRun = run.log.match(/\[velmora\] Update 1\.0\.2 would start now \(test dry run\): (.*)/);
    assert.ok(dryRun, 'no dry-run line at exit');
    assert.match(dryRun[1], /^\/SILENT \/SUPPRESSMSGBOXES \/NORESTART \/SP- \/VELMORAUPDATE \/LOG="\/tmp\/velmora-e2e-\w+\/\.local\/share\/Velmora for OBS\/updates\/install-1\.0\.2\.log" \/RESTARTOBS="\/usr\/bin\/obs"$/);
  });

  it('forgets the restart when OBS stays open: a close refused without a word, then one the streamer declines', async () => {
    const recordings = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-recordings-'));
    offer();
    const { run, result } = await updaterRun(server, async ({ obs, bridge }) => {
      await obs.waitForLog('[velmora] Update 1.0.2 downloaded and verified; it installs when OBS closes');
      const forgotten = [];
      const restartRefused = async (refuse) => {
        const asked = await bridge.ask({ action: 'update_restart' }, (e) => e.event === 'update' && e.data.restarting);
        await refuse();
        forgotten.push((await bridge.waitFor((e) => e.event === 'update' && !e.data.restarting, 15000,
          { from: asked.index })).data);
      };
      // Another plug-in's close filter refuses it; no dialog comes up.
      await obs.command('refuse-close');
      await restartRefused(() => obs.waitForLog('[stand-in] close refused', 5000));
      // OBS asks whether to close while recording; the streamer says No.
      await obs.command('record', '==== Recording Start');
      await restartRefused(async () => {
        await sleep(500);
        await obs.command('answer-no', '[stand-in] answering No');
      });
      await obs.command('stop-record', '==== Recording Stop');
      // OBS 29 closes from inside its SIGINT handler, which deadlocks if the signal lands while
      // the recording's end is still being cleaned up.
      await sleep(1500);
      return forgotten;
    }, { standIns: ['velmora-probe'], globalIni: { General: { ConfirmOnExit: 'true' } },
      profileIni: { SimpleOutput: { FilePath: recordings } } });
    fs.rmSync(recordings, { recursive: true, force: true });
    assert.deepEqual(result.map((u) => u.phase), ['ready', 'ready']);
    // The later exit still installs, without restarting OBS unasked.
    assert.match(run.log, /Update 1\.0\.2 would start now \(test dry run\): .*install-1\.0\.2\.log"$/m);
  });

  it('keeps the restart when OBS puts its close off and an unrelated dialog comes and goes', async () => {
    offer();
    const { run, result } = await updaterRun(server, async ({ obs, bridge }) => {
      await obs.waitForLog('[velmora] Update 1.0.2 downloaded and verified; it installs when OBS closes');
      await obs.command('defer-close');
      bridge.send({ action: 'update_restart' });
      await obs.waitForLog('[stand-in] close put off', 5000);
      await obs.waitForLog('[stand-in] unrelated dialog closed', 5000);
      // OBS closes 2 s after it put its close off, by itself; the dock is told nothing new meanwhile.
      const closedItself = await Promise.race([obs.exited.then(() => true), sleep(10000).then(() => false)]);
      const flags = updates(bridge).map((u) => u.restarting);
      return { closedItself, afterAsked: flags.slice(flags.indexOf(true)) };
    }, { standIns: ['velmora-probe'] });
    const { closedItself, afterAsked } = result;
    assert.ok(closedItself, 'OBS did not close after putting its close off');
    assert.ok(afterAsked.length > 0 && afterAsked.every(Boolean), `the restart was forgotten while OBS was closing: ${afterAsked}`);
    assert.match(run.log, /Update 1\.0\.2 would start now \(test dry run\): .* \/RESTARTOBS="\/usr\/bin\/obs"$/m);
  });

  it('does not start an installer that changed after it was verified', async () => {
    offer();
    const { run } = await updaterRun(server, async ({ obs, home }) => {
      await obs.waitForLog('[velmora] Update 1.0.2 downloaded and verified; it installs when OBS closes');
      fs.copyFileSync(path.join(path.dirname(INSTALLER), 'installer-other.exe'),
        path.join(updatesFolder(home), 'Velmora-for-OBS-1.0.2-Setup.exe'));
    });
    assert.match(run.log, /\[velmora\] Update 1\.0\.2 not started: the file changed since it was checked/);
    assert.doesNotMatch(run.log, /would start now/);
  });

  // A server that accepts and then sends nothing, during the check and during the download.
  for (const stalled of ['check', 'download']) {
    it(`exits at once on Ctrl+C while the ${stalled} waits on a silent server`, async () => {
      if (stalled === 'check') server.setRoutes({ [CHECK]: { stall: true } });
      else offer({ chunkBytes: 4000, chunkDelayMs: 600000 });
      let stoppedAt;
      const { run } = await updaterRun(server, async ({ bridge }) => {
        const phase = stalled === 'check' ? 'checking' : 'downloading';
        await bridge.ask({ action: 'hello' }, (e) => e.event === 'update' && e.data.phase === phase);
        await sleep(500);
        stoppedAt = Date.now();
      });
      const took = Date.now() - stoppedAt;
      console.log(`# OBS exited ${took} ms after SIGINT with the ${stalled} stalled`);
      assert.ok(took < 2000, `OBS took ${took} ms to exit`);
      if (stalled === 'download') assert.match(run.log, /Update 1\.0\.2 download failed \(200, stopping\)/);
    });
  }
});
