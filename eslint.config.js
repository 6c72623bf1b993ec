'use strict';
// ESLint's recommended rules on every script of ours; on the dock's pages also the APIs that
// Chromium 87, the oldest engine a dock may have, lacks (browserslist in package.json).
const js = require('@eslint/js');
const compat = require('eslint-plugin-compat');
const globals = require('globals');

// Calls of methods compat cannot see (it knows globals and static members), newer than Chromium 87.
const NEWER_METHODS = [['at', 92], ['findLast', 97], ['findLastIndex', 97], ['toSorted', 110], ['toReversed', 110],
  ['toSpliced', 110], ['with', 110]].map(([name, version]) => ({ selector: `CallExpression[callee.property.name='${name}']`,
  message: `.${name}() is newer than Chromium 87 (${version}), the oldest engine a dock may have.` }));

module.exports = [
  // The fixture holds what must be refused; its own test lints it.
  { ignores: ['**/node_modules/', 'build*/', 'dist/', 'tests/e2e/.artifacts/', 'tests/unit/web/fixtures/'] },
  js.configs.recommended,
  {
    files: ['data/web/js/**/*.js', 'tests/unit/web/fixtures/**/*.js'],
    languageOptions: { ecmaVersion: 2022, sourceType: 'module', globals: globals.browser },
    plugins: { compat },
    rules: { 'compat/compat': 'error', 'no-restricted-syntax': ['error', ...NEWER_METHODS] },
  },
  {
    files: ['scripts/**/*.js', 'tests/e2e/**/*.js', 'bench/**/*.js', 'eslint.config.js', 'stylelint.config.js'],
    languageOptions: { ecmaVersion: 'latest', sourceType: 'commonjs', globals: { ...globals.node } },
  },
  {
    files: ['tests/unit/web/**/*.mjs'],
    languageOptions: { ecmaVersion: 'latest', sourceType: 'module', globals: { ...globals.node } },
  },
  // Code that playwright runs inside the page.
  { files: ['tests/e2e/lib/layout.js', 'tests/e2e/lib/browser.js', 'tests/e2e/*.test.js', 'bench/*.js'],
    languageOptions: { globals: { ...globals.node, ...globals.browser } } },
];
