// The phone as a device of its own: the address `quillbox devices add` prints opens the device app,
// which keeps the token and runs without the page's token; its service worker keeps the app's files,
// so it opens with the server stopped.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import * as app from './helpers.mjs';

let server;
let browser;
let withWorker;  // the server was built with the device app's worker and module

before(async () => {
  server = await app.startServer();
  browser = await app.launchBrowser();
  withWorker = (await fetch(server.origin + '/device/device-worker.js')).status === 200;
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

// `quillbox devices add NAME`: the phone's address it printed.
async function pair(name) {
  const printed = await server.cli('devices', 'add', name);
  const found = printed.match(/http:\/\/\S+\/device\/#token=[0-9a-f]{64}/);
  assert.ok(found, printed);
  return found[0];
}

// A browser context that has never seen the page's token: it opens the pairing address.
async function openPaired(address) {
  const context = await browser.newContext({ ...app.PHONE });
  const page = await context.newPage();
  await page.goto(address);
  await page.evaluate(() => navigator.serviceWorker.ready);
  await app.waitFor(() => page.evaluate(() => navigator.serviceWorker.controller !== null), { what: 'the page kept by the service worker' });
  return { context, page };
}

test('the pairing address opens the device app, which keeps the token out of the address bar', async () => {
  const address = await pair('phone');
  assert.ok(address.startsWith(server.origin + '/device/#token='), address);
  const { context, page } = await openPaired(address);
  assert.equal(page.url(), server.origin + '/device/');
  assert.deepEqual(await page.evaluate(() => JSON.parse(localStorage.getItem('quillbox-device'))),
    { token: address.split('#token=')[1], server: server.origin });
  assert.deepEqual((await context.cookies()).map((cookie) => cookie.name), []);  // never the page's token
  if (withWorker) await page.getByRole('tab', { name: 'Notes' }).waitFor();
  await context.close();
});

test('the device app\'s files come without the page\'s token, typed and revalidated; nothing else does', async () => {
  const types = {
    '/device/': 'text/html; charset=utf-8',
    '/device/app.js': 'text/javascript; charset=utf-8',
    '/device/sw.js': 'text/javascript; charset=utf-8',
    '/device/manifest.webmanifest': 'application/manifest+json',
    '/device/icon-512.png': 'image/png',
  };
  if (withWorker) types['/device/quillbox-device.wasm'] = 'application/wasm';
  for (const [path, type] of Object.entries(types)) {
    const response = await fetch(server.origin + path);
    assert.equal(response.status, 200, path);
    assert.equal(response.headers.get('content-type'), type, path);
    assert.equal(response.headers.get('cache-control'), 'no-cache', path);
    assert.match(response.headers.get('content-security-policy'), /^default-src 'none'; script-src 'self' 'wasm-unsafe-eval';/);
    const again = await fetch(server.origin + path, { headers: { 'If-None-Match': response.headers.get('etag') } });
    assert.equal(again.status, 304, path);
  }
  const manifest = await (await fetch(server.origin + '/device/manifest.webmanifest')).json();
  assert.deepEqual([manifest.name, manifest.start_url, manifest.display], ['Quillbox', '/device/', 'standalone']);
  assert.match(await (await fetch(server.origin + '/device/')).text(), /<link rel="manifest" href="\/device\/manifest.webmanifest">/);
  const worker = await (await fetch(server.origin + '/device/sw.js')).text();
  assert.match(worker, /const VERSION = '[0-9a-f]{16}';/);
  assert.ok(worker.includes("'/device/app.js', ") && !worker.includes('@FILES@'));

  if (!withWorker) {
    const missing = await fetch(server.origin + '/device/quillbox-device.wasm');
    assert.deepEqual([missing.status, await missing.text()], [404, 'this server was built without the device app\n']);
  }
  for (const path of ['/', '/app.js', '/api/stream', '/device', '/devices/']) {
    assert.equal((await fetch(server.origin + path)).status, 403, path);
  }
  assert.equal((await fetch(server.origin + '/device/', { method: 'POST' })).status, 403);
  assert.equal((await fetch(server.origin + '/device/none.js')).status, 404);
});

test('the installed app opens from its service worker with the server stopped', async () => {
  const own = await app.startServer();
  const address = (await own.cli('devices', 'add', 'phone')).match(/http:\/\/\S+\/device\/#token=\S+/)[0];
  const { context, page } = await openPaired(address);
  await own.stop();
  await page.reload();
  if (withWorker) {
    await page.getByRole('tab', { name: 'Notes' }).waitFor();
  } else {
    // The page and its script came from the copy: the script runs, and says the worker is missing.
    await app.waitFor(async () => /could not start/.test(await page.getByRole('status').textContent()),
      { what: 'the status line of a page without its worker' });
  }
  await context.close();
});

// A stand-in for the app's worker, as the page and the worker agree: a field and a line saying what
// it was sent last; it answers a submit with 503, and holds the lists for one tab at a time.
const FAKE_WORKER = `
let events = 0;
let last = 'nothing';
let value = '';
const tree = (full) => JSON.stringify({ window: 'w1', rev: events + 1, ack: events, full, status: events + ' waiting',
  nodes: [{ i: '', e: 'VStack', p: {}, m: [], c: ['t', 'f'] }, { i: '/t', e: 'Text', p: { text: 'got ' + last }, m: [], c: [] },
    { i: '/f', e: 'TextField', p: { title: 'Type here', value }, m: [], c: [] }] });
onmessage = async ({ data }) => {
  if (data.kind === 'open') {
    if (!(await navigator.locks.request('fake-lists', { ifAvailable: true }, async (lock) => {
      if (!lock) return false;
      postMessage({ kind: 'ready', window: 'w1' });
      postMessage({ kind: 'tree', data: tree(true) });
      await new Promise(() => {});
    }))) postMessage({ kind: 'error', message: 'held', busy: true });
  } else if (data.kind === 'event') {
    events++;
    last = data.event.window + ' ' + data.event.type + ' ' + (data.event.text || '');
    if (data.event.type === 'edit') value = data.event.text;
    const failed = data.event.type === 'submit';
    postMessage({ kind: 'answer', seq: data.event.seq, status: failed ? 503 : 200, error: failed ? 'the disk is full' : '' });
    postMessage({ kind: 'tree', data: tree(false) });
  }
};`;

test('the paired page draws the worker\'s trees, sends it events, and leaves the lists to one tab at a time', async () => {
  const address = await pair('tabs');
  const context = await browser.newContext({ ...app.PHONE, serviceWorkers: 'block' });
  await context.route('**/device/device-worker.js', (route) => route.fulfill({ contentType: 'text/javascript', body: FAKE_WORKER }));
  const first = await context.newPage();
  await first.goto(address);
  await first.getByText('got nothing').waitFor();
  assert.equal(await first.getByRole('status').textContent(), '0 waiting');
  await first.getByPlaceholder('Type here').pressSequentially('ab');
  await first.getByText('got w1 edit ab').waitFor();
  await first.getByPlaceholder('Type here').press('Enter');
  await app.waitFor(async () => /^Not done: the disk is full · \d waiting$/.test(await first.getByRole('status').textContent()));

  const second = await context.newPage();
  await second.goto(server.origin + '/device/');
  await app.waitFor(async () => (await second.getByRole('status').textContent()) === 'Quillbox is open in another tab.');
  await first.close();
  await second.getByText('got nothing').waitFor();
  await context.close();
});
