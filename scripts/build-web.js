#!/usr/bin/env node
// Writes the web folder the module serves: each page with its script and its style bundled by
// esbuild for Chromium 87 (the oldest engine a dock may have: syntax it lacks is lowered, or the
// build fails), minified, and named by content hash under assets/ (served as immutable for a year).
// Each page is written once per language of locale/ (index.html for en-US, index.de-DE.html ...),
// its script carrying that language's words as the "velmora:words" module.
// APIs newer than Chromium 87 are the linter's to find (scripts/lint.sh).
//   node scripts/build-web.js <source folder> <output folder> [--site-origin https://…]
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const esbuild = require('esbuild');

const PAGES = ['index.html', 'auth-done.html', 'overlay-chat.html', 'overlay-countdown.html'];
// The words each page's script carries: only what it shows.
const PAGE_WORDS = { 'index.html': ['dock.', 'module.'], 'auth-done.html': ['auth.'], 'overlay-chat.html': ['overlay.'],
  'overlay-countdown.html': ['overlay.'] };
// Pages the module serves outside /dock/ (auth-done.html at /auth-done) reach the assets by path.
const ASSET_PREFIX = { 'auth-done.html': '/dock/' };
const SITE_MARKER = '__VELMORA_SITE_ORIGIN__';
const TARGET = 'chrome87';

function fail(message) {
  console.error(`build-web: ${message}`);
  process.exit(1);
}

const hashed = (stem, ext, text) => `${stem}-${crypto.createHash('sha256').update(text).digest('hex').slice(0, 10)}${ext}`;

// One page's script or style with everything it reaches, as one file; the site origin goes in
// before bundling, so the name follows the content that is served.
async function bundle(source, rel, siteOrigin, words) {
  const file = path.join(source, rel);
  if (!fs.existsSync(file)) fail(`a page refers to missing ${rel}`);
  const result = await esbuild.build({
    entryPoints: [file], bundle: true, minify: true, write: false, target: [TARGET], format: 'esm', charset: 'utf8',
    legalComments: 'none', logLevel: 'silent', outdir: 'out',
    plugins: [{ name: 'site-origin', setup(build) {
      build.onLoad({ filter: /\.js$/ }, (args) => ({ contents: fs.readFileSync(args.path, 'utf8').split(SITE_MARKER).join(siteOrigin), loader: 'js' }));
    } }, { name: 'words', setup(build) {
      build.onResolve({ filter: /^velmora:words$/ }, () => ({ path: words.language, namespace: 'words' }));
      build.onLoad({ filter: /.*/, namespace: 'words' }, () => ({ loader: 'js', contents: `export const LANGUAGE = ${JSON.stringify(words.language)};
export const ENGLISH = ${JSON.stringify(words.english)};
export const WORDS = ${words.language === 'en-US' ? 'ENGLISH' : JSON.stringify(words.catalog)};` }));
    } }],
  }).catch((error) => fail(error.errors.map((e) => `${e.location ? `${path.relative(source, e.location.file)}:${e.location.line}: ` : ''}${e.text}`).join('\n')));
  const text = result.outputFiles[0].text;
  const ext = path.extname(rel);
  return { name: hashed(path.basename(rel, ext), ext, text), text };
}

// Every language of locale/, en-US first, with its words.
function readLanguages(source) {
  const dir = path.join(source, 'locale');
  const read = (language) => {
    try {
      return JSON.parse(fs.readFileSync(path.join(dir, `${language}.json`), 'utf8'));
    } catch (error) {
      return fail(`locale/${language}.json: ${error.message}`);
    }
  };
  const english = read('en-US');
  return fs.readdirSync(dir).filter((f) => f.endsWith('.json')).map((f) => f.slice(0, -5)).sort()
    .sort((a, b) => (b === 'en-US') - (a === 'en-US')).map((language) => ({ language, english, catalog: read(language) }));
}

const escapeHtml = (text) => text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;');

