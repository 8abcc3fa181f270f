// How long a person waits for the page while slow clients hold connections to the app, and how
// much memory large nested event bodies cost the server.
//
//   node bench/slow_clients.mjs [slow=100] [requests=20] [nested=40] [tokens=120]
//
// Starts $QUILLBOX_BIN serve (default build/quillbox; build it Release for real figures) on a new
// home and takes the page's token from the printed address (after '#'). Then opens `slow` connections that each send a request line and one header line a second and never
// finish their head; one that the server closes is opened again at once, as a patient attacker
// would. With those in place it loads the page `requests` times, one after the other, each on a
// new connection (the page needs no token), and reports the time from connecting to the whole answer.
// Last, with the slow clients gone, it opens `nested` of the page's sockets with the token at once,
// each sending an event of 4,000,000 "[", and
// reports the server's resident memory before, at its peak and two seconds after; then the same
// for `tokens` writes to the devices' endpoint at once, each with a made-up token and a 4 MiB body.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { Worker, isMainThread, parentPort, workerData } from 'node:worker_threads';

const here = dirname(fileURLToPath(import.meta.url));
const BIN = process.env.QUILLBOX_BIN || resolve(here, '../build/quillbox');
const [SLOW = 100, REQUESTS = 20, NESTED = 40, TOKENS = 120] = process.argv.slice(2).map(Number);

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

function memoryMiB(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number(status.match(new RegExp(`${name}:\\s+(\\d+)`))[1]) / 1024;
  return { rss: field('VmRSS'), peak: field('VmHWM') };
}

async function startServer() {
  const home = mkdtempSync(join(tmpdir(), 'quillbox-slow-'));
  const child = spawn(BIN, ['--home', home, 'serve', '--listen', '127.0.0.1:0'], {
    stdio: ['ignore', 'pipe', 'inherit'],
    env: { ...process.env, QUILLBOX_CLOUD: '' },
  });
  let output = '';
  const url = await new Promise((done, fail) => {
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const found = output.match(/http:\/\/\S+/);
      if (found) done(new URL(found[0]));
    });
    child.on('exit', (code) => fail(new Error(`quillbox serve ended (${code}): ${output}`)));
  });
  return { child, home, url };
}

// One request on a new connection: its status and how long it took, or an error after a minute.
function request(port, head, body = '') {
  return new Promise((done) => {
    const started = performance.now();
    const socket = net.connect(port, '127.0.0.1');
    let answer = '';
    const timer = setTimeout(() => {
      socket.destroy();
      done({ status: 0, ms: performance.now() - started, text: 'no answer in 60 s' });
    }, 60000);
    socket.on('connect', () => socket.end(head + body));
    socket.on('data', (chunk) => { answer += chunk.toString('latin1'); });
    socket.on('error', () => {});
    socket.on('close', () => {
      clearTimeout(timer);
      done({ status: Number(answer.slice(9, 12)) || 0, ms: performance.now() - started, text: answer });
    });
  });
}

function headFor(port, path) {
  return `GET ${path} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nConnection: close\r\n\r\n`;
}

// Opens the page's socket with the token and sends text as one message: "101 answered" when the
// server answered it, "101 closed" when it closed the socket instead, else the refusal's status.
function socketMessage(port, token, text) {
  return new Promise((done) => {
    const socket = net.connect(port, '127.0.0.1');
    let answer = '';
    let upgraded = false;
    const finish = (status) => {
      clearTimeout(timer);
      socket.destroy();
      done({ status });
    };
    const timer = setTimeout(() => finish('no answer in 60 s'), 60000);
    socket.on('connect', () => socket.write(`GET /api/socket HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n` +
      `Origin: http://127.0.0.1:${port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
      'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n' +
      `Sec-WebSocket-Protocol: quillbox, quillbox.token.${token}\r\n\r\n`));
    socket.on('data', (chunk) => {
      if (upgraded) return finish('101 answered');
      answer += chunk.toString('latin1');
      if (!answer.includes('\r\n\r\n')) return;
      if (!answer.startsWith('HTTP/1.1 101')) return finish(answer.slice(9, 12));
      upgraded = true;
      // One text frame, masked with a key of zeros (the payload goes as it is).
      const payload = Buffer.from(text, 'latin1');
      const head = Buffer.alloc(14);
      head[0] = 0x81;
      head[1] = 0x80 | 127;
      head.writeBigUInt64BE(BigInt(payload.length), 2);
      socket.write(Buffer.concat([head, payload]));
    });
    socket.on('error', () => {});
    socket.on('close', () => finish(upgraded ? '101 closed' : answer.slice(9, 12) || 'closed unanswered'));
  });
}

// A client that sends its head a line a second and never finishes it; reopened when closed.
function slowClients(count, port) {
  const state = { reopened: 0, stopped: false, sockets: new Set() };
  const open = () => {
    if (state.stopped) return;
    const socket = net.connect(port, '127.0.0.1');
    state.sockets.add(socket);
    let line = 0;
    let ticker;
    socket.on('connect', () => {
      socket.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n`);
      ticker = setInterval(() => socket.write(`X-Slow-${line++}: a\r\n`), 1000);
    });
    socket.on('error', () => {});
    socket.on('close', () => {
      clearInterval(ticker);
      state.sockets.delete(socket);
      if (!state.stopped) {
        state.reopened++;
        setTimeout(open, 10);
      }
    });
  };
  for (let i = 0; i < count; i++) open();
  state.stop = () => {
    state.stopped = true;
    for (const socket of state.sockets) socket.destroy();
  };
  return state;
}

