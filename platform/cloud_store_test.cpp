#include "platform/cloud_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// "nothing" for an absent value, else the value in brackets.
std::string shown(const std::optional<std::string>& value) { return value ? "[" + *value + "]" : "nothing"; }

TEST(MemoryCloudStoreTest, KeepsTheLastStringAndTellsNothingFromEmpty) {
  MemoryCloudStore store;
  store.setString("a", "notesFromCloud");
  store.setString("b", "notesFromCloud");
  store.setString("", "tasksFromCloud");
  EXPECT_EQ(shown(store.stringForKey("notesFromCloud")) + shown(store.stringForKey("tasksFromCloud")) +
                shown(store.stringForKey("taggedNotesFromCloud")),
            "[b][]nothing");
  EXPECT_EQ(store.writes(), 3);
}

class FolderCloudStoreTest : public ::testing::Test {
 protected:
  FolderCloudStoreTest() {
    std::string pattern = (fs::temp_directory_path() / "quillbox-cloud-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    folder_ = root_ / "cloud";
    store_ = std::make_unique<FolderCloudStore>(folder_);
  }
  ~FolderCloudStoreTest() override { fs::remove_all(root_); }

  std::string read(std::string_view key) { return shown(store_->stringForKey(key)); }
  // The names in the folder, sorted, joined by " ".
  std::string files() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : " ") + name;
    return out;
  }
  std::string fileContents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  fs::path root_;
  fs::path folder_;
  std::unique_ptr<FolderCloudStore> store_;
};

TEST_F(FolderCloudStoreTest, OneFilePerKeyHoldingTheValueAbsentIsNothingEmptyIsEmpty) {
  EXPECT_TRUE(store_->health().ok()) << store_->health().message();
  store_->setString("a\xffNOTES_SEPARATORb", "notesFromCloud");
  store_->setString("first", "tasksFromCloud");
  store_->setString("", "tasksFromCloud");
  EXPECT_EQ(read("notesFromCloud") + read("tasksFromCloud") + read("taggedNotesFromCloud"),
            "[a\xffNOTES_SEPARATORb][]nothing");
  EXPECT_EQ(files(), "notesFromCloud tasksFromCloud");
  EXPECT_EQ(fileContents(folder_ / "notesFromCloud"), "a\xffNOTES_SEPARATORb");
  EXPECT_EQ(store_->describe(), folder_.string());
  // Another store on the folder (another process, another device's sync) reads the same.
  FolderCloudStore other(folder_);
  EXPECT_EQ(shown(other.stringForKey("notesFromCloud")), "[a\xffNOTES_SEPARATORb]");
  EXPECT_TRUE(store_->health().ok()) << store_->health().message();
}

TEST_F(FolderCloudStoreTest, AReaderSeesTheOldValueOrTheNewOneNeverAPart) {
  const std::string as(1 << 20, 'a');
  const std::string bs((1 << 20) + 7, 'b');
  store_->setString(as, "notesFromCloud");
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    FolderCloudStore other(folder_);
    while (!done) {
      auto value = other.stringForKey("notesFromCloud");
      if (!value || (*value != as && *value != bs)) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 40; ++i) store_->setString(i % 2 ? as : bs, "notesFromCloud");
  while (reads < 5) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(files(), "notesFromCloud");  // no temporary file left behind
}

TEST_F(FolderCloudStoreTest, TemporaryFilesOfAKilledWriterAreNeverReadAndSweptWhenOld) {
  store_->setString("whole", "notesFromCloud");
  std::ofstream(folder_ / ".tmp-4242-1-0") << "half a val";
  std::ofstream(folder_ / ".tmp-4242-1-1") << "half a val";
  std::ofstream(folder_ / ".notesFromCloud") << "hidden";
  EXPECT_EQ(read("notesFromCloud"), "[whole]");
  EXPECT_EQ(read(".tmp-4242-1-0") + read(".notesFromCloud"), "nothingnothing");
  // The next store on the folder removes the old one only: the other may be a write in progress.
  fs::last_write_time(folder_ / ".tmp-4242-1-0", fs::file_time_type::clock::now() - std::chrono::hours(2));
  FolderCloudStore next(folder_);
  EXPECT_EQ(files(), ".notesFromCloud .tmp-4242-1-1 notesFromCloud");
  next.setString("next", "notesFromCloud");
  EXPECT_EQ(read("notesFromCloud"), "[next]");
}

