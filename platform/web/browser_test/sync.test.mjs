// Windows and processes sharing one app: two pages see each other's edits, the command line's
// add shows up in an open page, a cloud copy edited behind the app's back is taken on the next
// Foreground. Nothing is served without the token, and a failed event says why.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, statSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import * as app from './helpers.mjs';

let server;
let browser;
app.sharedApp((started, launched) => {
  server = started;
  browser = launched;
});

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
  assert.equal(readFileSync(cloudFile, 'utf8'), 'from the phoneNOTES_SEPARATORsecondNOTES_SEPARATORfrom the command lineNOTES_SEPARATOR');
  writeFileSync(cloudFile, 'from another deviceNOTES_SEPARATOR');
  await new Promise((done) => setTimeout(done, 400));
  await app.expectRows(page, ['1|from the phone|Delete', '2|second|Delete', '3|from the command line|Delete']);
  await leaveAndComeBack(page);
  await app.expectRows(page, ['1|from another device|Delete']);
  assert.equal(await server.cli('store', 'get', 'stringNotes'), 'from another deviceNOTES_SEPARATOR\n');
  await context.close();
});

test('every request without the token is refused, on loopback too, and the printed address opens the app', async () => {
  const printed = new URL(server.url);
  const token = printed.searchParams.get('token');
  assert.match(token, /^[0-9a-f]{64}$/);
  const file = join(server.home, 'web-token');
  assert.equal(readFileSync(file, 'utf8').trim(), token);
  assert.equal(statSync(file).mode & 0o777, 0o600);

  const context = await browser.newContext({ ...app.PHONE });
  const page = await context.newPage();
  const refused = await page.goto(server.origin + '/');
  assert.equal(refused.status(), 403);
  await page.goto(server.url);
  assert.equal(page.url(), server.origin + '/');
  await page.getByRole('tab', { name: 'Notes' }).waitFor();
  await app.submitInto(page, 'Type in a note', 'behind the token');
  assert.equal(await page.evaluate(() => document.cookie), '');  // the cookie is HttpOnly
  await context.close();
});

test('an event the app could not do shows why and keeps the typed text until an event succeeds', async () => {
  const { page, context } = await app.openApp(browser, server);
  // The settings store refuses the add: the server answers as it then does.
  await page.route('**/api/event', (route) => (route.request().postDataJSON().type === 'submit'
    ? route.fulfill({ status: 503, contentType: 'application/json', body: '{"error":"cannot write the settings store: disk full"}' })
    : route.continue()));
  const field = await app.typeInto(page, 'Type in a note', 'not lost');
  await field.press('Enter');
  const status = page.getByRole('status');
  await app.waitFor(async () => (await status.textContent()) === 'Not done: cannot write the settings store: disk full',
    { what: 'the failure in the status line' });
  assert.equal(await field.inputValue(), 'not lost');
  await page.unroute('**/api/event');
  await field.press('Enter');
  await app.waitFor(async () => (await field.inputValue()) === '' && await status.isHidden(), { what: 'the add done' });
  await context.close();
});
