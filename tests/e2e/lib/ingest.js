'use strict';
// A real RTMP ingest for OBS to stream to: nginx with the RTMP module, one
// process in the foreground with its own prefix folder, plus an HTTP /stat.

const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { freePorts } = require('./ports');

const NGINX = process.env.VELMORA_E2E_NGINX || '/usr/sbin/nginx';
const RTMP_MODULE = '/usr/lib/nginx/modules/ngx_rtmp_module.so';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Ingests still running; killed if the test process goes away.
const live = new Set();
let hooked = false;
function installExitHook() {
  if (hooked) return;
  hooked = true;
  process.on('exit', () => {
    for (const pid of live) {
      try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ }
    }
  });
}

function config(prefix, rtmpPort, httpPort) {
  const p = (name) => path.join(prefix, name);
  return `load_module ${RTMP_MODULE};
daemon off;
master_process off;
worker_processes 1;
pid ${p('nginx.pid')};
error_log ${p('error.log')} info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:${rtmpPort}; application live { live on; record off; } } }
http {
  access_log ${p('access.log')};
  client_body_temp_path ${p('tmp')}; proxy_temp_path ${p('tmp')}; fastcgi_temp_path ${p('tmp')};
  uwsgi_temp_path ${p('tmp')}; scgi_temp_path ${p('tmp')};
  server { listen 127.0.0.1:${httpPort}; location /stat { rtmp_stat all; } }
}
`;
}

function httpGet(port, target, timeoutMs = 2000) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port, path: target, timeout: timeoutMs }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks).toString('utf8') }));
      res.on('error', reject);
    });
    req.on('timeout', () => req.destroy(new Error(`GET ${target} timed out`)));
    req.on('error', reject);
  });
}

const tag = (xml, name) => {
  const m = xml.match(new RegExp(`<${name}>([^<]*)</${name}>`));
  return m ? m[1] : null;
};
const num = (xml, name) => {
  const v = tag(xml, name);
  return v === null ? null : Number(v);
};

/**
 * Parses rtmp_stat's XML into the server totals and the streams of
 * application "live". Byte counts include RTMP framing; bw_* are bits/s
 * averaged by nginx over its own interval.
 */
function parseStat(xml) {
  const streams = [];
  const app = xml.match(/<application>\s*<name>live<\/name>([\s\S]*?)<\/application>/);
  for (const m of (app ? app[1] : '').matchAll(/<stream>([\s\S]*?)<\/stream>/g)) {
    const s = m[1];
    const head = s.replace(/<client>[\s\S]*?<\/client>/g, '').replace(/<meta>[\s\S]*?<\/meta>/g, '');
    streams.push({
      name: tag(head, 'name'),
      timeMs: num(head, 'time'),
      bytesIn: num(head, 'bytes_in'),
      bwIn: num(head, 'bw_in'),
      bwVideo: num(head, 'bw_video'),
      bwAudio: num(head, 'bw_audio'),
      publishing: /<publishing\/>/.test(s),
      meta: (s.match(/<meta>([\s\S]*?)<\/meta>/) || [])[1] || '',
    });
  }
  const top = xml.replace(/<server>[\s\S]*<\/server>/, '');
  return { bytesIn: num(top, 'bytes_in'), bwIn: num(top, 'bw_in'), streams };
}

/**
 * Starts nginx as an RTMP ingest on free loopback ports and waits until both
 * ports answer. Resolves to { rtmpPort, httpPort, url, stat(), log(), stop() };
 * url is the RTMP application URL ("rtmp://127.0.0.1:<port>/live").
 */
async function startIngest() {
  installExitHook();
  let lastError = null;
  for (let attempt = 0; attempt < 3; attempt++) {
    const rtmpPort = await freePorts(2);
    try {
      return await launch(rtmpPort, rtmpPort + 1);
    } catch (err) {
      lastError = err; // most likely a port race; try other ports
    }
  }
  throw lastError;
}

async function launch(rtmpPort, httpPort) {
  const prefix = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-ingest-'));
  fs.mkdirSync(path.join(prefix, 'tmp'));
  const confFile = path.join(prefix, 'nginx.conf');
  fs.writeFileSync(confFile, config(prefix, rtmpPort, httpPort));

  const child = spawn(NGINX, ['-p', `${prefix}/`, '-e', path.join(prefix, 'error.log'), '-c', confFile],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  live.add(child.pid);
  let output = '';
  child.stdout.on('data', (c) => { output += c; });
  child.stderr.on('data', (c) => { output += c; });
  let exitInfo = null;
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    exitInfo = { code, signal };
    live.delete(child.pid);
    resolve(exitInfo);
  }));

  const errorLog = () => {
    try { return fs.readFileSync(path.join(prefix, 'error.log'), 'utf8'); } catch { return ''; }
  };

  let stopping = null;
  function stop(timeoutMs = 5000) {
    if (stopping) return stopping;
    stopping = (async () => {
      if (!exitInfo) {
        try { process.kill(child.pid, 'SIGQUIT'); } catch { /* gone */ }
        let timer;
        const late = new Promise((r) => { timer = setTimeout(r, timeoutMs, 'late'); });
        const how = await Promise.race([exited, late]).finally(() => clearTimeout(timer));
        if (how === 'late') {
          try { process.kill(child.pid, 'SIGKILL'); } catch { /* gone */ }
          await exited;
        }
      }
      const result = { ...exitInfo, output, errorLog: errorLog() };
      if (!process.env.VELMORA_E2E_KEEP) fs.rmSync(prefix, { recursive: true, force: true });
      return result;
    })();
    return stopping;
  }

  const handle = {
    pid: child.pid,
    prefix,
    rtmpPort,
    httpPort,
    url: `rtmp://127.0.0.1:${rtmpPort}/live`,
    async statXml() {
      const reply = await httpGet(httpPort, '/stat');
      if (reply.status !== 200) throw new Error(`/stat answered ${reply.status}`);
      return reply.body;
    },
    async stat() { return parseStat(await this.statXml()); },
    async stream(name) { return (await this.stat()).streams.find((s) => s.name === name) || null; },
    log: () => output + errorLog(),
    stop,
    exited,
  };

  const deadline = Date.now() + 5000;
  for (;;) {
    if (exitInfo) {
      const text = output + errorLog();
      await stop();
      throw new Error(`nginx exited (code ${exitInfo.code}) while starting:\n${text}`);
    }
    try {
      await handle.statXml();
      break;
    } catch (err) {
      if (Date.now() > deadline) {
        await stop();
        throw new Error(`nginx did not answer on ${httpPort}: ${err.message}\n${output}${errorLog()}`);
      }
      await sleep(50);
    }
  }
  return handle;
}

module.exports = { startIngest, parseStat };
