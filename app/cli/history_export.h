#pragma once

// The document `export` writes and `import` reads, apart from the commands:
//
//   {"format": "quillbox-lists", "version": 1, "lists": {NAME: STRING, ...},
//    "history": {NAME: [{"number": N, "time": "2024-05-01T12:00:00Z", "cause": "edit", and STRING's member},
//    ...]}}
//
// NAME is notes, tasks, marks or tags, in that order. STRING is {"text": the string} when the string is
// valid UTF-8, else {"base64": its bytes in standard base64 with padding}, so every string comes back
// byte for byte.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/stored_lists.h"
#include "platform/status.h"

namespace quillbox {

struct ExportedVersion {
  std::int64_t number;
  std::int64_t timeMs;  // when it was replaced
  std::string cause;    // what replaced it
  std::string value;
};

struct ExportedList {
  const StoredList* list;
  std::string value;
  std::vector<ExportedVersion> versions;  // newest first
};

// The document holding lists in the order given, indented by two spaces and ending in a newline; with
// "history" (each list's versions) when withHistory.
std::string writeListsDocument(const std::vector<ExportedList>& lists, bool withHistory);

// The lists an import takes from a document, in the four lists' order. It needs "lists" naming at least
// one of the four and nothing else, takes "format" and "version" only when they are the ones above,
// ignores "history" and other members without keeping them in memory, and refuses a document nested
// deeper than 64. Anything else is Status::Invalid, its message beginning with where ("standard input:
// no \"lists\" object", "FILE is not a JSON document: ...").
Result<std::vector<std::pair<const StoredList*, std::string>>> readListsDocument(std::string_view text,
                                                                                 const std::string& where);

// A time as the documents and `history` show it: "2024-05-01T12:00:00Z" (UTC, whole seconds).
std::string isoTime(std::int64_t ms);

}  // namespace quillbox
