#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/fault_seam.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// Runs body in a forked child and gives its pid. The child does no GoogleTest work and leaves
// through _exit with body's result.
pid_t forkChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid;
}

// "exit 0", "killed 9", ...
std::string waitFor(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return "lost";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed " + std::to_string(WTERMSIG(status));
  return "other";
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  SettingsStoreTest() {
    std::string pattern = (fs::temp_directory_path() / "quillbox-settings-XXXXXX").string();
    home_ = ::mkdtemp(pattern.data());
    reopen();
  }
  ~SettingsStoreTest() override {
    store_.reset();
    fs::remove_all(home_);
  }

  std::shared_ptr<SettingsStore> openOther() {
    auto opened = SettingsStore::open(home_);
    EXPECT_TRUE(opened.ok()) << opened.status().message();
    return opened.ok() ? opened.value() : nullptr;
  }
  void reopen() {
    store_.reset();
    store_ = openOther();
  }
  void set(std::string_view key, std::string_view value) {
    Status status = store_->set(key, value);
    ASSERT_TRUE(status.ok()) << status.message();
  }
  // "key=value" for each key, joined by "|".
  std::string dump(const std::vector<std::string>& keys) {
    std::string out;
    for (const auto& key : keys) out += (out.empty() ? "" : "|") + key + "=" + store_->get(key);
    return out;
  }

  fs::path home_;
  std::shared_ptr<SettingsStore> store_;
};

TEST_F(SettingsStoreTest, ValuesSurviveAReopenAndMissingKeysReadEmpty) {
  set("stringNotes", "a");
  set("stringTasks", "x");
  set("stringNotes", "b");
  set("stringTaggedNotes", "");
  reopen();
  EXPECT_EQ(dump({"stringNotes", "stringTasks", "stringTaggedNotes", "neverWritten"}),
            "stringNotes=b|stringTasks=x|stringTaggedNotes=|neverWritten=");
  auto absent = store_->read("neverWritten");
  EXPECT_EQ(absent.ok() ? "[" + absent.value() + "]" : absent.status().message(), "[]");
  EXPECT_EQ(store_->home(), home_);
}

TEST_F(SettingsStoreTest, AnyBytesNulIncludedAndHugeValuesRoundTripExactly) {
  std::string everyByte;
  for (int round = 0; round < 3; ++round) {
    for (int c = 0; c < 256; ++c) everyByte += static_cast<char>(c);
  }
  everyByte +=
      "\xc3\x28 \xed\xa0\x80 \xff\xfe";  // invalid UTF-8: a bad continuation, a surrogate, bare bytes
  std::string huge(10 * 1024 * 1024, 'x');
  for (std::size_t i = 0; i < huge.size(); i += 4099) huge[i] = static_cast<char>('a' + i % 26);
  set("bytes", everyByte);
  set("huge", huge);
  set("ünïcødé key \xff", "v");
  reopen();
  EXPECT_TRUE(store_->get("bytes") == everyByte);
  EXPECT_TRUE(store_->get("huge") == huge);
  EXPECT_EQ(store_->get("ünïcødé key \xff"), "v");
  // The huge value can be replaced by a small one and the small one read back.
  set("huge", "small");
  reopen();
  EXPECT_EQ(store_->get("huge"), "small");
}

TEST_F(SettingsStoreTest, GenerationMovesOnRealWritesOfEitherStoreOnTheHomeButNotOnEqualOnes) {
  auto other = openOther();
  std::uint64_t seen = other->generation();
  std::uint64_t own = store_->generation();
  set("stringNotes", "from the first");
  std::uint64_t moved = other->generation();
  EXPECT_NE(store_->generation(), own);
  EXPECT_NE(moved, seen);
  set("stringNotes", "from the first");  // equal: no change
  EXPECT_EQ(other->generation(), moved);
  EXPECT_EQ(other->get("stringNotes"), "from the first");
  std::uint64_t firstSeen = store_->generation();
  ASSERT_TRUE(other->set("stringNotes", "").ok());
  EXPECT_NE(store_->generation(), firstSeen);
  EXPECT_EQ(store_->get("stringNotes"), "");
}