// The slow clients run on a thread of their own, as another program would: the requests
// measured never wait behind them in this thread's event loop.
if (!isMainThread) {
  const slow = slowClients(workerData.count, workerData.port);
  parentPort.once('message', () => {
    slow.stop();
    parentPort.postMessage(slow.reopened);
  });
}

function startSlowClients(count, port) {
  const worker = new Worker(new URL(import.meta.url), { workerData: { count, port } });
  return {
    async stop() {
      const reopened = new Promise((done) => worker.once('message', done));
      worker.postMessage('stop');
      const count = await reopened;
      await worker.terminate();
      return count;
    },
  };
}

function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return `median ${at(0.5).toFixed(1)} ms, p90 ${at(0.9).toFixed(1)} ms, max ${sorted.at(-1).toFixed(1)} ms`;
}

if (isMainThread) await main();

async function main() {
const { child, home, url } = await startServer();
const port = Number(url.port);
const token = new URLSearchParams(url.hash.slice(1)).get('token');
console.log(`${BIN}: port ${port}`);

try {
  const quiet = [];
  for (let i = 0; i < 5; i++) quiet.push((await request(port, headFor(port, '/'))).ms);
  console.log(`page, no slow clients:        ${summary(quiet)}`);

  const slow = startSlowClients(SLOW, port);
  await sleep(3000);
  const times = [];
  const failures = [];
  for (let i = 0; i < REQUESTS; i++) {
    const got = await request(port, headFor(port, '/'));
    times.push(got.ms);
    if (got.status !== 200) failures.push(got.status || `closed unanswered after ${got.ms.toFixed(1)} ms`);
  }
  const reopened = await slow.stop();
  console.log(`page, ${SLOW} slow clients:      ${summary(times)}; ${failures.length} of ${REQUESTS} failed` +
    `${failures.length ? ` (${[...new Set(failures)].join(', ')})` : ''}; slow clients cut off ${reopened} times`);

  await sleep(1000);
  const burst = async (label, count, send) => {
    const before = memoryMiB(child.pid);
    const answers = await Promise.all(Array.from({ length: count }, (_, i) => send(i)));
    const counts = {};
    for (const { status } of answers) counts[status || 'closed unanswered'] = (counts[status || 'closed unanswered'] || 0) + 1;
    const statuses = Object.entries(counts).map(([status, n]) => `${n}× ${status}`).join(', ');
    const during = memoryMiB(child.pid);
    await sleep(2000);
    const after = memoryMiB(child.pid);
    console.log(`${count} ${label} (answered ${statuses}): resident ${before.rss.toFixed(0)} MiB before, ` +
      `peak ${during.peak.toFixed(0)} MiB, ${after.rss.toFixed(0)} MiB two seconds after`);
  };
  if (NESTED > 0) {
    const body = '['.repeat(4000000);
    await burst('sockets sending nested 4 MB events', NESTED, () => socketMessage(port, token, body));
  }
  if (TOKENS > 0) {
    const body = 'n'.repeat(4 << 20);
    await burst('made-up tokens with 4 MiB bodies', TOKENS, (i) => request(port, `PUT /cloud/v1/notesFromCloud HTTP/1.1\r\n` +
      `Host: 127.0.0.1:${port}\r\nAuthorization: Bearer ${i.toString(16).padStart(64, 'f')}\r\n` +
      `Content-Length: ${body.length}\r\nConnection: close\r\n\r\n`, body));
  }
} finally {
  child.kill('SIGTERM');
  await new Promise((done) => child.once('exit', done));
  rmSync(home, { recursive: true, force: true });
}
}
