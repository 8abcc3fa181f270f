// Quillbox in the browser: draws this window's view tree and sends what the person does.
//
// The server sends element records ({"i": id, "e": element, "p": properties, "m": modifiers,
// "c": child keys, "h": header}); this module keeps them by id and patches the page by id, so a
// field keeps its focus and caret while the rows change around it. Every text is set as text,
// never as markup. Events go out one at a time, in order; the tree that follows each comes back
// before its answer.
//
// The trees come from one of two sources, and the events go back to it: the server (a window
// onto its lists, over one WebSocket: socket.js), or, on a paired device's page under /device/,
// the app's own model running in this browser (device.js). Only the transport differs.
//
// A list ("n" rows in all) comes with only the rows near what the page shows: "c" holds their
// keys and "o" the place of the first. The page keeps the list as tall as all its rows would be,
// and asks for other rows (a viewport event) as the person scrolls.

const SVG_NS = 'http://www.w3.org/2000/svg';

// Our own drawings of the system images, on a 24-unit grid, stroked in the current colour.
const ICONS = {
  'trash': ['M4 6.5h16', 'M9.5 6.5V4h5v2.5', 'M6.5 6.5l1 13.5h9l1-13.5', 'M10.2 10.5v6', 'M13.8 10.5v6'],
  'checkmark': ['M4.5 12.5l5 5 10-11'],
  'circle': [['circle', 12, 12, 9]],
  'square.and.pencil': ['M11.5 4.5H6a2 2 0 0 0-2 2V18a2 2 0 0 0 2 2h11.5a2 2 0 0 0 2-2v-5.5',
    'M17.6 3.4a1.9 1.9 0 0 1 2.7 2.7l-8 8-3.6.9.9-3.6z'],
  'list.dash': ['M4 6.5h2', 'M4 12h2', 'M4 17.5h2', 'M9.5 6.5H20', 'M9.5 12H20', 'M9.5 17.5H20'],
  'tag': ['M3.5 4.5v6.9a1.5 1.5 0 0 0 .44 1.06l8.1 8.1a1.5 1.5 0 0 0 2.12 0l6.4-6.4a1.5 1.5 0 0 0 0-2.12l-8.1-8.1A1.5 1.5 0 0 0 11.4 3.5H4.5a1 1 0 0 0-1 1z',
    ['circle', 8, 8, 1.5]],
};

// The accessible names of the images a person taps.
const ACTION_NAMES = {
  'trash': 'Delete',
  'circle': 'Mark finished',
  'checkmark': 'Mark unfinished',
};

function drawIcon(name) {
  const svg = document.createElementNS(SVG_NS, 'svg');
  svg.setAttribute('viewBox', '0 0 24 24');
  svg.setAttribute('aria-hidden', 'true');
  svg.setAttribute('focusable', 'false');
  svg.setAttribute('class', 'icon');
  svg.dataset.symbol = name;
  for (const part of ICONS[name] || ICONS.circle) {
    let shape;
    if (typeof part === 'string') {
      shape = document.createElementNS(SVG_NS, 'path');
      shape.setAttribute('d', part);
    } else {
      shape = document.createElementNS(SVG_NS, 'circle');
      shape.setAttribute('cx', String(part[1]));
      shape.setAttribute('cy', String(part[2]));
      shape.setAttribute('r', String(part[3]));
    }
    svg.appendChild(shape);
  }
  return svg;
}

// Only web addresses open: anything else a link names is shown as plain text.
function safeAddress(text) {
  if (typeof text !== 'string') return null;
  try {
    const url = new URL(text);
    return url.protocol === 'http:' || url.protocol === 'https:' ? url.href : null;
  } catch {
    return null;
  }
}

// A narrow touch screen is a phone; anything else is not. ?idiom=phone|pad decides instead.
function deviceIdiom() {
  const given = new URLSearchParams(location.search).get('idiom');
  if (given === 'phone' || given === 'pad') return given;
  const touch = matchMedia('(pointer: coarse)').matches;
  return touch && Math.min(screen.width, screen.height) < 600 ? 'phone' : 'pad';
}

