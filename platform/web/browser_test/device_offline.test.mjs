// A paired phone keeps its own lists: it opens from its service worker and works with the server
// stopped, sends its edits when the server is back (the server's command line, another device of
// the same cloud, lists them), takes the cloud's copy at the next load, keeps its edits when its
// access is revoked, and keeps an add through the browser being killed. Skipped for a server built
// without the device app.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import * as app from './helpers.mjs';

let server;
let browser;
let built;

before(async () => {
  server = await app.startServer({ home: mkdtempSync(join(tmpdir(), 'quillbox-device-')) });
  built = (await fetch(server.origin + '/device/device-worker.js')).status === 200;
  browser = await app.launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
  rmSync(server.home, { recursive: true, force: true });
});

// Opens the pairing address and waits for the app's lists and its service worker.
async function openDevice(address, context) {
  const page = context.pages()[0] || await context.newPage();
  await page.goto(address);
  await page.getByRole('tab', { name: 'Notes' }).waitFor();
  await page.evaluate(() => navigator.serviceWorker.ready);
  return page;
}

const statusIs = (page, pattern) => app.waitFor(async () => pattern.test(await page.locator('#status').textContent()),
  { timeout: 30000, what: `the status line to say ${pattern}` });
const hasRow = (page, text) => app.waitFor(async () => (await app.rows(page)).some((row) => row.includes(text)),
  { what: `a row with ${text}` });

test('the app opens with the server stopped; edits made offline stay through a reload and reach the server when it is back; the cloud wins at the next load', async (t) => {
  if (!built) return t.skip('built without the device app');
  const context = await browser.newContext({ ...app.PHONE });
  const page = await openDevice(await app.pairDevice(server, 'phone'), context);
  await server.stop();
  await page.reload();
  await app.submitInto(page, 'Type in a note', 'written on the train');
  await app.chooseTab(page, 'To-Do');
  await app.submitInto(page, 'Type in a to-do', 'buy a ticket');
  await app.chooseTab(page, 'Tags');
  await app.submitInto(page, 'Type in a note', 'tagged offline');
  await statusIs(page, /^Offline: \d+ edits? waiting/);
  await page.reload();
  await app.chooseTab(page, 'Tags');
  await app.expectRows(page, ['🔴  tagged offline|Delete']);
  await app.screenshot(page, 'phone-device');

  server = await app.startServer({ home: server.home, listen: new URL(page.url()).host });
  await page.evaluate(() => dispatchEvent(new Event('online')));
  await app.waitFor(async () => (await server.cli('tags', 'list', '--tag', 'red')).includes('tagged offline'),
    { timeout: 30000, what: 'the server to list the tagged note' });
  assert.match(await server.cli('notes', 'list'), /^1\twritten on the train\n$/);
  assert.match(await server.cli('tasks', 'list'), /buy a ticket/);
  await statusIs(page, /^$/);

  await server.cli('notes', 'add', 'from the laptop');  // another device's edit, in the cloud copy
  await page.reload();
  await app.expectRows(page, ['1|written on the train|Delete', '2|from the laptop|Delete']);
  await context.close();
});

test('a revoked device is told so, and keeps its edits', async (t) => {
  if (!built) return t.skip('built without the device app');
  const page = await openDevice(await app.pairDevice(server, 'lost-phone'), await browser.newContext({ ...app.PHONE }));
  await server.cli('devices', 'revoke', 'lost-phone');
  await app.submitInto(page, 'Type in a note', 'not sent');
  await statusIs(page, /revoked/);
  await page.reload();
  await hasRow(page, 'not sent');
  assert.doesNotMatch(await server.cli('notes', 'list'), /not sent/);
  await page.context().close();
});

test('an add survives the browser being killed right after it shows', async (t) => {
  if (!built) return t.skip('built without the device app');
  const profile = mkdtempSync(join(tmpdir(), 'quillbox-profile-'));
  // A Chromium of its own, to be killed outright (every process of it, as its group), on a profile that
  // outlives it.
  const launch = async () => {
    const child = spawn('/usr/bin/chromium', ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--remote-debugging-port=0', `--user-data-dir=${profile}`, '--window-size=390,844', 'about:blank'],
    { stdio: ['ignore', 'ignore', 'pipe'], detached: true });
    let said = '';
    const endpoint = await new Promise((done, fail) => {
      child.stderr.on('data', (chunk) => (said += chunk).replace(/DevTools listening on (ws:\S+)/, (_, found) => done(found)));
      child.once('exit', () => fail(new Error('chromium ended: ' + said)));
    });
    const kill = () => new Promise((done) => (child.exitCode ?? child.signalCode) !== null ? done()
      : (child.once('exit', done), process.kill(-child.pid, 'SIGKILL')));
    return { kill, context: (await chromium.connectOverCDP(endpoint)).contexts()[0] };
  };
  let chrome;
  try {
    chrome = await launch();
    const page = await openDevice(await app.pairDevice(server, 'killed'), chrome.context);
    await app.submitInto(page, 'Type in a note', 'kept through a kill');
    await hasRow(page, 'kept through a kill');  // shown once it is durable: the kill follows at once
    await chrome.kill();
    chrome = await launch();
    await hasRow(await openDevice(server.origin + '/device/', chrome.context), 'kept through a kill');
  } finally {
    await chrome?.kill();
    rmSync(profile, { recursive: true, force: true, maxRetries: 10 });
  }
});
