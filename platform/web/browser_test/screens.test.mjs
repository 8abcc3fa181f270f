// The To-Do and Tags tabs in Chromium, and the look every screen shares: text styles by device,
// named colours, the light and dark schemes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as app from './helpers.mjs';

let server, browser;
app.sharedApp((started, launched) => ([server, browser] = [started, launched]));

function row(page, text) {
  return app.panel(page).locator('.foreach > .hstack:not([hidden])').filter({ hasText: text });
}

test('to-dos are toggled by their icon and by a plain-text label, a link only by its icon', async () => {
  const { page, context } = await app.openApp(browser, server);
  await context.route('https://example.com/**', (route) => route.fulfill({ contentType: 'text/html', body: 'ok' }));
  await app.chooseTab(page, 'To-Do');
  for (const text of ['Call Anna', 'https://example.com/todo', 'Water plants']) await app.submitInto(page, 'Type in a to-do', text);
  await app.expectRows(page, ['Mark finished|Call Anna|Delete', 'Mark finished|https://example.com/todo|Delete',
    'Mark finished|Water plants|Delete']);

  await row(page, 'Call Anna').getByRole('button', { name: 'Mark finished' }).click();
  await app.expectRows(page, ['Mark unfinished|Call Anna|Delete', 'Mark finished|https://example.com/todo|Delete',
    'Mark finished|Water plants|Delete']);
  // A finished label is title3 in the secondary colour; an unfinished one title2 in primary.
  const label = row(page, 'Call Anna').getByRole('button', { name: 'Call Anna' });
  assert.equal(await label.getAttribute('class'), 'text-button no-line-limit font-title3 color-secondary');
  assert.equal(await row(page, 'Call Anna').getByRole('button', { name: 'Mark unfinished' }).getAttribute('class'),
    'icon-button no-line-limit font-title2 color-blue pad-trailing');
  await label.click();
  await app.waitFor(async () => (await app.rows(page))[0] === 'Mark finished|Call Anna|Delete');
  assert.equal(await row(page, 'Call Anna').getByRole('button', { name: 'Call Anna' }).getAttribute('class'),
    'text-button no-line-limit font-title2 color-primary');

  // The link opens its address and leaves the mark alone; its icon toggles it.
  const [opened] = await Promise.all([context.waitForEvent('page'),
    app.panel(page).getByRole('link', { name: 'https://example.com/todo' }).click()]);
  await opened.close();
  // A search answered after the click is the barrier: the page's events are taken in order.
  await app.typeInto(page, 'Type in here', 'example');
  await app.expectRows(page, ['Mark finished|https://example.com/todo|Delete']);
  await row(page, 'example.com').getByRole('button', { name: 'Mark finished' }).click();
  await app.expectRows(page, ['Mark unfinished|https://example.com/todo|Delete']);
  await context.close();
});

test('the tag picker changes the rows and the glyph beside the field; notes go under the chosen tag', async () => {
  const { page, context } = await app.openApp(browser, server);
  await app.chooseTab(page, 'Tags');
  const glyphs = await app.panel(page).getByRole('radio').allTextContents();
  assert.deepEqual(glyphs, ['🔴', '🟢', '🟡', '🟠', '🟤', '🟣', '🔵', '⚫️']);
  assert.equal(await app.panel(page).getByRole('radio', { name: '🔴' }).getAttribute('aria-checked'), 'true');
  const besideField = app.panel(page).locator('.section').first().locator('.hstack .hstack .text');
  assert.equal(await besideField.textContent(), '🔴');

  await app.submitInto(page, 'Type in a note', 'red one');
  await app.expectRows(page, ['🔴  red one|Delete']);
  await app.panel(page).getByRole('radio', { name: '🟢' }).click();
  await app.expectRows(page, []);
  await app.waitFor(async () => (await besideField.textContent()) === '🟢');
  await app.submitInto(page, 'Type in a note', 'green one');
  await app.submitInto(page, 'Type in a note', 'green with 🔴 inside');
  await app.expectRows(page, ['🟢  green one|Delete', '🟢  green with 🔴 inside|Delete']);

  // Arrow keys move along the segments, choosing as they go.
  await app.panel(page).getByRole('radio', { name: '🟢' }).focus();
  await page.keyboard.press('ArrowLeft');
  await app.waitFor(async () => (await besideField.textContent()) === '🔴');
  await app.expectRows(page, ['🔴  red one|Delete', '🟢  green with 🔴 inside|Delete']);
  await context.close();
});

test('text styles follow the device, and the named colours are distinct in light and dark', async () => {
  const styleOf = async (page) => page.evaluate(() => {
    const header = document.querySelector('[role="tabpanel"]:not([hidden]) .section-header .text');
    const style = getComputedStyle(header);
    return `${header.className} ${style.fontSize} ${style.fontWeight}`;
  });
  const phone = await app.openApp(browser, server);
  assert.equal(await styleOf(phone.page), 'text no-line-limit font-headline 17px 600');
  const tablet = await app.openApp(browser, server, { device: app.TABLET });
  assert.equal(await styleOf(tablet.page), 'text no-line-limit font-title2 22px 400');
  const desktop = await app.openApp(browser, server, { device: { viewport: { width: 1280, height: 800 } }, path: '/?idiom=phone' });
  assert.equal(await styleOf(desktop.page), 'text no-line-limit font-headline 17px 600');

  const colours = (page) => page.evaluate(() => {
    const probe = document.createElement('span');
    document.body.append(probe);
    const seen = {};
    for (const name of ['blue', 'red', 'primary', 'secondary']) {
      probe.className = 'color-' + name;
      seen[name] = getComputedStyle(probe).color;
    }
    for (const name of ['headline', 'title2', 'title3']) {
      probe.className = 'font-' + name;
      seen[name] = getComputedStyle(probe).font;
    }
    seen.background = getComputedStyle(document.body).backgroundColor;
    probe.remove();
    return seen;
  });
  const light = await colours(phone.page);
  await phone.page.emulateMedia({ colorScheme: 'dark' });
  const dark = await colours(phone.page);
  for (const scheme of [light, dark]) assert.equal(new Set(Object.values(scheme)).size, 8, JSON.stringify(scheme));
  assert.equal(light.primary, 'rgb(0, 0, 0)');
  assert.equal(dark.primary, 'rgb(255, 255, 255)');
  assert.notEqual(light.background, dark.background);
  for (const opened of [phone, tablet, desktop]) await opened.context.close();
});
