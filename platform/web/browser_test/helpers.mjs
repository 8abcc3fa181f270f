// Shared pieces of the browser tests: a quillbox server on a fresh home, Chromium, and a few
// verbs that read as what a person does on the page.
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { before, after } from 'node:test';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const repo = resolve(here, '../../..');

export const QUILLBOX_BIN = process.env.QUILLBOX_BIN || join(repo, 'build-test/quillbox');
export const SHOTS = process.env.QUILLBOX_SHOTS || join(repo, 'build-test/screenshots');

export const PHONE = { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 2 };
export const TABLET = { viewport: { width: 1024, height: 1366 }, isMobile: true, hasTouch: true, deviceScaleFactor: 1 };

const run = promisify(execFile);

// Starts `quillbox serve` on a new home (or the one given) and waits for the address it prints.
export async function startServer({ listen = '127.0.0.1:0', home, extra = [] } = {}) {
  const folder = home || mkdtempSync(join(tmpdir(), 'quillbox-web-'));
  mkdirSync(folder, { recursive: true });
  const child = spawn(QUILLBOX_BIN, ['--home', folder, ...extra, 'serve', '--listen', listen], {
    stdio: ['ignore', 'pipe', 'pipe'],
    env: { ...process.env, QUILLBOX_CLOUD: '' },
  });
  let output = '';
  let errors = '';
  child.stderr.on('data', (chunk) => { errors += chunk; });
  const url = await new Promise((done, fail) => {
    const timer = setTimeout(() => fail(new Error('quillbox serve printed no address: ' + output + errors)), 20000);
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const found = output.match(/http:\/\/\S+/);
      if (found) {
        clearTimeout(timer);
        done(found[0]);
      }
    });
    child.on('exit', (code) => fail(new Error(`quillbox serve ended (${code}): ${output}${errors}`)));
  });
  const origin = new URL(url).origin;
  return {
    url,
    origin,
    pid: child.pid,
    home: folder,
    output: () => output,
    errors: () => errors,
    // Runs the command line on the same home, as another process.
    async cli(...args) {
      const { stdout } = await run(QUILLBOX_BIN, ['--home', folder, ...args], { env: { ...process.env, QUILLBOX_CLOUD: '' } });
      return stdout;
    },
    async stop() {
      if (child.exitCode === null) {
        const ended = new Promise((done) => child.once('exit', done));
        child.kill('SIGTERM');
        await ended;
      }
      if (!home) rmSync(folder, { recursive: true, force: true });
    },
  };
}

// `quillbox devices add NAME` on the server's home: the phone's address it printed.
export async function pairDevice(server, name) {
  const printed = await server.cli('devices', 'add', name);
  const found = printed.match(/http:\/\/\S+\/device\/#token=[0-9a-f]{64}/);
  if (!found) throw new Error('devices add printed no address: ' + printed);
  return found[0];
}

// One server and one browser for a test file: started before its tests, handed to use, stopped after.
export function sharedApp(use) {
  let server;
  let browser;
  before(async () => {
    server = await startServer();
    browser = await launchBrowser();
    use(server, browser);
  });
  after(async () => {
    await browser?.close();
    await server?.stop();
  });
}

export async function launchBrowser() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
}

// The address the server printed, which carries its token after '#', with the query of path added.
export function addressOf(server, path = '/') {
  const address = new URL(server.url);
  for (const [name, value] of new URL(path, server.origin).searchParams) address.searchParams.set(name, value);
  return address.href;
}

// A page of the app in a context of its own, drawn for a phone unless told otherwise, opened as a
// person opens it: through the printed address.
export async function openApp(browser, server, { device = PHONE, path = '/' } = {}) {
  const context = await browser.newContext({ ...device, baseURL: server.origin });
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
  page.on('dialog', (dialog) => { problems.push('dialog: ' + dialog.message()); dialog.dismiss(); });
  await page.goto(addressOf(server, path));
  await page.getByRole('tab', { name: 'Notes' }).waitFor();
  return { page, context, problems };
}

// The panel of the tab in view.
export function panel(page) {
  return page.locator('[role="tabpanel"]:not([hidden])');
}

// The rows of the list in view, each as its visible text with its parts joined by "|".
export async function rows(page) {
  return panel(page).locator('.foreach > .hstack:not([hidden])').evaluateAll((list) => list.map((row) =>
    [...row.children].filter((part) => !part.classList.contains('spacer'))
      .map((part) => part.getAttribute('aria-label') || part.textContent).join('|')));
}

// Types text key by key into the field with that placeholder, in the tab in view.
export async function typeInto(page, placeholder, text) {
  const field = panel(page).getByPlaceholder(placeholder);
  await field.click();
  await field.pressSequentially(text);
  return field;
}

// Adds an entry through the field with that placeholder and waits until the field is empty again.
export async function submitInto(page, placeholder, text) {
  const field = await typeInto(page, placeholder, text);
  await field.press('Enter');
  await waitFor(async () => (await field.inputValue()) === '', { what: `the field emptied after adding ${text}` });
}

export async function chooseTab(page, name) {
  await page.getByRole('tab', { name }).click();
  await waitFor(async () => (await page.getByRole('tab', { name }).getAttribute('aria-selected')) === 'true');
}

// Polls until check() holds, then returns; fails with what it last saw after some seconds (the
// test build runs under sanitizers on a shared machine).
export async function waitFor(check, { timeout = 10000, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last === true) return;
    } catch (error) {
      last = error;
    }
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}; last: ${last}`);
    await new Promise((done) => setTimeout(done, 25));
  }
}

// Waits until the rows of the list in view read as expected.
export async function expectRows(page, expected, timeout = 10000) {
  let seen;
  await waitFor(async () => {
    seen = await rows(page);
    return JSON.stringify(seen) === JSON.stringify(expected);
  }, { timeout, what: `rows ${JSON.stringify(expected)}` }).catch((error) => {
    throw new Error(`${error.message}\nrows were ${JSON.stringify(seen)}`);
  });
}

export async function screenshot(page, name) {
  mkdirSync(SHOTS, { recursive: true });
  await page.screenshot({ path: join(SHOTS, name + '.png') });
}

const AXE = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

// What axe-core finds wrong with the page as it stands, one line per element: "rule: element
// (why)". axe is put into the page through the browser's debugging protocol, since the page's
// policy allows no script but its own.
export async function accessibilityViolations(page) {
  const cdp = await page.context().newCDPSession(page);
  try {
    const run = async (expression) => {
      const { result, exceptionDetails } = await cdp.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
      if (exceptionDetails) throw new Error(exceptionDetails.exception?.description || exceptionDetails.text);
      return result.value;
    };
    await run(AXE);
    return await run(`axe.run(document, { resultTypes: ['violations'] }).then((found) => found.violations.flatMap(
      (rule) => rule.nodes.map((node) => rule.id + ': ' + node.target.join(' ') + ' (' + node.failureSummary.replace(/\\s+/g, ' ') + ')')))`);
  } finally {
    await cdp.detach();
  }
}
