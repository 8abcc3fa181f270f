// The versions the settings store keeps of the list strings: what replaced each, kept in the
// same transaction as the write, bounded oldest first.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "base/random_test_support.h"
#include "platform/settings_store.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

class SettingsHistoryTest : public ::testing::Test {
 protected:
  SettingsHistoryTest() {
    std::string pattern = (fs::temp_directory_path() / "quillbox-history-XXXXXX").string();
    home_ = ::mkdtemp(pattern.data());
    reopen();
  }
  ~SettingsHistoryTest() override {
    store_.reset();
    fs::remove_all(home_);
  }

  void reopen() {
    store_.reset();
    auto opened = SettingsStore::open(home_);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    store_ = opened.value();
  }
  void set(std::string_view key, std::string_view value) {
    Status status = store_->set(key, value);
    ASSERT_TRUE(status.ok()) << status.message();
  }
  void setBecause(std::string_view key, std::string_view value, std::string_view cause) {
    Status status = store_->set(key, value, cause);
    ASSERT_TRUE(status.ok()) << status.message();
  }
  std::vector<SettingsStore::Version> versions(std::string_view key) {
    auto found = store_->versions(key);
    EXPECT_TRUE(found.ok()) << found.status().message();
    return found.ok() ? found.value() : std::vector<SettingsStore::Version>{};
  }
  std::string valueOf(std::string_view key, std::int64_t number) {
    auto value = store_->versionValue(key, number);
    if (!value.ok()) return "error: " + value.status().message();
    return value.value() ? *value.value() : "(none)";
  }
  // "value:cause" for each kept version of key, newest first, joined by "|".
  std::string history(std::string_view key) {
    std::string out;
    for (const auto& version : versions(key)) {
      out += (out.empty() ? "" : "|") + valueOf(key, version.number) + ":" + version.cause;
    }
    return out;
  }
  // Runs sql on a connection of its own, as another program would.
  void runSql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((home_ / "settings.sqlite3").c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }

  fs::path home_;
  std::shared_ptr<SettingsStore> store_;
};

TEST_F(SettingsHistoryTest, EachChangeKeepsTheReplacedValueWithTheCauseOfItsReplacement) {
  auto before = std::chrono::system_clock::now();
  set("stringNotes", "aNOTES_SEPARATOR");  // replaces the never-written "", by an edit
  {
    SettingsStore::CauseScope load("load");
    {
      SettingsStore::CauseScope restore("restore");
      set("stringNotes", "bNOTES_SEPARATOR");
    }
    set("stringNotes", "cNOTES_SEPARATOR");
    std::string seenElsewhere;
    std::thread([&] { seenElsewhere = store_->currentCause(); }).join();
    EXPECT_EQ(seenElsewhere, "edit");  // a scope names its own thread's writes only
  }
  setBecause("stringNotes", "dNOTES_SEPARATOR", "import");
  store_->setDefaultCause("command line");
  set("stringNotes", "eNOTES_SEPARATOR");
  set("stringNotes", "eNOTES_SEPARATOR");  // equal: nothing
  EXPECT_EQ(history("stringNotes"),
            "dNOTES_SEPARATOR:command line|cNOTES_SEPARATOR:import|bNOTES_SEPARATOR:load|"
            "aNOTES_SEPARATOR:restore|:edit");

  auto kept = versions("stringNotes");
  ASSERT_EQ(kept.size(), 5u);
  auto after = std::chrono::system_clock::now();
  auto ms = [](auto time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  };
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_TRUE(i == 0 || kept[i].number < kept[i - 1].number);
    EXPECT_TRUE(kept[i].timeMs >= ms(before) && kept[i].timeMs <= ms(after));
    EXPECT_EQ(kept[i].bytes, i + 1 < kept.size() ? 16u : 0u);
  }
  // A number names one version of one key, and the versions survive a reopen.
  reopen();
  EXPECT_EQ(valueOf("stringTasks", kept[0].number) + valueOf("stringNotes", 0) +
                valueOf("stringNotes", kept[0].number + 100) + valueOf("stringNotes", kept[4].number),
            "(none)(none)(none)");
}

TEST_F(SettingsHistoryTest, OnlyRealChangesOfTheFourListsKeepVersions) {
  set("stringTasks", "");  // never written and "" are the same list
  set("stringTasks", "xNOTES_SEPARATOR");
  set("stringTasks", "xNOTES_SEPARATOR");
  set("stringTasksFinishedIndices", "0,");
  set("stringTaggedNotes", "t");
  set("stringNotesFromCloud", "n");
  set("stringNotesFromCloud", "m");
  set("anything", "1");
  set("anything", "2");
  EXPECT_EQ(history("stringTasks") + "/" + history("stringTasksFinishedIndices") + "/" +
                history("stringTaggedNotes") + "/" + history("stringNotesFromCloud") + "/" +
                history("anything"),
            ":edit/:edit/:edit//");
  EXPECT_FALSE(SettingsStore::keepsHistory("stringnotes"));
  EXPECT_TRUE(SettingsStore::keepsHistory("stringTaggedNotes"));
}

