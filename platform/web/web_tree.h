#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/view.h"

namespace quillbox::web {

// One element of a tree as a browser receives it, compact JSON on one line:
//   {"i": id, "e": element name, "p": {its own properties}, "m": [[modifier, value], ...],
//    "c": [child keys], "h": 1 when a Section has a header}
// A child's id is its parent's id, "/", then its key; a header's id is the Section's id and
// "/header". A field's record carries its text ("value" in "p") and a picker's its selection
// ("selection"). A modifier that carries an element has {"e", "p"} as its value. Text that is not
// valid UTF-8 is sent with U+FFFD in place of the bad bytes; the tree itself is not touched.
void appendElementRecord(std::string& out, const Element& element);

// What one browser window was last sent of its window's tree. Each diff() gives the records of
// the elements that are new or changed since the last one, numbered by revision, so that a
// browser holding revision r can be told whether an element changed after it saw it.
class TreeMirror {
 public:
  // The records of every element of root that is new or changed since the last diff (every
  // element after reset()), as a JSON array text, parents before their children. An element that
  // left the tree is remembered as sent, as the browser keeps it aside: when it comes back
  // unchanged (a search is typed and taken back) only its parent's keys are sent again. Moves
  // revision() on.
  std::string diff(const Element& root);

  // Forgets everything sent: the next diff sends the whole tree.
  void reset();

  // The number of diffs made so far.
  std::uint64_t revision() const { return revision_; }

  // True when element and everything under it are exactly as sent at revision seen or before:
  // nothing in it changed in a later diff, and nothing changed since the last diff.
  bool unchangedSince(const Element& element, std::uint64_t seen) const;

  // How many elements the mirror remembers, and how many the largest tree since reset() held.
  std::size_t size() const { return sent_.size(); }
  std::size_t largestTree() const { return largestTree_; }

  // True when the mirror remembers many more elements than even the largest tree held (ids that
  // keep changing), so that a whole new tree after reset() costs the browser less memory than what
  // it keeps aside.
  bool oversized() const { return sent_.size() > 4 * largestTree_ + 4096; }

 private:
  struct Sent {
    std::uint64_t record = 0;    // hash of the record as sent
    std::uint64_t revision = 0;  // the diff that last sent it
  };
  std::unordered_map<std::uint64_t, Sent> sent_;  // by hash of the element's id
  std::uint64_t revision_ = 0;
  std::size_t largestTree_ = 0;
  std::string scratch_;
};

}  // namespace quillbox::web
