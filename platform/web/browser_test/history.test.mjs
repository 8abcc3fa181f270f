// The History view of a list, in the page and by keyboard: it lists a delete and a merge with
// another device's edit, reverts the delete on the list as it is now (with its own Undo), and
// passes axe, light and dark.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import * as app from './helpers.mjs';

let server, browser;
app.sharedApp((started, launched) => ([server, browser] = [started, launched]));

test('the History view lists a delete and a merge and reverts the delete, by keyboard', async () => {
  const { page, context, problems } = await app.openApp(browser, server);
  for (const text of ['a', 'b']) await app.submitInto(page, 'Type in a note', text);
  await app.panel(page).getByRole('button', { name: 'Delete' }).first().click();
  await app.expectRows(page, ['1|b|Delete']);
  // Another device adds c to the cloud copy; this window's next add is merged onto it.
  const laptop = mkdtempSync(join(tmpdir(), 'quillbox-laptop-'));
  execFileSync(app.QUILLBOX_BIN, ['--home', laptop, '--cloud', join(server.home, 'cloud'), 'notes', 'add', 'c']);
  rmSync(laptop, { recursive: true, force: true });
  await app.submitInto(page, 'Type in a note', 'd');
  await app.expectRows(page, ['1|b|Delete', '2|c|Delete', '3|d|Delete']);

  const opener = page.getByRole('button', { name: 'History' });
  await opener.focus();
  await page.keyboard.press('Enter');
  const dialog = page.getByRole('dialog', { name: 'History of Notes' });
  const items = dialog.locator('.history-what');
  await app.waitFor(async () => (await items.allTextContents()).some((text) => text.startsWith('A merge')),
    { what: 'the merge in the history' });
  const said = await items.allTextContents();
  assert.ok(said.includes('An edit in a window removed "a".'), said.join('\n'));
  for (const scheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme: scheme });
    assert.deepEqual(await app.accessibilityViolations(page), [], scheme);
  }

  // Tab to the delete's "Revert this change" and press it: a comes back before b, c and d stay.
  const revert = dialog.locator('.history-item', { hasText: 'removed "a"' }).getByRole('button', { name: 'Revert this change' });
  for (let i = 0; i < 40 && !(await revert.evaluate((button) => button === document.activeElement)); i++) await page.keyboard.press('Tab');
  await page.keyboard.press('Enter');
  await app.waitFor(async () => (await server.cli('notes', 'list')) === '1\ta\n2\tb\n3\tc\n4\td\n', { what: 'a back' });
  await app.waitFor(async () => (await items.first().textContent()) === 'A revert added "a".', { what: 'the revert listed' });
  await page.keyboard.press('Escape');
  await app.expectRows(page, ['1|a|Delete', '2|b|Delete', '3|c|Delete', '4|d|Delete']);
  assert.equal(await opener.evaluate((button) => button === document.activeElement), true);
  await page.locator('.undo-offer').getByRole('button', { name: 'Undo' }).click();
  await app.expectRows(page, ['1|b|Delete', '2|c|Delete', '3|d|Delete']);
  assert.deepEqual(problems, []);
  await context.close();
});
