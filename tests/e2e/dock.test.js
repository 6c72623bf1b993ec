'use strict';
// The dock in a real OBS with a stand-in obs-browser (a test module that logs every call of the
// panel interface; the module's own Qt WebEngine panel installed beside it) and without one, and a
// sign-in that no dock is left to finish (the web suite signs in through the dock).

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, withObs, pidsWithCommand } = require('./lib/obs');
const { connectObsWebSocket } = require('./lib/obsws');
const { freePorts } = require('./lib/ports');
const { sleep, settle, unwrap, count, assertCleanExit } = require('./lib/checks');

// Generous: OBS's main thread, which runs the probe, can be busy for seconds just after start-up.
const IO_MS = 8000;

// Has the probe describe the dock, and returns its line.
const dockReport = async (obs) => (await obs.command('report', /\[stand-in\] (dock: .*)/))[1];
// The user closes the dock; the module stores that a moment later.
const closeDock = (obs) => obs.command('close').then(() => sleep(200));
const callback = (port, query) => fetch(`http://127.0.0.1:${port}/auth-callback${query}`, { redirect: 'manual' });

describe('the dock with a stand-in browser panel, and sign-in', { timeout: 120000 }, () => {
  const r = {};
  let home;
  const runs = [];

  before(async () => {
    home = makeHome({ standIns: ['obs-browser'], webPanel: true });
    runs.push(await withObs({ home }, async (obs) => {
      r.port = await obs.dockPort();
      await obs.waitForLog('[velmora] Opened the Velmora dock', 5000);
      r.shown = await settle(() => dockReport(obs));
      const dock = await obs.connect();
      await dock.waitFor('state', IO_MS);

      // No dock left to take the token: the browser must not be told that sign-in worked.
      r.noDock = await settle(async () => {
        dock.send({ action: 'sign_in', provider: 'apple' });
        const state = new URL(await home.nextOpened(0)).searchParams.get('state');
        dock.ws.close();
        await dock.closed;
        await sleep(200);
        const reply = await callback(r.port, `?state=${state}&idToken=x`);
        return { status: reply.status, body: await reply.text() };
      });

      await closeDock(obs);
      r.closedByUser = home.readConfig().dockClosed;
      await obs.command('docks-menu', '[stand-in] widget shown');
      r.fromDocksMenu = await settle(async () => ({ report: await dockReport(obs), closed: home.readConfig().dockClosed }));
      await closeDock(obs);
      await obs.command('tools', '[stand-in] widget shown');
      r.shownAgain = await settle(() => dockReport(obs));
      r.afterTools = home.readConfig().dockClosed;
      await closeDock(obs);
      r.closedConfig = home.readConfig().dockClosed;
      r.engines = pidsWithCommand('QtWebEngineProcess');
      return obs.stop();
    }));

    // Closed by the user, the dock stays hidden at the next start until show_dock.
    runs.push(await withObs({ home }, async (obs) => {
      await obs.waitForLog('[stand-in] create_widget', 5000);
      await sleep(300);
      r.stayedHidden = await settle(() => dockReport(obs));
      const dock = await obs.connect();
      dock.send({ action: 'show_dock' });
      await obs.waitForLog('[stand-in] widget shown', IO_MS);
      await sleep(200);
      r.showDock = { report: await dockReport(obs), closed: home.readConfig().dockClosed };
      await obs.command('move-left');
      return obs.stop();
    }));
    r.afterExit = home.readConfig().dockClosed;
    // OBS keeps the dock's place with its own.
    runs.push(await withObs({ home }, async (obs) => {
      await obs.waitForLog('[stand-in] widget shown', 5000);
      r.placeKept = await settle(() => dockReport(obs));
      return obs.stop();
    }));
  });
  after(() => home && home.cleanup());

  it('attaches obs-browser, not the web panel, after OBS has loaded, with the dock URL, replacing the placeholder', () => {
    const log = runs[0].log;
    const loaded = log.indexOf('==== Startup complete');
    const created = log.indexOf(`[stand-in] create_widget http://127.0.0.1:${r.port}/dock/#t=${home.token}`);
    assert.ok(loaded >= 0 && created > loaded, 'the widget was not created with the dock URL after start-up');
    for (const line of ['[velmora] Browser panel interface version 3', '[stand-in] init_browser',
      '[stand-in] initialized', '[stand-in] create_cookie_manager velmora_obs_plugin 1']) {
      assert.ok(log.indexOf(line) >= 0 && log.indexOf(line) < created, line);
    }
    assert.equal(unwrap(r.shown), 'dock: shown docked right; labels: ; docks menu: checked',
      'shown on the right, without the placeholder, and ticked in the Docks menu');
    assert.match(log, /\[velmora\] Browser panels from obs-browser\n/);
    assert.doesNotMatch(log, /Web panel:/);
    assert.deepEqual(r.engines, [], 'a Qt WebEngine process beside obs-browser');
  });

  it('records a close by the user, not OBS\'s shutdown, and a show from the Docks or Tools menu or the bridge', () => {
    assert.equal(r.closedByUser, true);
    assert.deepEqual(unwrap(r.fromDocksMenu), { report: 'dock: shown docked right; labels: ; docks menu: checked',
      closed: false });
    assert.match(unwrap(r.shownAgain), /^dock: shown /);
    assert.equal(r.afterTools, false);
    assert.equal(r.afterExit, false, 'the shutdown counted as a close');
    assert.equal(r.closedConfig, true);
    assert.match(unwrap(r.stayedHidden), /^dock: hidden /);
    assert.ok(!runs[1].log.includes('[velmora] Opened the Velmora dock'));
    assert.deepEqual([r.showDock.report.startsWith('dock: shown docked right'), r.showDock.closed], [true, false],
      `back on the right: ${r.showDock.report}`);
  });

  it('is where the user put it at the next start', () => {
    assert.match(unwrap(r.placeKept), /^dock: shown docked left;/);
  });

  it('at exit closes the browser, releases everything and removes the dock once, and OBS exits cleanly', () => {
    for (const run of runs) {
      const [exit, unloaded] = [run.log.indexOf('==== Shutting down'), run.log.indexOf('[velmora] Velmora for OBS unloaded')];
      for (const line of ['closeBrowser', 'widget deleted', 'FlushStore', 'cookie manager deleted', 'QCef deleted',
        'dock destroyed']) {
        assert.equal(count(run.log.slice(exit, unloaded), `[stand-in] ${line}\n`), 1, line);
      }
      assertCleanExit(run);
    }
  });

  it('tells the browser when no dock is there to take the token', () => {
    const reply = unwrap(r.noDock);
    assert.equal(reply.status, 503);
    assert.match(reply.body, /<b>Sign-in could not reach OBS<\/b>Open the Velmora dock in OBS and sign in again\./);
    assert.match(runs[0].log, /warning: \[velmora\] Sign-in could not be handed to the dock: no dock is open/);
  });
});

