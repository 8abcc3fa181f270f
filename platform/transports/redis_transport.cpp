#include "platform/transports/redis_transport.h"

#include <hiredis/hiredis.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/fault_seam.h"
#include "platform/sigpipe_blocked.h"
#include "platform/sync/outbox_cloud_store.h"
#include "platform/transports/redis_scripts.h"

namespace quillbox {

namespace {

constexpr std::chrono::milliseconds kMinBackoff{1000};

// ---------------------------------------------------------------------------------------------
// The server.

struct ReplyDeleter {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

struct ContextDeleter {
  void operator()(redisContext* context) const { redisFree(context); }
};
using Context = std::unique_ptr<redisContext, ContextDeleter>;

enum class Problem {
  none,
  unreachable,  // no connection, a broken one, or no answer in time: back off
  login,        // the server refused the login or wants one
  refused,      // the server answered a command with an error (a missing permission included)
};

struct Answer {
  Problem trouble = Problem::none;
  bool timedOut = false;  // unreachable because no answer came in time
  Status status = Status::Ok();
  Reply reply;
};

// The status a trouble is reported with: its code says how the store classes it.
Status classed(Problem trouble, std::string message) {
  switch (trouble) {
    case Problem::none:
      return Status::Ok();
    case Problem::unreachable:
      return Status::Unavailable(std::move(message));
    case Problem::login:
      return Status::Unauthenticated(std::move(message));
    case Problem::refused:
      break;
  }
  return Status::Error(std::move(message));
}

using Words = std::vector<std::string_view>;

class Server {
 public:
  explicit Server(RedisAddress address) : address_(std::move(address)), masked_(address_.masked()) {}

  const RedisAddress& address() const { return address_; }
  const std::string& masked() const { return masked_; }

  // Runs commands in one round trip, connecting (and logging in) first when needed: one answer per
  // command, in order. A connection that broke while idle (a restarted server) is replaced once, at
  // no cost to the caller; a silent one is not, so a call waits at most one timeout for an answer.
  // Every answer's status carries its trouble's code.
  std::vector<Answer> run(const std::vector<Words>& commands) {
    if (FaultPlan::consult(FileCall::send, masked_) != 0) {
      std::vector<Answer> refused(commands.size());
      for (Answer& answer : refused) {
        answer.trouble = Problem::unreachable;
        answer.status = Status::Unavailable("no answer from " + masked_);
      }
      return refused;
    }
    SigpipeBlocked blocked;
    bool reused = context_ != nullptr;
    std::vector<Answer> answers = runOnce(commands);
    if (reused && answers.front().trouble == Problem::unreachable && !answers.front().timedOut) {
      answers = runOnce(commands);
    }
    for (Answer& answer : answers) answer.status = classed(answer.trouble, answer.status.message());
    return answers;
  }
  Answer run(const Words& words) { return std::move(run(std::vector<Words>{words}).front()); }
  // The same, the command named as name in messages (a script that sets keys as "SET").
  Answer run(const Words& words, std::string_view name) {
    std::string_view saved = std::exchange(shownName_, name);
    Answer answer = run(words);
    shownName_ = saved;
    return answer;
  }

 private:
  std::vector<Answer> runOnce(const std::vector<Words>& commands) {
    if (!context_) {
      if (Answer connected = connect(); connected.trouble != Problem::none) {
        std::vector<Answer> answers(commands.size());
        for (Answer& answer : answers) {
          answer.trouble = connected.trouble;
          answer.timedOut = connected.timedOut;
          answer.status = connected.status;
        }
        return answers;
      }
    }
    return pipeline(commands);
  }

  // Sends every command, then reads every reply. Once the connection fails, every command from
  // there on fails with it.
  std::vector<Answer> pipeline(const std::vector<Words>& commands) {
    std::vector<Answer> answers(commands.size());
    bool broken = false;
    for (const Words& words : commands) {
      std::vector<const char*> argv;
      std::vector<std::size_t> lengths;
      for (std::string_view word : words) {
        argv.push_back(word.empty() ? "" : word.data());
        lengths.push_back(word.size());
      }
      if (redisAppendCommandArgv(context_.get(), static_cast<int>(argv.size()), argv.data(),
                                 lengths.data()) != REDIS_OK) {
        broken = true;
        break;
      }
    }
    // A large request is given time to be taken in: 50 ms more for each megabyte it carries.
    std::size_t bytes = 0;
    for (const Words& words : commands) {
      for (std::string_view word : words) bytes += word.size();
    }
    const long allowed = address_.timeoutMs + static_cast<long>(bytes / 20000);
    if (allowed > address_.timeoutMs)
      redisSetTimeout(context_.get(), timeval{allowed / 1000, (allowed % 1000) * 1000});
    Status lost = Status::Ok();
    bool timedOut = false;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      Answer& answer = answers[i];
      if (lost.ok()) {
        void* reply = nullptr;
        if (!broken && redisGetReply(context_.get(), &reply) == REDIS_OK && reply != nullptr) {
          answer.reply.reset(static_cast<redisReply*>(reply));
          judge(answer, shownName_.empty() ? commands[i].front() : shownName_);
          continue;
        }
        timedOut = isTimeout(context_.get());
        lost = transportProblem("lost the connection to");
      }
      answer.trouble = Problem::unreachable;
      answer.timedOut = timedOut;
      answer.status = lost;
    }
    if (!lost.ok()) {
      context_.reset();
    } else if (allowed > address_.timeoutMs) {
      redisSetTimeout(context_.get(), timeval{address_.timeoutMs / 1000, (address_.timeoutMs % 1000) * 1000});
    }
    return answers;
  }

