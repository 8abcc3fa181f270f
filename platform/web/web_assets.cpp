// Written by platform/web/client/embed.py from the files beside it: edit those, then run it.
#include "platform/web/web_assets.h"

#include <iterator>
#include <string>

namespace quillbox::web {

namespace {

// index.html
const char* const kPieces0[] = {
    R"qbasset(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1, viewport-fit=cover">
<meta name="color-scheme" content="light dark">
<meta name="theme-color" content="#f2f2f7" media="(prefers-color-scheme: light)">
<meta name="theme-color" content="#000000" media="(prefers-color-scheme: dark)">
<meta name="apple-mobile-web-app-capable" content="yes">
<meta name="mobile-web-app-capable" content="yes">
<meta name="referrer" content="no-referrer">
<title>Quillbox</title>
<link rel="icon" href="/icon.svg" type="image/svg+xml">
<link rel="apple-touch-icon" href="/icon.svg">
<link rel="stylesheet" href="/app.css">
<script type="module" src="/app.js"></script>
</head>
<body>
<div id="status" role="status" aria-live="polite" hidden></div>
<main id="app" aria-busy="true"></main>
<noscript><p class="noscript">Quillbox needs JavaScript to run in this browser.</p></noscript>
</body>
</html>
)qbasset",
};

// app.js
const char* const kPieces1[] = {
    R"qbasset(// Quillbox in the browser: draws this window's view tree and sends what the person does.
//
// The server sends element records ({"i": id, "e": element, "p": properties, "m": modifiers,
// "c": child keys, "h": header}); this module keeps them by id and patches the page by id, so a
// field keeps its focus and caret while the rows change around it. Every text is set as text,
// never as markup. Events go out one at a time, in order; the tree that follows them comes back
// on the event stream.

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
  stream: null,
  retries: 0,
  retryTimer: 0,
  pendingFor: new Map(),  // a field's or picker's id -> the seq of its last edit
  localTab: null,         // {index, seq}: a tab chosen here that the server has not drawn yet
  status: '',
  offline: false,
};

// --- events -----------------------------------------------------------------------------------

function send(event) {
  const last = app.queue[app.queue.length - 1];
  // A field's text is sent whole: a newer text replaces one still waiting to go.
  if (event.type === 'edit' && last && last.type === 'edit' && last.id === event.id) {
    last.text = event.text;
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
  const body = JSON.stringify({ window: app.windowId, ...event });
  try {
    const response = await fetch('/api/event', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body,
      credentials: 'same-origin',
      cache: 'no-store',
    });
    if (response.status === 404) {
      // The server closed this window: open a new one.
      app.windowId = '';
      reconnect(0);
    }
  } catch {
    // Offline: the event is lost, and the stream brings the tree back when the server is there.
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

// --- the event stream -------------------------------------------------------------------------

function connect() {
  if (app.stream) return;
  clearTimeout(app.retryTimer);
  const params = new URLSearchParams({ idiom: deviceIdiom() });
  if (app.windowId) params.set('window', app.windowId);
  const stream = new EventSource('/api/stream?' + params.toString());
  app.stream = stream;
  stream.addEventListener('tree', (message) => {
    app.retries = 0;
    setOffline(false);
    receive(message.data);
  });
  stream.onerror = () => {
    stream.close();
    if (app.stream !== stream) return;
    app.stream = null;
    setOffline(true);
    if (document.visibilityState === 'visible') reconnect(Math.min(10000, 500 * 2 ** app.retries++));
  };
}

function reconnect(delay) {
  if (app.stream) {
    app.stream.close();
    app.stream = null;
  }
  clearTimeout(app.retryTimer);
  app.retryTimer = setTimeout(connect, delay);
}

function disconnect() {
  clearTimeout(app.retryTimer);
  if (app.stream) {
    app.stream.close();
    app.stream = null;
  }
}

function receive(data) {
  const started = performance.now();
  let message;
  try {
    message = JSON.parse(data);
  } catch {
    return;
  }
  if (message.window !== app.windowId) {
    // A new window: nothing of ours has reached it yet.
    app.windowId = message.window;
    app.ack = 0;
    app.pendingFor.clear();
    app.localTab = null;
  }
  app.rev = message.rev;
  app.ack = Math.max(app.ack, message.ack);
  if (app.localTab && app.localTab.seq <= app.ack) app.localTab = null;
  draw(message);
  setStatus(message.status || '');
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
  }
}

function modifier(record, name) {
  for (const m of record.m) if (m[0] === name) return m;
  return null;
}

function kindOf(record) {
  if (record.e === 'Link') return safeAddress(record.p.destination) ? 'Link' : 'Text';
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
};

function classFor(kind, record) {
  let name = BASE_CLASS[kind] || 'element';
  for (const [m, value] of record.m) {
    if (m === 'font' && typeof value === 'string') name += ' font-' + value;
)qbasset",
    R"qbasset(    else if (m === 'foregroundColor' && typeof value === 'string') name += ' color-' + value;
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
  for (const id of before) {
    if (keep.has(id)) continue;
    const child = app.dom.get(id);
    if (child && child.parentNode === box) {
      child.hidden = true;
      child.qbAside = true;
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
}

// --- status -----------------------------------------------------------------------------------

const statusLine = document.getElementById('status');

function showStatus() {
  const text = app.offline ? 'Not connected to Quillbox. Trying again…' : app.status;
  if (statusLine.textContent !== text) statusLine.textContent = text;
  statusLine.hidden = text === '';
}

function setStatus(text) {
  app.status = text;
  showStatus();
}

function setOffline(offline) {
  app.offline = offline;
  showStatus();
}

// --- the page's life --------------------------------------------------------------------------

document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible') {
    connect();
    send({ type: 'foreground' });
  } else {
    // A page out of sight holds no connection; it takes its window up again when it is back.
    disconnect();
  }
});

window.addEventListener('pageshow', (event) => {
  if (!event.persisted) return;
  connect();
  send({ type: 'appear' });
});

connect();
)qbasset",
};

