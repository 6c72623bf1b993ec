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
 * defaults), service (object), sceneCollection (object), config (object or
 * raw string), installModule (default true).
 */
function makeHome(options = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-'));
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
      if (process.env.VELMORA_E2E_KEEP) return;
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// ---------------------------------------------------------------- processes

// Process groups still running; killed if the test process goes away.
const liveGroups = new Set();
let exitHooksInstalled = false;

function killGroup(pgid, signal = 'SIGKILL') {
  try { process.kill(-pgid, signal); } catch { /* already gone */ }
}

function installExitHooks() {
  if (exitHooksInstalled) return;
  exitHooksInstalled = true;
  process.on('exit', () => { for (const g of liveGroups) killGroup(g); });
  for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.once(sig, () => {
      for (const g of liveGroups) killGroup(g);
      process.kill(process.pid, sig);
    });
  }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function tail(text, lines = 40) {
  return text.split('\n').slice(-lines).join('\n');
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

/**
 * Starts OBS with HOME set to home.home under its own Xvfb, in a new process
 * group, and waits for "==== Startup complete" (options.startTimeoutMs,
 * default 30 s). options.env adds environment variables, options.args adds
 * OBS command-line arguments.
 */
async function startObs(home, options = {}) {
  installExitHooks();
  const homeDir = typeof home === 'string' ? home : home.home;
  const logsDir = path.join(homeDir, '.config', 'obs-studio', 'logs');
  const pidFile = path.join(homeDir, 'obs.pid');
  fs.rmSync(pidFile, { force: true });
  const startTimeoutMs = options.startTimeoutMs ?? 30000;

  const obsArgs = ['--multi', '--disable-shutdown-check', '--disable-missing-files-check', ...(options.args || [])];
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

  const exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => {
      liveGroups.delete(pgid);
      killGroup(pgid); // nothing of this run may outlive it (Xvfb, helpers)
      resolve({ code, signal });
    });
  });
  let exitInfo = null;
  exited.then((info) => {
    exitInfo = info;
    for (const w of waiters) w.check();
  });

  function waitForLog(pattern, timeoutMs = 10000, { from = 0 } = {}) {
    const describe = pattern instanceof RegExp ? String(pattern) : JSON.stringify(pattern);
    return new Promise((resolve, reject) => {
      const w = {
        check() {
          const text = output.slice(from);
          const m = pattern instanceof RegExp ? text.match(pattern)
            : (text.includes(pattern) ? [pattern] : null);
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
          killGroup(pgid); // obs never started: nothing to shut down cleanly
        }
      }
      const inTime = await Promise.race([exited.then(() => true), sleep(timeoutMs).then(() => false)]);
      let timedOut = false;
      if (!inTime) {
        timedOut = true;
        killGroup(pgid);
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
    await waitForLog('==== Startup complete', startTimeoutMs);
    handle.pid = readPid();
    if (!handle.pid) throw new Error(`OBS started but ${pidFile} holds no PID`);
  } catch (err) {
    await stop(5000);
    err.message = `OBS did not start: ${err.message}`;
    throw err;
  }
  return handle;
}

// Keeps the log of a failed run for inspection after the home is gone.
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
    const text = obs ? (await obs.stop()).log : String(err.message);
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
  const m = log.match(/^(?:info: )?OBS (\S+) \(linux\)/m);
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
