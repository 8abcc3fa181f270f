// Files held in memory in the shape of the browser's synchronous file handles, for the node tests of the
// phone's module, and the notes a tree shows.

// A file as FileSystemSyncAccessHandle shows one; only flush() makes writes survive a crash().
export class MemoryHandle {
  constructor() { this.bytes = new Uint8Array(0); this.flushed = this.bytes; }
  read(view, {at}) { const n = Math.max(0, Math.min(view.length, this.bytes.length - at)); view.set(this.bytes.subarray(at, at + n)); return n; }
  write(view, {at}) { this.truncate(Math.max(this.bytes.length, at + view.length)); this.bytes.set(view, at); return view.length; }
  truncate(size) { const b = new Uint8Array(size); b.set(this.bytes.subarray(0, size)); this.bytes = b; }
  getSize() { return this.bytes.length; }
  flush() { this.flushed = this.bytes.slice(); }
  close() {}
  crash() { this.bytes = this.flushed.slice(); }
}

export const DB = '/quillbox/settings.sqlite3';

// The store's files, as the module opens them.
export function browserFiles() {
  return {[DB]: new MemoryHandle(), [`${DB}-wal`]: new MemoryHandle(), [`${DB}-journal`]: new MemoryHandle()};
}

// The notes a tree's nodes show, as one line.
export const notes = (nodes) => nodes.filter((n) => n.e === 'Text' && /^\/notes\/0\/1\/1\/\d+\/1$/.test(n.i))
  .map((n) => n.p.text).join(',');
