'use strict';
// obs-websocket 5 as a test instrument, through obs-websocket-js: asks OBS itself what it holds in
// memory (e.g. the stream service), independent of the module.

const { OBSWebSocket } = require('obs-websocket-js/json');

/** Connects and identifies; resolves to { request(type, data), streamService(), close() }. */
async function connectObsWebSocket(port) {
  const obs = new OBSWebSocket();
  await obs.connect(`ws://127.0.0.1:${port}`);
  return {
    request: async (type, data) => (await obs.call(type, data)) || {},
    /** The stream service OBS holds in memory, as { type, settings }. */
    async streamService() {
      const s = await obs.call('GetStreamServiceSettings');
      return { type: s.streamServiceType, settings: s.streamServiceSettings };
    },
    close: () => obs.disconnect(),
  };
}

module.exports = { connectObsWebSocket };
