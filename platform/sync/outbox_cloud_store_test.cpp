#include "platform/sync/outbox_cloud_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <thread>

#include "base/list_string.h"
#include "platform/fault_seam.h"
#include "platform/store/home_lock.h"
#include "platform/sync/memory_transport_test_support.h"
#include "platform/sync/merge_load.h"
#include "platform/temp_folder_test_support.h"
#include "platform/transports/redis_test_server.h"
#include "platform/transports/redis_transport.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

class OutboxCloudStoreTest : public ::testing::Test {
 protected:
  OutboxCloudStoreTest() { store_ = open(home_); }
  ~OutboxCloudStoreTest() override { store_.reset(); }

  // A store on home, as a process opening it would make; one on a namespace of its own is another
  // store in the outbox.
  std::unique_ptr<OutboxCloudStore> open(const fs::path& home, std::string_view legacyNamespace = {}) {
    auto transport = std::make_unique<MemoryTransport>(backing_, "memory " + std::string(legacyNamespace));
    auto made = OutboxCloudStore::open(std::move(transport), home, legacyNamespace);
    EXPECT_TRUE(made.ok()) << made.status().message();
    return made.ok() ? std::move(made.value()) : nullptr;
  }
  void reopen() {
    store_.reset();
    store_ = open(home_);
  }
  void write(std::string_view key, std::string_view value) {
    Status kept = store_->setString(value, key);
    EXPECT_TRUE(kept.ok()) << kept.message();
  }
  std::string read(std::string_view key) { return store_->stringForKey(key).value_or("(nothing)"); }
  std::string pending() {
    std::string out;
    for (const std::string& key : store_->pendingKeys()) out += (out.empty() ? "" : ",") + key;
    return out.empty() ? "(none)" : out;
  }
  std::string health() {
    Status status = store_->health();
    return status.ok() ? "ok" : status.message();
  }
  std::string log() { return std::exchange(backing_->log, ""); }

  TempFolder temp_;
  std::filesystem::path home_ = temp_.path();
  std::shared_ptr<MemoryBacking> backing_ = std::make_shared<MemoryBacking>();
  std::unique_ptr<OutboxCloudStore> store_;
};

TEST_F(OutboxCloudStoreTest, AWriteTheBackingCannotTakeWaitsIsAnsweredHereAndGoesFirstWhenItIsBack) {
  write("notes", "a");
  backing_->away = true;
  write("notes", "a b");
  write("notes", "a b c");  // one pending write per key: the last
  int calls = backing_->calls;
  std::string notes = read("notes");
  EXPECT_EQ(notes + " | " + read("tasks") + " | " + pending() + " | " + health(),
            "a b c | (nothing) | notes | the backing is away");
  EXPECT_EQ(backing_->calls, calls);  // within the back-off the backing is left alone

  backing_->away = false;
  backing_->values["tasks"] = "theirs";
  store_->flushPending(1000);
  // Tried while the backing was away, "a b" may have landed: it goes again before what replaced it.
  EXPECT_EQ(log() + " | " + pending() + " | " + health(), "notes=a; notes=a b; notes=a b c | (none) | ok");
  EXPECT_EQ(read("tasks") + " " + std::to_string(store_->reachable()), "theirs 1");  // the back-off ends
  backing_->values["tasks"] = "later";
  read("tasks");  // the copy kept here follows the backing's

  // Another device wrote first: the replaced write is not made, and the newest merges on the old base.
  backing_->away = true;
  EXPECT_EQ(read("tasks"), "later");
  write("notes", "a b c d");
  write("notes", "a b c d e");
  backing_->away = false;
  backing_->values["notes"] = "a b c x";
  store_->flushPending(1000);
  ASSERT_TRUE(store_->reachable());
  Result<CloudStore::LoadCopy> load = store_->loadCopy("notes");
  ASSERT_TRUE(load.ok());
  EXPECT_EQ(log() + " | " + load->value.value_or("-") + " on " + load->base.value_or("-"),
            " | a b c x on a b c");
}

// A key file made immutable, or a permission the server denies: the write waits, and the older
// copy there is never taken back over it.
TEST_F(OutboxCloudStoreTest, ARefusedWriteStaysPendingAndAReadNeverTakesTheOlderCopyBack) {
  backing_->values["notes"] = "old";
  EXPECT_EQ(read("notes"), "old");  // what the write builds on
  backing_->refused.insert("notes");
  write("notes", "new");
  write("tasks", "t");  // the waiting write is tried again with it
  std::string notes = read("notes");
  EXPECT_EQ(notes + " | " + pending() + " | " + health() + " | " + log(),
            "new | notes | the backing refused notes | [tasks=t]; tasks=t");  // then on its own
  reopen();                                                                   // the next process finds it
  notes = read("notes");
  EXPECT_EQ(notes + " | " + pending(), "new | notes");

  backing_->refused.clear();
  notes = read("notes");
  EXPECT_EQ(notes + " | " + pending() + " | " + health() + " | " + log(), "new | (none) | ok | notes=new");
}

