'use strict';
// OBS's language in the real OBS: set to German, the dock in OBS's own browser panel (the module's Qt
// WebEngine panel, read over its DevTools port), a countdown overlay source, a question the module
// asks and the sign-in done page speak German; restarted in English, English again.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { makeHome, withObs } = require('./lib/obs');
const { connectObsWebSocket } = require('./lib/obsws');
const { freePorts } = require('./lib/ports');
const { launchBrowser, openPage, attachPage } = require('./lib/browser');

const IO_MS = 5000;
// The module's own texts (Qt and its answers to the browser), as OBS reads them.
const moduleText = (lang, key) => fs.readFileSync(path.join(__dirname, '../../data/locale', `${lang}.ini`), 'utf8')
  .match(new RegExp(`^${key.replace('.', '\\.')}="(.*)"$`, 'm'))[1];
const catalog = (lang) => JSON.parse(fs.readFileSync(path.join(__dirname, '../../data/web/locale', `${lang}.json`), 'utf8'));

test('OBS’s language reaches the dock, the overlays and the sign-in page', { timeout: 180000 }, async (t) => {
  const port = await freePorts(3); // the module's, the DevTools port, obs-websocket's
  const browser = await launchBrowser();
  // The stand-in obs-browser gives browser sources but no panel: the dock is a real browser.
  const home = makeHome({ standIns: ['obs-browser'], webPanel: true, obsWebSocket: port + 2, config: { port },
    globalIni: { BasicWindow: { WarnBeforeStartingStream: 'true' } } });
  t.after(async () => { await browser.close(); home.cleanup(); });
  const env = { VELMORA_STAND_IN_PANEL: 'none', QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${port + 1}`, QT_XCB_GL_INTEGRATION: 'xcb_egl' };
  // OBS's Settings > General > Language, in the files OBS 29 and OBS 32 read it from.
  const setLanguage = (language) => ['global.ini', 'user.ini'].map((name) => path.join(home.obsDir, name)).filter(fs.existsSync)
    .forEach((file) => fs.writeFileSync(file, fs.readFileSync(file, 'utf8').replace(/^Language=.*\n/m, '').replace('[General]\n', `[General]\nLanguage=${language}\n`)));

  const seen = (language, first) => { setLanguage(language); return withObs({ home, env }, async (obs) => {
    await obs.dockPort();
    const dock = await attachPage(port + 1, `:${port}/dock/`);
    const obsws = await connectObsWebSocket(port + 2);
    try {
      await dock.waitFor('document.body.dataset.drawn === "state" && document.getElementById("connection").dataset.connection === "open"');
      const words = { lang: await dock.evaluate('document.documentElement.lang'), pill: await dock.text('#connection'),
        status: await dock.text('#stream-status'), button: await dock.text('#stream-button'), overlays: await dock.text('#overlays-title') };
      // OBS asks before the stream starts, in its own words: the module's question, shown translated.
      await dock.evaluate('document.getElementById("stream-button").click()');
      await dock.waitFor('!document.getElementById("stream-confirm").hidden');
      Object.assign(words, { question: await dock.text('#stream-question'), yes: await dock.text('#stream-yes') });
      await dock.evaluate('document.getElementById("stream-no").click()');

      if (first) assert.equal((await obsws.vendor('AddOverlay', { kind: 'countdown', query: 'done=show' })).ok, true);
      await obsws.vendor('PublishOverlay', { state: { countdown: { title: '', endsAt: Date.now() - 1000 } } });
      const { url } = (await obsws.request('GetInputSettings', { inputName: 'Velmora countdown' })).inputSettings;
      const page = await openPage(await browser.newContext(), url);
      await page.locator('#countdown-done').waitFor({ timeout: IO_MS });
      words.overlay = { url, lang: await page.evaluate(() => document.documentElement.lang), done: await page.innerText('#countdown-done'),
        title: await page.title(), problems: page.problems() };

      // Sign-in: the done page the callback sends the browser to, and the module's own refusal page.
      const opened = home.openedUrls().length;
      await dock.evaluate('document.querySelector("[data-provider=google]").click()');
      const launcher = new URL(await home.nextOpened(opened));
      const callback = new URL(launcher.searchParams.get('callback'));
      callback.search = `?state=${launcher.searchParams.get('state')}&idToken=e2e`;
      const context = await browser.newContext();
      const done = await openPage(context, callback.href);
      const refused = await openPage(context, callback.href);
      words.signIn = { url: done.url(), lang: await done.evaluate(() => document.documentElement.lang), text: await done.innerText('body'),
        refusedLang: await refused.evaluate(() => document.documentElement.lang), refused: await refused.innerText('b'),
        problems: done.problems() };
      await context.close();
      dock.close();
      return words;
    } finally {
      obsws.close();
    }
  }); };

  const de = catalog('de-DE');
  const german = await seen('de-DE', true);
  assert.deepEqual(german, {
    lang: 'de-DE', pill: de['dock.connection.open'], status: de['dock.status.offline'], button: de['dock.button.goLiveOn'].replace('{destination}', de['module.name.platformless']),
    overlays: de['dock.overlays.title'], question: de['module.stream.confirmStart'], yes: de['dock.confirm.start'],
    overlay: { url: german.overlay.url, lang: 'de-DE', done: 'Die Zeit ist um!', title: 'Velmora-Countdown', problems: [] },
    signIn: { url: `http://127.0.0.1:${port}/auth-done?lang=de-DE`, lang: 'de-DE', text: `${de['auth.title']}\n${de['auth.text']}`,
      refusedLang: 'de-DE', refused: moduleText('de-DE', 'SignIn.Expired'), problems: [] },
  });
  assert.match(german.overlay.url, /overlay-countdown\.html\?done=show&lang=de-DE#o=/);
  assert.equal(german.question, 'Möchten Sie den Stream wirklich starten?', 'OBS’s own German question');

  const english = await seen('en-US', false);
  assert.deepEqual([english.lang, english.pill, english.question, english.yes, english.overlay.lang, english.overlay.done,
    english.signIn.url, english.signIn.lang, english.signIn.refused],
  ['en-US', 'Connected', 'Are you sure you want to start the stream?', 'Start Streaming', 'en-US', 'Time\'s up!',
    `http://127.0.0.1:${port}/auth-done`, 'en-US', 'That sign-in link expired']);
  assert.match(english.overlay.url, /overlay-countdown\.html\?done=show#o=/);
});
