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

#include <cerrno>
#include <chrono>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "base/escape.h"
#include "base/random_test_support.h"
#include "platform/fault_seam.h"
#include "platform/store/whole_file.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// Sizes vary up to many pages, so that values spill onto overflow pages and the log is checkpointed
// now and then.
std::string valueFor(int i) {
  return "v" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 40) * 1500, '.');
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
    return SettingsStore::open(other).value();
  }
  void reopen() {
    store_.reset();
    store_ = SettingsStore::open(home_).value();
  }
  void set(std::string_view key, std::string_view value, std::string_view cause = "") {
    Status status = cause.empty() ? store_->set(key, value) : store_->set(key, value, cause);
    ASSERT_TRUE(status.ok()) << status.message();
  }
  // Writes key, value, key, value... in turn.
  void set(std::initializer_list<std::string_view> writes) {
    for (auto at = writes.begin(); at != writes.end(); at += 2) set(at[0], at[1]);
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
    for (const auto& v : versions(key))
      out += (out.empty() ? "" : "|") + valueOf(key, v.number) + ":" + v.cause;
    return out;
  }
  // Runs sql on a connection of its own, as another program would: the first column of each row, or
  // the error.
  std::string runSql(const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    char* error = nullptr;
    sqlite3_open((home_ / "settings.sqlite3").c_str(), &db);
    auto collect = [](void* to, int, char** values, char**) {
      return *static_cast<std::string*>(to) += values[0] ? values[0] : "", 0;
    };
    if (sqlite3_exec(db, sql.c_str(), collect, &out, &error) != SQLITE_OK) out = error ? error : "error";
    sqlite3_free(error);
    sqlite3_close(db);
    return out;
  }

  // Forks a writer that stores valueFor(start), valueFor(start + 1), ... under "stringNotes" and
  // reports each write done through a pipe; kills it killAfter past its first report. Returns the
  // last reported.
  int writeUntilKilled(int start, std::chrono::microseconds killAfter) {
    int reports[2];
    EXPECT_EQ(::pipe(reports), 0);
    pid_t writer = ::fork();
    if (writer == 0) {
      ::close(reports[0]);
      auto opened = SettingsStore::open(home_);
      for (int i = start; opened.ok(); ++i) {
        if (!opened.value()->set("stringNotes", valueFor(i)).ok()) break;
        if (::write(reports[1], &i, sizeof i) != sizeof i) break;
      }
      ::_exit(1);
    }
    ::close(reports[1]);
    int last = -1;
    auto report = [&] { return ::read(reports[0], &last, sizeof last) == static_cast<ssize_t>(sizeof last); };
    EXPECT_TRUE(report());  // it is writing
    std::this_thread::sleep_for(killAfter);
    ::kill(writer, SIGKILL);
    while (report()) {
    }
    ::close(reports[0]);
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own: " << status;
    return last;
  }

  TempFolder temp_;
  std::filesystem::path home_ = temp_.path();
  std::shared_ptr<SettingsStore> store_;
};

TEST_F(SettingsStoreTest, ValuesOfAnyBytesAndSizeSurviveAReopenAndMissingKeysReadEmpty) {
  std::string everyByte = "\xc3\x28 \xed\xa0\x80 \xff\xfe";  // invalid UTF-8 too
  for (int c = 0; c < 3 * 256; ++c) everyByte += static_cast<char>(c % 256);
  std::string huge(10 * 1024 * 1024, 'x');
  for (std::size_t i = 0; i < huge.size(); i += 4099) huge[i] = static_cast<char>('a' + i % 26);
  set({"stringNotes", "a", "stringNotes", "b", "stringTaggedNotes", "", "ünïcødé key \xff", "v", "bytes",
       everyByte, "huge", huge});
  reopen();
  auto absent = store_->read("neverWritten");
  std::string log = store_->get("stringNotes") + "|" + store_->get("stringTaggedNotes") + "|" +
                    store_->get("neverWritten") + "|" + store_->get("ünïcødé key \xff") + " [" +
                    (absent.ok() ? absent.value() : absent.status().message()) + "] " +
                    std::to_string(store_->get("bytes") == everyByte && store_->get("huge") == huge);
  set("huge", "small");
  reopen();
  EXPECT_EQ(log + " " + store_->get("huge") + " " + store_->home().string(),
            "b|||v [] 1 small " + home_.string());
}

