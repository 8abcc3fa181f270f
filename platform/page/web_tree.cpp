#include "platform/page/web_tree.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

#include "base/stored_lists.h"
#include "platform/page/web_json.h"
#include "platform/view/list_history.h"
#include "platform/view/view_render.h"

namespace quillbox::web {

namespace {

std::uint64_t hashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

// Compact JSON values as a browser receives them.
class RecordWriter : public ValueWriter {
 public:
  explicit RecordWriter(std::string& out) : out_(out) {}
  void key(std::string_view name) override {
    comma();
    appendJsonString(out_, name);
    out_ += ':';
    afterKey_ = true;
  }
  void string(std::string_view text) override {
    comma();
    appendJsonString(out_, text);
  }
  void number(long long value) override {
    comma();
    out_ += std::to_string(value);
  }
  void boolean(bool value) override {
    comma();
    out_ += value ? "true" : "false";
  }
  void null() override {
    comma();
    out_ += "null";
  }
  void beginObject() override {
    comma();
    out_ += '{';
    counts_.push_back(0);
  }
  void endObject() override {
    counts_.pop_back();
    out_ += '}';
  }

 private:
  void comma() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (!counts_.empty() && counts_.back()++ > 0) out_ += ',';
  }
  std::string& out_;
  std::vector<std::size_t> counts_;
  bool afterKey_ = false;
};

// The element's own properties; a field's text and a picker's selection as the person sees them.
void appendProps(std::string& out, const Element& element) {
  RecordWriter w(out);
  w.beginObject();
  const Binding* binding = element.binding();
  const std::string shown = binding != nullptr && binding->get ? binding->get() : "";
  if (const kinds::Picker* picker = element.as<kinds::Picker>()) {
    w.key("label");
    w.string(picker->label);
    w.key("selection");
    w.string(shown);
  } else {
    writeProperties(w, element);
    if (element.kind() == ElementKind::TextField) {
      w.key("value");
      w.string(shown);
    }
  }
  w.endObject();
}

void appendRecordStart(std::string& out, const Element& element, std::string_view id) {
  out += "{\"i\":";
  appendJsonString(out, id);
  out += ",\"e\":";
  appendJsonString(out, element.name());
  out += ",\"p\":";
  appendProps(out, element);
  out += ",\"m\":[";
  bool first = true;
  for (const Modifier& m : element.modifiers) {
    if (!first) out += ',';
    first = false;
    out += '[';
    appendJsonString(out, modifierName(m));
    out += ',';
    if (const Element* content = modifierContent(m)) {
      out += "{\"e\":";
      appendJsonString(out, content->name());
      out += ",\"p\":";
      appendProps(out, *content);
      out += '}';
    } else {
      RecordWriter w(out);
      if (!writeModifierValue(w, m)) out += "null";
    }
    out += ']';
  }
  out += "],\"c\":[";
}

void appendRecordEnd(std::string& out, const Element& element) {
  out += ']';
  if (element.header() != nullptr) out += ",\"h\":1";
  out += '}';
}

// The positions a list shows, in order.
std::vector<std::size_t> shownPositions(const Rows& rows) {
  std::vector<std::size_t> shown;
  for (std::size_t p = 0; p < rows.count; ++p) {
    if (rows.isShown(p)) shown.push_back(p);
  }
  return shown;
}

// A list's record (replacing out): the keys of the shown rows from start up to end, how many it shows
// and the place of the first.
void appendListRecord(std::string& out, const Element& list, std::string_view id,
                      const std::vector<std::size_t>& shown, std::size_t start, std::size_t end) {
  out.clear();
  appendRecordStart(out, list, id);
  for (std::size_t i = start; i < end; ++i) {
    if (i > start) out += ',';
    appendJsonString(out, Rows::keyOf(shown[i]));
  }
  out += "],\"n\":" + std::to_string(shown.size()) + ",\"o\":" + std::to_string(start) + "}";
}

// The records of an element and everything under it, all of them.
void appendSubtree(std::string& out, const Element& element, std::string& id, bool& first) {
  if (!first) out += ',';
  first = false;
  appendElementRecord(out, element, id);
  const std::size_t length = id.size();
  if (const Element* header = element.header()) {
    id += "/header";
    appendSubtree(out, *header, id, first);
    id.resize(length);
  }
  for (std::size_t i = 0; i < element.children.size(); ++i) {
    const Element& child = element.children[i];
    id += '/';
    id += child.key.empty() ? std::to_string(i) : child.key;
    appendSubtree(out, child, id, first);
    id.resize(length);
  }
}

}  // namespace

