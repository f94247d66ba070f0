// The whole way of one message, in a real browser: a receiver file written by velctl, the
// real velweb serving a copy of the program directory, Debian's chromium filling in the
// shipped form, the result page, and the command entry taken out through the library.
// Then the form's receiver picker with a full receiver file, names that must post exactly,
// what still fits, the pages in German (by the browser's languages and by the profile),
// and an accessibility audit of every page.
//
//   node browser_test.js --dist DIR --take PROGRAM --shots DIR --port 80|free --headers 0|1
//
// The profile is the shipped VELWEB.ONI with the port set. With --headers 0 its Headers
// line is taken out: a profile without the key sends the bare bodies, which browsers
// accept on port 80 only (the caller runs this inside a network namespace of its own so
// that port 80 is free). With --headers 1 it is the shipped profile as it is, but for the
// port. Exit status 0 when everything held, 1 otherwise.
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const {
  STEP_MS, cp1252, sleep, freePort, makeProgramDir, writeProfile, writeReceivers,
  takeWhenThere, Velweb, launchBrowser,
} = require('./velweb_run');

const AXE = path.join(__dirname, 'node_modules', 'axe-core', 'axe.min.js');
const LIMIT = 4093;  // bytes of a command entry the alarm server takes

function parseArgs(argv) {
  const opts = {};
  for (let i = 2; i < argv.length; i += 2) opts[argv[i].replace(/^--/, '')] = argv[i + 1];
  for (const key of ['dist', 'take', 'shots', 'port', 'headers']) {
    if (!opts[key]) throw new Error(`missing --${key}`);
  }
  return opts;
}

function check(condition, what) {
  if (!condition) throw new Error(`check failed: ${what}`);
  console.log(`ok: ${what}`);
}

// A fault of a page that the rest of the run does not build on: told at once, and the
// run fails at its end with all of them.
const faults = [];
function note(condition, what) {
  if (condition) {
    console.log(`ok: ${what}`);
  } else {
    console.error(`FAIL: ${what}`);
    faults.push(what);
  }
}

function sameList(actual, expected) {
  return JSON.stringify(actual) === JSON.stringify(expected);
}

// The command entry of a message to `receivers`: "FT:", each receiver and its separator,
// the message, all in Windows-1252.
function commandEntry(receivers, message) {
  return Buffer.concat([
    Buffer.from('FT:'),
    ...receivers.map((n) => Buffer.concat([cp1252(n), Buffer.from([0xfe])])),
    cp1252(message),
  ]);
}

// Ticks the boxes of `receivers` in the form's picker, as a person clicks them.
async function choose(page, receivers) {
  for (const name of receivers) await page.getByLabel(name, { exact: true }).check();
}

// On a phone-sized screen the page fits its width (nothing to scroll sideways).
async function phoneShot(page, file, width = 390) {
  await page.setViewportSize({ width, height: 844 });
  const fits = await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth);
  check(fits, `${path.basename(file)}: the page fits a ${width}-pixel-wide screen`);
  await page.screenshot({ path: file, fullPage: true });
  await page.setViewportSize({ width: 1280, height: 900 });
}

// axe-core's audit of the page shown: no finding of impact serious or critical. Each one
// is named with its rule, the elements and what the rule asks for.
async function audit(page, name) {
  await page.addScriptTag({ path: AXE });
  const result = await page.evaluate(() => window.axe.run());
  const grave = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  const told = grave.map((v) => `\n  ${v.id} (${v.impact}): ${v.help} [${
    v.nodes.slice(0, 2).map((n) => `${n.target.join(' ')}: ${n.html}`).join(' | ')}${
    v.nodes.length > 2 ? ` | and ${v.nodes.length - 2} more` : ''}]`).join('');
  note(grave.length === 0, `${name}: no serious or critical accessibility finding${told}`);
}

// What every page shows of its language.
async function pageTexts(page) {
  return page.evaluate(() => ({
    lang: document.documentElement.lang,
    title: document.title,
    links: Array.from(document.querySelectorAll('nav a'), (a) => a.textContent),
    footer: document.querySelector('footer').textContent.trim().replace(/\s+/g, ' '),
  }));
}

