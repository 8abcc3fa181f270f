#include "base/list_merge.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/list_string.h"
#include "base/text.h"

namespace quillbox {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The class of each entry of a list, in order: entries share a class exactly when they are equal.
using Classes = std::vector<std::size_t>;

// A list to merge: its entries' classes and, for a list of texts, the texts. No edit rewrites an entry, so a
// base entry a side kept has the base's bytes; an equal entry spelt otherwise was added.
struct Entries {
  Classes classes;
  const ItemList* texts = nullptr;

  bool isUnedited(std::size_t j, const Entries& base, std::size_t i) const {
    return classes[j] == base.classes[i] && (!texts || (*texts)[j] == (*base.texts)[i]);
  }
};

// Numbers the classes of equal entries from 0, in the order they are first met. The entries must outlive it.
class EntryClasses {
 public:
  // Room for `entries` entries up front: a table that grows moves every entry again, and beyond the cache
  // that makes a long list cost more than its length.
  explicit EntryClasses(std::size_t entries) { canonical_.reserve(entries); }

  std::size_t of(std::string_view entry) {
    std::string_view key = entry;
    auto* classes = canonicalForm(entry, scratch_, key) ? &canonical_ : &bytes_;
    if (auto found = classes->find(key); found != classes->end()) return found->second;
    if (key.data() == scratch_.data()) key = normalised_.emplace_back(std::move(scratch_));
    classes->emplace(key, count_);
    return count_++;
  }
  std::size_t count() const { return count_; }

