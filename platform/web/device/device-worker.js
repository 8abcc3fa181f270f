// The paired phone's own Quillbox: the C++ model (quillbox-device.js and .wasm, built by `make wasm`)
// run in this dedicated Web Worker over the browser's origin-private file system, whose synchronous
// access handles let SQLite commit durably before an event is answered. The page talks to it only by
// postMessage:
//   page -> worker  {kind:'open', idiom, token, server} {kind:'event', event} {kind:'foreground'}
//                   {kind:'hidden'} {kind:'online'}
//   worker -> page  {kind:'ready', window} {kind:'tree', data} {kind:'answer', seq, status, error}
//                   {kind:'error', message, busy}
// The worker syncs the lists with the server's cloud endpoint (`${server}/cloud/v1/`, the device token
// as a bearer token) between events: the network never holds up a screen.
//   At a start, the lists drawn last (kept-drawing.js) are shown as soon as the store's files are
// open, when the store still holds what they show; the live tree follows once the model has loaded.
'use strict';

// The module compiles while it streams in, as the worker starts.
const compiled = WebAssembly.compileStreaming ? WebAssembly.compileStreaming(fetch('quillbox-device.wasm')) : null;
compiled?.catch(() => {});  // the module's own loading then says why

// The module's glue is read once the kept drawing is on its way: the drawing needs none of it.
importScripts('kept-drawing.js');

const HOME = '/quillbox/';
const DB = HOME + 'settings.sqlite3';
// The database, its write-ahead log and its rollback journal: every file SQLite opens for it.
const FILES = ['settings.sqlite3', 'settings.sqlite3-wal', 'settings.sqlite3-journal'];
const DRAWING = 'drawing.json';
// The drawing is kept when the page is hidden, and this long (ms) after the last tree: keeping it
// takes a few frames' time, never spent between keystrokes.
const KEEP_AFTER = 1500;
const BUSY_WAIT = 25;    // ms, doubled up to LONGEST_BUSY_WAIT, for handles another worker holds
const LONGEST_BUSY_WAIT = 3200;
const KEYS = ['notesFromCloud', 'tasksFromCloud', 'stringTasksFinishedIndicesFromCloud', 'taggedNotesFromCloud'];
const NETWORK = {reachable: 1, unreachable: 2, revoked: 3};
const SHORTEST_WAIT = 1000;
const LONGEST_WAIT = 30000;
const MOST_ROUNDS = 8;  // sends and merges after one another within one sync

let device = null;  // the module's calls, once the lists are open
let files = null;   // the store's handles, by path, and the drawing's
let keeping = 0;    // the timer that keeps the drawing
let opening = false;
const early = [];   // messages that came while the lists were being opened
let token = '';
let server = '';

function post(message) {
  self.postMessage(message);
}

// A tree brings a screen's worth of new rows at most: the rest of them follow, after what waits.
function postTree() {
  const data = device.tree();
  if (!data) return;
  post({kind: 'tree', data});
  setTimeout(() => device && postTree(), 0);
  clearTimeout(keeping);
  keeping = setTimeout(keep, KEEP_AFTER);
}

// Keeps the drawing of the lists as they are now, with the mark of the store that holds them.
function keep() {
  clearTimeout(keeping);
  if (!device) return;
  try {
    keepDrawing(files.drawing, storeMark(files.store[DB], files.store[DB + '-wal']), device.drawing());
  } catch (ignored) { /* the drawing kept before, whose mark no longer matches, is never shown */ }
}

function showKept(handles, drawing) {
  const tree = keptDrawing(drawing, storeMark(handles[DB], handles[DB + '-wal']));
  if (tree) post({kind: 'tree', data: tree});
}

// The module's options: its instance made from the compile that started with the worker, or, where
// that failed, loaded as the module loads itself.
async function moduleOptions(handles) {
  const wasm = compiled && await compiled.catch(() => null);
  if (!wasm) return {qbHandles: handles};
  return {
    qbHandles: handles,
    instantiateWasm(imports, receive) {
      WebAssembly.instantiate(wasm, imports).then((instance) => receive(instance, wasm), (err) => {
        post({kind: 'error', busy: false, message: 'Quillbox cannot start in this browser: ' + describe(err)});
      });
      return {};
    },
  };
}

