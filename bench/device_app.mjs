// The device app's weight and how fast it opens with no network.
//
//   node bench/device_app.mjs            (NOTES=10000 notes, ROUNDS=10 reloads)
//
// Uses $QUILLBOX_BIN (default build/quillbox, built with the device app: `make wasm` first) and the
// browser tests' playwright-core. Reports the size of every file the app's service worker keeps (the
// page, its scripts and stylesheet, the worker and the WebAssembly module), each and in all, as served
// and compressed (gzip -9). Then it
// pairs a phone-sized page holding NOTES notes, lets the service worker keep the app, stops the
// server and reports, over several reloads, the time from the navigation to the Notes list on screen
// (its rows drawn).
import { gzipSync } from 'node:zlib';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
process.env.QUILLBOX_BIN ||= resolve(here, '../build/quillbox');
const app = await import('../platform/web/browser_test/helpers.mjs');
const ROUNDS = Number(process.env.ROUNDS || 10);
const NOTES = Number(process.env.NOTES || 10000);
const SETTLE = 2000;  // ms after the rows show, before the next reload

// The notes wait in the cloud copy: the phone's first load takes them.
const home = mkdtempSync(join(tmpdir(), 'quillbox-bench-'));
mkdirSync(join(home, 'cloud'));
writeFileSync(join(home, 'cloud', 'notesFromCloud'),
  Array.from({ length: NOTES }, (_, i) => `Note ${i + 1}NOTES_SEPARATOR`).join(''));
const server = await app.startServer({ home });
let total = 0;
let packed = 0;
console.log(`quillbox: ${process.env.QUILLBOX_BIN}`);
// Every file the service worker keeps (the app as a phone downloads it), and the service worker.
const sw = await (await fetch(`${server.origin}/device/sw.js`)).text();
const kept = [...sw.match(/const FILES = \[(.*?)\];/s)[1].matchAll(/["']([^"']+)["']/g)].map((found) => found[1]);
for (const path of [...new Set([...kept, '/device/sw.js'])]) {
  const response = await fetch(`${server.origin}${path}`);
  const bytes = Buffer.from(await response.arrayBuffer());
  if (response.status !== 200) throw new Error(`${path}: ${response.status} ${bytes}`);
  const gzipped = gzipSync(bytes, { level: 9 }).length;
  total += bytes.length;
  packed += gzipped;
  console.log(`  ${path.padEnd(30)} ${String(bytes.length).padStart(9)} bytes, gzip -9 ${String(gzipped).padStart(8)}`);
}
console.log(`  all${' '.repeat(27)}${String(total).padStart(9)} bytes, gzip -9 ${String(packed).padStart(8)}`);

const address = (await server.cli('devices', 'add', 'bench')).match(/http:\/\/\S+\/device\/#token=\S+/)[0];
const browser = await app.launchBrowser();
const context = await browser.newContext({ ...app.PHONE });
const page = await context.newPage();
await page.goto(address);
await page.evaluate(() => navigator.serviceWorker.ready);
const onScreen = () => app.waitFor(() => page.evaluate((count) =>
  document.querySelector('[role="tabpanel"]:not([hidden]) .foreach')?.dataset.count === String(count), NOTES),
{ timeout: 60000, what: `${NOTES} notes` });
await onScreen();
await server.stop();

// The page notes, on its own clock (from the navigation's start), when the first row is in the DOM.
await page.addInitScript(() => {
  new MutationObserver((changes, observer) => {
    if (!document.querySelector('[role="tabpanel"]:not([hidden]) .foreach > .hstack')) return;
    window.qbRowsAt = performance.now();
    observer.disconnect();
  }).observe(document, { childList: true, subtree: true });
});
const times = [];
for (let round = 0; round <= ROUNDS; round++) {
  await page.reload({ waitUntil: 'commit' });
  await onScreen();
  await page.waitForFunction(() => window.qbRowsAt !== undefined);
  if (round > 0) times.push(await page.evaluate(() => window.qbRowsAt));  // the first warms up
  await page.waitForTimeout(SETTLE);  // the lists loaded, as a person opening the app again finds them
}
times.sort((a, b) => a - b);
console.log(`server stopped, navigation to the Notes rows on screen: median ${times[times.length >> 1].toFixed(0)} ms, ` +
  `max ${times.at(-1).toFixed(0)} ms (n=${times.length})`);
await browser.close();
rmSync(home, { recursive: true, force: true });
