'use strict';
// The dock in a real OBS with a stand-in obs-browser (a test module that logs every call of the
// panel interface; the module's own Qt WebEngine panel installed beside it) and without one, and a
// sign-in that no dock is left to finish (the web suite signs in through the dock).

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, withObs, pidsWithCommand } = require('./lib/obs');
const { sleep, count, assertCleanExit } = require('./lib/checks');

// Generous: OBS's main thread, which runs the probe, can be busy for seconds just after start-up.
const IO_MS = 8000;

// Has the probe describe the dock, and returns its line.
const dockReport = async (obs) => (await obs.command('report', /\[stand-in\] (dock: .*)/))[1];
// The user closes the dock; the module stores that a moment later.
const closeDock = (obs) => obs.command('close').then(() => sleep(200));
const callback = (port, query) => fetch(`http://127.0.0.1:${port}/auth-callback${query}`, { redirect: 'manual' });

test('the dock with a stand-in browser panel, and sign-in', { timeout: 120000 }, async (t) => {
  const home = makeHome({ standIns: ['obs-browser'], webPanel: true });
  t.after(() => home.cleanup());
  const runs = [];
  const shownRight = 'dock: shown docked right; labels: ; docks menu: checked';

  runs.push(await withObs({ home }, async (obs) => {
    const port = await obs.dockPort();
    await obs.waitForLog('[velmora] Opened the Velmora dock', 5000);
    await t.test('attaches obs-browser, not the web panel, after OBS has loaded, with the dock URL, replacing the placeholder', async () => {
      const log = obs.log();
      const loaded = log.indexOf('==== Startup complete');
      const created = log.indexOf(`[stand-in] create_widget http://127.0.0.1:${port}/dock/#t=${home.token}`);
      assert.ok(loaded >= 0 && created > loaded, 'the widget was not created with the dock URL after start-up');
      for (const line of ['[velmora] Browser panel interface version 3', '[stand-in] init_browser',
        '[stand-in] initialized', '[stand-in] create_cookie_manager velmora_obs_plugin 1']) {
        assert.ok(log.indexOf(line) >= 0 && log.indexOf(line) < created, line);
      }
      assert.equal(await dockReport(obs), shownRight, 'shown on the right, without the placeholder, and ticked in the Docks menu');
      assert.match(log, /\[velmora\] Browser panels from obs-browser\n/);
      assert.doesNotMatch(log, /Web panel:/);
      assert.deepEqual(pidsWithCommand('QtWebEngineProcess'), [], 'a Qt WebEngine process beside obs-browser');
    });

    const dock = await obs.connect();
    await dock.waitFor('state', IO_MS);
    await t.test('tells the browser when no dock is there to take the token', async () => {
      dock.send({ action: 'sign_in', provider: 'apple' });
      const state = new URL(await home.nextOpened(0)).searchParams.get('state');
      dock.ws.close();
      await dock.closed;
      await sleep(200);
      const reply = await callback(port, `?state=${state}&idToken=x`);
      assert.equal(reply.status, 503);
      assert.match(await reply.text(), /<b>Sign-in could not reach OBS<\/b>Open the Velmora dock in OBS and sign in again\./);
      assert.match(obs.log(), /warning: \[velmora\] Sign-in could not be handed to the dock: no dock is open/);
    });

    await t.test('records a close by the user and a show from the Docks or Tools menu', async () => {
      await closeDock(obs);
      assert.equal(home.readConfig().dockClosed, true);
      await obs.command('docks-menu', '[stand-in] widget shown');
      assert.deepEqual({ report: await dockReport(obs), closed: home.readConfig().dockClosed }, { report: shownRight, closed: false });
      await closeDock(obs);
      await obs.command('tools', '[stand-in] widget shown');
      assert.match(await dockReport(obs), /^dock: shown /);
      assert.equal(home.readConfig().dockClosed, false);
      await closeDock(obs);
      assert.equal(home.readConfig().dockClosed, true);
    });
    return obs.stop();
  }));

  runs.push(await withObs({ home }, async (obs) => {
    await t.test('closed by the user, stays hidden at the next start until show_dock, which puts it back on the right', async () => {
      assert.equal(home.readConfig().dockClosed, true, 'the user\'s close was not kept');
      await obs.waitForLog('[stand-in] create_widget', 5000);
      await sleep(300);
      assert.match(await dockReport(obs), /^dock: hidden /);
      assert.ok(!obs.log().includes('[velmora] Opened the Velmora dock'));
      const dock = await obs.connect();
      dock.send({ action: 'show_dock' });
      await obs.waitForLog('[stand-in] widget shown', IO_MS);
      await sleep(200);
      const report = await dockReport(obs);
      assert.deepEqual([report.startsWith('dock: shown docked right'), home.readConfig().dockClosed], [true, false],
        `back on the right: ${report}`);
    });
    await obs.command('move-left');
    return obs.stop();
  }));
  await t.test('does not take OBS\'s shutdown for a close', () => assert.equal(home.readConfig().dockClosed, false));

  // OBS keeps the dock's place with its own.
  runs.push(await withObs({ home }, async (obs) => {
    await obs.waitForLog('[stand-in] widget shown', 5000);
    await t.test('is where the user put it at the next start', async () => {
      assert.match(await dockReport(obs), /^dock: shown docked left;/);
    });
    return obs.stop();
  }));

  await t.test('at exit closes the browser, releases everything and removes the dock once, and OBS exits cleanly', () => {
    for (const run of runs) {
      const [exit, unloaded] = [run.log.indexOf('==== Shutting down'), run.log.indexOf('[velmora] Velmora for OBS unloaded')];
      for (const line of ['closeBrowser', 'widget deleted', 'FlushStore', 'cookie manager deleted', 'QCef deleted',
        'dock destroyed']) {
        assert.equal(count(run.log.slice(exit, unloaded), `[stand-in] ${line}\n`), 1, line);
      }
      assertCleanExit(run);
    }
  });
});

test('the dock where OBS has no browser panel', { timeout: 60000 }, async (t) => {
  const home = makeHome({ standIns: ['velmora-probe'] });
  const run = await withObs({ home }, async (obs) => {
    await obs.waitForLog('[velmora] obs-browser is not available', 5000);
    await obs.command('tools');
    await sleep(200);
    await t.test('says so in the dock and in the log, and the dock still shows', async () => {
      assert.match(obs.log(), /warning: \[velmora\] obs-browser is not available; the dock cannot load/);
      assert.match(await dockReport(obs), /^dock: shown .*labels: This OBS has no browser panels, so the Velmora dock can't open here\. \| Install OBS from obsproject\.com, then open OBS again\.; docks menu: checked$/);
    });
    return obs.stop();
  });
  assertCleanExit(run);
});

test('a browser runtime that never starts is only ever asked, never waited for, and OBS exits cleanly', { timeout: 60000 }, async () => {
  const home = makeHome({ standIns: ['obs-browser'] });
  let report;
  const run = await withObs({ home, env: { VELMORA_STAND_IN_RUNTIME: 'never' } }, async (obs) => {
    await obs.waitForLog('[stand-in] init_browser', 5000);
    await sleep(1000);
    report = await dockReport(obs); // OBS's main thread still answers
    return obs.stop();
  });
  home.cleanup();
  assert.match(report, /^dock: /);
  assert.doesNotMatch(run.log, /wait_for_browser_init|create_widget|never started/);
  assertCleanExit(run);
});
