'use strict';
// Runs a real OBS Studio with the built module in an isolated HOME under Xvfb.

const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { sleep, poll, watcher, lateFrontendCalls } = require('./checks');
const { connectBridge, DOCK_SERVER } = require('./bridge');
const OBS_BUILD = require('./obs_build');

const MODULE_NAME = 'velmora-obs-plugin';
const BUILD_DIR = OBS_BUILD.buildDir;
// Overridable for a build in another folder (a second work tree, say).
const STAGE_DIR = process.env.VELMORA_E2E_STAGE || path.join(BUILD_DIR, 'stage', 'plugins', MODULE_NAME);
const ARTIFACTS_DIR = path.join(__dirname, '..', '.artifacts');
const STAND_INS_DIR = process.env.VELMORA_E2E_STAND_INS || path.join(BUILD_DIR, 'tests');
// The module built to trust the test root and publisher of the signed test installers.
const TEST_TRUST_MODULE = path.join(STAND_INS_DIR, 'test-trust', `${MODULE_NAME}.so`);

const ini = (sections) => Object.entries(sections)
  .map(([name, keys]) => `[${name}]\n${Object.entries(keys).map(([k, v]) => `${k}=${v}\n`).join('')}`).join('\n');
const merge = (base, over = {}) => Object.fromEntries(
  [...new Set([...Object.keys(base), ...Object.keys(over)])].map((s) => [s, { ...base[s], ...over[s] }]));

// Each key keeps a dialog or the first-run wizard from blocking OBS.
const GLOBAL_INI = {
  General: { FirstRun: 'false', LastVersion: OBS_BUILD.lastVersion, ConfirmOnExit: 'false' },
  Basic: { Profile: 'test', ProfileDir: 'test', SceneCollection: 'test', SceneCollectionFile: 'test' },
  BasicWindow: { PreviewEnabled: 'false' },
};
// A tiny canvas and the cheapest encoder keep OBS around 5 % of one core.
const PROFILE_INI = {
  General: { Name: 'test' },
  Video: { BaseCX: 320, BaseCY: 180, OutputCX: 320, OutputCY: 180, FPSType: 1, FPSInt: 10 },
  Output: { Mode: 'Simple' },
  SimpleOutput: { StreamEncoder: 'x264', Preset: 'ultrafast', VBitrate: 150, ABitrate: 64, UseAdvanced: 'true',
    x264Settings: 'keyint=20' },
};
const SCENE_COLLECTION = {
  name: 'test', current_scene: 'Scene', current_program_scene: 'Scene', scene_order: [{ name: 'Scene' }],
  sources: [{ id: 'scene', versioned_id: 'scene', name: 'Scene', settings: { id_counter: 0, items: [] } }],
};

