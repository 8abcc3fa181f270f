#pragma once

#include <cstdint>
#include <string>

#include "base/list_string.h"
#include "platform/environment.h"
#include "platform/view/cell.h"
#include "platform/view/view.h"
#include "screens/synced_list.h"

namespace quillbox {

// The notes screen: one flat list of free notes, added at the end, shown numbered, searchable,
// deletable. A plain value: copies share its cells.
struct NotesView {
  explicit NotesView(const Environment& env);

  // Cells, in their declared order.
  AppStorage stringNotes;  // all notes, item list encoding
  State<ItemList> notes;   // the notes as listed, oldest first
  State<std::string> notesTextField;
  State<std::string> searchNotes;

  // Operations. Each says whether the local store could be read and written; a failed add keeps
  // the typed text. A position outside the current list does nothing (a tap on a row that a load
  // has just removed).
  Status addNote() const;
  Status deleteNote(std::int64_t position) const;
  Status loadNotes() const;
  Status stringNotesChanged() const;

  // Queries.
  bool isNoteShown(std::int64_t position) const;

  Element body() const;

 private:
  Environment env_;
  SyncedList<ItemList> sync_;
};

}  // namespace quillbox
