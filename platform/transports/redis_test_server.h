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
    ::waitpid(std::exchange(pid_, -1), nullptr, 0);
  }

  // Starts it again on the same port or socket, empty.
  void start() {
    if (pid_ > 0) return;
    std::ofstream conf(dir_ / "redis.conf");
    conf << "bind 127.0.0.1\nport " << (options_.unixSocket ? 0 : port_) << "\nsave \"\"\nappendonly no\ndir "
         << dir_.string() << "\nlogfile " << (dir_ / "redis.log").string() << "\n";
    if (options_.unixSocket) conf << "unixsocket " << socketPath() << "\nunixsocketperm 700\n";
    for (const std::string& line : options_.config) conf << line << "\n";
    conf.close();
    pid_t parent = ::getpid();
    if ((pid_ = ::fork()) < 0) throw std::runtime_error("cannot fork redis-server");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
      if (::getppid() != parent) ::_exit(127);
      ::execl(kServerPath, kServerPath, (dir_ / "redis.conf").c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Tries for 10 s at least.
    for (int tries = 0; tries < 2000; ++tries) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("redis-server exited at start; see " + (dir_ / "redis.log").string());
      }
      redisContext* c = connect({0, 200000});
      auto* reply = static_cast<redisReply*>(redisCommand(c, "PING"));  // NOAUTH is an answer too
      const bool answered = reply != nullptr;
      freeReplyObject(reply);
      redisFree(c);
      if (answered) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error("redis-server did not answer in time");
  }

  // What the server holds under a full key, read past any store (as its administrator):
  // "(nothing)", "(unreachable)" or "(error ...)" when it holds no string.
  std::string held(const std::string& key, const std::string& adminPassword = "", int db = 0) const {
    redisContext* c = connect({2, 0});
    if (!adminPassword.empty()) freeReplyObject(redisCommand(c, "AUTH %s", adminPassword.c_str()));
    freeReplyObject(redisCommand(c, "SELECT %d", db));
    auto* reply = static_cast<redisReply*>(redisCommand(c, "GET %b", key.data(), key.size()));
    std::string out = !reply       ? "(unreachable)"
                      : reply->str ? std::string(reply->str, reply->len)
                                   : "(nothing)";
    if (reply && reply->type == REDIS_REPLY_ERROR) out = "(error " + out + ")";
    freeReplyObject(reply);
    redisFree(c);
    return out;
  }

  // Freezes the server: connections are accepted by the kernel but nothing is answered.
  void pause() { paused_ = pid_ > 0 && (paused_ || ::kill(pid_, SIGSTOP) == 0); }
  void resume() { paused_ = paused_ && ::kill(pid_, SIGCONT) != 0; }

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

  // A connection of its own; commands on one that failed answer null.
  redisContext* connect(timeval timeout) const {
    return options_.unixSocket ? redisConnectUnixWithTimeout(socketPath().c_str(), timeout)
                               : redisConnectWithTimeout("127.0.0.1", port_, timeout);
  }

  Options options_;
  std::filesystem::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool paused_ = false;
};

}  // namespace quillbox
