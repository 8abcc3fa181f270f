#include "platform/sync/cloud_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
  std::string files() { return fileNames(folder_); }

  TempFolder temp_;
  std::filesystem::path root_ = temp_.path();
  fs::path folder_ = root_ / "cloud";
  std::unique_ptr<FolderTransport> transport_;
};

TEST_F(FolderTransportTest, OneFilePerKeyHoldingTheValueAbsentIsNothingEmptyIsEmpty) {
  write("notesFromCloud", std::string("a\xff\0NOTES_SEPARATORb", 19));
  write("tasksFromCloud", "first");
  write("tasksFromCloud", "");
  EXPECT_EQ(read("notesFromCloud") + read("tasksFromCloud") + read("taggedNotesFromCloud"),
            std::string("[a\xff\0NOTES_SEPARATORb][]nothing", 30));
  EXPECT_EQ(files() + " " +
                std::to_string(static_cast<int>(fs::status(folder_ / "notesFromCloud").permissions())) + " " +
                folder().describe(),
            "notesFromCloud tasksFromCloud 384 " + folder_.string());
}

TEST_F(FolderTransportTest, AReaderSeesTheOldValueOrTheNewOneNeverAPart) {
  const std::string as(1 << 20, 'a');
  const std::string bs((1 << 20) + 7, 'b');
  write("notesFromCloud", as);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    auto other = FolderTransport::open(folder_);
    while (!done) {
      auto value = other.value()->get("notesFromCloud");
      if (!value.ok() || !value.value() || (*value.value() != as && *value.value() != bs)) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 40; ++i) write("notesFromCloud", i % 2 ? as : bs);
  while (reads < 5) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(std::to_string(torn.load()) + " " + files(),
            "0 notesFromCloud");  // no temporary file left behind
}

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
  EXPECT_EQ(files(), ".notesFromCloud .tmp-4242-1-1 notesFromCloud");
}

TEST_F(FolderTransportTest, KeysThatAreNotPlainNamesAreRefusedAndTouchNothing) {
  std::ofstream(root_ / "outside") << "secret";
  const std::vector<std::string> badKeys = {
      "",      ".",        "..",      "../outside",         "a/b", std::string("a\0b", 3),
      "tab\t", "bell\x07", ".hidden", std::string(256, 'k')};
  for (const auto& key : badKeys) {
    SCOPED_TRACE("key [" + key + "]");
    Status refused = folder().set(key, "dropped");
    EXPECT_EQ(refused.code(), Status::Code::invalid);
    EXPECT_NE(refused.message().find("not a plain file name"), std::string::npos) << refused.message();
    EXPECT_EQ(read(key).substr(0, 7), "error: ");
  }
  write(std::string(255, 'k'), "v");
  write("a b…c", "v");
  EXPECT_EQ(std::to_string(fs::file_size(root_ / "outside")) + read(std::string(255, 'k')) + read("a b…c") +
                " " + files(),
            "6[v][v] a b…c " + std::string(255, 'k'));
}

// No read may wait for a writer that never comes; whatever stands where a value goes stays.
TEST_F(FolderTransportTest, AKeyThatIsAFifoOrAFolderIsRefusedAtOnceAndLeftAlone) {
  ASSERT_EQ(::mkfifo((folder_ / "notesFromCloud").c_str(), 0600), 0);
  fs::create_directories(folder_ / "tasksFromCloud" / "inside");
  const std::string reads = read("notesFromCloud") + " " + read("tasksFromCloud") + " ";
  const int written = folder().set("notesFromCloud", "v").ok() + folder().set("tasksFromCloud", "v").ok();
  EXPECT_EQ(reads + std::to_string(written + fs::is_fifo(folder_ / "notesFromCloud")) +
                files(),  // no temporary left
            "error: cannot read \"" + (folder_ / "notesFromCloud").string() +
                "\": it is a FIFO, not a regular file error: cannot read \"" +
                (folder_ / "tasksFromCloud").string() +
                "\": it is a folder, not a regular file 1notesFromCloud tasksFromCloud");
}

TEST_F(FolderTransportTest, AFolderRemovedUnderTheTransportIsMadeAgainOnWriteAndABlockedOneIsRefused) {
  fs::remove_all(folder_);
  write("notesFromCloud", "back");
  EXPECT_EQ(read("notesFromCloud"), "[back]");

  std::ofstream(root_ / "file") << "x";
  auto blocked = FolderTransport::open(root_ / "file" / "cloud");
  ASSERT_FALSE(blocked.ok());
  EXPECT_NE(blocked.status().message().find((root_ / "file").string()), std::string::npos);
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
    if (server.ok()) {
      EXPECT_NE(server.value()->describe().find(address[0] == 'r' ? "redis" : "unix"), std::string::npos);
    }
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
  EXPECT_EQ(std::set<CloudStore*>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_EQ(made.load(), 1);
  configureSharedCloudStore([]() -> std::unique_ptr<CloudStore> { return nullptr; });  // too late: ignored
  EXPECT_EQ(&sharedCloudStore(), seen[0]);
}

}  // namespace
}  // namespace quillbox