TEST_F(OutboxCloudStoreTest, AGroupIsKeptTogetherReadWithinAndSentInOneBatch) {
  {
    CloudStore::WriteGroup group;
    write("tasks", "a b");
    write("marks", "1,");
    write("tasks", "a b c");
    std::string tasks = read("tasks");
    EXPECT_EQ(tasks + " | " + pending() + " | " + log(), "a b c | (none) | ");
    EXPECT_TRUE(group.close().ok());
  }
  EXPECT_EQ(log() + " | " + pending(), "[tasks=a b c marks=1,] | (none)");

  backing_->away = true;
  backing_->values.clear();
  {
    CloudStore::WriteGroup group;
    write("tasks", "x");
    write("marks", "");
  }  // closed on the way out
  EXPECT_EQ(pending(), "tasks,marks");
  backing_->away = false;
  store_->flushPending(1000);
  EXPECT_EQ(log(), "[tasks=x marks=]");
}

// A write over a value another device wrote since this device's read is held back and kept; a
// load then gets the newer value and the base to merge onto, and the merged write goes over it.
TEST_F(OutboxCloudStoreTest, AWriteOverANewerCopyIsHeldBackUntilALoadMergesOntoIt) {
  backing_->values["notes"] = "a";
  EXPECT_EQ(read("notes"), "a");  // what this device's list builds on
  backing_->values["notes"] = "a theirs";
  Status held = store_->setString("a mine", "notes");
  EXPECT_EQ(held.code(), Status::Code::conflict) << held.message();
  reopen();  // the write and its base survive
  Result<CloudStore::LoadCopy> copy = store_->loadCopy("notes");
  ASSERT_TRUE(copy.ok());
  EXPECT_EQ(copy->value.value_or("") + " " + std::to_string(copy->unsent) + " " + copy->base.value_or("") +
                " | " + pending() + " | " + log(),
            "a theirs 1 a | notes | ");
  EXPECT_TRUE(store_->rebase("notes", "a theirs").ok());
  write("notes", "a theirs mine");
  write("notes", "a theirs mine 2");  // the delivered value is the next base
  EXPECT_EQ(log() + " | " + pending() + " | " + health(),
            "notes=a theirs mine; notes=a theirs mine 2 | (none) | ok");
}

// Pending writes go all at once; when one group's key moved, the other groups still go.
TEST_F(OutboxCloudStoreTest, AGroupHeldBackByANewerCopyDoesNotHoldBackTheOthers) {
  backing_->values["notes"] = "n";
  EXPECT_EQ(read("notes"), "n");
  backing_->away = true;
  write("notes", "n mine");
  {
    CloudStore::WriteGroup group;
    write("tasks", "t");
    write("marks", "0,");
  }
  backing_->away = false;
  backing_->values["notes"] = "n theirs";
  store_->flushPending(1000);
  EXPECT_EQ(log() + " | " + pending(), "[tasks=t marks=0,] | notes");
}

// A writer killed at every step of recording a group's writes leaves both pending or neither.
TEST_F(OutboxCloudStoreTest, AKillWhileAGroupIsRecordedLeavesAllOfItPendingOrNone) {
  std::string outcomes;
  for (int n = 1; n < 200; ++n) {
    fs::path home = home_ / std::to_string(n);
    fs::create_directories(home);
    pid_t child = ::fork();
    if (child == 0) {
      FaultPlan plan;
      plan.before(
          FileCall::write, n, [] { ::_exit(9); }, "settings.sqlite3");
      backing_->away = true;  // recorded, never sent
      auto store = open(home);
      CloudStore::WriteGroup group;
      if (!store || !store->setString("a b", "tasks").ok() || !store->setString("1,", "marks").ok())
        ::_exit(1);
      ::_exit(group.close().ok() ? 0 : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 9 || WEXITSTATUS(status) == 0)) << status;
    store_ = open(home);
    std::string left = pending();
    EXPECT_TRUE(left == "(none)" || left == "tasks,marks") << "killed before write " << n << ": " << left;
    if (outcomes.empty() || outcomes.substr(outcomes.rfind(' ') + 1) != left) outcomes += " " + left;
    if (WEXITSTATUS(status) == 0) break;
  }
  EXPECT_EQ(outcomes, " (none) tasks,marks");
}

