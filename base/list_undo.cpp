#include "base/list_undo.h"

#include <cstdint>
#include <unordered_map>

#include "base/list_string.h"

namespace quillbox {

namespace {

constexpr std::size_t kShownBytes = 40;

struct Kind {
  std::string_view one;
  std::string_view many;
};

Kind kindOf(const StoredList& list) {
  if (list.localKey == kTasksList.localKey) return {"to-do", "to-dos"};
  if (list.localKey == kTagsList.localKey) return {"tagged note", "tagged notes"};
  return {"note", "notes"};
}

// A tagged note's text: what follows its tag and the two spaces.
std::string_view shownText(const StoredList& list, std::string_view entry) {
  if (list.localKey != kTagsList.localKey) return entry;
  const std::size_t gap = entry.find("  ");
  return gap == std::string_view::npos ? entry : entry.substr(gap + 2);
}

std::string quoted(const StoredList& list, std::string_view entry) {
  return "\"" + shortenedText(shownText(list, entry), kShownBytes) + "\"";
}

// `Deleted "x" and 2 equal notes`, `Added "x" and 1 more note`.
std::string sideSentence(std::string_view verb, const StoredList& list,
                         const std::vector<std::string_view>& entries) {
  std::string out = std::string(verb) + " " + quoted(list, entries.front());
  if (entries.size() == 1) return out;
  bool allEqual = true;
  for (std::string_view entry : entries) allEqual = allEqual && entry == entries.front();
  const std::size_t rest = entries.size() - 1;
  const Kind kind = kindOf(list);
  return out + " and " + std::to_string(rest) + (allEqual ? " equal " : " more ") +
         std::string(rest == 1 ? kind.one : kind.many);
}

std::string itemSentence(const ListStrings& strings) {
  const EntryDelta delta = deltaBetween(strings.before, strings.after, kItemSeparator);
  if (delta.added.empty() && delta.removed.empty()) return "";
  if (delta.added.empty()) return sideSentence("Deleted", *strings.list, delta.removed);
  if (delta.removed.empty()) return sideSentence("Added", *strings.list, delta.added);
  return "Changed the " + std::string(kindOf(*strings.list).many);
}

// `Marked "x" finished`: one mark set or cleared on a to-do the change left in place.
std::string markSentence(const ListStrings& marks, const ListStrings* tasks) {
  const EntryDelta delta = deltaBetween(marks.before, marks.after, kIndexSeparator);
  if (delta.added.empty() && delta.removed.empty()) return "";
  const bool set = delta.removed.empty() && delta.added.size() == 1;
  const bool cleared = delta.added.empty() && delta.removed.size() == 1;
  if (tasks == nullptr || (!set && !cleared)) return "Changed the finished marks";
  const IndexList position = decodeIndexList(set ? delta.added.front() : delta.removed.front());
  const ItemList todos = decodeItemList(tasks->after);
  if (position.empty() || position.front() < 0 ||
      static_cast<std::uint64_t>(position.front()) >= todos.size())
    return "Changed the finished marks";
  return "Marked " + quoted(kTasksList, todos[static_cast<std::size_t>(position.front())]) +
         (set ? " finished" : " unfinished");
}

// One change taken back from a list others may have changed since: what others added stays where
// they put it, one copy of each entry the change added goes (the last, as adds append), and each
// entry the change removed comes back after the entry that stood before it then (its nearest kept
// neighbour, found again among the list's entries now), or first.
class Reverted {
 public:
  Reverted(std::string_view before, std::string_view after, std::string_view now, std::string_view separator)
      : before_(nonEmptyPieces(before, separator)),
        after_(nonEmptyPieces(after, separator)),
        now_(nonEmptyPieces(now, separator)) {
    std::unordered_map<std::string_view, long> change;  // copies the change added (+) or removed (-)
    for (std::string_view entry : after_) ++change[entry];
    for (std::string_view entry : before_) --change[entry];
    // What the change added goes: the last copies.
    kept_.assign(now_.size(), true);
    for (std::size_t j = now_.size(); j-- > 0;) {
      long& added = change[now_[j]];
      if (added > 0) {
        kept_[j] = false;
        --added;
      }
    }
    std::unordered_map<std::string_view, std::vector<std::size_t>> places;  // kept entries now, by text
    for (std::size_t j = 0; j < now_.size(); ++j) {
      if (kept_[j]) places[now_[j]].push_back(j);
    }
    // What it removed comes back after its neighbour.
    insertedAfter_.resize(now_.size() + 1);
    std::unordered_map<std::string_view, std::size_t> seen;
    std::size_t anchor = 0;  // 0: the start; j + 1: after now_[j]
    for (std::size_t i = 0; i < before_.size(); ++i) {
      long& removed = change[before_[i]];
      if (removed < 0) {
        ++removed;
        insertedAfter_[anchor].push_back(i);
        continue;
      }
      const std::vector<std::size_t>& at = places[before_[i]];
      const std::size_t copy = seen[before_[i]]++;
      if (copy < at.size()) anchor = at[copy] + 1;
    }
  }

  std::string items() const {
    std::string out;
    walk([&](std::string_view entry, bool, std::size_t) {
      out.append(entry);
      out.append(kItemSeparator);
    });
    return out;
  }

