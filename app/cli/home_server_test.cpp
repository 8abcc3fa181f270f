// What a person setting up a home server meets: the addresses devices are sent to, the cloud
// stores --cloud takes, usage errors, delete and toggle guarded by the row's text; and devices that
// reach real `quillbox serve` processes, each command its own process: one server over plain HTTP,
// as serve announces itself on this machine without TLS, and one over TLS with a certificate made
// for the test by the openssl command, both on one Redis.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "platform/transports/redis_test_server.h"
#include "platform/web/http_client_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

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
    pid_ = clitest::spawnQuillbox(args, &actions, env);
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
    EXPECT_EQ(clitest::waitExited(pid_), 0) << said();
    pid_ = -1;
  }
  std::string said() const { return clitest::fileContents(log_); }
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

class HomeServerTest : public clitest::CommandLineFixture {
 protected:
  // Runs `serve` on the phone's home until it has announced itself: the first address it printed.
  std::string announced(std::vector<std::string> args, bool journal = false) {
    args.insert(args.begin(), {"--home", phone_.home().string(), "serve"});
    const std::string said = ServeProcess(args, folder_.path() / "serve.log", journal).said();
    std::smatch first;
    return std::regex_search(said, first, std::regex("\n  (\\S+)\n")) ? first[1].str() : said;
  }
  // What `devices add` printed: the laptop's origin and the phone's link, the token as "T".
  std::string sentTo(const std::string& name, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"devices", "add", name});
    std::string out = std::regex_replace(ok(more), std::regex("[0-9a-f]{64}"), "T");
    std::smatch laptop, phone;
    std::regex_search(out, laptop, std::regex("QUILLBOX_CLOUD=(\\S+) "));
    std::regex_search(out, phone, std::regex("\n  (\\S+/device/\\S+)\n"));
    return laptop[1].str() + " " + phone[1].str();
  }
};

TEST_F(HomeServerTest, DevicesAreSentToTheOneOriginServeAnnounced) {
  // Before serve has announced anything, or when what the file holds is no origin of ours (a path,
  // a scheme, terminal controls), nothing is printed and no device is added.
  fs::create_directories(phone_.home());
  for (const char* junk : {"", "https://a.example/x", "javascript:alert(1)", "http://a\x1b[2J", "http://"}) {
    std::ofstream(phone_.home() / "web-address") << junk;
    EXPECT_EQ(refused({"devices", "add", "early"}).substr(0, 55),
              "2 quillbox: devices add: no server address is known yet")
        << junk;
  }
  std::string page = announced({"--listen", "127.0.0.1:0"});
  std::string origin = page.substr(0, page.find("/#token="));
  std::string flat = std::regex_replace(origin, std::regex(":[0-9]+$"), ":PORT") + " | " +
                     std::regex_replace(sentTo("laptop"), std::regex(origin), "ORIGIN") + " | " +
                     (ok({"address"}) == page + "\n" ? "address" : ok({"address"}));
  // Behind a proxy; and to the journal, which the page's secret stays out of.
  flat += " | " + announced({"--listen", "127.0.0.1:0", "--public-origin", "https://q.example.org/",
                             "--public-origin", "https://q2.example.org:8443"},
                            true);
  flat += " | " + sentTo("phone") + " | " + sentTo("tablet", {"--server", "https://[fd00::2]:8443/"});
  EXPECT_EQ(flat,
            "http://127.0.0.1:PORT | ORIGIN/ ORIGIN/device/#token=T | address | https://q.example.org/ | "
            "https://q.example.org/ "
            "https://q.example.org/device/#token=T | https://[fd00::2]:8443/ "
            "https://[fd00::2]:8443/device/#token=T");
  // On every interface over TLS: named as its certificate names it, the name a device's check accepts.
  ASSERT_TRUE(web::makeCertificate(folder_.path(), "DNS:homeserver.test,IP:127.0.0.1"));
  std::string wide =
      announced({"--listen", "0.0.0.0:0", "--tls-cert", file("cert.pem"), "--tls-key", file("key.pem")});
  EXPECT_EQ(std::regex_replace(wide, std::regex(":[0-9]+/#token=.*"), ":PORT"),
            "https://homeserver.test:PORT");
  EXPECT_EQ(refused({"serve", "--public-origin", "https://q.example.org/path"}),
            "2 quillbox: --public-origin wants an origin, https://HOST[:PORT] with no path: "
            "https://q.example.org/path");
}

