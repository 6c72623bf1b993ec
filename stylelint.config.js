'use strict';
// CSS the dock's oldest engine (Chromium 87, browserslist in package.json) lacks, from caniuse's data.
module.exports = {
  plugins: ['stylelint-no-unsupported-browser-features'],
  rules: {
    'plugin/no-unsupported-browser-features': [true, {
      severity: 'error',
      // Partial support counts (:is() is only partly there in 87), except where caniuse's "partial"
      // is about a use we do not make: sticky table parts, overflow's two-value and clip forms, and
      // logical properties beyond inset.
      ignore: ['css-sticky', 'css-overflow', 'css-logical-props'],
    }],
  },
  overrides: [{ files: ['**/*.html'], customSyntax: 'postcss-html' }],
};