// app.css
const char* const kPieces2[] = {
    R"qbasset(/* Quillbox in the browser: the look of a phone app, in the system's light or dark scheme. */
:root {
  color-scheme: light dark;
  --bg: #f2f2f7;
  --card: #ffffff;
  --separator: rgba(60, 60, 67, 0.29);
  --primary: #000000;
  --secondary: rgba(60, 60, 67, 0.6);
  --placeholder: rgba(60, 60, 67, 0.3);
  --blue: #007aff;
  --red: #ff3b30;
  --fill: rgba(118, 118, 128, 0.12);
  --segment: #ffffff;
  --bar: rgba(249, 249, 249, 0.94);
  --bar-line: rgba(0, 0, 0, 0.3);
  --inactive: #8e8e93;
  --pressed: rgba(0, 0, 0, 0.06);
  --warning: #ffcc00;
}

@media (prefers-color-scheme: dark) {
  :root {
    --bg: #000000;
    --card: #1c1c1e;
    --separator: rgba(84, 84, 88, 0.6);
    --primary: #ffffff;
    --secondary: rgba(235, 235, 245, 0.6);
    --placeholder: rgba(235, 235, 245, 0.3);
    --blue: #0a84ff;
    --red: #ff453a;
    --fill: rgba(118, 118, 128, 0.24);
    --segment: #636366;
    --bar: rgba(22, 22, 22, 0.94);
    --bar-line: rgba(255, 255, 255, 0.15);
    --inactive: #98989d;
    --pressed: rgba(255, 255, 255, 0.08);
    --warning: #ffd60a;
  }
}

*, *::before, *::after { box-sizing: border-box; }
[hidden] { display: none !important; }

html { -webkit-text-size-adjust: 100%; text-size-adjust: 100%; }

body {
  margin: 0;
  min-width: 0;
  background: var(--bg);
  color: var(--primary);
  font-family: -apple-system, BlinkMacSystemFont, "SF Pro Text", system-ui, "Segoe UI", Roboto, "Noto Sans",
    "Helvetica Neue", Arial, sans-serif, "Apple Color Emoji", "Noto Color Emoji";
  font-size: 17px;
  line-height: 1.3;
  overflow-x: hidden;
  -webkit-tap-highlight-color: transparent;
}

button { font: inherit; color: inherit; background: none; border: 0; margin: 0; padding: 0; cursor: pointer; }
:focus-visible { outline: 2px solid var(--blue); outline-offset: 2px; border-radius: 6px; }

.noscript { padding: 24px; }

#status {
  position: sticky;
  top: 0;
  z-index: 10;
  padding: 8px 16px;
  background: var(--warning);
  color: #000;
  font-size: 14px;
  text-align: center;
  overflow-wrap: anywhere;
}

