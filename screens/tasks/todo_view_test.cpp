#include "screens/tasks/todo_view.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/fault_seam.h"
#include "screens/screen_test_support.h"

namespace quillbox::test {
namespace {

class ToDoTest : public ScreenTest<ToDoView> {
 protected:
  void add(std::string text) { typeAndSubmit("tasksTextField", std::move(text)); }
  void toggle(std::int64_t position) { perform([&] { return view().toggleFinished(position); }); }
  void remove(std::int64_t position) { perform([&] { return view().deleteTask(position); }); }
  // The marks in memory, then as stored: "[2,0] 2,0,".
  std::string marks() {
    std::string out;
    for (std::int64_t mark : view().tasksFinishedIndices.get()) out += (out.empty() ? "" : ",") + std::to_string(mark);
    return "[" + out + "] " + local("stringTasksFinishedIndices");
  }
};

TEST_F(ToDoTest, BodyHoldsItsLayoutOnPhoneAndPad) {
  setLocal("stringTasks", "a|b|https://x.org|https://bad url|");
  setLocal("stringTasksFinishedIndices", "1,2,");
  const std::string phone = R"(NavigationView .navigationViewStyle("StackNavigationViewStyle")
  Form .navigationBarTitle(Text {"text":<appTitle>,"verbatim":true}) .onAppear() .onReceive("UIApplicationWillEnterForegroundNotification") .onChange("stringTasks") .onChange("stringTasksFinishedIndices")
    Section
      header:
        HStack alignment="center" spacing=null .padding("all")
          Text text="Add a new task" verbatim=false .lineLimit(nil) .font("headline")
      HStack alignment="center" spacing=null .padding("all")
        TextField title="Type in a to-do" binding="tasksTextField" .lineLimit(nil) .font("headline") .frame({"minHeight":50,"alignment":"center"}) .disableAutocorrection(true) .autocapitalization("none") .submitLabel("done") .onSubmit("text")
    Section
      header:
        HStack alignment="center" spacing=null .padding("all")
          Text text="Search in all to-dos" verbatim=false .lineLimit(nil) .font("headline")
      HStack alignment="center" spacing=null .padding("all")
        TextField title="Type in here" binding="searchTasks" .lineLimit(nil) .font("headline") .frame({"minHeight":50,"alignment":"center"}) .disableAutocorrection(true) .autocapitalization("none") .submitLabel("search")
      ForEach
        HStack alignment="center" spacing=null .padding("all")
          Image systemName="circle" .lineLimit(nil) .font("title2") .foregroundColor("secondary") .padding("trailing") .onTapGesture({"count":1})
          Text text="a" verbatim=true .lineLimit(nil) .font("title2") .foregroundColor("primary") .onTapGesture({"count":1})
          Spacer minLength=null
          Image systemName="trash" .lineLimit(nil) .font("headline") .foregroundColor("red") .onTapGesture({"count":1})
        HStack alignment="center" spacing=null .padding("all")
          Image systemName="checkmark" .lineLimit(nil) .font("title2") .foregroundColor("blue") .padding("trailing") .onTapGesture({"count":1})
          Text text="b" verbatim=true .lineLimit(nil) .font("title3") .foregroundColor("secondary") .onTapGesture({"count":1})
          Spacer minLength=null
          Image systemName="trash" .lineLimit(nil) .font("headline") .foregroundColor("red") .onTapGesture({"count":1})
        HStack alignment="center" spacing=null .padding("all")
          Image systemName="checkmark" .lineLimit(nil) .font("title2") .foregroundColor("blue") .padding("trailing") .onTapGesture({"count":1})
          Link title="https://x.org" destination="https://x.org" .lineLimit(nil) .font("headline")
          Spacer minLength=null
          Image systemName="trash" .lineLimit(nil) .font("headline") .foregroundColor("red") .onTapGesture({"count":1})
        HStack alignment="center" spacing=null .padding("all")
          Image systemName="circle" .lineLimit(nil) .font("title2") .foregroundColor("secondary") .padding("trailing") .onTapGesture({"count":1})
          Spacer minLength=null
          Image systemName="trash" .lineLimit(nil) .font("headline") .foregroundColor("red") .onTapGesture({"count":1})
)";
  EXPECT_EQ(layout(window().tree()), phone);
  device_->setIdiom(Idiom::pad);
  appear();
  EXPECT_EQ(layout(window().tree()), replaced(phone, "headline", "title2"));
}

TEST_F(ToDoTest, TogglesKeepMarksAndTheirStringInStep) {
  toggle(2);
  toggle(0);
  EXPECT_EQ(marks(), "[2,0] 2,0,");
  toggle(2);
  EXPECT_EQ(marks(), "[0] 0,");
  toggle(2);
  EXPECT_EQ(marks(), "[0,2] 0,2,");
  EXPECT_EQ(cloudWrites(),
            "set stringTasksFinishedIndicesFromCloud=2,; set stringTasksFinishedIndicesFromCloud=2,0,; "
            "set stringTasksFinishedIndicesFromCloud=0,; set stringTasksFinishedIndicesFromCloud=0,2,");
}

TEST_F(ToDoTest, MarksPastTheEndWaitForTheirToDoAndDuplicatesGoTogether) {
  setLocal("stringTasks", "a|b|");
  setLocal("stringTasksFinishedIndices", "5,3,3,");
  EXPECT_EQ(rows(), "[ ] a|[ ] b");
  EXPECT_EQ(marks(), "[5,3,3] 5,3,3,");
  toggle(3);
  EXPECT_EQ(marks(), "[5] 5,");
  for (const char* text : {"c", "d", "e", "f"}) add(text);
  EXPECT_EQ(rows(), "[ ] a|[ ] b|[ ] c|[ ] d|[ ] e|[x] f");
}

TEST_F(ToDoTest, AddKeepsMarksAndAnEmptyAddStillWritesTheCloud) {
  add("a");
  add("b");
  ASSERT_TRUE(tapStatus(1).ok());
  add("c");
  add("");
  add("xNOTES_SEPARATORy");
  EXPECT_EQ(rows(), "[ ] a|[x] b|[ ] c|[ ] x|[ ] y");
  EXPECT_EQ(view().tasksTextField.get(), "");
  EXPECT_EQ(cloudWrites(),
            "set tasksFromCloud=a|; set tasksFromCloud=a|b|; set stringTasksFinishedIndicesFromCloud=1,; "
            "set tasksFromCloud=a|b|c|; set tasksFromCloud=a|b|c||; set tasksFromCloud=a|b|c||x|y|");
}

TEST_F(ToDoTest, ToggleWritesOnlyTheMarksAndRebuildsNoToDos) {
  setLocal("stringTasks", "a|b|");
  EXPECT_EQ(rows(), "[ ] a|[ ] b");
  view().tasks.set({"sentinel"});
  toggle(0);
  EXPECT_EQ(view().tasks.get(), ItemList{"sentinel"});
  EXPECT_EQ(cloudWrites(), "set stringTasksFinishedIndicesFromCloud=0,");
}

// Deleting to-dos never moves a finished mark onto another to-do: the marks of removed to-dos
// go, and the marks behind them move forward with their to-dos.
TEST_F(ToDoTest, DeleteKeepsEveryOtherMarkOnItsOwnToDo) {
  setLocal("stringTasks", "a|b|a|c|");
  setLocal("stringTasksFinishedIndices", "3,1,");
  EXPECT_EQ(rows(), "[ ] a|[x] b|[ ] a|[x] c");
  remove(0);
  EXPECT_EQ(rows(), "[x] b|[x] c");
  EXPECT_EQ(marks(), "[1,0] 1,0,");
  EXPECT_EQ(cloudWrites(), "set tasksFromCloud=b|c|; set stringTasksFinishedIndicesFromCloud=1,0,");
  remove(0);  // b goes with its mark; c's mark moves to 0
  EXPECT_EQ(marks(), "[0] 0,");
  setCloud("tasksFromCloud", "a|b|a|");
  setCloud("stringTasksFinishedIndicesFromCloud", "2,");
  foreground();
  remove(0);  // the finished copy of a goes too, with its mark
  EXPECT_EQ(rows(), "[ ] b");
  EXPECT_EQ(marks(), "[] ");
  setCloud("tasksFromCloud", "a|b|");
  setCloud("stringTasksFinishedIndicesFromCloud", "1,");
  foreground();
  cloudWrites();
  remove(1);
  EXPECT_EQ(rows(), "[ ] a");
  EXPECT_EQ(marks(), "[] ");
  remove(0);  // nothing marked moves: the marks string is not written
  EXPECT_EQ(cloudWrites(), "set tasksFromCloud=a|; set stringTasksFinishedIndicesFromCloud=; set tasksFromCloud=");
}

TEST_F(ToDoTest, SearchedRowsActOnTheirPositionInTheWholeList) {
  setLocal("stringTasks", "a|Buy Milk|fresh milk|");
  type("searchTasks", "milk");
  EXPECT_EQ(rows(), "[ ] fresh milk");
  ASSERT_TRUE(tapLabel(0).ok());
  EXPECT_EQ(marks(), "[2] 2,");
  ASSERT_TRUE(tapTrash(0).ok());
  EXPECT_EQ(local("stringTasks"), "a|Buy Milk|");
  EXPECT_EQ(marks(), "[] ");
  type("searchTasks", "");
  EXPECT_EQ(rows(), "[ ] a|[ ] Buy Milk");
}

TEST_F(ToDoTest, ALinkTogglesOnlyFromItsStatusIcon) {
  setLocal("stringTasks", "https://x.org|HTTP://x.org|https://bad url|");
  EXPECT_FALSE(tapLabel(0).ok());
  ASSERT_TRUE(tapStatus(0).ok());
  ASSERT_TRUE(tapLabel(1).ok());
  ASSERT_TRUE(tapStatus(2).ok());  // a row with no label keeps both icons
  EXPECT_EQ(rows(), "[x] https://x.org (link)|[x] HTTP://x.org|[x]");
  ASSERT_TRUE(tapTrash(2).ok());
  EXPECT_EQ(rows(), "[x] https://x.org (link)|[x] HTTP://x.org");
  EXPECT_EQ(marks(), "[0,1] 0,1,");
}

TEST_F(ToDoTest, CloudCopiesLoadIndependently) {
  setLocal("stringTasks", "a|b|");
  setLocal("stringTasksFinishedIndices", "1,");
  setCloud("tasksFromCloud", "x|y|z|");
  EXPECT_EQ(rows(), "[ ] x|[x] y|[ ] z");
  EXPECT_EQ(cloudWrites(), "set tasksFromCloud=x|y|z|");
  setCloud("stringTasksFinishedIndicesFromCloud", "");
  foreground();
  EXPECT_EQ(rows(), "[ ] x|[ ] y|[ ] z");
  EXPECT_EQ(cloudWrites(), "set stringTasksFinishedIndicesFromCloud=");
  appear();  // both copies equal the local ones: no Change, no write
  EXPECT_EQ(cloudWrites(), "");
}

TEST_F(ToDoTest, PositionsOutsideTheListDoNothing) {
  setLocal("stringTasks", "a|b|");
  setLocal("stringTasksFinishedIndices", "1,");
  EXPECT_EQ(rows(), "[ ] a|[x] b");
  const Element* trash = findFirst(row(1), [](const Element& e) { return e.prop("systemName") == "trash"; });
  ASSERT_NE(trash, nullptr);
  Action stale = trash->modifier("onTapGesture")->action;
  setCloud("tasksFromCloud", "a|");
  foreground();
  cloudWrites();
  perform(stale);
  remove(7);
  remove(-1);
  EXPECT_EQ(local("stringTasks"), "a|");
  EXPECT_EQ(marks(), "[1] 1,");
  EXPECT_EQ(cloudWrites(), "");
}

// A second window on the same store marks a to-do; this window's marks in memory are older (only a load
// rebuilds them), yet its delete moves the marks as stored and never writes the other's over.
TEST_F(ToDoTest, ADeleteKeepsAMarkThatAnotherWindowSetSinceTheLastLoad) {
  setLocal("stringTasks", "a|b|c|");
  window();  // this window loads: no marks
  ToDoView other(env());
  ASSERT_TRUE(other.loadTasks().ok());
  ASSERT_TRUE(other.toggleFinished(2).ok());  // c finished, in the other window
  EXPECT_EQ(local("stringTasksFinishedIndices"), "2,");
  remove(0);
  EXPECT_EQ(marks(), "[1] 1,");  // still c, now at position 1
}

// The other window's change of the marks reaches the cloud; this window's marks stay as it set them
// (only a load rebuilds them).
TEST_F(ToDoTest, AMarksChangeByAnotherWindowIsSentAndRebuildsNoMarks) {
  setLocal("stringTasks", "a|b|");
  window();
  auto other = openWindow(ToDoView(env()));
  ASSERT_TRUE(
      other->tap(idOf(other->tree(), [](const Element& e) { return e.prop("systemName") == "circle"; }))
          .ok());
  cloudWrites();
  EXPECT_TRUE(window().refresh());
  EXPECT_EQ(cloudWrites() + " / " + marks(), "set stringTasksFinishedIndicesFromCloud=0, / [] 0,");
}

// A delete writes the to-dos and the marks behind them; killed at any step, it leaves both as they
// were or both changed, never marks moved without their to-dos.
TEST_F(ToDoTest, ADeleteKilledAtAnyStepLeavesTheToDosAndTheirMarksTogether) {
  std::string seen;
  for (int n = 1; n < 400; ++n) {
    std::filesystem::path home = home_ / std::to_string(n);
    {
      auto store = SettingsStore::open(home).value();
      ASSERT_TRUE(store->set("stringTasks", stored("a|b|c|")).ok() &&
                  store->set("stringTasksFinishedIndices", "2,").ok());
    }
    pid_t child = ::fork();
    if (child == 0) {
      FaultPlan plan;
      plan.before(
          FileCall::write, n, [] { ::_exit(9); }, "settings.sqlite3");
      auto store = SettingsStore::open(home);
      if (!store.ok()) ::_exit(9);  // killed while opening
      auto cloud = std::make_shared<MemoryCloudStore>();
      ToDoView view(Environment{store.value(), [cloud]() -> CloudStore& { return *cloud; }, device_});
      ::_exit(view.loadTasks().ok() && view.deleteTask(0).ok() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 9 || WEXITSTATUS(status) == 0)) << status;
    auto store = SettingsStore::open(home).value();
    std::string both = shown(store->get("stringTasks")) + " " + store->get("stringTasksFinishedIndices");
    EXPECT_TRUE(both == "a|b|c| 2," || both == "b|c| 1,") << "killed before write " << n << ": " << both;
    if (seen.find(both) == std::string::npos) seen += (seen.empty() ? "" : " / ") + both;
    if (WEXITSTATUS(status) == 0) break;
  }
  EXPECT_EQ(seen, "a|b|c| 2, / b|c| 1,");
}

}  // namespace
}  // namespace quillbox::test
