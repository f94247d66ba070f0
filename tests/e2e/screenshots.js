// Pictures of the pages for the README: the real velweb with the shipped profile and a few
// receivers, Debian's chromium filling in the form, the result page once the alarm server
// (here e2e_take_commands) has taken the message, and the history; each in English and
// German, on a phone and on a desktop.
//
//   node screenshots.js --dist DIR --take PROGRAM --out DIR
//
// Writes PAGE-LANGUAGE-SIZE.png (form, result, history; en, de; phone, desktop) to --out.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const {
  STEP_MS, freePort, makeProgramDir, writeProfile, writeReceivers, takeWhenThere, Velweb,
  launchBrowser,
} = require('./velweb_run');

const SIZES = { phone: { width: 360, height: 780 }, desktop: { width: 1280, height: 900 } };

const RECEIVERS = [
  'Fire Brigade', 'Security Desk', 'Maintenance', 'Dr. Müller', 'Night Shift', 'Reception',
  'Ward 3 Nurses', 'Cardiac Arrest Team', 'Pharmacy', 'Technical Service', 'Control Room',
];

// What each language's browser asks for and sends.
const LANGUAGES = {
  en: {
    accept: 'en-GB,en;q=0.9',
    locale: 'en-GB',
    receivers: ['Fire Brigade', 'Security Desk'],
    message: 'Smoke alarm in ward 3, room 12. Please check and report to the control room.',
  },
  de: {
    accept: 'de-DE,de;q=0.9',
    locale: 'de-DE',
    receivers: ['Dr. Müller', 'Ward 3 Nurses'],
    message: 'Patient in Zimmer 7 braucht sofort ärztliche Hilfe. Bitte zur Station 3 kommen.',
  },
};

function parseArgs(argv) {
  const opts = {};
  for (let i = 2; i < argv.length; i += 2) opts[argv[i].replace(/^--/, '')] = argv[i + 1];
  for (const key of ['dist', 'take', 'out']) {
    if (!opts[key]) throw new Error(`missing --${key}`);
  }
  return opts;
}

async function shoot(page, out, name) {
  for (const [size, viewport] of Object.entries(SIZES)) {
    await page.setViewportSize(viewport);
    await page.evaluate(() => {
      window.scrollTo(0, 0);
      const choices = document.getElementById('choices');
      if (choices) choices.scrollTop = 0;
    });
    const file = path.join(out, `${name}-${size}.png`);
    await page.screenshot({ path: file });
    console.log(file);
  }
}

// The form with `receivers` chosen and `message` written, as a person does it.
async function fill(page, base, receivers, message) {
  await page.goto(`${base}/INDEX.HTM`);
  for (const name of receivers) await page.getByLabel(name, { exact: true }).check();
  await page.fill('#message', message);
}

// Sends the form and waits on the result page until the alarm server has taken it.
async function send(page, take) {
  await Promise.all([page.waitForURL('**/SEND.HTM'), page.click('#send-button')]);
  if ((await takeWhenThere(take)).length === 0) throw new Error('the message did not arrive');
  await page.waitForFunction(() => {
    const state = document.getElementById('state-name');
    return state.textContent.startsWith(`${state.dataset.taken} `);
  }, null, { timeout: STEP_MS });
}

async function main() {
  const opts = parseArgs(process.argv);
  process.env.VELMAR_INSTANCE = `screenshots-${process.pid}`;
  fs.mkdirSync(opts.out, { recursive: true });
  const dir = makeProgramDir(opts.dist);
  const port = await freePort();
  writeProfile(dir, port);
  writeReceivers(dir, RECEIVERS);
  const velweb = new Velweb(dir, port);
  let browser = null;
  let failed = null;
  try {
    await velweb.start();
    browser = await launchBrowser();
    const pages = {};
    for (const [lang, how] of Object.entries(LANGUAGES)) {
      const context = await browser.newContext({
        viewport: SIZES.desktop, locale: how.locale,
        extraHTTPHeaders: { 'Accept-Language': how.accept },
      });
      context.setDefaultTimeout(STEP_MS);
      pages[lang] = await context.newPage();
    }
    // An earlier message, so that the history has more than today's two.
    await fill(pages.en, velweb.base, ['Maintenance', 'Technical Service'],
      'Lift 2 stopped between floors 3 and 4, nobody inside.');
    await send(pages.en, opts.take);
    for (const [lang, how] of Object.entries(LANGUAGES)) {
      const page = pages[lang];
      await fill(page, velweb.base, how.receivers, how.message);
      await shoot(page, opts.out, `form-${lang}`);
      await page.setViewportSize(SIZES.desktop);
      await send(page, opts.take);
      await shoot(page, opts.out, `result-${lang}`);
    }
    for (const [lang, page] of Object.entries(pages)) {
      await page.setViewportSize(SIZES.desktop);
      await page.goto(`${velweb.base}/HISTORY.HTM`);
      await shoot(page, opts.out, `history-${lang}`);
    }
  } catch (error) {
    failed = error;
  } finally {
    if (browser) await browser.close().catch(() => {});
    const stopped = await velweb.stop();
    if (stopped && !failed) failed = new Error(stopped);
    if (failed) {
      console.error(`velweb output:\n${velweb.output()}`);
    } else {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  }
  if (failed) throw failed;
}

main().catch((error) => {
  console.error(`screenshots: ${error.stack || error}`);
  process.exit(1);
});
