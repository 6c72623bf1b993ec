// The chat overlay: the latest messages, each fading out after the chosen time.
import { startOverlay } from './overlay-page.js';

const FADE_MS = 1000;
const list = document.getElementById('messages');
let messages = [];
let timer = 0;
const options = startOverlay('chat', (state) => {
  messages = state.chat.messages;
  render();
});

function render() {
  clearTimeout(timer);
  const now = Date.now();
  const lifeMs = options.fade * 1000;
  const visible = messages.filter((m) => lifeMs === 0 || now - m.at < lifeMs).slice(-options.max);
  const kept = new Map();
  for (const item of Array.from(list.children)) kept.set(Number(item.dataset.id), item);
  const items = visible.map((m) => {
    const item = kept.get(m.id) || document.createElement('li');
    if (!item.dataset.id) {
      item.dataset.id = String(m.id);
      item.textContent = m.text;
      if (lifeMs > 0) item.style.animationDelay = `0ms, ${Math.max(0, lifeMs - (now - m.at) - FADE_MS)}ms`;
      else item.classList.add('stays');
    }
    return item;
  });
  list.replaceChildren(...items);
  if (lifeMs > 0 && visible.length) {
    const nextExpiry = Math.min(...visible.map((m) => m.at + lifeMs)) - now;
    timer = setTimeout(render, Math.max(50, nextExpiry));
  }
}