/* The tab container: one panel in view, the tab bar at the bottom. */
.tabpanels { padding-bottom: calc(72px + env(safe-area-inset-bottom)); }

.tabbar {
  position: fixed;
  left: 0;
  right: 0;
  bottom: 0;
  z-index: 5;
  display: flex;
  justify-content: center;
  padding: 0 env(safe-area-inset-right) env(safe-area-inset-bottom) env(safe-area-inset-left);
  background: var(--bar);
  border-top: 0.5px solid var(--bar-line);
  -webkit-backdrop-filter: saturate(180%) blur(20px);
  backdrop-filter: saturate(180%) blur(20px);
}

.tab {
  flex: 1 1 0;
  min-width: 0;
  max-width: 220px;
  min-height: 50px;
  display: flex;
  flex-direction: column;
  align-items: center;
  justify-content: center;
  gap: 1px;
  padding: 4px 2px 2px;
  color: var(--inactive);
  font-size: 10px;
  font-weight: 500;
  letter-spacing: 0.01em;
}
.tab .icon { width: 27px; height: 27px; stroke-width: 1.7; }
.tab[aria-selected="true"] { color: var(--blue); }

/* A screen: the stacked navigation column with its title bar. */
.navview { max-width: 760px; margin: 0 auto; }

.navbar {
  position: sticky;
  top: 0;
  z-index: 4;
  padding: calc(12px + env(safe-area-inset-top)) 20px 8px;
  background: var(--bg);
}
.navbar h1 {
  margin: 0;
  font-size: 34px;
  line-height: 41px;
  font-weight: 700;
  letter-spacing: 0.01em;
  overflow-wrap: anywhere;
}

.form-body { padding: 0 16px 24px; }

.section { margin-top: 22px; }
.section-header { color: var(--secondary); padding: 0 4px 6px; }
.section-header .hstack.pad-all { padding: 0 0 0 4px; }
.section-body {
  background: var(--card);
  border-radius: 12px;
  overflow: hidden;
}

/* Hairlines between the rows of a section, inset from the leading edge. */
.section-body > :not(:first-child):not(.foreach):not(.picker),
.foreach > * { position: relative; }
.section-body > :not(:first-child):not(.foreach):not(.picker)::before,
.foreach > ::before {
  content: "";
  position: absolute;
  top: 0;
  left: 16px;
  right: 0;
  border-top: 0.5px solid var(--separator);
}

.foreach > .hstack { content-visibility: auto; contain-intrinsic-size: auto 56px; }

/* Layout elements. */
.hstack { display: flex; align-items: center; gap: 8px; min-width: 0; }
.section-body .hstack { min-height: 44px; }
.pad-all { padding: 6px 16px; }
.hstack .hstack.pad-all { padding: 6px 0; }
.pad-trailing { padding-right: 8px; }
.spacer { flex: 1 1 0; min-width: 0; }
.element { min-width: 0; }

/* Texts, shown as written: spaces kept, long words broken rather than pushed sideways. */
.text { min-width: 0; white-space: pre-wrap; overflow-wrap: anywhere; }
.no-line-limit { white-space: pre-wrap; }

.font-headline { font-size: 17px; line-height: 22px; font-weight: 600; }
.font-title2 { font-size: 22px; line-height: 28px; font-weight: 400; }
.font-title3 { font-size: 20px; line-height: 25px; font-weight: 400; }

.color-blue { color: var(--blue); }
.color-red { color: var(--red); }
.color-primary { color: var(--primary); }
.color-secondary { color: var(--secondary); }

