// The worker's calls on the WebAssembly model under node, over files held in memory in the shape of the
// browser's synchronous file handles: what is committed before an answer is what a new worker finds.
import assert from 'node:assert/strict';
import {createHash} from 'node:crypto';
import {createRequire} from 'node:module';
import test from 'node:test';
import {browserFiles, notes} from './memory_files_test_support.mjs';

const require = createRequire(import.meta.url);
const QuillboxDevice = require(`${process.env.QUILLBOX_DEVICE}/quillbox-device.js`);

function withText(m, text, use) {
  const bytes = Buffer.from(text);
  const at = m._malloc(bytes.length + 1);
  m.HEAPU8.set(bytes, at);
  try { return use(at, bytes.length); } finally { m._free(at); }
}

async function startWorker(files) {
  const m = await QuillboxDevice({qbHandles: files});
  const call = (name, result, args) => (...values) => m.ccall(name, result, args, values);
  const device = {
    open: call('qb_open', 'number', ['string', 'string']),
    event: (event) => m.ccall('qb_event', 'number', ['string'], [JSON.stringify(event)]),
    tree: () => { const data = m.ccall('qb_tree', 'string', [], []); return data ? JSON.parse(data) : null; },
    network: call('qb_network', null, ['number']),
    reload: call('qb_reload', 'number', []),
    foreground: call('qb_foreground', null, []),
    outgoing() { const at = m.ccall('qb_outgoing', 'number', [], []); return Buffer.from(m.HEAPU8.slice(at, at + m.ccall('qb_size', 'number', [], []))).toString(); },
    sent: (status, text = '') => withText(m, text, (at, size) => m.ccall('qb_sent', 'number', ['number', 'number', 'number'], [status, at, size])),
    fetched: (key, text) => withText(m, text ?? '', (at, size) =>
      m.ccall('qb_fetched', null, ['string', 'number', 'number', 'number'], [key, text === null ? 0 : 1, at, size])),
  };
  assert.equal(device.open('phone', 'https://server.example'), 0);
  return device;
}

// The notes the page shows: a tree message brings only what changed, so the page's copy is kept.
function page(device) {
  const records = new Map();
  return () => {
    const tree = device.tree();
    if (tree?.full) records.clear();
    for (const node of tree?.nodes ?? []) records.set(node.i, node);
    return (records.get('/notes/0/1/1')?.c ?? []).map((key) => records.get(`/notes/0/1/1/${key}/1`).p.text).join(',');
  };
}

function addNote(device, seq, text) {
  assert.equal(device.event({window: 'device', seq, rev: 0, type: 'edit', id: '/notes/0/0/0/0', text}), 200);
  return device.event({window: 'device', seq: seq + 1, rev: 0, type: 'submit', id: '/notes/0/0/0/0'});
}

test('an added note is committed before its answer, and sent as one conditional group', async () => {
  const files = browserFiles();
  const device = await startWorker(files);
  assert.equal(device.tree().full, true);
  assert.equal(addNote(device, 1, 'milk'), 200);
  const tree = device.tree();
  assert.equal(`${tree.ack} ${notes(tree.nodes)}`, '2 milk');
  // Based on nothing before the first fetch: the server refuses it over lists it holds, and it is merged.
  assert.match(device.outgoing(), /^notesFromCloud absent 19 [0-9a-f]{32}\nmilkNOTES_SEPARATOR$/);
  device.network(2);
  assert.equal(device.tree().status, 'Offline: 1 edit waiting');
  assert.equal(addNote(device, 3, 'eggs'), 200);
  assert.equal(device.tree().status, 'Offline: 2 edits waiting');

  for (const file of Object.values(files)) file.crash();  // the browser killed right after the answer
  const again = await startWorker(files);
  // milk went with no answer: it may be there, so it goes again before what replaced it.
  assert.equal(`${notes(again.tree().nodes)} | ${again.outgoing().split('\n')[0].slice(0, -33)}`, 'milk,eggs | notesFromCloud absent 19');
  again.network(2);
  assert.equal(again.tree().status, 'Offline: 2 edits waiting');
  again.sent(204);
  assert.match(again.outgoing(), /^notesFromCloud "[0-9a-f]{64}" 38 /);
  again.sent(204);
  assert.equal(`${again.outgoing()}|${again.tree().status}`, '|');
});

