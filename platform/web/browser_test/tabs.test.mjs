// Many pages of the app in one browser, each with a socket of its own.
import { test } from 'node:test';
import * as app from './helpers.mjs';

let server;
let browser;
app.sharedApp((started, launched) => {
  server = started;
  browser = launched;
});

// A browser keeps about six HTTP connections to one server, and far more sockets: ten pages each
// hold one, and a page that closes takes nothing from the others.
test('ten pages of one browser each add a note and see all the others, also after the first page closes', async () => {
  const context = await browser.newContext({ ...app.PHONE, baseURL: server.origin });
  const pages = [];
  for (let i = 0; i < 10; i++) {
    const page = await context.newPage();
    await page.goto(app.addressOf(server));
    await page.getByRole('tab', { name: 'Notes' }).waitFor();
    pages.push(page);
  }
  const sees = async (page, texts) => {
    const shown = (await app.rows(page)).map((row) => row.split('|')[1]);
    return texts.every((text) => shown.includes(text));
  };
  const added = [];
  for (const [i, page] of pages.entries()) {
    added.push(`from page ${i}`);
    await app.submitInto(page, 'Type in a note', added.at(-1));
  }
  for (const page of pages) await app.waitFor(() => sees(page, added), { what: 'every page\'s note' });
  await pages[0].close();
  await app.submitInto(pages[9], 'Type in a note', 'after the first page closed');
  for (const page of pages.slice(1)) await app.waitFor(() => sees(page, ['after the first page closed']), { what: 'the new note' });
  await context.close();
});
