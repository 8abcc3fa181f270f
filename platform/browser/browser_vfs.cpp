// SQLite's only file layer in the WebAssembly build (SQLite is built with SQLITE_OS_OTHER): files are
// the handles the worker opened before the module started (Module.qbHandles, by path:
// FileSystemSyncAccessHandles over the origin-private file system, whose read, write, truncate, flush and
// getSize are synchronous), or, for any other path, handles of the same shape held in memory (temporary
// files, and every file under node). xSync is the handle's flush: a commit that returned is on disk.
// Locks and the write-ahead log's shared memory are kept in this process, which is the only one: a
// second tab's worker cannot open the handles at all.
#include <emscripten.h>
#include <sqlite3.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

// clang-format off
EM_JS(int, qb_file_open, (const char* path), {
  const name = UTF8ToString(path);
  const files = Module.qbFiles || (Module.qbFiles = {byId : [], byName : {}});
  if (files.byName[name] == undefined) {
    let handle = (Module.qbHandles || {})[name];
    if (!handle) {
      // The same calls as a FileSystemSyncAccessHandle, over memory.
      let bytes = new Uint8Array(0), size = 0;
      function grow(n) { if (n > bytes.length) { const b = new Uint8Array(Math.max(n, bytes.length * 2)); b.set(bytes.subarray(0, size)); bytes = b; } };
      handle = {
        read(view, at) { const n = Math.max(0, Math.min(view.length, size - at.at)); view.set(bytes.subarray(at.at, at.at + n)); return n; },
        write(view, at) { grow(at.at + view.length); if (at.at > size) bytes.fill(0, size, at.at); bytes.set(view, at.at); size = Math.max(size, at.at + view.length); return view.length; },
        truncate(n) { grow(n); if (n > size) bytes.fill(0, size, n); size = n; },
        getSize() { return size; },
        flush() {},
        close() {},
        memory: true,
      };
    }
    files.byName[name] = files.byId.length;
    files.byId.push(handle);
  }
  return files.byName[name];
});
EM_JS(int, qb_file_read, (int id, void* buffer, int amount, double offset), {
  try { return Module.qbFiles.byId[id].read(HEAPU8.subarray(buffer, buffer + amount), {at : offset}); } catch (e) { return -1; }
});
EM_JS(int, qb_file_write, (int id, const void* bytes, int amount, double offset), {
  try { return Module.qbFiles.byId[id].write(HEAPU8.subarray(bytes, bytes + amount), {at : offset}); } catch (e) { return -1; }
});
EM_JS(int, qb_file_truncate, (int id, double size), {
  try { Module.qbFiles.byId[id].truncate(size); return 0; } catch (e) { return -1; }
});
EM_JS(int, qb_file_flush, (int id), {
  try { Module.qbFiles.byId[id].flush(); return 0; } catch (e) { return -1; }
});
EM_JS(double, qb_file_size, (int id), {
  try { return Module.qbFiles.byId[id].getSize(); } catch (e) { return -1; }
});
EM_JS(double, qb_now_ms, (), { return Date.now(); });
EM_JS(void, qb_random, (void* out, int size), {
  const view = HEAPU8.subarray(out, out + size);
  if (typeof crypto != 'undefined' && crypto.getRandomValues) { crypto.getRandomValues(view); } else { for (let i = 0; i < size; i++) view[i] = Math.random() * 256; }
});
// clang-format on

namespace {

// The locks of one file among this process's connections.
struct FileLocks {
  int shared = 0;
  const void* reserved = nullptr;
  const void* pending = nullptr;
  const void* exclusive = nullptr;
};

// The shared memory of one database's log, and its eight locks.
struct SharedMemory {
  std::vector<std::unique_ptr<char[]>> regions;
  int shared[SQLITE_SHM_NLOCK] = {};
  const void* exclusive[SQLITE_SHM_NLOCK] = {};
  int users = 0;
};

std::map<std::string, FileLocks>& fileLocks() {
  static auto* locks = new std::map<std::string, FileLocks>();
  return *locks;
}
std::map<std::string, SharedMemory>& sharedMemories() {
  static auto* memories = new std::map<std::string, SharedMemory>();
  return *memories;
}

struct File {
  sqlite3_file base;
  int id;
  int level;
  std::string* path;
  SharedMemory* memory;
  unsigned sharedMask;
  unsigned exclusiveMask;
  bool deleteOnClose;
};

File* of(sqlite3_file* file) { return reinterpret_cast<File*>(file); }

int fileDelete(sqlite3_vfs*, const char* path, int);

int fileUnlock(sqlite3_file* file, int level);
int fileShmUnmap(sqlite3_file* file, int);

int fileClose(sqlite3_file* file) {
  File* f = of(file);
  (void)fileUnlock(file, SQLITE_LOCK_NONE);
  (void)fileShmUnmap(file, 0);
  if (f->deleteOnClose) (void)fileDelete(nullptr, f->path->c_str(), 0);
  delete f->path;
  f->path = nullptr;
  return SQLITE_OK;
}

int fileRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  int got = qb_file_read(of(file)->id, buffer, amount, static_cast<double>(offset));
  if (got < 0) return SQLITE_IOERR_READ;
  if (got < amount) {
    std::memset(static_cast<char*>(buffer) + got, 0, static_cast<std::size_t>(amount - got));
    return SQLITE_IOERR_SHORT_READ;
  }
  return SQLITE_OK;
}

