#include "platform/store/sqlite_db.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/escape.h"
#include "platform/fault_seam.h"
#include "platform/store/home_files.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr int kBusyTimeoutMs = 2000;
// SQLite answers some conflicts with SQLITE_BUSY without waiting (a snapshot moved under a
// writer, log recovery in progress); such a statement is simply run again, up to this long.
constexpr auto kBusyGiveUp = std::chrono::seconds(20);
// The log is cut back to this size after a checkpoint, so one huge value does not leave a huge
// file behind.
constexpr const char* kSetUp = "PRAGMA synchronous=FULL; PRAGMA journal_size_limit=8388608";
constexpr const char* kVfsName = "quillbox";

// ---- The file layer: SQLite's own unix files, each call first consulting the fault plan.

struct SeamFile {
  sqlite3_file base;   // its methods are ours
  sqlite3_file* real;  // the unix VFS's file, in the same allocation, just after this one
  const char* path;    // SQLite keeps the name it opened with until the close
};

sqlite3_vfs* rootVfs = nullptr;

sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<SeamFile*>(file)->real; }

int faultOf(sqlite3_file* file, FileCall call) {
  const char* path = reinterpret_cast<SeamFile*>(file)->path;
  return FaultPlan::consult(call, path != nullptr ? path : "");
}

int seamClose(sqlite3_file* file) { return real(file)->pMethods->xClose(real(file)); }
int seamRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  if (faultOf(file, FileCall::read) != 0) return SQLITE_IOERR_READ;
  return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}
int seamWrite(sqlite3_file* file, const void* bytes, int amount, sqlite3_int64 offset) {
  if (faultOf(file, FileCall::write) != 0) return SQLITE_IOERR_WRITE;
  return real(file)->pMethods->xWrite(real(file), bytes, amount, offset);
}
int seamTruncate(sqlite3_file* file, sqlite3_int64 size) {
  if (faultOf(file, FileCall::write) != 0) return SQLITE_IOERR_TRUNCATE;
  return real(file)->pMethods->xTruncate(real(file), size);
}
int seamSync(sqlite3_file* file, int flags) {
  if (faultOf(file, FileCall::fsync) != 0) return SQLITE_IOERR_FSYNC;
  return real(file)->pMethods->xSync(real(file), flags);
}
int seamFileSize(sqlite3_file* file, sqlite3_int64* size) {
  return real(file)->pMethods->xFileSize(real(file), size);
}
int seamLock(sqlite3_file* file, int level) {
  if (faultOf(file, FileCall::lockWait) != 0) return SQLITE_BUSY;
  return real(file)->pMethods->xLock(real(file), level);
}
int seamUnlock(sqlite3_file* file, int level) { return real(file)->pMethods->xUnlock(real(file), level); }
int seamCheckReservedLock(sqlite3_file* file, int* out) {
  return real(file)->pMethods->xCheckReservedLock(real(file), out);
}
int seamFileControl(sqlite3_file* file, int op, void* arg) {
  return real(file)->pMethods->xFileControl(real(file), op, arg);
}
int seamSectorSize(sqlite3_file* file) { return real(file)->pMethods->xSectorSize(real(file)); }
int seamDeviceCharacteristics(sqlite3_file* file) {
  return real(file)->pMethods->xDeviceCharacteristics(real(file));
}
int seamShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  return real(file)->pMethods->xShmMap(real(file), region, size, extend, out);
}
int seamShmLock(sqlite3_file* file, int offset, int n, int flags) {
  // A write lock on the log is the wait a writer makes for another connection.
  if ((flags & SQLITE_SHM_LOCK) != 0 && (flags & SQLITE_SHM_EXCLUSIVE) != 0 &&
      faultOf(file, FileCall::lockWait) != 0) {
    return SQLITE_BUSY;
  }
  return real(file)->pMethods->xShmLock(real(file), offset, n, flags);
}
void seamShmBarrier(sqlite3_file* file) { real(file)->pMethods->xShmBarrier(real(file)); }
int seamShmUnmap(sqlite3_file* file, int deleteFlag) {
  return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}
int seamFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return real(file)->pMethods->xFetch(real(file), offset, amount, out);
}
int seamUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return real(file)->pMethods->xUnfetch(real(file), offset, page);
}

const sqlite3_io_methods kSeamMethods = {
    3,
    seamClose,
    seamRead,
    seamWrite,
    seamTruncate,
    seamSync,
    seamFileSize,
    seamLock,
    seamUnlock,
    seamCheckReservedLock,
    seamFileControl,
    seamSectorSize,
    seamDeviceCharacteristics,
    seamShmMap,
    seamShmLock,
    seamShmBarrier,
    seamShmUnmap,
    seamFetch,
    seamUnfetch,
};

int seamOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  auto* seam = reinterpret_cast<SeamFile*>(file);
  seam->base.pMethods = nullptr;
  seam->real = reinterpret_cast<sqlite3_file*>(seam + 1);
  seam->path = name;
  if (name != nullptr && FaultPlan::consult(FileCall::open, name) != 0) return SQLITE_CANTOPEN;
  // A new database file is made private here; SQLite gives its log and shared memory the
  // database's own mode.
  if (name != nullptr && (flags & SQLITE_OPEN_MAIN_DB) != 0 && (flags & SQLITE_OPEN_CREATE) != 0) {
    homefiles::createPrivate(name);
  }
  int rc = rootVfs->xOpen(rootVfs, name, seam->real, flags, outFlags);
  if (seam->real->pMethods != nullptr) seam->base.pMethods = &kSeamMethods;
  return rc;
}

