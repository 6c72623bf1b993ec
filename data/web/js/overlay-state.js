// What the dock publishes to the overlay pages: the whole picture every time (chat and countdown
// together), since the module keeps only the last publication for pages that connect later.

export const CHAT_KEEP = 20;
export const CHAT_TEXT_LIMIT = 200;
export const TITLE_LIMIT = 80;

export function emptyOverlayState() {
  return { chat: { messages: [] }, countdown: { title: '', endsAt: 0 } };
}

function text(value, limit) {
  return typeof value === 'string' ? value.trim().slice(0, limit) : '';
}

export function addChatMessage(state, raw, now) {
  const body = text(raw, CHAT_TEXT_LIMIT);
  if (!body) return null;
  const last = state.chat.messages[state.chat.messages.length - 1];
  // Ids only need to grow: two messages in one millisecond still differ.
  const id = last && last.id >= now ? last.id + 1 : now;
  const messages = state.chat.messages.concat([{ id, text: body, at: now }]).slice(-CHAT_KEEP);
  return { ...state, chat: { messages } };
}

export function setCountdown(state, title, endsAt) {
  return { ...state, countdown: { title: text(title, TITLE_LIMIT), endsAt } };
}

export function clearCountdown(state) {
  return { ...state, countdown: { title: '', endsAt: 0 } };
}

// A stored or received state, keeping only well-formed parts.
export function sanitiseOverlayState(value) {
  const clean = emptyOverlayState();
  if (!value || typeof value !== 'object') return clean;
  const chat = value.chat && Array.isArray(value.chat.messages) ? value.chat.messages : [];
  clean.chat.messages = chat
    .filter((m) => m && Number.isFinite(m.id) && Number.isFinite(m.at) && typeof m.text === 'string')
    .map((m) => ({ id: m.id, text: m.text.slice(0, CHAT_TEXT_LIMIT), at: m.at }))
    .slice(-CHAT_KEEP);
  const countdown = value.countdown;
  if (countdown && Number.isFinite(countdown.endsAt) && countdown.endsAt > 0) {
    clean.countdown = { title: text(countdown.title, TITLE_LIMIT), endsAt: countdown.endsAt };
  }
  return clean;
}
