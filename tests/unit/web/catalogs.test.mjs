// Every language's catalog has exactly en-US's keys, each with the same placeholders and some text.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const dir = path.join(path.dirname(fileURLToPath(import.meta.url)), '../../../data/web/locale');
const LANGUAGES = ['de-DE', 'en-US', 'es-ES', 'fr-FR', 'it-IT', 'ja-JP', 'ko-KR', 'pt-BR', 'zh-CN'];
const read = (lang) => JSON.parse(fs.readFileSync(path.join(dir, `${lang}.json`), 'utf8'));
const placeholders = (text) => [...text.matchAll(/\{(\w+)\}/g)].map((m) => m[1]).sort();

test('the nine catalogs match en-US key for key and placeholder for placeholder', () => {
  assert.deepEqual(fs.readdirSync(dir).sort(), LANGUAGES.map((l) => `${l}.json`));
  const english = read('en-US');
  for (const lang of LANGUAGES) {
    const catalog = read(lang);
    assert.deepEqual(Object.keys(catalog).sort(), Object.keys(english).sort(), `${lang}: keys`);
    for (const [key, text] of Object.entries(catalog)) {
      assert.ok(typeof text === 'string' && text.trim() !== '', `${lang} ${key}: no text`);
      assert.deepEqual(placeholders(text), placeholders(english[key]), `${lang} ${key}: placeholders`);
    }
  }
});

// The module's own texts, in OBS's locale files: the same keys as en-US, each with its %1 and line breaks.
test('the module’s nine locale files match en-US key for key, %1 for %1', () => {
  const iniDir = path.join(dir, '../../locale');
  const readIni = (lang) => Object.fromEntries(fs.readFileSync(path.join(iniDir, `${lang}.ini`), 'utf8').split('\n').filter(Boolean)
    .map((line) => /^([\w.]+)="(.*)"$/.exec(line)).map((m) => (m ? [m[1], m[2]] : ['malformed', ''])));
  assert.deepEqual(fs.readdirSync(iniDir).sort(), LANGUAGES.map((l) => `${l}.ini`));
  const english = readIni('en-US');
  const marks = (text) => [text.match(/%\d/g) || [], text.split('\\n').length];
  for (const lang of LANGUAGES) {
    const texts = readIni(lang);
    assert.deepEqual(Object.keys(texts), Object.keys(english), `${lang}: keys`);
    for (const [key, text] of Object.entries(texts)) assert.deepEqual(marks(text), marks(english[key]), `${lang} ${key}: %1 and line breaks`);
  }
});
