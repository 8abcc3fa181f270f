// Windows and processes sharing one app: two pages see each other's edits, the command line's
// add shows up in an open page, a cloud copy edited behind the app's back is taken on the next
// Foreground. The page's secret never leaves its port, and a failed event says why.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { join } from 'node:path';
import * as app from './helpers.mjs';

let server, browser;
app.sharedApp((started, launched) => ([server, browser] = [started, launched]));

// The page goes out of sight and comes back, as when the person switches apps.
async function leaveAndComeBack(page) {
  for (const state of ['hidden', 'visible']) {
    await page.evaluate((value) => {
      Object.defineProperty(document, 'visibilityState', { value, configurable: true });
      document.dispatchEvent(new Event('visibilitychange'));
    }, state);
  }
}

test('two pages are two windows that see each other\'s edits without reloading', async () => {
  const phone = await app.openApp(browser, server);
  const tablet = await app.openApp(browser, server, { device: app.TABLET });
  await app.submitInto(phone.page, 'Type in a note', 'from the phone');
  await app.expectRows(tablet.page, ['1|from the phone|Delete']);

  // Each window keeps its own view state: a search typed on the tablet does not reach the phone.
  await app.typeInto(tablet.page, 'Type in here', 'nothing like it');
  await app.expectRows(tablet.page, []);
  await app.submitInto(phone.page, 'Type in a note', 'second');
  await app.expectRows(phone.page, ['1|from the phone|Delete', '2|second|Delete']);
  assert.equal(await app.panel(phone.page).getByPlaceholder('Type in here').inputValue(), '');

  await app.chooseTab(tablet.page, 'To-Do');
  await app.submitInto(tablet.page, 'Type in a to-do', 'shared to-do');
  await app.chooseTab(phone.page, 'To-Do');
  await app.expectRows(phone.page, ['Mark finished|shared to-do|Delete']);
  await app.panel(tablet.page).getByRole('button', { name: 'Mark finished' }).click();
  await app.expectRows(tablet.page, ['Mark unfinished|shared to-do|Delete']);
  // A finished mark lives in each window's own list: another window takes it on its next load.
  await leaveAndComeBack(phone.page);
  await app.expectRows(phone.page, ['Mark unfinished|shared to-do|Delete']);
  for (const opened of [phone, tablet]) await opened.context.close();
});

test('a cloud copy edited behind the app\'s back is taken on the next Foreground', async () => {
  const { page, context } = await app.openApp(browser, server);
  await server.cli('notes', 'add', 'from the command line');  // another process: the open page shows it
  await app.expectRows(page, ['1|from the phone|Delete', '2|second|Delete', '3|from the command line|Delete']);
  const cloudFile = join(server.home, 'cloud', 'notesFromCloud');
  const shown = 'from the phoneNOTES_SEPARATORsecondNOTES_SEPARATORfrom the command lineNOTES_SEPARATOR';
  assert.equal(readFileSync(cloudFile, 'utf8'), shown);
  writeFileSync(cloudFile, 'from another deviceNOTES_SEPARATOR');
  // Another process writes the local store: the page shows that write, and the write goes to the
  // cloud, where the sender finds the other copy and merges the local add onto it; whether the page
  // showed the write before the merge is a race. The next Foreground shows the merge.
  await server.cli('store', 'set', 'stringNotes', `${shown}localNOTES_SEPARATOR`);
  const merged = ['1|from another device|Delete', '2|local|Delete'];
  const local = ['1|from the phone|Delete', '2|second|Delete', '3|from the command line|Delete', '4|local|Delete'];
  await app.waitFor(async () => [local, merged].map((rows) => rows.join()).includes((await app.rows(page)).join()));
  await leaveAndComeBack(page);
  await app.expectRows(page, merged);
  assert.equal(await server.cli('store', 'get', 'stringNotes'), 'from another deviceNOTES_SEPARATORlocalNOTES_SEPARATOR\n');
  await context.close();
});

test('the secret stays on its port: out of the address bar, kept through a reload, never sent elsewhere', async () => {
  const token = new URLSearchParams(new URL(server.url).hash.slice(1)).get('token');
  // Another server on another port of the same address, as another local user might run.
  const seen = [];
  const other = createServer((request, response) => {
    seen.push(`${request.url} ${JSON.stringify(request.headers)}`);
    response.end('<!doctype html><title>other</title>');
  });
  await new Promise((done) => other.listen(0, '127.0.0.1', done));

  const context = await browser.newContext({ ...app.PHONE });
  const page = await context.newPage();
  await page.goto(server.url);
  await page.getByRole('tab', { name: 'Notes' }).waitFor();
  assert.equal(page.url(), server.origin + '/');
  await app.submitInto(page, 'Type in a note', 'behind the token');
  await page.reload();
  await app.waitFor(async () => (await app.rows(page)).some((row) => row.includes('behind the token')));
  assert.equal(page.url(), server.origin + '/');
  assert.equal(await page.getByRole('link', { name: 'Open in a new tab' }).getAttribute('href'), `/#token=${token}`);

  await page.goto(`http://127.0.0.1:${other.address().port}/`);
  await page.evaluate(() => fetch('/more', { credentials: 'include' }));
  const bare = await context.newPage();  // a tab of its own, without the secret: the page says so
  await bare.goto(server.origin + '/');
  await bare.getByText('Open the address that `quillbox serve` printed').waitFor();
  assert.deepEqual([await context.cookies(), seen.length >= 2, seen.filter((line) => line.includes(token))], [[], true, []]);
  other.close();
  await context.close();
});

test('an event the app could not do shows why and keeps the typed text until an event succeeds', async () => {
  const { page, context } = await app.openApp(browser, server);
  // The settings store refuses the add: the page is answered as the server then answers.
  let failing = true;
  await page.routeWebSocket('**/api/socket**', (socket) => {
    const upstream = socket.connectToServer();
    socket.onMessage((message) => {
      const event = JSON.parse(message);
      if (failing && event.type === 'submit') {
        socket.send(JSON.stringify({ answer: event.seq, status: 503, error: 'cannot write the settings store: disk full' }));
      } else {
        upstream.send(message);
      }
    });
  });
  await leaveAndComeBack(page);  // the page's socket opens again, through the route
  const field = await app.typeInto(page, 'Type in a note', 'not lost');
  await field.press('Enter');
  const status = page.getByRole('status');
  await app.waitFor(async () => (await status.textContent()) === 'Not done: cannot write the settings store: disk full',
    { what: 'the failure in the status line' });
  assert.equal(await field.inputValue(), 'not lost');
  failing = false;
  await field.press('Enter');
  await app.waitFor(async () => (await field.inputValue()) === '' && await status.isHidden(), { what: 'the add done' });
  await context.close();
});
