#include "platform/redis_cloud_store.h"

#include <hiredis/hiredis.h>
#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

namespace quillbox {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBusyTimeoutMs = 1000;
constexpr std::chrono::milliseconds kMinBackoff{1000};

// ---------------------------------------------------------------------------------------------
// The local copy: two tables of the device's SQLite database.

class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }

  int prepare(sqlite3* db, const char* sql) {
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  }

  // Binds in order from 1; leaves the statement ready to step.
  Statement& reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    next_ = 1;
    return *this;
  }
  Statement& text(std::string_view value) {
    sqlite3_bind_text64(stmt_, next_++, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
    return *this;
  }
  Statement& blob(std::string_view value) {
    // A zero-length blob still binds as a blob (not NULL) through a non-null pointer.
    sqlite3_bind_blob64(stmt_, next_++, value.empty() ? "" : value.data(), value.size(), SQLITE_STATIC);
    return *this;
  }
  Statement& integer(sqlite3_int64 value) {
    sqlite3_bind_int64(stmt_, next_++, value);
    return *this;
  }

  int step() { return sqlite3_step(stmt_); }
  sqlite3_int64 columnInteger(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string columnBytes(int column) {
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
  }

  // Clears bindings that point into caller memory and ends any read in progress.
  void done() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int next_ = 1;
};

struct PendingWrite {
  sqlite3_int64 id = 0;
  std::string key;
  std::string value;
};

class LocalCopy {
 public:
  LocalCopy(const LocalCopy&) = delete;
  LocalCopy& operator=(const LocalCopy&) = delete;
  // Statements are finalised after the close; sqlite3_close_v2 waits for them.
  ~LocalCopy() { sqlite3_close_v2(db_); }

  static Result<std::unique_ptr<LocalCopy>> open(const std::filesystem::path& home, std::string nameSpace) {
    std::error_code error;
    if (!std::filesystem::exists(home, error)) {
      if (!std::filesystem::create_directories(home, error) && error) {
        return Status::Error("cannot create the folder " + home.string() + ": " + error.message());
      }
      std::filesystem::permissions(home, std::filesystem::perms::owner_all, error);
    }
    std::unique_ptr<LocalCopy> copy(new LocalCopy(home / "settings.sqlite3", std::move(nameSpace)));
    if (Status status = copy->prepare(); !status.ok()) return status;
    return copy;
  }

  // Stores value as key's copy and as its pending write, in one durable transaction; the pending
  // write's id, new each time, tells it apart from any earlier or later write of the key.
  Result<sqlite3_int64> recordWrite(std::string_view key, std::string_view value) {
    if (Status status = exec("BEGIN IMMEDIATE"); !status.ok()) return status;
    int rc = putCopy_->reset().text(nameSpace_).text(key).blob(value).step();
    putCopy_->done();
    if (rc == SQLITE_DONE) {
      rc = putPending_->reset().text(nameSpace_).text(key).blob(value).integer(unixMillis()).step();
      putPending_->done();
    }
    if (rc != SQLITE_DONE) {
      Status failure = problem("record the write of \"" + std::string(key) + "\"");
      (void)exec("ROLLBACK");
      return failure;
    }
    sqlite3_int64 id = sqlite3_last_insert_rowid(db_);
    if (Status status = exec("COMMIT"); !status.ok()) {
      (void)exec("ROLLBACK");
      return status;
    }
    return id;
  }

  // The pending write of key, if any; an error leaves it unknown.
  Result<std::optional<PendingWrite>> pendingWrite(std::string_view key) {
    Statement& s = getPending_->reset().text(nameSpace_).text(key);
    int rc = s.step();
    std::optional<PendingWrite> write;
    if (rc == SQLITE_ROW) write = PendingWrite{s.columnInteger(0), std::string(key), s.columnBytes(1)};
    s.done();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      return problem("read the pending write of \"" + std::string(key) + "\"");
    return write;
  }

  // The ids and keys of the pending writes, oldest first (values left out).
  Result<std::vector<PendingWrite>> pendingWrites() {
    Statement& s = listPending_->reset().text(nameSpace_);
    std::vector<PendingWrite> writes;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) writes.push_back({s.columnInteger(0), s.columnBytes(1), {}});
    s.done();
    if (rc != SQLITE_DONE) return problem("list the pending writes");
    return writes;
  }

  // The value of one pending write; nothing when it has been sent or replaced since.
  Result<std::optional<std::string>> pendingValue(sqlite3_int64 id) {
    Statement& s = getPendingValue_->reset().integer(id);
    int rc = s.step();
    std::optional<std::string> value;
    if (rc == SQLITE_ROW) value = s.columnBytes(0);
    s.done();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return problem("read a pending write");
    return value;
  }

  // Forgets one pending write once the server holds it; a newer write of the same key stays.
  Status sent(sqlite3_int64 id) {
    int rc = deletePending_->reset().integer(id).step();
    deletePending_->done();
    return rc == SQLITE_DONE ? Status::Ok() : problem("forget a sent write");
  }

  Result<std::optional<std::string>> copyOf(std::string_view key) {
    Statement& s = getCopy_->reset().text(nameSpace_).text(key);
    int rc = s.step();
    std::optional<std::string> value;
    if (rc == SQLITE_ROW) value = s.columnBytes(0);
    s.done();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      return problem("read the copy of \"" + std::string(key) + "\"");
    return value;
  }

  // Keeps what the server holds under key (nothing included) as its copy, unless a write of the key
  // is pending, which is newer than anything read.
  Status remember(std::string_view key, const std::optional<std::string>& value) {
    Statement& s = value ? rememberCopy_->reset().text(nameSpace_).text(key).blob(*value)
                         : forgetCopy_->reset().text(nameSpace_).text(key);
    int rc = s.step();
    s.done();
    return rc == SQLITE_DONE ? Status::Ok() : problem("keep the copy of \"" + std::string(key) + "\"");
  }

 private:
  LocalCopy(std::filesystem::path path, std::string nameSpace)
      : path_(std::move(path)), nameSpace_(std::move(nameSpace)) {}

  static sqlite3_int64 unixMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  Status problem(const std::string& what) const {
    return Status::Error("the local cloud copy in " + path_.string() + " could not " + what + ": " +
                         sqlite3_errmsg(db_));
  }

  Status exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return Status::Ok();
    std::string text = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return Status::Error("the local cloud copy in " + path_.string() + " failed (" + sql + "): " + text);
  }

  Status prepare() {
    int rc = sqlite3_open_v2(path_.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      return Status::Error("cannot open the local cloud copy " + path_.string() + ": " + reason);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // WAL lets the settings store read while this copy writes; FULL makes each commit survive a power cut.
    // A database that stays in another journal mode (another connection holds it) still works, durably.
    (void)exec("PRAGMA journal_mode=WAL");
    if (Status s = exec("PRAGMA synchronous=FULL"); !s.ok()) return s;
    if (Status s = exec("CREATE TABLE IF NOT EXISTS redis_copy("
                        " namespace TEXT NOT NULL, key TEXT NOT NULL, value BLOB NOT NULL,"
                        " PRIMARY KEY(namespace, key));"
                        "CREATE TABLE IF NOT EXISTS redis_pending("
                        " id INTEGER PRIMARY KEY AUTOINCREMENT, namespace TEXT NOT NULL, key TEXT NOT NULL,"
                        " value BLOB NOT NULL, since INTEGER NOT NULL, UNIQUE(namespace, key))");
        !s.ok()) {
      return s;
    }
    struct {
      std::unique_ptr<Statement>* slot;
      const char* sql;
    } const kStatements[] = {
        {&putCopy_,
         "INSERT INTO redis_copy(namespace, key, value) VALUES(?1, ?2, ?3)"
         " ON CONFLICT(namespace, key) DO UPDATE SET value = excluded.value"},
        // REPLACE deletes the older row, so every write gets a fresh id (AUTOINCREMENT never reuses one).
        {&putPending_,
         "INSERT OR REPLACE INTO redis_pending(namespace, key, value, since) VALUES(?1, ?2, ?3, ?4)"},
        {&getPending_, "SELECT id, value FROM redis_pending WHERE namespace = ?1 AND key = ?2"},
        {&listPending_, "SELECT id, CAST(key AS BLOB) FROM redis_pending WHERE namespace = ?1 ORDER BY id"},
        {&getPendingValue_, "SELECT value FROM redis_pending WHERE id = ?1"},
        {&deletePending_, "DELETE FROM redis_pending WHERE id = ?1"},
        {&getCopy_, "SELECT value FROM redis_copy WHERE namespace = ?1 AND key = ?2"},
        {&rememberCopy_,
         "INSERT INTO redis_copy(namespace, key, value) SELECT ?1, ?2, ?3"
         " WHERE NOT EXISTS(SELECT 1 FROM redis_pending WHERE namespace = ?1 AND key = ?2)"
         " ON CONFLICT(namespace, key) DO UPDATE SET value = excluded.value WHERE value IS NOT "
         "excluded.value"},
        {&forgetCopy_,
         "DELETE FROM redis_copy WHERE namespace = ?1 AND key = ?2"
         " AND NOT EXISTS(SELECT 1 FROM redis_pending WHERE namespace = ?1 AND key = ?2)"},
    };
    for (const auto& entry : kStatements) {
      *entry.slot = std::make_unique<Statement>();
      if ((*entry.slot)->prepare(db_, entry.sql) != SQLITE_OK) return problem("be prepared");
    }
    return Status::Ok();
  }

  std::filesystem::path path_;
  std::string nameSpace_;
  sqlite3* db_ = nullptr;
  std::unique_ptr<Statement> putCopy_, putPending_, getPending_, listPending_, getPendingValue_,
      deletePending_, getCopy_, rememberCopy_, forgetCopy_;
};