  Answer command(const Words& words) { return std::move(pipeline({words}).front()); }

  // Classes an error reply.
  void judge(Answer& answer, std::string_view command) {
    const redisReply* reply = answer.reply.get();
    if (reply->type != REDIS_REPLY_ERROR) return;
    std::string reason(reply->str, reply->len);
    std::string name(command);
    if (reason.starts_with("NOAUTH")) {
      answer.trouble = Problem::login;
      answer.status =
          failure("wants a login (give a password in the address or in $QUILLBOX_REDIS_PASSWORD)", reason);
    } else if (reason.starts_with("WRONGPASS")) {
      answer.trouble = Problem::login;
      answer.status = failure("refused the login", reason);
    } else if (reason.starts_with("NOPERM")) {
      answer.trouble = Problem::refused;
      answer.status = failure(
          "denies this user the keys of namespace \"" + address_.nameSpace + "\" (" + name + ")", reason);
    } else {
      answer.trouble = Problem::refused;
      answer.status = failure("answered " + name + " with an error", reason);
    }
  }

  Answer connect() {
    timeval timeout{address_.timeoutMs / 1000, (address_.timeoutMs % 1000) * 1000};
    Context context(address_.isUnixSocket
                        ? redisConnectUnixWithTimeout(address_.socketPath.c_str(), timeout)
                        : redisConnectWithTimeout(address_.host.c_str(), address_.port, timeout));
    Answer answer;
    if (!context || context->err || redisSetTimeout(context.get(), timeout) != REDIS_OK) {
      answer.trouble = Problem::unreachable;
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
      if (answer.trouble == Problem::refused) {
        answer.trouble = Problem::login;
        answer.status =
            failure("refused the login",
                    answer.reply ? std::string(answer.reply->str, answer.reply->len) : std::string());
      }
      if (answer.trouble != Problem::none) {
        context_.reset();
        return answer;
      }
    }
    if (address_.db != 0) {
      std::string db = std::to_string(address_.db);
      answer = command({"SELECT", db});
      if (answer.trouble != Problem::none) {
        context_.reset();
        if (answer.trouble == Problem::refused) answer.trouble = Problem::login;
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
  std::string_view shownName_;  // names the commands in messages, when set
};

}  // namespace

// ---------------------------------------------------------------------------------------------

struct RedisTransport::Connection {
  explicit Connection(RedisAddress address) : server(std::move(address)) {}
  Server server;
};

RedisTransport::RedisTransport(RedisAddress address)
    : connection_(std::make_unique<Connection>(std::move(address))) {}

RedisTransport::~RedisTransport() = default;

const RedisAddress& RedisTransport::address() const { return connection_->server.address(); }

std::string RedisTransport::describe() const { return connection_->server.masked(); }

std::string RedisTransport::identity() const {
  const RedisAddress& at = address();
  std::string where = at.isUnixSocket ? "unix://" + at.socketPath + "?db=" + std::to_string(at.db)
                                      : "redis://" + at.host + ":" + std::to_string(at.port) + "/" +
                                            std::to_string(at.db) + "?";
  if (at.isUnixSocket) where += "&";
  return where + "namespace=" + at.nameSpace;
}

std::chrono::milliseconds RedisTransport::backoff() const {
  return std::max(kMinBackoff, std::chrono::milliseconds(2 * address().timeoutMs));
}

Result<std::optional<std::string>> RedisTransport::get(std::string_view key) {
  Server& server = connection_->server;
  std::string serverKey = server.address().serverKey(key);
  Answer answer = server.run({"GET", serverKey});
  if (!answer.status.ok()) return answer.status;
  if (answer.reply->type == REDIS_REPLY_NIL) return std::optional<std::string>();
  if (answer.reply->type != REDIS_REPLY_STRING) {
    return Status::Error("the Redis server at " + server.masked() +
                         " gave GET an answer that is not a string");
  }
  return std::optional<std::string>(std::string(answer.reply->str, answer.reply->len));
}

Status RedisTransport::set(std::string_view key, std::string_view value) {
  Server& server = connection_->server;
  std::string serverKey = server.address().serverKey(key);
  return server.run({"SET", serverKey, value}).status;
}

std::vector<Status> RedisTransport::setMany(std::span<const CloudWriteView> writes) {
  if (writes.size() == 1) return {set(writes.front().key, writes.front().value)};
  Server& server = connection_->server;
  std::vector<std::string> serverKeys;
  serverKeys.reserve(writes.size());
  for (const CloudWriteView& write : writes) serverKeys.push_back(server.address().serverKey(write.key));
  std::vector<Words> commands{{"MULTI"}};
  for (std::size_t i = 0; i < writes.size(); ++i) commands.push_back({"SET", serverKeys[i], writes[i].value});
  commands.push_back({"EXEC"});
  std::vector<Answer> answers = server.run(commands);

  const Answer& exec = answers.back();
  bool queued = true;
  for (std::size_t i = 0; i + 1 < answers.size(); ++i) queued = queued && answers[i].status.ok();
  if (queued && exec.status.ok() && exec.reply->type == REDIS_REPLY_ARRAY &&
      exec.reply->elements == writes.size()) {
    std::vector<Status> results;
    for (std::size_t i = 0; i < writes.size(); ++i) {
      const redisReply* reply = exec.reply->element[i];
      results.push_back(
          reply->type == REDIS_REPLY_ERROR
              ? Status::Error("the Redis server at " + server.masked() +
                              " answered SET with an error: " + std::string(reply->str, reply->len))
              : Status::Ok());
    }
    return results;
  }
  // Nothing was stored. Unreachable, or a refused login: every write fails alike. Refused (a
  // permission one of them lacks): each goes on its own, so that the others are not held back.
  Status first = Status::Ok();
  for (const Answer& answer : answers) {
    if (!answer.status.ok()) {
      first = answer.status;
      break;
    }
  }
  if (first.ok())
    first = Status::Error("the Redis server at " + server.masked() + " did not run the transaction");
  if (classify(first) != Trouble::refused) return std::vector<Status>(writes.size(), first);
  return CloudTransport::setMany(writes);
}

Status RedisTransport::setIf(std::span<const ConditionalWrite> writes) {
  if (writes.empty()) return Status::Ok();
  Server& server = connection_->server;
  std::vector<std::string> serverKeys;
  for (const ConditionalWrite& write : writes) serverKeys.push_back(server.address().serverKey(write.key));
  for (const ConditionalWrite& write : writes)
    serverKeys.push_back(redisscripts::namesKeyOf(server.address(), write.key));
  const std::string count = std::to_string(serverKeys.size());
  const std::string kept = std::to_string(redisscripts::kNamesKept);
  Words words{"EVAL", redisscripts::setIf(), count};
  for (const std::string& key : serverKeys) words.push_back(key);
  for (const ConditionalWrite& write : writes) {
    words.push_back(write.base ? "1" : "0");
    words.push_back(write.base.value_or(std::string_view()));
    words.push_back(write.value);
    words.push_back(write.name);
  }
  words.push_back(kept);
  Answer answer = server.run(words, "SET");
  if (!answer.status.ok()) return answer.status;
  if (answer.reply->type != REDIS_REPLY_INTEGER || answer.reply->integer < 0 ||
      static_cast<std::size_t>(answer.reply->integer) > writes.size()) {
    return Status::Error("the Redis server at " + server.masked() + " gave an unexpected answer to a write");
  }
  if (answer.reply->integer == 0) return Status::Ok();
  const ConditionalWrite& moved = writes[static_cast<std::size_t>(answer.reply->integer) - 1];
  return Status::Conflict("the cloud copy of " + std::string(moved.key) + " changed meanwhile");
}

Result<bool> RedisTransport::madeEarlier(std::span<const ConditionalWrite> writes) {
  if (writes.empty()) return false;
  Server& server = connection_->server;
  std::vector<std::string> lists;
  for (const ConditionalWrite& write : writes)
    lists.push_back(redisscripts::namesKeyOf(server.address(), write.key));
  const std::string count = std::to_string(lists.size());
  Words words{"EVAL", redisscripts::made(), count};
  for (const std::string& list : lists) words.push_back(list);
  for (const ConditionalWrite& write : writes) words.push_back(write.name);
  Answer answer = server.run(words, "LRANGE");
  if (!answer.status.ok()) return answer.status;
  if (answer.reply->type != REDIS_REPLY_INTEGER)
    return Status::Error("the Redis server at " + server.masked() + " gave an unexpected answer to a read");
  return answer.reply->integer == 1;
}

Status RedisTransport::ping() { return connection_->server.run({"PING"}).status; }

}  // namespace quillbox
