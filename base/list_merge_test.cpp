#include "base/list_merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/list_string.h"
#include "base/random_test_support.h"
#include "base/task_strings_test_support.h"
#include "base/text.h"

namespace quillbox {
namespace {

using test::lists;
using test::shown;

// Each row: base, mine, theirs and the merge, in the form lists() reads.
TEST(MergeTaskLists, WhatAPersonMeets) {
  const char* const rows[] = {
      "a|/ a|b|/ a|c|/ a|c|b|/",                          // both add
      "a|b|c|/ a|b|c|/0,2, b|c|/ b|c|/1,",                // one deletes what the other marked
      "a|b|c|/0, b|c|/1, a|b|c|d|/0,1, b|c|d|/0,1,",      // offline: delete and toggle; online: add, toggle
      "a|b|/1, a|b|x|/1, b|/0, b|x|/0,",                  // a delete is not undone by the other side
      "a|a|/1, a|a|a|/1,2, a|a|b|/1,0, a|a|b|a|/1,0,3,",  // a mark means the k-th copy of its text
      "caf\u00e9|cafe\u0301|/ cafe\u0301|/ z|/ z|cafe\u0301|/",  // a spelling added again outlives a delete
      "\xff|y|/ y|/ \xff|y|\xef\xbf\xbd|/ y|\xef\xbf\xbd|/",     // not UTF-8: equal only to the same bytes
      "a|/5, a|b|/5, a|/5,7,-1, a|b|/5,7,-1,",                   // marks past the end stay
      "a|/5, a|b|c|d|e|f|/5, a|g|/5, a|g|b|c|d|e|f|/6,",         // a mark the list grew to reach follows it
      "a|/ a|/ |a||/x,1,+0, a|/1,0,",                            // theirs decoded and encoded again
      "a|a|c|/ a|a|b|c|/ x|a|c|a|/ x|a|c|a|b|c|/",               // one answer in both builds
      "a|b|/ a|b|/1, a|b|/1, a|b|/1,",                           // a mark set on both is set once
  };
  for (const char* row : rows) {
    std::istringstream words(row);
    std::string base, mine, theirs, expected;
    words >> base >> mine >> theirs >> expected;
    EXPECT_EQ(shown(mergeTaskLists(lists(base), lists(mine), lists(theirs))), expected) << row;
  }
}

// With no base known, what both sides hold is the base: each entry both hold is there once after the merge.
TEST(MergeItemLists, OntoWhatBothHoldNothingIsDoubled) {
  const TaskStrings mine = lists("a|a|a|b|/"), theirs = lists("a|a|c|/");
  const TaskStrings common{commonItems(mine.tasks, theirs.tasks), ""};
  EXPECT_EQ(shown(common) + " " + shown({mergeItemLists(common.tasks, mine.tasks, theirs.tasks), ""}),
            "a|a|/ a|a|c|a|b|/");
}

// To-dos edited as the to-do screen edits them, where every to-do and every mark carries a number of its own.
struct Model {
  struct Todo {
    std::string text;
    int id;
  };
  std::vector<Todo> todos;
  std::vector<std::pair<int, int>> marks;  // (to-do, mark)
  static inline int next = 0;

  void add(std::string text) { todos.push_back({std::move(text), next++}); }
  void remove(std::string text) {  // every equal to-do, and its marks
    std::erase_if(todos, [&](const Todo& todo) { return textEquals(todo.text, text); });
    std::erase_if(marks, [&](std::pair<int, int> mark) { return position(mark.first) < 0; });
  }
  void toggle(std::size_t p) {
    const int id = todos[p].id;
    if (std::erase_if(marks, [&](std::pair<int, int> mark) { return mark.first == id; }) == 0)
      marks.push_back({id, next++});
  }
  int position(int id) const {
    const auto at = std::find_if(todos.begin(), todos.end(), [&](const Todo& todo) { return todo.id == id; });
    return at == todos.end() ? -1 : static_cast<int>(at - todos.begin());
  }
  bool holds(int number) const {
    return position(number) >= 0 ||
           std::any_of(marks.begin(), marks.end(), [&](auto mark) { return mark.second == number; });
  }
  TaskStrings strings() const {
    TaskStrings out;
    for (const Todo& todo : todos) out.tasks = appendItem(out.tasks, todo.text);
    for (std::pair<int, int> mark : marks) out.marks = appendIndex(out.marks, position(mark.first));
    return out;
  }
};

// The merge told by the numbers: theirs' to-dos and marks less the base ones mine deleted or cleared, then
// mine's new to-dos and its new marks on to-dos theirs did not newly mark; marks of gone to-dos go.
Model merged(const Model& base, const Model& mine, const Model& theirs) {
  auto kept = [&](int id) { return !base.holds(id) || mine.holds(id); };
  std::set<int> newInTheirs;
  Model out;
  // (the WebAssembly build's C++ library has no std::ranges algorithms)
  std::copy_if(theirs.todos.begin(), theirs.todos.end(), std::back_inserter(out.todos),
               [&](auto todo) { return kept(todo.id); });
  std::copy_if(mine.todos.begin(), mine.todos.end(), std::back_inserter(out.todos),
               [&](auto todo) { return !base.holds(todo.id); });
  for (auto [todo, mark] : theirs.marks) {
    if (!base.holds(mark)) newInTheirs.insert(todo);
    if (kept(mark) && out.position(todo) >= 0) out.marks.push_back({todo, mark});
  }
  for (auto [todo, mark] : mine.marks) {
    if (!base.holds(mark) && !newInTheirs.contains(todo) && out.position(todo) >= 0)
      out.marks.push_back({todo, mark});
  }
  return out;
}

// Random bases, random adds, deletes and toggles on both sides. The base ends with a to-do, marked last, that
// no side touches: with it every delete shows in the strings (a delete and an add again that put a text back
// where it stood would not), so the merge must equal the one told by the numbers.
TEST(MergeTaskLists, MatchesTheMergeToldByNumbers) {
  const std::vector<std::string> texts = {"a", "b", "caf\u00e9", "cafe\u0301", "\xff", "x y"};
  std::mt19937 random(test::randomSeed());
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  for (int round = 0; round < 500; ++round) {
    Model base;
    for (std::size_t n = pick(6); n > 0; --n) base.add(texts[pick(texts.size())]);
    for (std::size_t n = pick(4); n > 0 && !base.todos.empty(); --n) base.toggle(pick(base.todos.size()));
    base.add("end");
    base.toggle(base.todos.size() - 1);
    Model mine = base, theirs = base;
    for (Model* side : {&mine, &theirs}) {
      for (std::size_t n = pick(7); n > 0; --n) {
        const int op = side->todos.empty() ? 0 : static_cast<int>(pick(3));
        const std::size_t p = op == 0 ? 0 : pick(side->todos.size());
        if (op == 0) side->add(texts[pick(texts.size())]);
        if (op == 1 && side->todos[p].text != "end") side->remove(side->todos[p].text);
        if (op == 2 && side->todos[p].text != "end") side->toggle(p);
      }
    }
    const TaskStrings b = base.strings(), m = mine.strings(), t = theirs.strings();
    ASSERT_EQ(shown(mergeTaskLists(b, m, t)), shown(merged(base, mine, theirs).strings()))
        << "base " << shown(b) << " mine " << shown(m) << " theirs " << shown(t);
    ASSERT_EQ(shown(mergeTaskLists(b, m, b)), shown(m)) << "base " << shown(b);
  }
}

}  // namespace
}  // namespace quillbox
