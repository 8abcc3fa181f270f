// The rules of the events through the app's window, without a browser: when a tab loads, what a
// Foreground reloads, that an event never waits long for another process, and that a visit whose
// list could not be read ends in a failure naming it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

#include "app/cli/visit.h"
#include "app/content_view.h"
#include "platform/fault_seam.h"
#include "platform/store/settings_store.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// A cloud store that logs each read as "load KEY" and each write as "send KEY", the writes of a
// group as one: "send KEY + KEY".
class LoggingCloudStore : public MemoryCloudStore {
 public:
  std::optional<std::string> stringForKey(std::string_view key) override {
    note("load " + std::string(key));
    return MemoryCloudStore::stringForKey(key);
  }
  Status setString(std::string_view value, std::string_view key) override {
    if (WriteGroup* group = WriteGroup::current()) {
      group->defer(*this, key, value);
      return Status::Ok();
    }
    return setStrings({CloudWrite{std::string(key), std::string(value)}});
  }
  std::string takeLog() { return std::exchange(log_, ""); }

 protected:
  Status setStrings(std::vector<CloudWrite> writes) override {
    std::string keys;
    for (const CloudWrite& write : writes) {
      keys += (keys.empty() ? "" : " + ") + write.key;
      (void)MemoryCloudStore::setString(write.value, write.key);
    }
    note("send " + keys);
    return Status::Ok();
  }

 private:
  void note(const std::string& line) { log_ += (log_.empty() ? "" : "; ") + line; }
  std::string log_;
};

class EventRulesTest : public ::testing::Test {
 protected:
  EventRulesTest() {
    store_ = SettingsStore::open(home_).value();
    window_ = QuillboxApp().makeWindow(env());
    EXPECT_TRUE(window_->open().ok());
  }
  ~EventRulesTest() override { fs::remove(home_.string() + "-other"); }
  Environment env() {
    return Environment{store_, [c = cloud_]() -> CloudStore& { return *c; },
                       std::make_shared<Device>(Idiom::phone)};
  }
  std::string loads() { return cloud_->takeLog(); }
  void select(std::size_t tab) { ASSERT_TRUE(window_->selectTab(tab).ok()); }

  TempFolder temp_;
  std::filesystem::path home_ = temp_.path();
  std::shared_ptr<SettingsStore> store_;
  std::shared_ptr<LoggingCloudStore> cloud_ = std::make_shared<LoggingCloudStore>();
  std::unique_ptr<Window> window_;
};

TEST_F(EventRulesTest, ATabLoadsEachTimeItComesIntoViewButNotWhenItIsAlreadyShown) {
  EXPECT_EQ(loads(), "load notesFromCloud");
  select(0);
  EXPECT_EQ(loads(), "");
  select(1);
  EXPECT_EQ(loads(), "load tasksFromCloud; load stringTasksFinishedIndicesFromCloud");
  ASSERT_TRUE(cloud_->setString(std::string("from elsewhere") + "NOTES_SEPARATOR", "notesFromCloud").ok());
  loads();
  select(0);  // back: the cloud copy is taken, and the Change sends it on
  EXPECT_EQ(loads(), "load notesFromCloud; send notesFromCloud");
  EXPECT_EQ(store_->get("stringNotes"), "from elsewhereNOTES_SEPARATOR");
}

TEST_F(EventRulesTest, AForegroundReloadsEveryTabShownSoFarInTabOrderAndTheWritesOfOneEventGoTogether) {
  select(2);
  select(0);
  loads();
  ASSERT_TRUE(window_->foreground().ok());
  EXPECT_EQ(loads(), "load notesFromCloud; load taggedNotesFromCloud");
  // The cloud writes of one event travel together: a to-do's delete moves its marks too.
  ASSERT_TRUE(store_->set("stringTasks", "aNOTES_SEPARATORbNOTES_SEPARATOR").ok());
  ASSERT_TRUE(store_->set("stringTasksFinishedIndices", "1,").ok());
  select(1);
  ToDoView todo(env());
  ASSERT_TRUE(todo.loadTasks().ok());
  loads();
  ASSERT_TRUE(window_->perform([&] { return todo.deleteTask(0); }).ok());
  EXPECT_EQ(loads(), "send tasksFromCloud + stringTasksFinishedIndicesFromCloud");
}

// Another process holding the home too long makes an event fail at once as busy, doing nothing.
TEST_F(EventRulesTest, AnEventNeverWaitsLongForTheHomeAndFailsAsBusy) {
  store_->setLockWait(std::chrono::milliseconds(30));
  bool ran = false;
  Status busy = Status::Ok();
  {
    FaultPlan plan;
    plan.fail(FileCall::lockWait, EWOULDBLOCK, "lock");
    busy = window_->perform([&] { return ran = true, Status::Ok(); });
  }
  EXPECT_TRUE(busy.code() == Status::Code::busy && !ran) << busy.message();
  EXPECT_TRUE(window_->perform([] { return Status::Ok(); }).ok());
}

// A list that could not be read during a visit fails the command, naming the key and the path,
// even where no operation failed (a Change that could not be taken).
TEST_F(EventRulesTest, AVisitWhoseListCouldNotBeReadEndsInAFailureNamingIt) {
  Session session{.store = store_, .lock = {}, .env = env()};
  // Another process writes (through another spelling of the home): read from the file next.
  fs::create_directory_symlink(home_, home_.string() + "-other");
  ASSERT_TRUE(SettingsStore::open(home_.string() + "-other").value()->set("stringNotes", "x").ok());
  std::ostringstream err;
  {
    FaultPlan plan;
    plan.fail(FileCall::read, EIO, "settings.sqlite3");
    EXPECT_FALSE(window_->refresh());
  }
  Status ended = endVisit(session, err);
  EXPECT_EQ(exitCode(ended), kStoreError);
  EXPECT_NE(ended.message().find("\"stringNotes\" from \"" + (home_ / "settings.sqlite3").string()),
            std::string::npos)
      << ended.message();
}

}  // namespace
}  // namespace quillbox
