#include "screens/tasks/todo_view.h"

#include <algorithm>
#include <vector>

#include "base/stored_lists.h"
#include "base/text.h"
#include "screens/screen_parts.h"

namespace quillbox {

// The finished marks as a sorted set of positions.
struct ToDoView::FinishedMarks {
  explicit FinishedMarks(const IndexList& marks) : sorted(marks) {
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  }
  bool contains(std::int64_t position) const {
    return std::binary_search(sorted.begin(), sorted.end(), position);
  }
  IndexList sorted;
};

// The set made for the marks as they were last asked about; holding them makes any later change
// of the marks a new value, so the set is never asked about marks it was not made from.
struct ToDoView::MarksCache {
  std::shared_ptr<const IndexList> source;
  std::shared_ptr<const FinishedMarks> set;
};

ToDoView::ToDoView(const Environment& env)
    : stringTasks(env.settings, std::string(kTasksList.localKey)),
      stringTasksFinishedIndices(env.settings, std::string(kMarksList.localKey)),
      env_(env),
      tasksSync_(stringTasks, std::string(kTasksList.cloudKey), tasks, decodeItemList),
      marksSync_(stringTasksFinishedIndices, std::string(kMarksList.cloudKey), tasksFinishedIndices,
                 decodeIndexList, SyncedList<IndexList>::OnSave::keepMemory),
      marksCache_(std::make_shared<MarksCache>()) {}

std::shared_ptr<const ToDoView::FinishedMarks> ToDoView::finishedMarks() const {
  std::shared_ptr<const IndexList> marks = tasksFinishedIndices.snapshot();
  if (marksCache_->source != marks) {
    marksCache_->set = std::make_shared<const FinishedMarks>(*marks);
    marksCache_->source = std::move(marks);
  }
  return marksCache_->set;
}

Status ToDoView::addTask() const {
  Status added =
      stringTasks.update([&](std::string_view stored) { return appendItem(stored, tasksTextField.get()); });
  if (added.ok()) tasksTextField.set("");
  return added;
}

Status ToDoView::unmark(std::int64_t position) const {
  Status written = stringTasksFinishedIndices.update(
      [&](std::string_view stored) { return removeIndex(stored, position); });
  if (written.ok()) std::erase(tasksFinishedIndices.mutate(), position);
  return written;
}

Status ToDoView::toggleFinished(std::int64_t position) const {
  if (isFinished(position)) return unmark(position);
  Status written = stringTasksFinishedIndices.update(
      [&](std::string_view stored) { return appendIndex(stored, position); });
  if (written.ok()) tasksFinishedIndices.mutate().push_back(position);
  return written;
}

Status ToDoView::deleteTask(std::int64_t position) const {
  const ItemList& list = tasks.get();
  const std::optional<std::string_view> item = itemAt(list, position);
  if (!item) return Status::Ok();
  const std::string text(*item);

  // Every to-do equal to the deleted one goes. Their marks go with them, and each mark behind them
  // moves forward by the number of removed to-dos before it, so it stays on its own to-do.
  std::vector<std::int64_t> removed;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (textEquals(list[i], text)) removed.push_back(static_cast<std::int64_t>(i));
  }
  // The two strings change together or not at all: never marks moved without their to-dos.
  SettingsStore::WriteGroup together(*env_.settings);
  // The marks are taken from their string, which every window keeps current, rather than from this
  // window's list, which only a load rebuilds: another window's toggle is never written back over.
  Result<std::string> storedMarks = stringTasksFinishedIndices.read();
  if (!storedMarks.ok()) return storedMarks.status();
  IndexList marks;
  bool moved = false;
  for (std::int64_t mark : decodeIndexList(storedMarks.value())) {
    if (std::binary_search(removed.begin(), removed.end(), mark)) {
      moved = true;
      continue;
    }
    auto before = std::lower_bound(removed.begin(), removed.end(), mark) - removed.begin();
    if (before > 0) moved = true;
    marks.push_back(mark - before);
  }
  if (moved) {
    std::string stored;
    for (std::int64_t mark : marks) stored.append(appendIndex("", mark));
    if (Status written = stringTasksFinishedIndices.set(stored); !written.ok()) return written;
  }
  Status deleted =
      stringTasks.update([&](std::string_view stored) { return removeItemsEqualTo(stored, text); });
  if (deleted.ok()) deleted = together.commit();
  if (deleted.ok() && moved) tasksFinishedIndices.set(std::move(marks));
  return deleted;
}

