#include "app/cli/history_export.h"

#include <ctime>
#include <optional>
#include <set>

#include "base/base64.h"
#include "base/escape.h"
#include "base/utf8.h"
#include "platform/view/view_render.h"

namespace quillbox {

namespace {

constexpr std::string_view kFormat = "quillbox-lists";
constexpr int kFormatVersion = 1;
constexpr int kMaxDepth = 64;

// {"text": ...} when valid UTF-8, else {"base64": ...}.
void putString(Json& into, std::string_view value) {
  if (isValidUtf8(value)) {
    into["text"] = std::string(value);
  } else {
    into["base64"] = toBase64(value);
  }
}

// The string a {"text"} or {"base64"} object holds; else why not.
Result<std::string> takeString(const nlohmann::json& holder) {
  const Status twoOrNone = Status::Invalid("needs exactly one of \"text\" and \"base64\"");
  if (!holder.is_object()) return Status::Invalid("not an object with \"text\" or \"base64\"");
  if (holder.size() != 1) return twoOrNone;
  if (auto text = holder.find("text"); text != holder.end()) {
    if (!text->is_string()) return Status::Invalid("\"text\" is not a string");
    return text->get<std::string>();
  }
  if (auto base64 = holder.find("base64"); base64 != holder.end()) {
    if (!base64->is_string()) return Status::Invalid("\"base64\" is not a string");
    std::optional<std::string> bytes = fromBase64(base64->get_ref<const std::string&>());
    if (!bytes) return Status::Invalid("\"base64\" is not padded standard base64");
    return std::move(*bytes);
  }
  return twoOrNone;
}

// Builds of an import document only what an import takes ("format", "version" and the four lists'
// strings), so that what it holds in memory stays near the size of those strings whatever else the
// document carries ("history", other members), and parsing stays linear in the document's size.
// Notes the first list name it does not know, the lists whose holder has more than "text" or
// "base64", and whether anything is nested deeper than kMaxDepth.
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
      if (depth == 2 && storedListNamed(name) == nullptr) {
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

}  // namespace

std::string isoTime(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  if (::gmtime_r(&seconds, &parts) == nullptr) return std::to_string(ms);
  char text[32];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string(text, length);
}

std::string writeListsDocument(const std::vector<ExportedList>& lists, bool withHistory) {
  Json document{{"format", std::string(kFormat)}, {"version", kFormatVersion}};
  Json values = Json::object();
  for (const ExportedList& exported : lists)
    putString(values[std::string(exported.list->name)], exported.value);
  document["lists"] = std::move(values);
  if (withHistory) {
    Json history = Json::object();
    for (const ExportedList& exported : lists) {
      Json versions = Json::array();
      for (const ExportedVersion& version : exported.versions) {
        Json item{{"number", version.number}, {"time", isoTime(version.timeMs)}, {"cause", version.cause}};
        putString(item, version.value);
        versions.push_back(std::move(item));
      }
      history[std::string(exported.list->name)] = std::move(versions);
    }
    document["history"] = std::move(history);
  }
  // Every string was checked to be valid UTF-8 or encoded, so nothing is replaced.
  return document.dump(2) + "\n";
}

Result<std::vector<std::pair<const StoredList*, std::string>>> readListsDocument(std::string_view text,
                                                                                 const std::string& where) {
  auto bad = [&](const std::string& why) { return Status::Invalid(where + ": " + why); };
  ImportReader reader;
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text, reader.callback());
  } catch (const nlohmann::json::exception& e) {
    return Status::Invalid(where + " is not a JSON document: " + terminalSafe(e.what()));
  }
  if (reader.tooDeep)
    return bad("not a Quillbox export (nested deeper than " + std::to_string(kMaxDepth) + ")");
  if (!document.is_object()) return bad("not a Quillbox export (not an object)");
  if (auto format = document.find("format");
      format != document.end() && !(format->is_string() && format->get<std::string>() == kFormat)) {
    return bad("not a Quillbox export (\"format\" is not \"" + std::string(kFormat) + "\")");
  }
  if (auto version = document.find("version"); version != document.end() && *version != kFormatVersion) {
    return bad("a version of the format this program does not know");
  }
  auto lists = document.find("lists");
  if (lists == document.end() || !lists->is_object()) return bad("no \"lists\" object");
  if (reader.unknownList) {
    return bad("no list named " + terminalSafe(*reader.unknownList) + " (notes, tasks, marks or tags)");
  }
  if (lists->empty()) return bad("\"lists\" names no list");

  std::vector<std::pair<const StoredList*, std::string>> found;
  for (const StoredList& list : kStoredLists) {
    auto holder = lists->find(std::string(list.name));
    if (holder == lists->end()) continue;
    const std::string place = "lists." + std::string(list.name);
    if (reader.crowded.count(std::string(list.name)) > 0) {
      return bad(place + ": needs exactly one of \"text\" and \"base64\"");
    }
    Result<std::string> value = takeString(*holder);
    if (!value.ok()) return bad(place + ": " + value.status().message());
    found.emplace_back(&list, std::move(value).value());
  }
  return found;
}

}  // namespace quillbox
