// The page's link to the server: one WebSocket for this tab's window. Events go up it one after the
// other, each answered after the tree that follows it; the window's trees come down it. A socket that
// drops is opened again (while the tab is in view) and takes the same window up, with its whole tree.
//
// The page's secret: the address `quillbox serve` prints carries it after '#', which no browser sends
// to a server or a proxy's log. The page keeps it in this tab's sessionStorage (a reload keeps it),
// takes it out of the address bar, and offers it only as a subprotocol of the socket's opening request,
// to this page's own server; the server checks it there, on the request's head.

const TOKEN_KEY = 'quillbox-token';
const NOT_CONNECTED = 'Not connected to Quillbox. Trying again…';
const NO_TOKEN = 'Open the address that `quillbox serve` printed: this tab does not have its secret.';

// The secret: a new one from the address (then taken out of it), else the one this tab kept.
function pageToken() {
  const given = new URLSearchParams(location.hash.slice(1)).get('token');
  if (location.hash) history.replaceState(null, '', location.pathname + location.search);
  try {
    if (given && /^[0-9a-f]{64}$/.test(given)) sessionStorage.setItem(TOKEN_KEY, given);
    return sessionStorage.getItem(TOKEN_KEY) || '';
  } catch {
    return given || '';  // storage refused: the secret lives as long as the page
  }
}

// A link that opens this app in a new tab, carrying the secret after '#' to this origin alone.
function offerNewTab(token) {
  const nav = document.createElement('nav');
  nav.className = 'page-links';
  nav.setAttribute('aria-label', 'Quillbox');
  const link = document.createElement('a');
  link.href = '/#token=' + token;
  link.target = '_blank';
  link.rel = 'noopener noreferrer';
  link.textContent = 'Open in a new tab';
  nav.append(link);
  document.body.append(nav);
}

// page: {receive(treeText), setNotice(line), idiom(), send(event)}.
export function socketTransport(page) {
  const token = pageToken();
  const answers = new Map();  // seq -> the resolver of the event waiting for its answer
  let early = [];             // events given while the socket opens, sent once it is open
  let socket = null;
  let windowId = '';
  let retries = 0;
  let retryTimer = 0;

  function visible() {
    return document.visibilityState === 'visible';
  }

  function settleAll() {
    early = [];
    for (const done of answers.values()) done(null);
    answers.clear();
  }

  function connect() {
    if (socket) return;
    clearTimeout(retryTimer);
    const params = new URLSearchParams({ idiom: page.idiom() });
    if (windowId) params.set('window', windowId);
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const opened = new WebSocket(`${scheme}//${location.host}/api/socket?${params}`,
      ['quillbox', 'quillbox.token.' + token]);
    socket = opened;
    opened.onopen = () => {
      retries = 0;
      page.setNotice('');
      for (const text of early) opened.send(text);
      early = [];
    };
    opened.onmessage = ({ data }) => {
      if (data.startsWith('{"answer":')) {
        const answer = JSON.parse(data);
        const done = answers.get(answer.answer);
        answers.delete(answer.answer);
        done?.({ status: answer.status, error: answer.error });
        return;
      }
      const window = /^\{"window":"([^"]*)"/.exec(data);
      if (window) windowId = window[1];
      page.receive(data);
    };
    opened.onclose = () => {
      if (socket !== opened) return;
      socket = null;
      // Events on their way are lost; the whole tree the next socket brings shows where things are.
      settleAll();
      page.setNotice(NOT_CONNECTED);
      if (visible()) retryTimer = setTimeout(connect, Math.min(10000, 500 * 2 ** retries++));
    };
  }

  // Out of sight, the tab lets go of its socket; its window waits on the server for it to come back.
  function disconnect() {
    clearTimeout(retryTimer);
    if (!socket) return;
    const closing = socket;
    socket = null;
    closing.close();
    settleAll();
  }

  return {
    start() {
      if (!token) {
        page.setNotice(NO_TOKEN);
        return;
      }
      offerNewTab(token);
      connect();
    },
    post(event) {
      if (!socket) return Promise.resolve(null);
      return new Promise((done) => {
        answers.set(event.seq, done);
        const text = JSON.stringify(event);
        if (socket.readyState === WebSocket.OPEN) socket.send(text); else early.push(text);
      });
    },
    shown() {
      if (!token) return;
      connect();
      page.send({ type: 'foreground' });
    },
    hidden: disconnect,
    restored() {
      if (token) connect();
    },
  };
}