// ---------------------------------------------------------------------------------------------
// The server.

// hiredis writes with write(2): a server that has gone away would raise SIGPIPE and end the process.
// Blocks it on this thread for the duration and swallows one raised meanwhile.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;
  ~SigpipeBlocked() {
    if (!wasPending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t pipe_;
  sigset_t previous_;
  bool wasPending_ = false;
};

struct ReplyDeleter {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

struct ContextDeleter {
  void operator()(redisContext* context) const { redisFree(context); }
};
using Context = std::unique_ptr<redisContext, ContextDeleter>;

enum class Trouble {
  none,
  unreachable,  // no connection, a broken one, or no answer in time: back off
  login,        // the server refused the login or wants one
  refused,      // the server answered a command with an error (a missing permission included)
};

struct Answer {
  Trouble trouble = Trouble::none;
  bool timedOut = false;  // unreachable because no answer came in time
  Status status = Status::Ok();
  Reply reply;
};

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

class Server {
 public:
  explicit Server(RedisAddress address) : address_(std::move(address)), masked_(address_.masked()) {}

  const RedisAddress& address() const { return address_; }
  const std::string& masked() const { return masked_; }

  // Runs one command, connecting (and logging in) first when needed. A connection that broke while
  // idle (a restarted server) is replaced once, at no cost to the caller; a silent one is not, so a
  // call waits at most one timeout for an answer.
  Answer run(std::initializer_list<std::string_view> words) {
    SigpipeBlocked blocked;
    bool reused = context_ != nullptr;
    Answer answer = runOnce(words);
    if (answer.trouble == Trouble::unreachable && !answer.timedOut && reused) answer = runOnce(words);
    return answer;
  }

 private:
  Answer runOnce(std::initializer_list<std::string_view> words) {
    if (!context_) {
      if (Answer connected = connect(); connected.trouble != Trouble::none) return connected;
    }
    return command(words);
  }

  Answer command(std::initializer_list<std::string_view> words) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (std::string_view word : words) {
      argv.push_back(word.empty() ? "" : word.data());
      lengths.push_back(word.size());
    }
    Answer answer;
    answer.reply.reset(static_cast<redisReply*>(
        redisCommandArgv(context_.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
    if (!answer.reply) {
      answer.trouble = Trouble::unreachable;
      answer.timedOut = isTimeout(context_.get());
      answer.status = transportProblem("lost the connection to");
      context_.reset();
      return answer;
    }
    if (answer.reply->type == REDIS_REPLY_ERROR) {
      std::string reason(answer.reply->str, answer.reply->len);
      std::string name(*words.begin());
      if (startsWith(reason, "NOAUTH")) {
        answer.trouble = Trouble::login;
        answer.status =
            failure("wants a login (give a password in the address or in $QUILLBOX_REDIS_PASSWORD)", reason);
      } else if (startsWith(reason, "WRONGPASS")) {
        answer.trouble = Trouble::login;
        answer.status = failure("refused the login", reason);
      } else if (startsWith(reason, "NOPERM")) {
        answer.trouble = Trouble::refused;
        answer.status = failure(
            "denies this user the keys of namespace \"" + address_.nameSpace + "\" (" + name + ")", reason);
      } else {
        answer.trouble = Trouble::refused;
        answer.status = failure("answered " + name + " with an error", reason);
      }
    }
    return answer;
  }

  Answer connect() {
    timeval timeout{address_.timeoutMs / 1000, (address_.timeoutMs % 1000) * 1000};
    Context context(address_.isUnixSocket
                        ? redisConnectUnixWithTimeout(address_.socketPath.c_str(), timeout)
                        : redisConnectWithTimeout(address_.host.c_str(), address_.port, timeout));
    Answer answer;
    if (!context || context->err || redisSetTimeout(context.get(), timeout) != REDIS_OK) {
      answer.trouble = Trouble::unreachable;
      answer.timedOut = isTimeout(context.get());
      answer.status = context
                          ? transportProblem("cannot reach", context.get())
                          : Status::Error("cannot reach the Redis server at " + masked_ + ": out of memory");
      return answer;
    }
    context_ = std::move(context);
    std::optional<std::string> password = address_.password;
    if (address_.user || password) {
      std::string secret = password.value_or("");
      answer = address_.user ? command({"AUTH", *address_.user, secret}) : command({"AUTH", secret});
      if (answer.trouble == Trouble::refused) {
        answer.trouble = Trouble::login;
        answer.status =
            failure("refused the login",
                    answer.reply ? std::string(answer.reply->str, answer.reply->len) : std::string());
      }
      if (answer.trouble != Trouble::none) {
        context_.reset();
        return answer;
      }
    }
    if (address_.db != 0) {
      std::string db = std::to_string(address_.db);
      answer = command({"SELECT", db});
      if (answer.trouble != Trouble::none) {
        context_.reset();
        if (answer.trouble == Trouble::refused) answer.trouble = Trouble::login;
        return answer;
      }
    }
    return Answer();
  }

  // hiredis gives the reason as text only.
  static bool isTimeout(const redisContext* context) {
    if (!context) return false;
    std::string_view reason = context->errstr;
    return reason == std::strerror(EAGAIN) || reason == std::strerror(ETIMEDOUT) ||
           reason == std::strerror(EINPROGRESS);
  }

  Status transportProblem(const std::string& what, const redisContext* context = nullptr) {
    if (!context) context = context_.get();
    std::string reason = context ? context->errstr : "no connection";
    if (isTimeout(context)) {
      return Status::Error("the Redis server at " + masked_ + " did not answer within " +
                           std::to_string(address_.timeoutMs) + " ms");
    }
    if (context && context->err == REDIS_ERR_EOF) reason = "the server closed the connection";
    return Status::Error(what + " the Redis server at " + masked_ + ": " + scrub(reason));
  }

  Status failure(const std::string& what, const std::string& reason) const {
    return Status::Error("the Redis server at " + masked_ + " " + what + ": " + scrub(reason));
  }

  // A server's words never carry the password back to a person.
  std::string scrub(std::string text) const {
    const std::string& secret = address_.password.value_or("");
    if (secret.size() < 3) return text;
    for (std::size_t at; (at = text.find(secret)) != std::string::npos;)
      text.replace(at, secret.size(), "****");
    return text;
  }

  RedisAddress address_;
  std::string masked_;
  Context context_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

struct RedisCloudStore::Impl {
  Impl(RedisAddress address, std::unique_ptr<LocalCopy> localCopy)
      : server(std::move(address)),
        copy(std::move(localCopy)),
        backoff(std::max(kMinBackoff, std::chrono::milliseconds(2 * server.address().timeoutMs))) {}

  mutable std::mutex mutex;
  Server server;
  std::unique_ptr<LocalCopy> copy;
  std::chrono::milliseconds backoff;
  Clock::time_point quietUntil{};  // no network before this, after an unreachable server
  Status problem = Status::Ok();

  bool backingOff() const { return Clock::now() < quietUntil; }

  // Notes what one attempt to use the server met; an unreachable server starts the back-off.
  void note(const Answer& answer) {
    problem = answer.status;
    if (answer.trouble == Trouble::unreachable) quietUntil = Clock::now() + backoff;
    if (answer.trouble == Trouble::none) quietUntil = {};
  }

  void noteLocal(const Status& status) {
    if (!status.ok()) problem = status;
  }

  // Sends one pending write; forgets it once the server holds it.
  Answer send(sqlite3_int64 id, std::string_view key, std::string_view value) {
    std::string serverKey = server.address().serverKey(key);
    Answer answer = server.run({"SET", serverKey, value});
    note(answer);
    if (answer.trouble == Trouble::none) noteLocal(copy->sent(id));
    return answer;
  }

  std::optional<std::string> localAnswer(std::string_view key) {
    Result<std::optional<std::string>> value = copy->copyOf(key);
    noteLocal(value.status());
    return value.ok() ? value.value() : std::nullopt;
  }

  std::optional<std::string> stringForKey(std::string_view key) {
    if (backingOff()) return localAnswer(key);
    Result<std::optional<PendingWrite>> pending = copy->pendingWrite(key);
    noteLocal(pending.status());
    if (!pending.ok()) return localAnswer(key);  // cannot tell whether a newer write waits: keep it
    if (const std::optional<PendingWrite>& write = pending.value();
        write && send(write->id, key, write->value).trouble != Trouble::none) {
      return localAnswer(key);  // this device's own write stands until the server holds it
    }

    std::string serverKey = server.address().serverKey(key);
    Answer answer = server.run({"GET", serverKey});
    if (answer.trouble == Trouble::none && answer.reply->type != REDIS_REPLY_STRING &&
        answer.reply->type != REDIS_REPLY_NIL) {
      answer.trouble = Trouble::refused;
      answer.status = Status::Error("the Redis server at " + server.masked() +
                                    " gave GET an answer that is not a string");
    }
    note(answer);
    if (answer.trouble != Trouble::none) return localAnswer(key);
    std::optional<std::string> value;
    if (answer.reply->type == REDIS_REPLY_STRING) value.emplace(answer.reply->str, answer.reply->len);
    noteLocal(copy->remember(key, value));
    return value;
  }

  void setString(std::string_view value, std::string_view key) {
    Result<sqlite3_int64> recorded = copy->recordWrite(key, value);
    if (!recorded.ok()) {
      // Not kept locally: the server is its one chance, back-off or not.
      std::string serverKey = server.address().serverKey(key);
      Answer answer = server.run({"SET", serverKey, value});
      note(answer);
      noteLocal(recorded.status());
      return;
    }
    if (!backingOff()) (void)send(recorded.value(), key, value);
  }

  void flushPending(int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    Result<std::vector<PendingWrite>> writes = copy->pendingWrites();
    noteLocal(writes.status());
    if (!writes.ok()) return;
    bool first = true;
    Status refusal = Status::Ok();
    for (PendingWrite& write : writes.value()) {
      if (!first && Clock::now() >= deadline) break;
      first = false;
      Result<std::optional<std::string>> value = copy->pendingValue(write.id);
      noteLocal(value.status());
      if (!value.ok()) return;
      if (!value.value()) continue;  // sent or replaced by another call or process meanwhile
      Answer answer = send(write.id, write.key, *value.value());
      if (answer.trouble == Trouble::unreachable || answer.trouble == Trouble::login) return;
      if (answer.trouble == Trouble::refused && refusal.ok()) refusal = answer.status;
    }
    if (!refusal.ok()) problem = refusal;  // the first refused write still waits: say so
  }

  bool reachable() {
    Answer answer = server.run({"PING"});
    note(answer);
    return answer.trouble == Trouble::none;
  }
};

RedisCloudStore::RedisCloudStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

RedisCloudStore::~RedisCloudStore() = default;

Result<std::unique_ptr<RedisCloudStore>> RedisCloudStore::open(RedisAddress address,
                                                               const std::filesystem::path& home) {
  Result<std::unique_ptr<LocalCopy>> copy = LocalCopy::open(home, address.nameSpace);
  if (!copy.ok()) return copy.status();
  auto impl = std::make_unique<Impl>(std::move(address), std::move(copy.value()));
  return std::unique_ptr<RedisCloudStore>(new RedisCloudStore(std::move(impl)));
}

std::optional<std::string> RedisCloudStore::stringForKey(std::string_view key) {
  std::lock_guard lock(impl_->mutex);
  return impl_->stringForKey(key);
}

void RedisCloudStore::setString(std::string_view value, std::string_view key) {
  std::lock_guard lock(impl_->mutex);
  impl_->setString(value, key);
}

std::string RedisCloudStore::describe() const { return impl_->server.masked(); }

Status RedisCloudStore::health() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->problem;
}

void RedisCloudStore::flushPending(int timeoutMs) {
  std::lock_guard lock(impl_->mutex);
  impl_->flushPending(timeoutMs);
}

std::vector<std::string> RedisCloudStore::pendingKeys() const {
  std::lock_guard lock(impl_->mutex);
  Result<std::vector<PendingWrite>> writes = impl_->copy->pendingWrites();
  impl_->noteLocal(writes.status());
  std::vector<std::string> keys;
  if (writes.ok()) {
    for (PendingWrite& write : writes.value()) keys.push_back(std::move(write.key));
  }
  return keys;
}

bool RedisCloudStore::reachable() {
  std::lock_guard lock(impl_->mutex);
  return impl_->reachable();
}

const RedisAddress& RedisCloudStore::address() const { return impl_->server.address(); }

RedisCloudStore* asRedisCloudStore(CloudStore& store) { return dynamic_cast<RedisCloudStore*>(&store); }

Result<std::unique_ptr<CloudStore>> makeRedisCloudStore(std::string_view address,
                                                        const std::filesystem::path& home) {
  Result<RedisAddress> parsed = parseRedisAddress(address);
  if (!parsed.ok()) return parsed.status();
  if (!parsed->password) {
    if (const char* secret = std::getenv("QUILLBOX_REDIS_PASSWORD"); secret && *secret)
      parsed->password = secret;
  }
  Result<std::unique_ptr<RedisCloudStore>> store = RedisCloudStore::open(std::move(parsed.value()), home);
  if (!store.ok()) return store.status();
  return std::unique_ptr<CloudStore>(std::move(store.value()));
}

}  // namespace quillbox
