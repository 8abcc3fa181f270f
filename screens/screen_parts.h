#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/list_string.h"
#include "platform/device.h"
#include "platform/status.h"
#include "platform/view/cell.h"
#include "platform/view/view.h"

namespace quillbox {

// Layout pieces that the three screens build alike.

// A binding of a field or picker to a text cell, named after the cell.
Binding bindText(const State<std::string>& cell, std::string name);

// A section header: an HStack, padded on all edges, holding the header key with no line limit.
Element sectionHeader(std::string key, TextStyle style);

// An input field and its modifiers: no line limit, the style, a 50-point minimum height, no
// autocorrection or autocapitalization, the return key's label, and the submit action if any.
Element inputField(std::string placeholder, Binding text, TextStyle style, SubmitLabel submitLabel,
                   Action onSubmit = nullptr);

// The link a link text shows: the text parsed as an address, titled with it. Nothing when the
// text does not parse, so the row shows no label.
std::optional<Element> linkLabel(std::string_view text, TextStyle style);

// The red trash icon at the trailing edge of a row.
Element trashIcon(TextStyle style, Action onTap);

// The rest of a note's row after what leads it: the link a link text shows, else the text
// (verbatim, no line limit, the style), then a spacer and the trash running onDelete.
void finishNoteRow(std::vector<Element>& row, std::string_view text, TextStyle style, Action onDelete);

// A section that adds an entry: its header over one padded row holding the field.
Element addSection(std::string header, std::string placeholder, Binding field, TextStyle style, Action onAdd);

// A section that searches: its header over the padded search field ("Type in here") and then below.
Element searchSection(std::string header, Binding search, TextStyle style, std::vector<Element> below);

// A watched settings-backed cell and the handler that runs on its change.
struct ChangeHook {
  AppStorage cell;
  Action handler;
};

// A screen's frame: a stacked NavigationView holding a Form titled with the app's title, loading
// on Appear and on Foreground, and running a handler for each watched cell's change.
Element screenForm(std::vector<Element> sections, Action load, std::vector<ChangeHook> changes);

// The item at a position of a list as shown; nothing for a position outside it (a tap on a row
// that a load has just removed).
std::optional<std::string_view> itemAt(const ItemList& list, std::int64_t position);

// Whether the item at a position is shown under a search: it is in the list and holds the search
// text, or the search is empty.
bool shownUnderSearch(const ItemList& list, std::string_view search, std::int64_t position);

// Removes from the stored list every item equal to the one at a position of the shown list; a
// position outside that list does nothing. Says whether the store could be read and written.
Status deleteItemAt(const AppStorage& stored, const ItemList& list, std::int64_t position);

// A row's fingerprint: the texts and flags it is built from, mixed into one number.
std::uint64_t fingerprintOf(std::string_view text, std::uint64_t salt);

}  // namespace quillbox
