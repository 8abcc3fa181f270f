// The README's pictures: phone and tablet pictures of each tab, with a few entries, written to
// $QUILLBOX_SHOTS (`make pictures`, after `make test`).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { statSync } from 'node:fs';
import { join } from 'node:path';
import * as app from '../platform/web/browser_test/helpers.mjs';

let server;
let browser;

before(async () => {
  server = await app.startServer();
  browser = await app.launchBrowser();
  for (const note of ['Buy oat milk and bread', 'https://en.wikipedia.org/wiki/Quill', 'Ideas for the weekend trip']) {
    await server.cli('notes', 'add', note);
  }
  for (const task of ['Call the dentist', 'https://example.com/tickets', 'Water the plants', 'Pay rent']) {
    await server.cli('tasks', 'add', task);
  }
  await server.cli('tasks', 'toggle', '1');
  await server.cli('tasks', 'toggle', '4');
  for (const [tag, text] of [['red', 'Renew passport'], ['red', 'Book flights'], ['green', 'Garden: plant tomatoes'],
    ['red', 'Cancel old gym membership']]) {
    await server.cli('tags', 'add', '--tag', tag, text);
  }
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

for (const [name, device] of [['phone', app.PHONE], ['tablet', app.TABLET]]) {
  test(`${name} pictures of each tab`, async () => {
    const { page, context, problems } = await app.openApp(browser, server, { device });
    await app.waitFor(async () => (await app.rows(page)).length === 3);
    await page.evaluate(() => document.activeElement.blur());
    for (const [tab, file] of [['Notes', 'notes'], ['To-Do', 'todo'], ['Tags', 'tags']]) {
      await app.chooseTab(page, tab);
      await app.waitFor(async () => (await app.rows(page)).length > 0, { what: `rows on ${tab}` });
      await app.screenshot(page, `${name}-${file}`);
      assert.ok(statSync(join(app.SHOTS, `${name}-${file}.png`)).size > 10000);
    }
    await page.emulateMedia({ colorScheme: 'dark' });
    await app.chooseTab(page, 'Notes');
    await app.screenshot(page, `${name}-notes-dark`);
    assert.deepEqual(problems, []);
    await context.close();
  });
}
