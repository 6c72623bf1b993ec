'use strict';
// The dock and the overlay pages in Chromium against the module in a real OBS: every control the
// streamer uses, a real stream to nginx, overlays seen in other tabs, sign-in through the module's
// callback, the update panel against the test update server, and reconnection after OBS restarts.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, startObs } = require('./lib/obs');
const { launchBrowser, openPage, screenshot, accessibilityViolations } = require('./lib/browser');
const { startIngest } = require('./lib/ingest');
const { freePorts } = require('./lib/ports');
const { createUpdateServer, installerRecord, INSTALLER, CHECK, DOWNLOAD } = require('./lib/update_server');
const { sleep, assertCleanExit } = require('./lib/checks');

const SEEDED = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_123' } };
const KEY = 'velmora-web';
const UI_MS = 5000;
const NOTES = '<b>Faster</b> start-up';
const SIZES = [[240, 300], [320, 600], [480, 900]];

// Controls the streamer cannot fully see or that lie over one another, and a page wider than the dock;
// at the top of the page, where the stream bar is still in the flow.
const layoutProblems = () => {
  const width = document.documentElement.clientWidth;
  const problems = document.documentElement.scrollWidth > width ? [`the page scrolls sideways (${document.documentElement.scrollWidth} px)`] : [];
  const shown = [...document.querySelectorAll('button, input, select, summary, progress')]
    .map((element) => ({ element, box: element.getBoundingClientRect() }))
    .filter(({ box }) => box.width > 0 && box.height > 0);
  const name = (e) => e.id || e.textContent.trim().slice(0, 20) || e.tagName;
  for (const [i, { element, box }] of shown.entries()) {
    if (box.left < 0 || box.right > width + 0.5) problems.push(`${name(element)} is cut off (${box.left}..${box.right})`);
    for (const other of shown.slice(i + 1)) {
      const [a, b] = [box, other.box];
      if (Math.min(a.right, b.right) - Math.max(a.left, b.left) > 0.5 && Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > 0.5) {
        problems.push(`${name(element)} overlaps ${name(other.element)}`);
      }
    }
  }
  return problems;
};

