'use strict';
// The dock and the overlay pages in Chromium against the module in a real OBS: every control the
// streamer uses, a real stream to nginx that stops answering for a while, overlays seen in other tabs,
// sign-in through the module's callback, the update panel against the test update server, and
// reconnection after OBS restarts without browser sources and without its update server.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { makeHome, startObs } = require('./lib/obs');
const { launchBrowser, openPage, screenshot, accessibilityViolations } = require('./lib/browser');
const { layoutProblems, clippedText, weakBoundaries, englishLeft, sysctl } = require('./lib/layout');
const { startIngest } = require('./lib/ingest');
const { freePorts } = require('./lib/ports');
const { createUpdateServer, installerRecord, INSTALLER, CHECK, DOWNLOAD } = require('./lib/update_server');
const fs = require('node:fs');
const path = require('node:path');
const { sleep, assertCleanExit } = require('./lib/checks');

const SEEDED = { type: 'rtmp_common', settings: { service: 'Twitch', server: 'auto', key: 'live_123' } };
const KEY = 'velmora-web';
const UI_MS = 5000;
const NOTES = '<b>Faster</b> start-up';
const SIZES = [[240, 300], [320, 600], [480, 900]];
const catalog = (lang) => JSON.parse(fs.readFileSync(path.join(__dirname, '../../data/web/locale', `${lang}.json`), 'utf8'));
// Latin words a Japanese page may show: brands, protocols, units and the example addresses.
const LATIN_NAMES = ['Velmora', 'OBS', 'Twitch', 'YouTube', 'Studio', 'Google', 'Apple', 'Facebook', 'Twitter', 'RTMP', 'WHIP', 'WebRTC',
  'URL', 'Bearer', 'kbps', 'fps', 'rtmp', 'https', 'ingest', 'example', 'live', 'whip', 'Ctrl'];

