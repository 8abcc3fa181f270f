// The Notes tab in Chromium: adding, searching key by key, deleting, numbering, links, markup
// shown as text, keyboard use, and a page that fits a narrow phone.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as app from './helpers.mjs';

let server, browser;
app.sharedApp((started, launched) => ([server, browser] = [started, launched]));

test('notes are added, numbered, searched key by key and deleted by value', async () => {
  const { page, context, problems } = await app.openApp(browser, server);
  for (const text of ['Buy milk', 'fresh milk', 'eggs', 'Buy milk']) await app.submitInto(page, 'Type in a note', text);
  await app.expectRows(page, ['1|Buy milk|Delete', '2|fresh milk|Delete', '3|eggs|Delete', '4|Buy milk|Delete']);

  // Each keystroke narrows the rows while the field keeps its focus and its caret.
  const search = app.panel(page).getByPlaceholder('Type in here');
  await search.click();
  const seen = [];
  for (const key of 'milk') {
    await search.press(key);
    const typed = await search.inputValue();
    await app.waitFor(async () => {
      const shown = await app.rows(page);
      return shown.every((row) => row.split('|')[1].includes(typed)) && shown.length > 0;
    }, { what: `rows for "${typed}"` });
    seen.push(`${typed}:${(await app.rows(page)).length}`);
    assert.deepEqual(await search.evaluate((field) => [document.activeElement === field, field.selectionStart]),
      [true, typed.length]);
  }
  assert.deepEqual(seen, ['m:3', 'mi:3', 'mil:3', 'milk:3']);

  // A delete removes every note equal to the chosen one; the rest are numbered again.
  await app.panel(page).getByRole('button', { name: 'Delete' }).first().click();
  await search.fill('');
  await search.dispatchEvent('input');
  await app.expectRows(page, ['1|fresh milk|Delete', '2|eggs|Delete']);
  assert.deepEqual(problems, []);
  await context.close();
});

test('a link note opens its address in a new tab that cannot reach back', async () => {
  const { page, context } = await app.openApp(browser, server);
  await context.route('https://example.com/**', (route) =>
    route.fulfill({ contentType: 'text/html', body: '<title>Example</title><p>example</p>' }));
  await app.submitInto(page, 'Type in a note', 'https://example.com/some/path?q=1');
  await app.submitInto(page, 'Type in a note', 'javascript:alert(1)');
  await app.submitInto(page, 'Type in a note', 'https://bad host');
  const link = app.panel(page).getByRole('link', { name: 'https://example.com/some/path?q=1' });
  assert.deepEqual(await link.evaluate((a) => [a.getAttribute('href'), a.target, a.rel]),
    ['https://example.com/some/path?q=1', '_blank', 'noopener noreferrer']);
  // The script text is plain text, and an address that does not parse shows no label.
  await app.expectRows(page, ['1|fresh milk|Delete', '2|eggs|Delete', '3|https://example.com/some/path?q=1|Delete',
    '4|javascript:alert(1)|Delete', '5|Delete']);
  assert.equal(await app.panel(page).getByRole('link').count(), 1);

  const [opened] = await Promise.all([context.waitForEvent('page'), link.click()]);
  await opened.waitForLoadState();
  assert.equal(opened.url(), 'https://example.com/some/path?q=1');
  assert.equal(await opened.evaluate(() => window.opener), null);
  await opened.close();
  await context.close();
});

test('a note holding markup shows as that text and runs nothing', async () => {
  const { page, context, problems } = await app.openApp(browser, server);
  const markup = '<img src=x onerror=alert(1)>';
  await app.submitInto(page, 'Type in a note', markup);
  await app.submitInto(page, 'Type in a note', '<script>alert(2)</script> & &amp;');
  await app.waitFor(async () => (await app.rows(page)).length === 7);
  const shown = await app.rows(page);
  assert.equal(shown[5], `6|${markup}|Delete`);
  assert.equal(shown[6], '7|<script>alert(2)</script> & &amp;|Delete');
  assert.equal(await page.locator('#app img, #app script').count(), 0);
  await page.reload();
  await app.expectRows(page, shown);
  assert.deepEqual(problems, []);
  await context.close();
});

test('everything works by keyboard', async () => {
  const { page, context } = await app.openApp(browser, server, { device: app.TABLET });
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')), 'Type in a note');
  await page.keyboard.type('typed by keys');
  await page.keyboard.press('Enter');
  await app.waitFor(async () => (await app.rows(page)).at(-1) === '8|typed by keys|Delete');
  // Shift+Tab from the tab bar reaches the last row's trash button.
  await page.getByRole('tab', { name: 'Notes' }).focus();
  await page.keyboard.press('Shift+Tab');
  assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')), 'Delete');
  await page.keyboard.press('Enter');
  await app.waitFor(async () => (await app.rows(page)).length === 7);
  // Arrow keys move along the tab bar and choose the tab.
  await page.getByRole('tab', { name: 'Notes' }).focus();
  await page.keyboard.press('ArrowRight');
  assert.equal(await page.getByRole('tab', { name: 'To-Do' }).getAttribute('aria-selected'), 'true');
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'To-Do');
  await page.keyboard.press('End');
  assert.equal(await page.getByRole('tab', { name: 'Tags' }).getAttribute('aria-selected'), 'true');
  await context.close();
});

test('at 320 pixels nothing scrolls sideways and every tap target is at least 44 high', async () => {
  const { page, context } = await app.openApp(browser, server, { device: { ...app.PHONE, viewport: { width: 320, height: 640 } } });
  await app.submitInto(page, 'Type in a note', 'x'.repeat(300));
  await app.submitInto(page, 'Type in a note', 'https://example.com/' + 'y'.repeat(200));
  const tooSmall = async () => page.evaluate(() => {
    const found = [];
    for (const target of document.querySelectorAll('button, input, a, [role="tab"], [role="radio"]')) {
      const box = target.getBoundingClientRect();
      if (box.width > 0 && box.height < 44) found.push(`${target.tagName} ${target.textContent || target.placeholder} ${box.height}`);
    }
    return found;
  });
  for (const tab of ['Notes', 'To-Do', 'Tags']) {
    await app.chooseTab(page, tab);
    if (tab === 'To-Do') await app.submitInto(page, 'Type in a to-do', 'z'.repeat(200));
    if (tab === 'Tags') await app.submitInto(page, 'Type in a note', 'w'.repeat(200));
    assert.deepEqual(await page.evaluate(() => [document.documentElement.scrollWidth, document.body.scrollWidth]), [320, 320], tab);
    assert.deepEqual(await tooSmall(), [], tab);
  }
  await context.close();
});
