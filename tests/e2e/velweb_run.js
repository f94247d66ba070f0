// What the browser test and the screenshots share: a program directory of its own, the
// receivers written with velctl, the real velweb started and stopped in it, Debian's
// chromium, and the command entries taken out through the library.
'use strict';

const { chromium } = require('playwright-core');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const CHROMIUM = '/usr/bin/chromium';
const STEP_MS = 15000;  // bound of every single wait

// Windows-1252 bytes of a text: Latin-1 but for the letters and signs at 0x80 to 0x9F
// (five codes there are unused).
const cp1252 = (() => {
  const high = '\u20ac\u0081\u201a\u0192\u201e\u2026\u2020\u2021\u02c6\u2030\u0160\u2039' +
    '\u0152\u008d\u017d\u008f\u0090\u2018\u2019\u201c\u201d\u2022\u2013\u2014\u02dc' +
    '\u2122\u0161\u203a\u0153\u009d\u017e\u0178';
  const table = new Map();
  for (let b = 0; b < 256; ++b) {
    table.set(b >= 0x80 && b < 0xa0 ? high[b - 0x80] : String.fromCharCode(b), b);
  }
  return (text) => Buffer.from([...text].map((ch) => {
    if (!table.has(ch)) throw new Error(`${ch} has no Windows-1252 byte`);
    return table.get(ch);
  }));
})();

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function canConnect(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
    socket.setTimeout(1000, () => { socket.destroy(); resolve(false); });
  });
}

function waitForExit(child, ms) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) {
      resolve({ code: child.exitCode, signal: child.signalCode });
      return;
    }
    const timer = setTimeout(() => resolve(null), ms);
    child.once('exit', (code, signal) => { clearTimeout(timer); resolve({ code, signal }); });
  });
}

// A program directory of its own: a copy of the build's, without anything a run leaves.
function makeProgramDir(dist) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velweb-e2e-'));
  for (const name of fs.readdirSync(dist)) {
    const from = path.join(dist, name);
    if (!fs.statSync(from).isFile()) continue;
    if (/^(VELWEB\.INI|vel_rcv\.dat)$/i.test(name) || /\.(LOG|lock)$/i.test(name)) continue;
    fs.copyFileSync(from, path.join(dir, name));
    fs.chmodSync(path.join(dir, name), fs.statSync(from).mode);
  }
  return dir;
}

// The shipped profile with `port`, `changes` applied to its text (CR LF lines), as
// VELWEB.INI of `dir`; gives the shipped text.
function writeProfile(dir, port, changes = (text) => text) {
  const shipped = fs.readFileSync(path.join(dir, 'VELWEB.ONI'), 'latin1');
  const profile = changes(shipped.replace(/^HTTPPort=.*\r$/m, `HTTPPort=${port}\r`));
  fs.writeFileSync(path.join(dir, 'VELWEB.INI'), profile, 'latin1');
  return shipped;
}

// Receiver names go to velctl as a person types them in a UTF-8 terminal; velctl
// stores them as Windows-1252.
function writeReceivers(dir, names) {
  const result = spawnSync(path.join(dir, 'velctl'),
    ['receivers', 'write', path.join(dir, 'vel_rcv.dat'), ...names],
    { encoding: 'utf8', timeout: STEP_MS, env: { ...process.env, LC_ALL: 'C.UTF-8' } });
  if (result.status !== 0) {
    throw new Error(`velctl receivers write failed: ${result.stderr || result.error}`);
  }
}

function takeCommands(take) {
  const result = spawnSync(take, [], { encoding: 'utf8', timeout: STEP_MS });
  if (result.status !== 0) throw new Error(`${take} failed: ${result.stderr || result.error}`);
  return result.stdout.split('\n').filter((line) => line.length > 0)
    .map((line) => Buffer.from(line, 'hex'));
}

// The entries a post leaves, once they are there (the server hands a message on
// after it answered); none within the bound gives an empty list.
async function takeWhenThere(take) {
  const end = Date.now() + STEP_MS;
  let entries = takeCommands(take);
  while (entries.length === 0 && Date.now() < end) {
    await sleep(100);
    entries = takeCommands(take);
  }
  return entries;
}

// The real velweb, headless, in `dir` on `port`; its output goes to velweb.out there.
class Velweb {
  constructor(dir, port) {
    this.dir = dir;
    this.port = port;
    this.base = port === 80 ? 'http://127.0.0.1' : `http://127.0.0.1:${port}`;
    this.child = null;
  }

  async start() {
    const log = fs.openSync(path.join(this.dir, 'velweb.out'), 'a');
    this.child = spawn(path.join(this.dir, 'velweb'), ['--headless'], {
      cwd: this.dir, stdio: ['ignore', log, log],
    });
    fs.closeSync(log);
    const end = Date.now() + STEP_MS;
    while (Date.now() < end) {
      if (this.child.exitCode !== null) {
        throw new Error(`velweb ended at start with ${this.child.exitCode}`);
      }
      if (await canConnect(this.port)) return;
      await sleep(100);
    }
    throw new Error(`velweb did not listen on port ${this.port} within ${STEP_MS} ms`);
  }

  // Stops it with SIGTERM; gives what went wrong, or null when it ended with 0 in time.
  async stop() {
    if (!this.child) return null;
    const child = this.child;
    this.child = null;
    child.kill('SIGTERM');
    const end = await waitForExit(child, STEP_MS);
    if (end === null) {
      child.kill('SIGKILL');
      return 'velweb did not stop within the bound after SIGTERM';
    }
    if (end.code !== 0) return `velweb ended with ${end.code} (${end.signal}) on SIGTERM`;
    return null;
  }

  output() {
    return fs.readFileSync(path.join(this.dir, 'velweb.out'), 'utf8');
  }
}

function launchBrowser() {
  return chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    timeout: 60000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

module.exports = {
  CHROMIUM, STEP_MS, cp1252, sleep, freePort, makeProgramDir, writeProfile, writeReceivers,
  takeCommands, takeWhenThere, Velweb, launchBrowser,
};
