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
  const shown = new Set(visible.map((m) => m.id));
  // Messages that stay keep their element, so their animations are not started again.
  const kept = new Set();
  for (const item of Array.from(list.children)) {
    const id = Number(item.dataset.id);
    if (shown.has(id)) kept.add(id);
    else item.remove();
  }
  for (const m of visible) {
    if (kept.has(m.id)) continue;
    const item = document.createElement('li');
    item.dataset.id = String(m.id);
    item.textContent = m.text;
    if (lifeMs > 0) item.style.animationDelay = `0ms, ${Math.max(0, lifeMs - (now - m.at) - FADE_MS)}ms`;
    else item.classList.add('stays');
    list.appendChild(item);
  }
  if (lifeMs > 0 && visible.length) {
    const nextExpiry = Math.min(...visible.map((m) => m.at + lifeMs)) - now;
    timer = setTimeout(render, Math.max(50, nextExpiry));
  }
}
