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
#include "base/stored_lists.h"
#include "platform/store/whole_file.h"
#include "platform/view/view_render.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {

namespace {

constexpr std::size_t kSampleEntries = 3;  // entries shown of each side of a change
constexpr std::size_t kSampleBytes = 40;   // bytes shown of each entry (JSON: twice as many)

enum class Screen { notes, tasks, tags };

struct ListInfo {
  std::string_view name;  // as the commands name it
  std::string_view key;   // the local key
  std::string_view separator;
  Screen screen;
};

constexpr ListInfo listOf(const StoredList& list, Screen screen) {
  return {list.name, list.localKey, list.separator(), screen};
}

constexpr std::array<ListInfo, 4> kLists{{
    listOf(kNotesList, Screen::notes),
    listOf(kTasksList, Screen::tasks),
    listOf(kMarksList, Screen::tasks),
    listOf(kTagsList, Screen::tags),
}};

std::vector<std::string> listNames() {
  std::vector<std::string> names;
  for (const ListInfo& list : kLists) names.emplace_back(list.name);
  return names;
}

const ListInfo* findList(std::string_view name) {
  for (const ListInfo& list : kLists) {
    if (list.name == name) return &list;
  }
  return nullptr;
}

// The entries of a stored string as the list shows them: the pieces between separators, empty
// pieces dropped. Views into stored.
std::vector<std::string_view> entriesOf(const ListInfo& list, std::string_view stored) {
  return nonEmptyPieces(stored, list.separator);
}

// What one write did to a list: the entries it added and removed, counted with repeats, each
// side in the order of its own string. Entries compare byte for byte.
struct Change {
  std::vector<std::string_view> added;
  std::vector<std::string_view> removed;
};

Change changeBetween(const std::vector<std::string_view>& before,
                     const std::vector<std::string_view>& after) {
  std::unordered_map<std::string_view, std::size_t> unmatched;
  for (std::string_view entry : before) ++unmatched[entry];
  Change change;
  for (std::string_view entry : after) {
    auto found = unmatched.find(entry);
    if (found != unmatched.end() && found->second > 0) {
      --found->second;
    } else {
      change.added.push_back(entry);
    }
  }
  for (std::string_view entry : before) {
    auto found = unmatched.find(entry);
    if (found->second > 0) {
      --found->second;
      change.removed.push_back(entry);
    }
  }
  return change;
}

// At most limit bytes of text, cut at a UTF-8 character boundary, "…" marking a cut.
std::string shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "\u2026";
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

// Writes lists back through their screens' cells, each screen opened once (its Appear loads
// it from the cloud first), each write one event so the Change handler sends it to the cloud.
class Restorer {
 public:
  explicit Restorer(Session& session) : session_(session) {}

  // Restores several lists; those of one screen (the to-dos and their marks) change together, in
  // one event and one transaction. Whether each changed, in order.
  Result<std::vector<bool>> restore(const std::vector<std::pair<const ListInfo*, std::string>>& lists) {
    std::vector<bool> changed(lists.size(), false);
    for (Screen screen : {Screen::notes, Screen::tasks, Screen::tags}) {
      std::vector<std::pair<const AppStorage*, const std::string*>> writes;
      for (std::size_t i = 0; i < lists.size(); ++i) {
        const auto& [list, value] = lists[i];
        if (list->screen != screen) continue;
        Result<const AppStorage*> cell = cellFor(*list);
        if (!cell) return cell.status();
        Result<std::string> stored = session_.store->read(list->key);
        if (!stored) return asStoreFailure(stored.status());
        changed[i] = stored.value() != value;
        if (changed[i]) writes.emplace_back(cell.value(), &value);
      }
      if (writes.empty()) continue;
      Status restored = windows_[static_cast<std::size_t>(screen)]->perform([&] {
        SettingsStore::CauseScope cause("restore");
        SettingsStore::WriteGroup together(*session_.store);
        for (const auto& [cell, value] : writes) {
          if (Status written = cell->set(*value); !written.ok()) return written;
        }
        return together.commit();
      });
      if (!restored.ok()) return restored;
    }
    return changed;
  }

 private:
  // The screen's cell for list, its window opened first (its Appear loads it from the cloud).
  Result<const AppStorage*> cellFor(const ListInfo& list) {
    auto& window = windows_[static_cast<std::size_t>(list.screen)];
    Status opened = Status::Ok();
    const AppStorage* cell = nullptr;
    switch (list.screen) {
      case Screen::notes:
        if (!notes_) opened = open(notes_, window);
        cell = &notes_->stringNotes;
        break;
      case Screen::tasks:
        if (!tasks_) opened = open(tasks_, window);
        cell = list.separator == kIndexSeparator ? &tasks_->stringTasksFinishedIndices : &tasks_->stringTasks;
        break;
      case Screen::tags:
        if (!tags_) opened = open(tags_, window);
        cell = &tags_->stringTaggedNotes;
        break;
    }
    if (!opened.ok()) return opened;
    return cell;
  }

