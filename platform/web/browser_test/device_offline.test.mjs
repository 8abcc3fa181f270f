// A paired phone keeps its own lists: it works with the server stopped, sends its edits when the
// server is back (the server's command line, another device of the same cloud, lists them), takes
// the cloud's copy at the next load, keeps its edits when its access is revoked, and keeps an add
// through the browser being killed. Skipped for a server built without the device app.
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
let skip = false;

before(async () => {
  server = await app.startServer({ home: mkdtempSync(join(tmpdir(), 'quillbox-device-')) });
  skip = (await fetch(server.origin + '/device/device-worker.js')).status !== 200;
  browser = await app.launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
  rmSync(server.home, { recursive: true, force: true });
});

async function pair(name) {
  return (await server.cli('devices', 'add', name)).match(/http:\/\/\S+\/device\/#token=\S+/)[0];
}

// Opens the pairing address in a new context and waits for the app's lists and its service worker.
async function openDevice(address, context) {
  context ||= await browser.newContext({ ...app.PHONE });
  const page = context.pages()[0] || await context.newPage();
  await page.goto(address);
  await page.getByRole('tab', { name: 'Notes' }).waitFor();
  await page.evaluate(() => navigator.serviceWorker.ready);
  return { context, page };
}

function statusIs(page, pattern) {
  return app.waitFor(async () => pattern.test(await page.getByRole('status').textContent()),
    { what: `the status line to say ${pattern}` });
}

test('edits made offline stay through a reload and reach the server when it is back; the cloud wins at the next load', async (t) => {
  if (skip) return t.skip('built without the device app');
  const { context, page } = await openDevice(await pair('phone'));
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

  server = await app.startServer({ home: server.home, listen: new URL(page.url()).host });
  await page.evaluate(() => dispatchEvent(new Event('online')));
  await app.waitFor(async () => (await server.cli('tags', 'list', '--tag', 'red')).includes('tagged offline'),
    { timeout: 30000, what: 'the server to list the tagged note' });
  assert.match(await server.cli('notes', 'list'), /^1\twritten on the train\n$/);
  assert.match(await server.cli('tasks', 'list'), /buy a ticket/);
  await statusIs(page, /^$/);

  // Another device's edit, in the cloud copy: the phone takes it at its next load.
  await server.cli('notes', 'add', 'from the laptop');
  await page.reload();
  await app.expectRows(page, ['1|written on the train|Delete', '2|from the laptop|Delete']);
  await context.close();
});

test('a revoked device is told so, and keeps its edits', async (t) => {
  if (skip) return t.skip('built without the device app');
  const { context, page } = await openDevice(await pair('lost-phone'));
  await server.cli('devices', 'revoke', 'lost-phone');
  await app.submitInto(page, 'Type in a note', 'not sent');
  await statusIs(page, /revoked/);
  await page.reload();
  await app.waitFor(async () => (await app.rows(page)).some((row) => row.includes('not sent')));
  assert.doesNotMatch(await server.cli('notes', 'list'), /not sent/);
  await context.close();
});

test('an add survives the browser being killed right after it shows', async (t) => {
  if (skip) return t.skip('built without the device app');
  const profile = mkdtempSync(join(tmpdir(), 'quillbox-profile-'));
  const address = await pair('killed');
  // Chromium of its own, so that it can be killed outright, on a profile that outlives it.
  const launch = async () => {
    const child = spawn('/usr/bin/chromium', ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--remote-debugging-port=0', `--user-data-dir=${profile}`, 'about:blank'], { stdio: ['ignore', 'ignore', 'pipe'] });
    const endpoint = await new Promise((done, fail) => {
      let said = '';
      child.stderr.on('data', (chunk) => {
        said += chunk;
        const found = said.match(/DevTools listening on (ws:\S+)/);
        if (found) done(found[1]);
      });
      child.once('exit', () => fail(new Error('chromium ended: ' + said)));
    });
    const connected = await chromium.connectOverCDP(endpoint);
    return { child, connected, context: connected.contexts()[0] };
  };
  try {
    let chrome = await launch();
    const { page } = await openDevice(address, chrome.context);
    await page.setViewportSize(app.PHONE.viewport);
    await app.submitInto(page, 'Type in a note', 'kept through a kill');
    // The tree with the add comes only once the add is durable: the kill follows it at once.
    await app.waitFor(async () => (await app.rows(page)).some((row) => row.includes('kept through a kill')));
    chrome.child.kill('SIGKILL');
    await new Promise((done) => chrome.child.once('exit', done));
    chrome = await launch();
    const again = chrome.context.pages()[0] || await chrome.context.newPage();
    await again.goto(server.origin + '/device/');
    await app.waitFor(async () => (await app.rows(again)).some((row) => row.includes('kept through a kill')),
      { what: 'the add after the kill' });
    await chrome.connected.close();
    chrome.child.kill('SIGKILL');
  } finally {
    rmSync(profile, { recursive: true, force: true });
  }
});
