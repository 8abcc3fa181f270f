// Three devices share one cloud (a folder, a Redis server of the run's own, or a `quillbox serve` of the
// run's own over plain HTTP on this machine, each device with its token) and change the to-dos at
// once through the command line, each command its own process, while random ones are killed (SIGKILL) at
// a random instant. Afterwards every device loads twice, and the closing note counts the kills, the
// operations, the acknowledged to-dos lost, the deleted ones brought back, the marks on the wrong to-do
// and the duplicates. Bounded: OPS operations per device (200 unless set).
//   QUILLBOX_BIN=build/quillbox node bench/sync_stress.mjs [folder|redis|https] [seed]
import {spawn, spawnSync} from 'node:child_process';
import {chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {createServer} from 'node:net';
import {tmpdir} from 'node:os';
import {join} from 'node:path';

const bin = process.env.QUILLBOX_BIN ?? 'build/quillbox';
const kind = process.argv[2] ?? 'folder';
let seed = Number(process.argv[3] ?? Date.now() % 100000);
const ops = Number(process.env.OPS ?? 200);
const random = () => ((seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648);
const dir = mkdtempSync(join(tmpdir(), 'quillbox-stress-'));

async function freePort() {
  return new Promise((resolve) => { const s = createServer().listen(0, () => { const {port} = s.address(); s.close(() => resolve(port)); }); });
}

let redis = null;
let cloud = join(dir, 'cloud');
if (kind === 'redis') {
  const port = await freePort();
  redis = spawn('redis-server', ['--port', String(port), '--save', '', '--appendonly', 'no', '--dir', dir], {stdio: 'ignore'});
  cloud = `redis://127.0.0.1:${port}`;
  for (let i = 0; i < 50 && spawnSync('redis-cli', ['-p', String(port), 'ping']).stdout?.toString().trim() !== 'PONG'; ++i)
    await new Promise((r) => setTimeout(r, 100));
}

let server = null;
if (kind === 'https') {
  const log = join(dir, 'serve.log');
  server = spawn(bin, ['--home', join(dir, 'server'), '--cloud', join(dir, 'cloud'), 'serve', '--listen', '127.0.0.1:0'],
                 {stdio: ['ignore', 'pipe', 'pipe']});
  let said = '';
  server.stdout.on('data', (d) => { said += d; });
  server.stderr.on('data', (d) => { said += d; });
  for (let i = 0; i < 300 && !/cloud store at (https?:\/\/127\.0\.0\.1:\d+)/.test(said); ++i) await new Promise((r) => setTimeout(r, 100));
  cloud = /cloud store at (https?:\/\/127\.0\.0\.1:\d+)/.exec(said)[1] + '/';
  for (const name of ['A', 'B', 'C']) {
    const added = spawnSync(bin, ['--home', join(dir, 'server'), '--cloud', join(dir, 'cloud'), 'devices', 'add', name]).stdout.toString();
    mkdirSync(join(dir, name), {recursive: true});
    writeFileSync(join(dir, name, 'cloud-token'), /QUILLBOX_CLOUD_TOKEN=(\w{64})/.exec(added)[1] + '\n');
    chmodSync(join(dir, name, 'cloud-token'), 0o600);
  }
}

// Runs one command on a device; a kill, when asked for, lands after a random delay. Resolves with the
// exit code (null when killed) and the output.
function run(device, args, killWithin = 0) {
  return new Promise((resolve) => {
    const child = spawn(bin, ['--home', join(dir, device), '--cloud', cloud, ...args]);
    let out = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', () => {});
    const timer = killWithin > 0 ? setTimeout(() => child.kill('SIGKILL'), Math.floor(random() * killWithin)) : null;
    child.on('close', (code) => { if (timer) clearTimeout(timer); resolve({code, out}); });
  });
}

const acknowledged = new Set();  // to-dos whose add answered 0
const deleted = new Set();       // to-dos whose delete answered 0
const marked = new Set();        // to-dos whose mark answered 0 (never unmarked: a toggle runs once per to-do)
const maybe = new Set();         // to-dos whose delete or mark was killed or failed: either outcome is right
let kills = 0;

// A device's own to-dos, as `tasks list` numbers them: "N\t[x] text".
const parse = (out) => out.split('\n').filter(Boolean).map((line) => {
  const m = /^(\d+)\t\[(.)\] (.*)$/.exec(line);
  return m ? {n: Number(m[1]), done: m[2] === 'x', text: m[3]} : null;
}).filter(Boolean);

async function device(name) {
  for (let i = 0; i < ops; ++i) {
    const kill = random() < 0.3;
    const choice = random();
    // Only A deletes and marks, by the numbers it just listed: the others only add, at the end, which
    // moves no number in between.
    if (choice < 0.6 || name !== 'A') {
      const text = `${name}${i}`;
      const {code} = await run(name, ['tasks', 'add', text], kill ? 400 : 0);
      if (code === 0) acknowledged.add(text);
      if (code === null) ++kills;
    } else {
      const listed = await run(name, ['tasks', 'list']);
      const mine = parse(listed.out).filter((t) => t.text.startsWith(name) && acknowledged.has(t.text));
      if (mine.length === 0) continue;
      const pick = mine[Math.floor(random() * mine.length)];
      const del = choice < 0.75;
      if (!del && (pick.done || marked.has(pick.text))) continue;
      const {code} = await run(name, ['tasks', del ? 'delete' : 'toggle', String(pick.n)], kill ? 400 : 0);
      if (code === 0) (del ? deleted : marked).add(pick.text);
      else maybe.add(pick.text);
      if (code === null) ++kills;
    }
  }
}

const started = Date.now();
await Promise.all(['A', 'B', 'C'].map(device));
const lists = [];
for (const name of ['A', 'B', 'C', 'A', 'B', 'C']) lists.push((await run(name, ['tasks', 'list'])).out);
const final = parse(lists[5]);
const texts = final.map((t) => t.text);
const lost = [...acknowledged].filter((t) => !deleted.has(t) && !maybe.has(t) && !texts.includes(t));
const back = [...deleted].filter((t) => texts.includes(t));
const wrongMarks = final.filter((t) => marked.has(t.text) !== t.done && !maybe.has(t.text)).length;
const duplicates = texts.length - new Set(texts).size;
const agree = lists[3] === lists[4] && lists[4] === lists[5];
console.log(`${kind} seed ${process.argv[3] ?? ''}: ${kills} kills, ${3 * ops} operations, lost ${lost.length}, ` +
            `brought back ${back.length}, wrong marks ${wrongMarks}, duplicates ${duplicates}, ` +
            `devices ${agree ? 'agree' : 'DIFFER'}, ${((Date.now() - started) / 1000).toFixed(0)} s`);
if (lost.length) console.log('lost:', lost.join(' '));
if (back.length) console.log('brought back:', back.join(' '));
redis?.kill();
server?.kill('SIGTERM');
rmSync(dir, {recursive: true, force: true});
process.exitCode = lost.length + back.length + wrongMarks === 0 && agree ? 0 : 1;