TEST_F(SettingsStoreTest, GenerationMovesOnRealWritesOfEitherStoreOnTheHomeButNotOnEqualOnes) {
  auto other = openOther();
  const std::uint64_t seen = other->generation(), own = store_->generation();
  set("stringNotes", "from the first");
  std::uint64_t moved = other->generation();
  std::string log = std::to_string(store_->generation() != own) + std::to_string(moved != seen);
  set("stringNotes", "from the first");  // equal: no change
  log += std::to_string(other->generation() != moved) + " " + other->get("stringNotes");
  std::uint64_t firstSeen = store_->generation();
  ASSERT_TRUE(other->set("stringNotes", "").ok());
  log += " " + std::to_string(store_->generation() != firstSeen) + "[" + store_->get("stringNotes") + "]";
  EXPECT_EQ(log, "110 from the first 1[]");
}

// A file that is no database is reported, naming it, and left as it is; so is a home that is a file.
TEST_F(SettingsStoreTest, AFileThatIsNoDatabaseOrAHomeThatIsAFileIsAnErrorAndLeftAlone) {
  const fs::path file = home_ / "settings.sqlite3";
  store_.reset();
  const std::string garbage(5000, 'g');
  ASSERT_TRUE(writeFileAtomically(file, garbage).ok());
  for (const fs::path& home : {home_, file}) {
    auto opened = SettingsStore::open(home);
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.status().message().find(file.string()), std::string::npos) << opened.status().message();
  }
  Result<std::optional<std::string>> kept = readRegularFile(file);
  EXPECT_TRUE(kept.ok() && kept.value() == garbage);
}

// The several writes of one operation are stored together or not at all.
TEST_F(SettingsStoreTest, AWriteGroupIsStoredWholeOrNotAtAll) {
  set({"stringTasks", "a|b|", "stringTasksFinishedIndices", "1,"});
  auto other = openOther();  // another process, reading along
  auto both = [](SettingsStore& store) {
    return store.get("stringTasks") + " " + store.get("stringTasksFinishedIndices") + " ";
  };
  std::string log;
  {
    SettingsStore::WriteGroup group(*store_);
    set("stringTasksFinishedIndices", "0,");
    log += both(*store_) + both(*other) + "| ";
    set("stringTasks", "b|");
    ASSERT_TRUE(group.commit().ok());
  }
  log += both(*other) + "| ";
  {
    SettingsStore::WriteGroup group(*store_);
    set("stringTasksFinishedIndices", "");
  }  // never committed
  {
    FaultPlan plan;
    plan.fail(FileCall::fsync, EIO, "settings.sqlite3");
    SettingsStore::WriteGroup group(*store_);
    set({"stringTasksFinishedIndices", "", "stringTasks", ""});
    Status stored = group.commit();
    log += std::to_string(stored.ok()) +
           std::to_string(store_->health().message().find("settings.sqlite3") != std::string::npos);
  }
  EXPECT_EQ(log + " " + both(*other) + both(*store_), "a|b| 0, a|b| 1, | b| 0, | 01 b| 0, b| 0, ");
  EXPECT_TRUE(store_->health().ok()) << store_->health().message();  // both keys read well since
}

// A failure is shown until the key it was met on reads or writes again. An unreadable list is never
// read as empty (an edit would write that back over the notes), and a failed write is never done.
TEST_F(SettingsStoreTest, AReadOrWriteThatFailsIsRememberedForItsKeyUntilItWorksAgain) {
  set("stringNotes", "a|");
  ASSERT_TRUE(openOther()->set("stringNotes", "a|b|").ok());  // so the next read goes to the file
  FaultPlan plan;
  plan.fail(FileCall::read, EIO, "settings.sqlite3");
  std::string log = std::to_string(store_->read("stringNotes").ok());
  log += "[" + store_->get("stringNotes") + "] " + store_->health().message() + " | ";
  plan.recover(FileCall::read).fail(FileCall::write, EIO, "settings.sqlite3");
  log += std::to_string(store_->set("stringTasks", "t|").ok());
  log += " " + store_->health().message() + " " + store_->get("stringNotes") + " ";
  log += store_->health().message() + " | ";  // the write is still to be made
  plan.recover(FileCall::write);
  set("stringTasks", "t|");
  const std::string path = inQuotes((home_ / "settings.sqlite3").string());
  const std::string saving = "cannot save the setting \"stringTasks\" in " + path + ": disk I/O error";
  EXPECT_EQ(log + std::to_string(store_->health().ok()), "0[] cannot read the setting \"stringNotes\" from " +
                                                             path + ": disk I/O error | 0 " + saving +
                                                             " a|b| " + saving + " | 1");
}