TEST_F(SettingsHistoryTest, ThePerKeyBoundDropsTheOldestAndNumbersAreNeverReused) {
  store_->setHistoryLimits({3, 1 << 20});
  for (int i = 1; i <= 6; ++i) {
    set("stringNotes", "n" + std::to_string(i));
    set("stringTasks", "t" + std::to_string(i));
  }
  EXPECT_EQ(history("stringNotes") + " / " + history("stringTasks"),
            "n5:edit|n4:edit|n3:edit / t5:edit|t4:edit|t3:edit");
  std::int64_t newest = versions("stringNotes")[0].number;
  store_->setHistoryLimits({0, 1 << 20});  // keeps none: the next write drops the key's versions
  set("stringNotes", "n7");
  EXPECT_EQ(history("stringNotes") + " / " + history("stringTasks"), " / t5:edit|t4:edit|t3:edit");
  store_->setHistoryLimits({3, 1 << 20});
  set("stringNotes", "n8");
  ASSERT_EQ(versions("stringNotes").size(), 1u);
  EXPECT_GT(versions("stringNotes")[0].number, newest);
}

TEST_F(SettingsHistoryTest, TheSizeBoundDropsTheOldestOfAnyKeyButKeepsTheNewest) {
  store_->setHistoryLimits({200, 1000});
  auto sized = [](char c, std::size_t n) { return std::string(n, c); };
  set("stringNotes", sized('a', 400));
  set("stringTasks", sized('b', 400));
  set("stringNotes", sized('c', 400));  // keeps a
  set("stringTasks", sized('d', 400));  // keeps b
  set("stringTaggedNotes", "x");
  set("stringNotes", sized('e', 400));  // keeps c: a, b, c, "" and "" would be 1200 bytes
  auto summary = [&] {
    std::string out;
    std::uint64_t total = 0;
    for (const char* key : {"stringNotes", "stringTasks", "stringTaggedNotes"}) {
      for (const auto& version : versions(key)) {
        out += std::string(key).substr(6, 1) + valueOf(key, version.number).substr(0, 1) + " ";
        total += version.bytes;
      }
    }
    return out + std::to_string(total);
  };
  // The empty versions of the first writes are older than a, so they went with it.
  EXPECT_EQ(summary(), "Nc Tb T 800");
  set("stringNotes", sized('f', 5000));  // keeps e
  set("stringNotes", "small");           // keeps f: larger than the bound alone
  EXPECT_EQ(summary(), "Nf 5000");
}

// The version and the value are one transaction: when either cannot be written, neither is.
TEST_F(SettingsHistoryTest, AWriteThatFailsKeepsNeitherTheValueNorTheVersion) {
  set("stringNotes", "a");
  std::uint64_t generation = store_->generation();
  runSql(
      "CREATE TRIGGER refuse_version BEFORE INSERT ON settings_history BEGIN SELECT RAISE(ABORT, 'no room'); "
      "END");
  Status refused = store_->set("stringNotes", "b");
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.message().find("\"stringNotes\""), std::string::npos) << refused.message();
  EXPECT_EQ(store_->get("stringNotes"), "a");

  runSql(
      "DROP TRIGGER refuse_version;"
      "CREATE TRIGGER refuse_value BEFORE UPDATE ON settings BEGIN SELECT RAISE(ABORT, 'read only'); END");
  EXPECT_FALSE(store_->set("stringNotes", "c").ok());
  EXPECT_EQ(store_->get("stringNotes") + " " + history("stringNotes"), "a :edit");

  runSql("DROP TRIGGER refuse_value");
  EXPECT_NE(store_->generation(), generation);  // the triggers came and went
  set("stringNotes", "d");
  EXPECT_EQ(store_->get("stringNotes") + " " + history("stringNotes"), "d a:edit|:edit");
}

// A writer killed at any instant leaves a chain with no gap: the current value is its last
// write, and the versions are every earlier value, in order.
TEST_F(SettingsHistoryTest, AKilledWriterLeavesEveryValueItReplacedInTheHistory) {
  store_.reset();
  const unsigned seed = test::randomSeed();
  SCOPED_TRACE("QUILLBOX_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> killAfterUs(1000, 150000);
  auto valueFor = [](int i) {
    return "v" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 7) * 3000, '.');
  };
  int start = 0;
  for (int round = 0; round < 4; ++round) {
    pid_t writer = ::fork();
    if (writer == 0) {
      auto opened = SettingsStore::open(home_);
      if (!opened.ok()) ::_exit(1);
      for (int i = start;; ++i) {
        if (!opened.value()->set("stringNotes", valueFor(i)).ok()) ::_exit(2);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(killAfterUs(random)));
    ::kill(writer, SIGKILL);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own: " << status;

    reopen();
    std::string current = store_->get("stringNotes");
    auto kept = versions("stringNotes");
    int last = current.empty() ? -1 : std::stoi(current.substr(1));
    if (last >= 0) {
      EXPECT_EQ(current, valueFor(last));
    }
    // The newest 200 of the values before it, newest first.
    ASSERT_EQ(kept.size(), std::min<std::size_t>(static_cast<std::size_t>(last + 1), 200))
        << "round " << round;
    std::string gaps;
    for (std::size_t j = 0; j < kept.size(); ++j) {
      int replaced = last - 1 - static_cast<int>(j);
      if (valueOf("stringNotes", kept[j].number) != (replaced < 0 ? "" : valueFor(replaced))) {
        gaps += std::to_string(replaced) + " ";
      }
    }
    EXPECT_EQ(gaps, "") << "round " << round;
    start = last + 1;
    store_.reset();
  }
}

}  // namespace
}  // namespace quillbox
