#include "app/history_commands.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/cli.h"
#include "platform/view_render.h"
#include "platform/whole_file.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"
#include "storage/list_string.h"
#include "storage/text.h"

namespace quillbox {

namespace {

constexpr std::string_view kFormat = "quillbox-lists";
constexpr int kFormatVersion = 1;
constexpr std::size_t kSampleEntries = 3;  // entries shown of each side of a change
constexpr std::size_t kSampleBytes = 40;   // bytes shown of each entry (JSON: twice as many)

enum class Screen { notes, tasks, tags };

struct ListInfo {
  std::string_view name;  // as the commands name it
  std::string_view key;   // the local key
  std::string_view separator;
  Screen screen;
};

constexpr std::array<ListInfo, 4> kLists{{
    {"notes", "stringNotes", kItemSeparator, Screen::notes},
    {"tasks", "stringTasks", kItemSeparator, Screen::tasks},
    {"marks", "stringTasksFinishedIndices", kIndexSeparator, Screen::tasks},
    {"tags", "stringTaggedNotes", kItemSeparator, Screen::tags},
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
  std::vector<std::string_view> entries;
  while (!stored.empty()) {
    std::size_t at = stored.find(list.separator);
    std::string_view piece = stored.substr(0, at);
    if (!piece.empty()) entries.push_back(piece);
    if (at == std::string_view::npos) break;
    stored.remove_prefix(at + list.separator.size());
  }
  return entries;
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

// 2024-05-01T12:00:00Z
std::string isoTime(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  if (::gmtime_r(&seconds, &parts) == nullptr) return std::to_string(ms);
  char text[32];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string(text, length);
}

// A positive whole number, as `history` prints them.
std::int64_t versionNumber(const std::string& text, const std::string& command) {
  std::int64_t number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || number < 1) {
    throw Failure{kUsageError, command + ": not a version number: " + terminalSafe(text)};
  }
  return number;
}

// ---- base64 (standard alphabet, padded)

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string toBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                          static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                          static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kBase64[(group >> shift) & 0x3f];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kBase64[(group >> 18) & 0x3f];
    out += kBase64[(group >> 12) & 0x3f];
    out += rest == 2 ? kBase64[(group >> 6) & 0x3f] : '=';
    out += '=';
  }
  return out;
}

// The bytes of padded standard base64; nothing when text is not that (whitespace included).
std::optional<std::string> fromBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto valueOf = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
    std::uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      int value = k >= 4 - padding ? 0 : valueOf(text[i + static_cast<std::size_t>(k)]);
      if (value < 0) return std::nullopt;
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    // The bits a padded group leaves unused must be zero, so one text means one string.
    if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0)) return std::nullopt;
    out += static_cast<char>(group >> 16);
    if (padding < 2) out += static_cast<char>((group >> 8) & 0xff);
    if (padding < 1) out += static_cast<char>(group & 0xff);
  }
  return out;
}

// ---- the document

// {"text": ...} when valid UTF-8, else {"base64": ...}.
void putString(Json& into, std::string_view value) {
  if (isValidUtf8(value)) {
    into["text"] = std::string(value);
  } else {
    into["base64"] = toBase64(value);
  }
}

// The string a {"text"} or {"base64"} object holds; throws Failure(kUsageError) naming where.
std::string takeString(const nlohmann::json& holder, const std::string& where) {
  auto bad = [&](const std::string& why) { return Failure{kUsageError, "import: " + where + ": " + why}; };
  if (!holder.is_object()) throw bad("not an object with \"text\" or \"base64\"");
  if (holder.size() != 1) throw bad("needs exactly one of \"text\" and \"base64\"");
  std::string value;
  if (auto text = holder.find("text"); text != holder.end()) {
    if (!text->is_string()) throw bad("\"text\" is not a string");
    value = text->get<std::string>();
  } else if (auto base64 = holder.find("base64"); base64 != holder.end()) {
    if (!base64->is_string()) throw bad("\"base64\" is not a string");
    std::optional<std::string> bytes = fromBase64(base64->get_ref<const std::string&>());
    if (!bytes) throw bad("\"base64\" is not padded standard base64");
    value = std::move(*bytes);
  } else {
    throw bad("needs exactly one of \"text\" and \"base64\"");
  }
  return value;
}

std::string readWhole(const std::string& path, std::istream& in) {
  if (path == "-") return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    throw Failure{kStoreError, "import: cannot read " + terminalSafe(path) + ": it is a folder"};
  }
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  if (file) bytes << file.rdbuf();
  if (!file || file.bad()) {
    throw Failure{kStoreError, "import: cannot read " + terminalSafe(path) + ": " + std::strerror(errno)};
  }
  return bytes.str();
}

std::string readStored(Session& session, const ListInfo& list) {
  Result<std::string> value = session.store->read(list.key);
  if (!value) throw Failure{kStoreError, value.status().message()};
  return std::move(value).value();
}