// Other users of the machine read nothing: not even through a home made wide or a wide umask, nor
// files an older version left readable (made private at the next open).
TEST_F(SettingsStoreTest, TheDatabaseItsLogAndTheLockArePrivateWhateverTheUmaskAndTheHome) {
  store_.reset();
  fs::remove_all(home_);
  fs::create_directories(home_);
  fs::permissions(home_, fs::perms(0755));
  mode_t before = ::umask(022);
  std::ostringstream modes;
  for (const char* value : {"a|", "b|"}) {
    reopen();
    set("stringNotes", value);
    for (const char* name : {"settings.sqlite3", "settings.sqlite3-wal", "settings.sqlite3-shm", "lock"})
      modes << std::oct << static_cast<unsigned>(fs::status(home_ / name).permissions()) << " ";
    for (const char* name : {"settings.sqlite3", "settings.sqlite3-wal", "lock"})
      fs::permissions(home_ / name, fs::perms(0644));
    store_.reset();
  }
  ::umask(before);
  EXPECT_EQ(modes.str(), "600 600 600 600 600 600 600 600 ");
}

// A write keeps the value it replaced, with the cause of the write: the innermost scope of its own
// thread, else the store's default. Only real changes of the four lists keep one.
TEST_F(SettingsStoreTest, EachChangeOfAListKeepsTheReplacedValueWithTheCauseOfItsReplacement) {
  auto ms = [] {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  };
  const auto before = ms();
  std::string log;
  set("stringNotes", "aNOTES_SEPARATOR");  // replaces the never-written "", by an edit
  {
    SettingsStore::CauseScope load("load");
    {
      SettingsStore::CauseScope restore("restore");
      set("stringNotes", "bNOTES_SEPARATOR");
    }
    set("stringNotes", "cNOTES_SEPARATOR");
    // A scope names its own thread's writes only.
    std::thread([&] { log = store_->currentCause() + " "; }).join();
  }
  set("stringNotes", "dNOTES_SEPARATOR", "import");
  store_->setDefaultCause("command line");
  set("stringNotes", "eNOTES_SEPARATOR");
  set("stringNotes", "eNOTES_SEPARATOR");  // equal: nothing
  auto kept = versions("stringNotes");
  for (std::size_t i = 0; i < kept.size(); ++i) {
    bool fits =
        (i == 0 || kept[i].number < kept[i - 1].number) && kept[i].timeMs >= before && kept[i].timeMs <= ms();
    log += std::to_string(kept[i].bytes) + (fits ? " " : "! ");
  }
  EXPECT_EQ(log + history("stringNotes"),
            "edit 16 16 16 16 0 dNOTES_SEPARATOR:command line|cNOTES_SEPARATOR:import|bNOTES_SEPARATOR:load|"
            "aNOTES_SEPARATOR:restore|:edit");
  // A number names one version of one key, and the versions survive a reopen.
  reopen();
  EXPECT_EQ(valueOf("stringTasks", kept[0].number) + valueOf("stringNotes", 0) +
                valueOf("stringNotes", kept[0].number + 100) + valueOf("stringNotes", kept[4].number),
            "(none)(none)(none)");

  // Never written and "" are the same list.
  set({"stringTasks", "", "stringTasks", "xNOTES_SEPARATOR", "stringTasksFinishedIndices", "0,",
       "stringTaggedNotes", "t", "stringNotesFromCloud", "1", "stringNotesFromCloud", "2", "anything", "1",
       "anything", "2"});
  EXPECT_EQ(history("stringTasks") + "/" + history("stringTasksFinishedIndices") + "/" +
                history("stringTaggedNotes") + "/" + history("stringNotesFromCloud") + "/" +
                history("anything") + std::to_string(SettingsStore::keepsHistory("stringnotes")),
            ":edit/:edit/:edit//0");
}

TEST_F(SettingsStoreTest, ThePerKeyBoundDropsTheOldestAndNumbersAreNeverReused) {
  store_->setHistoryLimits({3, 1 << 20});
  for (std::string i : {"1", "2", "3", "4", "5", "6"}) set({"stringNotes", "n" + i, "stringTasks", "t" + i});
  EXPECT_EQ(history("stringNotes") + " / " + history("stringTasks"),
            "n5:edit|n4:edit|n3:edit / t5:edit|t4:edit|t3:edit");
  std::int64_t newest = versions("stringNotes")[0].number;
  store_->setHistoryLimits({0, 1 << 20});  // keeps none: the next write drops the key's versions
  set("stringNotes", "n7");
  EXPECT_EQ(history("stringNotes") + " / " + history("stringTasks"), " / t5:edit|t4:edit|t3:edit");
  store_->setHistoryLimits({3, 1 << 20});
  set("stringNotes", "n8");
  EXPECT_TRUE(versions("stringNotes").size() == 1 && versions("stringNotes")[0].number > newest);
}