test('a stale tap is refused and a bad event is no event', async () => {
  const device = await startWorker(browserFiles());
  assert.equal(device.event({window: 'device', seq: 1, type: 'nonsense'}), 400);
  assert.equal(device.event({window: 'device', seq: 2, rev: 0, type: 'tap', id: '/notes/0/1/1/0/3'}), 409);
});

test('fetch, edits, a delivery, tab switches, going offline, another device\'s write: nothing shown vanishes, no stale write waits', async () => {
  const device = await startWorker(browserFiles());
  const shown = page(device);
  const S = 'NOTES_SEPARATOR';
  const tags = new Map(['a|', 'a|b|', 'x|a|b|'].map((list) => [createHash('sha256').update(list.replaceAll('|', S)).digest('hex'), list]));
  const names = [];  // each write's name as w1, w2...: a write sent again keeps its own
  const nameOf = (name) => { if (!names.includes(name)) names.push(name); return `w${names.indexOf(name) + 1}`; };
  const readable = (body) => body.replace(/"([0-9a-f]{64})"/, (_, tag) => `on ${tags.get(tag)}`)
    .replace(/ ([0-9a-f]{32})\n/, (_, name) => ` ${nameOf(name)}\n`).replaceAll(S, '|').replace('\n', ' ');
  const log = [];
  const step = (name) => {  // what is shown, what would be sent now, and what to do when its answer is lost
    const body = device.outgoing();
    log.push(`${name}: ${shown()} [${readable(body)}]${body ? ` next ${device.sent(0)}` : ''}`);
  };
  device.fetched('notesFromCloud', `a${S}`);
  step(`fetched, reload ${device.reload()}`);  // the cloud's list is taken as it is: nothing to send back
  addNote(device, 1, 'b');
  log.push(readable(device.outgoing()));
  addNote(device, 3, 'c');
  step('added');  // c waits for the answer about b
  device.sent(204);  // b landed: c is built on it
  step('delivered');
  device.event({window: 'device', seq: 5, rev: 0, type: 'tab', index: 1});
  device.event({window: 'device', seq: 6, rev: 0, type: 'tab', index: 0});
  step('tabs');
  device.network(2);
  device.foreground();
  device.fetched('notesFromCloud', `a${S}b${S}`);
  step(`offline, reload ${device.reload()}`);  // what the server holds is nothing new
  device.fetched('notesFromCloud', `x${S}a${S}b${S}`);  // another device's write, c's answer still unknown
  step(`moved, reload ${device.reload()}`);  // the server may hold c: nothing merges before its answer
  device.outgoing();
  log.push(`its group answered, one write moved: next ${device.sent(200, 'conflict moved\n')}`);
  step(`not made, reload ${device.reload()}`);  // c merges onto the other device's write
  device.outgoing();
  log.push(`refused login: next ${device.sent(401)}`);
  device.network(3);
  log.push(device.tree().status);
  const waiting = 'notesFromCloud on a|b| 48 w2 a|b|c|';
  assert.equal(log.join('\n'), `fetched, reload 1: a []\nnotesFromCloud on a| 32 w1 a|b|\nadded: a,b,c []\n` +
               `delivered: a,b,c [${waiting}] next 2\ntabs: a,b,c [${waiting}] next 2\n` +
               `offline, reload 0: a,b,c [${waiting}] next 2\nmoved, reload 0: a,b,c [${waiting}] next 2\n` +
               'its group answered, one write moved: next 1\n' +
               'not made, reload 1: x,a,b,c [notesFromCloud on x|a|b| 64 w3 x|a|b|c|] next 2\nrefused login: next 3\n' +
               "This device's access was revoked: its edits stay here (1 waiting); pair it again to send them");
});