std::vector<SettingsStore::Version> versionsOf(Session& session, const ListInfo& list) {
  auto versions = session.store->versions(list.key);
  if (!versions) throw Failure{kStoreError, versions.status().message()};
  return std::move(versions).value();
}

std::optional<std::string> versionValueOf(Session& session, const ListInfo& list, std::int64_t number) {
  auto value = session.store->versionValue(list.key, number);
  if (!value) throw Failure{kStoreError, value.status().message()};
  return std::move(value).value();
}

// Writes lists back through their screens' cells, each screen opened once (its Appear loads
// it from the cloud first), each write one event so the Change handler sends it to the cloud.
class Restorer {
 public:
  explicit Restorer(Session& session) : session_(session) {}

  // True when the list changed.
  bool restore(const ListInfo& list, const std::string& value) { return restore({{&list, value}}).front(); }

  // Restores several lists; those of one screen (the to-dos and their marks) change together, in
  // one event and one transaction. Whether each changed, in order.
  std::vector<bool> restore(const std::vector<std::pair<const ListInfo*, std::string>>& lists) {
    std::vector<bool> changed(lists.size(), false);
    for (Screen screen : {Screen::notes, Screen::tasks, Screen::tags}) {
      std::vector<std::pair<const AppStorage*, const std::string*>> writes;
      for (std::size_t i = 0; i < lists.size(); ++i) {
        const auto& [list, value] = lists[i];
        if (list->screen != screen) continue;
        const AppStorage& cell = cellFor(*list);
        changed[i] = readStored(session_, *list) != value;
        if (changed[i]) writes.emplace_back(&cell, &value);
      }
      if (writes.empty()) continue;
      runOperation(*windows_[static_cast<std::size_t>(screen)], [&] {
        SettingsStore::CauseScope cause("restore");
        SettingsStore::WriteGroup together(*session_.store);
        for (const auto& [cell, value] : writes) {
          if (Status written = cell->set(*value); !written.ok()) return written;
        }
        return together.commit();
      });
    }
    return changed;
  }

 private:
  const AppStorage& cellFor(const ListInfo& list) {
    auto& window = windows_[static_cast<std::size_t>(list.screen)];
    switch (list.screen) {
      case Screen::notes:
        if (!notes_) {
          notes_.emplace(session_.env);
          window = openScreen(session_, *notes_);
        }
        return notes_->stringNotes;
      case Screen::tasks:
        if (!tasks_) {
          tasks_.emplace(session_.env);
          window = openScreen(session_, *tasks_);
        }
        return list.separator == kIndexSeparator ? tasks_->stringTasksFinishedIndices : tasks_->stringTasks;
      case Screen::tags:
        if (!tags_) {
          tags_.emplace(session_.env);
          window = openScreen(session_, *tags_);
        }
        return tags_->stringTaggedNotes;
    }
    throw Failure{kUsageError, "no such list"};
  }

  Session& session_;
  std::optional<NotesView> notes_;
  std::optional<ToDoView> tasks_;
  std::optional<TagsView> tags_;
  std::array<std::unique_ptr<Window>, 3> windows_;
};

// Builds of an import document only what an import takes ("format", "version" and the four lists'
// strings), so that what it holds in memory stays near the size of those strings whatever else the
// document carries ("history", other members), and parsing stays linear in the document's size.
// Notes the first list name it does not know, the lists whose holder has more than "text" or
// "base64", and whether anything is nested deeper than kMaxDepth.
constexpr int kMaxDepth = 64;

struct ImportReader {
  std::optional<std::string> unknownList;
  std::set<std::string> crowded;
  bool tooDeep = false;
  std::vector<std::string> path;  // the member names down to the current depth