TEST_F(SettingsStoreTest, TheSizeBoundDropsTheOldestOfAnyKeyButKeepsTheNewest) {
  store_->setHistoryLimits({200, 1000});
  std::string summary;
  auto sum = [&] {
    std::uint64_t total = 0;
    for (const char* key : {"stringNotes", "stringTasks", "stringTaggedNotes"}) {
      for (const auto& version : versions(key)) {
        summary += std::string(key).substr(6, 1) + valueOf(key, version.number).substr(0, 1) + " ";
        total += version.bytes;
      }
    }
    summary += std::to_string(total) + " | ";
  };
  // A list's initial, then the value's letter.
  for (const char* step : {"Na", "Tb", "Nc", "Td", "Gx", "Ne"}) {
    const char* key = step[0] == 'N' ? "stringNotes" : step[0] == 'T' ? "stringTasks" : "stringTaggedNotes";
    set(key, std::string(step[1] == 'x' ? 1 : 400, step[1]));
  }
  sum();  // a, b, c, "" and "" would be 1200 bytes: the empty ones are older than a, so went with it
  set("stringNotes", std::string(5000, 'f'));  // keeps e
  set("stringNotes", "small");                 // keeps f: larger than the bound alone
  sum();
  EXPECT_EQ(summary, "Nc Tb T 800 | Nf 5000 | ");
}

// The version and the value are one transaction: when either cannot be written, neither is.
TEST_F(SettingsStoreTest, AWriteThatFailsKeepsNeitherTheValueNorTheVersion) {
  set("stringNotes", "a");
  std::uint64_t generation = store_->generation();
  std::string log = runSql(
      "CREATE TRIGGER refuse_version BEFORE INSERT ON settings_history BEGIN "
      "SELECT RAISE(ABORT, 'no room'); END");
  Status refused = store_->set("stringNotes", "b");
  log += std::to_string(refused.message().find("\"stringNotes\"") != std::string::npos) +
         store_->get("stringNotes");
  log += runSql(
      "DROP TRIGGER refuse_version; CREATE TRIGGER refuse_value BEFORE INSERT ON settings "
      "BEGIN SELECT RAISE(ABORT, 'read only'); END");
  log += std::to_string(store_->set("stringNotes", "c").ok()) + store_->get("stringNotes") + " " +
         history("stringNotes");
  log += runSql("DROP TRIGGER refuse_value") + " " +
         std::to_string(store_->generation() != generation);  // the triggers came and went
  set("stringNotes", "d");
  EXPECT_EQ(log + " " + store_->get("stringNotes") + " " + history("stringNotes"),
            "1a0a :edit 1 d a:edit|:edit");
}

// A writer killed at a random instant (the seed is printed) loses no write it reported done, leaves
// the file whole and writable, and leaves a chain with no gap: the current value is its last write,
// and the versions are the newest 200 earlier values, newest first.
TEST_F(SettingsStoreTest, AKilledWriterLosesNoReportedWriteAndLeavesEveryValueItReplaced) {
  store_.reset();
  std::mt19937 random(test::randomSeed());
  std::uniform_int_distribution<int> killAfterUs(0, 300000);
  int start = 0;
  for (int round = 0; round < 5; ++round) {
    int reported = writeUntilKilled(start, std::chrono::microseconds(killAfterUs(random)));
    reopen();
    std::string current = store_->get("stringNotes");
    int last = std::stoi(current.substr(1));
    auto kept = versions("stringNotes");
    std::string gaps;
    for (std::size_t j = 0; j < kept.size(); ++j) {
      int replaced = last - 1 - static_cast<int>(j);
      if (valueOf("stringNotes", kept[j].number) != (replaced < 0 ? "" : valueFor(replaced)))
        gaps += std::to_string(replaced) + " ";
    }
    EXPECT_EQ(std::to_string(last >= reported) + std::to_string(current == valueFor(last)) + " " +
                  std::to_string(kept.size()) + " [" + gaps + "] " + runSql("PRAGMA integrity_check"),
              "11 " + std::to_string(std::min(last + 1, 200)) + " [] ok")
        << "round " << round;
    start = last + 1;
    store_.reset();
  }
}

}  // namespace
}  // namespace quillbox
