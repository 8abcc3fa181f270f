#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/list_string.h"
#include "platform/environment.h"
#include "platform/view/cell.h"
#include "platform/view/view.h"
#include "screens/synced_list.h"

namespace quillbox {

// The eight colour tags, in the picker's order. Shared with every other device: never change them.
inline constexpr std::array<std::string_view, 8> kTags = {
    "\U0001F534",    // red
    "\U0001F7E2",    // green
    "\U0001F7E1",    // yellow
    "\U0001F7E0",    // orange
    "\U0001F7E4",    // brown
    "\U0001F7E3",    // purple
    "\U0001F535",    // blue
    "\u26AB\uFE0F",  // black: two scalars
};

// The colour names of the tags, in the same order.
inline constexpr std::array<std::string_view, 8> kTagNames = {"red",   "green",  "yellow", "orange",
                                                              "brown", "purple", "blue",   "black"};

// The stored entries, without the tag-only entries (a tag and two spaces, stored when a note is
// added with an empty field).
ItemList decodeTaggedNotes(std::string_view stored);

// The tagged notes screen: short notes filed under one of eight colour tags. A plain value:
// copies share its cells.
struct TagsView {
  explicit TagsView(const Environment& env);

  // Cells, in their declared order.
  AppStorage stringTaggedNotes;  // all tagged notes, item list encoding
  State<std::string> searchTaggedNotes;
  State<std::string> selectedTag;  // always one of the tags; only the picker writes it
  State<ItemList> taggedNotes;
  State<std::string> taggedNotesTextField;
  State<ItemList> tags;  // the tags the picker offers; never changed

  // Operations. Each says whether the local store could be read and written; a failed add keeps
  // the typed text. A position outside the current list does nothing.
  Status addTaggedNote() const;
  Status deleteTaggedNote(std::int64_t index) const;
  Status loadTaggedNotes() const;
  Status stringTaggedNotesChanged() const;

  // Queries.
  bool isTaggedNoteShown(std::int64_t index) const;

  Element body() const;

 private:
  Environment env_;
  SyncedList<ItemList> sync_;
};

}  // namespace quillbox
