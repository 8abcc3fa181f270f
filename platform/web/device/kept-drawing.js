// The last drawing of the lists, kept beside the store so that the next start shows it at once, while
// the model opens and loads them. A drawing carries the mark of the store it was drawn from, and is
// shown only while the store's files still carry that mark: a commit after it (one killed before the
// drawing was kept too), a damaged drawing or a store that cannot be told shows the store instead.
//
// The mark is read from SQLite's files without opening them: the database header's change counter
// and page count, and the write-ahead log up to the last commit SQLite's own recovery takes (the
// log's header, then each frame while its salts match and its checksum, carried on from the one
// before, holds). Every commit appends to the log (or restarts it, with new salts), so a store that
// holds anything the drawing does not has another mark. A commit is padded to the end of a sector
// with copies of its last frame, written after the sync: a copy is no new commit. Files are handles with the synchronous calls
// of the browser's FileSystemSyncAccessHandle: read(view, {at}), write, truncate, getSize, flush.
'use strict';

const WAL_MAGIC = 0x377f0682;  // the low bit says the checksums read big-endian words
const WAL_HEADER = 32;
const FRAME_HEADER = 24;
const DB_HEADER = 100;

function readAll(handle, size) {
  const bytes = new Uint8Array(size);
  return handle.read(bytes, {at: 0}) === size ? bytes : null;
}

const LITTLE_ENDIAN = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;

// SQLite's log checksum over bytes [start, end) (multiples of 8), carried on from sum: words read in
// this machine's order when they are written in it, the fast way.
function logChecksum(view, start, end, bigEndian, sum) {
  let s0 = sum[0];
  let s1 = sum[1];
  if (bigEndian !== LITTLE_ENDIAN) {
    const words = new Uint32Array(view.buffer, start, (end - start) >> 2);
    for (let i = 0; i < words.length; i += 2) {
      s0 = (s0 + words[i] + s1) >>> 0;
      s1 = (s1 + words[i + 1] + s0) >>> 0;
    }
  } else {
    for (let at = start; at < end; at += 8) {
      s0 = (s0 + view.getUint32(at, !bigEndian) + s1) >>> 0;
      s1 = (s1 + view.getUint32(at + 4, !bigEndian) + s0) >>> 0;
    }
  }
  return [s0, s1];
}

// Whether the frames at a and b hold the same page for the same database size.
function sameFrame(bytes, a, b, frame) {
  for (let i = 0; i < frame; i = i === 7 ? FRAME_HEADER : i + 1) {
    if (bytes[a + i] !== bytes[b + i]) return false;
  }
  return true;
}

// The log's part of the mark: '-' for no log, '' for a log this cannot tell.
function logMark(wal) {
  const size = wal.getSize();
  if (size === 0) return '-';
  const bytes = size >= WAL_HEADER ? readAll(wal, size) : null;
  if (!bytes) return '';
  const view = new DataView(bytes.buffer);
  const magic = view.getUint32(0);
  const pageSize = view.getUint32(8);
  if ((magic & ~1) >>> 0 !== WAL_MAGIC || pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) !== 0) {
    return '';
  }
  const bigEndian = (magic & 1) === 1;
  let sum = logChecksum(view, 0, 24, bigEndian, [0, 0]);
  if (sum[0] !== view.getUint32(24) || sum[1] !== view.getUint32(28)) return '';
  const salts = [view.getUint32(16), view.getUint32(20)];
  let committed = '0';
  let commitAt = 0;
  const frame = FRAME_HEADER + pageSize;
  for (let at = WAL_HEADER, n = 1; at + frame <= size; at += frame, n++) {
    if (view.getUint32(at) === 0 || view.getUint32(at + 8) !== salts[0] || view.getUint32(at + 12) !== salts[1]) break;
    sum = logChecksum(view, at, at + 8, bigEndian, sum);
    sum = logChecksum(view, at + FRAME_HEADER, at + frame, bigEndian, sum);
    if (sum[0] !== view.getUint32(at + 16) || sum[1] !== view.getUint32(at + 20)) break;
    if (view.getUint32(at + 4) === 0) continue;
    if (commitAt !== at - frame || !sameFrame(bytes, commitAt, at, frame)) committed = `${n}.${sum[0]}.${sum[1]}`;
    commitAt = at;
  }
  return `${view.getUint32(12)}.${salts[0]}.${salts[1]}:${committed}`;
}

// The mark of the store in db and its log wal; '' when it cannot be told (no store yet, a log this
// cannot read), which no drawing matches.
function storeMark(db, wal) {
  try {
    const head = db.getSize() >= DB_HEADER ? readAll(db, DB_HEADER) : null;
    if (!head) return '';
    const view = new DataView(head.buffer);
    const log = logMark(wal);
    return log ? `${view.getUint32(24)}.${view.getUint32(28)}/${log}` : '';
  } catch {
    return '';
  }
}

// FNV-1a over the drawing's text: a damaged drawing is never shown.
function digest(text) {
  let hash = 0x811c9dc5;
  for (let i = 0; i < text.length; i++) hash = Math.imul(hash ^ text.charCodeAt(i), 0x01000193) >>> 0;
  return hash;
}

// The drawing kept in file, when it was drawn from a store with this mark; null otherwise.
function keptDrawing(file, mark) {
  try {
    const size = file.getSize();
    const bytes = mark && size > 0 ? readAll(file, size) : null;
    if (!bytes) return null;
    const kept = JSON.parse(new TextDecoder('utf-8', {fatal: true}).decode(bytes));
    const fits = kept && kept.mark === mark && typeof kept.tree === 'string' && kept.digest === digest(kept.tree);
    return fits ? kept.tree : null;
  } catch {
    return null;
  }
}

// The drawing of the window as it opens, from a whole tree message of the window now: its first tab
// in view with every field empty, and only that tab's content (the other tabs' models may hold lists
// older than the store), with no offer to undo and no status line, which only the live model knows.
// It carries the revision of the live window's first tree, which shows the same: the page's taps on
// it are run against that one. Null while the window shows another tab or a field holds text, which
// the window as it opens would not show.
function openingDrawing(tree) {
  const message = JSON.parse(tree);
  const top = message.nodes.find((node) => node.i === '');
  if (!top || top.e !== 'TabView' || (top.p.selectedTab ?? 0) !== 0 || !top.c.length) return null;
  const opening = `/${top.c[0]}`;
  const nodes = message.nodes.filter((node) => node.i === '' || node.i === opening ||
    node.i.startsWith(opening + '/') || node.i.lastIndexOf('/') === 0);
  if (nodes.some((node) => node.e === 'TextField' && node.p.value !== '')) return null;
  return JSON.stringify({...message, rev: 1, ack: 0, status: '', undo: null, history: undefined, nodes});
}

// Keeps the drawing of the window as it opens, from tree (a whole tree message of the window now),
// in file as the drawing of the store with this mark, durably. A window not as it opens leaves the
// drawing kept before; a failure leaves a drawing that is never shown.
function keepDrawing(file, mark, tree) {
  const opening = openingDrawing(tree);
  if (opening === null) return;
  const bytes = new TextEncoder().encode(JSON.stringify({mark, digest: digest(opening), tree: opening}));
  file.truncate(0);
  file.write(bytes, {at: 0});
  file.flush();
}

if (typeof module === 'object') module.exports = {storeMark, keptDrawing, keepDrawing};
