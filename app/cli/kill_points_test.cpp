// A device killed at any step of a change (an opening load, an add, a delete, a change taken back from
// the kept versions), on the folder store and on Redis: after the next loads on
// both devices, every acknowledged to-do is there once, no deleted one is back, the marks sit on their
// to-dos, and both devices and the cloud hold the same strings. The kill lands before each file write
// (SQLite's and the folder store's) and before each round trip to Redis, one run for each.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "base/list_string.h"
#include "platform/device.h"
#include "platform/fault_seam.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/redis_test_server.h"
#include "platform/view/list_history.h"
#include "platform/view/window.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// One device's to-do screen, in a process of its own (forked): its exit code is what it answers.
struct TodoDevice {
  TodoDevice(const fs::path& home, const std::string& spec)
      : settings(SettingsStore::open(home).value()),
        cloud(std::move(makeCloudStore(CloudOptions(spec), home).value())),
        view(Environment{settings, [this]() -> CloudStore& { return *cloud; },
                         std::make_shared<Device>(Idiom::phone)}),
        window([v = view] { return v.body(); }, settings, std::make_shared<Device>(Idiom::phone)) {
    (void)window.open();
  }
  bool act(const std::function<Status()>& operation) { return window.perform(operation).ok(); }
  bool add(const std::string& text) {
    view.tasksTextField.set(text);
    return act([this] { return view.addTask(); });
  }
  std::int64_t position(std::string_view text) {
    const ItemList& tasks = view.tasks.get();
    return std::find(tasks.begin(), tasks.end(), text) - tasks.begin();
  }
  // The to-dos sorted, a finished one followed by "*", from the local strings or the cloud's.
  std::string shown(bool inCloud) {
    auto get = [&](std::string_view local, std::string_view key) {
      return inCloud ? cloud->stringForKey(key).value_or("") : settings->get(local);
    };
    IndexList marks =
        decodeIndexList(get("stringTasksFinishedIndices", "stringTasksFinishedIndicesFromCloud"));
    std::multiset<std::string> rows;
    for (std::string_view task : decodeItemList(get("stringTasks", "tasksFromCloud")))
      rows.insert(std::string(task) + (std::count(marks.begin(), marks.end(), rows.size()) > 0 ? "*" : "") +
                  " ");
    return std::accumulate(rows.begin(), rows.end(), std::string());
  }
  std::shared_ptr<SettingsStore> settings;
  std::unique_ptr<CloudStore> cloud;
  ToDoView view;
  Window window;
};

int inChild(const std::function<bool()>& body) {
  pid_t child = ::fork();
  if (child == 0) ::_exit(body() ? 0 : 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What A does while the kill may land (after its opening, which merges its waiting edits and sends the
// merge), and the to-do it adds or deletes once acknowledged.
struct Step {
  bool (*run)(TodoDevice&);
  std::string added, deleted;  // rows
};
const Step kSteps[] = {
    {[](TodoDevice& a) { return a.window.foreground().ok(); }, "", ""},
    {[](TodoDevice& a) { return a.add("c"); }, "c", ""},
    {[](TodoDevice& a) { return a.act([&] { return a.view.deleteTask(a.position("a")); }); }, "", "a"},
    {[](TodoDevice& a) {  // the add of a taken back from the kept versions: a goes, nothing else
       Result<std::vector<HistoryItem>> kept = readHistory(*a.settings, kTasksList);
       for (const HistoryItem& item : kept.ok() ? kept.value() : std::vector<HistoryItem>{}) {
         if (item.firstAdded == std::vector<std::string>{"a"} && item.removed == 0)
           return revertChange(a.window, kTasksList, item.version.number).ok();
       }
       return false;
     },
     "", "a"},
};

class KillPointsTest : public ::testing::TestWithParam<bool> {};

TEST_P(KillPointsTest, AKillAtAnyStepLosesNothingAcknowledgedAndBringsNothingBack) {
  std::unique_ptr<RedisTestServer> server;
  if (GetParam() && !RedisTestServer::available())
    GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
  if (GetParam()) server = std::make_unique<RedisTestServer>();
  clitest::TempFolder folder;
  std::string wrong;
  int run = 0, kills = 0;
  for (const Step& step : kSteps) {
    for (FileCall call : {FileCall::write, FileCall::send}) {
      for (int n = 1, code = 9; code == 9 && n < 400 && (server || call != FileCall::send); ++n) {
        const fs::path at = folder.path() / std::to_string(++run);
        const std::string spec =
            server ? server->address() + "?namespace=run" + std::to_string(run) : (at / "cloud").string();
        // A and B share [x, y*]; A, away from the cloud, deletes x and adds a; B adds b* meanwhile.
        ASSERT_EQ(inChild([&] {
                    TodoDevice a(at / "A", spec), b(at / "B", spec);
                    bool done = a.add("x") && a.add("y") && a.act([&] { return a.view.toggleFinished(1); }) &&
                                b.window.foreground().ok();
                    FaultPlan away;
                    for (FileCall cut : {FileCall::open, FileCall::send})
                      away.fail(cut, EIO, server ? "redis://" : spec);
                    done = done && a.act([&] { return a.view.deleteTask(0); }) && a.add("a");
                    away.recover(FileCall::open).recover(FileCall::send);
                    return done && b.add("b") && b.act([&] { return b.view.toggleFinished(2); });
                  }),
                  0);
        code = inChild([&] {
          FaultPlan plan;  // from its opening, which loads and merges
          plan.before(call, n, [] { ::_exit(9); });
          TodoDevice a(at / "A", spec);
          return step.run(a);
        });
        kills += code == 9;
        if (code != 9 && code != 0) wrong += "step " + std::to_string(&step - kSteps) + " failed uncut\n";
        inChild([&] {
          TodoDevice a(at / "A", spec), b(at / "B", spec);
          for (TodoDevice* on : {&a, &b, &a, &b}) (void)on->window.foreground();
          std::ofstream(at / "held") << a.shown(false) << "/ " << b.shown(false) << "/ " << a.shown(true);
          return true;
        });
        const std::string held = clitest::fileContents(at / "held");
        // Unanswered, a change may have been made all the same.
        auto has = [&](const std::string& row) {
          return (" " + held).find(" " + row + " ") != std::string::npos;
        };
        std::set<std::string> want{"a", "b*", "y*"};
        if (!step.added.empty() && (code == 0 || has(step.added))) want.insert(step.added);
        if (!step.deleted.empty() && (code == 0 || !has(step.deleted))) want.erase(step.deleted);
        const std::string rows = std::accumulate(want.begin(), want.end(), std::string(),
                                                 [](auto out, auto row) { return out + row + " "; });
        if (held != rows + "/ " + rows + "/ " + rows)
          wrong += "step " + std::to_string(&step - kSteps) + " killed before call " + std::to_string(n) +
                   ": " + held + "\n";
        fs::remove_all(at);
      }
    }
  }
  EXPECT_EQ(wrong, "");
  EXPECT_GT(kills, 30);
}

INSTANTIATE_TEST_SUITE_P(Cloud, KillPointsTest, ::testing::Values(false, true));

}  // namespace
}  // namespace quillbox