test('the dock and overlay pages in Chromium against OBS', { timeout: 300000 }, async (t) => {
  const runs = [];
  const ingest = await startIngest();
  const updates = createUpdateServer();
  await updates.listen();
  updates.setRoutes({ [CHECK]: { status: 404 } });
  const browser = await launchBrowser();
  const port = await freePorts();
  // OBS asks before a stream starts or stops: so does the dock.
  const home = makeHome({ service: SEEDED, config: { port }, standIns: ['obs-browser'], testTrust: true,
    globalIni: { BasicWindow: { WarnBeforeStartingStream: 'true', WarnBeforeStoppingStream: 'true' } } });
  // Small socket buffers, as on a home line: a slow link shows in OBS within seconds, not minutes.
  const buffers = ['net.ipv4.tcp_wmem', 'net.ipv4.tcp_rmem'].map((name) => [name, sysctl(name)]);
  for (const [name] of buffers) sysctl(name, '4096 16384 65536');
  t.after(async () => {
    for (const [name, value] of buffers) sysctl(name, value);
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
        await text('#stream-button'), await dock.locator('#stream-button').isEnabled()],
      ['Connected', 'Offline', 'OBS streams to Twitch.', 'Go live on Twitch', true]);
      assert.ok(!(await dock.content()).includes(home.token), 'the bridge token is in the page');
    });

    await t.test('fits 240×300, 320×600 and 480×900: every control and word whole and apart, boundaries 3:1, axe finds nothing', async () => {
      const found = {};
      for (const [width, height] of SIZES) {
        await dock.setViewportSize({ width, height });
        found[`${width}x${height}`] = { layout: await dock.evaluate(layoutProblems), clipped: await dock.evaluate(clippedText),
          boundaries: await dock.evaluate(weakBoundaries), axe: await accessibilityViolations(dock) };
        await screenshot(dock, `dock-${width}x${height}`, { fullPage: false });
      }
      await dock.setViewportSize({ width: 320, height: 600 });
      assert.deepEqual(found, Object.fromEntries(SIZES.map(([w, h]) => [`${w}x${h}`, { layout: [], clipped: [], boundaries: [], axe: [] }])));
    });

    // German (long words) and Japanese (CJK) in full; the other languages' words must fit as well.
    await t.test('in every language at each size nothing is cut off or overlaps; in German and Japanese no English is left but brand names, and axe finds nothing', async () => {
      const english = catalog('en-US');
      const found = {};
      const languages = { 'de-DE': [], 'ja-JP': LATIN_NAMES, 'es-ES': null, 'fr-FR': null, 'it-IT': null, 'ko-KR': null, 'pt-BR': null, 'zh-CN': null };
      for (const [lang, latinAllowed] of Object.entries(languages)) {
        const full = latinAllowed !== null;
        const page = await openPage(context, `${origin}/dock/?lang=${lang}#t=${home.token}`);
        await page.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
        for (const [width, height] of SIZES) {
          await page.setViewportSize({ width, height });
          const seen = found[`${lang} ${width}x${height}`] = { lang: await page.evaluate(() => document.documentElement.lang),
            layout: await page.evaluate(layoutProblems), clipped: await page.evaluate(clippedText) };
          if (!full) continue;
          seen.english = await page.evaluate(englishLeft, { english, catalog: catalog(lang), latinAllowed: latinAllowed.length ? latinAllowed : null });
          seen.axe = await accessibilityViolations(page);
          await screenshot(page, `dock-${lang}-${width}x${height}`, { fullPage: false });
        }
        found[`${lang} problems`] = page.problems();
        await page.close();
      }
      assert.deepEqual(found, Object.fromEntries(Object.entries(languages).flatMap(([lang, latinAllowed]) => [
        ...SIZES.map(([w, h]) => [`${lang} ${w}x${h}`, { lang, layout: [], clipped: [], ...(latinAllowed !== null && { english: [], axe: [] }) }]),
        [`${lang} problems`, []]])));
    });

    await t.test('offers WHIP only where OBS has it, and says why not; the form says what is wrong beside each field', async () => {
      await dock.locator('#service-form').scrollIntoViewIfNeeded();
      await screenshot(dock, 'dock-whip-refused');
      const whip = { disabled: await dock.locator('#service-mode option[value="whip"]').isDisabled(), note: await text('#service-mode-note') };
      await dock.fill('#service-url', '');
      await dock.fill('#service-key', '');
      await dock.getByRole('button', { name: 'Stream to Velmora' }).click();
      const empty = { url: await text('#service-url-error'), key: await text('#service-key-error'),
        focused: await dock.evaluate(() => document.activeElement.id), invalid: await dock.locator('#service-url').getAttribute('aria-invalid') };
      await dock.fill('#service-url', 'https://127.0.0.1/live');
      await dock.fill('#service-key', 'k');
      await dock.getByRole('button', { name: 'Stream to Velmora' }).click();
      const https = { url: await text('#service-url-error'), keyShown: await dock.locator('#service-key-error').isVisible(),
        note: await dock.locator('#service-note').isVisible() };
      assert.deepEqual(whip, { disabled: true, note: 'WHIP needs OBS 30 or newer with WebRTC; use RTMP.' });
      assert.deepEqual(empty, { url: 'Give the server URL.', key: 'Give the stream key.', focused: 'service-url', invalid: 'true' });
      assert.deepEqual(https, { url: 'An RTMP server URL starts with rtmp:// or rtmps://.', keyShown: false, note: false },
        'nothing was sent to OBS');
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
      // After a reload the form shows the server OBS uses, its key behind "Show key".
      await dock.reload();
      await dock.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
      const form = { url: await dock.inputValue('#service-url'), key: await dock.inputValue('#service-key'),
        masked: await dock.locator('#service-key').getAttribute('type') };
      await dock.getByRole('button', { name: 'Go live on Velmora' }).click();
      await until('#stream-question', 'Are you sure you want to start the stream?');
      const startAsked = { status: await text('#stream-status'), focused: await dock.evaluate(() => document.activeElement.id) };
      await dock.getByRole('button', { name: 'Start Streaming' }).click();
      await until('#stream-status', 'Live', 15000);
      assert.deepEqual(startAsked, { status: 'Offline', focused: 'stream-no' }, 'started before the streamer said yes');
      assert.deepEqual(form, { url: ingest.url, key: KEY, masked: 'password' });
      // OBS's state follows its "started" event by a few milliseconds.
      await dock.locator('#service-live-note', { hasText: 'End the stream to change the service.' }).waitFor({ timeout: UI_MS });
      assert.equal(await dock.locator('#service-use').isDisabled(), true);
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
      assert.match(await text('#bar-kbps'), /^· [\d,]+\u00a0kb\/s$/);
      assert.deepEqual(liveAxe, []);
      assert.match(await text('#kbps'), /^[\d,]+\u00a0kb\/s$/);
      assert.match(await text('#dropped'), /^\d+\u00a0\(\d+\.\d%\)$/);
      assert.match(await text('#fps'), /^\d+\u00a0fps$/);
      assert.match(await text('#live-time'), /^0:00:\d\d$/);
      assert.match(await text('#graph-top'), /^[\d,]+\u00a0kb\/s$/);
      assert.equal(await text('#bar-health'), 'Excellent connection');
      const graph = await dock.locator('#graph-line').getAttribute('points');
      assert.ok(graph.split(' ').length >= 2, `graph ${graph}`);
      const nginx = await ingest.stream(KEY);
      assert.ok(nginx && nginx.publishing && nginx.bytesIn > 0, 'nginx got no stream');
      assert.equal(await dock.locator('#service-restore').isEnabled(), false, 'put back offered while live');
      // A link slower than the stream: OBS's data piles up, and the bar says so as OBS's status icon
      // does, its figures whole at every size; then the link is fast again.
      const slowFrom = Date.now();
      const undoThrottle = ingest.throttle(48);
      let health;
      try {
        await dock.locator('#bar-health[data-health="bad"]').waitFor({ timeout: 30000 });
        health = { after: Date.now() - slowFrom, words: await text('#bar-health'), role: await dock.locator('#bar-health').getAttribute('role'),
          dropped: await text('#dropped'), clipped: {} };
        await screenshot(dock, 'dock-live-poor-health', { fullPage: false });
        for (const [width, height] of SIZES) {
          await dock.setViewportSize({ width, height });
          health.clipped[width] = await dock.evaluate(clippedText);
        }
        await dock.setViewportSize({ width: 320, height: 600 });
      } finally {
        undoThrottle();
      }
      await until('#bar-health', 'Excellent connection', 30000);
      t.diagnostic(`"Poor connection" ${health.after} ms after the link slowed; dropped ${health.dropped}`);
      assert.deepEqual({ ...health, after: 0, dropped: '' }, { after: 0, words: 'Poor connection: OBS is dropping frames', role: 'status',
        dropped: '', clipped: { 240: [], 320: [], 480: [] } });
      assert.notEqual(health.dropped.split('\u00a0')[0], '0', 'OBS dropped no frames');
      // The ingest stops answering: OBS reconnects, and the dock counts its attempts as OBS does.
      ingest.pause();
      try {
        await until('#stream-status', 'Reconnecting… (attempt 1)', 60000);
        await screenshot(dock, 'dock-reconnecting', { fullPage: false });
      } finally {
        ingest.resume();
      }
      await until('#stream-status', /^Live$/, 60000);
      // Where it shows, scrolled to the bottom.
      const end = await dock.evaluate(() => {
        window.scrollTo(0, document.documentElement.scrollHeight);
        const box = document.getElementById('stream-button').getBoundingClientRect();
        return { x: box.left + box.width / 2, y: box.top + box.height / 2 };
      });
      await dock.mouse.click(end.x, end.y);
      await until('#stream-question', 'Are you sure you want to stop the stream?');
      assert.equal(await text('#stream-status'), 'Live');
      await dock.getByRole('button', { name: 'Stop Streaming' }).click();
      await until('#stream-status', 'Offline', 30000);
      await dock.evaluate(() => window.scrollTo(0, 0));
      await dock.getByRole('button', { name: 'Put back Twitch' }).click();
      await until('#service-note', 'OBS streams to Twitch again.');
      assert.equal(await text('#service-status'), 'OBS streams to Twitch.');
      assert.equal(await dock.locator('#service-restore').isHidden(), true);
    });

    await t.test('adds overlays and shows chat and countdown publications on the overlay pages', async () => {
      const openOverlay = async (kind) => {
        await dock.locator(`[data-overlay-copy="${kind}"]`).click();
        await until(`#${kind}-note`, 'Link copied');
        const url = await dock.evaluate(() => navigator.clipboard.readText());
        return { url, page: await openPage(context, url) };
      };
      await dock.fill('#chat-max', '2');
      await dock.locator('[data-overlay-add="chat"]').click();
      await until('#chat-note', 'Chat overlay added to the scene.');
      const chat = await openOverlay('chat');
      for (const message of ['first', 'second <i>x</i>', 'third']) {
        await dock.fill('#chat-text', message);
        await dock.press('#chat-text', 'Enter');
      }
      await chat.page.locator('li', { hasText: 'third' }).waitFor({ timeout: UI_MS });
      const chatShown = await chat.page.locator('li').allInnerTexts();

      await dock.locator('[data-overlay-add="countdown"]').click();
      await until('#countdown-note', 'Countdown overlay added to the scene.');
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
      await until('#chat-note', 'Link copied');
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

    // OBS closes and comes back on the same port: the page says so and picks up again by itself. This
    // OBS has no browser sources and cannot reach its update server: the dock says what works instead.
    await t.test('says OBS is closing, reconnects by itself, and says what this OBS lacks and what works instead', async () => {
      runs.push(await obs.stop());
      obs = null;
      await until('#banner', 'OBS is closing');
      assert.equal(await text('#connection'), 'OBS is closing');
      fs.rmSync(path.join(home.obsDir, 'plugins', 'obs-browser'), { recursive: true, force: true });
      obs = await startObs(home, { env: { ...env, VELMORA_OBS_TEST_UPDATE_ORIGIN: 'http://127.0.0.1:1' } });
      await until('#connection', /^Connected$/, 15000);
      await dock.locator('body[data-drawn="state"]').waitFor({ timeout: UI_MS });
      assert.deepEqual([await text('#stream-status'), await dock.locator('#banner').isHidden()], ['Offline', true]);
      const problems = dock.problems().slice(problemsBeforeRestart.length);
      assert.ok(!problems.some((p) => p.includes(home.token)), `the token reached the console: ${problems}`);

      await until('#update-text', "Couldn't reach the update server");
      await dock.getByRole('button', { name: 'Check for updates' }).click();
      await until('#update-text', "Couldn't reach the update server");
      await dock.locator('#overlays-unavailable').scrollIntoViewIfNeeded();
      await screenshot(dock, 'dock-no-browser-sources', { fullPage: false });
      const overlays = { note: await text('#overlays-unavailable'), add: await dock.locator('[data-overlay-add="chat"]').isDisabled(),
        describedBy: await dock.locator('[data-overlay-add="chat"]').getAttribute('aria-describedby'),
        copy: await dock.locator('[data-overlay-copy="chat"]').isEnabled() };
      // Where the clipboard refuses, the link is there to copy by hand, next to the button.
      await context.clearPermissions();
      await dock.evaluate(() => { navigator.clipboard.writeText = () => Promise.reject(new Error('refused')); document.execCommand = () => false; });
      await dock.locator('[data-overlay-copy="chat"]').click();
      await until('#chat-note', "couldn't be copied for you");
      const manual = { link: await dock.inputValue('#chat-link'), focused: await dock.evaluate(() => document.activeElement.id) };
      assert.deepEqual(overlays, { note: 'This OBS has no browser sources, so “Add to scene” can’t work here. Use “Copy link” and paste '
        + 'the link into a browser source of an OBS that has them.', add: true, describedBy: 'overlays-unavailable', copy: true });
      assert.match(manual.link, /\/dock\/overlay-chat\.html.*#o=[0-9a-f]{64}$/);
      assert.equal(manual.focused, 'chat-link');
      assert.deepEqual(await accessibilityViolations(dock), []);
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