Status ToDoView::loadTasks() const {
  // The to-dos and their marks load together: unsent edits of either merge with both.
  const SyncedString parts[] = {tasksSync_.part(), marksSync_.part()};
  if (Status loaded = loadSynced(parts, env_.cloud(), mergeTaskStrings, env_.settings.get()); !loaded.ok())
    return loaded;
  Status tasksRebuilt = tasksSync_.rebuild();
  Status marksRebuilt = marksSync_.rebuild();
  return tasksRebuilt.ok() ? marksRebuilt : tasksRebuilt;
}

Status ToDoView::stringTasksChanged() const { return tasksSync_.save(env_.cloud()); }

Status ToDoView::stringTasksFinishedIndicesChanged() const { return marksSync_.save(env_.cloud()); }

bool ToDoView::isTaskShown(std::int64_t position) const {
  return shownUnderSearch(tasks.get(), searchTasks.get(), position);
}

bool ToDoView::isFinished(std::int64_t position) const { return finishedMarks()->contains(position); }

Element ToDoView::body() const {
  const auto self = std::make_shared<const ToDoView>(*this);
  const TextStyle style = deviceTextStyle(*env_.device);
  const std::shared_ptr<const ItemList> list = tasks.snapshot();
  const std::shared_ptr<const FinishedMarks> finished = finishedMarks();

  Rows rows;
  rows.count = list->size();
  rows.shown = [list, search = searchTasks.get()](std::size_t p) {
    return shownUnderSearch(*list, search, static_cast<std::int64_t>(p));
  };
  rows.row = [self, list, finished, style](std::size_t p) {
    const auto position = static_cast<std::int64_t>(p);
    const bool done = finished->contains(position);
    auto toggle = [self, position] { return self->toggleFinished(position); };
    std::vector<Element> row;
    row.reserve(4);
    row.push_back(Image(done ? "checkmark" : "circle")
                      .lineLimit(std::nullopt)
                      .font(TextStyle::title2)
                      .foregroundColor(done ? Color::blue : Color::secondary)
                      .padding(Edges::trailing)
                      .onTapGesture(toggle));
    const std::string_view text = (*list)[p];
    if (isLinkText(text)) {
      if (auto link = linkLabel(text, style)) row.push_back(std::move(*link));
    } else {
      row.push_back(Text(std::string(text), true)
                        .lineLimit(std::nullopt)
                        .font(done ? TextStyle::title3 : TextStyle::title2)
                        .foregroundColor(done ? Color::secondary : Color::primary)
                        .onTapGesture(toggle));
    }
    row.push_back(Spacer());
    row.push_back(trashIcon(style, [self, position] { return self->deleteTask(position); }));
    return HStack(std::move(row)).padding();
  };
  rows.fingerprint = [list, finished, style](std::size_t p) {
    const bool done = finished->contains(static_cast<std::int64_t>(p));
    return fingerprintOf((*list)[p], static_cast<std::uint64_t>(style) * 2 + (done ? 1 : 0));
  };

  std::vector<Element> sections;
  sections.push_back(addSection("Add a new task", "Type in a to-do",
                                bindText(tasksTextField, "tasksTextField"), style,
                                [self] { return self->addTask(); }));
  sections.push_back(searchSection("Search in all to-dos", bindText(searchTasks, "searchTasks"), style,
                                   Elements(ForEach(std::move(rows)))));
  return screenForm(
      std::move(sections), [self] { return self->loadTasks(); },
      {{stringTasks, [self] { return self->stringTasksChanged(); }},
       {stringTasksFinishedIndices, [self] { return self->stringTasksFinishedIndicesChanged(); }}});
}

}  // namespace quillbox