TEST_F(HomeServerTest, ACloudFormItDoesNotKnowExits2AndMakesNothing) {
  for (const char* spec : {"ftp://x", "rediss://h:6379", "http://192.168.1.5:8080/", "http://u@127.0.0.1/"}) {
    clitest::Device odd(folder_.path() / "odd", spec, folder_.path());
    EXPECT_EQ(refusedOn(odd, {"notes", "add", "x"}).substr(0, 20), "2 quillbox: --cloud:") << spec;
    EXPECT_FALSE(fs::exists(std::string(spec).substr(0, std::string(spec).find(':') + 1))) << spec;
  }
  EXPECT_FALSE(fs::exists(folder_.path() / "odd"));
  clitest::Device viaUrl(folder_.path() / "url", "file://" + file("shared"), folder_.path());
  EXPECT_EQ(rowsOn(viaUrl, {"notes", "add", "x"}), "1 x");
  EXPECT_EQ(clitest::fileContents(file("shared") + "/notesFromCloud"), clitest::items({"x"}));
}

TEST_F(HomeServerTest, AUsageErrorNamesTheCommandAndTheClosestOne) {
  std::string said;
  for (std::vector<std::string> args : {std::vector<std::string>{"nots", "list"},
                                        {"notes", "lst"},
                                        {"notes", "list", "--jsn"},
                                        {"tasks"},
                                        {"serve", "--listen", "localhost"},
                                        {"serve", "--tls-cert", "/nonexistent/c.pem", "--tls-key", "k.pem"}})
    said += refused(args) + "\n";
  EXPECT_EQ(said,
            "2 quillbox: no command \"nots\"; did you mean \"notes\"? (see quillbox --help)\n"
            "2 quillbox notes: no command \"lst\"; did you mean \"list\"? (see quillbox notes --help)\n"
            "2 quillbox notes list: no option \"--jsn\"; did you mean \"--json\"? (see quillbox notes list "
            "--help)\n"
            "2 quillbox tasks: a command is needed: list, add, toggle, delete (see quillbox tasks --help)\n"
            "2 quillbox: --listen wants HOST:PORT, and localhost has no port (e.g. localhost:8080)\n"
            "2 quillbox: --tls-cert: cannot read /nonexistent/c.pem: No such file or directory\n");
}

TEST_F(HomeServerTest, DeleteAndToggleActOnlyWhileTheRowHoldsTheTextTheySaw) {
  for (const char* text : {"a", "b", "a"}) ok({"notes", "add", text});
  ok({"tasks", "add", "x"});
  ok({"tags", "add", "--tag", "blue", "sky"});
  ok({"tags", "add", "plain"});
  const std::string before = stored("stringNotes") + stored("stringTasksFinishedIndices");
  std::string said;
  for (std::vector<std::string> args : {std::vector<std::string>{"notes", "delete", "2", "--text", "a"},
                                        {"tasks", "toggle", "1", "--text", "y"},
                                        {"notes", "delete", "--text", "zz"}})
    said += refused(args) + "\n";
  EXPECT_EQ(stored("stringNotes") + stored("stringTasksFinishedIndices"), before);
  for (std::vector<std::string> args : {std::vector<std::string>{"tasks", "toggle", "1", "--text", "x"},
                                        {"notes", "delete", "3", "--text", "a"},
                                        {"notes", "delete", "--text", "b"},
                                        {"tags", "delete", "--text", "sky"}})
    said += rows(args) + "\n";
  said += Json::parse(ok({"tags", "list", "--json"})).dump();
  EXPECT_EQ(said,
            "2 quillbox: notes delete: row 2 now holds \"b\", not \"a\"; nothing was changed\n"
            "2 quillbox: tasks toggle: row 1 now holds \"x\", not \"y\"; nothing was changed\n"
            "2 quillbox: notes delete: no note is \"zz\"\n"
            "marked \"x\" finished|1 [x] x\n"
            "deleted 2 entries equal to \"a\"|1 b\n"
            "deleted 1 entry equal to \"b\"\n"
            "deleted 1 entry equal to \"🔵  sky\"|1 🔴  plain\n"
            R"([{"number":1,"text":"🔴  plain","label":"text","tag":"red"}])");
}

class HttpsCommandLineTest : public clitest::CommandLineFixture {
 protected:
  void SetUp() override {
    if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
    if (!web::makeCertificate(folder_.path(), "IP:127.0.0.1"))
      GTEST_SKIP() << "the openssl command cannot make a certificate";
  }

