#include "screens/tags/tags_view.h"

#include <algorithm>

#include "screens/screen_parts.h"
#include "storage/text.h"

namespace quillbox {

namespace {

constexpr std::string_view kTagSpacing = "  ";

bool isTagOnlyEntry(std::string_view entry) {
  static const std::array<std::string, kTags.size()> tagOnly = [] {
    std::array<std::string, kTags.size()> entries;
    for (std::size_t i = 0; i < kTags.size(); ++i) entries[i] = std::string(kTags[i]) + std::string(kTagSpacing);
    return entries;
  }();
  return std::any_of(tagOnly.begin(), tagOnly.end(), [&](const std::string& e) { return textEquals(entry, e); });
}

}  // namespace

ItemList decodeTaggedNotes(std::string_view stored) {
  ItemList entries = decodeItemList(stored);
  entries.eraseIf([](std::string_view entry) { return isTagOnlyEntry(entry); });
  return entries;
}

TagsView::TagsView(const Environment& env)
    : stringTaggedNotes(env.settings, "stringTaggedNotes"),
      selectedTag(std::string(kTags[0])),
      tags(ItemList(kTags.begin(), kTags.end())),
      env_(env),
      sync_(stringTaggedNotes, "taggedNotesFromCloud", taggedNotes, decodeTaggedNotes) {}

Status TagsView::addTaggedNote() const {
  std::string entry = selectedTag.get();
  entry += kTagSpacing;
  entry += taggedNotesTextField.get();
  Status added = stringTaggedNotes.update([&](std::string_view stored) { return appendItem(stored, entry); });
  if (added.ok()) taggedNotesTextField.set("");
  return added;
}

Status TagsView::deleteTaggedNote(std::int64_t index) const {
  const ItemList& list = taggedNotes.get();
  if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return Status::Ok();
  const std::string text(list[static_cast<std::size_t>(index)]);
  return stringTaggedNotes.update([&](std::string_view stored) { return removeItemsEqualTo(stored, text); });
}

Status TagsView::loadTaggedNotes() const { return sync_.load(env_.cloud()); }

Status TagsView::stringTaggedNotesChanged() const { return sync_.save(env_.cloud()); }

bool TagsView::isTaggedNoteShown(std::int64_t index) const {
  const ItemList& list = taggedNotes.get();
  if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return false;
  std::string_view entry = list[static_cast<std::size_t>(index)];
  const std::string& search = searchTaggedNotes.get();
  return (search.empty() || textContains(entry, search)) && textContains(entry, selectedTag.get());
}

Element TagsView::body() const {
  const TagsView self = *this;
  const TextStyle style = deviceTextStyle(*env_.device);

  std::vector<Element> segments;
  for (std::string_view tag : tags.get()) segments.push_back(Text(std::string(tag), false).keyed(std::string(tag)));

  std::vector<Element> rows;
  const ItemList& list = taggedNotes.get();
  rows.reserve(list.size());
  for (std::size_t p = 0; p < list.size(); ++p) {
    const auto index = static_cast<std::int64_t>(p);
    if (!isTaggedNoteShown(index)) continue;
    std::vector<Element> row;
    if (isLinkText(list[p])) {
      if (auto link = linkLabel(list[p], style)) row.push_back(std::move(*link));
    } else {
      row.push_back(Text(std::string(list[p]), true).lineLimit(std::nullopt).font(style));
    }
    row.push_back(Spacer());
    row.push_back(trashIcon(style, [self, index] { return self.deleteTaggedNote(index); }));
    rows.push_back(HStack(std::move(row)).padding().keyed(std::to_string(p)));
  }

  std::vector<Element> sections;
  sections.push_back(Section(
      sectionHeader("Add a tagged note", style),
      Elements(HStack(inputField("Type in a note", bindText(taggedNotesTextField, "taggedNotesTextField"), style, "done",
                         [self] { return self.addTaggedNote(); }),
              Spacer(), HStack(Text(selectedTag.get(), true).lineLimit(std::nullopt).font(style)))
           .padding())));
  sections.push_back(Section(
      sectionHeader("Search in tagged notes", style),
      Elements(HStack(inputField("Type in here", bindText(searchTaggedNotes, "searchTaggedNotes"), style, "search")).padding(),
       Picker("", bindText(selectedTag, "selectedTag"), ForEach(std::move(segments)))
           .padding()
           .pickerStyle("SegmentedPickerStyle"),
       ForEach(std::move(rows)))));
  return screenForm(std::move(sections), [self] { return self.loadTaggedNotes(); },
                    {{stringTaggedNotes, [self] { return self.stringTaggedNotesChanged(); }}});
}

}  // namespace quillbox