test('the dock and overlay pages in Chromium against OBS', { timeout: 240000 }, async (t) => {
  const runs = [];
  const ingest = await startIngest();
  const updates = createUpdateServer();
  await updates.listen();
  updates.setRoutes({ [CHECK]: { status: 404 } });
  const browser = await launchBrowser();
  const port = await freePorts();
  const home = makeHome({ service: SEEDED, config: { port }, standIns: ['obs-browser'], testTrust: true });
  t.after(async () => {
    await browser.close();
    await updates.close();
    home.cleanup();
  });
  const env = { VELMORA_OBS_TEST_UPDATE_ORIGIN: updates.origin, VELMORA_OBS_TEST_UPDATE_DRYRUN: '1' };
  const origin = `http://127.0.0.1:${port}`;
  let obs = await startObs(home, { env });
  let ingestStop;
  try {
    await obs.dockPort();
    const context = await browser.newContext({ viewport: { width: 320, height: 600 } });
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin });
    const dock = await openPage(context, `${origin}/dock/#t=${home.token}`);
    const text = (selector) => dock.locator(selector).innerText();
    const until = (selector, pattern, ms = UI_MS) =>
      dock.locator(selector, { hasText: pattern }).first().waitFor({ timeout: ms });

    await t.test('loads at the dock URL and draws the first state', async () => {
      await dock.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
      await until('#update-text', 'up to date');
      await screenshot(dock, 'dock-offline');
      assert.deepEqual([await text('#connection'), await text('#stream-status'), await text('#service-status'),
        await dock.locator('#stream-button').isEnabled()], ['Connected', 'Offline', 'OBS streams to another service.', true]);
      assert.ok(!(await dock.content()).includes(home.token), 'the bridge token is in the page');
    });

    await t.test('fits 240×300, 320×600 and 480×900 with every control whole and apart, and axe finds nothing', async () => {
      const found = {};
      for (const [width, height] of SIZES) {
        await dock.setViewportSize({ width, height });
        found[`${width}x${height}`] = { layout: await dock.evaluate(layoutProblems), axe: await accessibilityViolations(dock) };
        await screenshot(dock, `dock-${width}x${height}`, { fullPage: false });
      }
      await dock.setViewportSize({ width: 320, height: 600 });
      assert.deepEqual(found, Object.fromEntries(SIZES.map(([w, h]) => [`${w}x${h}`, { layout: [], axe: [] }])));
    });

    await t.test('keeps folded sections folded across a reload', async () => {
      const folds = () => dock.evaluate(() => [...document.querySelectorAll('details[data-fold]')].map((d) => `${d.dataset.fold}:${d.open}`));
      await dock.locator('summary', { hasText: 'Service' }).click();
      await dock.locator('summary', { hasText: 'Overlays' }).click();
      await sleep(100); // a person's pause: the sections' toggle events come after the clicks
      await dock.reload();
      await dock.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
      const afterReload = await folds();
      await dock.locator('summary', { hasText: 'Service' }).click();
      await dock.locator('summary', { hasText: 'Overlays' }).click();
      assert.deepEqual(afterReload, ['service:false', 'account:true', 'overlays:false', 'update:true']);
    });

    await t.test('switches OBS to the ingest, streams to nginx with live figures, and puts the old service back', async () => {
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
      // Scrolled to the very bottom, the state and End stream are still there to see and use.
      await dock.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight));
      const bottom = await dock.evaluate(() => {
        const button = document.getElementById('stream-button');
        const box = button.getBoundingClientRect();
        return { x: box.left + box.width / 2, y: box.top + box.height / 2, scrolled: window.scrollY > 0, inView: box.top >= 0 && box.bottom <= window.innerHeight, label: button.textContent,
          onTop: document.elementFromPoint(box.left + box.width / 2, box.top + box.height / 2) === button,
          state: document.getElementById('stream-status').textContent,
          // Live regions announce the state; the figures change every tick and stay out of them.
          tickerInLiveRegion: [...document.querySelectorAll('[role="status"], [role="alert"], [aria-live]')]
            .some((region) => region.querySelector('#bar-kbps, #kbps') || region.closest('#figures')) };
      });
      await screenshot(dock, 'dock-live-320x600-bottom', { fullPage: false });
      const liveAxe = await accessibilityViolations(dock);
      assert.deepEqual({ ...bottom, x: undefined, y: undefined }, { x: undefined, y: undefined, scrolled: true, inView: true, label: 'End stream', onTop: true, state: 'Live', tickerInLiveRegion: false });
      assert.match(await text('#bar-kbps'), /^ · [\d,]+ kb\/s$/);
      assert.deepEqual(liveAxe, []);
      assert.match(await text('#kbps'), /^[\d,]+ kb\/s$/);
      assert.match(await text('#dropped'), /^\d+ \(\d+\.\d%\)$/);
      assert.match(await text('#fps'), /^\d+ fps$/);
      const graph = await dock.locator('#graph-line').getAttribute('points');
      assert.ok(graph.split(' ').length >= 2, `graph ${graph}`);
      const nginx = await ingest.stream(KEY);
      assert.ok(nginx && nginx.publishing && nginx.bytesIn > 0, 'nginx got no stream');
      assert.equal(await dock.locator('#service-restore').isEnabled(), false, 'put back offered while live');
      await dock.mouse.click(bottom.x, bottom.y); // where it shows, scrolled to the bottom
      await until('#stream-status', 'Offline', 15000);
      await dock.evaluate(() => window.scrollTo(0, 0));
      await dock.getByRole('button', { name: 'Put back Twitch' }).click();
      await until('#service-status', 'another service');
      assert.equal(await dock.locator('#service-restore').isHidden(), true);
    });

    await t.test('adds overlays and shows chat and countdown publications on the overlay pages', async () => {
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
      const overlaysAxe = { chat: await accessibilityViolations(chat.page), countdown: await accessibilityViolations(countdown.page) };
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
      assert.match(chat.url, /\/dock\/overlay-chat\.html\?max=2#o=[0-9a-f]{64}$/);
      assert.match(countdown.url, /\/dock\/overlay-countdown\.html#o=[0-9a-f]{64}$/);
      assert.deepEqual(chatShown, ['second <i>x</i>', 'third'], 'the last two, as text');
      assert.match(first, /^(2:00|1:59)$/);
      assert.notEqual(later, first, 'the countdown does not count');
      assert.notEqual(newUrl.split('#o=')[1], chat.url.split('#o=')[1], 'reset kept the token');
      assert.deepEqual(problems, []);
      assert.ok(refusals <= 3, `${refusals} refused attempts after the reset`);
      assert.deepEqual(overlaysAxe, { chat: [], countdown: [] });
    });

    await t.test('signs in through the browser and the module callback', async () => {
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
      await dock.locator('summary', { hasText: 'Account' }).click(); // the result opens it again
      const tab = await google.finish();
      const done = { url: tab.url(), text: await tab.innerText('body'), problems: tab.problems() };
      await tab.close();
      await until('#account-status', 'Welcome to Velmora! You are signed in.');
      assert.match(google.launcher, new RegExp('^https://velmora\\.app/auth/launcher\\?callback=http%3A%2F%2F127\\.0\\.0\\.1%3A' +
      `${port}%2Fauth-callback&state=[0-9a-f]{48}&client=velmora-obs&provider=google$`));
      assert.match(refused, /That sign-in link expired/);
      assert.match(done.url, /\/auth-done$/);
      assert.match(done.text, /You're signed in/);
      assert.deepEqual(done.problems, []);
      assert.ok(!(await dock.content()).includes('e2e.id.token'), 'the sign-in token is in the page');
    });

    await t.test('shows an update as ready with its notes as text and offers the restart; Help opens the help page', async () => {
      updates.setRoutes({ [CHECK]: { body: installerRecord(updates, NOTES) },
        [DOWNLOAD]: { file: INSTALLER, chunkBytes: 1000, chunkDelayMs: 100 } }); // about 2 s
      await dock.getByRole('button', { name: 'Check for updates' }).click();
      await dock.locator('summary', { hasText: 'Updates' }).click(); // folded while it downloads: ready opens it
      await until('#update-text', 'Velmora 1.0.2 is ready', 15000);
      await screenshot(dock, 'dock-update-ready');
      assert.deepEqual(await accessibilityViolations(dock), []);
      assert.deepEqual({ notes: await text('#update-notes'), boldInNotes: await dock.locator('#update-notes b').count(),
        restart: await dock.getByRole('button', { name: 'Restart OBS to update' }).isVisible(),
        check: await dock.locator('#update-check').isEnabled() }, { notes: NOTES, boldInNotes: 0, restart: true, check: false });
      const seen = home.openedUrls().length;
      await dock.getByRole('button', { name: 'Help' }).click();
      await home.nextOpened(seen);
      assert.deepEqual(home.openedUrls().slice(seen), ['https://velmora.app/help']);
    });
    const problemsBeforeRestart = dock.problems();
    await t.test('shows no console errors or policy violations in the dock', () => assert.deepEqual(problemsBeforeRestart, []));

    // OBS closes and comes back on the same port: the page says so and picks up again by itself.
    await t.test('says OBS is closing and reconnects by itself when OBS is back', async () => {
      runs.push(await obs.stop());
      obs = null;
      await until('#banner', 'OBS is closing');
      assert.equal(await text('#connection'), 'OBS is closing');
      obs = await startObs(home, { env });
      await until('#connection', /^Connected$/, 15000);
      await dock.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
      assert.deepEqual([await text('#stream-status'), await dock.locator('#banner').isHidden()], ['Offline', true]);
      const problems = dock.problems().slice(problemsBeforeRestart.length);
      assert.ok(!problems.some((p) => p.includes(home.token)), `the token reached the console: ${problems}`);
    });
    await context.close();
  } finally {
    if (obs) runs.push(await obs.stop());
    ingestStop = await ingest.stop();
  }
  await t.test('OBS and nginx exit cleanly', () => {
    for (const run of runs) assertCleanExit(run);
    assert.deepEqual(ingestStop, { code: 0, signal: null });
  });
});
