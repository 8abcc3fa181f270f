// A device killed at any step of a change, on the folder store and on Redis: after the next loads on
// both devices, every acknowledged to-do is there once, no deleted one is back, the marks sit on their
// to-dos, and both devices and the cloud hold the same strings. The kill lands before each file write
// (SQLite's and the folder store's) and before each round trip to Redis, one run for each.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "base/list_string.h"
#include "platform/device.h"
#include "platform/environment.h"
#include "platform/fault_seam.h"
#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"
#include "platform/transports/redis_test_server.h"
#include "platform/view/window.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

constexpr int kKilled = 9;

// One device's to-do screen in this process.
struct TasksDevice {
  TasksDevice(const fs::path& home, const std::string& cloudSpec)
      : settings(SettingsStore::open(home).value()),
        cloud(std::move(makeCloudStore(cloudSpec, home).value())) {
    CloudStore* store = cloud.get();
    Environment env{settings, [store]() -> CloudStore& { return *store; },
                    std::make_shared<Device>(Idiom::phone)};
    view = std::make_unique<ToDoView>(env);
    window = std::make_unique<Window>([view = *view] { return view.body(); }, settings, env.device);
    (void)window->open();
  }
  bool act(const std::function<Status()>& operation) { return window->perform(operation).ok(); }
  bool add(const std::string& text) {
    view->tasksTextField.set(text);
    return act([this] { return view->addTask(); });
  }
  // The to-dos in order, a finished one followed by "*".
  static std::string shown(const std::string& tasks, const std::string& marks) {
    IndexList marked = decodeIndexList(marks);
    std::string out;
    std::int64_t at = 0;
    for (std::string_view task : decodeItemList(tasks)) {
      out.append(task).append(std::count(marked.begin(), marked.end(), at++) > 0 ? "* " : " ");
    }
    return out;
  }
  std::string local() {
    return shown(settings->get("stringTasks"), settings->get("stringTasksFinishedIndices"));
  }
  std::string inCloud() {
    return shown(cloud->stringForKey("tasksFromCloud").value_or(""),
                 cloud->stringForKey("stringTasksFinishedIndicesFromCloud").value_or(""));
  }

  std::shared_ptr<SettingsStore> settings;
  std::unique_ptr<CloudStore> cloud;
  std::unique_ptr<ToDoView> view;
  std::unique_ptr<Window> window;  // goes first, while the stores it uses still live
};

// The entries of a shown list in byte order, each followed by " ".
std::string sortedEntries(const std::string& shown) {
  std::vector<std::string> entries;
  std::istringstream words(shown);
  for (std::string word; words >> word;) entries.push_back(word);
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (const std::string& entry : entries) out += entry + " ";
  return out;
}

// Runs body in a child process, which opens its own stores; its exit code (kKilled when the plan
// stopped it).
int inChild(const std::function<int()>& body) {
  pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class KillPointsTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() != "redis") return;
    if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
    server_ = std::make_unique<RedisTestServer>();
  }

  // The cloud of run number run, apart from every other run's.
  std::string cloudSpec(int run) const {
    if (!server_) return (folder_.path() / std::to_string(run) / "cloud").string();
    return server_->address() + "?namespace=run" + std::to_string(run);
  }
  // What the cloud's calls go through, for keeping a device away from it.
  std::string cloudMark(int run) const { return server_ ? "redis://" : cloudSpec(run); }
  fs::path home(int run, const char* name) const { return folder_.path() / std::to_string(run) / name; }

  // A and B share [x, y*]; A, away from the cloud, deletes x and adds a; B adds b* meanwhile.
  void prepare(int run) {
    ASSERT_EQ(inChild([&] {
                TasksDevice a(home(run, "A"), cloudSpec(run)), b(home(run, "B"), cloudSpec(run));
                bool done = a.add("x") && a.add("y") && a.act([&] { return a.view->toggleFinished(1); });
                done = done && b.window->foreground().ok() && b.local() == "x y* ";
                {
                  FaultPlan away;
                  for (FileCall call : {FileCall::open, FileCall::send}) away.fail(call, EIO, cloudMark(run));
                  done = done && a.act([&] { return a.view->deleteTask(0); }) && a.add("a");
                }
                done = done && b.add("b") && b.act([&] { return b.view->toggleFinished(2); });
                return done ? 0 : 1;
              }),
              0);
  }

  // After the next loads on both devices: "same" when A, B and the cloud agree, and what they hold.
  std::string settle(int run) {
    fs::path report = folder_.path() / std::to_string(run) / "report";
    EXPECT_EQ(inChild([&] {
                TasksDevice a(home(run, "A"), cloudSpec(run)), b(home(run, "B"), cloudSpec(run));
                for (TasksDevice* on : {&a, &b, &a, &b}) (void)on->window->foreground();
                std::string held = a.local();
                bool same = held == b.local() && held == a.inCloud();
                std::ofstream(report)
                    << (same ? "same: " : "differ: ") << held << "/ " << b.local() << "/ " << a.inCloud();
                return 0;
              }),
              0);
    std::stringstream text;
    text << std::ifstream(report).rdbuf();
    return text.str();
  }

  clitest::TempFolder folder_;
  std::unique_ptr<RedisTestServer> server_;
};

// What A does while the kill may land: a merging load (and the delivery of the merge), or an add,
// which finds the cloud moved and merges too.
struct Step {
  const char* name;
  bool (*run)(TasksDevice&);
  const char* added;  // the to-do it adds, present once acknowledged
};
const Step kSteps[] = {
    {"load", [](TasksDevice& a) { return a.window->foreground().ok(); }, ""},
    {"edit", [](TasksDevice& a) { return a.add("c"); }, "c"},
};

TEST_P(KillPointsTest, AKillAtAnyStepOfALoadOrAnEditLosesNothingAcknowledged) {
  std::vector<FileCall> calls{FileCall::write};
  if (server_) calls.push_back(FileCall::send);
  std::string wrong;
  int run = 0, kills = 0;
  for (const Step& step : kSteps) {
    for (FileCall call : calls) {
      for (int n = 1; n < 400; ++n) {
        ++run;
        prepare(run);
        int code = inChild([&] {
          TasksDevice a(home(run, "A"), cloudSpec(run));
          FaultPlan plan;
          plan.before(call, n, [] { ::_exit(kKilled); });
          return step.run(a) ? 0 : 1;
        });
        std::string held = settle(run);
        bool added = held.find(std::string(" ") + step.added + " ") != std::string::npos;
        // Acknowledged, it is there; unanswered, it may have landed all the same.
        std::string expected =
            sortedEntries(std::string("a b* y* ") + (code == 0 || added ? step.added : ""));
        if (held.rfind("same: ", 0) != 0 || sortedEntries(held.substr(6, held.find('/') - 6)) != expected) {
          wrong += std::string(step.name) + " killed before call " + std::to_string(n) + " (" +
                   std::to_string(code) + "): " + held + "\n";
        }
        fs::remove_all(folder_.path() / std::to_string(run));
        if (code != kKilled) break;
        ++kills;
      }
    }
  }
  EXPECT_EQ(wrong, "");
  EXPECT_GT(kills, 10);
}

INSTANTIATE_TEST_SUITE_P(Cloud, KillPointsTest, ::testing::Values("folder", "redis"));

}  // namespace
}  // namespace quillbox
