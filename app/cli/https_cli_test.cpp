// Devices that reach a real `quillbox serve` over HTTPS, each command its own process, with a
// certificate made for the test by the openssl command.

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "app/cli/serve_test_support.h"
#include "platform/transports/redis_test_server.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using clitest::ServeProcess;

class HttpsCommandLineTest : public clitest::CommandLineFixture {
 protected:
  void SetUp() override {
    if (!clitest::makeCertificate(folder_.path()))
      GTEST_SKIP() << "the openssl command cannot make a certificate";
  }

  // A server with its own home, on cloud (its home's folder when empty). Without tls, plain HTTP
  // on this machine.
  std::unique_ptr<ServeProcess> serve(const std::string& name, const std::string& cloud = "",
                                      bool tls = true) {
    const std::string store = cloud.empty() ? file(name + "/cloud") : cloud;
    server_ = clitest::Device(folder_.path() / name, store, folder_.path());
    std::vector<std::string> args{"--home", server_.home().string(), "--cloud", store, "serve"};
    if (tls) args.insert(args.end(), {"--tls-cert", file("cert.pem"), "--tls-key", file("key.pem")});
    return std::make_unique<ServeProcess>(std::move(args), folder_.path() / (name + ".log"));
  }
  // `devices add NAME` on the server: the token it printed.
  std::string addDevice(const std::string& name) {
    std::string added = okOn(server_, {"devices", "add", name});
    std::size_t at = added.find("QUILLBOX_CLOUD_TOKEN=");
    return at == std::string::npos ? "" : added.substr(at + 21, 64);
  }
  // A device of its own home on the server at address, its token kept in <home>/cloud-token.
  clitest::Device device(const std::string& name, const std::string& address, const std::string& token) {
    fs::create_directories(folder_.path() / name);
    std::ofstream(file(name + "/cloud-token")) << token << "\n";
    fs::permissions(file(name + "/cloud-token"), fs::perms::owner_read | fs::perms::owner_write);
    return clitest::Device(folder_.path() / name, address, folder_.path())
        .with("QUILLBOX_CLOUD_CA=" + file("cert.pem"));
  }
  clitest::Device server_{"", "", ""};
};

// Two devices sync through the server, here over plain HTTP as serve announces itself on this
// machine without TLS, and the cloud wins at load; an edit made while the server is stopped is kept
// and sent by the next visit once it is back; a device the server revokes is refused at once and
// keeps its edits pending.
TEST_F(HttpsCommandLineTest, TwoDevicesSyncThroughTheServerAcrossAStopAndARevokedOneKeepsItsEdits) {
  auto running = serve("server", "", false);
  ASSERT_EQ(running->address().substr(0, 7), "http://");
  clitest::Device laptop = device("laptop", running->address(), addDevice("laptop"));
  clitest::Device phone = device("phone", running->address(), addDevice("phone"));
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

// Over TLS, with the certificate the devices are told to trust.
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
