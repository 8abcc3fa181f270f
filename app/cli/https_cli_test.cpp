// Devices that reach a real `quillbox serve` over HTTPS, each command its own process, with a
// certificate made for the test by the openssl command.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "platform/transports/redis_test_server.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using clitest::Outcome;

// A `quillbox serve` in a process of its own, stopped as Ctrl-C would stop it.
class ServeProcess {
 public:
  ServeProcess(std::vector<std::string> args, const fs::path& log) : args_(std::move(args)), log_(log) {
    start();
  }
  ~ServeProcess() { stop(); }

  // Starts it and waits until it says where devices reach it; port 0 on the first start only.
  void start() {
    std::vector<std::string> all = args_;
    all.insert(all.end(), {"--listen", "127.0.0.1:" + std::to_string(port_)});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_ = clitest::spawnQuillbox(all, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_GT(pid_, 0);
    for (int tries = 0; tries < 3000; ++tries) {
      std::string said = clitest::fileContents(log_);
      for (std::string scheme : {"https", "http"}) {
        const std::string says = "cloud store at " + scheme + "://127.0.0.1:";
        if (std::size_t at = said.find(says); at != std::string::npos) {
          scheme_ = scheme;
          port_ = std::stoi(said.substr(at + says.size()));
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "serve did not start: " << clitest::fileContents(log_);
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    EXPECT_EQ(clitest::waitExited(pid_), 0) << clitest::fileContents(log_);
    pid_ = -1;
  }
  std::string address() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  std::vector<std::string> args_;
  fs::path log_;
  std::string scheme_ = "https";
  int port_ = 0;
  pid_t pid_ = -1;
};

class HttpsCommandLineTest : public clitest::CommandLineFixture {
 protected:
  void SetUp() override {
    const fs::path dir = folder_.path();
    std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
        (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "the openssl command cannot make a certificate";
  }

  // A server with its own home, on cloud (its home's folder when empty).
  // Without tls, plain HTTP on this machine.
  std::unique_ptr<ServeProcess> serve(const std::string& name, const std::string& cloud = "",
                                      bool tls = true) {
    const fs::path dir = folder_.path();
    const std::string store = cloud.empty() ? (dir / name / "cloud").string() : cloud;
    server_ = clitest::Device(dir / name, store, dir);
    std::vector<std::string> args{"--home", server_.home().string(), "--cloud", store, "serve"};
    if (tls) {
      args.insert(args.end(),
                  {"--tls-cert", (dir / "cert.pem").string(), "--tls-key", (dir / "key.pem").string()});
    }
    return std::make_unique<ServeProcess>(std::move(args), dir / (name + ".log"));
  }
  // `devices add NAME` on the server: the token it printed.
  std::string addDevice(const std::string& name) {
    std::string added = okOn(server_, {"devices", "add", name});
    std::size_t at = added.find("QUILLBOX_CLOUD_TOKEN=");
    return at == std::string::npos ? "" : added.substr(at + 21, 64);
  }
  // A device of its own home on the server at address, its token kept in <home>/cloud-token.
  clitest::Device device(const std::string& name, const std::string& address, const std::string& token) {
    fs::path home = folder_.path() / name;
    fs::create_directories(home);
    std::ofstream(home / "cloud-token") << token << "\n";
    fs::permissions(home / "cloud-token", fs::perms::owner_read | fs::perms::owner_write);
    return clitest::Device(home, address, folder_.path())
        .with("QUILLBOX_CLOUD_CA=" + (folder_.path() / "cert.pem").string());
  }
  clitest::Device server_{"", "", ""};
};

// Two devices sync through the server, the cloud wins at load, and a device the server revokes is
// refused at once and keeps its edits pending.
TEST_F(HttpsCommandLineTest, TwoDevicesSyncThroughTheServerAndARevokedOneKeepsItsEditsPending) {
  auto running = serve("server");
  clitest::Device laptop = device("laptop", running->address(), addDevice("laptop"));
  clitest::Device phone = device("phone", running->address(), addDevice("phone"));

  EXPECT_EQ(rowsOn(laptop, {"notes", "add", "from the laptop"}), "1 from the laptop");
  okOn(phone, {"store", "set", "stringNotes", "only herexNOTES_SEPARATOR"});
  EXPECT_EQ(rowsOn(phone, {"notes", "list"}), "1 from the laptop");
  EXPECT_EQ(rowsOn(phone, {"tasks", "add", "buy milk"}), "1 [ ] buy milk");
  EXPECT_EQ(rowsOn(phone, {"tasks", "toggle", "1"}), "marked \"buy milk\" finished|1 [x] buy milk");
  EXPECT_EQ(rowsOn(laptop, {"tasks", "list"}) + " / " + rowsOn(server_, {"notes", "list"}),
            "1 [x] buy milk / 1 from the laptop");
  EXPECT_NE(okOn(server_, {"devices", "list"}).find("laptop\tadded "), std::string::npos);

  okOn(server_, {"devices", "revoke", "laptop"});
  std::string problem;
  EXPECT_EQ(troubledOn(laptop, {"notes", "add", "kept"}, &problem), "0 1 from the laptop|2 kept");
  EXPECT_NE(problem.find("refused this device's token"), std::string::npos) << problem;
  EXPECT_NE(cloudStatus(laptop).find("|pending: notesFromCloud"), std::string::npos);
  EXPECT_EQ(rowsOn(phone, {"notes", "list"}), "1 from the laptop");
  EXPECT_EQ(run(server_, {"devices", "revoke", "laptop"}).code, 2);
}

// Over plain HTTP, as serve announces itself on this machine without TLS: an edit made while the
// server is stopped is kept, and sent by the next visit once it is back.
TEST_F(HttpsCommandLineTest, AnEditMadeWhileTheServerIsStoppedIsKeptAndSentByTheNextVisit) {
  auto running = serve("server", "", false);
  ASSERT_EQ(running->address().substr(0, 7), "http://");
  clitest::Device laptop = device("laptop", running->address(), addDevice("laptop"));
  clitest::Device phone = device("phone", running->address(), addDevice("phone"));
  EXPECT_EQ(rowsOn(laptop, {"notes", "add", "before"}), "1 before");

  running->stop();
  std::string problem;
  EXPECT_EQ(troubledOn(laptop, {"notes", "add", "during"}, &problem), "0 1 before|2 during");
  EXPECT_NE(problem.find("cannot reach the cloud server at " + running->address()), std::string::npos)
      << problem;
  EXPECT_NE(cloudStatus(laptop).find("|pending: notesFromCloud"), std::string::npos);

  running->start();
  EXPECT_EQ(rowsOn(laptop, {"notes", "list"}), "1 before|2 during");
  EXPECT_EQ(cloudStatus(laptop).find("pending"), std::string::npos);
  EXPECT_EQ(rowsOn(phone, {"notes", "list"}), "1 before|2 during");
}

TEST_F(HttpsCommandLineTest, TwoServersOnOneRedisAnswerTheSameDevicesAndARevokeReachesBoth) {
  if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
  RedisTestServer redis;
  const std::string store = redis.address() + "/?namespace=person";
  auto first = serve("first", store);
  auto second = serve("second", store);
  const std::string token = addDevice("laptop");
  clitest::Device viaFirst = device("laptop", first->address(), token);
  clitest::Device viaSecond = device("phone", second->address(), token);

  EXPECT_EQ(rowsOn(viaFirst, {"notes", "add", "on redis"}), "1 on redis");
  EXPECT_EQ(rowsOn(viaSecond, {"notes", "list"}), "1 on redis");
  okOn(server_, {"devices", "revoke", "laptop"});
  std::string viaFirstSaid, viaSecondSaid;
  troubledOn(viaFirst, {"notes", "add", "after"}, &viaFirstSaid);
  troubledOn(viaSecond, {"notes", "add", "after"}, &viaSecondSaid);
  EXPECT_EQ(std::regex_replace(viaFirstSaid + "|" + viaSecondSaid,
                               std::regex("[^|]*refused this device's token[^|]*"), "refused"),
            "refused|refused");
}

}  // namespace
}  // namespace quillbox