TEST_F(SettingsStoreTest, ANonDatabaseFileOrAHomeThatIsAFileIsReportedAndLeftAlone) {
  store_.reset();
  fs::remove_all(home_);
  fs::create_directories(home_);
  const std::string garbage(5000, 'g');
  std::ofstream(home_ / "settings.sqlite3", std::ios::binary) << garbage;
  auto opened = SettingsStore::open(home_);
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.status().message().find((home_ / "settings.sqlite3").string()), std::string::npos)
      << opened.status().message();
  std::ifstream in(home_ / "settings.sqlite3", std::ios::binary);
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_TRUE(kept.str() == garbage);

  fs::path file = home_ / "settings.sqlite3";  // a home that is a file
  opened = SettingsStore::open(file);
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.status().message().find(file.string()), std::string::npos) << opened.status().message();
}

// A damaged file must read as an error, not as an empty list that an edit would then write
// back over the notes.
TEST_F(SettingsStoreTest, ADamagedDatabaseReadsAsAnErrorNotAsEmpty) {
  set("stringNotes", std::string(20000, 'n'));
  for (int i = 0; i < 20; ++i) set("filler" + std::to_string(i), std::string(100, 'f'));
  store_.reset();  // the log is folded into the database on close
  {
    std::fstream file(home_ / "settings.sqlite3", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(2 * 4096);
    const std::string garbage(fs::file_size(home_ / "settings.sqlite3") - 2 * 4096, '\xff');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  auto opened = SettingsStore::open(home_);
  if (!opened.ok()) {
    EXPECT_NE(opened.status().message().find("settings.sqlite3"), std::string::npos)
        << opened.status().message();
    return;
  }
  store_ = opened.value();
  auto notes = store_->read("stringNotes");
  ASSERT_FALSE(notes.ok());
  EXPECT_NE(notes.status().message().find("\"stringNotes\""), std::string::npos) << notes.status().message();
  EXPECT_EQ(store_->get("stringNotes"), "");
}

// The several writes of one operation are stored together or not at all.
TEST_F(SettingsStoreTest, AWriteGroupIsStoredWholeOrNotAtAll) {
  set("stringTasks", "a|b|");
  set("stringTasksFinishedIndices", "1,");
  auto other = openOther();  // another process, reading along
  {
    SettingsStore::WriteGroup group(*store_);
    set("stringTasksFinishedIndices", "0,");
    EXPECT_EQ(store_->get("stringTasksFinishedIndices") + " " + other->get("stringTasksFinishedIndices"),
              "0, 1,");
    set("stringTasks", "b|");
    ASSERT_TRUE(group.commit().ok());
  }
  EXPECT_EQ(other->get("stringTasks") + " " + other->get("stringTasksFinishedIndices"), "b| 0,");
  {
    SettingsStore::WriteGroup group(*store_);
    set("stringTasksFinishedIndices", "");
  }  // never committed
  {
    FaultPlan plan;
    plan.fail(FileCall::fsync, EIO, "settings.sqlite3");
    SettingsStore::WriteGroup group(*store_);
    set("stringTasksFinishedIndices", "");
    set("stringTasks", "");
    Status stored = group.commit();
    EXPECT_FALSE(stored.ok());
    EXPECT_NE(store_->health().message().find("settings.sqlite3"), std::string::npos)
        << store_->health().message();
  }
  EXPECT_EQ(other->get("stringTasks") + " " + other->get("stringTasksFinishedIndices"), "b| 0,");
  EXPECT_EQ(store_->get("stringTasks") + " " + store_->get("stringTasksFinishedIndices"), "b| 0,");
  EXPECT_TRUE(store_->health().ok()) << store_->health().message();  // both keys read well since
}

// A failure is shown until the key it was met on reads or writes again.
TEST_F(SettingsStoreTest, AReadOrWriteThatFailsIsRememberedForItsKeyUntilItWorksAgain) {
  set("stringNotes", "a|");
  ASSERT_TRUE(openOther()->set("stringNotes", "a|b|").ok());  // so the next read goes to the file
  FaultPlan plan;
  plan.fail(FileCall::read, EIO, "settings.sqlite3");
  Result<std::string> notes = store_->read("stringNotes");
  ASSERT_FALSE(notes.ok());
  Status trouble = store_->health();
  EXPECT_EQ(trouble.message().find("cannot read the setting \"stringNotes\" from"), 0u) << trouble.message();
  EXPECT_NE(trouble.message().find((home_ / "settings.sqlite3").string()), std::string::npos);
  plan.recover(FileCall::read).fail(FileCall::write, EIO, "settings.sqlite3");
  EXPECT_FALSE(store_->set("stringTasks", "t|").ok());
  EXPECT_EQ(store_->health().message().find("cannot save the setting \"stringTasks\" in"), 0u);
  EXPECT_EQ(store_->get("stringNotes"), "a|b|");
  EXPECT_FALSE(store_->health().ok());  // the write is still to be made
  plan.recover(FileCall::write);
  set("stringTasks", "t|");
  EXPECT_TRUE(store_->health().ok()) << store_->health().message();
}

// Other users of the machine read nothing: not even through a home made wide or a wide umask.
TEST_F(SettingsStoreTest, TheDatabaseItsLogAndTheLockArePrivateWhateverTheUmaskAndTheHome) {
  store_.reset();
  fs::remove_all(home_);
  fs::create_directories(home_);
  fs::permissions(home_, fs::perms(0755));
  mode_t before = ::umask(022);
  reopen();
  set("stringNotes", "a|");
  auto modes = [&] {
    std::string out;
    for (const char* name : {"settings.sqlite3", "settings.sqlite3-wal", "settings.sqlite3-shm", "lock"}) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(fs::status(home_ / name).permissions()));
      out += std::string(out.empty() ? "" : " ") + mode;
    }
    return out;
  };
  EXPECT_EQ(modes(), "0600 0600 0600 0600");
  // Files an older version left readable are made private at the next open.
  for (const char* name : {"settings.sqlite3", "settings.sqlite3-wal", "lock"})
    fs::permissions(home_ / name, fs::perms(0644));
  store_.reset();
  reopen();
  set("stringNotes", "b|");
  ::umask(before);
  EXPECT_EQ(modes(), "0600 0600 0600 0600");
}

