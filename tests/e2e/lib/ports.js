'use strict';
// Free loopback ports for test servers.

const crypto = require('node:crypto');
const net = require('node:net');

function listen(port) {
  return new Promise((resolve, reject) => {
    const server = net.createServer((s) => s.destroy());
    server.once('error', reject);
    server.listen({ host: '127.0.0.1', port, exclusive: true }, () => resolve(server));
  });
}
const closeServer = (server) => new Promise((r) => server.close(() => r()));

/**
 * First of count consecutive ports on 127.0.0.1 that can all be bound right now (so none a running
 * test server holds). Above Linux's ephemeral range, so outgoing connections cannot take them.
 */
async function freePorts(count = 1) {
  for (let attempt = 0; attempt < 50; attempt++) {
    const first = 61000 + crypto.randomInt(4000);
    const ports = Array.from({ length: count }, (_, i) => first + i);
    const servers = [];
    try {
      for (const port of ports) servers.push(await listen(port));
      return first;
    } catch { /* taken, try elsewhere */ } finally {
      await Promise.all(servers.map(closeServer));
    }
  }
  throw new Error(`found no ${count} consecutive free ports`);
}

module.exports = { freePorts, listen, closeServer };
