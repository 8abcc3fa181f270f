// The drawing the worker keeps is shown at a start only while the store holds what it shows: each step
// compares what the kept drawing would show with what a new worker loads from the same files.
import assert from 'node:assert/strict';
import {createRequire} from 'node:module';
import test from 'node:test';
import {DB, MemoryHandle, browserFiles, notes} from './memory_files_test_support.mjs';

const require = createRequire(import.meta.url);
const QuillboxDevice = require(`${process.env.QUILLBOX_DEVICE}/quillbox-device.js`);
const {storeMark, keptDrawing, keepDrawing} = require('../web/device/kept-drawing.js');

const notesOf = (tree) => notes(JSON.parse(tree).nodes);

class Phone {
  constructor() {
    this.store = browserFiles();
    this.drawing = new MemoryHandle();
    this.seq = 0;
  }
  async start() {
    const m = await QuillboxDevice({qbHandles: this.store});
    assert.equal(m.ccall('qb_open', 'number', ['string', 'string'], ['phone', '']), 0);
    this.call = (name, type = 'string', args = [], values = []) => m.ccall(name, type, args, values);
    return notesOf(this.call('qb_drawing'));
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
    return `${kept === null ? '-' : notesOf(kept)} / ${await this.start()}`;
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