  template <class View>
  Status open(std::optional<View>& view, std::unique_ptr<Window>& window) {
    view.emplace(session_.env);
    Result<std::unique_ptr<Window>> opened = openScreen(session_, *view);
    if (!opened) {
      view.reset();
      return opened.status();
    }
    window = std::move(opened).value();
    return Status::Ok();
  }

  Session& session_;
  std::optional<NotesView> notes_;
  std::optional<ToDoView> tasks_;
  std::optional<TagsView> tags_;
  std::array<std::unique_ptr<Window>, 3> windows_;
};

// ---- the commands

struct Options {
  std::string list;
  std::string number;
  std::string file;
  bool json = false;
  bool history = false;
};

void sideJson(Json& into, const char* name, const std::vector<std::string_view>& entries) {
  Json first = Json::array();
  for (std::size_t i = 0; i < entries.size() && i < kSampleEntries; ++i) {
    first.push_back(shortened(entries[i], 2 * kSampleBytes));
  }
  into[name] = Json{{"count", entries.size()}, {"first", std::move(first)}};
}

std::string sideText(char sign, const std::vector<std::string_view>& entries) {
  std::string out;
  for (std::size_t i = 0; i < entries.size() && i < kSampleEntries; ++i) {
    out += ' ';
    out += sign;
    out += '"' + terminalSafe(shortened(entries[i], kSampleBytes)) + '"';
  }
  if (entries.size() > kSampleEntries) {
    out += ' ';
    out += sign;
    out += std::to_string(entries.size() - kSampleEntries) + " more";
  }
  return out;
}

Status printHistory(const Options& options, CommandContext& context) {
  const ListInfo& list = *findList(options.list);
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  SettingsStore& store = *session.value()->store;
  Result<std::string> newer = store.read(list.key);
  if (!newer) return asStoreFailure(newer.status());
  Result<std::vector<SettingsStore::Version>> versions = store.versions(list.key);
  if (!versions) return asStoreFailure(versions.status());
  Json json = Json::array();
  for (const SettingsStore::Version& version : versions.value()) {
    Result<std::optional<std::string>> value = store.versionValue(list.key, version.number);
    if (!value) return asStoreFailure(value.status());
    // Dropped since it was listed (another process's write): nothing to say about it.
    if (!value.value()) continue;
    std::vector<std::string_view> entries = entriesOf(list, *value.value());
    Change change = changeBetween(entries, entriesOf(list, newer.value()));
    if (options.json) {
      Json item{{"number", version.number},
                {"time", isoTime(version.timeMs)},
                {"cause", version.cause},
                {"bytes", version.bytes},
                {"entries", entries.size()}};
      sideJson(item, "added", change.added);
      sideJson(item, "removed", change.removed);
      json.push_back(std::move(item));
    } else {
      context.out << version.number << '\t' << isoTime(version.timeMs) << '\t' << terminalSafe(version.cause)
                  << '\t' << entries.size() << (entries.size() == 1 ? " entry" : " entries") << '\t' << '+'
                  << change.added.size() << " -" << change.removed.size() << sideText('+', change.added)
                  << sideText('-', change.removed) << '\n';
    }
    newer = std::move(*value.value());
  }
  if (options.json) context.out << dumpJson(json, 2) << "\n";
  return Status::Ok();
}

Status restoreVersion(const Options& options, CommandContext& context) {
  const ListInfo& list = *findList(options.list);
  const std::string command = "restore " + options.list;
  Result<std::int64_t> number = versionNumber(options.number, command);
  if (!number) return number.status();
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  Result<std::optional<std::string>> value = session.value()->store->versionValue(list.key, number.value());
  if (!value) return asStoreFailure(value.status());
  if (!value.value()) {
    return Status::NotFound(command + ": no version " + std::to_string(number.value()) +
                            " (see quillbox history " + options.list + ")");
  }
  Restorer restorer(*session.value());
  Result<std::vector<bool>> changed = restorer.restore({{&list, *value.value()}});
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
  for (const ListInfo& list : kLists) {
    Result<std::string> current = store.read(list.key);
    if (!current) return asStoreFailure(current.status());
    ExportedList& exported =
        lists.emplace_back(ExportedList{storedListNamed(list.name), std::move(current).value(), {}});
    if (!options.history) continue;
    Result<std::vector<SettingsStore::Version>> versions = store.versions(list.key);
    if (!versions) return asStoreFailure(versions.status());
    for (const SettingsStore::Version& version : versions.value()) {
      Result<std::optional<std::string>> value = store.versionValue(list.key, version.number);
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
  std::vector<std::pair<const ListInfo*, std::string>> restores;
  for (auto& [list, value] : std::move(read).value())
    restores.emplace_back(findList(list->name), std::move(value));

  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  Restorer restorer(*session.value());
  Result<std::vector<bool>> changed = restorer.restore(restores);
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

  CLI::App* history = app.add_subcommand("history", "the kept versions of a list, newest first");
  listOption(history);
  history->add_flag("--json", options->json, "the versions as a JSON array");
  history->callback(runs(printHistory));

  CLI::App* restore = app.add_subcommand("restore", "make version N of a list current again (undoable)");
  listOption(restore);
  restore->add_option("N", options->number, "the version number as listed by history")->required();
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
