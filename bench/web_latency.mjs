// How fast the web app follows a search typed key by key and a jump through a long list, and what
// the server holds in memory.
//
//   node bench/web_latency.mjs [counts...]        (default 100 10000 100000)
//
// Uses $QUILLBOX_BIN (default build-web-rel/quillbox; build it Release for real figures) and the
// browser tests' playwright-core (run `npm ci` in platform/web/browser_test once). For each count
// of notes it opens the Notes tab on a phone-sized page and reports how long the page took to show
// its first rows with the list's whole count. It types "421" into the search field key by key and
// deletes it again, several rounds, and reports per keystroke the time from the key going down to
// the new rows and count in the DOM, the part of it the page spent taking the changed tree in
// (parse and patch), and the time to the next frame after that; keys that narrow the list and keys
// that widen it are reported apart. It then jumps to the middle and to the end of the list and
// reports the time until rows cover what is in view. From 10,000 notes on it also reports the
// server's resident memory with 1 and with 10 windows open ($MEMORY_UP_TO limits the counts).
// The next key goes down $KEY_GAP ms (default 100) after the frame that showed the last one's rows,
// give or take up to a frame's time at random, as a person's keys land anywhere between two frames:
// about 8 keys a second with the page's own time, a fast typist's pace. KEY_GAP=20 types twice as
// fast as anyone does, so that one key's drawing still runs when the next goes down.
// DEVICE=1 runs the same on a paired phone's own page (/device/), where the app runs in the page's
// worker and a keystroke never leaves the browser (the server's memory is then not reported).
import { readFileSync, writeFileSync, mkdtempSync, rmSync, mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
process.env.QUILLBOX_BIN ||= resolve(here, '../build-web-rel/quillbox');
const app = await import('../platform/web/browser_test/helpers.mjs');

const WORDS = ['apple', 'bread', 'call', 'dentist', 'eggs', 'flight', 'garden'];
const QUERY = '421';
const ROUNDS = Number(process.env.ROUNDS || 5);
const JUMPS = Number(process.env.JUMPS || 5);
// The largest count at which 10 windows are opened for the memory figure (a page that draws every
// row needs gigabytes for 10 windows of 100,000).
const MEMORY_UP_TO = Number(process.env.MEMORY_UP_TO || Infinity);
const DEVICE = Boolean(process.env.DEVICE);
const KEY_GAP = Number(process.env.KEY_GAP || 100);
const FRAME = 1000 / 60;

function noteText(i) {
  return `Note ${i} ${WORDS[i % WORDS.length]}`;
}

function rssMiB(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(status.match(/VmRSS:\s+(\d+)/)[1]) / 1024;
}

function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return `median ${at(0.5).toFixed(1)} ms, p90 ${at(0.9).toFixed(1)} ms, max ${sorted.at(-1).toFixed(1)} ms (n=${sorted.length})`;
}

async function seed(count) {
  const home = mkdtempSync(join(tmpdir(), 'quillbox-bench-'));
  mkdirSync(join(home, 'cloud'), { recursive: true });
  let text = '';
  for (let i = 1; i <= count; i++) text += noteText(i) + 'NOTES_SEPARATOR';
  // The notes wait in the cloud copy: the first Appear takes them into the local store.
  writeFileSync(join(home, 'cloud', 'notesFromCloud'), text);
  const server = await app.startServer({ home });
  return { server, home };
}

// How many rows the list in view says it has, and how many it holds in the DOM. A page that draws
// every row holds them all and says nothing else. (Run in the page: written out where it is used,
// since the page's policy allows no code made from text.)
const listState = () => {
  const panel = document.querySelector('[role="tabpanel"]:not([hidden])');
  const list = panel && panel.querySelector('.foreach');
  if (!list) return { count: -1, rows: 0 };
  const rows = list.querySelectorAll(':scope > .hstack:not([hidden])').length;
  return { count: list.dataset.count !== undefined ? Number(list.dataset.count) : rows, rows };
};

let browser;
let server;

