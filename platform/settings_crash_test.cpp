// A writer killed at a random instant loses nothing it had reported written, and leaves a
// database that opens, passes its integrity check and takes new writes.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "base/random_test_support.h"
#include "platform/settings_store.h"

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

class SettingsCrashTest : public ::testing::Test {
 protected:
  SettingsCrashTest() {
    std::string pattern = (fs::temp_directory_path() / "quillbox-crash-XXXXXX").string();
    home_ = ::mkdtemp(pattern.data());
  }
  ~SettingsCrashTest() override { fs::remove_all(home_); }

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

  fs::path home_;
};

TEST_F(SettingsCrashTest, AKilledWriterLosesNoReportedWrite) {
  const unsigned seed = test::randomSeed();
  SCOPED_TRACE("QUILLBOX_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
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
