// Countdown arithmetic shared by the dock (setting an end) and the overlay (showing what is left).
import { duration } from './words.js';

const DAY_MS = 24 * 60 * 60 * 1000;

export function remainingMs(endsAt, now) {
  return Math.max(0, endsAt - now);
}

// Whole seconds left, rounded up, so "0:00" shows only once the time is really up; in the page's
// digits.
export function formatRemaining(ms) {
  return duration(Math.ceil(Math.max(0, ms) / 1000), false);
}

// The moment to count down to, from "minutes from now" or a clock time "HH:MM" (the next time the
// clock shows it, today or tomorrow); the clock time wins when both are given. Null when neither
// makes sense. A countdown is at most a day long.
export function countdownEnd({ minutes, clock }, now) {
  const match = /^(\d{1,2}):(\d{2})$/.exec(clock || '');
  if (match) {
    const hours = Number(match[1]);
    const mins = Number(match[2]);
    if (hours > 23 || mins > 59) return null;
    const at = new Date(now);
    at.setHours(hours, mins, 0, 0);
    let end = at.getTime();
    if (end <= now) {
      at.setDate(at.getDate() + 1);
      end = at.getTime();
    }
    return end;
  }
  const value = Number(minutes);
  if (String(minutes).trim() === '' || !Number.isFinite(value) || value <= 0 || value * 60000 > DAY_MS) return null;
  return now + Math.round(value * 60000);
}

// The time until the next change of the shown second, for a timer that ticks on the second.
export function nextTickMs(ms) {
  const rest = ms % 1000;
  return rest === 0 ? 1000 : rest;
}