.link {
  display: inline-flex;
  align-items: center;
  min-width: 0;
  min-height: 44px;
  color: var(--blue);
  text-decoration: none;
  white-space: pre-wrap;
  overflow-wrap: anywhere;
}
.link:hover { text-decoration: underline; }

.text-button {
  display: inline-flex;
  align-items: center;
  min-width: 0;
  min-height: 44px;
  text-align: start;
  white-space: pre-wrap;
  overflow-wrap: anywhere;
  border-radius: 6px;
}

.image { display: inline-flex; flex: none; }
.icon-button {
  flex: none;
  display: inline-flex;
  align-items: center;
  justify-content: center;
  min-width: 44px;
  min-height: 44px;
  border-radius: 10px;
}
.icon-button:active, .text-button:active { background: var(--pressed); }
.icon {
  width: 1.25em;
  height: 1.25em;
  fill: none;
  stroke: currentColor;
  stroke-width: 2;
  stroke-linecap: round;
  stroke-linejoin: round;
}

/* Fields: full width, no frame of their own, the placeholder in the secondary colour. */
.field {
  flex: 1 1 auto;
  width: 100%;
  min-width: 0;
  margin: 0;
  padding: 0;
  border: 0;
  border-radius: 0;
  outline: none;
  background: transparent;
  color: var(--primary);
  font: inherit;
  -webkit-appearance: none;
  appearance: none;
}
.field::placeholder { color: var(--placeholder); opacity: 1; }
.field:focus-visible { outline: none; }
.section-body .hstack:has(> .field:focus-visible) { box-shadow: inset 3px 0 0 var(--blue); }

/* The segmented picker. */
.picker {
  display: flex;
  gap: 2px;
  min-width: 0;
  padding: 2px;
  background: var(--fill);
  border-radius: 10px;
}
.picker.pad-all { margin: 8px 16px; padding: 2px; }
.segment {
  flex: 1 1 0;
  min-width: 0;
  min-height: 44px;
  display: flex;
  align-items: center;
  justify-content: center;
  border-radius: 8px;
  font-size: 19px;
  line-height: 1;
}
.segment[aria-checked="true"] {
  background: var(--segment);
  box-shadow: 0 3px 8px rgba(0, 0, 0, 0.12), 0 3px 1px rgba(0, 0, 0, 0.04);
}

@media (min-width: 700px) {
  .tab { flex-direction: row; gap: 6px; font-size: 13px; }
  .tab .icon { width: 24px; height: 24px; }
  .form-body { padding: 0 24px 24px; }
  .navbar { padding-left: 28px; padding-right: 28px; }
}

@media (prefers-reduced-motion: no-preference) {
  .segment { transition: background-color 0.15s ease; }
}
)qbasset",
};

// icon.svg
const char* const kPieces3[] = {
    R"qbasset(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 64 64"><rect width="64" height="64" rx="14" fill="#007aff"/><path d="M18 46l4-12 20-20 8 8-20 20z" fill="none" stroke="#fff" stroke-width="4" stroke-linejoin="round"/><path d="M38 18l8 8" stroke="#fff" stroke-width="4"/></svg>
)qbasset",
};

std::string join(const char* const* pieces, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += pieces[i];
  return text;
}

}  // namespace

const Asset* findAsset(std::string_view path) {
  static const std::string kTexts[] = {
      join(kPieces0, std::size(kPieces0)),
      join(kPieces1, std::size(kPieces1)),
      join(kPieces2, std::size(kPieces2)),
      join(kPieces3, std::size(kPieces3)),
  };
  static const Asset kAssets[] = {
      {"text/html; charset=utf-8", kTexts[0]},
      {"text/javascript; charset=utf-8", kTexts[1]},
      {"text/css; charset=utf-8", kTexts[2]},
      {"image/svg+xml", kTexts[3]},
  };
  static constexpr std::string_view kPaths[] = {
      "/",
      "/app.js",
      "/app.css",
      "/icon.svg",
  };
  for (std::size_t i = 0; i < std::size(kPaths); ++i) {
    if (kPaths[i] == path) return &kAssets[i];
  }
  return nullptr;
}

}  // namespace quillbox::web