  // A server with its own home on the cloud store; without tls, plain HTTP on this machine.
  std::unique_ptr<ServeProcess> serve(const std::string& name, const std::string& cloud, bool tls) {
    server_ = clitest::Device(folder_.path() / name, cloud, folder_.path());
    std::vector<std::string> args{"--home", server_.home().string(), "--cloud", cloud, "serve"};
    if (tls) args.insert(args.end(), {"--tls-cert", file("cert.pem"), "--tls-key", file("key.pem")});
    return std::make_unique<ServeProcess>(std::move(args), folder_.path() / (name + ".log"));
  }
  // A device of its own home on the server at address, added on the last server's home, the token
  // that printed kept in <home>/cloud-token.
  clitest::Device device(const std::string& name, const std::string& address) {
    const std::string added = okOn(server_, {"devices", "add", name});
    const std::size_t at = added.find("QUILLBOX_CLOUD_TOKEN=");
    fs::create_directories(folder_.path() / name);
    std::ofstream(file(name + "/cloud-token"))
        << (at == std::string::npos ? "" : added.substr(at + 21, 64)) << "\n";
    fs::permissions(file(name + "/cloud-token"), fs::perms::owner_read | fs::perms::owner_write);
    return clitest::Device(folder_.path() / name, address, folder_.path())
        .with("QUILLBOX_CLOUD_CA=" + file("cert.pem"));
  }
  clitest::Device server_{"", "", ""};
};

// Two devices sync through the two servers and the cloud wins at load; an edit made while its server
// is stopped is kept and sent by the next visit once it is back; a device revoked from the other
// server's home is refused at once and keeps its edits pending.
TEST_F(HttpsCommandLineTest, TwoDevicesSyncThroughTwoServersAcrossAStopAndARevokedOneKeepsItsEdits) {
  RedisTestServer redis;
  const std::string store = redis.address() + "/?namespace=person";
  auto running = serve("plain", store, false);
  ASSERT_EQ(running->address().substr(0, 7), "http://");
  clitest::Device laptop = device("laptop", running->address());
  auto overTls = serve("tls", store, true);
  clitest::Device phone = device("phone", overTls->address());
  std::string flow = rowsOn(laptop, {"notes", "add", "from the laptop"});
  okOn(phone, {"store", "set", "stringNotes", "only herexNOTES_SEPARATOR"});
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"notes", "list"}, {"tasks", "add", "buy milk"}, {"tasks", "toggle", "1"}})
    flow += " / " + rowsOn(phone, args);
  flow += " / " + rowsOn(laptop, {"tasks", "list"});
  flow += " / " + rowsOn(server_, {"notes", "list"});
  EXPECT_EQ(flow,
            "1 from the laptop / 1 from the laptop / 1 [ ] buy milk / marked \"buy milk\" finished|1 [x] buy "
            "milk / 1 [x] buy milk / 1 from the laptop");
  EXPECT_NE(okOn(server_, {"devices", "list"}).find("laptop\tadded "), std::string::npos);

  running->stop();
  std::string problem;
  EXPECT_EQ(troubledOn(laptop, {"notes", "add", "during"}, &problem), "0 1 from the laptop|2 during");
  EXPECT_NE(problem.find("cannot reach the cloud server at " + running->address()), std::string::npos)
      << problem;
  EXPECT_NE(cloudStatus(laptop).find("|pending: notesFromCloud"), std::string::npos);
  running->start();
  EXPECT_EQ(rowsOn(laptop, {"notes", "list"}), "1 from the laptop|2 during");  // sent by this visit
  EXPECT_EQ(cloudStatus(laptop).find("pending"), std::string::npos);
  EXPECT_EQ(rowsOn(phone, {"notes", "list"}), "1 from the laptop|2 during");

  okOn(server_, {"devices", "revoke", "laptop"});
  EXPECT_EQ(troubledOn(laptop, {"notes", "add", "kept"}, &problem), "0 1 from the laptop|2 during|3 kept");
  EXPECT_NE(problem.find("refused this device's token"), std::string::npos) << problem;
  EXPECT_NE(cloudStatus(laptop).find("|pending: notesFromCloud"), std::string::npos);
  EXPECT_EQ(rowsOn(phone, {"notes", "list"}), "1 from the laptop|2 during");
  EXPECT_EQ(run(server_, {"devices", "revoke", "laptop"}).code, 2);
}

}  // namespace
}  // namespace quillbox