function writeFile(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

// Process groups and homes still there; removed if the test process goes away.
const liveGroups = new Set();
const liveHomes = new Set();
const keep = () => Boolean(process.env.VELMORA_E2E_KEEP);
process.on('exit', () => {
  for (const g of liveGroups) { try { process.kill(-g, 'SIGKILL'); } catch { /* gone */ } }
  if (!keep()) for (const h of liveHomes) fs.rmSync(h, { recursive: true, force: true });
});
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.once(sig, () => process.exit(1));

/**
 * A throw-away HOME with an OBS configuration that opens no dialog, and the staged module.
 * options: globalIni, profileIni (merged over the defaults), service, profiles ({ name: service }),
 * obsWebSocket (a port: obs-websocket listens there, without alerts, and without authentication unless
 * obsWebSocketPassword is given),
 * config (the module's, an object), standIns (names of test modules to install: "obs-browser", "velmora-probe"),
 * testTrust (install the module that trusts the test installers' signer), webPanel (install the Qt WebEngine
 * panel provider as the run script does), module (false: no module in the home, as where a package installed it).
 * The home's bin/xdg-open is the system browser OBS sees: it appends
 * each URL to the home's opened-urls.txt. OBS runs with home.token as the module's bridge token.
 */
function makeHome(options = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-'));
  liveHomes.add(home);
  const obsDir = path.join(home, '.config', 'obs-studio');
  const profileDir = path.join(obsDir, 'basic', 'profiles', 'test');
  const configDir = path.join(obsDir, 'plugin_config', MODULE_NAME);
  const pluginDir = (name) => path.join(obsDir, 'plugins', name);
  const binary = (name) => path.join(pluginDir(name), 'bin', '64bit', `${name}.so`);
  const password = options.obsWebSocketPassword || '';
  const globalIni = ini(merge(merge(GLOBAL_INI, options.globalIni), options.obsWebSocket && {
    OBSWebSocket: { FirstLoad: 'false', ServerEnabled: 'true', ServerPort: options.obsWebSocket,
      AlertsEnabled: 'false', AuthRequired: String(Boolean(password)), ServerPassword: password } }));
  writeFile(path.join(obsDir, 'global.ini'), globalIni);
  if (OBS_BUILD.userIni) writeFile(path.join(obsDir, 'user.ini'), globalIni);
  if (options.obsWebSocket) {
    // obs-websocket 5.3 and later keep their settings here.
    writeFile(path.join(obsDir, 'plugin_config', 'obs-websocket', 'config.json'), JSON.stringify({
      first_load: false, server_enabled: true, server_port: options.obsWebSocket, alerts_enabled: false,
      auth_required: Boolean(password), server_password: password }));
  }
  writeFile(path.join(profileDir, 'basic.ini'), ini(merge(PROFILE_INI, options.profileIni)));
  if (options.service) writeFile(path.join(profileDir, 'service.json'), JSON.stringify(options.service));
  for (const [name, service] of Object.entries(options.profiles || {})) {
    const dir = path.join(obsDir, 'basic', 'profiles', name);
    writeFile(path.join(dir, 'basic.ini'), ini(merge(PROFILE_INI, { General: { Name: name } })));
    writeFile(path.join(dir, 'service.json'), JSON.stringify(service));
  }
  writeFile(path.join(obsDir, 'basic', 'scenes', 'test.json'), JSON.stringify(SCENE_COLLECTION));
  // A file where OBS expects a folder: the services list update fails at once instead of going online.
  writeFile(path.join(obsDir, 'plugin_config', 'rtmp-services'), '');
  if (options.config) writeFile(path.join(configDir, 'config.json'), JSON.stringify(options.config));
  for (const name of options.standIns || []) {
    writeFile(binary(name), fs.readFileSync(path.join(STAND_INS_DIR, `${name}.so`)));
  }
  writeFile(path.join(home, 'bin', 'xdg-open'), `#!/bin/sh\necho "$1" >> "${home}/opened-urls.txt"\n`);
  fs.chmodSync(path.join(home, 'bin', 'xdg-open'), 0o755);
  if (options.module !== false) {
    if (!fs.existsSync(path.join(STAGE_DIR, 'bin', '64bit', `${MODULE_NAME}.so`))) {
      throw new Error(`module not built in ${STAGE_DIR} (set VELMORA_E2E_STAGE to the staged folder)`);
    }
    fs.cpSync(STAGE_DIR, pluginDir(MODULE_NAME), { recursive: true });
  }
  if (options.webPanel) {
    fs.cpSync(path.join(STAGE_DIR, '..', 'velmora-web-panel'), pluginDir('velmora-web-panel'), { recursive: true });
  }
  if (options.testTrust) fs.copyFileSync(TEST_TRUST_MODULE, binary(MODULE_NAME));
  return {
    home, obsDir, profileDir, configDir, token: crypto.randomBytes(32).toString('hex'),
    configFile: path.join(configDir, 'config.json'),
    readConfig() { return JSON.parse(fs.readFileSync(this.configFile, 'utf8')); },
    openedUrls() {
      const file = path.join(home, 'opened-urls.txt');
      return fs.existsSync(file) ? fs.readFileSync(file, 'utf8').split('\n').filter(Boolean) : [];
    },
    // The URL the stand-in system browser is given after the first `seen` (it starts apart from OBS, a little later).
    nextOpened(seen) {
      return poll(() => this.openedUrls()[seen], 2000, `a URL opened after ${seen}`);
    },
    cleanup() {
      liveHomes.delete(home);
      if (!keep()) fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// The state letter of /proc/<pid>/stat and the fields after it; null when the process is gone.
function statFields(pid) {
  try { return fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ').at(-1).split(' '); } catch { return null; }
}

/** True while the process runs: a zombie waiting to be reaped has ended. */
const running = (pid) => { const f = statFields(pid); return !!f && f[0] !== 'Z'; };

/** PIDs of the processes whose command line contains text (Qt WebEngine's helpers, say). */
const pidsWithCommand = (text) => fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n)).filter((n) => {
  try { return fs.readFileSync(`/proc/${n}/cmdline`, 'utf8').includes(text); } catch { return false; }
}).map(Number);

// True while a process of the group runs (zombies waiting to be reaped do not count).
function groupAlive(pgid) {
  return fs.readdirSync('/proc').some((name) => {
    const f = statFields(name);
    return !!f && Number(f[2]) === pgid && f[0] !== 'Z';
  });
}

// The first child of a process (the program gdb runs), or null.
function childOf(pid) {
  try { return Number(fs.readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').trim().split(' ')[0]) || null; } catch {
    return null;
  }
}

// gdb lets every signal through to OBS and, should OBS crash, prints the crashing thread's stack after this line.
const GDB_AFTER_RUN = '[gdb] after run';
const GDB_COMMANDS = ['set pagination off', 'set confirm off', 'handle SIGINT nostop noprint pass',
  'handle SIGPIPE nostop noprint pass', 'handle SIGUSR1 nostop noprint pass', 'handle SIGUSR2 nostop noprint pass',
  'run', `echo ${GDB_AFTER_RUN}\\n`, 'bt 40'].flatMap((c) => ['-ex', c]);

// The CPU time (ns) a thread has used; null once it is gone.
function threadRunTime(pid, tid = pid) {
  try { return Number(fs.readFileSync(`/proc/${pid}/task/${tid}/schedstat`, 'utf8').split(' ')[0]); } catch { return null; }
}

/**
 * Waits (up to timeoutMs) until OBS's main thread has used under 2 ms of CPU in the last 250 ms. OBS 29 closes its
 * window from inside its SIGINT handler: a signal that lands while the main thread is in X11 or GL calls (drawing a
 * freshly loaded browser panel, say) deadlocks it in Xlib or frees what the interrupted drawing still uses.
 */
async function untilMainThreadIdle(pid, timeoutMs = 5000) {
  const samples = [];
  for (const end = Date.now() + timeoutMs; Date.now() < end; await sleep(50)) {
    const used = threadRunTime(pid);
    if (used === null) return;
    samples.push(used);
    if (samples.length > 6) samples.shift();
    if (samples.length === 6 && used - samples[0] < 2e6 && statFields(pid)?.[0] === 'S') return;
  }
}

const tail = (text) => text.split('\n').slice(-40).join('\n');

// Like String#match from offset on, with .index into the whole text; a string matches as it is.
function find(text, pattern, from) {
  const literal = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  const m = text.slice(from).match(typeof pattern === 'string' ? literal(pattern) : pattern);
  if (m) m.index += from;
  return m;
}

// The end of loading the scene collection; OBS 29 must not get SIGINT before it.
const LOADED = /Loaded scenes:\n(?:.*\n)*?.*-{10,}\n/;

/**
 * Starts OBS with HOME set to home (from makeHome) under its own Xvfb, in a new process group, and waits until
 * it has loaded its scene collection. options: env (over the defaults, home.token the bridge token among them),
 * settleMs (the pause after loading, 500), launcher (put before the command: where OBS is installed), args (OBS's
 * own, added to the command line).
 */
async function startObs(home, options = {}) {
  const pidFile = path.join(home.home, 'obs.pid');
  // sh records its PID and then becomes obs (or gdb running obs), so the PID is the real one.
  const program = options.gdb ? ['gdb', '-q', '-nx', '-batch', ...GDB_COMMANDS, '--args', 'obs'] : ['obs'];
  const launcher = options.launcher || OBS_BUILD.launcher;
  const child = spawn(launcher[0] || 'xvfb-run', [...launcher.slice(1), ...(launcher.length ? ['xvfb-run'] : []), '-a', '-s', '-screen 0 1280x800x24 -nolisten tcp', 'sh', '-c',
    'echo $$ > "$0"; exec "$@"', pidFile, ...program, '--multi', '--disable-shutdown-check', ...(options.args || [])], {
    cwd: home.home,
    detached: true,
    stdio: ['ignore', 'pipe', 'pipe'],
    env: { ...process.env, HOME: home.home, TMPDIR: home.home, XDG_CONFIG_HOME: path.join(home.home, '.config'),
      LANG: 'C.UTF-8', PATH: `${path.join(home.home, 'bin')}:${process.env.PATH}`,
      VELMORA_OBS_TEST_BRIDGE_TOKEN: home.token, ...options.env },
  });
  const pgid = child.pid;
  liveGroups.add(pgid);
  let output = '';
  let exitInfo = null;
  const { wait, notify } = watcher();
  // When each piece of output arrived (performance.now()), for the benchmarks' timings.
  const arrivals = [];
  const take = (c) => { output += c; arrivals.push({ end: output.length, at: performance.now() }); notify(); };
  child.stdout.on('data', take);
  child.stderr.on('data', take);
  const exited = new Promise((resolve) => child.on('exit', async (code, signal) => {
    // xvfb-run has told its Xvfb to stop; let it remove its lock file, then nothing may stay.
    for (let i = 0; i < 60 && groupAlive(pgid); i++) await sleep(50);
    try { process.kill(-pgid, 'SIGKILL'); } catch { /* gone */ }
    liveGroups.delete(pgid);
    exitInfo = { code, signal };
    resolve(exitInfo);
    notify();
  }));

  function waitForLog(pattern, timeoutMs = 10000, { from = 0 } = {}) {
    return wait(() => {
      const m = find(output, pattern, from);
      if (m || !exitInfo) return m;
      throw new Error(`OBS exited (${JSON.stringify(exitInfo)}) before logging ${pattern}:\n${tail(output)}`);
    }, timeoutMs, () => `timed out after ${timeoutMs} ms waiting for ${pattern} in the OBS log:\n${tail(output)}`);
  }

  // Hands the stand-in probe a command (renamed into place: the probe must never read it half-written) and
  // waits for the line it logs, by default the one that it took the command; generously, as OBS's main thread,
  // which runs the probe, can be busy for seconds just after start-up.
  function command(word, logged = `[stand-in] command ${word}`) {
    const from = output.length;
    const file = path.join(home.home, 'stand-in-command');
    fs.writeFileSync(`${file}.tmp`, word);
    fs.renameSync(`${file}.tmp`, file);
    return waitForLog(logged, 8000, { from });
  }

  const readPid = () => {
    let pid;
    try { pid = Number(fs.readFileSync(pidFile, 'utf8')) || null; } catch { return null; }
    return options.gdb ? childOf(pid) : pid;
  };
  let stopping = null;
  let closeSent = false;
  // One SIGINT once the main thread is idle (a second one crashes OBS 29 while it shuts down), unless OBS was
  // told to close already; then SIGKILL if it hangs.
  function stop(timeoutMs = 15000) {
    stopping ||= (async () => {
      const pid = readPid();
      if (!exitInfo && !closeSent) {
        if (pid) await untilMainThreadIdle(pid);
        try { process.kill(pid || -pgid, pid ? 'SIGINT' : 'SIGTERM'); } catch { /* gone */ }
      }
      const timedOut = await poll(() => exitInfo, timeoutMs).then(() => false, () => true);
      if (timedOut) {
        try { process.kill(-pgid, 'SIGKILL'); } catch { /* gone */ }
        await exited;
      }
      const logsDir = path.join(home.home, '.config', 'obs-studio', 'logs');
      const logs = fs.existsSync(logsDir) ? fs.readdirSync(logsDir).sort() : [];
      const fileLog = logs.length ? fs.readFileSync(path.join(logsDir, logs.at(-1)), 'utf8') : '';
      return { ...exitInfo, timedOut, log: output, fileLog };
    })();
    return stopping;
  }

  // Runs xdotool on OBS's display; returns what it printed.
  function xdotool(...args) {
    const env = Object.fromEntries(fs.readFileSync(`/proc/${readPid()}/environ`, 'utf8').split('\0').filter(Boolean)
      .map((v) => [v.slice(0, v.indexOf('=')), v.slice(v.indexOf('=') + 1)]));
    return execFileSync('xdotool', args.map(String), { env: { ...process.env, DISPLAY: env.DISPLAY,
      XAUTHORITY: env.XAUTHORITY }, timeout: 5000 }).toString();
  }

  // File > Exit (Ctrl+Q) in OBS's main window, as a user closes OBS; stop() then only waits.
  function exitFromMenu() {
    const main = xdotool('search', '--onlyvisible', '--pid', readPid(), '--name', '^OBS ').trim().split('\n')[0];
    closeSent = true;
    xdotool('key', '--window', main, 'ctrl+q');
  }

  // One SIGINT now, wherever OBS's main thread is, as Ctrl+C in OBS's terminal; stop() then only waits.
  function interrupt() {
    closeSent = true;
    process.kill(readPid(), 'SIGINT');
  }

  // performance.now() when the first line matching pattern arrived, or null.
  function logAt(pattern) {
    const m = find(output, pattern, 0);
    const arrival = m && arrivals.find((a) => a.end > m.index);
    return arrival ? arrival.at : null;
  }

  // The port the module logged for its dock server, and a bridge client connected to it.
  const dockPort = async () => Number((await waitForLog(DOCK_SERVER, 5000))[1]);
  const connect = async (name) => connectBridge({ port: await dockPort(), token: home.token, name });
  const handle = { pid: null, log: () => output, waitForLog, logAt, command, dockPort, connect, xdotool,
    exitFromMenu, interrupt, stop, exited };
  try {
    const m = await waitForLog('==== Startup complete', 30000);
    await waitForLog(LOADED, 10000, { from: m.index });
    await sleep(options.settleMs ?? 500);
    handle.pid = readPid();
  } catch (err) {
    err.obsLog = (await stop(5000)).log;
    throw err;
  }
  return handle;
}

/**
 * Starts OBS, runs fn(obs, home), and always stops OBS and, unless options.home was given,
 * removes the home. options: makeHome's, or home (an existing one), plus startObs's.
 */
async function withObs(options, fn) {
  const home = options.home || makeHome(options);
  let obs = null;
  let result;
  let run;
  try {
    obs = await startObs(home, options);
    result = await fn(obs, home);
    run = await obs.stop();
  } catch (err) {
    const text = obs ? (await obs.stop()).log : err.obsLog || '';
    fs.mkdirSync(ARTIFACTS_DIR, { recursive: true });
    const file = path.join(ARTIFACTS_DIR, `${Date.now()}-obs.log`);
    fs.writeFileSync(file, text);
    err.message += `\n(OBS log saved to ${file})`;
    throw err;
  } finally {
    if (!options.home) home.cleanup();
  }
  // Every run, whatever else its suite checks; a failure above is the one to tell.
  const late = lateFrontendCalls(run.log);
  if (late.length) throw new Error(`calls to OBS's frontend after it closed: ${late.join(', ')}`);
  return result;
}

/** The version OBS reports about itself, e.g. "29.0.2.1-1+b1". */
const obsVersionFromLog = (log) => (log.match(/^(?:\S+: )?OBS (\S+) \([a-z]+\)$/m) || [])[1] || null;

module.exports = { makeHome, startObs, withObs, obsVersionFromLog, running, pidsWithCommand, STAGE_DIR, GDB_AFTER_RUN,
  OBS_BUILD };
