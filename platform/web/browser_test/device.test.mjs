// The phone as a device of its own: the address `quillbox devices add` prints opens the device app,
// which keeps the token and needs no page token. The page's side of the worker runs against a
// stand-in here (device_offline.test.mjs runs the app's own worker).
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

// A stand-in for the app's worker, as the page and the worker agree: a field and a line saying what
// it was sent last; it answers a submit with 503, and holds the lists for one tab at a time.
const FAKE_WORKER = `
let events = 0, last = '', value = '';
const tree = (full) => JSON.stringify({ window: 'w1', rev: events + 1, ack: events, full, status: events + ' waiting',
  nodes: [{ i: '', e: 'VStack', p: {}, m: [], c: ['t', 'f'] }, { i: '/t', e: 'Text', p: { text: 'got ' + last }, m: [], c: [] },
    { i: '/f', e: 'TextField', p: { title: 'Type here', value }, m: [], c: [] }] });
onmessage = async ({ data }) => {
  if (data.kind === 'open') last = 'open ' + data.token + ' ' + data.server;
  if (data.kind === 'open' && !await navigator.locks.request('lists', { ifAvailable: true }, async (lock) => {
    if (lock) [{ kind: 'ready', window: 'w1' }, { kind: 'tree', data: tree(true) }].forEach((m) => postMessage(m));
    return lock && new Promise(() => {});
  })) postMessage({ kind: 'error', message: 'held', busy: true });
  if (data.kind !== 'event') return;
  const { window, type, text = '', seq } = data.event;
  [events, last, value] = [events + 1, window + ' ' + type + ' ' + text, type === 'edit' ? text : value];
  postMessage({ kind: 'answer', seq, status: type === 'submit' ? 503 : 200, error: 'the disk is full' });
  postMessage({ kind: 'tree', data: tree(false) });
};`;

test('the pairing address keeps its token out of the address bar; the page draws the worker\'s trees, one tab at a time', async () => {
  const address = await app.pairDevice(server, 'phone');
  const context = await browser.newContext({ ...app.PHONE, serviceWorkers: 'block' });
  await context.route('**/device/device-worker.js', (route) => route.fulfill({ contentType: 'text/javascript', body: FAKE_WORKER }));
  const first = await context.newPage();
  await first.goto(address);
  const opened = `got open ${address.split('#token=')[1]} ${server.origin}`;
  await first.getByText(opened).waitFor();
  assert.equal(first.url(), server.origin + '/device/');
  assert.deepEqual(await context.cookies(), []);  // never the page's token
  assert.equal(await first.getByRole('status').textContent(), '0 waiting');
  await first.getByPlaceholder('Type here').pressSequentially('ab');
  await first.getByText('got w1 edit ab').waitFor();
  await first.getByPlaceholder('Type here').press('Enter');
  await app.waitFor(async () => /^Not done: the disk is full · \d waiting$/.test(await first.getByRole('status').textContent()));

  const second = await context.newPage();
  await second.goto(server.origin + '/device/');
  await app.waitFor(async () => (await second.getByRole('status').textContent()) === 'Quillbox is open in another tab.');
  await first.close();
  await second.getByText(opened).waitFor();  // the token kept by the browser
  await context.close();
});

test('the device app\'s files come without the page\'s token, typed and revalidated; nothing else does', async () => {
  const types = { '/device/': 'text/html; charset=utf-8', '/device/sw.js': 'text/javascript; charset=utf-8',
    '/device/manifest.webmanifest': 'application/manifest+json', '/device/icon-512.png': 'image/png' };
  if (withWorker) types['/device/quillbox-device.wasm'] = 'application/wasm';
  for (const [path, type] of Object.entries(types)) {
    const response = await fetch(server.origin + path);
    assert.deepEqual([response.status, response.headers.get('content-type'), response.headers.get('cache-control')],
      [200, type, 'no-cache'], path);
    assert.match(response.headers.get('content-security-policy'), /^default-src 'none'; script-src 'self' 'wasm-unsafe-eval';/);
    const again = await fetch(server.origin + path, { headers: { 'If-None-Match': response.headers.get('etag') } });
    assert.equal(again.status, 304, path);
  }
  assert.match(await (await fetch(server.origin + '/device/sw.js')).text(), /const VERSION = '[0-9a-f]{16}';\nconst FILES = \['\/device\/', '\/device\/app.js'/);
  for (const path of ['/api/socket', '/device', '/devices/']) {
    assert.equal((await fetch(server.origin + path)).status, 403, path);
  }
});
