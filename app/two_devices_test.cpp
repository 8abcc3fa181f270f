// Two devices changing the same lists, as a person's phone and laptop would: at the same moment,
// or one of them away from the cloud for a while. Each command is its own `quillbox` process and
// counts once its exit code says it was done. Nothing acknowledged is lost, a delete on one device
// is not undone by the other, and both devices end with the cloud's very strings.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/cli_test_support.h"
#include "platform/cloud_store.h"
#include "platform/device.h"
#include "platform/environment.h"
#include "platform/fault_seam.h"
#include "platform/folder_transport.h"
#include "platform/outbox_cloud_store.h"
#include "platform/redis_test_server.h"
#include "platform/settings_store.h"
#include "platform/window.h"
#include "screens/notes/notes_view.h"
#include "storage/list_string.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using clitest::items;
using clitest::Outcome;

class TwoDevicesTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "redis") {
      if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
      server_ = std::make_unique<RedisTestServer>(
          RedisTestServer::Options{.config = {"user alice on >alice-pw ~* +@all", "user default off"}});
    }
  }

  // The cloud both devices share; "away" makes a device's Redis login fail, which keeps it off
  // the server as a device out of reach would be (same store, same outbox).
  std::string cloudSpec(bool away = false) const {
    if (!server_) return (folder_.path() / "cloud").string();
    std::string address = server_->address();
    return address.insert(address.find("://") + 3, away ? "alice:wrong-pw@" : "alice:alice-pw@");
  }
  clitest::Device device(const std::string& home, bool away = false) const {
    return clitest::Device(folder_.path() / home, cloudSpec(away), folder_.path());
  }

  static std::string ok(const clitest::Device& on, const std::vector<std::string>& args) {
    Outcome outcome = on.run(args);
    EXPECT_EQ(outcome.code, 0) << clitest::joined(args) << ": " << outcome.err;
    return outcome.out;
  }
  static std::string rows(const clitest::Device& on, const std::vector<std::string>& args) {
    return clitest::flattened(ok(on, args));
  }
  static std::string value(const clitest::Device& on, const std::string& store, const std::string& key) {
    std::string out = ok(on, {store, "get", key});
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  clitest::TempFolder folder_;
  std::unique_ptr<RedisTestServer> server_;
};

// One device's app in this process: its own home and stores, a window on its notes screen.
struct NotesDevice {
  explicit NotesDevice(const fs::path& home, const std::string& cloudSpec) {
    Result<std::shared_ptr<SettingsStore>> opened = SettingsStore::open(home);
    if (!opened.ok()) throw std::runtime_error(opened.status().message());
    settings = opened.value();
    Result<std::unique_ptr<CloudStore>> made = makeCloudStore(cloudSpec, home);
    if (!made.ok()) throw std::runtime_error(made.status().message());
    cloud = std::move(made).value();
    CloudStore* store = cloud.get();
    Environment env{settings, [store]() -> CloudStore& { return *store; },
                    std::make_shared<Device>(Idiom::phone)};
    notes = std::make_unique<NotesView>(env);
    window = std::make_unique<Window>([view = *notes] { return view.body(); }, settings, env.device);
  }
  // Adds text as a person would; true once the app says it is done.
  bool add(const std::string& text) {
    notes->notesTextField.set(text);
    return window->perform([this] { return notes->addNote(); }).ok();
  }

  std::shared_ptr<SettingsStore> settings;
  std::unique_ptr<CloudStore> cloud;
  std::unique_ptr<NotesView> notes;
  std::unique_ptr<Window> window;  // goes first, while the stores it uses still live
};

// Each device's app adds 200 notes while the other does, each add an event of its own: every add
// acknowledged is there afterwards, once, on both devices and in the cloud, and the strings are
// the same everywhere.
TEST_P(TwoDevicesTest, AddsMadeAtOnceOnTwoDevicesAreAllKept) {
  constexpr int kAdds = 200;
  const std::string spec = cloudSpec();
  NotesDevice a(folder_.path() / "A", spec), b(folder_.path() / "B", spec);
  ASSERT_TRUE(a.window->open().ok());
  ASSERT_TRUE(b.window->open().ok());
  std::vector<std::string> acknowledged[2];
  auto adds = [&](NotesDevice& on, const std::string& name, std::vector<std::string>& done) {
    for (int i = 0; i < kAdds; ++i) {
      if (on.add(name + std::to_string(i))) done.push_back(name + std::to_string(i));
    }
  };
  std::thread other([&] { adds(b, "b", acknowledged[1]); });
  adds(a, "a", acknowledged[0]);
  other.join();
  EXPECT_EQ(acknowledged[0].size() + acknowledged[1].size(), 2u * kAdds);

  for (NotesDevice* on : {&a, &b, &a}) ASSERT_TRUE(on->window->foreground().ok());  // takes the other's last
  const std::string cloud = a.cloud->stringForKey("notesFromCloud").value_or("(nothing)");
  EXPECT_EQ(a.settings->get("stringNotes"), cloud);
  EXPECT_EQ(b.settings->get("stringNotes"), cloud);
  std::multiset<std::string> kept;
  for (std::string_view note : decodeItemList(cloud)) kept.insert(std::string(note));
  std::string missing;
  for (const auto& done : acknowledged) {
    for (const std::string& text : done) {
      if (kept.count(text) != 1) missing += " " + text + "x" + std::to_string(kept.count(text));
    }
  }
  EXPECT_EQ(missing, "") << "acknowledged adds not kept once";
  EXPECT_EQ(kept.size(), 2u * kAdds);
}

