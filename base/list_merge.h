#pragma once

// Three-way merges of persisted lists, for a device whose write finds that the cloud copy moved on since the
// value its local string was based on. `base` is that value, `mine` the device's local string, `theirs` the
// cloud's string now. Pure functions of the strings, linear in their length (give or take hashing): no store,
// no I/O, and the same result for the same strings on every device.
//
// How a side's edits are read from its list. A list changes only by appending an entry and by deleting every
// entry equal to a value, and no edit rewrites an entry, so a side's list reads as the base entries it kept
// (every copy of each text it kept, in base order, byte for byte) followed by the entries it added; the
// leading part is taken as long as the list allows. Entries are equal as a delete compares them (canonical
// equivalence; a text that is not well-formed UTF-8 equals only the same bytes). A text whose base copies are
// not all in the leading part was deleted, and every copy the side holds of it was added after the delete; a
// text kept holds its base copies there, and its copies behind them were added. So with b copies in the base
// and m on the side: m < b reads as a delete and m copies added; m >= b as the last m - b copies added,
// unless the order or the spelling shows a delete and an add again (a copy standing behind an entry the side
// added, or spelt otherwise than the base's). A delete followed by adding the same copies back where they
// stood (the base ended with them) cannot be told from no change, and reads as none.
//
// Empty pieces carry nothing and are dropped; results are in terminator form (every entry followed by its
// separator, "" when empty). Entries keep their own bytes: an entry from theirs is written as theirs spells
// it, an entry mine added as mine does.

#include <string>
#include <string_view>

namespace quillbox {

// The merged item list (notes, to-dos, tagged notes; a tag-only entry is an ordinary entry here): theirs'
// entries in theirs' order, less the base copies of each text mine deleted, then the copies mine added, in
// mine's order. A copy theirs added survives mine's delete of its text (a fresh add wins), and so do mine's
// added copies after theirs' delete. Per text (b, m, t copies in base, mine, theirs, when the counts tell the
// story): neither side deleted it: t + m - b (so the same text added on two devices is two entries); only
// mine did: t - b + m; only theirs: t + m - b; both: t + m.
// Where mine reads as no edit at all (its entries are the base's, byte for byte) the result is theirs decoded
// and encoded again; where theirs does, it is mine. Either is the very string when it was in terminator form
// with no empty piece, as every string these functions and the list edits write is.
std::string mergeItemLists(std::string_view base, std::string_view mine, std::string_view theirs);

// What two item lists hold in common, the base for a device that never learnt the value its list was
// based on: mine's entries that theirs holds too (the same bytes), as many copies of each text as both
// hold, in mine's order, in terminator form. Merging onto it adds nothing both sides already had.
std::string commonItems(std::string_view mine, std::string_view theirs);

// The to-dos and their finished marks, as persisted: `tasks` in the item list encoding, `marks` in the index
// list encoding (positions in `tasks`).
struct TaskStrings {
  std::string tasks;
  std::string marks;
  friend bool operator==(const TaskStrings&, const TaskStrings&) = default;
};

// The to-dos merged as mergeItemLists merges them, and their marks with them.
// A mark at a position of a side's to-do list means that to-do: a base to-do (the k-th copy of its text the
// base holds, k counted among the equal entries before it) or one that side added. A mark outside its list
// (negative, or at or past its end) means no to-do and is a plain number. Marks merge like an item list of
// what they mean: theirs' marks in theirs' order, less the marks mine cleared since base, then the marks mine
// set since base, in mine's order. Then they are written back as positions in the merged to-do list:
// - a mark whose to-do is not in the merged list goes with it;
// - a plain number stays as it is (a longer merged list may reach it: it then marks what stands there, as it
//   would on a device that added to-dos up to it);
// - a mark both sides set since base is written once; one cleared on one side and left on the other is
//   cleared; a mark theirs cleared and set again survives mine's clear, as a fresh add does;
// - a to-do deleted on one side and marked on the other goes, mark and all (a toggle is no add); an equal
//   to-do added on the other side stays, with the mark that side gave it.
// Pieces of `marks` that are not integers are dropped; each mark is written in decimal followed by ",".
// Where mine reads as no edit (to-dos and marks) the result is theirs' strings decoded and encoded again, and
// where theirs does it is mine's: the very strings when they were in the form these functions and the list
// edits write.
TaskStrings mergeTaskLists(const TaskStrings& base, const TaskStrings& mine, const TaskStrings& theirs);

}  // namespace quillbox
