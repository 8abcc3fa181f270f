// Two devices changing the same lists, as a person's phone and laptop would: at the same moment,
// or one of them away from the cloud for a while. Nothing acknowledged is lost, and both devices end
// with the cloud's very strings. (Deletes and marks merged on a return: kill_points_test.cpp.)

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/cli/cli_test_support.h"
#include "base/list_string.h"
#include "platform/device.h"
#include "platform/environment.h"
#include "platform/fault_seam.h"
#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"
#include "platform/sync/memory_transport_test_support.h"
#include "platform/sync/outbox_cloud_store.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/redis_test_server.h"
#include "platform/view/view_render.h"
#include "platform/view/window.h"
#include "screens/notes/notes_view.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using clitest::items;

// One device's app in this process: its own home and stores, a window on its notes screen, opened.
struct NotesDevice {
  NotesDevice(const fs::path& home, const std::string& cloudSpec)
      : settings(SettingsStore::open(home).value()),
        cloud(std::move(makeCloudStore(CloudOptions(cloudSpec), home).value())) {
    CloudStore* store = cloud.get();
    Environment env{settings, [store]() -> CloudStore& { return *store; },
                    std::make_shared<Device>(Idiom::phone)};
    notes = std::make_unique<NotesView>(env);
    window = std::make_unique<Window>([view = *notes] { return view.body(); }, settings, env.device);
    EXPECT_TRUE(window->open().ok());
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

class TwoDevicesTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() != "redis") return;
    if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
    server_ = std::make_unique<RedisTestServer>();
  }

  // The cloud both devices share.
  std::string cloudSpec() const { return server_ ? server_->address() : (folder_.path() / "cloud").string(); }

  clitest::TempFolder folder_;
  std::unique_ptr<RedisTestServer> server_;
};

// Each device's app adds 200 notes while the other does, each add an event of its own: every add
// acknowledged is there afterwards, once, on both devices and in the cloud.
TEST_P(TwoDevicesTest, AddsMadeAtOnceOnTwoDevicesAreAllKept) {
  constexpr int kAdds = 200;
  NotesDevice a(folder_.path() / "A", cloudSpec()), b(folder_.path() / "B", cloudSpec());
  std::multiset<std::string> acknowledged, byB;  // each thread its own
  auto adds = [&](NotesDevice& on, char name, std::multiset<std::string>& done) {
    for (int i = 0; i < kAdds; ++i)
      if (on.add(name + std::to_string(i))) done.insert(name + std::to_string(i));
  };
  std::thread other(adds, std::ref(b), 'b', std::ref(byB));
  adds(a, 'a', acknowledged);
  other.join();
  acknowledged.merge(byB);
  EXPECT_EQ(acknowledged.size(), 2u * kAdds);

  for (NotesDevice* on : {&a, &b, &a}) ASSERT_TRUE(on->window->foreground().ok());  // takes the other's last
  const std::string cloud = a.cloud->stringForKey("notesFromCloud").value_or("(nothing)");
  EXPECT_EQ(a.settings->get("stringNotes") + b.settings->get("stringNotes"), cloud + cloud);
  const ItemList kept = decodeItemList(cloud);
  EXPECT_TRUE(std::multiset<std::string>(kept.begin(), kept.end()) == acknowledged) << cloud;
}

// A device that never loaded a list (a fresh home, or one that names the cloud another way) edits it
// away from the cloud; back, its edits merge onto the other device's list, what both held is there
// once, and the merge is kept in the history as a change of its own.
TEST_P(TwoDevicesTest, AFreshDevicesEditsMadeAwayMergeOntoTheOtherDevicesListOnce) {
  const fs::path c = folder_.path() / "C";
  NotesDevice a(folder_.path() / "A", cloudSpec());
  ASSERT_TRUE(a.add("x") && a.add("y"));
  {
    FaultPlan away;
    for (FileCall call : {FileCall::open, FileCall::send})
      away.fail(call, EIO, server_ ? "redis://" : cloudSpec());
    NotesDevice fresh(c, cloudSpec());
    ASSERT_TRUE(fresh.add("y") && fresh.add("c"));
  }
  NotesDevice back(c, cloudSpec());  // the next run, with the cloud there
  ASSERT_TRUE(a.window->foreground().ok());
  const std::string all = items({"x", "y", "c"});
  const auto kept = back.settings->versions("stringNotes");  // the merge can be taken back
  EXPECT_EQ(back.settings->get("stringNotes") + " " + a.settings->get("stringNotes") + " " +
                a.cloud->stringForKey("notesFromCloud").value_or("") + " " +
                (kept.ok() && !kept->empty() ? kept->front().cause : "-"),
            all + " " + all + " " + all + " merge");
}

