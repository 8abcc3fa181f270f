// Quillbox in the browser: draws this window's view tree and sends what the person does.
//
// The server sends element records ({"i": id, "e": element, "p": properties, "m": modifiers,
// "c": child keys, "h": header}); tree.js keeps them by id and patches the page by id. Events go
// out one at a time, in order (events.js); the tree that follows each comes back before its answer.
//
// The trees come from one of two sources, and the events go back to it: the server (a window
// onto its lists, over one WebSocket: socket.js), or, on a paired device's page under /device/,
// the app's own model running in this browser (device.js). Only the transport differs.

import { app, send, pump, useTransport, setStatus, setNotice } from './events.js';
import { draw } from './tree.js';
import { lists } from './lists.js';

// A narrow touch screen is a phone; anything else is not. ?idiom=phone|pad decides instead.
function deviceIdiom() {
  const given = new URLSearchParams(location.search).get('idiom');
  if (given === 'phone' || given === 'pad') return given;
  const touch = matchMedia('(pointer: coarse)').matches;
  return touch && Math.min(screen.width, screen.height) < 600 ? 'phone' : 'pad';
}

const deviceApp = location.pathname.startsWith('/device/');

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

const offers = (await import('./undo.js')).undoOffer(send);
const historyView = (await import('./history.js')).historyView(send,
  () => app.localTab ? app.localTab.index : Number(app.records.get('')?.p.selectedTab) || 0);

// --- the page's life --------------------------------------------------------------------------

const transport = deviceApp
  ? (await import('./device.js')).deviceTransport({ receive, adopt, setNotice, idiom: deviceIdiom })
  : (await import('./socket.js')).socketTransport({ receive, setNotice, idiom: deviceIdiom, send });
useTransport(transport);

document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible') transport.shown(); else transport.hidden();
});

window.addEventListener('pageshow', (event) => {
  if (!event.persisted) return;
  transport.restored();
  send({ type: 'appear' });
});

transport.start();