// One device edits away from the cloud while the other edits online; when it is back, both sets of
// edits are kept, the marks stay on their to-dos, and a delete on either side stays done.
TEST_P(TwoDevicesTest, EditsMadeAwayFromTheCloudAreMergedWithTheOtherDevicesOnReturn) {
  if (!server_) GTEST_SKIP() << "a folder is never out of reach";
  const clitest::Device a = device("A"), b = device("B"), aAway = device("A", true);
  ok(a, {"tasks", "add", "x"});
  ok(a, {"tasks", "add", "y"});
  ok(a, {"tasks", "add", "z"});
  ok(a, {"tasks", "toggle", "2"});
  ASSERT_EQ(rows(b, {"tasks", "list"}), "1 [ ] x|2 [x] y|3 [ ] z");

  for (const std::vector<std::string>& edit : {std::vector<std::string>{"tasks", "add", "from A"},
                                               {"tasks", "toggle", "1"},
                                               {"tasks", "delete", "3"}}) {
    EXPECT_EQ(aAway.run(edit).code, 0) << clitest::joined(edit);  // kept, to be sent later
  }
  EXPECT_EQ(rows(aAway, {"tasks", "list"}), "1 [x] x|2 [x] y|3 [ ] from A");
  ok(b, {"tasks", "delete", "1"});  // x, which A marked meanwhile
  ok(b, {"tasks", "toggle", "1"});  // y unmarked
  ok(b, {"tasks", "add", "from B"});
  ok(b, {"tasks", "toggle", "3"});

  const std::string merged = "1 [ ] y|2 [x] from B|3 [ ] from A";
  EXPECT_EQ(rows(a, {"tasks", "list"}), merged);
  EXPECT_EQ(rows(b, {"tasks", "list"}), merged);
  const std::string strings =
      value(a, "cloud", "tasksFromCloud") + " " + value(a, "cloud", "stringTasksFinishedIndicesFromCloud");
  EXPECT_EQ(strings, items({"y", "from B", "from A"}) + " 1,");
  EXPECT_EQ(value(a, "store", "stringTasks") + " " + value(a, "store", "stringTasksFinishedIndices"),
            strings);
  EXPECT_EQ(value(b, "store", "stringTasks") + " " + value(b, "store", "stringTasksFinishedIndices"),
            strings);
  EXPECT_NE(ok(a, {"history", "tasks"}).find("merge"), std::string::npos);  // the merge can be undone
}

INSTANTIATE_TEST_SUITE_P(Cloud, TwoDevicesTest, ::testing::Values("folder", "redis"));

// A window whose write finds that another device wrote the list meanwhile merges and sends again
// within the same event: the cloud holds both devices' notes when the event returns.
TEST(TwoDevicesWindowTest, AWriteHeldBackByANewerCopyIsMergedWithinTheEvent) {
  clitest::TempFolder folder;
  const fs::path cloudFolder = folder.path() / "cloud", key = cloudFolder / "notesFromCloud";
  Result<std::shared_ptr<SettingsStore>> settings = SettingsStore::open(folder.path() / "A");
  ASSERT_TRUE(settings.ok()) << settings.status().message();
  Result<std::unique_ptr<FolderTransport>> transport = FolderTransport::open(cloudFolder);
  ASSERT_TRUE(transport.ok());
  Result<std::unique_ptr<OutboxCloudStore>> cloud =
      OutboxCloudStore::open(std::move(transport.value()), folder.path() / "A");
  ASSERT_TRUE(cloud.ok());
  CloudStore* store = cloud.value().get();
  Environment env{settings.value(), [store]() -> CloudStore& { return *store; },
                  std::make_shared<Device>(Idiom::phone)};
  NotesView notes(env);
  Window window([notes] { return notes.body(); }, settings.value(), env.device);
  { std::ofstream(key, std::ios::binary) << items({"a"}); }
  ASSERT_TRUE(window.open().ok());

  {
    // Another device's write lands between this one's load and its write.
    FaultPlan plan;
    plan.before(
        FileCall::open, 1,
        [&] {
          std::ofstream(key, std::ios::binary) << items({"a", "theirs"});
        },
        "notesFromCloud");
    notes.notesTextField.set("mine");
    ASSERT_TRUE(window.perform([&] { return notes.addNote(); }).ok());
  }
  EXPECT_EQ(clitest::fileContents(key), items({"a", "theirs", "mine"}));
  EXPECT_EQ(settings.value()->get("stringNotes"), items({"a", "theirs", "mine"}));
  EXPECT_EQ(store->pendingKeys().size(), 0u);
  Result<std::vector<SettingsStore::Version>> versions = settings.value()->versions("stringNotes");
  ASSERT_TRUE(versions.ok());
  ASSERT_FALSE(versions.value().empty());
  EXPECT_EQ(versions.value().front().cause, "merge");
}

}  // namespace
}  // namespace quillbox
