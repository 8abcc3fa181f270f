// A list ("n" rows in all) comes with only the rows near what the page shows: "c" holds their
// keys and "o" the place of the first. The page keeps the list as tall as all its rows would be,
// and asks for other rows (a viewport event) as the person scrolls.

import { app, send } from './events.js';
import { forget } from './tree.js';

export const ROW_HEIGHT = 57;      // a row's height until the page has measured one
const OVERSCAN = 1.5;       // screens of rows asked for beyond each edge of what is in view
const MOST_ASIDE = 600;     // rows kept out of the page for when they come back
export const lists = new Set();    // the List elements made
export const aside = new Map();    // id -> true, oldest first: list rows out of the page, kept

export function keepAside(id) {
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
export function updateList(element, record) {
  const ids = element.qbKids || [];
  ids.forEach((id, index) => {
    const row = app.dom.get(id);
    if (!row) return;
    aside.delete(id);
    // Only what changed is set: a row kept in place is left alone.
    const place = String(record.o + index + 1);
    if (row.qbPlace !== place) {
      row.qbPlace = place;
      row.setAttribute('role', 'listitem');
      row.setAttribute('aria-posinset', place);
    }
    if (row.qbSetSize !== record.n) {
      row.qbSetSize = record.n;
      row.setAttribute('aria-setsize', String(record.n));
    }
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

export function requestViewport() {
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
