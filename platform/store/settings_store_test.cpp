// The settings store: values, write groups, failures and permissions; the versions it keeps of the
// list strings (what replaced each, in the same transaction as the write, bounded oldest first); and
// writers killed at a random instant, which lose nothing they reported written.

#include "platform/store/settings_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "base/random_test_support.h"
#include "platform/fault_seam.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

std::string keyFor(int round, int i) { return "r" + std::to_string(round) + "k" + std::to_string(i); }

// Sizes vary up to many pages, so that values spill onto overflow pages and the log is
// checkpointed now and then.
std::string valueFor(int round, int i) {
  return "value " + std::to_string(round) + "/" + std::to_string(i) +
         std::string(static_cast<std::size_t>(i % 40) * 1500, 'p');
}

std::string integrityCheck(const fs::path& database) {
  sqlite3* db = nullptr;
  std::string answer = "cannot open";
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    answer = "cannot check";
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK) {
      answer.clear();
      while (sqlite3_step(stmt) == SQLITE_ROW)
        answer += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return answer;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  SettingsStoreTest() { reopen(); }
  ~SettingsStoreTest() override {
    store_.reset();
    fs::remove(home_.string() + "-other");
  }

  // A store with a connection of its own, as another process has: one process shares one store per
  // home, so this one goes in through another spelling of the folder.
  std::shared_ptr<SettingsStore> openOther() {
    fs::path other = home_.string() + "-other";
    std::error_code ignored;
    if (!fs::exists(other)) fs::create_directory_symlink(home_, other, ignored);
    auto opened = SettingsStore::open(other);
    EXPECT_TRUE(opened.ok()) << opened.status().message();
    return opened.ok() ? opened.value() : nullptr;
  }
  void reopen() {
    store_.reset();
    store_ = SettingsStore::open(home_).value();
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

  // Forks a writer that stores keyFor(round, i) for i = 0, 1, ... and reports each completed
  // write through a pipe; kills it after killAfter. Returns how many writes it reported.
  int writeUntilKilled(int round, std::chrono::microseconds killAfter) {
    int reports[2];
    EXPECT_EQ(::pipe(reports), 0);
    pid_t writer = ::fork();
    if (writer == 0) {
      ::close(reports[0]);
      auto opened = SettingsStore::open(home_);
      if (!opened.ok()) ::_exit(1);
      for (int i = 0; i < 1000000; ++i) {
        if (!opened.value()->set(keyFor(round, i), valueFor(round, i)).ok()) ::_exit(2);
        if (::write(reports[1], &i, sizeof i) != sizeof i) ::_exit(3);
      }
      ::_exit(0);
    }
    ::close(reports[1]);
    int last = -1;
    int got = 0;
    EXPECT_EQ(::read(reports[0], &got, sizeof got), static_cast<ssize_t>(sizeof got));  // it is writing
    last = got;
    std::this_thread::sleep_for(killAfter);
    ::kill(writer, SIGKILL);
    while (::read(reports[0], &got, sizeof got) == static_cast<ssize_t>(sizeof got)) last = got;
    ::close(reports[0]);
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer ended on its own: " << status;
    return last + 1;
  }

  // The keys of the round that are missing or wrong, as "r0k12 r0k13".
  std::string lostWrites(SettingsStore& store, int round, int count) {
    std::string lost;
    for (int i = 0; i < count; ++i) {
      if (store.get(keyFor(round, i)) != valueFor(round, i)) lost += keyFor(round, i) + " ";
    }
    return lost;
  }

  TempFolder temp_;
  std::filesystem::path home_ = temp_.path();
  std::shared_ptr<SettingsStore> store_;
};
using SettingsHistoryTest = SettingsStoreTest;
using SettingsCrashTest = SettingsStoreTest;

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
  std::mt19937 random(test::randomSeed());  // the seed is printed
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

TEST_F(SettingsCrashTest, AKilledWriterLosesNoReportedWrite) {
  store_.reset();
  std::mt19937 random(test::randomSeed());  // the seed is printed
  std::uniform_int_distribution<int> killAfterUs(0, 400000);
  std::vector<int> written;
  for (int round = 0; round < 5; ++round) {
    written.push_back(writeUntilKilled(round, std::chrono::microseconds(killAfterUs(random))));
    auto opened = SettingsStore::open(home_);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    auto& store = *opened.value();
    for (int earlier = 0; earlier <= round; ++earlier) {
      EXPECT_EQ(lostWrites(store, earlier, written[earlier]), "") << "round " << earlier;
    }
    EXPECT_EQ(integrityCheck(home_ / "settings.sqlite3"), "ok");
    ASSERT_TRUE(store.set("afterCrash", std::to_string(round)).ok());
  }
  auto reopened = SettingsStore::open(home_);
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ(reopened.value()->get("afterCrash"), "4");
}

}  // namespace
}  // namespace quillbox