describe('the dock and overlays where OBS has no browser panel', { timeout: 60000 }, () => {
  const r = {};
  let run;
  before(async () => {
    const wsPort = await freePorts(1);
    const home = makeHome({ standIns: ['velmora-probe'], obsWebSocket: wsPort });
    run = await withObs({ home }, async (obs) => {
      await obs.waitForLog('[velmora] obs-browser is not available', 5000);
      await obs.command('tools');
      await sleep(200);
      r.report = await dockReport(obs);
      const obsws = await connectObsWebSocket(wsPort);
      const dock = await obs.connect();
      const add = async (kind) =>
        (await dock.ask({ action: 'overlay_add', kind, query: '' }, 'overlay_added', IO_MS)).data;
      // No browser source type here: libobs would still make a placeholder that never shows.
      r.chat = await settle(async () => ({ added: await add('chat'),
        sources: (await obsws.request('GetInputList', {})).inputs.map((input) => input.inputName) }));
      obsws.close();
      return obs.stop();
    });
  });

  it('says so in the dock and in the log, and the dock still shows', () => {
    assert.match(run.log, /warning: \[velmora\] obs-browser is not available; the dock cannot load/);
    assert.match(r.report, /^dock: shown .*labels: This OBS has no browser panels, so the Velmora dock can't open here\. \| Install OBS from obsproject\.com, then open OBS again\.; docks menu: checked$/);
    assertCleanExit(run);
  });

  it('adds no overlay, and says the browser module is missing', () => {
    const { added, sources } = unwrap(r.chat);
    assert.deepEqual(added, { event: 'overlay_added', kind: 'chat', ok: false,
      message: 'OBS couldn\'t make a browser source. Is the Browser plugin turned on?' });
    assert.equal(sources.filter((name) => name.startsWith('Velmora')).length, 0);
  });
});

describe('a browser runtime that never starts', { timeout: 60000 }, () => {
  it('is only ever asked, never waited for, and OBS exits cleanly', async () => {
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
});