// Two processes each append to one list 50 times under the lock (read, then write the read
// value plus one entry): without the lock, appends would be lost.
TEST_F(SettingsStoreTest, TwoProcessesAppendingUnderTheLockLoseNothing) {
  store_.reset();
  auto appender = [this](char who) {
    return [this, who] {
      auto opened = SettingsStore::open(home_);
      if (!opened.ok()) return 1;
      auto& store = opened.value();
      for (int i = 0; i < 50; ++i) {
        auto held = store->lock();
        if (!held.ok()) return 4;
        std::string list = store->get("list");
        if (!store->set("list", list + who + std::to_string(i) + ",").ok()) return 2;
        if (!store->set(std::string(1, who) + std::to_string(i), "own key").ok()) return 3;
      }
      return 0;
    };
  };
  pid_t first = forkChild(appender('a'));
  pid_t second = forkChild(appender('b'));
  EXPECT_EQ(waitFor(first), "exit 0");
  EXPECT_EQ(waitFor(second), "exit 0");
  reopen();
  std::string list = store_->get("list");
  std::vector<std::string> seenA, seenB;
  std::stringstream entries(list);
  for (std::string entry; std::getline(entries, entry, ',');)
    (entry[0] == 'a' ? seenA : seenB).push_back(entry);
  std::string missingKeys;
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(seenA.size() > static_cast<std::size_t>(i) ? seenA[i] : "", "a" + std::to_string(i));
    EXPECT_EQ(seenB.size() > static_cast<std::size_t>(i) ? seenB[i] : "", "b" + std::to_string(i));
    for (char who : {'a', 'b'}) {
      std::string key = std::string(1, who) + std::to_string(i);
      if (store_->get(key) != "own key") missingKeys += key + " ";
    }
  }
  EXPECT_EQ(seenA.size() + seenB.size(), 100u) << list;
  EXPECT_EQ(missingKeys, "");
}

}  // namespace
}  // namespace quillbox