  nlohmann::json::parser_callback_t callback() {
    return [this](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
      using Event = nlohmann::json::parse_event_t;
      if (event == Event::object_start || event == Event::array_start) {
        if (depth >= kMaxDepth) tooDeep = true;
        return !tooDeep;
      }
      if (event != Event::key) return true;
      path.resize(static_cast<std::size_t>(depth));
      path.back() = parsed.get<std::string>();
      const std::string& name = path.back();
      if (depth == 1) return name == "format" || name == "version" || name == "lists";
      if (path.front() != "lists") return true;
      if (depth == 2 && findList(name) == nullptr) {
        if (!unknownList) unknownList = name;
        return false;
      }
      if (depth == 3 && name != "text" && name != "base64") {
        crowded.insert(path[1]);
        return false;
      }
      return true;
    };
  }
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

void printHistory(const Options& options, CommandContext& context) {
  const ListInfo& list = *findList(options.list);
  auto session = openSession(context.options);
  std::string newer = readStored(*session, list);
  Json json = Json::array();
  for (const SettingsStore::Version& version : versionsOf(*session, list)) {
    // Dropped since it was listed (another process's write): nothing to say about it.
    std::optional<std::string> value = versionValueOf(*session, list, version.number);
    if (!value) continue;
    std::vector<std::string_view> entries = entriesOf(list, *value);
    Change change = changeBetween(entries, entriesOf(list, newer));
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
    newer = std::move(*value);
  }
  if (options.json) context.out << dumpJson(json, 2) << "\n";
}

void restoreVersion(const Options& options, CommandContext& context) {
  const ListInfo& list = *findList(options.list);
  const std::string command = "restore " + options.list;
  std::int64_t number = versionNumber(options.number, command);
  auto session = openSession(context.options);
  std::optional<std::string> value = versionValueOf(*session, list, number);
  if (!value) {
    throw Failure{kUsageError, command + ": no version " + std::to_string(number) +
                                   " (see quillbox history " + options.list + ")"};
  }
  Restorer restorer(*session);
  bool changed = restorer.restore(list, *value);
  endVisit(*session, context.err);
  context.out << list.name << ": " << (changed ? "restored version " : "already holds version ") << number
              << "\n";
}

void exportLists(const Options& options, CommandContext& context) {
  auto session = openSession(context.options);
  Json document{{"format", std::string(kFormat)}, {"version", kFormatVersion}};
  Json lists = Json::object();
  for (const ListInfo& list : kLists) putString(lists[std::string(list.name)], readStored(*session, list));
  document["lists"] = std::move(lists);
  if (options.history) {
    Json history = Json::object();
    for (const ListInfo& list : kLists) {
      Json versions = Json::array();
      for (const SettingsStore::Version& version : versionsOf(*session, list)) {
        std::optional<std::string> value = versionValueOf(*session, list, version.number);
        if (!value) continue;
        Json item{{"number", version.number}, {"time", isoTime(version.timeMs)}, {"cause", version.cause}};
        putString(item, *value);
        versions.push_back(std::move(item));
      }
      history[std::string(list.name)] = std::move(versions);
    }
    document["history"] = std::move(history);
  }
  std::string text;
  try {
    // Strict: every string was checked to be valid UTF-8 or encoded, so nothing is replaced.
    text = document.dump(2) + "\n";
  } catch (const Json::exception& e) {
    throw Failure{kStoreError, std::string("export: ") + e.what()};
  }
  if (options.file.empty() || options.file == "-") {
    context.out << text;
  } else {
    if (Status written = writeFileAtomically(options.file, text); !written.ok()) {
      throw Failure{kStoreError, "export: " + terminalSafe(written.message())};
    }
  }
}

void importLists(const Options& options, CommandContext& context) {
  const std::string where = options.file == "-" ? "standard input" : terminalSafe(options.file);
  std::string text = readWhole(options.file, context.in);
  auto bad = [&](const std::string& why) { return Failure{kUsageError, "import: " + where + ": " + why}; };
  ImportReader reader;
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text, reader.callback());
  } catch (const nlohmann::json::exception& e) {
    throw Failure{kUsageError, "import: " + where + " is not a JSON document: " + terminalSafe(e.what())};
  }
  if (reader.tooDeep)
    throw bad("not a Quillbox export (nested deeper than " + std::to_string(kMaxDepth) + ")");
  if (!document.is_object()) throw bad("not a Quillbox export (not an object)");
  if (auto format = document.find("format");
      format != document.end() && !(format->is_string() && format->get<std::string>() == kFormat)) {
    throw bad("not a Quillbox export (\"format\" is not \"" + std::string(kFormat) + "\")");
  }
  if (auto version = document.find("version"); version != document.end() && *version != kFormatVersion) {
    throw bad("a version of the format this program does not know");
  }
  auto lists = document.find("lists");
  if (lists == document.end() || !lists->is_object()) throw bad("no \"lists\" object");
  if (reader.unknownList) {
    throw bad("no list named " + terminalSafe(*reader.unknownList) + " (notes, tasks, marks or tags)");
  }
  if (lists->empty()) throw bad("\"lists\" names no list");

  // Everything is read and checked before anything is written.
  std::vector<std::pair<const ListInfo*, std::string>> restores;
  for (const ListInfo& list : kLists) {
    auto holder = lists->find(std::string(list.name));
    if (holder == lists->end()) continue;
    const std::string place = "lists." + std::string(list.name);
    if (reader.crowded.count(std::string(list.name)) > 0) {
      throw bad(place + ": needs exactly one of \"text\" and \"base64\"");
    }
    restores.emplace_back(&list, takeString(*holder, place));
  }

  auto session = openSession(context.options);
  Restorer restorer(*session);
  std::vector<bool> changed = restorer.restore(restores);
  std::string report;
  for (std::size_t i = 0; i < restores.size(); ++i) {
    report += std::string(restores[i].first->name) + (changed[i] ? ": imported\n" : ": unchanged\n");
  }
  endVisit(*session, context.err);
  context.out << report;
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
  auto runs = [options, shared](void (*run)(const Options&, CommandContext&)) {
    return [options, shared, run] { shared->command = [options, shared, run] { run(*options, *shared); }; };
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
