#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillbox {

// A connection to the device's SQLite database, as every store of ours opens it: through the
// fault seam (SQLite's file calls consult the installed FaultPlan), its files (the database, its
// write-ahead log and shared memory) private to the user (0600 whatever the umask, tightened when
// an older version left them wider), in WAL mode with full sync (a commit that returned survives
// a kill and a power cut), waiting a while for another connection's lock.
class Database {
 public:
  // Opens path, creating it when missing. Fails, naming the path and the reason.
  static Result<std::unique_ptr<Database>> open(const std::filesystem::path& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db_; }
  const std::filesystem::path& path() const { return path_; }

  // Runs sql (one or more statements) to completion, retrying while another connection holds the
  // database. Fails with the reason, naming the path.
  Status exec(const char* sql);
  // A failure that names what could not be done, the path and SQLite's last reason.
  Status problem(const std::string& what) const;

 private:
  Database(std::filesystem::path path, sqlite3* db) : path_(std::move(path)), db_(db) {}
  std::filesystem::path path_;
  sqlite3* db_;
};

// Steps stmt once, retrying for a while when another connection holds the database (SQLite answers
// some conflicts at once, without its busy wait). Returns SQLite's code.
int stepRetrying(sqlite3_stmt* stmt);

// One prepared statement, kept for the connection's life. Bind in order from 1 after reset();
// done() clears the bindings that point into caller memory and ends any read in progress.
class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  int prepare(sqlite3* db, const char* sql);
  Statement& reset();
  Statement& text(std::string_view value);
  Statement& blob(std::string_view value);  // any bytes, NUL included; "" stays a value, never NULL
  Statement& integer(std::int64_t value);
  int step();  // retrying while busy
  std::int64_t columnInteger(int column);
  std::string columnBytes(int column);
  void done();

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int next_ = 1;
};

}  // namespace quillbox
