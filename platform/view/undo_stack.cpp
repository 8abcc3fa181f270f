#include "platform/view/undo_stack.h"

#include <utility>

#include "platform/view/list_history.h"

namespace quillbox {

namespace {

constexpr std::size_t kKeptSteps = 50;

bool onTaskScreen(const StoredList& list) {
  return list.localKey == kTasksList.localKey || list.localKey == kMarksList.localKey;
}

}  // namespace

Result<std::vector<std::string>> UndoStack::readLists(SettingsStore& store) {
  std::vector<std::string> lists;
  for (const StoredList& list : kStoredLists) {
    Result<std::string> value = store.read(list.localKey);
    if (!value) return value.status();
    lists.push_back(std::move(value).value());
  }
  return lists;
}

void UndoStack::record(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  Step step;
  bool tasks = false;
  for (std::size_t i = 0; i < kStoredLists.size(); ++i) {
    if (before[i] != after[i]) tasks = tasks || onTaskScreen(kStoredLists[i]);
  }
  for (std::size_t i = 0; i < kStoredLists.size(); ++i) {
    if (before[i] != after[i] || (tasks && onTaskScreen(kStoredLists[i])))
      step.lists.push_back({&kStoredLists[i], before[i], after[i]});
  }
  if (step.lists.empty()) return;
  step.id = nextId_++;
  step.text = describeChange(step.lists);
  steps_.push_back(std::move(step));
  if (steps_.size() > kKeptSteps) steps_.erase(steps_.begin());
}

std::optional<UndoStack::Offer> UndoStack::offer() const {
  if (steps_.empty()) return std::nullopt;
  return Offer{steps_.back().id, steps_.back().text};
}

Status UndoStack::undo(SettingsStore& store, std::uint64_t id, bool& reloadsMarks) {
  reloadsMarks = false;
  if (steps_.empty() || steps_.back().id != id)
    return Status::Conflict("that change is no longer offered to undo");
  if (Status reverted = writeReverted(store, steps_.back().lists, "undo", reloadsMarks); !reverted.ok())
    return reverted;
  steps_.pop_back();
  return Status::Ok();
}

}  // namespace quillbox
