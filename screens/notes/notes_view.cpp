#include "screens/notes/notes_view.h"

#include "screens/screen_parts.h"
#include "storage/text.h"

namespace quillbox {

NotesView::NotesView(const Environment& env)
    : stringNotes(env.settings, "stringNotes"),
      env_(env),
      sync_(stringNotes, "notesFromCloud", notes, decodeItemList) {}

Status NotesView::addNote() const {
  Status added = stringNotes.update([&](std::string_view stored) { return appendItem(stored, notesTextField.get()); });
  if (added.ok()) notesTextField.set("");
  return added;
}

Status NotesView::deleteNote(std::int64_t position) const {
  const ItemList& list = notes.get();
  if (position < 0 || static_cast<std::size_t>(position) >= list.size()) return Status::Ok();
  const std::string text(list[static_cast<std::size_t>(position)]);
  return stringNotes.update([&](std::string_view stored) { return removeItemsEqualTo(stored, text); });
}

Status NotesView::loadNotes() const { return sync_.load(env_.cloud()); }

Status NotesView::stringNotesChanged() const { return sync_.save(env_.cloud()); }

bool NotesView::isNoteShown(std::int64_t position) const {
  const ItemList& list = notes.get();
  if (position < 0 || static_cast<std::size_t>(position) >= list.size()) return false;
  return searchNotes.get().empty() || textContains(list[static_cast<std::size_t>(position)], searchNotes.get());
}

Element NotesView::body() const {
  const NotesView self = *this;
  const TextStyle style = deviceTextStyle(*env_.device);

  std::vector<Element> rows;
  const ItemList& list = notes.get();
  rows.reserve(list.size());
  for (std::size_t p = 0; p < list.size(); ++p) {
    const auto position = static_cast<std::int64_t>(p);
    if (!isNoteShown(position)) continue;
    std::vector<Element> row;
    row.push_back(Text(std::to_string(p + 1), false)
                      .lineLimit(std::nullopt)
                      .font(style)
                      .foregroundColor(Color::blue)
                      .padding(Edges::trailing));
    if (isLinkText(list[p])) {
      if (auto link = linkLabel(list[p], style)) row.push_back(std::move(*link));
    } else {
      row.push_back(Text(std::string(list[p]), true).lineLimit(std::nullopt).font(style));
    }
    row.push_back(Spacer());
    row.push_back(trashIcon(style, [self, position] { return self.deleteNote(position); }));
    rows.push_back(HStack(std::move(row)).padding().keyed(std::to_string(p)));
  }

  std::vector<Element> sections;
  sections.push_back(Section(
      sectionHeader("Add a new note", style),
      Elements(HStack(inputField("Type in a note", bindText(notesTextField, "notesTextField"), style, "done",
                         [self] { return self.addNote(); }))
           .padding())));
  sections.push_back(Section(
      sectionHeader("Search in all notes", style),
      Elements(HStack(inputField("Type in here", bindText(searchNotes, "searchNotes"), style, "search")).padding(),
       ForEach(std::move(rows)))));
  return screenForm(std::move(sections), [self] { return self.loadNotes(); },
                    {{stringNotes, [self] { return self.stringNotesChanged(); }}});
}

}  // namespace quillbox
