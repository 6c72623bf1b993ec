// The web build: hashed assets that every page and import can reach, within the dock's size budget,
// and refusals of what the pages' policy or the oldest dock engine would break.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const script = path.join(root, 'scripts/build-web.js');
const temp = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-web-'));
process.on('exit', () => fs.rmSync(temp, { recursive: true, force: true }));

function build(source, out, ...extra) {
  return spawnSync(process.execPath, [script, source, out, ...extra], { encoding: 'utf8' });
}

// Every file a page reaches, following scripts, styles and imports.
function closure(out, page) {
  const seen = new Set([page]);
  const queue = [page];
  while (queue.length) {
    const file = queue.shift();
    const text = fs.readFileSync(path.join(out, file), 'utf8');
    const refs = file.endsWith('.html')
      ? [...text.matchAll(/(?:src|href)="(?:\/dock\/)?([^"]+)"/g)].map((m) => m[1]).filter((ref) => ref !== 'data:,')
      : [...text.matchAll(/(?:from|import)\s*'\.\/([^']+)'/g)].map((m) => `assets/${m[1]}`);
    for (const ref of refs) {
      assert.match(ref, /^assets\/[\w-]+-[0-9a-f]{10}\.(js|css)$/, `${file} refers to ${ref}`);
      assert.ok(fs.existsSync(path.join(out, ref)), `${file} refers to missing ${ref}`);
      if (!seen.has(ref)) seen.add(ref) && queue.push(ref);
    }
  }
  return [...seen];
}

test('the built pages reach only hashed assets, within the size budget, with the site origin in', () => {
  const out = path.join(temp, 'out');
  execFileSync(process.execPath, [script, path.join(root, 'data/web'), out, '--site-origin', 'https://example.test']);
  const pages = fs.readdirSync(out).filter((f) => f.endsWith('.html')).sort();
  const languages = fs.readdirSync(path.join(root, 'data/web/locale')).map((f) => f.replace('.json', ''));
  assert.deepEqual(pages, ['auth-done', 'index', 'overlay-chat', 'overlay-countdown']
    .flatMap((page) => languages.map((lang) => (lang === 'en-US' ? `${page}.html` : `${page}.${lang}.html`))).sort());
  const reached = new Set();
  for (const page of pages) {
    const html = fs.readFileSync(path.join(out, page), 'utf8');
    assert.doesNotMatch(html, /\son[a-z]+=|javascript:|https?:\/\//i, `${page}: inline handlers or outside addresses`);
    for (const file of closure(out, page)) reached.add(file);
  }
  assert.deepEqual(fs.readdirSync(path.join(out, 'assets')).map((f) => `assets/${f}`).sort(),
    [...reached].filter((f) => f.startsWith('assets/')).sort(), 'no stray assets');
  // Each language's dock carries its own words and English, and no other language's.
  const catalog = (lang) => JSON.parse(fs.readFileSync(path.join(root, 'data/web/locale', `${lang}.json`), 'utf8'));
  const checkWord = (lang) => JSON.stringify(catalog(lang)['dock.update.check']);
  for (const lang of languages) {
    const page = lang === 'en-US' ? 'index.html' : `index.${lang}.html`;
    const files = closure(out, page);
    const dockBytes = files.reduce((sum, f) => sum + fs.statSync(path.join(out, f)).size, 0);
    assert.ok(dockBytes < 150 * 1024, `the ${lang} dock weighs ${dockBytes} bytes`);
    // The page is in its language before its script runs.
    const html = fs.readFileSync(path.join(out, page), 'utf8');
    assert.ok(html.includes(`<html lang="${lang}">`) && html.includes(`>${catalog(lang)['dock.update.check']}</button>`)
      && html.includes(`placeholder="${catalog(lang)['dock.overlays.startingSoon']}"`) && !html.includes('data-i18n'), page);
    const code = fs.readFileSync(path.join(out, files.find((f) => f.endsWith('.js'))), 'utf8');
    assert.deepEqual(languages.filter((other) => code.includes(checkWord(other))), [...new Set(['en-US', lang])].sort(), lang);
  }
  const dockScript = closure(out, 'index.html').find((f) => f.endsWith('.js'));
  assert.match(fs.readFileSync(path.join(out, dockScript), 'utf8'), /"https:\/\/example\.test"/);

  const again = path.join(temp, 'again');
  execFileSync(process.execPath, [script, path.join(root, 'data/web'), again, '--site-origin', 'https://example.test']);
  assert.deepEqual(fs.readdirSync(path.join(again, 'assets')).sort(), fs.readdirSync(path.join(out, 'assets')).sort(), 'names are stable');
});

test('the build refuses inline scripts, syntax Chromium 87 lacks, missing and stray files, and odd site origins', () => {
  const rows = [
    ['index.html', (t) => t.replace('</body>', '<script>alert(1)</script></body>'), /inline script/],
    ['js/reducer.js', (t) => `${t}\nawait Promise.resolve();\n`, /js\/reducer\.js:\d+: Top-level await is not available in the configured target environment \("chrome87"\)/],
    ['js/dock.js', (t) => t.replace("'./links.js'", "'./missing.js'"), /js\/dock\.js:\d+: Could not resolve "\.\/missing\.js"/],
    ['index.html', (t) => t.replace('</footer>', '<a href="help.html">Help</a></footer>'), /index\.html refers to help\.html/],
    ['locale/fr-FR.json', (t) => t.replace('{', '{,'), /locale\/fr-FR\.json: .*JSON/],
    ['index.html', (t) => t.replace('data-i18n="dock.links.help"', 'data-i18n="dock.links.hlep"'), /index\.html names dock\.links\.hlep/],
  ];
  for (const [file, change, error] of rows) {
    const source = path.join(temp, `src-${path.basename(file)}`);
    fs.cpSync(path.join(root, 'data/web'), source, { recursive: true });
    fs.writeFileSync(path.join(source, file), change(fs.readFileSync(path.join(source, file), 'utf8')));
    const result = build(source, path.join(temp, 'refused'));
    assert.notEqual(result.status, 0, file);
    assert.match(result.stderr, error);
  }
  assert.match(build(path.join(root, 'data/web'), path.join(temp, 'x'), '--site-origin', 'http://plain.test').stderr, /not a site origin/);
  const source = path.join(temp, 'src-index.html');
  assert.match(build(source, path.join(source, 'out')).stderr, /must lie apart/);
  assert.ok(fs.existsSync(path.join(source, 'index.html')), 'the sources were removed');
});
