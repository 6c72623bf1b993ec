'use strict';
// A real RTMP ingest for OBS to stream to: nginx with the RTMP module, one process in the
// foreground with its own prefix folder, and its /stat page over HTTP.

const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { freePorts } = require('./ports');
const { poll } = require('./checks');

const live = new Set();
process.on('exit', () => { for (const pid of live) { try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ } } });

const config = (prefix, rtmpPort, httpPort) => `load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off; master_process off; worker_processes 1; pid ${prefix}/nginx.pid;
error_log ${prefix}/error.log info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:${rtmpPort}; application live { live on; record off; } } }
http {
  access_log off; client_body_temp_path ${prefix}/tmp; proxy_temp_path ${prefix}/tmp; fastcgi_temp_path ${prefix}/tmp;
  uwsgi_temp_path ${prefix}/tmp; scgi_temp_path ${prefix}/tmp;
  server { listen 127.0.0.1:${httpPort}; location /stat { rtmp_stat all; } }
}
`;

async function getStat(port) {
  const res = await fetch(`http://127.0.0.1:${port}/stat`, { signal: AbortSignal.timeout(2000) });
  if (res.status !== 200) throw new Error(`/stat: ${res.status}`);
  return res.text();
}

// One stream of application "live" from rtmp_stat's XML: bytes received (with RTMP framing),
// whether it is publishing, and its metadata.
function parseStream(xml, name) {
  const tag = (text, t) => (text.match(new RegExp(`<${t}>([\\s\\S]*?)</${t}>`)) || [])[1];
  const s = [...xml.matchAll(/<stream>([\s\S]*?)<\/stream>/g)].map((m) => m[1]).find((x) => tag(x, 'name') === name);
  return s ? { bytesIn: Number(tag(s, 'bytes_in')), publishing: s.includes('<publishing/>'), meta: tag(s, 'meta') || '' }
    : null;
}

/** Starts nginx on free loopback ports; resolves to { url, rtmpPort, httpPort, stream(name), stop() }. */
async function startIngest() {
  const rtmpPort = await freePorts(2);
  const httpPort = rtmpPort + 1;
  const prefix = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-ingest-'));
  fs.mkdirSync(path.join(prefix, 'tmp'));
  fs.writeFileSync(path.join(prefix, 'nginx.conf'), config(prefix, rtmpPort, httpPort));
  const child = spawn('/usr/sbin/nginx', ['-p', `${prefix}/`, '-e', `${prefix}/error.log`, '-c', `${prefix}/nginx.conf`],
    { stdio: 'ignore' });
  live.add(child.pid);
  let exitInfo = null;
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    live.delete(child.pid);
    exitInfo = { code, signal };
    resolve(exitInfo);
  }));
  const stop = async () => {
    if (!exitInfo) {
      try { process.kill(child.pid, 'SIGQUIT'); } catch { /* gone */ }
      const late = setTimeout(() => { try { process.kill(child.pid, 'SIGKILL'); } catch { /* gone */ } }, 5000);
      await exited.finally(() => clearTimeout(late));
    }
    if (!process.env.VELMORA_E2E_KEEP) fs.rmSync(prefix, { recursive: true, force: true });
    return exitInfo;
  };
  try {
    await poll(() => exitInfo || getStat(httpPort), 5000, 'nginx answering /stat');
    if (exitInfo) throw new Error(`exited with ${JSON.stringify(exitInfo)}`);
  } catch (err) {
    await stop();
    throw new Error(`nginx did not start: ${err.message}`, { cause: err });
  }
  return {
    rtmpPort, httpPort, url: `rtmp://127.0.0.1:${rtmpPort}/live`, stop,
    stream: async (name) => parseStream(await getStat(httpPort), name),
    // An ingest that stops answering, and comes back.
    pause: () => process.kill(child.pid, 'SIGSTOP'),
    resume: () => process.kill(child.pid, 'SIGCONT'),
    // A slow link to the ingest: traffic to its port shaped on loopback (the suite's own network
    // namespace, as root); returns the undo.
    throttle(kbit) {
      const tc = (...args) => execFileSync('tc', args, { stdio: 'pipe' });
      tc('qdisc', 'add', 'dev', 'lo', 'root', 'handle', '1:', 'htb', 'default', '10');
      tc('class', 'add', 'dev', 'lo', 'parent', '1:', 'classid', '1:10', 'htb', 'rate', '10gbit');
      tc('class', 'add', 'dev', 'lo', 'parent', '1:', 'classid', '1:20', 'htb', 'rate', `${kbit}kbit`, 'ceil', `${kbit}kbit`);
      tc('filter', 'add', 'dev', 'lo', 'parent', '1:', 'protocol', 'ip', 'prio', '1', 'u32', 'match', 'ip', 'dport',
        String(rtmpPort), '0xffff', 'flowid', '1:20');
      return () => tc('qdisc', 'del', 'dev', 'lo', 'root');
    },
  };
}

/** A port that takes connections and never says a word; resolves to { url, close() }. */
async function startSilentServer() {
  const port = await freePorts();
  const sockets = new Set();
  const server = net.createServer((socket) => {
    sockets.add(socket);
    socket.on('close', () => sockets.delete(socket));
    socket.on('error', () => {});
  });
  await new Promise((resolve, reject) => server.listen(port, '127.0.0.1', resolve).once('error', reject));
  return {
    url: `rtmp://127.0.0.1:${port}/live`,
    close: () => new Promise((resolve) => {
      for (const socket of sockets) socket.destroy();
      server.close(resolve);
    }),
  };
}

module.exports = { startIngest, startSilentServer };
