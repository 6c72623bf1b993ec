#!/usr/bin/env node
// Writes the web folder the module serves: each page with the scripts and styles it reaches,
// those renamed by content hash under assets/ (served as immutable for a year) and module imports
// rewritten to match. Refuses features newer than Chromium 87, the oldest engine a dock may have.
//   node scripts/build-web.js <source folder> <output folder> [--site-origin https://…]
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

const PAGES = ['index.html', 'auth-done.html', 'overlay-chat.html', 'overlay-countdown.html'];
const SITE_MARKER = '__VELMORA_SITE_ORIGIN__';

// Newer than Chromium 87, with the version that brought each.
const TOO_NEW_JS = [
  [/\.at\(/, 'Array/String .at() (92)'],
  [/\bstructuredClone\b/, 'structuredClone (98)'],
  [/\bObject\.hasOwn\b/, 'Object.hasOwn (93)'],
  [/\.findLast(Index)?\(/, 'findLast (97)'],
  [/\brandomUUID\b/, 'crypto.randomUUID (92)'],
  [/^await\b/m, 'top-level await (89)'],
  [/#[A-Za-z_]\w*\s+in\b/, 'private brand checks (91)'],
  [/\bstatic\s*\{/, 'static blocks (94)'],
];
const TOO_NEW_CSS = [
  [/\baspect-ratio\s*:/, 'CSS aspect-ratio (88)'],
  [/:is\(|:where\(|:has\(/, 'CSS :is/:where/:has (88+)'],
  [/:not\([^)]*,/, 'CSS :not() with a list (88)'],
  [/\baccent-color\s*:/, 'CSS accent-color (93)'],
  [/\btext-decoration-thickness\s*:|\btext-underline-offset\s*:/, 'CSS text decoration sizes (89)'],
  [/\boverflow(-[xy])?\s*:\s*clip\b/, 'CSS overflow: clip (90)'],
  [/(^|[\s;{])(translate|rotate|scale)\s*:/, 'CSS individual transforms (104)'],
  [/@container|@layer/, 'CSS container queries and layers (99+)'],
];

function fail(message) {
  console.error(`build-web: ${message}`);
  process.exit(1);
}

function checkTarget(file, text, patterns) {
  for (const [pattern, what] of patterns) {
    const match = pattern.exec(text);
    if (match) {
      const line = text.slice(0, match.index).split('\n').length;
      fail(`${file}:${line} uses ${what}, newer than Chromium 87`);
    }
  }
}

function hashed(name, text) {
  const digest = crypto.createHash('sha256').update(text).digest('hex').slice(0, 10);
  const ext = path.extname(name);
  return `${path.basename(name, ext)}-${digest}${ext}`;
}

function build(source, output, siteOrigin) {
  const assets = new Map(); // source-relative path -> { name, text }

  function script(rel, trail) {
    if (assets.has(rel)) return assets.get(rel).name;
    const deps = [];
    if (trail.includes(rel)) fail(`import cycle: ${trail.concat(rel).join(' -> ')}`);
    const file = path.join(source, rel);
    if (!fs.existsSync(file)) fail(`${trail[trail.length - 1] || 'a page'} refers to missing ${rel}`);
    let text = fs.readFileSync(file, 'utf8');
    checkTarget(rel, text, TOO_NEW_JS);
    text = text.split(SITE_MARKER).join(siteOrigin);
    text = text.replace(/(\bfrom\s*|\bimport\s*)(['"])\.\/([\w.-]+\.js)\2/g, (all, keyword, quote, dep) => {
      const depRel = path.posix.join(path.posix.dirname(rel), dep);
      deps.push(depRel);
      return `${keyword}${quote}./${script(depRel, trail.concat(rel))}${quote}`;
    });
    const built = String.raw`(?!\.\/[\w-]+-[0-9a-f]{10}\.js['"])`;
    const left = new RegExp(String.raw`\bimport\s*\(|^\s*(?:import|export)\b[^;\n]*?\bfrom\s*['"]${built}|^\s*import\s*['"]${built}`, 'm').exec(text);
    if (left) fail(`${rel}:${text.slice(0, left.index).split('\n').length}: only static imports of "./name.js" beside it are built`);
    const name = hashed(rel, text);
    assets.set(rel, { name, text, deps });
    return name;
  }

  // Every module an entry reaches, so the page can ask for all of them at once instead of
  // discovering them import by import.
  function reached(rel, into = new Set()) {
    for (const dep of assets.get(rel).deps) {
      if (!into.has(dep)) {
        into.add(dep);
        reached(dep, into);
      }
    }
    return into;
  }

  function style(rel) {
    if (assets.has(rel)) return assets.get(rel).name;
    const file = path.join(source, rel);
    if (!fs.existsSync(file)) fail(`a page refers to missing ${rel}`);
    const text = fs.readFileSync(file, 'utf8');
    checkTarget(rel, text, TOO_NEW_CSS);
    const name = hashed(rel, text);
    assets.set(rel, { name, text });
    return name;
  }

  const inside = (child, parent) => child === parent || child.startsWith(parent + path.sep);
  if (inside(source, output) || inside(output, source)) fail('the output folder must lie apart from the sources');
  fs.rmSync(output, { recursive: true, force: true });
  fs.mkdirSync(path.join(output, 'assets'), { recursive: true });
  for (const page of PAGES) {
    let html = fs.readFileSync(path.join(source, page), 'utf8');
    if (/<script(?![^>]*\bsrc=)[^>]*>/i.test(html)) fail(`${page} has an inline script; the pages' policy refuses it`);
    html = html.replace(/(<script[^>]*\bsrc=")(js\/[\w.-]+\.js)"(.*)/g, (all, head, rel, tail) => {
      const name = script(rel, []);
      const preloads = [...reached(rel)].map((dep) => `\n<link rel="modulepreload" href="assets/${assets.get(dep).name}">`);
      return `${head}assets/${name}"${tail}${preloads.join('')}`;
    });
    html = html.replace(/(<link[^>]*\bhref=")(css\/[\w.-]+\.css)"/g, (all, head, rel) => `${head}assets/${style(rel)}"`);
    for (const block of html.matchAll(/<style>([\s\S]*?)<\/style>/g)) checkTarget(page, block[1], TOO_NEW_CSS);
    const stray = /\b(?:src|href)="(?!assets\/[\w-]+-[0-9a-f]{10}\.(?:js|css)"|data:,")([^"]*)"/.exec(html);
    if (stray) fail(`${page} refers to ${stray[1]}, which the build does not write`);
    fs.writeFileSync(path.join(output, page), html);
  }
  for (const { name, text } of assets.values()) fs.writeFileSync(path.join(output, 'assets', name), text);
}

const args = process.argv.slice(2);
const originAt = args.indexOf('--site-origin');
const siteOrigin = originAt >= 0 ? args.splice(originAt, 2)[1] : 'https://velmora.app';
if (args.length !== 2) fail('usage: build-web.js <source folder> <output folder> [--site-origin URL]');
if (!/^https:\/\/[A-Za-z0-9.-]+(:\d+)?$/.test(siteOrigin || '')) fail(`not a site origin: ${siteOrigin}`);
build(path.resolve(args[0]), path.resolve(args[1]), siteOrigin);
