'use strict';
// obs-websocket 5 as a test instrument, through obs-websocket-js: asks OBS itself what it holds in
// memory (e.g. the stream service), independent of the module.

const { OBSWebSocket } = require('obs-websocket-js/json');

/**
 * Connects and identifies (with password, when given); resolves to { request(type, data), vendor(type, data),
 * vendorEvents, streamService(), close() }. vendor() calls a request of the vendor "velmora" and resolves to its
 * responseData; vendorEvents lists its events as they come ({ type, data, text }).
 */
async function connectObsWebSocket(port, password) {
  const obs = new OBSWebSocket();
  await obs.connect(`ws://127.0.0.1:${port}`, password);
  const vendorEvents = [];
  obs.on('VendorEvent', (e) => {
    if (e.vendorName === 'velmora') vendorEvents.push({ type: e.eventType, data: e.eventData, text: JSON.stringify(e.eventData) });
  });
  return {
    obs,
    vendorEvents,
    request: async (type, data) => (await obs.call(type, data)) || {},
    vendor: async (requestType, requestData) =>
      (await obs.call('CallVendorRequest', { vendorName: 'velmora', requestType, ...(requestData && { requestData }) })).responseData,
    /** The stream service OBS holds in memory, as { type, settings }. */
    async streamService() {
      const s = await obs.call('GetStreamServiceSettings');
      return { type: s.streamServiceType, settings: s.streamServiceSettings };
    },
    close: () => obs.disconnect(),
  };
}

module.exports = { connectObsWebSocket };
