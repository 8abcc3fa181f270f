// A long list in Chromium: 10,000 notes, of which the page holds only the rows near what is in
// view. Scrolling to the end and deleting the last note, a search that narrows and widens, the
// rows' places told to screen readers. And every tab checked by axe-core, phone and tablet, light
// and dark.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, mkdirSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import * as app from './helpers.mjs';

const COUNT = 10000;
let server;
let browser;

before(async () => {
  const home = mkdtempSync(join(tmpdir(), 'quillbox-lists-'));
  mkdirSync(join(home, 'cloud'));
  let notes = '';
  for (let i = 1; i <= COUNT; i++) notes += `Note ${i}NOTES_SEPARATOR`;
  writeFileSync(join(home, 'cloud', 'notesFromCloud'), notes);
  writeFileSync(join(home, 'cloud', 'tasksFromCloud'), 'Call AnnaNOTES_SEPARATORhttps://example.com/toNOTES_SEPARATOR');
  writeFileSync(join(home, 'cloud', 'stringTasksFinishedIndicesFromCloud'), '0,');
  writeFileSync(join(home, 'cloud', 'taggedNotesFromCloud'), '🔴  Renew passportNOTES_SEPARATOR🟢  GardenNOTES_SEPARATOR');
  server = await app.startServer({ home });
  browser = await app.launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

// The list in view: how many rows it says it has, and the rows the page holds with their places.
function list(page) {
  return app.panel(page).locator('[role="list"]').evaluate((element) => ({
    count: element.querySelector('[role="listitem"]')?.getAttribute('aria-setsize'),
    rows: [...element.querySelectorAll('[role="listitem"]')].map((row) => row.getAttribute('aria-posinset') + ' ' + row.textContent),
  }));
}

test('scrolled to the end of 10,000 notes, the last one is deleted and the others keep their numbers', async () => {
  const { page, context, problems } = await app.openApp(browser, server);
  await app.waitFor(async () => (await list(page)).count === String(COUNT), { what: 'the whole count' });
  const held = (await list(page)).rows.length;
  assert.ok(held < 200, `the page holds ${held} rows`);
  assert.equal((await list(page)).rows[0], '1 1Note 1');
  const height = await page.evaluate(() => document.documentElement.scrollHeight);
  assert.ok(height > COUNT * 40, `the page is ${height} px high`);

  await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight));
  const last = app.panel(page).getByRole('listitem').filter({ hasText: `${COUNT}Note ${COUNT}` });
  await last.waitFor();
  assert.ok(await last.isVisible());
  assert.equal(await last.getAttribute('aria-posinset'), String(COUNT));
  await last.getByRole('button', { name: 'Delete' }).click();
  await app.waitFor(async () => (await list(page)).count === String(COUNT - 1), { what: 'one note fewer' });
  const rows = (await list(page)).rows;
  assert.deepEqual(rows.slice(-2), [`${COUNT - 2} ${COUNT - 2}Note ${COUNT - 2}`, `${COUNT - 1} ${COUNT - 1}Note ${COUNT - 1}`]);
  assert.equal((await server.cli('notes', 'list')).split('\n').at(-2), `${COUNT - 1}\tNote ${COUNT - 1}`);

  // Back to the middle: the rows there come, numbered by their place in the whole list.
  await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight / 2));
  await app.waitFor(async () => (await list(page)).rows.some((row) => /^(\d+) \1Note \1$/.test(row) && Math.abs(parseInt(row, 10) - COUNT / 2) < 500),
    { what: 'rows from the middle' });
  assert.deepEqual(problems, []);
  await context.close();
});

test('a search narrows and widens the list with its count right', async () => {
  const { page, context } = await app.openApp(browser, server);
  const search = await app.typeInto(page, 'Type in here', '999');
  // Note 999 and Note 1999 ... Note 9999 (deleted above) and Note 9990 ... 9998: 19 of them.
  await app.waitFor(async () => (await list(page)).count === '19', { what: '19 rows for 999' });
  assert.equal((await list(page)).rows[0], '1 999Note 999');
  // A key typed or taken back before the caret is sent as it goes down, as the field will read: no
  // tree between shows what it would have been at the end ("999 ": none, "99").
  await page.evaluate(() => document.addEventListener('quillbox:drawn', () =>
    (window.counts ||= []).push(document.querySelector('[role="tabpanel"]:not([hidden]) .foreach')?.dataset.count)));
  for (const key of ['Home', 'Space']) await search.press(key);
  await app.waitFor(async () => (await page.evaluate(() => window.counts || [])).includes('11'), { what: '11 rows for " 999"' });
  for (const key of ['Backspace', 'End']) await search.press(key);
  await app.waitFor(async () => (await list(page)).count === '19', { what: '19 rows for 999 again' });
  const counts = await page.evaluate(() => window.counts);
  assert.deepEqual(counts.filter((count, i) => count !== counts[i - 1]), ['11', '19']);
  await search.press('Backspace');
  await app.waitFor(async () => (await list(page)).count === '280', { what: 'the 280 rows for 99' });
  await search.fill('');
  await search.dispatchEvent('input');
  await app.waitFor(async () => (await list(page)).count === String(COUNT - 1), { what: 'every row again' });
  await context.close();
});

for (const [name, device] of [['phone', app.PHONE], ['tablet', app.TABLET]]) {
  test(`axe-core finds nothing wrong on any tab of a ${name}, light or dark`, async () => {
    const { page, context } = await app.openApp(browser, server, { device });
    for (const scheme of ['light', 'dark']) {
      await page.emulateMedia({ colorScheme: scheme });
      for (const tab of ['Notes', 'To-Do', 'Tags']) {
        await app.chooseTab(page, tab);
        await app.waitFor(async () => (await app.rows(page)).length > 0, { what: `rows on ${tab}` });
        assert.deepEqual(await app.accessibilityViolations(page), [], `${tab}, ${scheme}`);
      }
    }
    await context.close();
  });
}