self.onmessage = (e) => {
  const message = e.data || {};
  if (device) {
    try {
      run(message);
    } catch (err) {
      // The module stopped (a fault in the model): nothing more can run, and the page is told so.
      device = null;
      opening = true;
      post({kind: 'error', busy: false, message: 'Quillbox stopped: ' + describe(err)});
    }
    return;
  }
  if (message.kind === 'open') {
    if (!opening) open(message);
  } else {
    early.push(message);
  }
};

const isBusy = (err) => !!err && (err.name === 'NoModificationAllowedError' || err.name === 'InvalidStateError');

// The files' handles, by path. Handles another worker holds are waited for a while: the worker of the
// page this one replaced lets go of them only once it has stopped.
async function openFiles() {
  const root = await navigator.storage.getDirectory();
  const folder = await root.getDirectoryHandle('quillbox', {create: true});
  for (let wait = BUSY_WAIT; ; wait *= 2) {
    const handles = {};
    try {
      for (const name of [...FILES, DRAWING]) {
        const file = await folder.getFileHandle(name, {create: true});
        handles[HOME + name] = await file.createSyncAccessHandle();
      }
      return handles;
    } catch (err) {
      closeAll(handles);
      if (!isBusy(err) || wait > LONGEST_BUSY_WAIT) throw err;
      await new Promise((done) => setTimeout(done, wait));
    }
  }
}

// Opens the handles first (another tab's worker holding them means this one cannot have them), shows
// the drawing kept of the lists they hold, then opens the module and the lists.
async function open(message) {
  opening = true;
  token = typeof message.token === 'string' ? message.token : '';
  server = typeof message.server === 'string' ? message.server.replace(/\/+$/, '') : '';
  let handles;
  try {
    handles = await openFiles();
  } catch (err) {
    const busy = isBusy(err);
    post({
      kind: 'error',
      busy,
      message: busy ? 'Quillbox is open in another tab or window of this browser'
                    : 'The lists kept in this browser cannot be opened: ' + describe(err),
    });
    return;
  }
  const drawing = handles[HOME + DRAWING];
  delete handles[HOME + DRAWING];
  showKept(handles, drawing);
  let module;
  try {
    importScripts('quillbox-device.js');
    module = await QuillboxDevice(await moduleOptions(handles));
  } catch (err) {
    closeAll(handles);  // another tab may have them
    closeAll({drawing});
    post({kind: 'error', busy: false, message: 'Quillbox cannot start in this browser: ' + describe(err)});
    return;
  }
  const call = (name, result, args) => (...values) => module.ccall(name, result, args, values);
  const made = {
    open: call('qb_open', 'number', ['string', 'string']),
    error: call('qb_error', 'string', []),
    event: call('qb_event', 'number', ['string']),
    foreground: call('qb_foreground', null, []),
    tree: call('qb_tree', 'string', []),
    drawing: call('qb_drawing', 'string', []),
    network: call('qb_network', null, ['number']),
    reload: call('qb_reload', 'number', []),
    outgoing() {
      const at = module.ccall('qb_outgoing', 'number', [], []);
      const size = module.ccall('qb_size', 'number', [], []);
      return size > 0 ? module.HEAPU8.slice(at, at + size) : null;
    },
    sent(status, bytes) {
      let next = NEXT.backOff;
      withBytes(module, bytes, (at, size) => { next = module.ccall('qb_sent', 'number', ['number', 'number', 'number'], [status, at, size]); });
      return next;
    },
    fetched(key, bytes) {
      withBytes(module, bytes || new Uint8Array(0), (at, size) =>
        module.ccall('qb_fetched', null, ['string', 'number', 'number', 'number'], [key, bytes ? 1 : 0, at, size]));
    },
  };
  if (made.open(message.idiom === 'pad' ? 'pad' : 'phone', server) !== 0) {
    closeAll(handles);
    closeAll({drawing});
    post({kind: 'error', busy: false, message: 'The lists kept in this browser cannot be opened: ' + made.error()});
    return;
  }
  device = made;
  files = {store: handles, drawing};
  post({kind: 'ready', window: 'device'});
  postTree();
  while (early.length > 0) run(early.shift());
  sync(true);
}

