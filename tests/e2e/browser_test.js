// The whole way of one message, in a real browser: a receiver file written by velctl, the
// real velweb serving a copy of the program directory, Debian's chromium filling in the
// shipped form, the result page, and the command entry taken out through the library.
//
//   node browser_test.js --dist DIR --take PROGRAM --shots DIR --port 80|free --headers 0|1
//
// The profile is the shipped VELWEB.ONI with the port set. With --headers 0 its Headers
// line is taken out: a profile without the key sends the bare bodies, which browsers
// accept on port 80 only (the caller runs this inside a network namespace of its own so
// that port 80 is free). With --headers 1 it is the shipped profile as it is, but for the
// port. Exit status 0 when everything held, 1 otherwise.
'use strict';

const { chromium } = require('playwright-core');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const CHROMIUM = '/usr/bin/chromium';
const STEP_MS = 15000;  // bound of every single wait

function parseArgs(argv) {
  const opts = {};
  for (let i = 2; i < argv.length; i += 2) opts[argv[i].replace(/^--/, '')] = argv[i + 1];
  for (const key of ['dist', 'take', 'shots', 'port', 'headers']) {
    if (!opts[key]) throw new Error(`missing --${key}`);
  }
  return opts;
}

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

function check(condition, what) {
  if (!condition) throw new Error(`check failed: ${what}`);
  console.log(`ok: ${what}`);
}

function sameList(actual, expected) {
  return JSON.stringify(actual) === JSON.stringify(expected);
}

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

async function waitForListener(port, server) {
  const end = Date.now() + STEP_MS;
  while (Date.now() < end) {
    if (server.exitCode !== null) throw new Error(`velweb ended at start with ${server.exitCode}`);
    if (await canConnect(port)) return;
    await sleep(100);
  }
  throw new Error(`velweb did not listen on port ${port} within ${STEP_MS} ms`);
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

// On a phone-sized screen the page fits its width (nothing to scroll sideways).
async function phoneShot(page, file) {
  await page.setViewportSize({ width: 390, height: 844 });
  const fits = await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth);
  check(fits, `${path.basename(file)}: the page fits a phone's width`);
  await page.screenshot({ path: file, fullPage: true });
  await page.setViewportSize({ width: 1280, height: 900 });
}

