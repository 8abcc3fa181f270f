#include "platform/store/home.h"
#include "platform/store/home_files.h"

namespace quillbox {

namespace fs = std::filesystem;

// The home is only the names of the worker's handles: there is no folder to make.
Status ensureFolder(const fs::path& dir) {
  if (dir.empty()) return Status::Error("no folder was named");
  return Status::Ok();
}

namespace homefiles {

Result<fs::path> absolute(const fs::path& home) { return home.lexically_normal(); }

// Each handle's flush makes its file durable, name and all.
bool isNew(const fs::path&) { return false; }
void syncFolder(const fs::path&) {}

// A handle has no mode: the origin's storage is the app's alone.
void createPrivate(const fs::path&) {}
void makePrivate(const fs::path&) {}

// One tab at a time holds the handles (the page's lock on them), and the worker is one thread: the
// lock has no file, and is always free to take.
Result<int> openLock(const fs::path&) { return -1; }
void closeLock(int) {}
Take tryLock(int, const fs::path&) { return Take::taken; }
void unlock(int, const fs::path&) {}
void writeHolder(int) {}
std::string readHolder(int) { return ""; }

fs::path lockName(const fs::path& home) { return home; }

}  // namespace homefiles

}  // namespace quillbox
