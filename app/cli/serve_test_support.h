#pragma once

// A real `quillbox serve` for the tests that reach one: its certificate and its process.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli_test_support.h"

namespace quillbox::clitest {

// Makes cert.pem and key.pem in dir, for 127.0.0.1 and homeserver.test, with the openssl command:
// false when it cannot.
inline bool makeCertificate(const fs::path& dir) {
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=x "
      "-addext subjectAltName=DNS:homeserver.test,IP:127.0.0.1 -keyout " +
      (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() + " 2>/dev/null";
  return std::system(make.c_str()) == 0;
}

// `quillbox ARGS` (a serve command) in a process of its own, its output in log, stopped as Ctrl-C
// stops it. Without --listen in args it listens on 127.0.0.1, on the port of its first start.
class ServeProcess {
 public:
  ServeProcess(std::vector<std::string> args, fs::path log, bool journal = false)
      : args_(std::move(args)), log_(std::move(log)), journal_(journal) {
    start();
  }
  ~ServeProcess() { stop(); }

  // Starts it and waits until it has announced itself. With journal, its output is the file
  // JOURNAL_STREAM names, as under systemd.
  void start() {
    std::ofstream(log_).close();
    struct stat file {};
    ::stat(log_.c_str(), &file);
    std::vector<std::string> args = args_, env;
    if (std::find(args.begin(), args.end(), "--listen") == args.end())
      args.insert(args.end(), {"--listen", "127.0.0.1:" + std::to_string(port_)});
    if (journal_)
      env.push_back("JOURNAL_STREAM=" + std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_ = spawnQuillbox(args, &actions, env);
    posix_spawn_file_actions_destroy(&actions);
    for (int tries = 0; tries < 3000 && pid_ > 0 && said().find("Press Ctrl-C") == std::string::npos; ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string out = said();
    EXPECT_NE(out.find("Press Ctrl-C"), std::string::npos) << "serve did not start: " << out;
    std::smatch origin;
    if (std::regex_search(out, origin, std::regex("cloud store at (\\S+:([0-9]+))/"))) {
      origin_ = origin[1].str();
      port_ = std::stoi(origin[2].str());
    }
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    EXPECT_EQ(waitExited(pid_), 0) << said();
    pid_ = -1;
  }
  std::string said() const { return fileContents(log_); }
  // Where devices reach its cloud store: "https://127.0.0.1:PORT/".
  std::string address() const { return origin_ + "/"; }

 private:
  std::vector<std::string> args_;
  fs::path log_;
  bool journal_;
  std::string origin_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace quillbox::clitest
