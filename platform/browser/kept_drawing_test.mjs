// The drawing the worker keeps is shown at a start only while the store holds what it shows: each step
// compares what the kept drawing would show with what a new worker loads from the same files.
import assert from 'node:assert/strict';
import {createRequire} from 'node:module';
import test from 'node:test';

const require = createRequire(import.meta.url);
const QuillboxDevice = require(`${process.env.QUILLBOX_DEVICE}/quillbox-device.js`);
const {storeMark, keptDrawing, keepDrawing} = require('../web/device/kept-drawing.js');

// A file as FileSystemSyncAccessHandle shows one; only flush() makes writes survive a crash().
class MemoryHandle {
  constructor() { this.bytes = new Uint8Array(0); this.flushed = this.bytes; }
  read(view, {at}) { const n = Math.max(0, Math.min(view.length, this.bytes.length - at)); view.set(this.bytes.subarray(at, at + n)); return n; }
  write(view, {at}) { this.truncate(Math.max(this.bytes.length, at + view.length)); this.bytes.set(view, at); return view.length; }
  truncate(size) { const b = new Uint8Array(size); b.set(this.bytes.subarray(0, size)); this.bytes = b; }
  getSize() { return this.bytes.length; }
  flush() { this.flushed = this.bytes.slice(); }
  close() {}
  crash() { this.bytes = this.flushed.slice(); }
}

const DB = '/quillbox/settings.sqlite3';
const notes = (tree) => JSON.parse(tree).nodes.filter((n) => n.e === 'Text' && /^\/notes\/0\/1\/1\/\d+\/1$/.test(n.i))
  .map((n) => n.p.text).join(',');

class Phone {
  constructor() {
    this.store = {[DB]: new MemoryHandle(), [`${DB}-wal`]: new MemoryHandle(), [`${DB}-journal`]: new MemoryHandle()};
    this.drawing = new MemoryHandle();
    this.seq = 0;
  }
  async start() {
    const m = await QuillboxDevice({qbHandles: this.store});
    assert.equal(m.ccall('qb_open', 'number', ['string', 'string'], ['phone', '']), 0);
    this.call = (name, type = 'string', args = [], values = []) => m.ccall(name, type, args, values);
    return notes(this.call('qb_drawing'));
  }
  event(type, id, extra = {}) {
    const event = {window: 'device', seq: ++this.seq, rev: 0, type, id, ...extra};
    assert.equal(this.call('qb_event', 'number', ['string'], [JSON.stringify(event)]), 200);
  }
  add(text) {
    this.event('edit', '/notes/0/0/0/0', {text});
    this.event('submit', '/notes/0/0/0/0');
  }
  keep() { keepDrawing(this.drawing, storeMark(this.store[DB], this.store[`${DB}-wal`]), this.call('qb_drawing')); }
  kill() { for (const file of [...Object.values(this.store), this.drawing]) file.crash(); }
  // What the kept drawing shows ('-': nothing), then what a new worker loads.
  async restart() {
    const kept = keptDrawing(this.drawing, storeMark(this.store[DB], this.store[`${DB}-wal`]));
    return `${kept === null ? '-' : notes(kept)} / ${await this.start()}`;
  }
}

test('a kept drawing is shown only while the store holds what it shows', async () => {
  const phone = new Phone();
  await phone.start();
  const seen = [];
  phone.add('a');
  phone.keep();
  phone.kill();
  seen.push(`kept: ${await phone.restart()}`);
  phone.add('b');  // committed, then killed before the drawing was kept
  phone.kill();
  seen.push(`commit, kill: ${await phone.restart()}`);
  phone.keep();
  const wal = phone.store[`${DB}-wal`];
  const torn = wal.bytes.length + 24 + 8;  // in the first page the next commit writes
  phone.add('c');
  phone.kill();
  wal.bytes[torn] ^= 0xff;  // the log's recovery drops that commit
  seen.push(`torn commit: ${await phone.restart()}`);
  phone.event('edit', '/notes/0/1/0/0', {text: 'b'});  // a search: the app opens with none
  phone.keep();
  seen.push(`searched: ${await phone.restart()}`);
  phone.keep();
  phone.drawing.bytes[phone.drawing.bytes.length >> 1] ^= 0x01;
  seen.push(`damaged: ${await phone.restart()}`);
  assert.equal(seen.join('\n'), [
    'kept: a / a', 'commit, kill: - / a,b', 'torn commit: a,b / a,b', 'searched: a,b / a,b', 'damaged: - / a,b'].join('\n'));
});
