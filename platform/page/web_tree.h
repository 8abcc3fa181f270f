#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/view/view.h"
#include "platform/view/window.h"

namespace quillbox::web {

// One element of a tree as a browser receives it, compact JSON on one line:
//   {"i": id, "e": element name, "p": {its own properties}, "m": [[modifier, value], ...],
//    "c": [child keys], "h": 1 when a Section has a header}
// A child's id is its parent's id, "/", then its key; a header's id is the Section's id and
// "/header". A field's record carries its text ("value" in "p") and a picker's its selection
// ("selection"). A modifier that carries an element has {"e", "p"} as its value. A list (a lazy
// ForEach) also carries "n", how many rows it shows, and "o", the place among them of the first
// row whose key "c" holds: "c" holds only the keys of the rows near what the page shows. Text
// that is not valid UTF-8 is sent with U+FFFD in place of the bad bytes; the tree is not touched.
void appendElementRecord(std::string& out, const Element& element, std::string_view id);

// The rows of a list the page asks to see, counted among the rows the list shows: from up to,
// not including, to.
struct Viewport {
  static constexpr std::size_t kDefaultRows = 60;
  static constexpr std::size_t kMostRows = 400;
  std::size_t from = 0;
  std::size_t to = kDefaultRows;
};

// What one browser window was last sent of its window's tree. Each diff() gives the records of
// the elements that are new or changed since the last one. Of each list it sends the rows of the
// viewport the page asked for (as many of them as there are, the last ones when it asks past the
// end), each row only when the page has never been sent it or it changed since (by its key and its
// fingerprint: a row that did not change is never built).
class TreeMirror {
 public:
  // The records of the elements of root that are new or changed since the last diff (every
  // element after reset()), as a JSON array text, parents before their children. Moves revision()
  // on.
  std::string diff(const Element& root);

  // Forgets everything sent: the next diff sends the whole tree (and the rows in view).
  void reset();

  // The rows the page wants of the list with that id, from the next diff on. Asks for at most
  // Viewport::kMostRows rows.
  void setViewport(const std::string& listId, std::size_t from, std::size_t to);

  // The number of diffs made so far.
  std::uint64_t revision() const { return revision_; }

  // At most most rows that are new or changed to the page go in one diff (no limit at first). A list
  // then names its rows only up to the first one held back, and owesRows() says that the next diff
  // brings more, so that the rows in view come first and the rest of a viewport follows.
  void setMostNewRows(std::size_t most) { mostNewRows_ = most; }
  bool owesRows() const { return owesRows_; }

  // How many elements and rows the mirror remembers as sent.
  std::size_t size() const;

 private:
  struct List {
    Viewport viewport;
    std::vector<std::uint64_t> rows;  // by position: the fingerprint sent, 0 when never sent
  };
  void sendIfChanged(const std::string& id, std::string& out, bool& first);
  void visit(const Element& element, std::string& id, std::string& out, bool& first);
  void visitRows(const Element& list, const Rows& rows, std::string& id, std::string& out, bool& first);

  std::unordered_map<std::uint64_t, std::uint64_t> sent_;  // hash of an element's id -> hash of its record
  std::unordered_map<std::string, List> lists_;
  std::uint64_t revision_ = 0;
  std::size_t mostNewRows_ = SIZE_MAX;
  std::size_t newRowsLeft_ = SIZE_MAX;  // in this diff
  bool owesRows_ = false;
  std::string scratch_;
};

// One page's feed of a window's trees: the mirror its diffs are made against, the trees it was sent
// (each with the mirror's revisions it was sent at; messages that only brought rows of a list share
// one), and the last event of the page that ran. The server's browser windows and the phone's worker
// feed their pages alike.
class TreeFeed {
 public:
  // The new rows a page is sent at once: a tall screen's worth. The rest of what it asked for follows
  // in the next messages (mirror.owesRows()).
  static constexpr std::size_t kNewRowsAtOnce = 24;

  TreeFeed() { mirror.setMostNewRows(kNewRowsAtOnce); }

  TreeMirror mirror;
  std::uint64_t ack = 0;  // the last event seq run
  bool needFull = true;   // the next message brings the whole tree

  // The tree message for tree, window's tree now (a JSON object: window, rev, ack, full, status, and
  // nodes, the records new or changed since the last message); tree is kept as one the page may be
  // looking at.
  std::string takeMessage(std::string_view window, Window::Tree tree, std::string_view status);
  // The same for app's tree now, with "undo": the change app offers to undo, {"id", "text"}, or null;
  // and while app shows a list's history, "history": {"list", "versions": [{"number", "time" (ms
  // since 1970), "cause", "entries", "added", "removed", "firstAdded", "firstRemoved"}, newest first]}
  // (the first three entries of each side, cut to 80 bytes).
  std::string takeMessage(std::string_view window, const Window& app, std::string_view status);

  // The tree of revision rev, if the page may still be looking at it; an empty one otherwise, in
  // which no row is found. Trees older than rev are dropped.
  Window::Tree treeSeenAt(std::uint64_t rev);

 private:
  struct SentTree {
    std::uint64_t first;
    std::uint64_t last;
    Window::Tree tree;
  };
  std::deque<SentTree> sent_;  // newest last
};

}  // namespace quillbox::web
