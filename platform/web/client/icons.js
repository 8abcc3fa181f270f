// The page's drawings of the system images, and the addresses a link may open.

const SVG_NS = 'http://www.w3.org/2000/svg';

// Our own drawings of the system images, on a 24-unit grid, stroked in the current colour. Each is
// one path of all its strokes (circles as two arcs): a row's icon is two elements for the browser
// to make and take down, not one for every stroke.
const ICONS = {
  'trash': 'M4 6.5h16 M9.5 6.5V4h5v2.5 M6.5 6.5l1 13.5h9l1-13.5 M10.2 10.5v6 M13.8 10.5v6',
  'checkmark': 'M4.5 12.5l5 5 10-11',
  'circle': 'M3 12a9 9 0 1 0 18 0a9 9 0 1 0-18 0',
  'square.and.pencil': 'M11.5 4.5H6a2 2 0 0 0-2 2V18a2 2 0 0 0 2 2h11.5a2 2 0 0 0 2-2v-5.5 ' +
    'M17.6 3.4a1.9 1.9 0 0 1 2.7 2.7l-8 8-3.6.9.9-3.6z',
  'list.dash': 'M4 6.5h2 M4 12h2 M4 17.5h2 M9.5 6.5H20 M9.5 12H20 M9.5 17.5H20',
  'tag': 'M3.5 4.5v6.9a1.5 1.5 0 0 0 .44 1.06l8.1 8.1a1.5 1.5 0 0 0 2.12 0l6.4-6.4a1.5 1.5 0 0 0 0-2.12' +
    'l-8.1-8.1A1.5 1.5 0 0 0 11.4 3.5H4.5a1 1 0 0 0-1 1z M6.5 8a1.5 1.5 0 1 0 3 0a1.5 1.5 0 1 0-3 0',
};

// The accessible names of the images a person taps.
export const ACTION_NAMES = {
  'trash': 'Delete',
  'circle': 'Mark finished',
  'checkmark': 'Mark unfinished',
};

export function drawIcon(name) {
  const svg = document.createElementNS(SVG_NS, 'svg');
  svg.setAttribute('viewBox', '0 0 24 24');
  svg.setAttribute('aria-hidden', 'true');
  svg.setAttribute('focusable', 'false');
  svg.setAttribute('class', 'icon');
  svg.dataset.symbol = name;
  const shape = document.createElementNS(SVG_NS, 'path');
  shape.setAttribute('d', ICONS[name] || ICONS.circle);
  svg.appendChild(shape);
  return svg;
}

// Only web addresses open: anything else a link names is shown as plain text.
export function safeAddress(text) {
  if (typeof text !== 'string') return null;
  try {
    const url = new URL(text);
    return url.protocol === 'http:' || url.protocol === 'https:' ? url.href : null;
  } catch {
    return null;
  }
}
