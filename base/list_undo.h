#pragma once

// What one change did to a person's lists, said in words, and how that one change is taken back from the
// lists as they are now. Pure functions of the strings: no store, no I/O.
//
// A change is the strings of the lists it wrote, before and after it. One change of the to-do screen may
// write the to-dos and their marks together (a delete moves the marks): it is taken back as one.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/list_merge.h"
#include "base/stored_lists.h"

namespace quillbox {

// What a change did to one stored string: the entries it added and removed, counted with repeats, each side
// in the order of its own string. Entries compare byte for byte; empty pieces are no entries. Views into the
// strings given.
struct EntryDelta {
  std::vector<std::string_view> added;
  std::vector<std::string_view> removed;
};
EntryDelta deltaBetween(std::string_view before, std::string_view after, std::string_view separator);

// The item list with one change taken back: before itself when the list still holds what the change left
// (now == after), byte for byte. Otherwise what others changed since stays: one copy of each entry the
// change added goes (the last copy), and each entry it removed comes back after the entry that stood before
// it then, where that entry stands now (first, when none did or it is gone). Entries compare byte for byte.
std::string revertItemList(std::string_view before, std::string_view after, std::string_view now);
// The same for the to-dos and their marks: a to-do that comes back brings its mark; a mark the change set
// or cleared on a to-do still there is cleared or set again; other marks stay on their to-dos.
TaskStrings revertTaskLists(const TaskStrings& before, const TaskStrings& after, const TaskStrings& now);

// One list as a change found it.
struct ListStrings {
  const StoredList* list = nullptr;
  std::string before;
  std::string after;
};

// A short sentence for a person: `Deleted "Buy milk" and 1 equal note`, `Added "Call Ann"`,
// `Marked "Call Ann" finished`, `Changed the notes`. Texts are cut to 40 bytes (at a character boundary,
// "…" marking the cut); a tagged note is named by its text, without its tag. A change of the marks names
// its to-do when the change holds the to-dos too (unchanged ones included). "" when nothing changed.
std::string describeChange(const std::vector<ListStrings>& change);

// At most limit bytes of text, cut at a UTF-8 character boundary, "…" marking a cut.
std::string shortenedText(std::string_view text, std::size_t limit);

}  // namespace quillbox
