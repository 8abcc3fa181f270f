#include "app/cli/undo_command.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/history_commands.h"
#include "app/cli/history_export.h"
#include "base/escape.h"
#include "base/list_string.h"
#include "base/list_undo.h"
#include "platform/view/list_history.h"

namespace quillbox {

namespace {

constexpr std::size_t kShownEntries = 3;

bool madeHere(const std::string& cause) {
  return cause == "edit" || cause == "command line" || cause == "restore" || cause == "revert";
}

// `"a", "b" and 2 more`
std::string shownEntries(const std::vector<std::string_view>& entries) {
  std::string out;
  for (std::size_t i = 0; i < entries.size() && i < kShownEntries; ++i) {
    out += (i == 0 ? "\"" : ", \"") + terminalSafe(shortenedText(entries[i], 40)) + "\"";
  }
  if (entries.size() > kShownEntries)
    out += " and " + std::to_string(entries.size() - kShownEntries) + " more";
  return out;
}

// What the undo brought back and took away, a line each: entries, and to-dos marked finished again.
std::string cameBack(const std::vector<ListStrings>& undo) {
  std::string out;
  const ListStrings* tasks = nullptr;
  for (const ListStrings& strings : undo) {
    if (strings.list->localKey == kTasksList.localKey) tasks = &strings;
  }
  for (const ListStrings& strings : undo) {
    const EntryDelta delta = deltaBetween(strings.before, strings.after, strings.list->separator());
    if (strings.list->encoding == ListEncoding::items) {
      if (!delta.added.empty()) out += "came back: " + shownEntries(delta.added) + "\n";
      if (!delta.removed.empty()) out += "went: " + shownEntries(delta.removed) + "\n";
      continue;
    }
    const ItemList todos = decodeItemList(tasks != nullptr ? tasks->after : std::string());
    for (const auto& [side, pieces] :
         {std::pair{"finished again: ", &delta.added}, std::pair{"unfinished again: ", &delta.removed}}) {
      std::vector<std::string_view> named;
      for (std::string_view piece : *pieces) {
        const IndexList at = decodeIndexList(piece);
        if (!at.empty() && at.front() >= 0 && static_cast<std::size_t>(at.front()) < todos.size())
          named.push_back(todos[static_cast<std::size_t>(at.front())]);
      }
      if (!named.empty()) out += side + shownEntries(named) + "\n";
    }
  }
  return out;
}

Status undoChange(const std::string& name, CommandContext& context) {
  std::vector<const StoredList*> lists;
  for (const StoredList& list : kStoredLists) {
    if (name.empty() || sameScreen(list, *storedListNamed(name))) lists.push_back(&list);
  }
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  SettingsStore& store = *session.value()->store;
  ListWriter writer(*session.value());
  for (const StoredList* list : lists) {
    if (Result<const AppStorage*> opened = writer.open(*list); !opened) return opened.status();
  }
  Result<std::vector<KeptChange>> changes = keptChanges(store, lists);
  if (!changes) return asStoreFailure(changes.status());
  // Undos already made took back changes of their screen, newest first.
  const KeptChange* chosen = nullptr;
  std::array<int, 3> undone{};
  for (const KeptChange& change : changes.value()) {
    int& screenUndone = undone[static_cast<std::size_t>(screenOf(*change.list))];
    if (change.cause == "undo") ++screenUndone;
    if (!madeHere(change.cause)) continue;
    if (screenUndone == 0) {
      chosen = &change;
      break;
    }
    --screenUndone;
  }
  if (chosen == nullptr)
    return Status::NotFound("undo: no change of " + (name.empty() ? std::string("any list") : name) +
                            " made on this device to undo");
  Result<std::vector<ListStrings>> change = listsOfChange(store, *chosen);
  if (!change) return asStoreFailure(change.status());
  std::vector<std::pair<const StoredList*, std::string>> writes;
  std::vector<ListStrings> undo;
  for (const ListStrings& list : change.value()) {
    Result<std::string> now = store.read(list.list->localKey);
    if (!now) return asStoreFailure(now.status());
    undo.push_back({list.list, std::move(now).value(), ""});
  }
  if (undo.size() == 2) {  // the to-dos, then their marks
    TaskStrings back =
        revertTaskLists({change.value()[0].before, change.value()[1].before},
                        {change.value()[0].after, change.value()[1].after}, {undo[0].before, undo[1].before});
    undo[0].after = std::move(back.tasks);
    undo[1].after = std::move(back.marks);
  } else {
    undo[0].after = revertItemList(change.value()[0].before, change.value()[0].after, undo[0].before);
  }
  for (const ListStrings& list : undo) writes.emplace_back(list.list, list.after);
  Result<std::vector<bool>> written = writer.write(writes, "undo");
  if (!written) return written.status();
  if (Status ended = endVisit(*session.value(), context.err); !ended.ok()) return ended;
  context.out << "undid: " << terminalSafe(describeChange(change.value())) << " ("
              << terminalSafe(chosen->cause) << ", " << isoTime(chosen->timeMs) << ")\n"
              << cameBack(undo);
  return Status::Ok();
}

}  // namespace

void addUndoCommand(CLI::App& app, CommandContext& context) {
  auto list = std::make_shared<std::string>();
  CommandContext* shared = &context;  // lives until the chosen command has run
  CLI::App* undo = app.add_subcommand(
      "undo", "take back this device's latest change of a list (of any list when none is named)");
  undo->add_option("LIST", *list, "notes, tasks (with their finished marks) or tags")
      ->check(CLI::IsMember({"notes", "tasks", "tags"}));
  undo->callback([list, shared] { shared->command = [list, shared] { return undoChange(*list, *shared); }; });
}

}  // namespace quillbox
