#include "base/list_undo.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/list_string.h"
#include "base/task_strings_test_support.h"

namespace quillbox {
namespace {

using test::lists;
using test::shown;

// Each row: the lists before and after the change, the lists now, and the revert.
TEST(RevertTaskLists, TheChangeGoesAndWhatOthersDidStays) {
  const char* const rows[] = {
      "a|b|a|/2, b|/ b|/ a|b|a|/2,",              // a delete and its mark, nothing since: as before
      "a|b|a|/2, b|/ b|c|/ a|b|a|c|/2,",          // another device added c: it stays
      "a|b|c|/ a|c|/ x|a|c|/ x|a|b|c|/",          // b comes back after a, wherever a is now
      "b|a|/0, a|/ c|a|/ b|c|a|/0,",              // b first, its mark with it; c was added in front
      "a|b|/ a|b|/1, a|b|c|/1,2, a|b|c|/2,",      // a toggle flips back, another mark stays
      "a|b|/0, a|b|/ a|b|c|/ a|b|c|/0,",          // a cleared mark is set again
      "a|/ a|c|/ a|c|d|c|/ a|c|d|/",              // an add goes: the last copy
      "a|b|/1,7, a|/7, a|x|/1,7, a|b|x|/2,7,1,",  // a mark on no to-do stays as it is
  };
  for (const char* row : rows) {
    std::istringstream words(row);
    std::string before, after, now, expected;
    words >> before >> after >> now >> expected;
    EXPECT_EQ(shown(revertTaskLists(lists(before), lists(after), lists(now))), expected) << row;
    EXPECT_EQ(revertItemList(lists(before).tasks, lists(after).tasks, lists(now).tasks),
              lists(expected).tasks)
        << row;
  }
  // Nothing since: the very bytes, pieces and all.
  EXPECT_EQ(revertItemList("x\377NOTES_SEPARATORNOTES_SEPARATOR", "", ""),
            "x\377NOTES_SEPARATORNOTES_SEPARATOR");
}

TEST(DescribeChange, SaysWhatAPersonDid) {
  auto change = [](const StoredList& list, std::string_view before, std::string_view after) {
    return ListStrings{&list, lists(before).tasks, lists(after).tasks};
  };
  const std::string tags = std::string("\U0001F534  ") + std::string(50, 'z');
  std::string all;
  for (const std::vector<ListStrings>& changes :
       {std::vector{change(kNotesList, "Buy milk|b|Buy milk|", "b|")},
        {change(kTasksList, "a|b|c|", "a|")},
        {change(kTagsList, "", tags + "|")},
        {change(kNotesList, "a|", "b|")},
        {change(kTasksList, "a|b|", "a|b|"), {&kMarksList, "0,", "0,1,"}},
        {change(kTasksList, "a|b|", "a|b|"), {&kMarksList, "0,", ""}},
        {change(kTasksList, "a|b|", "b|"), {&kMarksList, "0,", ""}}})
    all += describeChange(changes) + "\n";
  EXPECT_EQ(all, "Deleted \"Buy milk\" and 1 equal note\nDeleted \"b\" and 1 more to-do\nAdded \"" +
                     std::string(40, 'z') +
                     "\u2026\"\nChanged the notes\nMarked \"b\" finished\n"
                     "Marked \"a\" unfinished\nDeleted \"a\"\n");
}

}  // namespace
}  // namespace quillbox