function closeAll(handles) {
  for (const handle of Object.values(handles)) {
    try { handle.close(); } catch (ignored) { /* closing is all that is left to do */ }
  }
}

function withBytes(module, bytes, use) {
  const at = module._malloc(Math.max(bytes.length, 1));
  try {
    module.HEAPU8.set(bytes, at);
    use(at, bytes.length);
  } finally {
    module._free(at);
  }
}

function describe(err) {
  return err && err.message ? err.message : String(err);
}

// The tree goes first, then the answer, as on the server page's socket. Both follow
// the event's commit, which reached the disk before qb_event returned.
function run(message) {
  switch (message.kind) {
    case 'event': {
      const event = message.event || {};
      const status = device.event(JSON.stringify(event));
      postTree();
      post({kind: 'answer', seq: event.seq, status, error: status === 200 ? '' : device.error()});
      if (!waiting) sync(false);  // while backing off, the timer sends
      return;
    }
    case 'foreground':
      device.foreground();
      postTree();
      sync(true);
      return;
    case 'hidden':
      keep();
      return;
    case 'online':
      sync(true);
      return;
    default:
      return;
  }
}

// ---- The cloud: fetch the four keys (a copy that changed loads the screens again, merging this
// device's unsent edits), then send what waits, as one conditional group.

// What the model says to do after an answer to a send.
const NEXT = {send: 0, fetchAndMerge: 1, backOff: 2, stop: 3};
let syncing = false;
let again = false;
let againFetch = false;
let revoked = false;
let waiting = 0;  // the back-off timer
let wait = SHORTEST_WAIT;

function authorised(extra) {
  return Object.assign({Authorization: 'Bearer ' + token}, extra || {});
}

class Refused extends Error {
  constructor(status, revokedToken) {
    super('the server answered ' + status);
    this.revoked = revokedToken;
  }
}

async function fetchAll() {
  const got = await Promise.all(KEYS.map(async (key) => {
    const res = await fetch(server + '/cloud/v1/' + key, {headers: authorised(), cache: 'no-store'});
    if (res.status === 401 || res.status === 403) throw new Refused(res.status, true);
    if (res.status === 404) return [key, null];
    if (res.status !== 200) throw new Refused(res.status, false);
    return [key, new Uint8Array(await res.arrayBuffer())];
  }));
  for (const [key, value] of got) device.fetched(key, value);
  device.reload();
  postTree();
}

async function sync(fetchFirst) {
  if (!token || !server || revoked) return;
  if (syncing) {
    again = true;
    againFetch = againFetch || fetchFirst;
    return;
  }
  syncing = true;
  clearTimeout(waiting);
  waiting = 0;
  try {
    do {
      again = false;
      if (fetchFirst || againFetch) await fetchAll();
      fetchFirst = againFetch = false;
      for (let round = 0; round < MOST_ROUNDS; round++) {
        const body = device.outgoing();
        if (!body) break;
        let res, next;
        try {  // every body is answered, even by nothing: its keys may then send again
          res = await fetch(server + '/cloud/v1/', {
            method: 'POST',
            headers: authorised({'Content-Type': 'application/x-quillbox-writes'}),
            body,
          });
          next = device.sent(res.status, new Uint8Array(await res.arrayBuffer()));
        } catch (err) {
          device.sent(0, new Uint8Array(0));
          throw err;
        }
        if (next === NEXT.fetchAndMerge) {
          await fetchAll();  // another device wrote meanwhile: merge onto its copy, then send again
        } else if (next !== NEXT.send) {
          throw new Refused(res.status, next === NEXT.stop);
        }
      }
      device.network(NETWORK.reachable);
      wait = SHORTEST_WAIT;
    } while (again);
  } catch (err) {
    if (err instanceof Refused && err.revoked) {
      revoked = true;  // the edits stay; nothing more is sent with this token
      device.network(NETWORK.revoked);
    } else {
      device.network(NETWORK.unreachable);
      waiting = setTimeout(() => { waiting = 0; sync(true); }, wait);
      wait = Math.min(wait * 2, LONGEST_WAIT);
    }
  } finally {
    syncing = false;
    postTree();
  }
}