 private:
  std::unordered_map<std::string_view, std::size_t> canonical_;  // by NFC form
  std::unordered_map<std::string_view, std::size_t> bytes_;      // texts that equal only their own bytes
  std::deque<std::string> normalised_;  // NFC forms that are not an entry's own bytes
  std::string scratch_;
  std::size_t count_ = 0;
};

// How a side's list reads against the base: its first `kept` entries are the base with the `deleted` classes
// taken out whole, in base order; the rest it added.
struct Reading {
  std::size_t kept = 0;
  std::vector<bool> deleted;  // by class; true only for classes the base holds
};

Reading readAgainstBase(const Entries& base, const Entries& side, const std::vector<std::size_t>& baseCount) {
  const std::size_t classCount = baseCount.size();
  std::vector<std::size_t> matched(classCount, 0), first(classCount, kNone), last(classCount, 0);
  // Matches the side's entries, in order, each to the first base entry after the last match that it is,
  // unedited. A leading part matches its entries this way (the base entries between two of them are of
  // classes it lacks), so the longest one ends within the walk.
  std::size_t j = 0;
  for (std::size_t i = 0; i < base.classes.size() && j < side.classes.size(); ++i) {
    if (!side.isUnedited(j, base, i)) continue;
    const std::size_t c = base.classes[i];
    if (matched[c]++ == 0) first[c] = j;
    last[c] = j;
    ++j;
  }
  // The leading part ends at the last place within the walk where each class it holds has all its base
  // copies inside it: not past the first copy of a class the walk matched only in part, and not inside the
  // span of a class it matched whole.
  const std::size_t walked = j;
  std::size_t limit = walked;
  std::vector<int> spanEdges(walked + 2, 0);
  for (std::size_t c = 0; c < classCount; ++c) {
    if (matched[c] == 0) continue;
    if (matched[c] < baseCount[c]) {
      limit = std::min(limit, first[c]);
    } else {
      ++spanEdges[first[c] + 1];
      --spanEdges[last[c] + 1];
    }
  }
  Reading reading;
  int depth = 0;
  for (std::size_t q = 0; q <= limit; ++q) {
    depth += spanEdges[q];
    if (depth == 0) reading.kept = q;
  }
  reading.deleted.resize(classCount);
  for (std::size_t c = 0; c < classCount; ++c) {
    const bool kept = matched[c] == baseCount[c] && first[c] < reading.kept;
    reading.deleted[c] = baseCount[c] > 0 && !kept;
  }
  return reading;
}

// One entry of a merged list: the entry at `index` of theirs, or of mine.
struct Pick {
  bool mine;
  std::size_t index;
};

struct Merge {
  Reading mine;
  Reading theirs;
  std::vector<Pick> picks;
};

// Theirs' entries less the base copies of the classes mine deleted, then mine's added ones. With `addOnce`,
// a class both sides added to gets mine's added copies only past as many as theirs added.
Merge mergeClasses(const Entries& base, const Entries& mineEntries, const Entries& theirsEntries,
                   std::size_t classCount, bool addOnce) {
  std::vector<std::size_t> baseCount(classCount, 0);
  for (std::size_t c : base.classes) ++baseCount[c];
  Merge merge{
      readAgainstBase(base, mineEntries, baseCount), readAgainstBase(base, theirsEntries, baseCount), {}};
  const Classes& mine = mineEntries.classes;
  const Classes& theirs = theirsEntries.classes;
  std::vector<std::size_t> theirsAdded(addOnce ? classCount : 0, 0);
  merge.picks.reserve(theirs.size() + mine.size() - std::min(mine.size(), merge.mine.kept));
  for (std::size_t j = 0; j < theirs.size(); ++j) {
    const bool added = j >= merge.theirs.kept;
    if (added && addOnce) ++theirsAdded[theirs[j]];
    if (added || !merge.mine.deleted[theirs[j]]) merge.picks.push_back({false, j});
  }
  for (std::size_t j = merge.mine.kept; j < mine.size(); ++j) {
    if (addOnce && theirsAdded[mine[j]] > 0) {
      --theirsAdded[mine[j]];
      continue;
    }
    merge.picks.push_back({true, j});
  }
  return merge;
}

// What each entry of a side is: a base entry it kept by its position in the base, an entry it added by
// `offset` plus its own position.
std::vector<std::size_t> identities(const Entries& base, const Entries& side, const Reading& reading,
                                    std::size_t offset) {
  std::vector<std::size_t> ids(side.classes.size());
  std::size_t j = 0;
  for (std::size_t i = 0; i < base.classes.size() && j < reading.kept; ++i) {
    if (!reading.deleted[base.classes[i]]) ids[j++] = i;
  }
  for (; j < ids.size(); ++j) ids[j] = offset + j;
  return ids;
}

// The three item lists of a merge, decoded, with their entries' classes.
struct ItemLists {
  ItemLists(std::string_view baseString, std::string_view mineString, std::string_view theirsString)
      : baseItems(decodeItemList(baseString)),
        mineItems(decodeItemList(mineString)),
        theirsItems(decodeItemList(theirsString)) {
    EntryClasses classes(baseItems.size() + mineItems.size() + theirsItems.size());
    auto classify = [&](const ItemList& items, Entries& out) {
      out.texts = &items;
      out.classes.reserve(items.size());
      for (std::string_view entry : items) out.classes.push_back(classes.of(entry));
    };
    classify(baseItems, base);
    classify(mineItems, mine);
    classify(theirsItems, theirs);
    classCount = classes.count();
    merge = mergeClasses(base, mine, theirs, classCount, false);
  }

  ItemLists(const ItemLists&) = delete;  // its entries point into its own lists
  ItemLists& operator=(const ItemLists&) = delete;

  std::string_view entry(const Pick& pick) const {
    return pick.mine ? mineItems[pick.index] : theirsItems[pick.index];
  }

  std::string encode() const {
    std::size_t size = 0;
    for (const Pick& pick : merge.picks) size += entry(pick).size() + kItemSeparator.size();
    std::string stored;
    stored.reserve(size);
    for (const Pick& pick : merge.picks) stored.append(entry(pick)).append(kItemSeparator);
    return stored;
  }

  ItemList baseItems, mineItems, theirsItems;
  Entries base, mine, theirs;
  std::size_t classCount = 0;
  Merge merge;
};

}  // namespace

std::string mergeItemLists(std::string_view base, std::string_view mine, std::string_view theirs) {
  return ItemLists(base, mine, theirs).encode();
}