// Opens the app in a new browser context and times its page from the address being opened to its
// first rows and the list's whole count.
async function open(count) {
  const context = await browser.newContext({ ...app.PHONE, baseURL: server.origin });
  const page = await context.newPage();
  // A phone's own page is paired first: it takes the notes from the server's cloud store.
  const paired = DEVICE && (await server.cli('devices', 'add', `bench-${Date.now()}`)).match(/http:\/\/\S+\/device\/#token=\S+/)[0];
  const started = Date.now();
  // (A server from before the page's token on loopback is opened at its origin.)
  await page.goto(paired || (app.addressOf ? app.addressOf(server) : server.origin + '/'));
  await app.waitFor(async () => {
    const state = await page.evaluate(listState);
    return state.count === count && state.rows > 0;
  }, { timeout: 600000, what: `${count} rows` });
  return { page, context, took: Date.now() - started };
}

async function measureTyping(page, count) {
  const expected = (typed) => {
    let n = 0;
    for (let i = 1; i <= count; i++) if (noteText(i).includes(typed)) n++;
    return n;
  };
  const search = app.panel(page).getByPlaceholder('Type in here');
  await search.tap();  // as on a phone: no mouse pointer rests on the page
  const narrowing = { dom: [], page: [], frame: [] };
  const widening = { dom: [], page: [], frame: [] };
  const steps = [];
  for (let k = 1; k <= QUERY.length; k++) steps.push({ key: QUERY[k - 1], typed: QUERY.slice(0, k), into: narrowing });
  for (let k = QUERY.length - 1; k >= 0; k--) steps.push({ key: 'Backspace', typed: QUERY.slice(0, k), into: widening });
  for (let round = 0; round < ROUNDS; round++) {
    for (const step of steps) {
      const want = expected(step.typed);
      // The page notes when the key goes down, and when a drawn tree first shows the rows.
      const timing = page.evaluate((rowsWanted) => new Promise((done) => {
        const state = () => {
          const panel = document.querySelector('[role="tabpanel"]:not([hidden])');
          const list = panel && panel.querySelector('.foreach');
          if (!list) return { count: -1, rows: 0 };
          const rows = list.querySelectorAll(':scope > .hstack:not([hidden])').length;
          return { count: list.dataset.count !== undefined ? Number(list.dataset.count) : rows, rows };
        };
        let start = 0;
        addEventListener('keydown', () => { start = performance.now(); }, { capture: true, once: true });
        let page = 0;
        const drawn = (event) => {
          if (!start) return;
          page += event.detail.took;
          const now = state();
          if (now.count !== rowsWanted || (rowsWanted > 0 && now.rows === 0)) return;
          const dom = performance.now() - start;
          document.removeEventListener('quillbox:drawn', drawn);
          requestAnimationFrame(() => setTimeout(() => done({ dom, page, frame: performance.now() - start }), 0));
        };
        document.addEventListener('quillbox:drawn', drawn);
      }), want);
      await new Promise((r) => setTimeout(r, KEY_GAP + (Math.random() * 2 - 1) * FRAME));
      await search.press(step.key);
      const { dom, page: inPage, frame } = await timing;
      if (round > 0) {  // the first round warms up
        step.into.dom.push(dom);
        step.into.page.push(inPage);
        step.into.frame.push(frame);
      }
    }
  }
  return { narrowing, widening };
}

// Jumps to a place in the list and times until rows cover the middle of the screen, or, for the
// end, until the last row is on screen.
async function measureJumps(page) {
  const times = { middle: [], end: [] };
  for (let round = 0; round <= JUMPS; round++) {
    for (const where of ['middle', 'end', 'top']) {
      const took = await page.evaluate((place) => new Promise((done) => {
        const list = document.querySelector('[role="tabpanel"]:not([hidden]) .foreach');
        const top = list.getBoundingClientRect().top + scrollY;
        const target = place === 'top' ? 0 : place === 'middle' ? top + list.offsetHeight / 2 : document.documentElement.scrollHeight;
        const start = performance.now();
        const shown = () => {
          if (place === 'end') {
            // The row numbered with the list's count; on a page that draws every row, its last.
            const last = list.dataset.count !== undefined
              ? list.querySelector(`[aria-posinset="${list.dataset.count}"]`) : list.lastElementChild;
            if (!last) return false;
            const box = last.getBoundingClientRect();
            return box.bottom > 0 && box.top < innerHeight;
          }
          const hit = document.elementFromPoint(innerWidth / 2, innerHeight / 2);
          return hit !== null && hit.closest('.foreach > .hstack') !== null;
        };
        scrollTo(0, target);
        const check = () => (shown() ? done(performance.now() - start) : requestAnimationFrame(check));
        requestAnimationFrame(check);
      }), where);
      if (round > 0 && where !== 'top') times[where].push(took);
      await new Promise((r) => setTimeout(r, 50));
    }
  }
  return times;
}

const counts = process.argv.slice(2).map(Number).filter(Boolean);
browser = await app.launchBrowser();
console.log(`quillbox: ${process.env.QUILLBOX_BIN}; a key ${KEY_GAP} ms after the last one's rows were drawn`);
for (const count of counts.length ? counts : [100, 10000, 100000]) {
  const seeded = await seed(count);
  server = seeded.server;
  const { home } = seeded;
  try {
    const { page, context, took } = await open(count);
    console.log(`\n${count} notes (page opened, from its address to its first rows and the whole count, in ${took} ms)`);
    const { narrowing, widening } = await measureTyping(page, count);
    for (const [name, seen] of [['narrowing', narrowing], ['widening', widening]]) {
      console.log(`  ${name} keystroke, key to rows in the DOM: ${summary(seen.dom)}`);
      console.log(`      of which the page took the tree in:   ${summary(seen.page)}`);
      console.log(`      key to the next frame:                ${summary(seen.frame)}`);
    }
    if (count >= 1000) {
      const search = app.panel(page).getByPlaceholder('Type in here');
      await search.fill('');
      await search.dispatchEvent('input');
      await app.waitFor(async () => (await page.evaluate(listState)).count === count, { timeout: 60000 });
      const jumps = await measureJumps(page);
      console.log(`  jump to the middle, rows on screen:     ${summary(jumps.middle)}`);
      console.log(`  jump to the end, last row on screen:    ${summary(jumps.end)}`);
    }
    if (count >= 10000 && count <= MEMORY_UP_TO && !DEVICE) {
      const one = rssMiB(server.pid);
      const contexts = [];
      for (let i = 0; i < 9; i++) contexts.push((await open(count)).context);
      await new Promise((r) => setTimeout(r, 500));
      console.log(`  server memory (RSS): ${one.toFixed(0)} MiB with 1 window, ${rssMiB(server.pid).toFixed(0)} MiB with 10 windows`);
      for (const more of contexts) await more.close();
    }
    await context.close();
  } finally {
    await server.stop();
    rmSync(home, { recursive: true, force: true });
  }
}
await browser.close();
