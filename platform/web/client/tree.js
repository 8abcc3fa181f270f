// The page's tree: element records kept by id, and the elements made from them, patched in place
// so that a field keeps its focus and caret while the rows change around it. Every text is set as
// text, never as markup.

import { drawIcon, ACTION_NAMES, safeAddress } from './icons.js';
import { app, tap, send } from './events.js';
import { ROW_HEIGHT, lists, aside, keepAside, updateList } from './lists.js';
import { moveAlong, chooseTab, updateHeader, updateField, updatePicker, updateTabs } from './controls.js';

const root = document.getElementById('app');

export function draw(message) {
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

export function modifier(record, name) {
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
      const edit = (text) => app.pendingFor.set(id, send({ type: 'edit', id, text }));
      // A key that types at the caret, or takes back a plain character before it, is sent as it goes
      // down, so that the app works on it while the browser edits the field; the field's own text
      // follows whenever it came out otherwise (a paste, a composition, a correction).
      element.addEventListener('beforeinput', (event) => {
        const text = textAfter(element, event);
        if (text === null) return;
        element.qbSent = text;
        edit(text);
        // An edit the browser did not make after all leaves the field as it was: its text goes.
        setTimeout(() => {
          if (element.qbSent !== null && element.value !== element.qbSent) edit(element.value);
          element.qbSent = null;
        });
      });
      element.addEventListener('input', () => {
        if (element.value !== element.qbSent) edit(element.value);
        element.qbSent = null;
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

// The field's text once the edit the event announces is made, when it is plain to tell: null otherwise.
function textAfter(field, event) {
  const { value, selectionStart: from, selectionEnd: to } = field;
  if (event.isComposing || from === null) return null;
  if (event.inputType === 'insertText' && typeof event.data === 'string' && /^[^\r\n]+$/.test(event.data)) {
    return value.slice(0, from) + event.data + value.slice(to);
  }
  // A character before the caret is a whole cluster when it and the one before it are ASCII.
  const plain = (at) => at < 0 || value.charCodeAt(at) < 0x80;
  if (event.inputType === 'deleteContentBackward' && from === to && from > 0 && plain(from - 1) && plain(from - 2)) {
    return value.slice(0, from - 1) + value.slice(from);
  }
  return null;
}

export function create(id) {
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

export function setText(element, text) {
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
export function forget(id) {
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
  // A list's row that left is taken out of the page and kept aside, a few hundred at most. Rows go
  // from the last one back, which the browser does in two thirds of the time it takes from the
  // first one on (each row taken from the front changes which row is first).
  const leaving = [];
  for (const id of before) {
    if (keep.has(id)) continue;
    const child = app.dom.get(id);
    if (!child || child.parentNode !== box) continue;
    child.qbAside = true;
    if (element.qbKind === 'List') {
      leaving.push(id);
    } else {
      child.hidden = true;
    }
  }
  for (let k = leaving.length - 1; k >= 0; k--) app.dom.get(leaving[k]).remove();
  for (const id of leaving) keepAside(id);  // out of the page first: the oldest kept may be forgotten
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
