// The words and number formats of the page's language. The page sets its catalog once at start;
// the rules (reducer.js) ask for words by key, so they stay pure and testable with any catalog.

let lang = 'en-US';
let words = {};
let english = {};
let modulePatterns = null;
let moduleNames = null;
// Intl formats are costly to make and the dock redraws every second: one per kind of figure.
let formats = new Map();

export function setWords(language, catalog, englishCatalog) {
  lang = language;
  words = catalog;
  english = englishCatalog;
  modulePatterns = null;
  moduleNames = null;
  formats = new Map();
}

function fill(text, values) {
  return text.replace(/\{(\w+)\}/g, (all, name) => (name in values ? String(values[name]) : all));
}

// The text for key with its {placeholders} filled in; English when the language lacks it.
export function say(key, values = {}) {
  return fill(words[key] || english[key] || key, values);
}

// The module speaks English on the bridge (scripts and obs-websocket clients read the same words).
// Each of its sentences is a "module." entry of the English catalog, read here as a pattern whose
// placeholders capture what the module put in; a text that matches none is shown as it came.
function patterns() {
  if (!modulePatterns) {
    modulePatterns = Object.keys(english)
      .filter((key) => key.startsWith('module.') && !key.startsWith('module.name.'))
      .map((key) => {
        const parts = english[key].split(/\{(\w+)\}/);
        const names = [...new Set(parts.filter((part, i) => i % 2 === 1))];
        const seen = new Set();
        // A name that comes twice must be the same text both times.
        const group = (name) => {
          if (seen.has(name)) return `\\k<${name}>`;
          seen.add(name);
          return `(?<${name}>.+?)`;
        };
        const source = parts.map((part, i) => (i % 2 === 1 ? group(part) : part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&'))).join('');
        return { key, names, pattern: new RegExp(`^${source}$`, 's') };
      });
  }
  return modulePatterns;
}

// A name the module puts into its sentences: its own words for a service ("your custom server") are
// translated, a platform's name or a server address is kept.
export function sayName(text) {
  if (!moduleNames) moduleNames = new Map(Object.keys(english).filter((k) => k.startsWith('module.name.')).map((k) => [english[k], k]));
  return moduleNames.has(text) ? say(moduleNames.get(text)) : text;
}

// The module's sentences are short; a longer text is shown as it came rather than matched, which
// would take time that grows steeply with its length.
const MODULE_TEXT_MAX = 2000;

export function sayFromModule(text) {
  if (typeof text !== 'string' || text === '' || lang === 'en-US' || text.length > MODULE_TEXT_MAX) return text;
  for (const { key, names, pattern } of patterns()) {
    const match = pattern.exec(text);
    if (!match) continue;
    const values = {};
    for (const name of names) {
      const value = match.groups[name];
      values[name] = name === 'reason' ? sayFromModule(value) : name === 'error' ? value : sayName(value);
    }
    return say(key, values);
  }
  return text;
}

// A number in the language's digits and separators.
function format(Kind, options) {
  const key = `${Kind.name} ${JSON.stringify(options)}`;
  if (!formats.has(key)) formats.set(key, new Kind(lang, options));
  return formats.get(key);
}

export function number(value, options = {}) {
  return format(Intl.NumberFormat, options).format(value);
}

// h:mm:ss (or m:ss without hours), with the language's digits.
export function duration(totalSeconds, alwaysHours = true) {
  const s = Math.max(0, Math.floor(Number(totalSeconds) || 0));
  const hours = Math.floor(s / 3600);
  const plain = (n) => number(n, { useGrouping: false });
  const two = (n) => number(n, { minimumIntegerDigits: 2, useGrouping: false });
  const seconds = two(s % 60);
  return alwaysHours || hours > 0 ? `${plain(hours)}:${two(Math.floor(s / 60) % 60)}:${seconds}` : `${plain(Math.floor(s / 60))}:${seconds}`;
}

// A clock time as the language writes it ("14:05", "2:05 PM").
export function clockTime(ms) {
  return format(Intl.DateTimeFormat, { hour: 'numeric', minute: '2-digit' }).format(new Date(ms));
}
