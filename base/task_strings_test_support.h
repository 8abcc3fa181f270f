#pragma once

// To-dos and their marks written short for tests: "a|b|/1," stands for the to-dos a and b with the
// second one finished; "a|b|" for a list of items with no marks.

#include <string>
#include <string_view>

#include "base/list_merge.h"
#include "base/list_string.h"

namespace quillbox::test {

inline TaskStrings lists(std::string_view shown) {
  const std::size_t slash = shown.rfind('/');
  std::string tasks;
  for (char c : shown.substr(0, slash)) tasks += c == '|' ? std::string(kItemSeparator) : std::string(1, c);
  return {tasks, slash == std::string_view::npos ? "" : std::string(shown.substr(slash + 1))};
}

inline std::string shown(const TaskStrings& strings) {
  std::string out;
  for (std::string_view entry : decodeItemList(strings.tasks)) out.append(entry).append("|");
  return out + "/" + strings.marks;
}

}  // namespace quillbox::test
