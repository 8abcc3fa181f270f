#include "app/cli/history_commands.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/cli/cli.h"
#include "app/cli/history_export.h"
#include "base/decimal.h"
#include "base/escape.h"
#include "base/list_string.h"
#include "base/list_undo.h"
#include "base/stored_lists.h"
#include "platform/store/whole_file.h"
#include "platform/view/list_history.h"
#include "platform/view/view_render.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {

namespace {

constexpr std::size_t kSampleBytes = 40;  // bytes shown of each entry (JSON: twice as many)

std::vector<std::string> listNames() {
  std::vector<std::string> names;
  for (const StoredList& list : kStoredLists) names.emplace_back(list.name);
  return names;
}

// A positive whole number, as `history` prints them.
Result<std::int64_t> versionNumber(const std::string& text, const std::string& command) {
  const std::optional<std::uint64_t> number = parseDecimal(text, std::numeric_limits<std::int64_t>::max());
  if (!number || *number < 1)
    return Status::Invalid(command + ": not a version number: " + terminalSafe(text));
  return static_cast<std::int64_t>(*number);
}

Result<std::string> readWhole(const std::string& path, std::istream& in) {
  if (path == "-") return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::error_code error;
  if (std::filesystem::is_directory(path, error))
    return Status::Error("import: cannot read " + terminalSafe(path) + ": it is a folder");
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  if (file) bytes << file.rdbuf();
  if (!file || file.bad())
    return Status::Error("import: cannot read " + terminalSafe(path) + ": " + std::strerror(errno));
  return bytes.str();
}

// ---- the commands

constexpr const char* kHistoryHelp = R"(Each line is one change made to the list on this device, newest first:
  N  TIME (UTC)  CAUSE  ENTRIES  +ADDED -REMOVED  and up to three of each
N names the version that change replaced: the list as it was just before it, which held ENTRIES
entries. `quillbox restore LIST N` makes the list exactly that version again: it takes back that
change and every change listed above it (the restore is a change too, listed and undoable). To
take back the latest change alone, keeping the others, use `quillbox undo`.
A number names the same version for as long as it is kept (the newest 200 of each list). The
numbers count the versions of all four lists together, so one list's numbers skip the others'.
CAUSE: edit (a window of the app), command line, load (the cloud's copy replaced it), merge
(another device's edits merged in), restore, undo, revert (a change taken back from the History
view), or what another process named.
--json: an array, newest first, of {"number": N, "time": "2026-05-01T12:00:00Z", "cause",
"bytes": the version's size, "entries": its entry count, "added" and "removed": what the change
did, each {"count", "first": up to three entries, cut to 80 bytes}}.)";

struct Options {
  std::string list;
  std::string number;
  std::string file;
  bool json = false;
  bool history = false;
};

void sideJson(Json& into, const char* name, std::size_t count, const std::vector<std::string>& first) {
  Json shown = Json::array();
  for (const std::string& entry : first) shown.push_back(shortenedText(entry, 2 * kSampleBytes));
  into[name] = Json{{"count", count}, {"first", std::move(shown)}};
}

std::string sideText(char sign, std::size_t count, const std::vector<std::string>& first) {
  std::string out;
  for (const std::string& entry : first) {
    out += ' ';
    out += sign;
    out += '"' + terminalSafe(shortenedText(entry, kSampleBytes)) + '"';
  }
  if (count > first.size()) {
    out += ' ';
    out += sign;
    out += std::to_string(count - first.size()) + " more";
  }
  return out;
}

Status printHistory(const Options& options, CommandContext& context) {
  const StoredList& list = *storedListNamed(options.list);
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  Result<std::vector<HistoryItem>> items = readHistory(*session.value()->store, list);
  if (!items) return asStoreFailure(items.status());
  Json json = Json::array();
  for (const HistoryItem& item : items.value()) {
    const SettingsStore::Version& version = item.version;
    if (options.json) {
      Json shown{{"number", version.number},
                 {"time", isoTime(version.timeMs)},
                 {"cause", version.cause},
                 {"bytes", version.bytes},
                 {"entries", item.entries}};
      sideJson(shown, "added", item.added, item.firstAdded);
      sideJson(shown, "removed", item.removed, item.firstRemoved);
      json.push_back(std::move(shown));
    } else {
      context.out << version.number << '\t' << isoTime(version.timeMs) << '\t' << terminalSafe(version.cause)
                  << '\t' << item.entries << (item.entries == 1 ? " entry" : " entries") << '\t' << '+'
                  << item.added << " -" << item.removed << sideText('+', item.added, item.firstAdded)
                  << sideText('-', item.removed, item.firstRemoved) << '\n';
    }
  }
  if (options.json) context.out << dumpJson(json, 2) << "\n";
  return Status::Ok();
}

Status restoreVersion(const Options& options, CommandContext& context) {
  const StoredList& list = *storedListNamed(options.list);
  const std::string command = "restore " + options.list;
  Result<std::int64_t> number = versionNumber(options.number, command);
  if (!number) return number.status();
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  Result<std::optional<std::string>> value =
      session.value()->store->versionValue(list.localKey, number.value());
  if (!value) return asStoreFailure(value.status());
  if (!value.value()) {
    return Status::NotFound(command + ": no version " + std::to_string(number.value()) +
                            " (see quillbox history " + options.list + ")");
  }
  ListWriter writer(*session.value());
  Result<std::vector<bool>> changed = writer.write({{&list, *value.value()}}, "restore");
  if (!changed) return changed.status();
  if (Status ended = endVisit(*session.value(), context.err); !ended.ok()) return ended;
  context.out << list.name << ": "
              << (changed.value().front() ? "restored version " : "already holds version ") << number.value()
              << "\n";
  return Status::Ok();
}

Status exportLists(const Options& options, CommandContext& context) {
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  SettingsStore& store = *session.value()->store;
  std::vector<ExportedList> lists;
  for (const StoredList& list : kStoredLists) {
    Result<std::string> current = store.read(list.localKey);
    if (!current) return asStoreFailure(current.status());
    ExportedList& exported = lists.emplace_back(ExportedList{&list, std::move(current).value(), {}});
    if (!options.history) continue;
    Result<std::vector<SettingsStore::Version>> versions = store.versions(list.localKey);
    if (!versions) return asStoreFailure(versions.status());
    for (const SettingsStore::Version& version : versions.value()) {
      Result<std::optional<std::string>> value = store.versionValue(list.localKey, version.number);
      if (!value) return asStoreFailure(value.status());
      if (value.value())
        exported.versions.push_back(
            {version.number, version.timeMs, version.cause, std::move(*value.value())});
    }
  }
  std::string text;
  try {
    text = writeListsDocument(lists, options.history);
  } catch (const Json::exception& e) {
    return Status::Error(std::string("export: ") + e.what());
  }
  if (options.file.empty() || options.file == "-") {
    context.out << text;
    return Status::Ok();
  }
  if (Status written = writeFileAtomically(options.file, text); !written.ok())
    return Status::Error("export: " + terminalSafe(written.message()));
  return Status::Ok();
}

Status importLists(const Options& options, CommandContext& context) {
  const std::string where = options.file == "-" ? "standard input" : terminalSafe(options.file);
  // Everything is read and checked before anything is written.
  Result<std::string> whole = readWhole(options.file, context.in);
  if (!whole) return whole.status();
  auto read = readListsDocument(whole.value(), where);
  if (!read.ok()) return Status::Invalid("import: " + read.status().message());
  std::vector<std::pair<const StoredList*, std::string>> restores = std::move(read).value();

  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  ListWriter writer(*session.value());
  Result<std::vector<bool>> changed = writer.write(restores, "restore");
  if (!changed) return changed.status();
  std::string report;
  for (std::size_t i = 0; i < restores.size(); ++i) {
    report += std::string(restores[i].first->name) + (changed.value()[i] ? ": imported\n" : ": unchanged\n");
  }
  if (Status ended = endVisit(*session.value(), context.err); !ended.ok()) return ended;
  context.out << report;
  return Status::Ok();
}

}  // namespace

