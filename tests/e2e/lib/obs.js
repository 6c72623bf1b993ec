'use strict';
// Runs a real OBS Studio with the built module in an isolated HOME under Xvfb.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const MODULE_NAME = 'velmora-obs-plugin';
const REPO_ROOT = path.resolve(__dirname, '..', '..', '..');
const STAGE_DIR = process.env.VELMORA_E2E_STAGE ||
  path.join(REPO_ROOT, 'build', 'stage', 'plugins', MODULE_NAME);
const ARTIFACTS_DIR = path.join(__dirname, '..', '.artifacts');
const MODULE_SO = path.join(STAGE_DIR, 'bin', '64bit', `${MODULE_NAME}.so`);

// ---------------------------------------------------------------- ini files

// Sections are { Section: { Key: value } }; later sources override earlier keys.
function mergeIni(...sources) {
  const out = {};
  for (const src of sources) {
    for (const [section, keys] of Object.entries(src || {})) {
      out[section] = { ...(out[section] || {}), ...keys };
    }
  }
  return out;
}

function formatIni(sections) {
  return Object.entries(sections)
    .map(([name, keys]) => `[${name}]\n` +
      Object.entries(keys).map(([k, v]) => `${k}=${v}\n`).join(''))
    .join('\n');
}

const GLOBAL_INI = {
  // Each key keeps a dialog or the first-run wizard from blocking OBS.
  General: { FirstRun: 'false', LastVersion: '486539266', ConfirmOnExit: 'false' },
  Basic: { Profile: 'test', ProfileDir: 'test', SceneCollection: 'test', SceneCollectionFile: 'test' },
  BasicWindow: { PreviewEnabled: 'false' },
};

// Tiny canvas and the cheapest encoder so OBS stays around 5 % of one core.
const PROFILE_INI = {
  General: { Name: 'test' },
  Video: { BaseCX: 320, BaseCY: 180, OutputCX: 320, OutputCY: 180, FPSType: 1, FPSInt: 10 },
  Output: { Mode: 'Simple' },
  SimpleOutput: {
    StreamEncoder: 'x264', Preset: 'ultrafast', VBitrate: 150, ABitrate: 64,
    UseAdvanced: 'true', x264Settings: 'keyint=20',
  },
};

const SCENE_COLLECTION = {
  name: 'test',
  current_scene: 'Scene',
  current_program_scene: 'Scene',
  scene_order: [{ name: 'Scene' }],
  sources: [{
    id: 'scene', versioned_id: 'scene', name: 'Scene',
    settings: { id_counter: 0, custom_size: false, items: [] },
  }],
};

// ---------------------------------------------------------------- home

