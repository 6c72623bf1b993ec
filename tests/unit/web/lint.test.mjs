// The linters' own refusals: what the dock's oldest engine (Chromium 87) lacks, in a fixture.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const require = createRequire(path.join(root, 'package.json'));

test('ESLint refuses .at(), structuredClone and Object.hasOwn in the pages, and only them', async () => {
  const { ESLint } = require('eslint');
  const eslint = new ESLint({ cwd: root, ignore: false });
  const [result] = await eslint.lintFiles([path.join(root, 'tests/unit/web/fixtures/too-new.js')]);
  assert.deepEqual(result.messages.map((m) => [m.line, m.ruleId]),
    [[3, 'no-restricted-syntax'], [4, 'compat/compat'], [5, 'compat/compat']]);
});

test('stylelint refuses CSS that Chromium 87 lacks', async () => {
  const stylelint = require('stylelint');
  const { results } = await stylelint.lint({ code: '.a:is(.b, .c) { color: red; }\n.d { color: blue; }\n', cwd: root });
  assert.deepEqual(results[0].warnings.map((w) => [w.line, w.rule]), [[1, 'plugin/no-unsupported-browser-features']]);
});
