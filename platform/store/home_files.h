#pragma once

#include <filesystem>
#include <string>

#include "platform/status.h"

// The home's folder and its files as this platform keeps them, for the store and its lock.
// Natively the home is a folder of the file system (home_files_posix.cpp). In the browser the
// store's files are the worker's handles, named by path, and the home is only their names
// (home_files_browser.cpp): there is no folder to make or sync, no file mode to set, and one tab
// at a time holds the handles, so the home's lock has no file to lock.
namespace quillbox::homefiles {

// The home's path from the root, without dots: natively from the working folder, or an error
// saying why it cannot be found; in the browser the home is named from the root already.
Result<std::filesystem::path> absolute(const std::filesystem::path& home);

// Whether the file at path is yet to be made, so that its folder is to be synced once it is: when
// it does not exist yet, natively; never in the browser, where a handle's flush makes its file
// durable, name and all.
bool isNew(const std::filesystem::path& path);

// Makes the name of a file just created in dir durable (the folder's fsync); a failure is left
// to the next commit's.
void syncFolder(const std::filesystem::path& dir);

// Creates the database file at path, private (mode 0600), when it is missing: SQLite gives its
// log and shared memory the database's own mode.
void createPrivate(const std::filesystem::path& path);

// Makes the file at path private when an older version made it readable by others.
void makePrivate(const std::filesystem::path& path);

// The lock file of a home: opened (created when missing, private) as a descriptor, or an error
// naming the path and the reason.
Result<int> openLock(const std::filesystem::path& path);
void closeLock(int fd);

// Takes the lock without waiting: taken, held by another process (busy), or failed for another
// reason (the lock then still excludes this process's other threads).
enum class Take { taken, busy, failed };
Take tryLock(int fd, const std::filesystem::path& path);
// Lets go of the lock and clears the holder's line.
void unlock(int fd, const std::filesystem::path& path);

// Writes this process's line ("process <pid> (<command line>)") into the held lock file, and reads
// back the line of whoever holds it ("" when none is written).
void writeHolder(int fd);
std::string readHolder(int fd);

// The home's path as every user of it names the same lock: without links and dots where it exists.
std::filesystem::path lockName(const std::filesystem::path& home);

}  // namespace quillbox::homefiles
