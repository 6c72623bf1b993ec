// What both overlay pages share: the language and options from the query, the theme on the body, and the
// /overlay connection that hands each published state to the page.
import { ModuleSocket, tokenFrom } from './connection.js';
import { localisePage } from './i18n.js';
import { readOptions } from './overlay-query.js';
import { sanitiseOverlayState } from './overlay-state.js';

export function startOverlay(kind, onState) {
  localisePage();
  const options = readOptions(kind, location.search);
  document.body.dataset.theme = options.theme;
  document.body.dataset.size = options.size;
  const token = tokenFrom(location.hash, 'o');
  if (!token) {
    document.body.dataset.connection = 'no-token';
    return options;
  }
  const socket = new ModuleSocket('/overlay', token, {
    onOpen() {},
    onMessage(message) {
      if (message.event === 'overlay_state') onState(sanitiseOverlayState(message));
    },
    onStatus(status) {
      document.body.dataset.connection = status;
    },
  }, { giveUp: true });
  socket.start();
  return options;
}
