// The conditional group write of the folder and Redis backings, against the same table: all or
// none, only over the base. (Two devices taking turns: app/cli/two_devices_test.cpp.)

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/temp_folder_test_support.h"
#include "platform/transports/folder_transport.h"
#include "platform/transports/redis_address.h"
#include "platform/transports/redis_test_server.h"
#include "platform/transports/redis_transport.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

class ConditionalWriteTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() != "redis") return;
    if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
    server_ = std::make_unique<RedisTestServer>();
  }
  // A device's own way to the backing.
  std::unique_ptr<CloudTransport> device() const {
    if (!server_) return std::move(FolderTransport::open(folder_.path()).value());
    return std::make_unique<RedisTransport>(parseRedisAddress(server_->address()).value());
  }
  static std::string held(CloudTransport& on, std::string_view key) {
    Result<std::optional<std::string>> got = on.get(key);
    return !got.ok() ? got.status().message() : got.value().value_or("(nothing)");
  }
  static std::string outcome(const Status& status) { return status.ok() ? "ok" : status.message(); }

  TempFolder folder_;
  std::unique_ptr<RedisTestServer> server_;
};

TEST_P(ConditionalWriteTest, AGroupIsWrittenWholeOnlyWhileEveryKeyHoldsItsBase) {
  std::unique_ptr<CloudTransport> cloud = device();
  ASSERT_TRUE(cloud->set("tasks", "t0").ok());
  std::string log =
      outcome(cloud->setIf(std::vector<ConditionalWrite>{{"tasks", "t1", "t0"}, {"marks", "m1", {}}}));
  log += " " + held(*cloud, "tasks") + " " + held(*cloud, "marks");
  Status moved = cloud->setIf(std::vector<ConditionalWrite>{{"tasks", "t2", "t1"}, {"marks", "m2", "m0"}});
  log += " | " + outcome(moved) + " " + held(*cloud, "tasks") + " " + held(*cloud, "marks");
  EXPECT_EQ(moved.code(), Status::Code::conflict);
  log += " | " + outcome(cloud->setIf(std::vector<ConditionalWrite>{{"marks", "m3", {}}}));
  // Sent again after its answer was lost: the backing already holds it.
  log += " | " + outcome(cloud->setIf(std::vector<ConditionalWrite>{{"tasks", "t1", "t0"}}));
  log += " | " + outcome(cloud->setIf(std::vector<ConditionalWrite>{{"tasks", "", "t1"}}));
  log += " [" + held(*cloud, "tasks") + "]";
  // No device removes a key: one that holds nothing was lost, and any write may fill it.
  log += " | " + outcome(cloud->setIf(std::vector<ConditionalWrite>{{"lost", "l", "was"}}));
  EXPECT_EQ(log,
            "ok t1 m1 | the cloud copy of marks changed meanwhile t1 m1 | the cloud copy of marks changed "
            "meanwhile | ok | ok [] | ok");
}

// A named write made, its answer lost, then written over: sent again, Redis knows it made it; a folder
// keeps no names. A write without a name, or a group with one never made, is held back; an entry
// added, deleted and added again is three writes, each made; on its base again, a write made before is
// not made again where the backing keeps names (a folder cannot tell, and brings its entries back).
TEST_P(ConditionalWriteTest, AWriteSentAgainAfterOthersWroteOverItIsMadeOnceWhereTheBackingKeepsNames) {
  std::unique_ptr<CloudTransport> cloud = device();
  ASSERT_TRUE(cloud->set("tasks", "t").ok());
  const ConditionalWrite mine{"tasks", "t a", "t", "n1"}, theirs{"tasks", "t a b", "t a", "n2"},
      unnamed{"tasks", "t a", "t"}, marks{"marks", "m", "m0", "n3"}, add{"tasks", "t a b c", "t a b", "n4"},
      remove{"tasks", "t a b", "t a b c", "n5"}, again{"tasks", "t a b c", "t a b", "n6"},
      back{"tasks", "t", "t a b c", "n7"};
  const std::vector<std::vector<ConditionalWrite>> sends{{mine}, {theirs}, {mine},  {unnamed}, {mine, marks},
                                                         {add},  {remove}, {again}, {back},    {mine}};
  std::string log;
  for (const std::vector<ConditionalWrite>& group : sends) {
    log += cloud->setIf(group).ok() ? "ok " : "moved ";  // before what it left
    log += held(*cloud, "tasks") + "|";
  }
  EXPECT_EQ(
      log, std::string(GetParam() == "redis" ? "ok t a|ok t a b|ok t a b|" : "ok t a|ok t a b|moved t a b|") +
               "moved t a b|moved t a b|ok t a b c|ok t a b|ok t a b c|ok t|" +
               (GetParam() == "redis" ? "ok t|" : "ok t a|"));
}

INSTANTIATE_TEST_SUITE_P(Backing, ConditionalWriteTest, ::testing::Values("folder", "redis"));

}  // namespace
}  // namespace quillbox