void appendElementRecord(std::string& out, const Element& element, std::string_view id) {
  appendRecordStart(out, element, id);
  bool first = true;
  for (std::size_t i = 0; i < element.children.size(); ++i) {
    if (!first) out += ',';
    first = false;
    const Element& child = element.children[i];
    appendJsonString(out, child.key.empty() ? std::to_string(i) : child.key);
  }
  appendRecordEnd(out, element);
}

// Adds the record in scratch_ to the diff when the page does not hold it under this id yet.
void TreeMirror::sendIfChanged(const std::string& id, std::string& out, bool& first) {
  std::uint64_t record = hashOf(scratch_);
  auto [it, added] = sent_.try_emplace(hashOf(id), record);
  if (!added && it->second == record) return;
  it->second = record;
  if (!first) out += ',';
  first = false;
  out += scratch_;
}

void TreeMirror::visit(const Element& element, std::string& id, std::string& out, bool& first) {
  if (const Rows* rows = element.rows()) return visitRows(element, *rows, id, out, first);
  scratch_.clear();
  appendElementRecord(scratch_, element, id);
  sendIfChanged(id, out, first);
  const std::size_t length = id.size();
  if (const Element* header = element.header()) {
    id += "/header";
    visit(*header, id, out, first);
    id.resize(length);
  }
  for (std::size_t i = 0; i < element.children.size(); ++i) {
    const Element& child = element.children[i];
    id += '/';
    id += child.key.empty() ? std::to_string(i) : child.key;
    visit(child, id, out, first);
    id.resize(length);
  }
}

void TreeMirror::visitRows(const Element& list, const Rows& rows, std::string& id, std::string& out,
                           bool& first) {
  List& state = lists_[id];
  const std::vector<std::size_t> shown = shownPositions(rows);
  const std::size_t want = state.viewport.to - state.viewport.from;
  const std::size_t start = std::min(state.viewport.from, shown.size() > want ? shown.size() - want : 0);
  std::size_t end = std::min(shown.size(), start + want);

  // Each row's fingerprint, built where the list gives none; the rows past the diff's share of new
  // ones wait for the next diff.
  const std::size_t length = id.size();
  std::vector<std::pair<std::uint64_t, std::optional<Element>>> inView;
  std::string rowRecords;
  for (std::size_t i = start; i < end; ++i) {
    const std::size_t p = shown[i];
    std::optional<Element> row;
    std::uint64_t fingerprint = 0;
    if (rows.fingerprint) {
      fingerprint = rows.fingerprint(p);
    } else {
      id += '/';
      id += Rows::keyOf(p);
      row = rows.row(p);
      rowRecords.clear();
      bool none = true;
      appendSubtree(rowRecords, *row, id, none);
      fingerprint = hashOf(rowRecords);
      id.resize(length);
    }
    fingerprint = std::max<std::uint64_t>(fingerprint, 1);  // 0 stands for a row never sent
    if (p >= state.rows.size() || state.rows[p] != fingerprint) {
      if (newRowsLeft_ == 0) {
        owesRows_ = true;
        end = i;
        break;
      }
      --newRowsLeft_;
    }
    inView.emplace_back(fingerprint, std::move(row));
  }

  appendListRecord(scratch_, list, id, shown, start, end);
  sendIfChanged(id, out, first);

  for (std::size_t i = start; i < end; ++i) {
    const std::size_t p = shown[i];
    id += '/';
    id += Rows::keyOf(p);
    auto& [fingerprint, row] = inView[i - start];
    if (state.rows.size() <= p) state.rows.resize(p + 1, 0);
    if (state.rows[p] != fingerprint) {
      state.rows[p] = fingerprint;
      if (!row) row = rows.row(p);
      appendSubtree(out, *row, id, first);
    }
    id.resize(length);
  }
}

