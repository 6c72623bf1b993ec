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