  // The marks, each on its to-do: those of the list now, less what the change set, plus what it
  // cleared, and those of the to-dos that came back. Marks that name no to-do stay as they are.
  std::string marks(std::string_view before, std::string_view after, std::string_view now) const {
    const std::vector<bool> wasMarked = markedOf(before, before_.size());
    const std::vector<bool> changeMarked = markedOf(after, after_.size());
    const std::vector<bool> nowMarked = markedOf(now, now_.size());
    std::unordered_map<std::string_view, std::vector<std::size_t>> beforePlaces, afterPlaces;
    for (std::size_t i = 0; i < before_.size(); ++i) beforePlaces[before_[i]].push_back(i);
    for (std::size_t i = 0; i < after_.size(); ++i) afterPlaces[after_[i]].push_back(i);
    std::unordered_map<std::string_view, std::size_t> copies;
    std::vector<std::int64_t> position(now_.size(), -1);
    std::vector<bool> marked(now_.size(), false);
    std::string out;
    std::int64_t at = 0;
    std::vector<std::int64_t> fresh;  // marks the revert gives, in list order
    walk([&](std::string_view entry, bool fromNow, std::size_t index) {
      if (!fromNow) {
        if (wasMarked[index]) fresh.push_back(at);
        ++at;
        return;
      }
      const std::size_t copy = copies[entry]++;
      bool flip = false;
      const auto a = afterPlaces.find(entry);
      const auto b = beforePlaces.find(entry);
      if (a != afterPlaces.end() && b != beforePlaces.end() && copy < a->second.size() &&
          copy < b->second.size())
        flip = changeMarked[a->second[copy]] != wasMarked[b->second[copy]];
      position[index] = at;
      marked[index] = nowMarked[index] != flip;
      if (marked[index] && !nowMarked[index]) fresh.push_back(at);
      ++at;
    });
    for (std::string_view piece : nonEmptyPieces(now, kIndexSeparator)) {
      const IndexList mark = decodeIndexList(piece);
      if (mark.empty()) continue;
      const std::int64_t p = mark.front();
      if (p >= 0 && static_cast<std::size_t>(p) < now_.size()) {
        if (position[static_cast<std::size_t>(p)] < 0 || !marked[static_cast<std::size_t>(p)]) continue;
        out = appendIndex(out, position[static_cast<std::size_t>(p)]);
      } else {
        out = appendIndex(out, p);
      }
    }
    for (std::int64_t p : fresh) out = appendIndex(out, p);
    return out;
  }

 private:
  // Calls visit(entry, fromNow, index into now_ or before_) for the reverted list, in order.
  template <class Visit>
  void walk(const Visit& visit) const {
    for (std::size_t i : insertedAfter_[0]) visit(before_[i], false, i);
    for (std::size_t j = 0; j < now_.size(); ++j) {
      if (kept_[j]) visit(now_[j], true, j);
      for (std::size_t i : insertedAfter_[j + 1]) visit(before_[i], false, i);
    }
  }

  static std::vector<bool> markedOf(std::string_view marks, std::size_t count) {
    std::vector<bool> marked(count, false);
    for (std::int64_t p : decodeIndexList(marks)) {
      if (p >= 0 && static_cast<std::uint64_t>(p) < count) marked[static_cast<std::size_t>(p)] = true;
    }
    return marked;
  }

  std::vector<std::string_view> before_;
  std::vector<std::string_view> after_;
  std::vector<std::string_view> now_;
  std::vector<bool> kept_;                               // per entry now: not one the change added
  std::vector<std::vector<std::size_t>> insertedAfter_;  // [0]: first; [j + 1]: after now_[j]
};

}  // namespace

std::string shortenedText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "\u2026";
}

EntryDelta deltaBetween(std::string_view before, std::string_view after, std::string_view separator) {
  const std::vector<std::string_view> old = nonEmptyPieces(before, separator);
  const std::vector<std::string_view> now = nonEmptyPieces(after, separator);
  std::unordered_map<std::string_view, std::size_t> unmatched;
  for (std::string_view entry : old) ++unmatched[entry];
  EntryDelta delta;
  for (std::string_view entry : now) {
    auto found = unmatched.find(entry);
    if (found != unmatched.end() && found->second > 0) {
      --found->second;
    } else {
      delta.added.push_back(entry);
    }
  }
  for (std::string_view entry : old) {
    auto found = unmatched.find(entry);
    if (found->second > 0) {
      --found->second;
      delta.removed.push_back(entry);
    }
  }
  return delta;
}

std::string revertItemList(std::string_view before, std::string_view after, std::string_view now) {
  if (now == after) return std::string(before);
  const Reverted reverted(before, after, now, kItemSeparator);
  return reverted.items();
}

TaskStrings revertTaskLists(const TaskStrings& before, const TaskStrings& after, const TaskStrings& now) {
  if (now == after) return before;
  const Reverted reverted(before.tasks, after.tasks, now.tasks, kItemSeparator);
  return {reverted.items(), reverted.marks(before.marks, after.marks, now.marks)};
}

std::string describeChange(const std::vector<ListStrings>& change) {
  const ListStrings* tasks = nullptr;
  for (const ListStrings& strings : change) {
    if (strings.list->localKey == kTasksList.localKey) tasks = &strings;
  }
  // The items first: a to-do delete that moved marks is told as the delete.
  std::string said;
  for (const ListStrings& strings : change) {
    if (said.empty() && strings.list->encoding == ListEncoding::items) said = itemSentence(strings);
  }
  for (const ListStrings& strings : change) {
    if (said.empty() && strings.list->encoding == ListEncoding::indices) said = markSentence(strings, tasks);
  }
  return said;
}

}  // namespace quillbox
