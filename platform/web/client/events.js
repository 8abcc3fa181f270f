// What the page sends, and the state of this window's tree as drawn. Events go out one at a time,
// in order, through the transport given to useTransport; each is answered after the tree that
// follows it. The status line shows the tree's line, the last failed event's and the transport's.

export const app = {
  windowId: '',
  rev: 0,            // the tree revision drawn
  ack: 0,            // the last of our events the drawn tree includes
  seq: 0,            // our events, counted
  records: new Map(),
  dom: new Map(),
  pass: 0,
  queue: [],
  inflight: null,
  pendingFor: new Map(),  // a field's or picker's id -> the seq of its last edit
  localTab: null,         // {index, seq}: a tab chosen here that the server has not drawn yet
  status: '',        // the tree's line (the cloud's trouble, edits waiting)
  eventError: '',    // why the last event failed, until one succeeds
  notice: '',        // the transport's own line (no connection, another tab), shown alone
};

let transport = null;

// transport: {post(event) -> Promise<{status, error} | null>}, used from now on.
export function useTransport(given) {
  transport = given;
}

export function send(event) {
  const last = app.queue[app.queue.length - 1];
  // A field's text is sent whole: a newer text replaces one still waiting to go; so are the rows
  // a list asks for.
  if (event.type === 'edit' && last && last.type === 'edit' && last.id === event.id) {
    last.text = event.text;
    return last.seq;
  }
  if (event.type === 'viewport' && last && last.type === 'viewport' && last.id === event.id) {
    last.from = event.from;
    last.to = event.to;
    return last.seq;
  }
  event.seq = ++app.seq;
  app.queue.push(event);
  pump();
  return event.seq;
}

export async function pump() {
  if (app.inflight || !app.windowId || app.queue.length === 0) return;
  const event = app.queue.shift();
  app.inflight = event;
  // {status, error}: how the event went, as an HTTP status; null when it never arrived.
  const answer = await transport.post({ window: app.windowId, ...event });
  if (answer && answer.status >= 200 && answer.status < 300) {
    setEventError('');
  } else if (answer && answer.status !== 409) {
    // The event failed (a store that cannot be written, say): the tree that follows keeps what
    // was typed, and the message stays until an event succeeds. A 409 needs no words: the new
    // rows show what changed.
    const text = String(answer.error || '').trim().slice(0, 300);
    setEventError(text ? `Not done: ${text}` : `Not done (the app answered ${answer.status}).`);
  }
  app.inflight = null;
  pump();
}

export function pending(id) {
  const seq = app.pendingFor.get(id);
  return seq !== undefined && seq > app.ack;
}

export function tap(id) {
  send({ type: 'tap', id, rev: app.rev });
}

const statusLine = document.getElementById('status');

function showStatus() {
  const text = app.notice ? app.notice
    : [app.eventError, app.status].filter((line) => line !== '').join(' · ');
  if (statusLine.textContent !== text) statusLine.textContent = text;
  statusLine.hidden = text === '';
}

export function setStatus(text) {
  app.status = text;
  showStatus();
}

function setEventError(text) {
  app.eventError = text;
  showStatus();
}

export function setNotice(text) {
  app.notice = text;
  showStatus();
}