int seamDelete(sqlite3_vfs*, const char* name, int syncDir) {
  return rootVfs->xDelete(rootVfs, name, syncDir);
}
int seamAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return rootVfs->xAccess(rootVfs, name, flags, out);
}
int seamFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return rootVfs->xFullPathname(rootVfs, name, size, out);
}
void* seamDlOpen(sqlite3_vfs*, const char* name) { return rootVfs->xDlOpen(rootVfs, name); }
void seamDlError(sqlite3_vfs*, int size, char* out) { rootVfs->xDlError(rootVfs, size, out); }
void (*seamDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return rootVfs->xDlSym(rootVfs, handle, symbol);
}
void seamDlClose(sqlite3_vfs*, void* handle) { rootVfs->xDlClose(rootVfs, handle); }
int seamRandomness(sqlite3_vfs*, int size, char* out) { return rootVfs->xRandomness(rootVfs, size, out); }
int seamSleep(sqlite3_vfs*, int micros) { return rootVfs->xSleep(rootVfs, micros); }
int seamCurrentTime(sqlite3_vfs*, double* out) { return rootVfs->xCurrentTime(rootVfs, out); }
int seamGetLastError(sqlite3_vfs*, int size, char* out) { return rootVfs->xGetLastError(rootVfs, size, out); }
int seamCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return rootVfs->xCurrentTimeInt64(rootVfs, out);
}

// Registers the file layer once; false when SQLite has no default file layer to wrap.
bool registerSeam() {
  static sqlite3_vfs seam{};
  static bool registered = [] {
    rootVfs = sqlite3_vfs_find(nullptr);
    if (rootVfs == nullptr || rootVfs->iVersion < 2) return false;
    seam.iVersion = 2;
    seam.szOsFile = static_cast<int>(sizeof(SeamFile)) + rootVfs->szOsFile;
    seam.mxPathname = rootVfs->mxPathname;
    seam.zName = kVfsName;
    seam.xOpen = seamOpen;
    seam.xDelete = seamDelete;
    seam.xAccess = seamAccess;
    seam.xFullPathname = seamFullPathname;
    seam.xDlOpen = seamDlOpen;
    seam.xDlError = seamDlError;
    seam.xDlSym = seamDlSym;
    seam.xDlClose = seamDlClose;
    seam.xRandomness = seamRandomness;
    seam.xSleep = seamSleep;
    seam.xCurrentTime = seamCurrentTime;
    seam.xGetLastError = seamGetLastError;
    seam.xCurrentTimeInt64 = seamCurrentTimeInt64;
    return sqlite3_vfs_register(&seam, 0) == SQLITE_OK;
  }();
  return registered;
}

bool isBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

}  // namespace

Result<std::unique_ptr<Database>> Database::open(const fs::path& path) {
  auto fail = [&](const std::string& reason) {
    return Status::Error("cannot open the database " + inQuotes(path.string()) + ": " + reason);
  };
  if (!registerSeam()) return fail("SQLite has no file layer to use");
  // Files an older version made readable by others are made private.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::path file = path;
    file += suffix;
    homefiles::makePrivate(file);
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, kVfsName);
  std::unique_ptr<Database> made(new Database(path, db));
  if (rc != SQLITE_OK) return fail(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  // WAL: readers never block the writer nor the writer the readers, and a commit costs one
  // fsync of an appended log. Both need a local file system; the home always lives on one.
  sqlite3_stmt* mode = nullptr;
  std::string journal;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &mode, nullptr) == SQLITE_OK &&
      stepRetrying(mode) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(mode, 0);
    journal = text != nullptr ? reinterpret_cast<const char*>(text) : "";
  }
  sqlite3_finalize(mode);
  if (journal.empty()) return fail(sqlite3_errmsg(db));
  if (journal != "wal") return fail("it cannot use a write-ahead log (journal mode " + journal + ")");
  if (Status set = made->exec(kSetUp); !set.ok()) return set;
  return made;
}

Database::~Database() { sqlite3_close_v2(db_); }

Status Database::exec(const char* sql) {
  auto giveUp = std::chrono::steady_clock::now() + kBusyGiveUp;
  for (;;) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return Status::Ok();
    std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    if (!isBusy(rc) || std::chrono::steady_clock::now() > giveUp) {
      return Status::Error("cannot run \"" + std::string(sql) + "\" on " + inQuotes(path_.string()) + ": " +
                           reason);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Status Database::problem(const std::string& what) const {
  return Status::Error("cannot " + what + " in " + inQuotes(path_.string()) + ": " + sqlite3_errmsg(db_));
}

int stepRetrying(sqlite3_stmt* stmt) {
  auto giveUp = std::chrono::steady_clock::now() + kBusyGiveUp;
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (!isBusy(rc) || std::chrono::steady_clock::now() > giveUp) return rc;
    sqlite3_reset(stmt);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

int Statement::prepare(sqlite3* db, const char* sql) {
  return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
}

Statement& Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  next_ = 1;
  return *this;
}

Statement& Statement::text(std::string_view value) {
  sqlite3_bind_text64(stmt_, next_++, value.empty() ? "" : value.data(), value.size(), SQLITE_STATIC,
                      SQLITE_UTF8);
  return *this;
}

Statement& Statement::blob(std::string_view value) {
  // A zero-length blob still binds as a blob (not NULL) through a non-null pointer.
  sqlite3_bind_blob64(stmt_, next_++, value.empty() ? "" : value.data(), value.size(), SQLITE_STATIC);
  return *this;
}

Statement& Statement::integer(std::int64_t value) {
  sqlite3_bind_int64(stmt_, next_++, value);
  return *this;
}

int Statement::step() { return stepRetrying(stmt_); }

std::int64_t Statement::columnInteger(int column) { return sqlite3_column_int64(stmt_, column); }

std::string Statement::columnBytes(int column) {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return data != nullptr ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                         : std::string();
}

void Statement::done() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

}  // namespace quillbox