TEST_F(FolderCloudStoreTest, KeysThatAreNotPlainNamesAreRefusedAndReported) {
  std::ofstream(root_ / "outside") << "secret";
  const std::vector<std::string> badKeys = {
      "",      ".",        "..",      "../outside",         "a/b", std::string("a\0b", 3),
      "tab\t", "bell\x07", ".hidden", std::string(256, 'k')};
  for (const auto& key : badKeys) {
    SCOPED_TRACE("key " + shown(key));
    store_->setString("dropped", key);
    EXPECT_EQ(read(key), "nothing");
    Status health = store_->health();
    EXPECT_FALSE(health.ok());
    EXPECT_NE(health.message().find("not a plain file name"), std::string::npos) << health.message();
  }
  EXPECT_EQ(files(), "");
  EXPECT_EQ(fileContents(root_ / "outside"), "secret");
  // Names that merely look odd are fine, and a good write clears the report.
  store_->setString("v", std::string(255, 'k'));
  store_->setString("v", "a b…c");
  EXPECT_EQ(read(std::string(255, 'k')) + read("a b…c"), "[v][v]");
  EXPECT_TRUE(store_->health().ok()) << store_->health().message();
}

TEST_F(FolderCloudStoreTest, IoFailuresGoToHealthAndNeverThrow) {
  // A folder under a plain file can never be made.
  std::ofstream(root_ / "file") << "x";
  FolderCloudStore blocked(root_ / "file" / "cloud");
  EXPECT_FALSE(blocked.health().ok());
  EXPECT_NO_THROW(blocked.setString("v", "notesFromCloud"));
  EXPECT_EQ(shown(blocked.stringForKey("notesFromCloud")), "nothing");
  Status health = blocked.health();
  EXPECT_NE(health.message().find((root_ / "file" / "cloud").string()), std::string::npos)
      << health.message();

  // A key whose file is a folder can be neither read nor replaced; the other keys still work.
  fs::create_directories(folder_ / "notesFromCloud" / "inside");
  store_->setString("v", "notesFromCloud");
  EXPECT_NE(store_->health().message().find("cannot write \"" + (folder_ / "notesFromCloud").string() + "\""),
            std::string::npos)
      << store_->health().message();
  EXPECT_EQ(files(), "notesFromCloud");  // the temporary file was removed
  store_->setString("t", "tasksFromCloud");
  EXPECT_TRUE(store_->health().ok());
  EXPECT_EQ(read("notesFromCloud"), "nothing");
  EXPECT_NE(store_->health().message().find("not a file"), std::string::npos) << store_->health().message();
  EXPECT_EQ(read("tasksFromCloud"), "[t]");
}

TEST_F(FolderCloudStoreTest, AFolderRemovedUnderTheStoreIsMadeAgainOnWrite) {
  fs::remove_all(folder_);
  store_->setString("back", "notesFromCloud");
  EXPECT_EQ(read("notesFromCloud"), "[back]");
  EXPECT_TRUE(store_->health().ok()) << store_->health().message();
}

TEST_F(FolderCloudStoreTest, TheFactoryTellsFoldersFromServerAddresses) {
  auto embedded = makeCloudStore("", root_);
  ASSERT_TRUE(embedded.ok()) << embedded.status().message();
  EXPECT_EQ(embedded.value()->describe(), (root_ / "cloud").string());

  fs::path relative = fs::relative(root_ / "elsewhere", fs::current_path());
  auto named = makeCloudStore(relative.string(), root_);
  ASSERT_TRUE(named.ok()) << named.status().message();
  EXPECT_EQ(named.value()->describe(), (root_ / "elsewhere").string());
  named.value()->setString("x", "notesFromCloud");
  EXPECT_TRUE(fs::is_regular_file(root_ / "elsewhere" / "notesFromCloud"));

  std::ofstream(root_ / "a-file") << "x";
  auto onFile = makeCloudStore((root_ / "a-file").string(), root_);
  EXPECT_FALSE(onFile.ok());

  // A server address never becomes a folder, whatever the server says.
  for (const char* address : {"redis://127.0.0.1:1", "unix:///nonexistent/redis.sock"}) {
    auto server = makeCloudStore(address, root_);
    if (server.ok()) {
      EXPECT_NE(server.value()->describe().find(address[0] == 'r' ? "redis" : "unix"), std::string::npos);
    }
  }
  EXPECT_FALSE(fs::exists(fs::current_path() / "redis:"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "unix:"));
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
  sharedCloudStore().setString("kept", "notesFromCloud");
  EXPECT_EQ(shown(sharedCloudStore().stringForKey("notesFromCloud")), "[kept]");
}

}  // namespace
}  // namespace quillbox