TaskStrings mergeTaskLists(const TaskStrings& base, const TaskStrings& mine, const TaskStrings& theirs) {
  const ItemLists tasks(base.tasks, mine.tasks, theirs.tasks);
  TaskStrings merged{tasks.encode(), {}};

  // Every to-do of the three lists gets one number: a base to-do its base position, a to-do theirs added
  // one past the base's, one mine added one past those.
  const std::size_t baseSize = tasks.base.classes.size();
  const std::size_t todoCount = baseSize + tasks.theirs.classes.size() + tasks.mine.classes.size();
  std::vector<std::size_t> baseIds(baseSize);
  for (std::size_t i = 0; i < baseSize; ++i) baseIds[i] = i;
  const std::vector<std::size_t> theirsIds =
      identities(tasks.base, tasks.theirs, tasks.merge.theirs, baseSize);
  const std::vector<std::size_t> mineIds =
      identities(tasks.base, tasks.mine, tasks.merge.mine, baseSize + tasks.theirs.classes.size());

  // What the marks mean, numbered from 0 as first met, so that their merge costs what the marks do: a to-do
  // (by its number above) or, for a mark outside its list, a plain number.
  struct Meaning {
    bool plain;
    std::int64_t value;  // the to-do's number, or the plain number
  };
  std::vector<Meaning> meanings;
  std::vector<std::size_t> todoMeaning(todoCount, kNone);
  std::unordered_map<std::int64_t, std::size_t> plainMeaning;
  auto read = [&](std::string_view stored, const std::vector<std::size_t>& ids) {
    Entries marks;
    for (std::int64_t mark : decodeIndexList(stored)) {
      const bool plain = static_cast<std::uint64_t>(mark) >= ids.size();  // a negative one too
      const std::size_t todo = plain ? 0 : ids[static_cast<std::size_t>(mark)];
      std::size_t& meaning = plain ? plainMeaning.try_emplace(mark, kNone).first->second : todoMeaning[todo];
      if (meaning == kNone) {
        meaning = meanings.size();
        meanings.push_back({plain, plain ? mark : static_cast<std::int64_t>(todo)});
      }
      marks.classes.push_back(meaning);
    }
    return marks;
  };
  const Entries baseMarks = read(base.marks, baseIds);
  const Entries mineMarks = read(mine.marks, mineIds);
  const Entries theirsMarks = read(theirs.marks, theirsIds);
  const Merge marks = mergeClasses(baseMarks, mineMarks, theirsMarks, meanings.size(), true);

  std::vector<std::size_t> mergedPosition(meanings.size(), kNone);  // of each marked to-do still there
  for (std::size_t p = 0; p < tasks.merge.picks.size(); ++p) {
    const Pick& pick = tasks.merge.picks[p];
    const std::size_t meaning = todoMeaning[pick.mine ? mineIds[pick.index] : theirsIds[pick.index]];
    if (meaning != kNone) mergedPosition[meaning] = p;
  }
  for (const Pick& pick : marks.picks) {
    const std::size_t meaning = (pick.mine ? mineMarks : theirsMarks).classes[pick.index];
    if (meanings[meaning].plain) {
      merged.marks.append(std::to_string(meanings[meaning].value)).append(kIndexSeparator);
    } else if (mergedPosition[meaning] != kNone) {
      merged.marks.append(std::to_string(mergedPosition[meaning])).append(kIndexSeparator);
    }
  }
  return merged;
}

std::string commonItems(std::string_view mine, std::string_view theirs) {
  std::unordered_map<std::string_view, std::size_t> held;
  for (std::string_view entry : nonEmptyPieces(theirs, kItemSeparator)) ++held[entry];
  std::string common;
  for (std::string_view entry : nonEmptyPieces(mine, kItemSeparator)) {
    auto found = held.find(entry);
    if (found == held.end() || found->second == 0) continue;
    --found->second;
    common.append(entry).append(kItemSeparator);
  }
  return common;
}

}  // namespace quillbox
