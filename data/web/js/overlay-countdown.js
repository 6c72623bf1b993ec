// The countdown overlay: the time left, counted here between publications, then a finished state.
import { formatRemaining, nextTickMs, remainingMs } from './countdown.js';
import { startOverlay } from './overlay-page.js';

const $ = (id) => document.getElementById(id);
let countdown = { title: '', endsAt: 0 };
let timer = 0;
const options = startOverlay('countdown', (state) => {
  countdown = state.countdown;
  render();
});

function render() {
  clearTimeout(timer);
  const box = $('countdown');
  if (!countdown.endsAt) {
    box.hidden = true;
    return;
  }
  const left = remainingMs(countdown.endsAt, Date.now());
  const done = left === 0;
  box.hidden = done && options.done === 'hide';
  box.dataset.done = String(done);
  $('countdown-title').textContent = countdown.title;
  $('countdown-title').hidden = countdown.title === '';
  $('countdown-time').textContent = formatRemaining(left);
  $('countdown-done').hidden = !done;
  if (!done) timer = setTimeout(render, nextTickMs(left));
}