// The page's fixed words in its language, written in at build time: the page draws in its language
// from the start, and its script has nothing to rewrite. data-i18n="key" names an element's text
// (text only, no markup inside), data-i18n-placeholder and data-i18n-label its placeholder and
// aria-label.
function localiseHtml(html, page, { english, catalog }) {
  const say = (key) => {
    const text = catalog[key] || english[key];
    if (text === undefined) fail(`${page} names ${key}, which locale/en-US.json lacks`);
    return escapeHtml(text);
  };
  return html
    .replace(/(<(\w+)\b[^>]*\bdata-i18n="([\w.]+)"[^>]*>)[^<]*(<\/\2>)/g, (all, open, tag, key, close) => `${open}${say(key)}${close}`)
    .replace(/<[^>]*\bdata-i18n-(placeholder|label)="([\w.]+)"[^>]*>/g, (element, kind, key) => {
      const attribute = kind === 'label' ? 'aria-label' : 'placeholder';
      return element.replace(new RegExp(`(?<![\\w-])${attribute}="[^"]*"`), () => `${attribute}="${say(key)}"`);
    })
    .replace(/ data-i18n(?:-placeholder|-label)?="[\w.]+"/g, '');
}

function pageWords({ language, english, catalog }, prefixes) {
  const only = (words) => Object.fromEntries(Object.entries(words).filter(([key]) => prefixes.some((p) => key.startsWith(p))));
  return { language, english: only(english), catalog: only(catalog) };
}

async function build(source, output, siteOrigin) {
  const inside = (child, parent) => child === parent || child.startsWith(parent + path.sep);
  if (inside(source, output) || inside(output, source)) fail('the output folder must lie apart from the sources');
  const assets = new Map(); // source-relative path (and language, for a script) -> { name, text }
  const asset = async (rel, words) => {
    const key = rel.endsWith('.js') ? `${rel} ${words.language}` : rel;
    if (!assets.has(key)) assets.set(key, await bundle(source, rel, siteOrigin, words));
    return assets.get(key).name;
  };
  const pages = [];
  const languages = readLanguages(source);
  for (const [page, words] of PAGES.flatMap((p) => languages.map((w) => [p, pageWords(w, PAGE_WORDS[p])]))) {
    let html = localiseHtml(fs.readFileSync(path.join(source, page), 'utf8'), page, words)
      .replace(/<html lang="[^"]*">/, `<html lang="${words.language}">`);
    if (/<script(?![^>]*\bsrc=)[^>]*>/i.test(html)) fail(`${page} has an inline script; the pages' policy refuses it`);
    for (const [all, head, rel] of [...html.matchAll(/(<script[^>]*\bsrc=")(js\/[\w.-]+\.js)"/g),
      ...html.matchAll(/(<link[^>]*\bhref=")(css\/[\w.-]+\.css)"/g)]) {
      html = html.replace(all, `${head}${ASSET_PREFIX[page] || ''}assets/${await asset(rel, words)}"`);
    }
    const stray = /\b(?:src|href)="(?!(?:\/dock\/)?assets\/[\w-]+-[0-9a-f]{10}\.(?:js|css)"|data:,")([^"]*)"/.exec(html);
    if (stray) fail(`${page} refers to ${stray[1]}, which the build does not write`);
    pages.push([words.language === 'en-US' ? page : page.replace(/\.html$/, `.${words.language}.html`), html]);
  }
  fs.rmSync(output, { recursive: true, force: true });
  fs.mkdirSync(path.join(output, 'assets'), { recursive: true });
  for (const [page, html] of pages) fs.writeFileSync(path.join(output, page), html);
  for (const { name, text } of assets.values()) fs.writeFileSync(path.join(output, 'assets', name), text);
}

const args = process.argv.slice(2);
const originAt = args.indexOf('--site-origin');
const siteOrigin = originAt >= 0 ? args.splice(originAt, 2)[1] : 'https://velmora.app';
if (args.length !== 2) fail('usage: build-web.js <source folder> <output folder> [--site-origin URL]');
if (!/^https:\/\/[A-Za-z0-9.-]+(:\d+)?$/.test(siteOrigin || '')) fail(`not a site origin: ${siteOrigin}`);
build(path.resolve(args[0]), path.resolve(args[1]), siteOrigin);
