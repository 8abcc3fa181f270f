#include "screens/notes/notes_view.h"

#include "base/stored_lists.h"
#include "base/text.h"
#include "screens/screen_parts.h"

namespace quillbox {

NotesView::NotesView(const Environment& env)
    : stringNotes(env.settings, std::string(kNotesList.localKey)),
      env_(env),
      sync_(stringNotes, std::string(kNotesList.cloudKey), notes, decodeItemList) {}

Status NotesView::addNote() const {
  Status added =
      stringNotes.update([&](std::string_view stored) { return appendItem(stored, notesTextField.get()); });
  if (added.ok()) notesTextField.set("");
  return added;
}

Status NotesView::deleteNote(std::int64_t position) const {
  return deleteItemAt(stringNotes, notes.get(), position);
}

Status NotesView::loadNotes() const { return sync_.load(env_.cloud()); }

Status NotesView::stringNotesChanged() const { return sync_.save(env_.cloud()); }

bool NotesView::isNoteShown(std::int64_t position) const {
  return shownUnderSearch(notes.get(), searchNotes.get(), position);
}

Element NotesView::body() const {
  const auto self = std::make_shared<const NotesView>(*this);
  const TextStyle style = deviceTextStyle(*env_.device);
  const std::shared_ptr<const ItemList> list = notes.snapshot();

  Rows rows;
  rows.count = list->size();
  rows.shown = [list, search = searchNotes.get()](std::size_t p) {
    return shownUnderSearch(*list, search, static_cast<std::int64_t>(p));
  };
  rows.row = [self, list, style](std::size_t p) {
    std::vector<Element> row;
    row.reserve(4);
    row.push_back(Text(std::to_string(p + 1), false)
                      .lineLimit(std::nullopt)
                      .font(style)
                      .foregroundColor(Color::blue)
                      .padding(Edges::trailing));
    const auto position = static_cast<std::int64_t>(p);
    finishNoteRow(row, (*list)[p], style, [self, position] { return self->deleteNote(position); });
    return HStack(std::move(row)).padding();
  };
  rows.fingerprint = [list, style](std::size_t p) {
    return fingerprintOf((*list)[p], static_cast<std::uint64_t>(style));
  };

  std::vector<Element> sections;
  sections.push_back(addSection("Add a new note", "Type in a note",
                                bindText(notesTextField, "notesTextField"), style,
                                [self] { return self->addNote(); }));
  sections.push_back(searchSection("Search in all notes", bindText(searchNotes, "searchNotes"), style,
                                   Elements(ForEach(std::move(rows)))));
  return screenForm(std::move(sections), [self] { return self->loadNotes(); },
                    {{stringNotes, [self] { return self->stringNotesChanged(); }}});
}

}  // namespace quillbox
