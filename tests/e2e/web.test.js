'use strict';
// The dock and the overlay pages in Chromium against the module in a real OBS: every control the
// streamer uses, a real stream to nginx, overlays seen in other tabs, sign-in through the module's
// callback, the update panel against the test update server, and reconnection after OBS restarts.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, startObs } = require('./lib/obs');
const { launchBrowser, openPage, screenshot } = require('./lib/browser');
const { startIngest } = require('./lib/ingest');
const { freePorts } = require('./lib/ports');
const { createUpdateServer, installerRecord, INSTALLER, CHECK, DOWNLOAD } = require('./lib/update_server');
const { sleep, settle, unwrap, assertCleanExit } = require('./lib/checks');

const SEEDED = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_123' } };
const KEY = 'velmora-web';
const UI_MS = 5000;
const NOTES = '<b>Faster</b> start-up';

describe('the dock and overlay pages in Chromium against OBS', { timeout: 240000 }, () => {
  const r = {};
  const runs = [];
  let home;
  let ingest;
  let updates;
  let browser;
  let port;

  before(async () => {
    ingest = await startIngest();
    updates = createUpdateServer();
    await updates.listen();
    updates.setRoutes({ [CHECK]: { status: 404 } });
    browser = await launchBrowser();
    port = await freePorts();
    home = makeHome({ service: SEEDED, config: { port }, standIns: ['obs-browser'], testTrust: true });
    const env = { VELMORA_OBS_TEST_UPDATE_ORIGIN: updates.origin, VELMORA_OBS_TEST_UPDATE_DRYRUN: '1' };
    const origin = `http://127.0.0.1:${port}`;
    let obs = await startObs(home, { env });
    try {
      await obs.dockPort();
      const context = await browser.newContext({ viewport: { width: 320, height: 900 } });
      await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin });
      const dock = await openPage(context, `${origin}/dock/#t=${home.token}`);
      const text = (selector) => dock.locator(selector).innerText();
      const until = (selector, pattern, ms = UI_MS) =>
        dock.locator(selector, { hasText: pattern }).first().waitFor({ timeout: ms });

      r.load = await settle(async () => {
        await dock.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
        await until('#update-text', 'up to date');
        await screenshot(dock, 'dock-offline');
        return { pill: await text('#connection'), status: await text('#stream-status'),
          service: await text('#service-status'), goLive: await dock.locator('#stream-button').isEnabled(),
          html: await dock.content() };
      });

      r.stream = await settle(async () => {
        await dock.fill('#service-url', ingest.url);
        await dock.fill('#service-key', KEY);
        await dock.getByRole('button', { name: 'Stream to Velmora' }).click();
        await until('#service-note', 'OBS now streams to Velmora.');
        await until('#service-restore', 'Put back Twitch');
        await dock.getByRole('button', { name: 'Go live' }).click();
        await until('#stream-status', 'Live', 15000);
        await dock.waitForFunction(() => parseInt(document.getElementById('kbps').textContent.replace(/,/g, ''), 10) > 0,
          null, { timeout: 10000 });
        await screenshot(dock, 'dock-live');
        const live = { kbps: await text('#kbps'), dropped: await text('#dropped'), fps: await text('#fps'),
          graph: await dock.locator('#graph-line').getAttribute('points'), nginx: await ingest.stream(KEY),
          restoreEnabled: await dock.locator('#service-restore').isEnabled() };
        await dock.getByRole('button', { name: 'End stream' }).click();
        await until('#stream-status', 'Offline', 15000);
        await dock.getByRole('button', { name: 'Put back Twitch' }).click();
        await until('#service-status', 'another service');
        return { ...live, restoreHidden: await dock.locator('#service-restore').isHidden() };
      });

      r.overlays = await settle(async () => {
        const openOverlay = async (kind) => {
          await dock.locator(`[data-overlay-copy="${kind}"]`).click();
          await until('#overlay-note', 'Link copied');
          const url = await dock.evaluate(() => navigator.clipboard.readText());
          return { url, page: await openPage(context, url) };
        };
        await dock.fill('#chat-max', '2');
        await dock.locator('[data-overlay-add="chat"]').click();
        await until('#overlay-note', 'Chat overlay added to the scene.');
        const chat = await openOverlay('chat');
        for (const message of ['first', 'second <i>x</i>', 'third']) {
          await dock.fill('#chat-text', message);
          await dock.press('#chat-text', 'Enter');
        }
        await chat.page.locator('li', { hasText: 'third' }).waitFor({ timeout: UI_MS });
        const chatShown = await chat.page.locator('li').allInnerTexts();

        await dock.locator('[data-overlay-add="countdown"]').click();
        await until('#overlay-note', 'Countdown overlay added to the scene.');
        const countdown = await openOverlay('countdown');
        await dock.fill('#countdown-title', 'Starting soon');
        await dock.fill('#countdown-minutes', '2');
        await dock.getByRole('button', { name: 'Start countdown' }).click();
        await countdown.page.locator('#countdown-title', { hasText: 'Starting soon' }).waitFor({ timeout: UI_MS });
        const first = await countdown.page.innerText('#countdown-time');
        await sleep(1200);
        const later = await countdown.page.innerText('#countdown-time');
        // A page opened now gets the last publication at once.
        const late = await openPage(context, countdown.url);
        await late.locator('#countdown-title', { hasText: 'Starting soon' }).waitFor({ timeout: UI_MS });
        await dock.getByRole('button', { name: 'Clear' }).click();
        await countdown.page.locator('#countdown').waitFor({ state: 'hidden', timeout: UI_MS });
        const problems = [chat.page, countdown.page, late].flatMap((p) => p.problems());
        await Promise.all([countdown.page.close(), late.close()]);

        // A new link: the open page with the old one is let go, and gives up after a few refusals.
        await dock.getByRole('button', { name: 'Reset overlay link' }).click();
        await dock.getByRole('button', { name: 'Reset link' }).click();
        await until('#overlay-note', 'New overlay link made');
        await chat.page.waitForFunction(() => document.body.dataset.connection === 'refused', null, { timeout: 20000 });
        const refusals = chat.page.problems().length - problems.length;
        await chat.page.close();
        await dock.locator('[data-overlay-copy="chat"]').click();
        await until('#overlay-note', 'Link copied');
        const newUrl = await dock.evaluate(() => navigator.clipboard.readText());
        return { chatUrl: chat.url, countdownUrl: countdown.url, newUrl, chatShown, first, later, problems, refusals };
      });

      r.signIn = await settle(async () => {
        // Starts a sign-in from the dock; the service's sign-in page would end by sending the browser to
        // the callback with query, which opens in a tab.
        const signIn = async (button, query) => {
          const seen = home.openedUrls().length;
          await dock.getByRole('button', { name: button }).click();
          await until('#account-status', 'Finish signing in in your browser');
          const launcher = new URL(await home.nextOpened(seen));
          const callback = new URL(launcher.searchParams.get('callback'));
          callback.search = `?state=${launcher.searchParams.get('state')}&${query}`;
          return { launcher: launcher.href, finish: () => openPage(context, callback.href) };
        };
        // A sign-in cancelled in the dock: its browser page ends on the refusal.
        const cancelled = await signIn('Apple', 'idToken=late');
        await dock.getByRole('button', { name: 'Cancel sign-in' }).click();
        await until('#account-status', 'You are not signed in.');
        const refusedTab = await cancelled.finish();
        const refused = await refusedTab.innerText('body');
        await refusedTab.close();

        const google = await signIn('Google', 'idToken=e2e.id.token&newUser=1');
        const tab = await google.finish();
        const done = { url: tab.url(), text: await tab.innerText('body'), problems: tab.problems() };
        await tab.close();
        await until('#account-status', 'Welcome to Velmora! You are signed in.');
        return { launcher: google.launcher, done, refused, html: await dock.content() };
      });

      r.update = await settle(async () => {
        updates.setRoutes({ [CHECK]: { body: installerRecord(updates, NOTES) }, [DOWNLOAD]: { file: INSTALLER } });
        await dock.getByRole('button', { name: 'Check for updates' }).click();
        await until('#update-text', 'Velmora 1.0.2 is ready', 15000);
        await screenshot(dock, 'dock-update-ready');
        return { notes: await text('#update-notes'), boldInNotes: await dock.locator('#update-notes b').count(),
          restart: await dock.getByRole('button', { name: 'Restart OBS to update' }).isVisible(),
          check: await dock.locator('#update-check').isEnabled() };
      });

      r.links = await settle(async () => {
        const seen = home.openedUrls().length;
        await dock.getByRole('button', { name: 'Help' }).click();
        await home.nextOpened(seen);
        return home.openedUrls().slice(seen);
      });
      r.problemsBeforeRestart = dock.problems();

      // OBS closes and comes back on the same port: the page says so and picks up again by itself.
      r.reconnect = await settle(async () => {
        runs.push(await obs.stop());
        obs = null;
        await until('#banner', 'OBS is closing');
        const closing = await text('#connection');
        obs = await startObs(home, { env });
        await until('#connection', /^Connected$/, 15000);
        await dock.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
        return { closing, status: await text('#stream-status'), banner: await dock.locator('#banner').isHidden(),
          problems: dock.problems().slice(r.problemsBeforeRestart.length) };
      });
      await context.close();
    } finally {
      if (obs) runs.push(await obs.stop());
      r.ingestStop = await ingest.stop();
    }
  });

  after(async () => {
    if (browser) await browser.close();
    if (updates) await updates.close();
    if (home) home.cleanup();
  });

  it('loads at the dock URL and draws the first state, with no console errors or policy violations', () => {
    const load = unwrap(r.load);
    assert.deepEqual([load.pill, load.status, load.service, load.goLive], ['Connected', 'Offline', 'OBS streams to another service.', true]);
    assert.ok(!load.html.includes(home.token), 'the bridge token is in the page');
    assert.deepEqual(r.problemsBeforeRestart, []);
  });

  it('switches OBS to the ingest, streams to nginx with live figures, and puts the old service back', () => {
    const s = unwrap(r.stream);
    assert.match(s.kbps, /^[\d,]+ kb\/s$/);
    assert.match(s.dropped, /^\d+ \(\d+\.\d%\)$/);
    assert.match(s.fps, /^\d+ fps$/);
    assert.ok(s.graph.split(' ').length >= 2, `graph ${s.graph}`);
    assert.ok(s.nginx && s.nginx.publishing && s.nginx.bytesIn > 0, 'nginx got no stream');
    assert.equal(s.restoreEnabled, false, 'put back offered while live');
    assert.equal(s.restoreHidden, true);
  });

  it('adds overlays and shows chat and countdown publications on the overlay pages', () => {
    const o = unwrap(r.overlays);
    assert.match(o.chatUrl, /\/dock\/overlay-chat\.html\?max=2#o=[0-9a-f]{64}$/);
    assert.match(o.countdownUrl, /\/dock\/overlay-countdown\.html#o=[0-9a-f]{64}$/);
    assert.deepEqual(o.chatShown, ['second <i>x</i>', 'third'], 'the last two, as text');
    assert.match(o.first, /^(2:00|1:59)$/);
    assert.notEqual(o.later, o.first, 'the countdown does not count');
    assert.notEqual(o.newUrl.split('#o=')[1], o.chatUrl.split('#o=')[1], 'reset kept the token');
    assert.deepEqual(o.problems, []);
    assert.ok(o.refusals <= 3, `${o.refusals} refused attempts after the reset`);
  });

  it('signs in through the browser and the module callback', () => {
    const s = unwrap(r.signIn);
    assert.match(s.launcher, new RegExp('^https://velmora\\.app/auth/launcher\\?callback=http%3A%2F%2F127\\.0\\.0\\.1%3A' +
      `${port}%2Fauth-callback&state=[0-9a-f]{48}&client=velmora-obs&provider=google$`));
    assert.match(s.refused, /That sign-in link expired/);
    assert.match(s.done.url, /\/auth-done$/);
    assert.match(s.done.text, /You're signed in/);
    assert.deepEqual(s.done.problems, []);
    assert.ok(!s.html.includes('e2e.id.token'), 'the sign-in token is in the page');
  });

  it('shows an update as ready with its notes as text and offers the restart', () => {
    assert.deepEqual(unwrap(r.update), { notes: NOTES, boldInNotes: 0, restart: true, check: false });
    assert.deepEqual(unwrap(r.links), ['https://velmora.app/help']);
  });

  it('says OBS is closing and reconnects by itself when OBS is back', () => {
    const c = unwrap(r.reconnect);
    assert.deepEqual([c.closing, c.status, c.banner], ['OBS is closing', 'Offline', true]);
    assert.ok(!c.problems.some((p) => p.includes(home.token)), `the token reached the console: ${c.problems}`);
    for (const run of runs) assertCleanExit(run);
    assert.deepEqual(r.ingestStop, { code: 0, signal: null });
  });
});
