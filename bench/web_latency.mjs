// How fast the web app follows a search typed key by key, and what the server holds in memory.
//
//   node bench/web_latency.mjs [counts...]        (default 100 10000 100000)
//
// Uses $QUILLBOX_BIN (default build-web-rel/quillbox; build it Release for real figures) and the
// browser tests' playwright-core (run `npm ci` in platform/web/browser_test once). For each count
// of notes it opens the Notes tab on a phone-sized page, types "421" into the search field key by
// key and then deletes it again, several rounds, and reports per keystroke the time from the key
// going down to the rows in the DOM being the new ones, the part of it the page spent taking the
// changed tree in (parse and patch), and the time to the next frame after that. The rest is the
// event's way to the server, the server's work and the way back. Keys that narrow the list and keys
// that widen it again are reported apart. At 10,000 notes it also reports the server's resident
// memory with 1 and with 10 windows open.
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

async function measure(page, count) {
  const expected = (typed) => {
    let n = 0;
    for (let i = 1; i <= count; i++) if (noteText(i).includes(typed)) n++;
    return n;
  };
  const search = app.panel(page).getByPlaceholder('Type in here');
  await search.click();
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
        let start = 0;
        const list = () => document.querySelectorAll('[role="tabpanel"]:not([hidden]) .foreach > .hstack:not([hidden])').length;
        addEventListener('keydown', () => { start = performance.now(); }, { capture: true, once: true });
        let page = 0;
        const drawn = (event) => {
          if (!start) return;
          page += event.detail.took;
          if (list() !== rowsWanted) return;
          const dom = performance.now() - start;
          document.removeEventListener('quillbox:drawn', drawn);
          requestAnimationFrame(() => setTimeout(() => done({ dom, page, frame: performance.now() - start }), 0));
        };
        document.addEventListener('quillbox:drawn', drawn);
      }), want);
      await new Promise((r) => setTimeout(r, 20));
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

const counts = process.argv.slice(2).map(Number).filter(Boolean);
const browser = await app.launchBrowser();
console.log(`quillbox: ${process.env.QUILLBOX_BIN}`);
for (const count of counts.length ? counts : [100, 10000, 100000]) {
  const { server, home } = await seed(count);
  try {
    const started = Date.now();
    const { page, context } = await app.openApp(browser, server);
    await app.waitFor(async () => (await app.rows(page)).length === count, { timeout: 600000, what: `${count} rows` });
    const opened = Date.now() - started;
    const { narrowing, widening } = await measure(page, count);
    console.log(`\n${count} notes (page opened with all rows in ${opened} ms)`);
    for (const [name, seen] of [['narrowing', narrowing], ['widening', widening]]) {
      console.log(`  ${name} keystroke, key to rows in the DOM: ${summary(seen.dom)}`);
      console.log(`      of which the page took the tree in:   ${summary(seen.page)}`);
      console.log(`      key to the next frame:                ${summary(seen.frame)}`);
    }
    if (count === 10000) {
      const one = rssMiB(server.pid);
      const contexts = [];
      for (let i = 0; i < 9; i++) {
        const more = await app.openApp(browser, server);
        await app.waitFor(async () => (await app.rows(more.page)).length === count, { timeout: 120000 });
        contexts.push(more.context);
      }
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
