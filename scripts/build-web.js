#!/usr/bin/env node
// Writes the web folder the module serves: each page with its script and its style bundled by
// esbuild for Chromium 87 (the oldest engine a dock may have: syntax it lacks is lowered, or the
// build fails), minified, and named by content hash under assets/ (served as immutable for a year).
// APIs newer than Chromium 87 are the linter's to find (scripts/lint.sh).
//   node scripts/build-web.js <source folder> <output folder> [--site-origin https://…]
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const esbuild = require('esbuild');

const PAGES = ['index.html', 'auth-done.html', 'overlay-chat.html', 'overlay-countdown.html'];
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
async function bundle(source, rel, siteOrigin) {
  const file = path.join(source, rel);
  if (!fs.existsSync(file)) fail(`a page refers to missing ${rel}`);
  const result = await esbuild.build({
    entryPoints: [file], bundle: true, minify: true, write: false, target: [TARGET], format: 'esm',
    legalComments: 'none', logLevel: 'silent', outdir: 'out',
    plugins: [{ name: 'site-origin', setup(build) {
      build.onLoad({ filter: /\.js$/ }, (args) => ({ contents: fs.readFileSync(args.path, 'utf8').split(SITE_MARKER).join(siteOrigin), loader: 'js' }));
    } }],
  }).catch((error) => fail(error.errors.map((e) => `${e.location ? `${path.relative(source, e.location.file)}:${e.location.line}: ` : ''}${e.text}`).join('\n')));
  const text = result.outputFiles[0].text;
  const ext = path.extname(rel);
  return { name: hashed(path.basename(rel, ext), ext, text), text };
}

async function build(source, output, siteOrigin) {
  const inside = (child, parent) => child === parent || child.startsWith(parent + path.sep);
  if (inside(source, output) || inside(output, source)) fail('the output folder must lie apart from the sources');
  const assets = new Map(); // source-relative path -> { name, text }
  const asset = async (rel) => {
    if (!assets.has(rel)) assets.set(rel, await bundle(source, rel, siteOrigin));
    return assets.get(rel).name;
  };
  const pages = [];
  for (const page of PAGES) {
    let html = fs.readFileSync(path.join(source, page), 'utf8');
    if (/<script(?![^>]*\bsrc=)[^>]*>/i.test(html)) fail(`${page} has an inline script; the pages' policy refuses it`);
    for (const [all, head, rel] of [...html.matchAll(/(<script[^>]*\bsrc=")(js\/[\w.-]+\.js)"/g),
      ...html.matchAll(/(<link[^>]*\bhref=")(css\/[\w.-]+\.css)"/g)]) {
      html = html.replace(all, `${head}${ASSET_PREFIX[page] || ''}assets/${await asset(rel)}"`);
    }
    const stray = /\b(?:src|href)="(?!(?:\/dock\/)?assets\/[\w-]+-[0-9a-f]{10}\.(?:js|css)"|data:,")([^"]*)"/.exec(html);
    if (stray) fail(`${page} refers to ${stray[1]}, which the build does not write`);
    pages.push([page, html]);
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