std::string TreeMirror::diff(const Element& root) {
  ++revision_;
  newRowsLeft_ = mostNewRows_;
  owesRows_ = false;
  std::string out = "[";
  std::string id;
  bool first = true;
  visit(root, id, out, first);
  out += ']';
  return out;
}

void TreeMirror::reset() {
  sent_.clear();
  for (auto& [id, list] : lists_) list.rows.clear();
}

void TreeMirror::setViewport(const std::string& listId, std::size_t from, std::size_t to) {
  Viewport& viewport = lists_[listId].viewport;
  viewport.from = from;
  viewport.to = std::max(from, std::min(to, from + Viewport::kMostRows));
}

std::size_t TreeMirror::size() const {
  std::size_t rows = 0;
  for (const auto& [id, list] : lists_) rows += list.rows.size();
  return sent_.size() + rows;
}

std::string TreeFeed::takeMessage(std::string_view window, Window::Tree tree, std::string_view status) {
  constexpr std::size_t kKeptTrees = 8;  // trees the page may still be looking at
  const bool full = needFull;
  if (full) mirror.reset();
  needFull = false;
  std::string nodes = mirror.diff(*tree);
  const std::uint64_t revision = mirror.revision();
  if (!sent_.empty() && sent_.back().tree == tree) {
    sent_.back().last = revision;
  } else {
    sent_.push_back({revision, revision, std::move(tree)});
    if (sent_.size() > kKeptTrees) sent_.pop_front();
  }
  std::string message = "{\"window\":";
  appendJsonString(message, window);
  message += ",\"rev\":" + std::to_string(revision);
  message += ",\"ack\":" + std::to_string(ack);
  message += full ? ",\"full\":true" : ",\"full\":false";
  message += ",\"status\":";
  appendJsonString(message, status);
  message += ",\"nodes\":";
  message += nodes;
  message += "}";
  return message;
}

namespace {

void appendJsonStrings(std::string& out, const std::vector<std::string>& texts) {
  out += '[';
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ',';
    appendJsonString(out, shortenedText(texts[i], 80));
  }
  out += ']';
}

// The kept versions of list, newest first, as the History view reads them; none when unreadable.
std::string historyJson(SettingsStore& store, const StoredList& list) {
  Result<std::vector<HistoryItem>> items = readHistory(store, list);
  if (!items) return "[]";
  std::string out = "[";
  for (const HistoryItem& item : items.value()) {
    if (out.size() > 1) out += ',';
    out += "{\"number\":" + std::to_string(item.version.number) +
           ",\"time\":" + std::to_string(item.version.timeMs) + ",\"cause\":";
    appendJsonString(out, item.version.cause);
    out += ",\"entries\":" + std::to_string(item.entries) + ",\"added\":" + std::to_string(item.added) +
           ",\"removed\":" + std::to_string(item.removed) + ",\"firstAdded\":";
    appendJsonStrings(out, item.firstAdded);
    out += ",\"firstRemoved\":";
    appendJsonStrings(out, item.firstRemoved);
    out += '}';
  }
  return out + "]";
}

}  // namespace

std::string TreeFeed::takeMessage(std::string_view window, const Window& app, std::string_view status) {
  std::string message = takeMessage(window, app.snapshot(), status);
  message.pop_back();
  message += ",\"undo\":";
  if (std::optional<UndoStack::Offer> offer = app.undoOffer()) {
    message += "{\"id\":" + std::to_string(offer->id) + ",\"text\":";
    appendJsonString(message, offer->text);
    message += '}';
  } else {
    message += "null";
  }
  if (const StoredList* list = storedListNamed(app.shownHistory()); list != nullptr && app.store()) {
    message += ",\"history\":{\"list\":";
    appendJsonString(message, list->name);
    message += ",\"versions\":" + historyJson(*app.store(), *list) + "}";
  }
  return message + '}';
}

Window::Tree TreeFeed::treeSeenAt(std::uint64_t rev) {
  Window::Tree seen;
  while (!sent_.empty() && sent_.front().last < rev) sent_.pop_front();
  if (!sent_.empty() && sent_.front().first <= rev) seen = sent_.front().tree;
  if (!seen) seen = std::make_shared<const Element>();
  return seen;
}

}  // namespace quillbox::web