function writeFile(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

/**
 * Creates a throw-away HOME holding an OBS configuration without dialogs
 * and, unless options.installModule is false, the staged module.
 * options: globalIni, profileIni ({Section:{Key:value}} merged over the
 * defaults), service (object), profiles (more profiles: { name: service }),
 * sceneCollection (object), config (object or raw string), installModule
 * (default true).
 */
function makeHome(options = {}) {
  installExitHooks();
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-'));
  liveHomes.add(home);
  const obsDir = path.join(home, '.config', 'obs-studio');
  const profileDir = path.join(obsDir, 'basic', 'profiles', 'test');
  const pluginConfigDir = path.join(obsDir, 'plugin_config');
  const configDir = path.join(pluginConfigDir, MODULE_NAME);
  const pluginDir = path.join(obsDir, 'plugins', MODULE_NAME);
  const logsDir = path.join(obsDir, 'logs');

  writeFile(path.join(obsDir, 'global.ini'), formatIni(mergeIni(GLOBAL_INI, options.globalIni)));
  writeFile(path.join(profileDir, 'basic.ini'), formatIni(mergeIni(PROFILE_INI, options.profileIni)));
  if (options.service) {
    writeFile(path.join(profileDir, 'service.json'), JSON.stringify(options.service));
  }
  for (const [name, service] of Object.entries(options.profiles || {})) {
    const dir = path.join(obsDir, 'basic', 'profiles', name);
    writeFile(path.join(dir, 'basic.ini'), formatIni(mergeIni(PROFILE_INI, { General: { Name: name } })));
    writeFile(path.join(dir, 'service.json'), JSON.stringify(service));
  }
  writeFile(path.join(obsDir, 'basic', 'scenes', 'test.json'),
    JSON.stringify(options.sceneCollection || SCENE_COLLECTION, null, 2));
  // A file where OBS expects a folder makes the services-list update fail
  // fast instead of going to the network.
  writeFile(path.join(pluginConfigDir, 'rtmp-services'), '');
  if (options.config !== undefined) {
    const raw = typeof options.config === 'string'
      ? options.config : JSON.stringify(options.config, null, 2);
    writeFile(path.join(configDir, 'config.json'), raw);
  }
  if (options.installModule !== false) {
    if (!fs.existsSync(MODULE_SO)) {
      liveHomes.delete(home);
      fs.rmSync(home, { recursive: true, force: true });
      throw new Error(`module not built: ${MODULE_SO} is missing (set VELMORA_E2E_STAGE to the staged folder)`);
    }
    fs.cpSync(STAGE_DIR, pluginDir, { recursive: true });
  }

  return {
    home, obsDir, profileDir, pluginConfigDir, configDir, pluginDir, logsDir,
    configFile: path.join(configDir, 'config.json'),
    readConfig() { return JSON.parse(fs.readFileSync(this.configFile, 'utf8')); },
    cleanup() {
      liveHomes.delete(home);
      if (process.env.VELMORA_E2E_KEEP) return;
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// ---------------------------------------------------------------- processes

// Process groups still running and homes not yet removed; cleaned up if the
// test process goes away.
const liveGroups = new Set();
const liveHomes = new Set();
let exitHooksInstalled = false;

function killGroup(pgid, signal = 'SIGKILL') {
  try { process.kill(-pgid, signal); } catch { /* already gone */ }
}

// True while a process of the group is running (zombies waiting for init don't count).
function groupAlive(pgid) {
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    let stat;
    try { stat = fs.readFileSync(`/proc/${name}/stat`, 'utf8'); } catch { continue; }
    const [state, , pgrp] = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    if (Number(pgrp) === pgid && state !== 'Z') return true;
  }
  return false;
}

// Last resort when the test process ends with OBS still running. SIGTERM
// first so Xvfb removes its lock file; synchronous because 'exit' handlers
// cannot wait.
function killEverything() {
  for (const g of liveGroups) killGroup(g, 'SIGTERM');
  const tick = new Int32Array(new SharedArrayBuffer(4));
  const deadline = Date.now() + 1000;
  while ([...liveGroups].some(groupAlive) && Date.now() < deadline) Atomics.wait(tick, 0, 0, 50);
  for (const g of liveGroups) killGroup(g);
  liveGroups.clear();
  if (!process.env.VELMORA_E2E_KEEP) {
    for (const h of liveHomes) fs.rmSync(h, { recursive: true, force: true });
  }
}

function installExitHooks() {
  if (exitHooksInstalled) return;
  exitHooksInstalled = true;
  process.on('exit', killEverything);
  for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.once(sig, () => {
      killEverything();
      process.kill(process.pid, sig);
    });
  }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Resolves true if promise settles within ms, false otherwise; leaves no timer behind.
function within(promise, ms) {
  let timer;
  const late = new Promise((r) => { timer = setTimeout(r, ms, false); });
  return Promise.race([promise.then(() => true), late]).finally(() => clearTimeout(timer));
}

function tail(text, lines = 40) {
  return text.split('\n').slice(-lines).join('\n');
}

// Like String#match, but from offset on and with .index relative to the whole text.
function find(text, pattern, from = 0) {
  if (pattern instanceof RegExp) {
    const m = text.slice(from).match(pattern);
    if (m) m.index += from;
    return m;
  }
  const i = text.indexOf(pattern, from);
  return i < 0 ? null : Object.assign([pattern], { index: i });
}

function newestFile(dir) {
  let best = null;
  for (const name of fs.existsSync(dir) ? fs.readdirSync(dir) : []) {
    const file = path.join(dir, name);
    const st = fs.statSync(file);
    if (st.isFile() && (!best || st.mtimeMs >= best.mtimeMs)) best = { file, mtimeMs: st.mtimeMs };
  }
  return best && best.file;
}

// End of the scene collection load (an existing collection, or a new default one).
const LOADED_PATTERN = /Loaded scenes:\n(?:.*\n)*?.*-{10,}\n|No scene file found, creating default scene\n(?:.*\n)*?.*Switched to scene/;

/**
 * Starts OBS with HOME set to home.home (or a path) under its own Xvfb, in a
 * new process group, and waits until it has started and loaded its scene
 * collection. options: env (added variables), args (added OBS arguments),
 * startTimeoutMs (default 30 s), settleMs (pause after loading, default 500).
 */
async function startObs(home, options = {}) {
  installExitHooks();
  const homeDir = typeof home === 'string' ? home : home.home;
  const logsDir = path.join(homeDir, '.config', 'obs-studio', 'logs');
  const pidFile = path.join(homeDir, 'obs.pid');
  fs.rmSync(pidFile, { force: true });
  const startTimeoutMs = options.startTimeoutMs ?? 30000;

  const obsArgs = ['--multi', '--disable-shutdown-check', ...(options.args || [])];
  // sh records its PID and then becomes obs, so the PID is the real obs.
  const script = 'echo $$ > "$0"; exec obs "$@"';
  const child = spawn('xvfb-run', [
    '-a', '-s', '-screen 0 1280x800x24 -nolisten tcp',
    'sh', '-c', script, pidFile, ...obsArgs,
  ], {
    cwd: homeDir,
    detached: true,
    stdio: ['ignore', 'pipe', 'pipe'],
    env: {
      ...process.env,
      HOME: homeDir,
      TMPDIR: homeDir, // xvfb-run's temp folder goes away with the home
      XDG_CONFIG_HOME: path.join(homeDir, '.config'),
      LANG: 'C.UTF-8',
      ...options.env,
    },
  });
  const pgid = child.pid;
  liveGroups.add(pgid);

  let output = '';
  const waiters = new Set();
  const onData = (chunk) => {
    output += chunk.toString('utf8');
    for (const w of waiters) w.check();
  };
  child.stdout.on('data', onData);
  child.stderr.on('data', onData);

  let exitInfo = null;
  const exited = new Promise((resolve) => {
    child.on('exit', async (code, signal) => {
      // xvfb-run has sent Xvfb a SIGTERM; let it remove its lock file, then
      // make sure nothing of this run outlives it.
      const deadline = Date.now() + 3000;
      while (groupAlive(pgid) && Date.now() < deadline) await sleep(50);
      killGroup(pgid);
      liveGroups.delete(pgid);
      exitInfo = { code, signal };
      resolve(exitInfo);
      for (const w of waiters) w.check();
    });
  });

  function waitForLog(pattern, timeoutMs = 10000, { from = 0 } = {}) {
    const describe = pattern instanceof RegExp ? String(pattern) : JSON.stringify(pattern);
    return new Promise((resolve, reject) => {
      const w = {
        check() {
          const m = find(output, pattern, from);
          if (m) return done(null, m);
          if (exitInfo) {
            done(new Error(`OBS exited (code ${exitInfo.code}, signal ${exitInfo.signal}) ` +
              `before logging ${describe}. Log tail:\n${tail(output)}`));
          }
        },
      };
      const timer = setTimeout(() => done(new Error(
        `timed out after ${timeoutMs} ms waiting for ${describe} in the OBS log. Log tail:\n${tail(output)}`)),
      timeoutMs);
      function done(err, m) {
        clearTimeout(timer);
        waiters.delete(w);
        if (err) reject(err); else resolve(m);
      }
      waiters.add(w);
      w.check();
    });
  }

  let stopping = null;
  function stop(timeoutMs = 15000) {
    if (stopping) return stopping;
    stopping = (async () => {
      const pid = handle.pid || readPid();
      if (!exitInfo) {
        if (pid) {
          try { process.kill(pid, 'SIGINT'); } catch { /* gone */ }
        } else {
          killGroup(pgid, 'SIGTERM'); // obs never ran: nothing to shut down cleanly
        }
      }
      const timedOut = !(await within(exited, timeoutMs));
      if (timedOut) {
        // Killing obs alone lets xvfb-run stop its Xvfb properly; the group
        // goes only if that is not enough.
        if (pid) {
          try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ }
        }
        if (!(await within(exited, 5000))) killGroup(pgid);
        await exited;
      }
      const logFile = newestFile(logsDir);
      return {
        code: exitInfo.code,
        signal: exitInfo.signal,
        timedOut,
        log: output,
        fileLog: logFile ? fs.readFileSync(logFile, 'utf8') : '',
        logFile,
      };
    })();
    return stopping;
  }

  function readPid() {
    try {
      const pid = Number(fs.readFileSync(pidFile, 'utf8').trim());
      return pid > 0 ? pid : null;
    } catch { return null; }
  }

  const handle = {
    pid: null,
    pgid,
    home: homeDir,
    log: () => output,
    waitForLog,
    stop,
    exited,
  };

  try {
    const started = Date.now();
    const m = await waitForLog('==== Startup complete', startTimeoutMs);
    // OBS loads the scene collection from its event loop after "Startup
    // complete"; a SIGINT before that makes it hang or crash (double free).
    await waitForLog(LOADED_PATTERN, Math.max(1000, startTimeoutMs - (Date.now() - started)),
      { from: m.index });
    await sleep(options.settleMs ?? 500);
    handle.pid = readPid();
    if (!handle.pid) throw new Error(`OBS started but ${pidFile} holds no PID`);
  } catch (err) {
    err.obsLog = (await stop(5000)).log;
    err.message = `OBS did not start: ${err.message}`;
    throw err;
  }
  return handle;
}

// Keeps the log of a failed run once its home is gone.
function saveArtifact(name, text) {
  try {
    fs.mkdirSync(ARTIFACTS_DIR, { recursive: true });
    const file = path.join(ARTIFACTS_DIR, `${new Date().toISOString().replace(/[:.]/g, '-')}-${name}.log`);
    fs.writeFileSync(file, text);
    return file;
  } catch { return null; }
}

/**
 * Starts OBS, runs fn(obs, home), and always stops OBS and (unless
 * options.home was given) removes the home. options: makeHome options, or
 * home (an existing makeHome() result to reuse), plus startObs options.
 * Resolves to fn's result.
 */
async function withObs(options, fn) {
  const ownHome = !options.home;
  const home = options.home || makeHome(options);
  let obs = null;
  try {
    obs = await startObs(home, options);
    return await fn(obs, home);
  } catch (err) {
    const text = obs ? (await obs.stop()).log : (err.obsLog || String(err.message));
    const file = saveArtifact('obs', text);
    if (file) err.message += `\n(OBS log saved to ${file})`;
    throw err;
  } finally {
    if (obs) await obs.stop();
    if (ownHome) home.cleanup();
  }
}

/** Version string OBS reports about itself early in its log, e.g. "29.0.2.1-1+b1". */
function obsVersionFromLog(log) {
  // stdout lines start with "info: ", file log lines with a time stamp.
  const m = log.match(/^(?:\S+: )?OBS (\S+) \([a-z]+\)$/m);
  return m ? m[1] : null;
}

module.exports = {
  MODULE_NAME,
  MODULE_SO,
  STAGE_DIR,
  makeHome,
  startObs,
  withObs,
  obsVersionFromLog,
  moduleBuilt: () => fs.existsSync(MODULE_SO),
};
