// The device app: on a paired browser's page under /device/, the app's model runs in this browser,
// in a worker (device-worker.js) that keeps the lists in the browser's own storage and syncs them
// through the server's cloud endpoint with the device token pairing gave. The page sends the
// worker what the person does and draws the trees it posts, as it draws the server's.
//
// Pairing: the address `quillbox devices add NAME` prints carries the device token in its fragment,
// which a browser never sends to a server. The page keeps it, with the server's origin, in the
// browser's IndexedDB, waiting for the write to reach the disk (a browser writes localStorage
// lazily, and would lose it to a kill), and takes it out of the address bar. A service worker
// keeps the app's files, so the app opens with no network.

const OTHER_TAB = 'Quillbox is open in another tab.';

// Reads the kept pairing, or writes one and waits until it is on the disk.
function keptPairing(write) {
  return new Promise((done, fail) => {
    const opening = indexedDB.open('quillbox-device', 1);
    opening.onupgradeneeded = () => opening.result.createObjectStore('pairing');
    opening.onerror = () => fail(opening.error);
    opening.onsuccess = () => {
      const db = opening.result;
      const change = db.transaction('pairing', write ? 'readwrite' : 'readonly', { durability: 'strict' });
      const pairs = change.objectStore('pairing');
      const asked = write ? pairs.put(write, 'pairing') : pairs.get('pairing');
      change.oncomplete = () => {
        db.close();
        done(write || asked.result);
      };
      change.onerror = change.onabort = () => {
        db.close();
        fail(change.error);
      };
    };
  });
}

// The pairing this browser keeps ({token, server}), after taking a new one from the address.
async function pairing() {
  const token = new URLSearchParams(location.hash.slice(1)).get('token');
  if (location.hash) history.replaceState(null, '', location.pathname + location.search);
  try {
    const kept = await keptPairing(token && /^[0-9a-f]{64}$/.test(token) ? { token, server: location.origin } : null);
    return kept && typeof kept.token === 'string' && typeof kept.server === 'string' ? kept : null;
  } catch {
    return null;
  }
}

function keepFiles() {
  if (!navigator.serviceWorker) return;
  navigator.serviceWorker.register('sw.js', { scope: './' }).catch(() => {
    // Not a secure context, or storage refused: the app works, but needs the network to open.
  });
}

// page: {receive(treeText), adopt(windowId), setNotice(line), idiom()}.
export function deviceTransport(page) {
  let paired = null;
  const answers = new Map();  // seq -> the resolver of the event waiting for its answer
  let worker = null;

  function settleAll() {
    for (const done of answers.values()) done(null);
    answers.clear();
  }

  // The worker starts at once (its module compiles meanwhile) and opens the lists when told to.
  function spawn() {
    worker = new Worker('device-worker.js');
    worker.onmessage = ({ data: message }) => {
      if (message.kind === 'ready') {
        page.adopt(message.window);
      } else if (message.kind === 'tree') {
        page.receive(message.data);
      } else if (message.kind === 'answer') {
        const done = answers.get(message.seq);
        answers.delete(message.seq);
        done?.({ status: message.status, error: message.error });
      } else if (message.kind === 'error') {
        // The worker's own words: its lists could not be opened, or the model stopped.
        settleAll();
        page.setNotice(message.busy ? OTHER_TAB : String(message.message));
      }
    };
    worker.onerror = (event) => {
      event.preventDefault();
      settleAll();
      page.setNotice(`Quillbox could not start on this device: ${event.message || 'the app did not load'}.`);
    };
  }

  function open() {
    worker.postMessage({ kind: 'open', idiom: page.idiom(), token: paired.token, server: paired.server });
  }

  // One tab at a time holds the lists: another waits, and takes over when the first one closes.
  async function start() {
    keepFiles();
    spawn();
    paired = await pairing();
    if (!paired) {
      worker.terminate();
      worker = null;
      page.setNotice('This browser is not paired: open the address that `quillbox devices add NAME` printed.');
      return;
    }
    if (!navigator.locks) {
      open();
      return;
    }
    const hold = () => {
      page.setNotice('');
      open();
      return new Promise(() => {});  // held while the page lives
    };
    navigator.locks.request('quillbox-device', { ifAvailable: true }, (lock) => {
      if (lock) return hold();
      page.setNotice(OTHER_TAB);
      return navigator.locks.request('quillbox-device', hold);
    });
  }

  addEventListener('online', () => worker?.postMessage({ kind: 'online' }));

  return {
    start,
    post(event) {
      if (!worker) return Promise.resolve(null);
      return new Promise((done) => {
        answers.set(event.seq, done);
        worker.postMessage({ kind: 'event', event });
      });
    },
    shown() {
      worker?.postMessage({ kind: 'foreground' });
    },
    hidden() {
      worker?.postMessage({ kind: 'hidden' });
    },
    restored() {},
  };
}