int fileWrite(sqlite3_file* file, const void* bytes, int amount, sqlite3_int64 offset) {
  return qb_file_write(of(file)->id, bytes, amount, static_cast<double>(offset)) == amount
             ? SQLITE_OK
             : SQLITE_IOERR_WRITE;
}

int fileTruncate(sqlite3_file* file, sqlite3_int64 size) {
  return qb_file_truncate(of(file)->id, static_cast<double>(size)) == 0 ? SQLITE_OK : SQLITE_IOERR_TRUNCATE;
}

int fileSync(sqlite3_file* file, int) {
  return qb_file_flush(of(file)->id) == 0 ? SQLITE_OK : SQLITE_IOERR_FSYNC;
}

int fileSize(sqlite3_file* file, sqlite3_int64* size) {
  double bytes = qb_file_size(of(file)->id);
  if (bytes < 0) return SQLITE_IOERR_FSTAT;
  *size = static_cast<sqlite3_int64>(bytes);
  return SQLITE_OK;
}

int fileLock(sqlite3_file* file, int level) {
  File* f = of(file);
  if (f->level >= level) return SQLITE_OK;
  FileLocks& locks = fileLocks()[*f->path];
  auto other = [f](const void* holder) { return holder != nullptr && holder != f; };
  if (level == SQLITE_LOCK_SHARED) {
    if (other(locks.pending) || other(locks.exclusive)) return SQLITE_BUSY;
    ++locks.shared;
  } else if (level == SQLITE_LOCK_RESERVED) {
    if (other(locks.reserved) || other(locks.pending) || other(locks.exclusive)) return SQLITE_BUSY;
    locks.reserved = f;
  } else {
    if (other(locks.pending) || other(locks.exclusive)) return SQLITE_BUSY;
    locks.pending = f;
    if (locks.shared > 1) return SQLITE_BUSY;  // readers still hold it: the pending lock keeps new ones out
    locks.exclusive = f;
  }
  f->level = level;
  return SQLITE_OK;
}

int fileUnlock(sqlite3_file* file, int level) {
  File* f = of(file);
  if (f->path == nullptr) return SQLITE_OK;
  auto found = fileLocks().find(*f->path);
  if (found == fileLocks().end()) return SQLITE_OK;
  FileLocks& locks = found->second;
  if (level < SQLITE_LOCK_EXCLUSIVE) {
    if (locks.exclusive == f) locks.exclusive = nullptr;
    if (locks.pending == f) locks.pending = nullptr;
  }
  if (level < SQLITE_LOCK_RESERVED && locks.reserved == f) locks.reserved = nullptr;
  if (level == SQLITE_LOCK_NONE && f->level >= SQLITE_LOCK_SHARED) --locks.shared;
  if (f->level > level) f->level = level;
  return SQLITE_OK;
}

int fileCheckReservedLock(sqlite3_file* file, int* out) {
  const FileLocks& locks = fileLocks()[*of(file)->path];
  *out = locks.reserved != nullptr || locks.pending != nullptr || locks.exclusive != nullptr;
  return SQLITE_OK;
}

int fileControl(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }
int fileSectorSize(sqlite3_file*) { return 4096; }
int fileDeviceCharacteristics(sqlite3_file*) { return 0; }

int fileShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  File* f = of(file);
  if (f->memory == nullptr) {
    f->memory = &sharedMemories()[*f->path];
    ++f->memory->users;
  }
  auto& regions = f->memory->regions;
  if (static_cast<std::size_t>(region) >= regions.size()) {
    if (!extend) {
      *out = nullptr;
      return SQLITE_OK;
    }
    regions.resize(static_cast<std::size_t>(region) + 1);
  }
  if (!regions[static_cast<std::size_t>(region)]) {
    regions[static_cast<std::size_t>(region)] = std::make_unique<char[]>(static_cast<std::size_t>(size));
    std::memset(regions[static_cast<std::size_t>(region)].get(), 0, static_cast<std::size_t>(size));
  }
  *out = regions[static_cast<std::size_t>(region)].get();
  return SQLITE_OK;
}