INSTANTIATE_TEST_SUITE_P(Cloud, TwoDevicesTest, ::testing::Values("folder", "redis"));

// A transport whose writes wait until the test lets them go, as a slow server's would; a write made
// on the thread that runs the window is noted (it must never happen) and let through.
class HeldTransport : public MemoryTransport {
 public:
  using MemoryTransport::MemoryTransport;
  Status setIf(std::span<const ConditionalWrite> writes) override {
    std::unique_lock<std::mutex> guard(mutex_);
    sentOnWindow = sentOnWindow || std::this_thread::get_id() == window_;
    ++waiting_;
    changed_.notify_all();
    changed_.wait(guard, [&] { return !held_ || sentOnWindow; });
    --waiting_;
    guard.unlock();
    return MemoryTransport::setIf(writes);
  }
  // Holds the writes to come, or lets them go.
  void hold(bool held) {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = held;
    changed_.notify_all();
  }
  // Waits until a write is held (or was made on the window's thread).
  void awaitHeld() {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [&] { return waiting_ > 0 || sentOnWindow; });
  }
  std::atomic<bool> sentOnWindow = false;

 private:
  const std::thread::id window_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  int waiting_ = 0;
};

// A window's keystrokes and adds are answered, and its tree drawn, while its writes wait on the
// backing; each newer write goes on what the answer to the one before taught: the delivered value,
// or, when another device wrote meanwhile, the merge onto its copy, which the window then shows.
TEST(SendsAfterTheEventTest, EventsAreAnsweredWhileWritesWaitAndEachWriteBuildsOnTheAnswerBefore) {
  clitest::TempFolder folder;
  auto backing = std::make_shared<MemoryBacking>();
  auto settings = SettingsStore::open(folder.path()).value();
  auto made = std::make_unique<HeldTransport>(backing);
  HeldTransport& transport = *made;
  std::unique_ptr<OutboxCloudStore> cloud =
      std::move(OutboxCloudStore::open(std::move(made), folder.path()).value());
  cloud->sendInBackground();
  Environment env{settings, [&]() -> CloudStore& { return *cloud; }, std::make_shared<Device>(Idiom::phone)};
  NotesView notes(env);
  Window window([notes] { return notes.body(); }, settings, env.device);
  ASSERT_TRUE(window.open().ok());
  std::string field;
  forEachElement(window.tree(), [&](const Element& element, std::string_view id) {
    if (element.kind() == ElementKind::TextField && field.empty()) field = id;
    return true;
  });
  std::string answers;
  auto add = [&](const std::string& text) {
    for (std::size_t typed = 1; typed <= text.size(); ++typed)
      answers += window.edit(field, text.substr(0, typed)).ok() ? "" : "edit failed ";
    answers += window.submit(field).ok() ? "" : "submit failed ";
  };
  auto drained = [&] {  // the sender's passes up to now have ended; it is started again
    cloud->stopSending(std::chrono::minutes(1));
    cloud->sendInBackground();
    return std::exchange(backing->log, "");
  };
  auto shown = [&] {  // the lines of the tree drawn now, and the notes stored
    const std::string text = renderText(window.tree());
    return std::to_string(std::count(text.begin(), text.end(), '\n')) + " " + settings->get("stringNotes");
  };

  transport.hold(true);
  add("a");
  transport.awaitHeld();
  EXPECT_EQ(shown(), "20 " + items({"a"}));
  add("bc");
  add("d");
  const std::string whileHeld = answers + "|" + backing->log + "|" + shown();
  transport.hold(false);
  const std::string delivered = drained();

  transport.hold(true);
  add("e");
  transport.awaitHeld();
  backing->values["notesFromCloud"] = items({"x"});  // another device wrote meanwhile
  add("f");
  transport.hold(false);
  const std::string merged = drained();
  window.refresh();
  EXPECT_EQ(whileHeld + "|" + delivered + "|" + merged + "|" + shown() + "|" +
                std::to_string(cloud->pendingKeys().size()) +
                (transport.sentOnWindow ? " sent on the window" : ""),
            "||30 " + items({"a", "bc", "d"}) + "|notesFromCloud=" + items({"a"}) +
                "; notesFromCloud=" + items({"a", "bc", "d"}) + "|notesFromCloud=" + items({"x", "e", "f"}) +
                "|30 " + items({"x", "e", "f"}) + "|0");
}

}  // namespace
}  // namespace quillbox
