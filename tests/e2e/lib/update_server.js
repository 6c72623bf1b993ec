'use strict';
// A stand-in for the service's update server, on loopback only. Each path answers as its route
// says; routes are set by the test in-process (setRoutes) or over HTTP (POST /__routes) when the
// server runs as its own process (node update_server.js [--tls cert key] prints "port <n>").
//
// A route: { status = 200, body (text) | file (path), length: 'exact' | 'none' | <number>,
//   sendBytes: stop after that many body bytes and close, chunkBytes + chunkDelayMs: pace the body,
//   stall: accept and send nothing, location: a redirect target, chunked: send the body in chunked
//   encoding (any length header is sent as well, and means nothing) }
const crypto = require('crypto');
const fs = require('fs');
const net = require('net');
const path = require('path');
const tls = require('tls');

const FIXTURES = require('./obs_build').fixturesDir;
const INSTALLER = path.join(FIXTURES, 'installer-signed.exe');
const CHECK = '/api/v1/version/check';
const DOWNLOAD = '/builds/velmora-obs-plugin/windows/Velmora-for-OBS-1.0.2-Setup.exe';

// The check answer offering version 1.0.2 as the signed test installer.
function installerRecord(server, releaseNotes = 'Faster') {
  const bytes = fs.readFileSync(INSTALLER);
  return JSON.stringify({
    latestVersion: '1.0.2', downloadUrl: server.origin + DOWNLOAD, releaseNotes, isRequired: false,
    checksum: crypto.createHash('sha256').update(bytes).digest('hex'), fileSize: String(bytes.length),
  });
}

function createUpdateServer({ tlsFiles } = {}) {
  let routes = {};
  const requests = [];
  const sockets = new Set();

  // Waits ms, or less when the socket closes, so no timer outlives its connection.
  function pause(socket, ms) {
    return new Promise((resolve) => {
      const timer = setTimeout(resolve, ms);
      socket.once('close', () => { clearTimeout(timer); resolve(); });
    });
  }

  async function answer(socket, route) {
    if (route.stall) return; // the socket stays open and silent until closed
    let body = route.file ? fs.readFileSync(route.file) : Buffer.from(route.body ?? '');
    const announced = route.length === 'none' ? null : typeof route.length === 'number' ? route.length : body.length;
    if (route.sendBytes !== undefined) body = body.subarray(0, route.sendBytes);
    const status = route.status ?? 200;
    const head = [`HTTP/1.1 ${status} X`, 'Connection: close'];
    if (announced !== null) head.push(`Content-Length: ${announced}`);
    if (route.location) head.push(`Location: ${route.location}`);
    if (route.chunked) head.push('Transfer-Encoding: chunked');
    socket.write(head.join('\r\n') + '\r\n\r\n');
    const chunk = route.chunkBytes || 1 << 20;
    for (let at = 0; at < body.length && !socket.destroyed; at += chunk) {
      let piece = body.subarray(at, at + chunk);
      if (route.chunked) piece = Buffer.concat([Buffer.from(`${piece.length.toString(16)}\r\n`), piece, Buffer.from('\r\n')]);
      if (!socket.write(piece)) await new Promise((resolve) => { socket.once('drain', resolve); socket.once('close', resolve); });
      if (route.chunkDelayMs) await pause(socket, route.chunkDelayMs);
    }
    socket.end(route.chunked ? '0\r\n\r\n' : undefined);
  }

  function control(socket, method, target, body) {
    if (method === 'POST' && target === '/__routes') {
      routes = JSON.parse(body);
      requests.length = 0;
    }
    const reply = JSON.stringify(target === '/__requests' ? requests : { ok: true });
    socket.end(`HTTP/1.1 200 OK\r\nContent-Length: ${Buffer.byteLength(reply)}\r\nConnection: close\r\n\r\n${reply}`);
  }

  function onConnection(socket) {
    sockets.add(socket);
    socket.on('close', () => sockets.delete(socket));
    socket.on('error', () => {});
    let received = Buffer.alloc(0);
    socket.on('data', (data) => {
      received = Buffer.concat([received, data]);
      const end = received.indexOf('\r\n\r\n');
      if (end < 0) return;
      const lines = received.subarray(0, end).toString('latin1').split('\r\n');
      const [method, target] = lines[0].split(' ');
      const headers = {};
      for (const line of lines.slice(1)) {
        const colon = line.indexOf(':');
        headers[line.slice(0, colon).toLowerCase()] = line.slice(colon + 1).trim();
      }
      const length = Number(headers['content-length'] || 0);
      if (received.length < end + 4 + length) return;
      socket.removeAllListeners('data');
      const body = received.subarray(end + 4, end + 4 + length).toString();
      if (target.startsWith('/__')) return control(socket, method, target, body);
      requests.push({ method, target, headers });
      const route = routes[target] ?? routes[target.split('?')[0]] ?? { status: 404, body: 'not found' };
      answer(socket, route).catch(() => socket.destroy());
    });
  }

  const server = tlsFiles
    ? tls.createServer({ cert: fs.readFileSync(tlsFiles.cert), key: fs.readFileSync(tlsFiles.key) }, onConnection)
    : net.createServer(onConnection);
  return {
    listen: () => new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port))),
    get origin() { return `http://127.0.0.1:${server.address().port}`; },
    // The requests since the routes were last set: { method, target, headers }.
    get requests() { return requests.slice(); },
    setRoutes(next) {
      routes = next;
      requests.length = 0;
    },
    close() {
      for (const socket of sockets) socket.destroy();
      return new Promise((resolve) => server.close(() => resolve()));
    },
  };
}

module.exports = { createUpdateServer, installerRecord, INSTALLER, CHECK, DOWNLOAD };

if (require.main === module) {
  const args = process.argv.slice(2);
  const tlsAt = args.indexOf('--tls');
  const server = createUpdateServer(tlsAt >= 0 ? { tlsFiles: { cert: args[tlsAt + 1], key: args[tlsAt + 2] } } : {});
  server.listen().then((port) => console.log(`port ${port}`));
  process.on('SIGTERM', () => server.close().then(() => process.exit(0)));
}