const app = {
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

const deviceApp = location.pathname.startsWith('/device/');

// --- events -----------------------------------------------------------------------------------

function send(event) {
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

async function pump() {
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

function pending(id) {
  const seq = app.pendingFor.get(id);
  return seq !== undefined && seq > app.ack;
}

function tap(id) {
  send({ type: 'tap', id, rev: app.rev });
}

// --- the page -----------------------------------------------------------------------------------

// A window this page is given: a new one has seen none of our events.
function adopt(window) {
  if (window === app.windowId) return;
  app.windowId = window;
  app.ack = 0;
  app.pendingFor.clear();
  app.localTab = null;
  for (const list of lists) list.qbAsked = null;
  pump();
}

function receive(data) {
  const started = performance.now();
  let message;
  try {
    message = JSON.parse(data);
  } catch {
    return;
  }
  adopt(message.window);
  if (!deviceApp) setNotice('');
  app.rev = message.rev;
  app.ack = Math.max(app.ack, message.ack);
  if (app.localTab && app.localTab.seq <= app.ack) app.localTab = null;
  draw(message);
  setStatus(message.status || '');
  if ('undo' in message) offers.update(message.window, message.undo);
  if ('history' in message) historyView.update(message.history);
  pump();
  // For measurements: how long taking this tree in took, from its text to the page drawn.
  const took = performance.now() - started;
  document.dispatchEvent(new CustomEvent('quillbox:drawn', { detail: { rev: app.rev, took } }));
}

// --- drawing ----------------------------------------------------------------------------------

const root = document.getElementById('app');

function draw(message) {
  app.pass++;
  if (message.full) app.records = new Map();
  for (const record of message.nodes) app.records.set(record.i, record);
  const top = app.records.get('');
  if (!top) return;
  const drawn = app.dom.get('');
  if (!drawn || drawn.qbKind !== kindOf(top)) {
    app.dom.clear();
    root.replaceChildren(create(''));
    root.removeAttribute('aria-busy');
    return;
  }
  for (const record of message.nodes) {
    const element = app.dom.get(record.i);
    if (element && element.qbPass !== app.pass) update(element, record);
  }
  if (message.full) {
    // A whole tree: the server has forgotten what was kept aside, and so does the page.
    for (const [id, element] of app.dom) if (!element.isConnected) app.dom.delete(id);
    aside.clear();
  }
}

function modifier(record, name) {
  for (const m of record.m) if (m[0] === name) return m;
  return null;
}

function kindOf(record) {
  if (record.e === 'Link') return safeAddress(record.p.destination) ? 'Link' : 'Text';
  if (record.e === 'ForEach' && typeof record.n === 'number') return 'List';
  const tappable = modifier(record, 'onTapGesture') !== null;
  return tappable && (record.e === 'Text' || record.e === 'Image') ? record.e + ':tap' : record.e;
}

function make(kind, record) {
  let element;
  switch (kind) {
    case 'TabView': {
      element = document.createElement('div');
      const panels = document.createElement('div');
      panels.className = 'tabpanels';
      const bar = document.createElement('nav');
      bar.className = 'tabbar';
      bar.setAttribute('role', 'tablist');
      bar.addEventListener('keydown', (event) => moveAlong(event, bar, '[role="tab"]', (tab) => chooseTab(Number(tab.dataset.index))));
      element.append(panels, bar);
      element.qbBox = panels;
      element.qbBar = bar;
      break;
    }
    case 'NavigationView':
      element = document.createElement('div');
      element.qbBox = element;
      break;
    case 'Form': {
      element = document.createElement('div');
      const bar = document.createElement('header');
      bar.className = 'navbar';
      const title = document.createElement('h1');
      bar.append(title);
      const body = document.createElement('div');
      body.className = 'form-body';
      element.append(bar, body);
      element.qbTitle = title;
      element.qbBox = body;
      break;
    }
    case 'Section': {
      element = document.createElement('section');
      const head = document.createElement('div');
      head.className = 'section-header';
      const body = document.createElement('div');
      body.className = 'section-body';
      element.append(head, body);
      element.qbHead = head;
      element.qbBox = body;
      break;
    }
    case 'Text':
      element = document.createElement('span');
      break;
    case 'Text:tap':
    case 'Image:tap':
      element = document.createElement('button');
      element.type = 'button';
      element.addEventListener('click', () => tap(record.i));
      break;
    case 'Image':
      element = document.createElement('span');
      element.setAttribute('aria-hidden', 'true');
      break;
    case 'Link':
      element = document.createElement('a');
      element.target = '_blank';
      element.rel = 'noopener noreferrer';
      element.referrerPolicy = 'no-referrer';
      break;
    case 'Spacer':
      element = document.createElement('span');
      element.setAttribute('aria-hidden', 'true');
      break;
    case 'TextField': {
      element = document.createElement('input');
      element.type = 'text';
      element.autocomplete = 'off';
      const id = record.i;
      element.addEventListener('input', () => {
        app.pendingFor.set(id, send({ type: 'edit', id, text: element.value }));
      });
      element.addEventListener('keydown', (event) => {
        if (event.key !== 'Enter' || event.isComposing) return;
        event.preventDefault();
        send({ type: 'submit', id });
      });
      break;
    }
    case 'List':
      element = document.createElement('div');
      element.setAttribute('role', 'list');
      element.qbBox = element;
      element.qbRowHeight = ROW_HEIGHT;
      lists.add(element);
      break;
    case 'Picker':
      element = document.createElement('div');
      element.setAttribute('role', 'radiogroup');
      element.addEventListener('keydown', (event) => moveAlong(event, element, '[role="radio"]', (segment) => segment.click()));
      break;
    default:
      element = document.createElement('div');
      element.qbBox = element;
      break;
  }
  element.qbKind = kind;
  element.qbId = record.i;
  return element;
}

function create(id) {
  const record = app.records.get(id);
  if (!record) return document.createComment('missing ' + id);
  const element = make(kindOf(record), record);
  app.dom.set(id, element);
  update(element, record);
  return element;
}

const BASE_CLASS = {
  'TabView': 'tabview',
  'NavigationView': 'navview',
  'Form': 'form',
  'Section': 'section',
  'HStack': 'hstack',
  'Text': 'text',
  'Text:tap': 'text-button',
  'Image': 'image',
  'Image:tap': 'icon-button',
  'Link': 'link',
  'Spacer': 'spacer',
  'TextField': 'field',
  'Picker': 'picker',
  'ForEach': 'foreach',
  'List': 'foreach',
};

function classFor(kind, record) {
  let name = BASE_CLASS[kind] || 'element';
  for (const [m, value] of record.m) {
    if (m === 'font' && typeof value === 'string') name += ' font-' + value;
    else if (m === 'foregroundColor' && typeof value === 'string') name += ' color-' + value;
    else if (m === 'padding' && typeof value === 'string') name += ' pad-' + value;
    else if (m === 'lineLimit' && value === null) name += ' no-line-limit';
  }
  return name;
}

function update(element, record) {
  element.qbPass = app.pass;
  const kind = kindOf(record);
  if (kind !== element.qbKind) {
    replace(element, record.i);
    return;
  }
  const className = classFor(kind, record);
  if (element.className !== className) element.className = className;
  const frame = modifier(record, 'frame');
  const minHeight = frame && frame[1] && typeof frame[1].minHeight === 'number' ? frame[1].minHeight + 'px' : '';
  if (element.style.minHeight !== minHeight) element.style.minHeight = minHeight;

  switch (kind) {
    case 'Text':
    case 'Text:tap':
      setText(element, record.e === 'Link' ? record.p.title : record.p.text);
      break;
    case 'Image':
    case 'Image:tap': {
      const name = String(record.p.systemName || '');
      if (element.qbSymbol !== name) {
        element.replaceChildren(drawIcon(name));
        element.qbSymbol = name;
        if (kind === 'Image:tap') element.setAttribute('aria-label', ACTION_NAMES[name] || name);
      }
      break;
    }
    case 'Link': {
      const href = safeAddress(record.p.destination);
      if (element.getAttribute('href') !== href) element.setAttribute('href', href);
      setText(element, record.p.title);
      break;
    }
    case 'TextField':
      updateField(element, record);
      break;
    case 'Picker':
      updatePicker(element, record);
      break;
    case 'Form': {
      const title = modifier(record, 'navigationBarTitle');
      setText(element.qbTitle, title && title[1] && title[1].p ? title[1].p.text : '');
      if (element.qbTitle.textContent && document.title !== element.qbTitle.textContent) {
        document.title = element.qbTitle.textContent;
      }
      break;
    }
    case 'Section':
      updateHeader(element, record);
      break;
    default:
      break;
  }
  if (element.qbBox) placeChildren(element, record);
  if (kind === 'List') updateList(element, record);
  if (kind === 'TabView') updateTabs(element, record);
}

function setText(element, text) {
  const value = typeof text === 'string' ? text : text === undefined || text === null ? '' : String(text);
  if (element.textContent !== value) element.textContent = value;
}

function replace(element, id) {
  forget(id);
  const fresh = create(id);
  element.replaceWith(fresh);
}

// Drops an element and everything under it from the page's index, keeping their records, so
// that they are built again from them.
function forget(id) {
  const element = app.dom.get(id);
  if (!element) return;
  for (const kid of element.qbKids || []) forget(kid);
  if (element.qbHead) forget(id + '/header');
  app.dom.delete(id);
}

function placeChildren(element, record) {
  const box = element.qbBox;
  const ids = record.c.map((key) => record.i + '/' + key);
  const before = element.qbKids || [];
  element.qbKids = ids;
  const keep = new Set(ids);
  // An element that left stays where it was, hidden, with its record, as the server remembers
  // it: if it comes back unchanged (a search typed and taken back), only its parent's keys say so.
  // A list's row that left is taken out of the page and kept aside, a few hundred at most.
  for (const id of before) {
    if (keep.has(id)) continue;
    const child = app.dom.get(id);
    if (!child || child.parentNode !== box) continue;
    child.qbAside = true;
    if (element.qbKind === 'List') {
      child.remove();
      keepAside(id);
    } else {
      child.hidden = true;
    }
  }
  let cursor = box.firstChild;
  for (const id of ids) {
    const child = app.dom.get(id) || create(id);
    if (child.qbAside) {
      child.qbAside = false;
      child.hidden = false;
    }
    while (cursor && cursor !== child && cursor.qbAside) cursor = cursor.nextSibling;
    if (child === cursor) {
      cursor = cursor.nextSibling;
    } else {
      box.insertBefore(child, cursor);
    }
  }
}

// --- lists ----------------------------------------------------------------------------------------

const ROW_HEIGHT = 57;      // a row's height until the page has measured one
const OVERSCAN = 1.5;       // screens of rows asked for beyond each edge of what is in view
const MOST_ASIDE = 600;     // rows kept out of the page for when they come back
const lists = new Set();    // the List elements made
const aside = new Map();    // id -> true, oldest first: list rows out of the page, kept

function keepAside(id) {
  aside.delete(id);
  aside.set(id, true);
  while (aside.size > MOST_ASIDE) {
    const [oldest] = aside.keys();
    aside.delete(oldest);
    const element = app.dom.get(oldest);
    if (element && !element.isConnected) forget(oldest);
  }
}

// The rows a list shows are numbered among all its rows; the space of the rows not in the page
// is kept above and below them, so the scroll height stays true to the whole list.
function updateList(element, record) {
  const ids = element.qbKids || [];
  ids.forEach((id, index) => {
    const row = app.dom.get(id);
    if (!row) return;
    aside.delete(id);
    row.setAttribute('role', 'listitem');
    row.setAttribute('aria-posinset', String(record.o + index + 1));
    row.setAttribute('aria-setsize', String(record.n));
  });
  element.qbOffset = record.o;
  element.qbCount = record.n;
  element.dataset.count = String(record.n);
  placeSpace(element);
  requestViewport();
}

function placeSpace(element) {
  const shown = (element.qbKids || []).length;
  const height = element.qbRowHeight;
  const above = Math.round(element.qbOffset * height) + 'px';
  const below = Math.round(Math.max(0, element.qbCount - element.qbOffset - shown) * height) + 'px';
  if (element.style.paddingTop !== above) element.style.paddingTop = above;
  if (element.style.paddingBottom !== below) element.style.paddingBottom = below;
}

let viewportFrame = 0;

function requestViewport() {
  if (!viewportFrame) viewportFrame = requestAnimationFrame(checkViewports);
}

// Asks for the rows of each list in view that the page lacks, or soon will as the person scrolls.
function checkViewports() {
  viewportFrame = 0;
  for (const list of lists) {
    if (!list.isConnected) {
      lists.delete(list);
      continue;
    }
    if (list.offsetParent === null || typeof list.qbCount !== 'number') continue;
    const shown = (list.qbKids || []).length;
    const box = list.getBoundingClientRect();
    const style = getComputedStyle(list);
    const above = parseFloat(style.paddingTop) || 0;
    const below = parseFloat(style.paddingBottom) || 0;
    if (shown > 0) {
      const measured = (box.height - above - below) / shown;
      if (measured > 0 && Math.abs(measured - list.qbRowHeight) > 0.5) {
        list.qbRowHeight = measured;
        placeSpace(list);
      }
    }
    const height = list.qbRowHeight;
    const screen = innerHeight;
    // What is in view, in pixels from the top of the list.
    const top = Math.max(0, -box.top);
    const bottom = Math.min(box.height, screen - box.top);
    if (bottom <= 0 || top >= box.height) continue;
    const margin = screen * OVERSCAN / 2;
    const rowsTop = list.qbOffset * height;
    const rowsBottom = box.height - (parseFloat(list.style.paddingBottom) || 0);
    const lacksAbove = list.qbOffset > 0 && top - margin < rowsTop;
    const lacksBelow = list.qbOffset + shown < list.qbCount && bottom + margin > rowsBottom;
    if (!lacksAbove && !lacksBelow) continue;
    const from = Math.max(0, Math.floor((top - screen * OVERSCAN) / height));
    const to = Math.min(list.qbCount, Math.ceil((bottom + screen * OVERSCAN) / height));
    if (list.qbAsked && list.qbAsked.from === from && list.qbAsked.to === to) continue;
    list.qbAsked = { from, to };
    send({ type: 'viewport', id: list.qbId, from, to });
  }
}

// Scroll events come once a frame: the rows are asked for at once, not a frame later.
addEventListener('scroll', checkViewports, { passive: true });
addEventListener('resize', requestViewport);

function updateHeader(element, record) {
  const id = record.i + '/header';
  if (!record.h) {
    element.qbHead.replaceChildren();
    forget(id);
    return;
  }
  let head = app.dom.get(id);
  if (!head) head = create(id);
  if (head.parentNode !== element.qbHead) element.qbHead.replaceChildren(head);
  const headingId = 'h' + record.i.replace(/[^A-Za-z0-9_-]/g, '_');
  element.qbHead.id = headingId;
  element.setAttribute('aria-labelledby', headingId);
}

function updateField(input, record) {
  const title = typeof record.p.title === 'string' ? record.p.title : '';
  if (input.placeholder !== title) input.placeholder = title;
  if (input.getAttribute('aria-label') !== title) input.setAttribute('aria-label', title);
  const submit = modifier(record, 'submitLabel');
  const key = submit && typeof submit[1] === 'string' ? submit[1] : 'done';
  if (input.enterKeyHint !== key) input.enterKeyHint = key;
  const caps = modifier(record, 'autocapitalization');
  input.setAttribute('autocapitalize', caps && caps[1] === 'none' ? 'none' : 'sentences');
  const noCorrection = modifier(record, 'disableAutocorrection');
  const off = noCorrection !== null && noCorrection[1] === true;
  input.setAttribute('autocorrect', off ? 'off' : 'on');
  input.spellcheck = !off;
  // The person's own typing wins over a tree that has not caught up with it yet.
  const value = typeof record.p.value === 'string' ? record.p.value : '';
  if (input.value !== value && !(document.activeElement === input && pending(record.i))) input.value = value;
}

function updatePicker(element, record) {
  const list = app.records.get(record.i + '/' + record.c[0]);
  const options = [];
  if (list) {
    for (const key of list.c) {
      const option = app.records.get(list.i + '/' + key);
      options.push({ key, text: option && typeof option.p.text === 'string' ? option.p.text : key });
    }
  }
  const signature = JSON.stringify(options);
  if (element.qbOptions !== signature) {
    element.qbOptions = signature;
    const id = record.i;
    element.replaceChildren(...options.map((option) => {
      const segment = document.createElement('button');
      segment.type = 'button';
      segment.className = 'segment';
      segment.setAttribute('role', 'radio');
      segment.dataset.key = option.key;
      segment.textContent = option.text;
      segment.addEventListener('click', () => {
        app.pendingFor.set(id, send({ type: 'select', id, value: option.key }));
        markSegment(element, option.key);
      });
      return segment;
    }));
  }
  if (!pending(record.i)) markSegment(element, record.p.selection);
  else if (!element.querySelector('[aria-checked="true"]')) markSegment(element, record.p.selection);
}

function markSegment(picker, key) {
  for (const segment of picker.children) {
    const on = segment.dataset.key === key;
    segment.setAttribute('aria-checked', on ? 'true' : 'false');
    segment.tabIndex = on ? 0 : -1;
  }
}

// Arrow keys, Home and End move along a tab list or a radio group, choosing as they go.
function moveAlong(event, container, selector, choose) {
  const items = [...container.querySelectorAll(selector)];
  const at = items.indexOf(document.activeElement);
  if (at < 0) return;
  let next = at;
  if (event.key === 'ArrowRight' || event.key === 'ArrowDown') next = (at + 1) % items.length;
  else if (event.key === 'ArrowLeft' || event.key === 'ArrowUp') next = (at - 1 + items.length) % items.length;
  else if (event.key === 'Home') next = 0;
  else if (event.key === 'End') next = items.length - 1;
  else return;
  event.preventDefault();
  items[next].focus();
  choose(items[next]);
}

function updateTabs(element, record) {
  const bar = element.qbBar;
  const tabs = record.c.map((key, index) => {
    const screen = app.records.get(record.i + '/' + key);
    const item = screen ? modifier(screen, 'tabItem') : null;
    const label = item && item[1] && item[1].p ? item[1].p : {};
    return { index, title: String(label.title || ''), image: String(label.systemImage || '') };
  });
  const signature = JSON.stringify(tabs);
  if (bar.qbTabs !== signature) {
    bar.qbTabs = signature;
    bar.replaceChildren(...tabs.map((tab) => {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'tab';
      button.setAttribute('role', 'tab');
      button.id = 'tab-' + tab.index;
      button.setAttribute('aria-controls', 'panel-' + tab.index);
      button.dataset.index = String(tab.index);
      const label = document.createElement('span');
      label.textContent = tab.title;
      button.append(drawIcon(tab.image), label);
      button.addEventListener('click', () => chooseTab(tab.index));
      return button;
    }));
  }
  const selected = app.localTab ? app.localTab.index : Number(record.p.selectedTab) || 0;
  showTab(element, selected);
}

function showTab(element, selected) {
  const panels = element.qbKids || [];
  panels.forEach((id, index) => {
    const panel = app.dom.get(id);
    if (!panel) return;
    panel.id = 'panel-' + index;
    panel.setAttribute('role', 'tabpanel');
    panel.setAttribute('aria-labelledby', 'tab-' + index);
    panel.hidden = index !== selected;
  });
  for (const tab of element.qbBar.children) {
    const on = Number(tab.dataset.index) === selected;
    tab.setAttribute('aria-selected', on ? 'true' : 'false');
    tab.tabIndex = on ? 0 : -1;
  }
}

function chooseTab(index) {
  const tabs = app.dom.get('');
  if (!tabs || tabs.qbKind !== 'TabView') return;
  const current = app.localTab ? app.localTab.index : Number(app.records.get('').p.selectedTab) || 0;
  if (index === current) return;
  app.localTab = { index, seq: send({ type: 'tab', index }) };
  showTab(tabs, index);
  window.scrollTo(0, 0);
  requestViewport();
}

// --- status -----------------------------------------------------------------------------------

const statusLine = document.getElementById('status');


function showStatus() {
  const text = app.notice ? app.notice
    : [app.eventError, app.status].filter((line) => line !== '').join(' · ');
  if (statusLine.textContent !== text) statusLine.textContent = text;
  statusLine.hidden = text === '';
}

function setStatus(text) {
  app.status = text;
  showStatus();
}

function setEventError(text) {
  app.eventError = text;
  showStatus();
}

function setNotice(text) {
  app.notice = text;
  showStatus();
}

const offers = (await import('./undo.js')).undoOffer(send);
const historyView = (await import('./history.js')).historyView(send,
  () => app.localTab ? app.localTab.index : Number(app.records.get('')?.p.selectedTab) || 0);

// --- the page's life --------------------------------------------------------------------------

const transport = deviceApp
  ? (await import('./device.js')).deviceTransport({ receive, adopt, setNotice, idiom: deviceIdiom })
  : (await import('./socket.js')).socketTransport({ receive, setNotice, idiom: deviceIdiom, send });

document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible') transport.shown(); else transport.hidden();
});

window.addEventListener('pageshow', (event) => {
  if (!event.persisted) return;
  transport.restored();
  send({ type: 'appear' });
});

transport.start();
