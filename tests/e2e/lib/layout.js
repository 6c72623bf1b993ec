'use strict';
// What a page of the dock shows wrongly, measured inside the page (each function runs there through
// page.evaluate), and the suite's network settings.

const { execFileSync } = require('node:child_process');

// Controls the streamer cannot fully see or that lie over one another, and a page wider than the dock;
// at the top of the page, where the stream bar is still in the flow.
const layoutProblems = () => {
  const width = document.documentElement.clientWidth;
  const problems = document.documentElement.scrollWidth > width ? [`the page scrolls sideways (${document.documentElement.scrollWidth} px)`] : [];
  const shown = [...document.querySelectorAll('button, input, select, summary, progress, #stream-status, #connection, .stream-bar h1')]
    .map((element) => ({ element, box: element.getBoundingClientRect() }))
    .filter(({ box }) => box.width > 0 && box.height > 0);
  const name = (e) => e.id || e.textContent.trim().slice(0, 20) || e.tagName;
  for (const [i, { element, box }] of shown.entries()) {
    if (box.left < 0 || box.right > width + 0.5) problems.push(`${name(element)} is cut off (${box.left}..${box.right})`);
    for (const other of shown.slice(i + 1)) {
      const [a, b] = [box, other.box];
      if (Math.min(a.right, b.right) - Math.max(a.left, b.left) > 0.5 && Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > 0.5) {
        problems.push(`${name(element)} overlaps ${name(other.element)}`);
      }
    }
  }
  return problems;
};

// Reads a setting of the suite's own network namespace, or sets it.
const sysctl = (name, value) => execFileSync('sysctl', value === undefined ? ['-n', name] : ['-qw', `${name}=${value}`],
  { encoding: 'utf8' }).trim().replace(/\s+/g, ' ');

// Words the dock shows that do not fit their control: the widest choice of a list, a placeholder,
// and a figure broken over two lines.
const clippedText = () => {
  const measure = document.createElement('canvas').getContext('2d');
  const problems = [];
  for (const element of document.querySelectorAll('select, input[placeholder]')) {
    if (!element.getBoundingClientRect().width) continue;
    const style = getComputedStyle(element);
    measure.font = `${style.fontWeight} ${style.fontSize} ${style.fontFamily}`;
    const texts = element.tagName === 'SELECT' ? [...element.options].map((o) => o.text) : [element.placeholder];
    // A list keeps room for its arrow.
    const room = element.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight) - (element.tagName === 'SELECT' ? 20 : 0);
    for (const text of texts) if (measure.measureText(text).width > room + 0.5) problems.push(`${element.id}: “${text}” is cut off`);
  }
  for (const element of document.querySelectorAll('.figure, #stream-status')) {
    if (element.getClientRects().length > 1) problems.push(`${element.id || element.className}: “${element.textContent}” breaks over lines`);
  }
  return problems;
};

// WCAG 1.4.11: the boundary of every control that can be used (its border, or its fill) at least 3:1
// against what lies behind it. axe does not measure this.
const weakBoundaries = () => {
  const rgba = (text) => (text.match(/[\d.]+/g) || []).map(Number);
  const luminance = ([r, g, b]) => [r, g, b].map((v) => v / 255).map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4))
    .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
  const ratio = (a, b) => { const [x, y] = [luminance(a), luminance(b)].sort((p, q) => q - p); return (x + 0.05) / (y + 0.05); };
  const behind = (element) => {
    for (let e = element.parentElement; e; e = e.parentElement) {
      const c = rgba(getComputedStyle(e).backgroundColor);
      if (c.length === 3 || c[3] > 0) return c;
    }
    return [255, 255, 255];
  };
  const problems = [];
  for (const element of document.querySelectorAll('button:not(.link), input, select')) {
    if (!element.getBoundingClientRect().width || element.disabled) continue;
    const style = getComputedStyle(element);
    const around = behind(element);
    const border = parseFloat(style.borderTopWidth) > 0 && style.borderTopStyle !== 'none' ? ratio(rgba(style.borderTopColor), around) : 0;
    const fill = rgba(style.backgroundColor);
    const best = Math.max(border, fill.length === 4 && fill[3] === 0 ? 0 : ratio(fill, around));
    if (best < 3) problems.push(`${element.id || element.textContent.trim().slice(0, 20)}: ${best.toFixed(2)}:1`);
  }
  return problems;
};

// Words of the page still in English where the page speaks another language: every text node (hidden
// ones too: they show later) and every placeholder, label and option. English is a text the English
// catalog has and this language's does not (brand names are in neither), and in a language without
// Latin script any Latin word but a brand or a technical name.
const englishLeft = ({ english, catalog, latinAllowed }) => {
  const translated = new Set(Object.keys(english).filter((key) => english[key] !== catalog[key]).map((key) => english[key]));
  const texts = [document.title];
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node; node = walker.nextNode()) texts.push(node.textContent);
  for (const element of document.querySelectorAll('[placeholder], [aria-label], [title]')) {
    texts.push(element.getAttribute('placeholder') || '', element.getAttribute('aria-label') || '', element.getAttribute('title') || '');
  }
  const left = new Set();
  for (const text of texts.map((t) => t.trim()).filter(Boolean)) {
    if (translated.has(text)) left.add(text);
    if (latinAllowed) {
      for (const word of text.match(/[A-Za-z]{2,}/g) || []) if (!latinAllowed.includes(word)) left.add(`${word} in “${text}”`);
    }
  }
  return [...left];
};

module.exports = { layoutProblems, clippedText, weakBoundaries, englishLeft, sysctl };
