// Undo in the page and in the phone's own app: a change made in a window is offered back for a
// while; Undo (the button or Ctrl+Z) takes it back in every open window, the local store and the
// cloud, keeps what another window did meanwhile, and a second Undo takes the change before.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as app from './helpers.mjs';

let server, browser;
app.sharedApp((started, launched) => ([server, browser] = [started, launched]));

const offer = (page) => page.locator('.undo-offer');
// The page's timers stand still until the test moves them: the offer's time is the test's.
const stopClock = async (page) => {
  await page.clock.install();
  await page.clock.pauseAt(new Date(Date.now() + 60000));
};
const offerSays = (page, text) => app.waitFor(async () => await offer(page).isVisible()
  && (await offer(page).locator('[aria-live]').textContent()) === text, { what: `the offer "${text}"` });

test('a delete is undone in every window, the store and the cloud; an entry another window added stays', async () => {
  const a = await app.openApp(browser, server);
  const b = await app.openApp(browser, server);
  await stopClock(a.page);
  for (const text of ['Buy milk', 'eggs', 'Buy milk']) await app.submitInto(a.page, 'Type in a note', text);
  await offerSays(a.page, 'Added "Buy milk"');
  await app.panel(a.page).getByRole('button', { name: 'Delete' }).first().click();
  await offerSays(a.page, 'Deleted "Buy milk" and 1 equal note');
  await app.expectRows(b.page, ['1|eggs|Delete']);
  assert.equal(await offer(b.page).isVisible(), false);  // the offer stays with the window that made the change

  await offer(a.page).getByRole('button', { name: 'Undo' }).click();
  const all = ['1|Buy milk|Delete', '2|eggs|Delete', '3|Buy milk|Delete'];
  await app.expectRows(a.page, all);
  await app.expectRows(b.page, all);
  assert.equal(await server.cli('notes', 'list'), '1\tBuy milk\n2\teggs\n3\tBuy milk\n');
  assert.equal(await server.cli('cloud', 'get', 'notesFromCloud'), 'Buy milkNOTES_SEPARATOReggsNOTES_SEPARATORBuy milkNOTES_SEPARATOR\n');

  // Another window adds while the offer stands: Ctrl+Z, away from the fields, keeps that add.
  await app.panel(a.page).getByRole('button', { name: 'Delete' }).nth(1).click();
  await app.submitInto(b.page, 'Type in a note', 'bread');
  await app.expectRows(a.page, ['1|Buy milk|Delete', '2|Buy milk|Delete', '3|bread|Delete']);
  await app.panel(a.page).getByPlaceholder('Type in a note').press('Control+z');  // the field's own undo
  await app.expectRows(a.page, ['1|Buy milk|Delete', '2|Buy milk|Delete', '3|bread|Delete']);
  await a.page.locator('body').click({ position: { x: 5, y: 5 } });
  await a.page.keyboard.press('Control+z');
  await app.expectRows(b.page, ['1|Buy milk|Delete', '2|eggs|Delete', '3|Buy milk|Delete', '4|bread|Delete']);
  // The one before: the delete undone first is not offered again; the adds are.
  await offerSays(a.page, 'Added "Buy milk"');
  await offer(a.page).getByRole('button', { name: 'Undo' }).focus();
  await a.page.clock.runFor(20000);
  assert.equal(await offer(a.page).isVisible(), true);  // it stays while it has the focus
  await a.page.keyboard.press('Enter');
  await app.expectRows(a.page, ['1|Buy milk|Delete', '2|eggs|Delete', '3|bread|Delete']);
  await a.page.locator('body').click({ position: { x: 5, y: 5 } });
  await a.page.clock.runFor(8000);
  assert.equal(await offer(a.page).isVisible(), false);
  assert.deepEqual([...a.problems, ...b.problems], []);
  await a.context.close();
  await b.context.close();
});

test('a to-do delete and its mark come back as one; the offer passes axe, light and dark', async () => {
  const { page, context, problems } = await app.openApp(browser, server, { device: app.TABLET });
  await stopClock(page);
  await app.chooseTab(page, 'To-Do');
  for (const text of ['call Ann', 'water plants']) await app.submitInto(page, 'Type in a to-do', text);
  await app.panel(page).getByRole('button', { name: 'Mark finished' }).first().click();
  await offerSays(page, 'Marked "call Ann" finished');
  await app.panel(page).getByRole('button', { name: 'Delete' }).first().click();
  await offerSays(page, 'Deleted "call Ann"');
  // axe needs the page's timers: the offer stays while it has the focus.
  await offer(page).getByRole('button', { name: 'Undo' }).focus();
  await page.clock.resume();
  for (const scheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme: scheme });
    assert.deepEqual(await app.accessibilityViolations(page), [], scheme);
  }
  await page.clock.pauseAt(new Date(Date.now() + 3600000));
  await offer(page).getByRole('button', { name: 'Undo' }).click();
  await app.expectRows(page, ['Mark unfinished|call Ann|Delete', 'Mark finished|water plants|Delete']);
  assert.match(await server.cli('tasks', 'list'), /^1\t\[x\] call Ann\n2\t\[ \] water plants\n$/);
  await offerSays(page, 'Marked "call Ann" finished');
  await page.keyboard.press('Control+z');
  await app.expectRows(page, ['Mark finished|call Ann|Delete', 'Mark finished|water plants|Delete']);
  assert.deepEqual(problems, []);
  await context.close();
});

test('on the phone\'s own app an undone delete is back in its store and reaches the cloud', async (t) => {
  if ((await fetch(server.origin + '/device/device-worker.js')).status !== 200) return t.skip('built without the device app');
  const context = await browser.newContext({ ...app.PHONE });
  const page = await context.newPage();
  await page.goto(await app.pairDevice(server, 'undo-phone'));
  await page.getByRole('tab', { name: 'Notes' }).waitFor();
  await stopClock(page);
  await app.submitInto(page, 'Type in a note', 'from the phone');
  const row = app.panel(page).locator('.foreach > .hstack', { hasText: 'from the phone' });
  await row.getByRole('button', { name: 'Delete' }).click();
  await offerSays(page, 'Deleted "from the phone"');
  await page.keyboard.press('Meta+z');
  await row.waitFor();
  await app.waitFor(async () => (await server.cli('notes', 'list')).includes('from the phone'),
    { timeout: 30000, what: 'the cloud to hold the note again' });
  await page.reload();
  await app.panel(page).locator('.foreach > .hstack', { hasText: 'from the phone' }).waitFor();
  await context.close();
});
