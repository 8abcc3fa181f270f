#include "screens/tags/tags_view.h"

#include <algorithm>

#include "base/stored_lists.h"
#include "base/text.h"
#include "screens/screen_parts.h"

namespace quillbox {

namespace {

constexpr std::string_view kTagSpacing = "  ";

bool isTagOnlyEntry(std::string_view entry) {
  static const std::array<std::string, kTags.size()> tagOnly = [] {
    std::array<std::string, kTags.size()> entries;
    for (std::size_t i = 0; i < kTags.size(); ++i)
      entries[i] = std::string(kTags[i]) + std::string(kTagSpacing);
    return entries;
  }();
  return std::any_of(tagOnly.begin(), tagOnly.end(),
                     [&](const std::string& e) { return textEquals(entry, e); });
}

}  // namespace

ItemList decodeTaggedNotes(std::string_view stored) {
  ItemList entries = decodeItemList(stored);
  entries.eraseIf([](std::string_view entry) { return isTagOnlyEntry(entry); });
  return entries;
}

TagsView::TagsView(const Environment& env)
    : stringTaggedNotes(env.settings, std::string(kTagsList.localKey)),
      selectedTag(std::string(kTags[0])),
      tags(ItemList(kTags.begin(), kTags.end())),
      env_(env),
      sync_(stringTaggedNotes, std::string(kTagsList.cloudKey), taggedNotes, decodeTaggedNotes) {}

Status TagsView::addTaggedNote() const {
  std::string entry = selectedTag.get();
  entry += kTagSpacing;
  entry += taggedNotesTextField.get();
  Status added = stringTaggedNotes.update([&](std::string_view stored) { return appendItem(stored, entry); });
  if (added.ok()) taggedNotesTextField.set("");
  return added;
}

Status TagsView::deleteTaggedNote(std::int64_t index) const {
  return deleteItemAt(stringTaggedNotes, taggedNotes.get(), index);
}

Status TagsView::loadTaggedNotes() const { return sync_.load(env_.cloud()); }

Status TagsView::stringTaggedNotesChanged() const { return sync_.save(env_.cloud()); }

namespace {

bool taggedNoteShown(const ItemList& list, const std::string& search, const std::string& tag,
                     std::int64_t index) {
  const std::string_view entry = itemAt(list, index).value_or("");
  return shownUnderSearch(list, search, index) && textContains(entry, tag);
}

}  // namespace

bool TagsView::isTaggedNoteShown(std::int64_t index) const {
  return taggedNoteShown(taggedNotes.get(), searchTaggedNotes.get(), selectedTag.get(), index);
}

Element TagsView::body() const {
  const auto self = std::make_shared<const TagsView>(*this);
  const TextStyle style = deviceTextStyle(*env_.device);
  const std::shared_ptr<const ItemList> list = taggedNotes.snapshot();

  std::vector<Element> segments;
  for (std::string_view tag : tags.get())
    segments.push_back(Text(std::string(tag), false).keyed(std::string(tag)));

  Rows rows;
  rows.count = list->size();
  rows.shown = [list, search = searchTaggedNotes.get(), tag = selectedTag.get()](std::size_t p) {
    return taggedNoteShown(*list, search, tag, static_cast<std::int64_t>(p));
  };
  rows.row = [self, list, style](std::size_t p) {
    std::vector<Element> row;
    row.reserve(3);
    const auto index = static_cast<std::int64_t>(p);
    finishNoteRow(row, (*list)[p], style, [self, index] { return self->deleteTaggedNote(index); });
    return HStack(std::move(row)).padding();
  };
  rows.fingerprint = [list, style](std::size_t p) {
    return fingerprintOf((*list)[p], static_cast<std::uint64_t>(style));
  };

  std::vector<Element> sections;
  sections.push_back(Section(
      sectionHeader("Add a tagged note", style),
      Elements(HStack(inputField("Type in a note", bindText(taggedNotesTextField, "taggedNotesTextField"),
                                 style, SubmitLabel::done, [self] { return self->addTaggedNote(); }),
                      Spacer(), HStack(Text(selectedTag.get(), true).lineLimit(std::nullopt).font(style)))
                   .padding())));
  sections.push_back(
      searchSection("Search in tagged notes", bindText(searchTaggedNotes, "searchTaggedNotes"), style,
                    Elements(Picker("", bindText(selectedTag, "selectedTag"), ForEach(std::move(segments)))
                                 .padding()
                                 .pickerStyle(SegmentedPickerStyle()),
                             ForEach(std::move(rows)))));
  return screenForm(std::move(sections), [self] { return self->loadTaggedNotes(); },
                    {{stringTaggedNotes, [self] { return self->stringTaggedNotesChanged(); }}});
}

}  // namespace quillbox