// A load takes the to-dos and their marks from one reading of the backing, or neither: the marks of
// one version on the to-dos of another would sit on the wrong to-dos.
TEST_F(OutboxCloudStoreTest, ToDosAndTheirMarksAreTakenTogetherOrNotAtAll) {
  std::shared_ptr<SettingsStore> settings = SettingsStore::open(home_).value();
  const std::string x = "x" + std::string(kItemSeparator), y = "y" + std::string(kItemSeparator);
  ASSERT_TRUE(settings->set("stringTasks", x + y).ok() &&
              settings->set("stringTasksFinishedIndices", "1,").ok());
  backing_->values = {{"tasksFromCloud", "b" + std::string(kItemSeparator) + x + y},
                      {"stringTasksFinishedIndicesFromCloud", "2,"}};
  const std::string keys[] = {"tasksFromCloud"};
  std::string log;
  for (const char* unreadable : {"stringTasksFinishedIndicesFromCloud", ""}) {
    backing_->unreadable = {unreadable};
    EXPECT_TRUE(loadLists(*store_, settings, keys).ok());
    log += settings->get("stringTasks") + " " + settings->get("stringTasksFinishedIndices") + "; ";
  }
  EXPECT_EQ(log, x + y + " 1,; b" + std::string(kItemSeparator) + x + y + " 2,; ");
}

// While another sender has a write on its way, the backing may hold it with its answer not yet
// recorded: a load then takes nothing for the key (taken for another device's write, "a" would be
// merged in twice).
TEST_F(OutboxCloudStoreTest, ALoadWhileAnotherSenderHasTheWriteOnItsWayMergesNothing) {
  std::shared_ptr<SettingsStore> settings = SettingsStore::open(home_).value();
  const std::string x = "x" + std::string(kItemSeparator), a = "a" + std::string(kItemSeparator),
                    b = "b" + std::string(kItemSeparator);
  write("notesFromCloud", x);
  backing_->away = true;
  write("notesFromCloud", x + a);
  write("notesFromCloud", x + a + b);
  ASSERT_TRUE(settings->set("stringNotes", x + a + b).ok());
  reopen();
  backing_->away = false;
  backing_->values["notesFromCloud"] = x + a;  // the first landed; the sender has not heard yet
  std::promise<void> taken, done;
  std::thread sender([&] {  // holds the send lock until the load is done
    Result<HomeLock::Held> held = HomeLock::of(home_, "send-lock").value()->lock();
    taken.set_value();
    done.get_future().wait();
  });
  taken.get_future().wait();
  const std::string keys[] = {"notesFromCloud"};
  EXPECT_TRUE(loadLists(*store_, settings, keys).ok());
  done.set_value();
  sender.join();
  EXPECT_EQ(settings->get("stringNotes") + " " + pending(), x + a + b + " notesFromCloud");
}

TEST_F(OutboxCloudStoreTest, AWriteNeitherKeptNorSentIsAFailureAndOneSentButNotKeptIsShown) {
  FaultPlan plan;
  plan.fail(FileCall::write, EIO, "settings.sqlite3");
  backing_->away = true;
  Status lost = store_->setString("v", "notes");
  EXPECT_FALSE(lost.ok());
  EXPECT_NE(lost.message().find("nor could it be sent: the backing is away"), std::string::npos)
      << lost.message();

  backing_->away = false;
  EXPECT_TRUE(store_->setString("w", "notes").ok());
  EXPECT_EQ(log(), "notes=w");
  EXPECT_NE(health().find("settings.sqlite3"), std::string::npos) << health();
}

// Redis, whose answer to a conditional write is lost, once the write is made, when the fault seam
// fails a send on "answer".
class AnswerLost : public RedisTransport {
 public:
  using RedisTransport::RedisTransport;
  Status setIf(std::span<const ConditionalWrite> writes) override {
    Status made = RedisTransport::setIf(writes);
    return FaultPlan::consult(FileCall::send, "answer") != 0 ? Status::Unavailable("no answer") : made;
  }
};

// Redis made the write but its answer was lost, and another device wrote over it: sent again under its
// own name, it is known as made, and the next read takes the newer copy, nothing doubled. A different
// edit replacing such a write keeps it: sent again first and known as made, it is what the edit builds
// on, so the merge with the other device's copy adds its entries once.
TEST_F(OutboxCloudStoreTest, AWriteMadeWhoseAnswerWasLostIsKnownByItsNameWhenSentAgain) {
  if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
  RedisTestServer server;
  auto other = std::make_unique<RedisTransport>(parseRedisAddress(server.address()).value());
  ASSERT_TRUE(other->set("notes", "a").ok());
  store_ = std::move(OutboxCloudStore::open(std::make_unique<AnswerLost>(other->address()), home_).value());
  std::string log = read("notes") + " ";
  FaultPlan plan;
  plan.fail(FileCall::send, ECONNRESET, "answer", 1);
  write("notes", "a b");
  ASSERT_TRUE(other->setIf(std::vector<ConditionalWrite>{{"notes", "a b c", "a b", "theirs"}}).ok());
  write("notes", "a b");  // a screen saving what it holds: the same write
  store_->flushPending(1000);
  log += pending() + " " + read("notes") + " | ";
  plan.fail(FileCall::send, ECONNRESET, "answer", 1);
  write("notes", "a b c e");
  ASSERT_TRUE(other->setIf(std::vector<ConditionalWrite>{{"notes", "a b c e f", "a b c e", "theirs2"}}).ok());
  ASSERT_TRUE(store_->reachable());  // the back-off ends
  log += store_->setString("a b c e g", "notes").message();
  Result<CloudStore::LoadCopy> load = store_->loadCopy("notes");
  ASSERT_TRUE(load.ok());
  EXPECT_EQ(log + " | " + pending() + " " + health() + " | " + load->base.value_or("-"),
            "a (none) a b c | the cloud copy of notes changed meanwhile | notes the cloud copy of "
            "notes changed meanwhile | a b c e");
}

