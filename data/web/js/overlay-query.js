// Overlay options travel in the overlay page's query. The module accepts at most 300 bytes of
// letters, digits and & , - . = _ ; everything built here stays inside that rule.

export const QUERY_LIMIT = 300;

export const OVERLAY_OPTIONS = {
  chat: {
    theme: { choices: ['dark', 'light'], fallback: 'dark' },
    size: { choices: ['s', 'm', 'l'], fallback: 'm' },
    fade: { min: 0, max: 600, fallback: 30 }, // seconds a message stays; 0 keeps it
    max: { min: 1, max: 20, fallback: 8 },
  },
  countdown: {
    theme: { choices: ['dark', 'light'], fallback: 'dark' },
    size: { choices: ['s', 'm', 'l'], fallback: 'm' },
    done: { choices: ['show', 'hide'], fallback: 'show' },
  },
};

export function queryValid(query) {
  return typeof query === 'string' && query.length <= QUERY_LIMIT && /^[A-Za-z0-9&,\-.=_]*$/.test(query);
}

function normalise(rule, raw) {
  if (rule.choices) return rule.choices.includes(raw) ? raw : rule.fallback;
  const value = Number(raw);
  if (raw === undefined || raw === null || String(raw).trim() === '' || !Number.isInteger(value)) return rule.fallback;
  return Math.max(rule.min, Math.min(rule.max, value));
}

// The query for a kind's options, leaving out those at their default; "" when all are.
export function buildQuery(kind, options) {
  const rules = OVERLAY_OPTIONS[kind];
  if (!rules) return '';
  const parts = [];
  for (const name of Object.keys(rules)) {
    const value = normalise(rules[name], options[name]);
    if (value !== rules[name].fallback) parts.push(`${name}=${value}`);
  }
  const query = parts.join('&');
  return queryValid(query) ? query : '';
}

// The options an overlay page runs with, from its location.search; unknown or bad values fall back.
export function readOptions(kind, search) {
  const rules = OVERLAY_OPTIONS[kind];
  const params = new URLSearchParams(search);
  const options = {};
  for (const name of Object.keys(rules)) {
    const raw = params.get(name);
    options[name] = normalise(rules[name], raw === null ? undefined : raw);
  }
  return options;
}

// An overlay URL from the state with a query put before its "#o=" fragment, replacing the options
// of any query there and keeping the page's language.
export function withQuery(url, query) {
  const hash = url.indexOf('#');
  const fragment = hash < 0 ? '' : url.slice(hash);
  const [base, search = ''] = (hash < 0 ? url : url.slice(0, hash)).split('?');
  const lang = search.split('&').filter((part) => part.startsWith('lang='));
  const parts = [query].concat(lang).filter(Boolean);
  return parts.length ? `${base}?${parts.join('&')}${fragment}` : `${base}${fragment}`;
}