// The four pages in German as `how` gets them: the form (chosen by its filter and Enter),
// the result page of a post, the receivers and the history.
async function germanPages(page, base, opts, how) {
  const headers = opts.headers === '1';
  const footer = (texts) => /^Velmar Web Server, Version 1\.0\.00/.test(texts.footer);
  const same = (texts, title, links) => texts.lang === 'de' && footer(texts) &&
    texts.title === `${title} - Velmar Web Server` && sameList(texts.links, links);

  await page.goto(`${base}/INDEX.HTM`);
  const form = await pageTexts(page);
  const picker = await page.evaluate(() => [
    document.querySelector('h1').textContent, document.getElementById('filter').placeholder,
    document.getElementById('count').textContent, document.getElementById('clear').textContent,
    document.querySelector('label.only').textContent.trim(),
    document.getElementById('why').textContent, document.getElementById('send-button').textContent,
  ]);
  note(same(form, 'Meldung senden', ['Alle Empfänger', 'Verlauf']) && sameList(picker, [
    'Meldung senden', 'Empfänger suchen', '0 gewählt', 'Alle abwählen', 'Nur die gewählten zeigen',
    'Mindestens einen Empfänger wählen.', 'Meldung senden']),
  `${how}: the form in German: ${JSON.stringify({ ...form, picker })}`);

  const message = `Übung (${how}): Treffpunkt Süd`;
  await page.fill('#filter', 'alpha');
  await page.press('#filter', 'Enter');
  await page.fill('#message', message);
  await Promise.all([page.waitForURL('**/SEND.HTM'), page.click('#send-button')]);
  const result = await pageTexts(page);
  const state = await page.textContent('#state-name');
  note(same(result, 'Meldungsauftrag', ['Alle Empfänger', 'Verlauf']) &&
    /^(in der Warteschlange|übergeben)$/.test(state),
  `${how}: the result page in German: ${JSON.stringify({ ...result, state })}`);
  const entries = await takeWhenThere(opts.take);
  check(entries.length === 1 && entries[0].equals(commandEntry(['Alpha'], message)),
    `${how}: the German form sent its message (${entries.length} entries)`);
  if (headers) {
    const followed = await page.waitForFunction(
      () => /^abgeholt um \d/.test(document.getElementById('state-name').textContent),
      null, { timeout: STEP_MS }).then(() => true, () => false);
    note(followed, `${how}: the result page follows the message in German: ${
      JSON.stringify(await page.textContent('#state-name'))}`);
  }

  await page.goto(`${base}/LIST.HTM`);
  const list = await pageTexts(page);
  const intro = await page.textContent('h1 + p');
  note(same(list, 'Empfänger', ['Verlauf']) && intro === 'Der Alarmserver kennt diese Empfänger:',
    `${how}: the receivers in German: ${JSON.stringify({ ...list, intro })}`);

  await page.goto(`${base}/HISTORY.HTM`);
  const history = await pageTexts(page);
  const columns = await page.$$eval('thead th', (ths) => ths.map((th) => th.textContent));
  const newest = await page.$eval('#history tr', (tr) => tr.cells[3].textContent);
  note(same(history, 'Verlauf', ['Alle Empfänger']) && newest === message && sameList(columns,
    ['Gesendet', 'Von', 'Empfänger', 'Meldung', 'Stand', 'Schritte']),
  `${how}: the history in German: ${JSON.stringify({ ...history, columns, newest })}`);
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
  const ours = (text) => (headers ? text : text.replace(/^Headers=.*\r\n/m, ''));
  const shipped = writeProfile(dir, port, ours);
  check(/^Headers=1\r$/m.test(shipped), 'the shipped profile sends header fields');
  check(/^Language=001\r$/m.test(shipped), 'the shipped profile is English');

  const names = ['zulu Team', 'Alpha', 'Jürgen', 'bravo', 'Control Room', 'Bär Team €'];
  // Sorted without regard to ASCII case, other bytes by their value: 'ä' after 'r'.
  const sorted = ['Alpha', 'bravo', 'Bär Team €', 'Control Room', 'Jürgen', 'zulu Team'];
  const chosen = ['Bär Team €', 'Control Room', 'Jürgen'];
  const message = 'Fire & smoke: +2 floors, 100% evacuated – meet at Süd gate €5';
  writeReceivers(dir, names);

  const velweb = new Velweb(dir, port);
  const base = velweb.base;
  let browser = null;
  let passed = false;
  try {
    await velweb.start();
    browser = await launchBrowser();
    const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
    context.setDefaultTimeout(STEP_MS);
    const page = await context.newPage();

    // The form.
    const response = await page.goto(`${base}/INDEX.HTM`);
    check(response.status() === 200, `INDEX.HTM answers 200 (got ${response.status()})`);
    if (headers) {
      check(response.headers()['content-type'] === 'text/html; charset=windows-1252',
        `Content-Type is ${response.headers()['content-type']}`);
    }
    check((await page.title()) === 'Send a message - Velmar Web Server', 'the form page shows');
    check((await pageTexts(page)).lang === 'en', 'the form says it is English');
    const options = await page.$$eval('select[name=receivers] option', (os) => os.map((o) => o.text));
    check(sameList(options, sorted), `receivers listed sorted: ${JSON.stringify(options)}`);
    const footer = await page.textContent('footer');
    check(/version\s+1\.0\.00/.test(footer), 'the version is shown');
    const logoOk = await page.$eval('header img', (img) => img.complete && img.naturalWidth > 0);
    check(logoOk, 'the logo image loads');

    await choose(page, chosen);
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
    const expected = commandEntry(chosen, message);
    let entries = await takeWhenThere(opts.take);
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

    // What still fits: "FT:", each chosen receiver with its separator and the message, in
    // Windows-1252 bytes with line ends as CR LF; the button waits, saying why, while the
    // message is empty, too long or holds what the alarm server cannot take.
    await page.goto(`${base}/INDEX.HTM`);
    const why = () => page.textContent('#why');
    const fits = () => page.textContent('#fits');
    const waits = () => page.isDisabled('#send-button');
    check((await waits()) && (await why()) === 'Choose at least one receiver.',
      'the button waits for a receiver');
    await choose(page, ['Bär Team €']);
    const room = LIMIT - 3 - (cp1252('Bär Team €').length + 1);
    check((await waits()) && (await why()) === 'Write a message.' &&
      (await fits()) === `${room} characters still fit`,
    `a receiver chosen, ${room} characters fit and the button waits for a message`);
    await page.locator('#message').pressSequentially('Süd €\nx');
    check(!(await waits()) && (await fits()) === `${room - 8} characters still fit`,
      `"Süd €", a line end and "x" take 8 bytes: ${JSON.stringify(await fits())}`);
    await page.locator('#message').pressSequentially('🚒');
    check((await waits()) && (await fits()).endsWith('These characters cannot be sent: 🚒') &&
      (await why()) === 'Remove the characters that cannot be sent.',
    `an emoji is named and stops the button: ${JSON.stringify(await fits())}`);
    await page.locator('#message').press('Backspace');
    check(!(await waits()) && (await fits()) === `${room - 8} characters still fit`,
      'without the emoji the message can go');
    await page.fill('#message', 'x'.repeat(4100));
    check((await waits()) && (await fits()) === `${4100 - room} characters too many` &&
      (await why()) === 'The message is too long for the alarm server.',
    `4,100 characters are too many: ${JSON.stringify(await fits())}`);
    await page.fill('#message', 'x'.repeat(room));
    check(!(await waits()) && (await fits()) === '0 characters still fit',
      'a message that fills the entry exactly can go');

    // German by the browser's languages, the profile saying English.
    const german = await browser.newContext({
      locale: 'de-DE', extraHTTPHeaders: { 'Accept-Language': 'de-DE,de;q=0.9' },
    });
    german.setDefaultTimeout(STEP_MS);
    await germanPages(await german.newPage(), base, opts, 'Accept-Language de');
    await german.close();

    // The picker with as many receivers as a receiver file holds (200), among them names
    // with leading, trailing and double blanks and with signs HTML gives a meaning.
    const stations = Array.from({ length: 192 }, (_, i) => `Station ${String(i + 1).padStart(3, '0')}`);
    const night = '  Night  Shift ';
    const signs = 'A&B <"C"> ä';
    writeReceivers(dir, [...names, ...stations, night, signs]);
    let offered = 0;
    for (let tries = 0; tries < 50 && offered !== 200; ++tries) {
      if (tries > 0) await sleep(200);
      await page.goto(`${base}/INDEX.HTM`);
      offered = await page.locator('#choices li').count();
    }
    check(offered === 200, `the rewritten receiver file counts: 200 to choose from (got ${offered})`);
    note(!(await page.isVisible('#receivers')) && !(await page.isVisible('#receivers-field .hint')),
      'the picker takes the place of the plain list and its hint on holding Ctrl');
    await audit(page, 'INDEX.HTM');
    const visible = () => page.$$eval('#choices li:not([hidden]) label', (ls) => ls.map((l) => l.textContent));
    const ticked = () => page.$$eval('#choices input:checked + label', (ls) => ls.map((l) => l.textContent));
    const count = () => page.textContent('#count');

    await page.locator('#filter').pressSequentially('station 12');
    const twelve = Array.from({ length: 10 }, (_, i) => `Station 12${i}`);
    check(sameList(await visible(), twelve), `"station 12" leaves 10: ${JSON.stringify(await visible())}`);
    await choose(page, ['Station 123', 'Station 127']);
    await page.fill('#filter', 'BÄR');
    await choose(page, ['Bär Team €']);
    await page.fill('#filter', '');
    const three = ['Bär Team €', 'Station 123', 'Station 127'];
    check((await visible()).length === 200 && sameList(await ticked(), three) &&
      (await count()) === '3 chosen', `choices made while filtering stay: ${JSON.stringify(await ticked())}`);
    await page.check('#only');
    check(sameList(await visible(), three), '"show only the chosen" shows the three');
    await page.uncheck('#only');
    await page.click('#clear');
    const selected = () => page.$$eval('#receivers option:checked', (os) => os.map((o) => o.value));
    check((await ticked()).length === 0 && (await selected()).length === 0 &&
      (await count()) === '0 chosen' && (await visible()).length === 200, 'clear all clears them');

    // By keyboard: from the filter Tab leads to the boxes, Space ticks one; Enter in the
    // filter chooses the one receiver left.
    await page.locator('#filter').pressSequentially('station 12');
    let onBox = false;
    for (let tabs = 0; tabs < 6 && !onBox; ++tabs) {
      await page.keyboard.press('Tab');
      onBox = await page.evaluate(() => document.activeElement.matches('#choices input'));
    }
    check(onBox, 'Tab from the filter reaches the boxes');
    await page.keyboard.press('Space');
    await page.keyboard.press('Tab');
    await page.keyboard.press('Tab');
    await page.keyboard.press('Space');
    await page.fill('#filter', 'night');
    await page.press('#filter', 'Enter');
    await page.fill('#filter', 'a&b');
    await page.press('#filter', 'Enter');
    await page.fill('#filter', '');
    const four = [night, signs, 'Station 120', 'Station 122'];
    check(sameList(await selected(), four) && (await count()) === '4 chosen',
      `chosen by keyboard: ${JSON.stringify(await selected())}`);
    const late = 'Night shift, report to gate 3';
    await page.fill('#message', late);
    await phoneShot(page, path.join(opts.shots, `${label}-picker-phone.png`), 360);
    await Promise.all([page.waitForURL('**/SEND.HTM'), page.click('#send-button')]);
    const sentTo = await page.$$eval('#submitted li', (items) => items.map((li) => li.textContent));
    check(sameList(sentTo, four), `the result page names them exactly: ${JSON.stringify(sentTo)}`);
    await audit(page, 'SEND.HTM');
    entries = await takeWhenThere(opts.take);
    const exact = commandEntry(four, late);
    check(entries.length === 1 && entries[0].equals(exact),
      `the names reach the alarm server byte for byte: ${entries.map((e) => e.toString('hex'))} is ${
        exact.toString('hex')}`);
    await page.goto(`${base}/LIST.HTM`);
    await audit(page, 'LIST.HTM');
    await page.goto(`${base}/HISTORY.HTM`);
    await audit(page, 'HISTORY.HTM');
    // On a desktop the table has the room to keep its short words (a state, an address) whole.
    const broken = await page.$eval('#history', (rows) => {
      const found = [];
      const range = document.createRange();
      const texts = document.createTreeWalker(rows, NodeFilter.SHOW_TEXT);
      for (let node = texts.nextNode(); node; node = texts.nextNode()) {
        for (const word of node.data.matchAll(/\S+/g)) {
          range.setStart(node, word.index);
          range.setEnd(node, word.index + word[0].length);
          if (range.getClientRects().length > 1) found.push(word[0]);
        }
      }
      return found;
    });
    note(broken.length === 0, `HISTORY.HTM at 1280 pixels breaks no word: ${JSON.stringify(broken)}`);

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
      const offeredAlice = await alice.$$eval('select[name=receivers] option', (os) => os.map((o) => o.text));
      check(sameList(offeredAlice, ['Alpha']),
        `alice is offered her receivers only: ${JSON.stringify(offeredAlice)}`);
      await choose(alice, ['Alpha']);
      await alice.fill('textarea[name=message]', '<script>document.title="owned"</script> from alice');
      await Promise.all([alice.waitForURL('**/SEND.HTM'), alice.click('button[type=submit]')]);
      const sue = await as('sue', 'sue pw');
      await sue.goto(`${base}/INDEX.HTM`);
      await choose(sue, ['bravo']);
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
      // Before these two: the first message, the German one and the one from the picker.
      const sues = await rows(sue);
      check(sues.length === 5 && sues[0] === 'from sue' && sues[4] === message,
        `sue sees every message, newest first: ${JSON.stringify(sues)}`);
      await phoneShot(sue, path.join(opts.shots, `${label}-history-phone.png`));
      let theirs = 0;
      for (let tries = 0; tries < 2 && theirs < 2; ++tries) theirs += (await takeWhenThere(opts.take)).length;
      check(theirs === 2, `alice's and sue's messages reach the alarm server (${theirs})`);
      fs.rmSync(path.join(dir, 'VELWEB.USR'));
    }

    // German by the profile: started again with Language=049 (and, where there were
    // accounts, without the users file), for a browser whose languages have no file here.
    const stopped = await velweb.stop();
    check(stopped === null, `velweb stops cleanly on SIGTERM for a restart${stopped ? `: ${stopped}` : ''}`);
    writeProfile(dir, port, (text) => ours(text).replace(/^Language=.*\r$/m, 'Language=049\r'));
    await velweb.start();
    const french = await browser.newContext({
      locale: 'fr-FR', extraHTTPHeaders: { 'Accept-Language': 'fr-FR,fr;q=0.9' },
    });
    french.setDefaultTimeout(STEP_MS);
    await germanPages(await french.newPage(), base, opts, 'Language=049');
    await french.close();
    check(faults.length === 0, `every page held (${faults.length} faults):\n${faults.join('\n')}`);
    passed = true;
  } finally {
    if (browser) await browser.close().catch(() => {});
    const stopped = await velweb.stop();
    if (stopped) {
      console.error(`FAIL: ${stopped}`);
      passed = false;
    } else if (passed) {
      console.log('ok: velweb stopped cleanly on SIGTERM');
    }
    if (passed) {
      fs.rmSync(dir, { recursive: true, force: true });
    } else {
      console.error(`velweb output:\n${velweb.output()}`);
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
