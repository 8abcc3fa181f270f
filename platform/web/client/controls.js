// The page's controls: section headers, text fields, pickers and the tab bar, drawn from their
// records; what the person types or chooses is sent, and wins over a tree that has not caught up.

import { drawIcon } from './icons.js';
import { app, send, pending } from './events.js';
import { create, forget, modifier } from './tree.js';
import { requestViewport } from './lists.js';

export function updateHeader(element, record) {
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

export function updateField(input, record) {
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

export function updatePicker(element, record) {
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
export function moveAlong(event, container, selector, choose) {
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

export function updateTabs(element, record) {
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

export function chooseTab(index) {
  const tabs = app.dom.get('');
  if (!tabs || tabs.qbKind !== 'TabView') return;
  const current = app.localTab ? app.localTab.index : Number(app.records.get('').p.selectedTab) || 0;
  if (index === current) return;
  app.localTab = { index, seq: send({ type: 'tab', index }) };
  showTab(tabs, index);
  window.scrollTo(0, 0);
  requestViewport();
}