async function main() {
  const opts = parseArgs(process.argv);
  const headers = opts.headers === '1';
  const label = `port${opts.port === '80' ? '80' : 'N'}-headers${opts.headers}`;
  process.env.VELMAR_INSTANCE = `e2e-${label}-${process.pid}`;
  fs.mkdirSync(opts.shots, { recursive: true });

  const dir = makeProgramDir(opts.dist);
  console.log(`program directory: ${dir}`);
  const port = opts.port === 'free' ? await freePort() : Number(opts.port);
  const shipped = fs.readFileSync(path.join(dir, 'VELWEB.ONI'), 'latin1');
  check(/^Headers=1\r$/m.test(shipped), 'the shipped profile sends header fields');
  let profile = shipped.replace(/^HTTPPort=.*\r$/m, `HTTPPort=${port}\r`);
  if (!headers) profile = profile.replace(/^Headers=.*\r\n/m, '');
  fs.writeFileSync(path.join(dir, 'VELWEB.INI'), profile, 'latin1');

  const names = ['zulu Team', 'Alpha', 'Jürgen', 'bravo', 'Control Room', 'Bär Team €'];
  // Sorted without regard to ASCII case, other bytes by their value: 'ä' after 'r'.
  const sorted = ['Alpha', 'bravo', 'Bär Team €', 'Control Room', 'Jürgen', 'zulu Team'];
  const chosen = ['Bär Team €', 'Control Room', 'Jürgen'];
  const message = 'Fire & smoke: +2 floors, 100% evacuated – meet at Süd gate €5';
  writeReceivers(dir, names);

  const serverLog = fs.openSync(path.join(dir, 'velweb.out'), 'w');
  const server = spawn(path.join(dir, 'velweb'), ['--headless'], {
    cwd: dir, stdio: ['ignore', serverLog, serverLog],
  });
  let browser = null;
  let passed = false;
  try {
    await waitForListener(port, server);
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      headless: true,
      timeout: 60000,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
    context.setDefaultTimeout(STEP_MS);
    const page = await context.newPage();
    const base = port === 80 ? 'http://127.0.0.1' : `http://127.0.0.1:${port}`;

    // The form.
    const response = await page.goto(`${base}/INDEX.HTM`);
    check(response.status() === 200, `INDEX.HTM answers 200 (got ${response.status()})`);
    if (headers) {
      check(response.headers()['content-type'] === 'text/html; charset=windows-1252',
        `Content-Type is ${response.headers()['content-type']}`);
    }
    check((await page.title()) === 'Send a message - Velmar Web Server', 'the form page shows');
    const options = await page.$$eval('select[name=receivers] option', (os) => os.map((o) => o.text));
    check(sameList(options, sorted), `receivers listed sorted: ${JSON.stringify(options)}`);
    const footer = await page.textContent('footer');
    check(/version\s+1\.0\.00/.test(footer), 'the version is shown');
    const logoOk = await page.$eval('header img', (img) => img.complete && img.naturalWidth > 0);
    check(logoOk, 'the logo image loads');

    await page.selectOption('select[name=receivers]', chosen);
    await page.locator('textarea[name=message]').pressSequentially(message);
    await page.screenshot({ path: path.join(opts.shots, `${label}-form.png`), fullPage: true });
    await phoneShot(page, path.join(opts.shots, `${label}-form-phone.png`));

    // The result page.
    await Promise.all([
      page.waitForURL('**/SEND.HTM'),
      page.click('button[type=submit]'),
    ]);
    await page.waitForSelector('#submitted');
    const listed = await page.$$eval('#submitted li', (items) => items.map((li) => li.textContent));
    check(sameList(listed, chosen), `the result page lists exactly ${JSON.stringify(listed)}`);
    // The outbox of the shipped profile accepted it: the page says how far it came.
    const state = await page.textContent('#state-name');
    check(/^(queued|passed)$/.test(state), `the result page shows the state: ${JSON.stringify(state)}`);
    const shown = await page.textContent('blockquote.message');
    check(shown === message, `the result page shows the message sent: ${JSON.stringify(shown)}`);
    await page.screenshot({ path: path.join(opts.shots, `${label}-result.png`), fullPage: true });
    await phoneShot(page, path.join(opts.shots, `${label}-result-phone.png`));

    // The command entry, byte for byte.
    const expected = Buffer.concat([
      Buffer.from('FT:'),
      ...chosen.map((n) => Buffer.concat([cp1252(n), Buffer.from([0xfe])])),
      cp1252(message),
    ]);
    let entries = [];
    for (let tries = 0; tries < 20 && entries.length === 0; ++tries) {
      entries = takeCommands(opts.take);
      if (entries.length === 0) await sleep(100);
    }
    check(entries.length === 1, `one command entry (got ${entries.length})`);
    check(entries[0].equals(expected),
      `command entry ${entries[0].toString('hex')} is ${expected.toString('hex')}`);
    // Taken: the page follows it there (its script asks /messages/ID, which needs status lines).
    if (headers) {
      const followed = await page.waitForFunction(
        () => /^taken at /.test(document.getElementById('state-name').textContent),
        null, { timeout: STEP_MS }).then(() => true, () => false);
      check(followed, `the result page follows the message to taken: ${
        JSON.stringify(await page.textContent('#state-name'))}`);
    }

    // What the server will not serve.
    const missing = await page.goto(`${base}/NOPE.HTM`);
    check(missing.status() === (headers ? 404 : 200),
      `a missing page answers ${missing.status()}`);
    check((await page.textContent('h1')) === 'Server Error 404', 'the not-found page shows');

    // The page that lists the receivers.
    await page.goto(`${base}/LIST.HTM`);
    const list = await page.$$eval('#receivers li', (items) => items.map((li) => li.textContent));
    check(sameList(list, sorted), 'LIST.HTM lists the receivers');

    // Accounts (they need status lines): a sender and a supervisor, made while the server
    // runs. Each posts; the history shows the sender their own, the supervisor all, and a
    // script in a message as text.
    if (headers) {
      const hash = (password) => spawnSync(path.join(dir, 'velctl'), ['passwd'],
        { input: `${password}\n${password}\n`, encoding: 'utf8', timeout: STEP_MS }).stdout.trim();
      fs.writeFileSync(path.join(dir, 'VELWEB.USR'),
        `[alice]\r\n${hash('alice pw')}\r\nReceivers=Alpha\r\n[sue]\r\n${hash('sue pw')}\r\nRole=supervisor\r\n`);
      const as = async (user, password) => {
        const ctx = await browser.newContext({ httpCredentials: { username: user, password } });
        ctx.setDefaultTimeout(STEP_MS);
        return ctx.newPage();
      };
      let ready = false;
      for (let tries = 0; tries < 50 && !ready; ++tries) {
        ready = (await fetch(`${base}/INDEX.HTM`)).status === 401;
        if (!ready) await sleep(100);
      }
      check(ready, 'the users file counts while the server runs: a page needs a user');
      const alice = await as('alice', 'alice pw');
      await alice.goto(`${base}/INDEX.HTM`);
      const offered = await alice.$$eval('select[name=receivers] option', (os) => os.map((o) => o.text));
      check(sameList(offered, ['Alpha']), `alice is offered her receivers only: ${JSON.stringify(offered)}`);
      await alice.selectOption('select[name=receivers]', ['Alpha']);
      await alice.fill('textarea[name=message]', '<script>document.title="owned"</script> from alice');
      await Promise.all([alice.waitForURL('**/SEND.HTM'), alice.click('button[type=submit]')]);
      const sue = await as('sue', 'sue pw');
      await sue.goto(`${base}/INDEX.HTM`);
      await sue.selectOption('select[name=receivers]', ['bravo']);
      await sue.fill('textarea[name=message]', 'from sue');
      await Promise.all([sue.waitForURL('**/SEND.HTM'), sue.click('button[type=submit]')]);
      const rows = async (p) => {
        await p.goto(`${base}/HISTORY.HTM`);
        return p.$$eval('#history tr', (trs) => trs.map((tr) => tr.cells[3].textContent));
      };
      const alices = await rows(alice);
      check(sameList(alices, ['<script>document.title="owned"</script> from alice']),
        `alice sees her own message only, as text: ${JSON.stringify(alices)}`);
      check((await alice.title()) === 'History - Velmar Web Server', 'no script of a message ran');
      const sues = await rows(sue);
      check(sues.length === 3 && sues[0] === 'from sue' && sues[2] === message,
        `sue sees every message, newest first: ${JSON.stringify(sues)}`);
      await phoneShot(sue, path.join(opts.shots, `${label}-history-phone.png`));
    }
    passed = true;
  } finally {
    if (browser) await browser.close().catch(() => {});
    server.kill('SIGTERM');
    const end = await waitForExit(server, STEP_MS);
    if (end === null) {
      server.kill('SIGKILL');
      console.error('FAIL: velweb did not stop within the bound after SIGTERM');
      passed = false;
    } else if (end.code !== 0) {
      console.error(`FAIL: velweb ended with ${end.code} (${end.signal}) on SIGTERM`);
      passed = false;
    } else if (passed) {
      console.log('ok: velweb stopped cleanly on SIGTERM');
    }
    fs.closeSync(serverLog);
    if (passed) {
      fs.rmSync(dir, { recursive: true, force: true });
    } else {
      console.error(`velweb output:\n${fs.readFileSync(path.join(dir, 'velweb.out'), 'latin1')}`);
      console.error(`program directory kept: ${dir}`);
    }
  }
  if (!passed) throw new Error('velweb did not stop cleanly');
}

main().then(() => {
  console.log('browser test passed');
}).catch((error) => {
  console.error(`FAIL: ${error.stack || error}`);
  process.exit(1);
});
