#pragma once

// Runs the built `quillbox` program as a person would from a shell: its own process, arguments
// passed as they are (no shell quoting), standard input fed from a string, standard output,
// standard error and the exit code captured.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/temp_folder_test_support.h"

extern char** environ;

namespace quillbox::clitest {

namespace fs = std::filesystem;

inline constexpr const char* kSep = "NOTES_SEPARATOR";

// The stored form of an item list: each text followed by the separator.
inline std::string items(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += text + kSep;
  return out;
}

// A command's words on one line, for messages.
inline std::string joined(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& arg : args) out += (out.empty() ? "" : " ") + arg;
  return out;
}

// What one run of the program left behind.
struct Outcome {
  int code = -1;  // the exit code; -1 when it did not exit normally (a crash, a sanitizer abort), -2 hung
  std::string out;
  std::string err;
};

// The program built beside the tests.
inline fs::path quillboxBinary() {
  const char* dir = std::getenv("QUILLBOX_BINARY_DIR");
  return fs::path(dir != nullptr && *dir != '\0' ? dir : QUILLBOX_BINARY_DIR) / "quillbox";
}

inline std::string fileContents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

using quillbox::TempFolder;

// Waits for pid; a run that has not ended within the limit (none should come near it) is killed,
// so that a command that hangs fails its test instead of holding up the whole run.
inline int waitExited(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
  auto giveUp = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > giveUp) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Starts the program with args (the binary's path comes first), its streams as actions set them, its
// environment this process's with each "NAME=value" of env set over it: its pid, or -1.
inline pid_t spawnQuillbox(const std::vector<std::string>& args, const posix_spawn_file_actions_t* actions,
                           const std::vector<std::string>& env = {}) {
  std::vector<std::string> words{quillboxBinary().string()}, entries = env;
  words.insert(words.end(), args.begin(), args.end());
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view name(*entry, std::string_view(*entry).find('=') + 1);
    if (std::none_of(env.begin(), env.end(), [&](const std::string& set) { return set.starts_with(name); }))
      entries.emplace_back(*entry);
  }
  std::vector<char*> argv, envp;
  for (std::string& word : words) argv.push_back(word.data());
  for (std::string& entry : entries) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

// Runs the program with args, input on its standard input. The captured streams go through files
// in scratch (so a megabyte each way never blocks on a pipe); safe from several threads at once. A
// run that hangs is killed after a generous limit: code -2.
inline Outcome runQuillbox(const std::vector<std::string>& args, const std::string& input,
                           const fs::path& scratch, const std::vector<std::string>& env = {}) {
  static std::atomic<int> counter{0};
  const std::string stem =
      (scratch / ("run-" + std::to_string(::getpid()) + "-" + std::to_string(counter++))).string();
  const std::string inPath = stem + ".in", outPath = stem + ".out", errPath = stem + ".err";
  { std::ofstream(inPath, std::ios::binary) << input; }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t pid = spawnQuillbox(args, &actions, env);
  posix_spawn_file_actions_destroy(&actions);
  Outcome outcome;
  if (pid < 0) {
    outcome.err = "could not start " + quillboxBinary().string();
    return outcome;
  }
  outcome.code = waitExited(pid);
  outcome.out = fileContents(outPath);
  outcome.err = fileContents(errPath);
  std::error_code ignored;
  for (const std::string& path : {inPath, outPath, errPath}) fs::remove(path, ignored);
  return outcome;
}

// One device: its own home, a cloud folder it may share with other devices.
class Device {
 public:
  Device(fs::path home, fs::path cloud, fs::path scratch)
      : home_(std::move(home)), cloud_(std::move(cloud)), scratch_(std::move(scratch)) {}

  // `quillbox --home HOME --cloud CLOUD args...`
  Outcome run(const std::vector<std::string>& args, const std::string& input = "") const {
    std::vector<std::string> all{"--home", home_.string(), "--cloud", cloud_.string()};
    all.insert(all.end(), args.begin(), args.end());
    return runQuillbox(all, input, scratch_, env_);
  }
  // The same device, its runs given "NAME=value" in their environment.
  Device with(std::string entry) const {
    Device changed = *this;
    changed.env_.push_back(std::move(entry));
    return changed;
  }

  const fs::path& home() const { return home_; }

 private:
  fs::path home_;
  fs::path cloud_;
  fs::path scratch_;
  std::vector<std::string> env_;
};

// Output lines flattened for one-line comparison: tabs as " ", lines joined by "|".
inline std::string flattened(const std::string& out) {
  std::string flat;
  for (char c : out) flat += c == '\t' ? std::string(" ") : c == '\n' ? std::string("|") : std::string(1, c);
  if (!flat.empty() && flat.back() == '|') flat.pop_back();
  return flat;
}

// Every test gets a folder of its own holding the homes and a cloud folder they share; "phone" is the
// device most tests drive. Each verb runs the built program once.
class CommandLineFixture : public ::testing::Test {
 protected:
  CommandLineFixture() : phone_(device("phone")) {}

  Device device(const std::string& home, const std::string& cloud = "cloud") const {
    return Device(folder_.path() / home, folder_.path() / cloud, folder_.path());
  }
  std::string file(const std::string& name) const { return (folder_.path() / name).string(); }

  virtual Outcome run(const Device& on, const std::vector<std::string>& args, const std::string& input = "") {
    return on.run(args, input);
  }
  // A run with no trouble at all (exit 0, nothing on stderr): its standard output.
  std::string okOn(const Device& on, const std::vector<std::string>& args, const std::string& input = "") {
    Outcome outcome = run(on, args, input);
    EXPECT_EQ(outcome.code, 0) << joined(args) << ": " << outcome.err;
    EXPECT_EQ(outcome.err, "") << joined(args);
    return outcome.out;
  }
  std::string ok(const std::vector<std::string>& args, const std::string& input = "") {
    return okOn(phone_, args, input);
  }
  // A listing flattened: "1 a|3 a".
  std::string rowsOn(const Device& on, const std::vector<std::string>& args) {
    return flattened(okOn(on, args));
  }
  std::string rows(const std::vector<std::string>& args) { return rowsOn(phone_, args); }
  // The one line a run wrote on stderr, without its newline.
  static std::string errorLine(const Outcome& outcome, const std::vector<std::string>& args) {
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1)
        << joined(args) << ": " << outcome.err;
    return outcome.err.substr(0, outcome.err.find('\n'));
  }
  // A run that must fail with one line on stderr and nothing on stdout: "CODE message".
  std::string refusedOn(const Device& on, const std::vector<std::string>& args,
                        const std::string& input = "") {
    Outcome outcome = run(on, args, input);
    EXPECT_EQ(outcome.out, "") << joined(args);
    return std::to_string(outcome.code) + " " + errorLine(outcome, args);
  }
  std::string refused(const std::vector<std::string>& args) { return refusedOn(phone_, args); }
  // A run that works on the local copy while the cloud is in trouble: "CODE rows", and the one line it
  // reported in problem.
  std::string troubledOn(const Device& on, const std::vector<std::string>& args, std::string* problem) {
    Outcome outcome = run(on, args);
    *problem = errorLine(outcome, args);
    return std::to_string(outcome.code) + " " + flattened(outcome.out);
  }
  // `cloud status` flattened: "store: ...|status: ...|pending: ...".
  std::string cloudStatus(const Device& on) { return flattened(okOn(on, {"cloud", "status"})); }
  // A raw value as `store get` / `cloud get` print it, without the closing newline.
  std::string valueOn(const Device& on, const std::string& where, const std::string& key) {
    std::string out = okOn(on, {where, "get", key});
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string stored(const std::string& key) { return valueOn(phone_, "store", key); }
  std::string inCloud(const std::string& key) { return valueOn(phone_, "cloud", key); }
  // The four list strings and every kept version of them: what a refused command must not touch.
  std::string everything() {
    std::string out;
    for (const char* key : {"stringNotes", "stringTasks", "stringTasksFinishedIndices", "stringTaggedNotes"})
      out += stored(key) + "|";
    return out + ok({"export", "--history"});
  }

  TempFolder folder_;
  Device phone_;
};

}  // namespace quillbox::clitest
