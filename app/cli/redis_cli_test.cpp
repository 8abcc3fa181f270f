// Two devices on one Redis server, driven as a person would: each command its own process. The
// store's own tests cover its contract; these show that the command line and the store keep a
// person's lists together, through an outage and a refused login.

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "platform/main_queue.h"
#include "platform/transports/redis_test_server.h"

namespace quillbox {
namespace {

using clitest::items;
using clitest::joined;
using clitest::Outcome;

// A Redis server of the test's own, devices as homes in one temporary folder. No run may ever
// print a password.
class RedisCommandLineTest : public clitest::CommandLineFixture {
 protected:
  void SetUp() override {
    if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
    MainQueue::main().runUntilIdle();  // whatever an earlier test left behind
  }

  void startServer(RedisTestServer::Options options = {}) {
    server_ = std::make_unique<RedisTestServer>(std::move(options));
  }
  // "redis://[credentials@]127.0.0.1:PORT/?namespace=NAME", or the same on a Unix socket.
  std::string address(const std::string& credentials, const std::string& nameSpace, bool shown) const {
    std::string base = server_->address();
    if (!credentials.empty()) base.insert(base.find("://") + 3, credentials + "@");
    const bool unix = base.starts_with("unix:");
    return base + (unix ? "" : shown ? "/0" : "/") + "?namespace=" + nameSpace;
  }
  // The address as the store shows it.
  std::string masked(const std::string& credentials = "", const std::string& nameSpace = "quillbox") const {
    return address(credentials, nameSpace, true);
  }
  clitest::Device redisDevice(const std::string& home, const std::string& credentials = "",
                              const std::string& nameSpace = "quillbox") const {
    return clitest::Device(folder_.path() / home, address(credentials, nameSpace, false), folder_.path());
  }

  Outcome run(const clitest::Device& on, const std::vector<std::string>& args,
              const std::string& input = "") override {
    Outcome outcome = on.run(args, input);
    for (const char* secret : {"alice-pw", "wrong-pw", "adminpw"}) {
      EXPECT_EQ((outcome.out + outcome.err).find(secret), std::string::npos)
          << joined(args) << " printed " << secret;
    }
    return outcome;
  }

  std::unique_ptr<RedisTestServer> server_;
};

TEST_F(RedisCommandLineTest, AnAddOnOneDeviceIsListedOnTheOtherAndTheCloudWinsAtLoad) {
  startServer();
  clitest::Device a = redisDevice("A"), b = redisDevice("B");
  okOn(a, {"notes", "add", "from A"});
  EXPECT_EQ(rowsOn(b, {"notes", "list"}), "1 from A");

  okOn(b, {"store", "set", "stringNotes", items({"B only"})});  // a local list the cloud never had
  EXPECT_EQ(rowsOn(b, {"notes", "list"}), "1 from A");
  EXPECT_EQ(valueOn(b, "store", "stringNotes"), items({"from A"}));

  okOn(b, {"notes", "add", "from B"});
  okOn(a, {"tasks", "add", "x"});
  okOn(a, {"tasks", "toggle", "1"});
  EXPECT_EQ(rowsOn(a, {"notes", "list"}) + " / " + rowsOn(b, {"tasks", "list"}),
            "1 from A|2 from B / 1 [x] x");
  EXPECT_EQ(server_->held("quillbox:notesFromCloud") + " " +
                server_->held("quillbox:stringTasksFinishedIndicesFromCloud"),
            items({"from A", "from B"}) + " 0,");
  EXPECT_EQ(cloudStatus(a), "store: " + masked() + "|status: ok");
  EXPECT_EQ(refusedOn(a, {"cloud", "get", "neverSet"}), "1 quillbox: cloud: nothing under neverSet");
}

TEST_F(RedisCommandLineTest, AnEditMadeWhileTheServerIsDownIsKeptReportedAndSentOnTheNextVisit) {
  startServer();
  clitest::Device a = redisDevice("A"), b = redisDevice("B");
  okOn(a, {"notes", "add", "before"});
  ASSERT_EQ(rowsOn(b, {"notes", "list"}), "1 before");

  server_->stop();
  const std::string unreachable = "cannot reach the Redis server at " + masked() + ": Connection refused";
  std::string problem;
  EXPECT_EQ(troubledOn(a, {"notes", "add", "offline"}, &problem), "0 1 before|2 offline");
  EXPECT_EQ(problem, "quillbox: cloud: " + unreachable + "; kept here, not yet sent: notesFromCloud");
  EXPECT_EQ(cloudStatus(a), "store: " + masked() + "|status: " + unreachable + "|pending: notesFromCloud");
  EXPECT_EQ(troubledOn(b, {"notes", "list"}, &problem), "0 1 before");  // B works on its own copy
  EXPECT_EQ(problem, "quillbox: cloud: " + unreachable);

  server_->start();  // the same port, empty
  EXPECT_EQ(rowsOn(a, {"notes", "list"}), "1 before|2 offline");
  EXPECT_EQ(cloudStatus(a), "store: " + masked() + "|status: ok");
  EXPECT_EQ(rowsOn(b, {"notes", "list"}), "1 before|2 offline");
}

TEST_F(RedisCommandLineTest, AWrongPasswordIsRefusedOnceClearlyNeverShownAndTheEditWaitsForTheRightOne) {
  startServer(
      {.unixSocket = false, .config = {"requirepass adminpw", "user alice on >alice-pw ~alice:* +@all"}});
  clitest::Device laptop = redisDevice("laptop", "alice:alice-pw", "alice");
  okOn(laptop, {"notes", "add", "hers"});

  const std::string refused =
      "the Redis server at " + masked("alice:****", "alice") +
      " refused the login: WRONGPASS invalid username-password pair or user is disabled.";
  clitest::Device typo = redisDevice("phone", "alice:wrong-pw", "alice");
  std::string problem;
  EXPECT_EQ(troubledOn(typo, {"notes", "add", "mine"}, &problem), "0 1 mine");
  EXPECT_EQ(problem, "quillbox: cloud: " + refused + "; kept here, not yet sent: notesFromCloud");
  EXPECT_EQ(cloudStatus(typo),
            "store: " + masked("alice:****", "alice") + "|status: " + refused + "|pending: notesFromCloud");
  EXPECT_EQ(server_->held("alice:notesFromCloud", "adminpw"), items({"hers"}));

  clitest::Device tablet = redisDevice("tablet", "alice", "alice").with("QUILLBOX_REDIS_PASSWORD=wrong-pw");
  EXPECT_EQ(troubledOn(tablet, {"notes", "list"}, &problem), "0 ");
  EXPECT_EQ(problem, "quillbox: cloud: " + refused);

  // The right password on the same device sends what waited, merged onto what the laptop wrote.
  clitest::Device fixed = redisDevice("phone", "alice:alice-pw", "alice");
  EXPECT_EQ(rowsOn(fixed, {"notes", "list"}), "1 hers|2 mine");
  EXPECT_EQ(cloudStatus(fixed), "store: " + masked("alice:****", "alice") + "|status: ok");
  EXPECT_EQ(rowsOn(laptop, {"notes", "list"}), "1 hers|2 mine");
}

}  // namespace
}  // namespace quillbox