ListWriter::ListWriter(Session& session) : session_(session) {}
ListWriter::~ListWriter() = default;

Result<std::vector<bool>> ListWriter::write(
    const std::vector<std::pair<const StoredList*, std::string>>& lists, std::string_view cause) {
  std::vector<bool> changed(lists.size(), false);
  for (Screen screen : {Screen::notes, Screen::tasks, Screen::tags}) {
    std::vector<std::pair<const AppStorage*, const std::string*>> writes;
    for (std::size_t i = 0; i < lists.size(); ++i) {
      const auto& [list, value] = lists[i];
      if (screenOf(*list) != screen) continue;
      Result<const AppStorage*> cell = open(*list);
      if (!cell) return cell.status();
      Result<std::string> stored = session_.store->read(list->localKey);
      if (!stored) return asStoreFailure(stored.status());
      changed[i] = stored.value() != value;
      if (changed[i]) writes.emplace_back(cell.value(), &value);
    }
    if (writes.empty()) continue;
    Status written = windows_[static_cast<std::size_t>(screen)]->perform([&] {
      SettingsStore::CauseScope scope(cause);
      SettingsStore::WriteGroup together(*session_.store);
      for (const auto& [cell, value] : writes) {
        if (Status set = cell->set(*value); !set.ok()) return set;
      }
      return together.commit();
    });
    if (!written.ok()) return written;
  }
  return changed;
}