int fileShmLock(sqlite3_file* file, int offset, int n, int flags) {
  File* f = of(file);
  SharedMemory& memory = *f->memory;
  if (flags & SQLITE_SHM_UNLOCK) {
    for (int i = offset; i < offset + n; ++i) {
      unsigned bit = 1u << i;
      if (f->exclusiveMask & bit) memory.exclusive[i] = nullptr;
      if (f->sharedMask & bit) --memory.shared[i];
      f->exclusiveMask &= ~bit;
      f->sharedMask &= ~bit;
    }
    return SQLITE_OK;
  }
  for (int i = offset; i < offset + n; ++i) {
    unsigned bit = 1u << i;
    if (memory.exclusive[i] != nullptr && memory.exclusive[i] != f) return SQLITE_BUSY;
    if ((flags & SQLITE_SHM_EXCLUSIVE) && memory.shared[i] - ((f->sharedMask & bit) ? 1 : 0) > 0)
      return SQLITE_BUSY;
  }
  for (int i = offset; i < offset + n; ++i) {
    unsigned bit = 1u << i;
    if (flags & SQLITE_SHM_EXCLUSIVE) {
      memory.exclusive[i] = f;
      f->exclusiveMask |= bit;
    } else if (!(f->sharedMask & bit)) {
      ++memory.shared[i];
      f->sharedMask |= bit;
    }
  }
  return SQLITE_OK;
}

void fileShmBarrier(sqlite3_file*) {}

int fileShmUnmap(sqlite3_file* file, int) {
  File* f = of(file);
  if (f->memory == nullptr) return SQLITE_OK;
  (void)fileShmLock(file, 0, SQLITE_SHM_NLOCK, SQLITE_SHM_UNLOCK);
  if (--f->memory->users == 0) sharedMemories().erase(*f->path);
  f->memory = nullptr;
  return SQLITE_OK;
}

const sqlite3_io_methods kMethods = {
    2,
    fileClose,
    fileRead,
    fileWrite,
    fileTruncate,
    fileSync,
    fileSize,
    fileLock,
    fileUnlock,
    fileCheckReservedLock,
    fileControl,
    fileSectorSize,
    fileDeviceCharacteristics,
    fileShmMap,
    fileShmLock,
    fileShmBarrier,
    fileShmUnmap,
    nullptr,
    nullptr,
};

int fileOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  static int temporary = 0;
  File* f = of(file);
  std::memset(f, 0, sizeof(File));
  std::string path =
      name != nullptr ? std::string(name) : "/tmp/sqlite-temporary-" + std::to_string(++temporary);
  f->id = qb_file_open(path.c_str());
  if (f->id < 0) return SQLITE_CANTOPEN;
  f->path = new std::string(std::move(path));
  f->deleteOnClose = (flags & SQLITE_OPEN_DELETEONCLOSE) != 0;
  f->base.pMethods = &kMethods;
  if (outFlags != nullptr) *outFlags = flags;
  return SQLITE_OK;
}

// A handle the worker opened cannot be removed from here: emptied, it reads as absent.
int fileDelete(sqlite3_vfs*, const char* path, int) {
  int id = qb_file_open(path);
  if (id < 0 || qb_file_truncate(id, 0) != 0 || qb_file_flush(id) != 0) return SQLITE_IOERR_DELETE;
  return SQLITE_OK;
}

int fileAccess(sqlite3_vfs*, const char* path, int, int* out) {
  int id = qb_file_open(path);
  *out = id >= 0 && qb_file_size(id) > 0;
  return SQLITE_OK;
}

int fullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  sqlite3_snprintf(size, out, "%s", name);
  return SQLITE_OK;
}

int randomness(sqlite3_vfs*, int size, char* out) {
  qb_random(out, size);
  return size;
}
int sleepFor(sqlite3_vfs*, int micros) { return micros; }
int currentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  // Julian day in milliseconds.
  *out = static_cast<sqlite3_int64>(qb_now_ms()) + 210866760000000LL;
  return SQLITE_OK;
}
int currentTime(sqlite3_vfs* vfs, double* out) {
  sqlite3_int64 ms = 0;
  (void)currentTimeInt64(vfs, &ms);
  *out = static_cast<double>(ms) / 86400000.0;
  return SQLITE_OK;
}
int lastError(sqlite3_vfs*, int, char*) { return 0; }

}  // namespace

extern "C" int sqlite3_os_init(void) {
  static sqlite3_vfs vfs = {
      2,
      static_cast<int>(sizeof(File)),
      1024,
      nullptr,
      "quillbox-browser",
      nullptr,
      fileOpen,
      fileDelete,
      fileAccess,
      fullPathname,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      randomness,
      sleepFor,
      currentTime,
      lastError,
      currentTimeInt64,
      nullptr,
      nullptr,
      nullptr,
  };
  return sqlite3_vfs_register(&vfs, 1);
}

extern "C" int sqlite3_os_end(void) { return SQLITE_OK; }