// An outbox of the first version holding writes of its own: made anew, they wait in their order and
// go, and no id is given again (the count of ids was 9).
TEST_F(OutboxCloudStoreTest, AnOutboxOfTheFirstVersionKeepsItsWaitingWritesAndItsCountOfIds) {
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((home_ / "settings.sqlite3").c_str(), &db), SQLITE_OK);
  auto rows = [&](const char* sql) {  // the rows sql gives, or -1 when it fails
    int count = 0;
    auto one = [](void* n, int, char**, char**) { return ++*static_cast<int*>(n), 0; };
    return sqlite3_exec(db, sql, one, &count, nullptr) == SQLITE_OK ? count : -1;
  };
  ASSERT_EQ(rows("DROP TABLE cloud_pending; CREATE TABLE cloud_pending(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " store TEXT NOT NULL, key TEXT NOT NULL, value BLOB NOT NULL, since INTEGER NOT NULL,"
                 " UNIQUE(store, key)); INSERT INTO cloud_pending VALUES(8, 'memory ', 'tasks', 't', 1),"
                 " (5, 'memory ', 'notes', 'n', 1); UPDATE sqlite_sequence SET seq = 9 WHERE name = "
                 "'cloud_pending'"),
            0);
  store_ = open(home_);
  write("tags", "g");
  store_->flushPending(1000);
  EXPECT_EQ(log(), "[notes=n tasks=t tags=g]");
  EXPECT_EQ(rows("SELECT 1 FROM sqlite_sequence WHERE name = 'cloud_pending' AND seq = 10"
                 " AND NOT EXISTS(SELECT 1 FROM sqlite_master WHERE name LIKE 'cloud_pending_%')"),
            1);
  sqlite3_close(db);
}

// What an earlier version kept for a Redis namespace becomes the store's, other namespaces' stays.
TEST_F(OutboxCloudStoreTest, TheRedisStoresEarlierCopiesAndPendingWritesAreTakenOver) {
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((home_ / "settings.sqlite3").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db,
                   "DROP TABLE cloud_copy; DROP TABLE cloud_pending;"  // an outbox of writes without names:
                   "CREATE TABLE cloud_pending(id INTEGER PRIMARY KEY AUTOINCREMENT, store TEXT NOT NULL,"
                   " key TEXT NOT NULL, value BLOB NOT NULL, since INTEGER NOT NULL, UNIQUE(store, key));"
                   "CREATE TABLE redis_copy(namespace TEXT NOT NULL, key TEXT NOT NULL, value BLOB NOT NULL,"
                   " PRIMARY KEY(namespace, key));"
                   "CREATE TABLE redis_pending(id INTEGER PRIMARY KEY AUTOINCREMENT, namespace TEXT NOT NULL,"
                   " key TEXT NOT NULL, value BLOB NOT NULL, since INTEGER NOT NULL, UNIQUE(namespace, key));"
                   "INSERT INTO redis_copy VALUES('alice', 'tasks', 't'), ('alice', 'notes', 'n'),"
                   " ('bob', 'notes', 'b');"
                   "INSERT INTO redis_pending(namespace, key, value, since) VALUES('alice', 'notes', 'n', 1),"
                   " ('bob', 'notes', 'b', 1)",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  backing_->away = true;
  store_ = open(home_, "alice");
  std::string notes = read("notes");
  EXPECT_EQ(notes + " " + read("tasks") + " " + pending(), "n t notes");
  backing_->away = false;
  store_->flushPending(1000);
  EXPECT_EQ(log(), "notes=n");
  backing_->away = true;
  store_ = open(home_, "bob");  // another namespace's was left for its own store
  notes = read("notes");
  EXPECT_EQ(notes + " " + read("tasks") + " " + pending(), "b (nothing) notes");
}

}  // namespace
}  // namespace quillbox