Result<const AppStorage*> ListWriter::open(const StoredList& list) {
  const Screen screen = screenOf(list);
  auto& window = windows_[static_cast<std::size_t>(screen)];
  Status opened = Status::Ok();
  const AppStorage* cell = nullptr;
  switch (screen) {
    case Screen::notes:
      if (!notes_) opened = openView(notes_, window);
      cell = &notes_->stringNotes;
      break;
    case Screen::tasks:
      if (!tasks_) opened = openView(tasks_, window);
      cell =
          list.encoding == ListEncoding::indices ? &tasks_->stringTasksFinishedIndices : &tasks_->stringTasks;
      break;
    case Screen::tags:
      if (!tags_) opened = openView(tags_, window);
      cell = &tags_->stringTaggedNotes;
      break;
  }
  if (!opened.ok()) return opened;
  return cell;
}

template <class View>
Status ListWriter::openView(std::optional<View>& view, std::unique_ptr<Window>& window) {
  view.emplace(session_.env);
  Result<std::unique_ptr<Window>> opened = openScreen(session_, *view);
  if (!opened) {
    view.reset();
    return opened.status();
  }
  window = std::move(opened).value();
  return Status::Ok();
}

void addHistoryCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<Options>();
  CommandContext* shared = &context;  // lives until the chosen command has run
  auto listOption = [&](CLI::App* command) {
    command->add_option("LIST", options->list, "notes, tasks, marks (the to-dos' finished marks) or tags")
        ->required()
        ->check(CLI::IsMember(listNames()));
  };
  auto runs = [options, shared](Status (*run)(const Options&, CommandContext&)) {
    return [options, shared, run] {
      shared->command = [options, shared, run] { return run(*options, *shared); };
    };
  };

  CLI::App* history =
      app.add_subcommand("history", "the changes made to a list and the version each replaced, newest first");
  listOption(history);
  history->add_flag("--json", options->json, "the versions as a JSON array (fields below)");
  history->footer(kHistoryHelp);
  history->callback(runs(printHistory));

  CLI::App* restore = app.add_subcommand("restore", "make version N of a list current again (undoable)");
  listOption(restore);
  restore
      ->add_option("N", options->number,
                   "a number history prints: the list becomes what it was just before that change")
      ->required();
  restore->callback(runs(restoreVersion));

  CLI::App* exportCommand = app.add_subcommand("export", "write the four lists as one JSON document");
  exportCommand->add_option("FILE", options->file, "where to write it (default: standard output)");
  exportCommand->add_flag("--history", options->history, "add the kept versions of each list");
  exportCommand->callback(runs(exportLists));

  CLI::App* importCommand = app.add_subcommand("import", "make the lists of an exported document current");
  importCommand->add_option("FILE", options->file, "the document (- reads standard input)")->required();
  importCommand->callback(runs(importLists));
}

}  // namespace quillbox
