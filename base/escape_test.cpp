#include "base/escape.h"

#include <gtest/gtest.h>

#include <string>

namespace quillbox {
namespace {

TEST(TerminalSafe, EscapesControlsAndBytesThatAreNotUtf8AndKeepsEverythingElse) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\tb\r\n\x7f\x01\x1b[2J", "a\\tb\\r\\n\\x7f\\x01\\x1b[2J"},
      {"é 🔵 \u26AB\uFE0F <b>&\"\\", "é 🔵 \u26AB\uFE0F <b>&\"\\"},
      {"\xc2\x85|\xc2\xa0", "\\x85|\xc2\xa0"},  // a C1 control; a no-break space is text
      {"\xe2\x82|\xed\xa0\x80|\xff", "\\xe2\\x82|\\xed\\xa0\\x80|\\xff"},
      {std::string("nul\0!", 5), "nul\\x00!"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(terminalSafe(text), shown) << shown;
  EXPECT_EQ(inQuotes("/home/a b/\x1b"), "\"/home/a b/\\x1b\"");
}

}  // namespace
}  // namespace quillbox
