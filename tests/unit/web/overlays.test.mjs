// Overlay options, the published overlay state and the countdown arithmetic.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { countdownEnd, formatRemaining, nextTickMs, remainingMs } from '../../../data/web/js/countdown.js';
import { tokenFrom, backoffDelay } from '../../../data/web/js/connection.js';
import { buildQuery, queryValid, readOptions, withQuery } from '../../../data/web/js/overlay-query.js';
import { addChatMessage, CHAT_KEEP, clearCountdown, emptyOverlayState, sanitiseOverlayState, setCountdown } from '../../../data/web/js/overlay-state.js';

test('overlay queries stay inside the module rule and round-trip through the page', () => {
  const rows = [
    ['chat', {}, ''],
    ['chat', { theme: 'dark', size: 'm', fade: '30', max: '8' }, ''],
    ['chat', { theme: 'light', size: 'l', fade: '0', max: '20' }, 'theme=light&size=l&fade=0&max=20'],
    ['chat', { fade: '9999', max: '-3' }, 'fade=600&max=1'],
    ['chat', { theme: 'x y', fade: '1.5', max: ' ' }, ''],
    ['countdown', { done: 'hide', size: 's' }, 'size=s&done=hide'],
    ['nothing', { theme: 'light' }, ''],
  ];
  for (const [kind, options, query] of rows) {
    assert.equal(buildQuery(kind, options), query, JSON.stringify(options));
    assert.ok(queryValid(query));
    if (kind !== 'nothing') assert.deepEqual(readOptions(kind, `?${query}`), readOptions(kind, `?${buildQuery(kind, readOptions(kind, `?${query}`))}`));
  }
  assert.deepEqual(readOptions('chat', '?theme=light&fade=abc&max=50&extra=1'), { theme: 'light', size: 'm', fade: 30, max: 20 });
  for (const bad of ['a b', 'a/b', 'a?b', 'a#b', 'x'.repeat(301)]) assert.equal(queryValid(bad), false, bad);
  assert.equal(queryValid('x'.repeat(300)), true);
  assert.equal(withQuery('http://127.0.0.1:1/dock/overlay-chat.html#o=ab', 'max=3'), 'http://127.0.0.1:1/dock/overlay-chat.html?max=3#o=ab');
  assert.equal(withQuery('http://h/p#o=ab', ''), 'http://h/p#o=ab');
  assert.equal(withQuery('http://h/p?max=1#o=ab', 'max=2'), 'http://h/p?max=2#o=ab');
  // The page's language stays with the link whatever the options.
  assert.equal(withQuery('http://h/p?lang=de-DE#o=ab', 'max=2'), 'http://h/p?max=2&lang=de-DE#o=ab');
  assert.equal(withQuery('http://h/p?max=1&lang=ja-JP#o=ab', ''), 'http://h/p?lang=ja-JP#o=ab');
});

test('tokens come only from their own fragment key; reconnects back off to a ceiling', () => {
  const rows = [['#t=ab12_-', 't', 'ab12_-'], ['#t=ab&x=1', 't', 'ab'], ['#o=ab', 't', ''], ['#t=<b>', 't', ''], ['', 't', ''], [undefined, 'o', ''], ['#o=' + 'a'.repeat(257), 'o', '']];
  for (const [hash, key, token] of rows) assert.equal(tokenFrom(hash, key), token, String(hash));
  assert.deepEqual([0, 1, 2, 3, 4, 5, 50].map(backoffDelay), [500, 1000, 2000, 4000, 8000, 8000, 8000]);
});

test('chat messages are trimmed, bounded, ordered by growing ids; stored states are cleaned', () => {
  let state = emptyOverlayState();
  assert.equal(addChatMessage(state, '   ', 1000), null);
  for (let i = 0; i < CHAT_KEEP + 3; i++) state = addChatMessage(state, ` hi ${i} `, 1000);
  const ids = state.chat.messages.map((m) => m.id);
  assert.equal(ids.length, CHAT_KEEP);
  assert.equal(new Set(ids).size, CHAT_KEEP);
  assert.deepEqual(ids, [...ids].sort((a, b) => a - b));
  assert.equal(state.chat.messages[CHAT_KEEP - 1].text, `hi ${CHAT_KEEP + 2}`);
  assert.equal(addChatMessage(state, 'y'.repeat(500), 2000).chat.messages.at(-1).text.length, 200);

  state = setCountdown(state, '  Starting soon  ', 5000);
  assert.deepEqual(state.countdown, { title: 'Starting soon', endsAt: 5000 });
  assert.deepEqual(sanitiseOverlayState(JSON.parse(JSON.stringify(state))), state);
  assert.deepEqual(clearCountdown(state).countdown, { title: '', endsAt: 0 });
  for (const junk of [null, 'x', { chat: { messages: [{ id: 'a', text: 1 }, null] }, countdown: { endsAt: 'soon' } }]) {
    assert.deepEqual(sanitiseOverlayState(junk), emptyOverlayState());
  }
});

test('countdown arithmetic: ends from minutes or a clock time, what is left, and when it changes', () => {
  const now = new Date(2026, 11, 6, 14, 30, 15, 0).getTime();
  const at = (h, m, dayOffset = 0) => new Date(2026, 11, 6 + dayOffset, h, m, 0, 0).getTime();
  const ends = [
    [{ minutes: '5' }, now + 300000],
    [{ minutes: '0.5' }, now + 30000],
    [{ minutes: '5', clock: '15:00' }, at(15, 0)],
    [{ clock: '14:30' }, at(14, 30, 1)], // passed today: tomorrow
    [{ clock: '09:05' }, at(9, 5, 1)],
    [{ minutes: '' }, null], [{ minutes: '0' }, null], [{ minutes: '-1' }, null], [{ minutes: 'abc' }, null],
    [{ minutes: '1441' }, null], [{ clock: '24:00' }, null], [{ clock: '12:60' }, null],
  ];
  for (const [input, end] of ends) assert.equal(countdownEnd(input, now), end, JSON.stringify(input));
  const shown = [[0, '0:00'], [1, '0:01'], [999, '0:01'], [1000, '0:01'], [1001, '0:02'], [59000, '0:59'], [60000, '1:00'], [3599999, '1:00:00'], [3600000, '1:00:00'], [3601000, '1:00:01'], [-5, '0:00']];
  for (const [ms, text] of shown) assert.equal(formatRemaining(ms), text, String(ms));
  assert.deepEqual([remainingMs(10, 4), remainingMs(4, 10)], [6, 0]);
  assert.deepEqual([4300, 4000, 1].map(nextTickMs), [300, 1000, 1]);
});
