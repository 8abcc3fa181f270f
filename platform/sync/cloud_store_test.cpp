#include "platform/sync/cloud_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/temp_folder_test_support.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/folder_transport.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// A read as a person would say it: the value in brackets, nothing, or the reason it failed.
std::string shown(const Result<std::optional<std::string>>& read) {
  if (!read.ok()) return "error: " + read.status().message();
  return read.value() ? "[" + *read.value() + "]" : "nothing";
}

class FolderTransportTest : public ::testing::Test {
 protected:
  FolderTransportTest() { folder(); }  // made

  FolderTransport& folder() {
    if (!transport_) {
      auto made = FolderTransport::open(folder_);
      EXPECT_TRUE(made.ok()) << made.status().message();
      transport_ = std::move(made.value());
    }
    return *transport_;
  }
  std::string read(std::string_view key) { return shown(folder().get(key)); }
  void write(std::string_view key, std::string_view value) {
    Status written = folder().set(key, value);
    EXPECT_TRUE(written.ok()) << written.message();
  }

  TempFolder temp_;
  std::filesystem::path root_ = temp_.path();
  fs::path folder_ = root_ / "cloud";
  std::unique_ptr<FolderTransport> transport_;
};

TEST_F(FolderTransportTest, TemporaryFilesOfAKilledWriterAreNeverReadAndSweptWhenOld) {
  write("notesFromCloud", "whole");
  std::ofstream(folder_ / ".tmp-4242-1-0") << "half a val";
  std::ofstream(folder_ / ".tmp-4242-1-1") << "half a val";
  std::ofstream(folder_ / ".notesFromCloud") << "hidden";
  EXPECT_EQ(read("notesFromCloud"), "[whole]");
  // The next transport on the folder removes the old one only: the other may be a write in progress.
  fs::last_write_time(folder_ / ".tmp-4242-1-0", fs::file_time_type::clock::now() - std::chrono::hours(2));
  transport_.reset();
  folder();
  EXPECT_EQ(fileNames(folder_), ".notesFromCloud .tmp-4242-1-1 notesFromCloud");
}

TEST_F(FolderTransportTest, KeysThatAreNotPlainNamesAreRefusedAndTouchNothing) {
  std::ofstream(root_ / "outside") << "secret";
  const std::vector<std::string> badKeys = {
      "",      ".",        "..",      "../outside",         "a/b", std::string("a\0b", 3),
      "tab\t", "bell\x07", ".hidden", std::string(256, 'k')};
  std::string log;  // a 1 for each key refused as it should be
  for (const auto& key : badKeys) {
    Status refused = folder().set(key, "dropped");
    log += std::to_string(refused.code() == Status::Code::invalid && read(key).starts_with("error: ") &&
                          refused.message().find("not a plain file name") != std::string::npos);
  }
  fs::remove_all(folder_);  // made again by the next write
  write(std::string(255, 'k'), "v");
  write("a b…c", "v");
  EXPECT_EQ(log + " " + std::to_string(fs::file_size(root_ / "outside")) + read(std::string(255, 'k')) +
                read("a b…c") + " " + fileNames(folder_),
            "1111111111 6[v][v] a b…c " + std::string(255, 'k'));
}

TEST_F(FolderTransportTest, TheFactoryTellsFoldersFromServerAddresses) {
  std::ofstream(root_ / "a-file") << "x";
  auto written = [&](const std::string& spec) {  // where a store made from spec says it is, once written
    auto made = makeCloudStore(CloudOptions(spec), root_);
    return made.ok() && made.value()->setString("x", "notesFromCloud").ok() ? made.value()->describe() : "-";
  };
  std::string log = written("") + " ";
  log += written(fs::relative(root_ / "elsewhere", fs::current_path()).string()) + " ";
  log += written((root_ / "a-file").string()) + " ";
  EXPECT_EQ(log + shown(FolderTransport::open(root_ / "elsewhere").value()->get("notesFromCloud")),
            (root_ / "cloud").string() + " " + (root_ / "elsewhere").string() + " - [x]");

  // A server address never becomes a folder, whatever the server says.
  for (const char* address : {"redis://127.0.0.1:1", "unix:///nonexistent/redis.sock"}) {
    auto server = makeCloudStore(CloudOptions(address), root_);
    EXPECT_TRUE(!server.ok() || server.value()->describe().starts_with(address[0] == 'r' ? "redis" : "unix"));
  }
  EXPECT_FALSE(fs::exists("redis:") || fs::exists("unix:"));
}

// The only test that touches the process-wide store.
TEST(SharedCloudStoreTest, MadeOnceOnFirstUseFromTheConfiguredMaker) {
  static bool ranBefore = false;  // --gtest_repeat: the store of this process is made already
  if (std::exchange(ranBefore, true)) GTEST_SKIP() << "the process-wide store is made once per process";
  std::atomic<int> made{0};
  configureSharedCloudStore([&made]() -> std::unique_ptr<CloudStore> {
    ++made;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // give other threads time to race
    return std::make_unique<MemoryCloudStore>();
  });
  std::vector<std::thread> users;
  std::vector<CloudStore*> seen(8);
  for (int i = 0; i < 8; ++i) users.emplace_back([&seen, i] { seen[i] = &sharedCloudStore(); });
  for (auto& user : users) user.join();
  configureSharedCloudStore([]() -> std::unique_ptr<CloudStore> { return nullptr; });  // too late: ignored
  EXPECT_EQ(std::to_string(std::set<CloudStore*>(seen.begin(), seen.end()).size()) + " made " +
                std::to_string(made.load()) + (&sharedCloudStore() == seen[0] ? " same" : " another"),
            "1 made 1 same");
}

}  // namespace
}  // namespace quillbox
