#pragma once

// A redis-server of its own for tests and benchmarks: persistence off, listening on a free loopback
// port or on a Unix socket in a temporary folder, stopped by pid (and waited for) when the object goes.

#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quillbox {

class RedisTestServer {
 public:
  static constexpr const char* kServerPath = "/usr/bin/redis-server";

  struct Options {
    bool unixSocket = false;
    // Extra configuration lines, e.g. "requirepass secret" or "user alice on >pw ~alice:* +@all".
    std::vector<std::string> config;
  };

  // Whether tests can run a server at all.
  static bool available() { return ::access(kServerPath, X_OK) == 0; }

  RedisTestServer() : RedisTestServer(Options()) {}
  // Starts the server and waits until it answers; throws std::runtime_error when it does not.
  explicit RedisTestServer(Options options) : options_(std::move(options)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-redis-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir_ = pattern;
    if (!options_.unixSocket) port_ = freePort();
    start();
  }

  RedisTestServer(const RedisTestServer&) = delete;
  RedisTestServer& operator=(const RedisTestServer&) = delete;

  ~RedisTestServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // "redis://127.0.0.1:<port>" or "unix://<folder>/redis.sock", with no query.
  std::string address() const {
    return options_.unixSocket ? "unix://" + socketPath() : "redis://127.0.0.1:" + std::to_string(port_);
  }
  int port() const { return port_; }
  std::string socketPath() const { return (dir_ / "redis.sock").string(); }

  // Stops the server and waits for it. Its data is gone.
  void stop() {
    if (pid_ <= 0) return;
    resume();
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Starts it again on the same port or socket, empty.
  void start() {
    if (pid_ > 0) return;
    std::ofstream(dir_ / "redis.conf") << config();
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("cannot fork redis-server");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
      if (::getppid() != parent) ::_exit(127);
      std::string config = (dir_ / "redis.conf").string();
      ::execl(kServerPath, kServerPath, config.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    waitUntilAnswering();
  }

  // What the server holds under a full key, read past any store (as its administrator):
  // "(nothing)", "(unreachable)" or "(error ...)" when it holds no string.
  std::string held(const std::string& key, const std::string& adminPassword = "", int db = 0) const {
    redisContext* c = connect({2, 0});
    std::string out = "(unreachable)";
    if (c && !c->err) {
      if (!adminPassword.empty()) freeReplyObject(redisCommand(c, "AUTH %s", adminPassword.c_str()));
      if (db != 0) freeReplyObject(redisCommand(c, "SELECT %d", db));
      auto* reply = static_cast<redisReply*>(redisCommand(c, "GET %b", key.data(), key.size()));
      out = !reply                              ? "(no reply)"
            : reply->type == REDIS_REPLY_STRING ? std::string(reply->str, reply->len)
            : reply->type == REDIS_REPLY_NIL    ? "(nothing)"
                                                : "(error " + std::string(reply->str ? reply->str : "") + ")";
      if (reply) freeReplyObject(reply);
    }
    if (c) redisFree(c);
    return out;
  }

  // Freezes the server: connections are accepted by the kernel but nothing is answered.
  void pause() {
    if (pid_ > 0 && !paused_) {
      ::kill(pid_, SIGSTOP);
      paused_ = true;
    }
  }
  void resume() {
    if (pid_ > 0 && paused_) {
      ::kill(pid_, SIGCONT);
      paused_ = false;
    }
  }

 private:
  static int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof addr;
    bool found = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                 ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
    if (fd >= 0) ::close(fd);
    if (!found) throw std::runtime_error("cannot find a free port");
    return ntohs(addr.sin_port);
  }

  std::string config() const {
    std::string lines = "bind 127.0.0.1\nport " + std::to_string(options_.unixSocket ? 0 : port_) +
                        "\nsave \"\"\nappendonly no\ndaemonize no\ndir " + dir_.string() + "\nlogfile " +
                        (dir_ / "redis.log").string() + "\n";
    if (options_.unixSocket) lines += "unixsocket " + socketPath() + "\nunixsocketperm 700\n";
    for (const std::string& line : options_.config) lines += line + "\n";
    return lines;
  }

  redisContext* connect(timeval timeout) const {
    return options_.unixSocket ? redisConnectUnixWithTimeout(socketPath().c_str(), timeout)
                               : redisConnectWithTimeout("127.0.0.1", port_, timeout);
  }

  // Any answer counts (a server that wants a login answers PING with NOAUTH). Tries for 10 s at least.
  void waitUntilAnswering() {
    for (int tries = 0; tries < 2000; ++tries) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("redis-server exited at start; see " + (dir_ / "redis.log").string());
      }
      redisContext* context = connect({0, 200000});
      auto* reply =
          context && !context->err ? static_cast<redisReply*>(redisCommand(context, "PING")) : nullptr;
      if (reply) freeReplyObject(reply);
      if (context) redisFree(context);
      if (reply) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error("redis-server did not answer in time");
  }

  Options options_;
  std::filesystem::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool paused_ = false;
};

}  // namespace quillbox
