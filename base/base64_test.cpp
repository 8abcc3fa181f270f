#include "base/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace quillbox {
namespace {

TEST(Base64, PaddedStandardBase64BothWaysAndNothingElse) {
  const std::pair<std::string, std::string> both[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"\xff\xfe\xfb", "//77"},
      {std::string("\0\0", 2), "AAA="},
  };
  for (const auto& [bytes, text] : both) {
    EXPECT_EQ(toBase64(bytes), text);
    EXPECT_EQ(fromBase64(text).value_or("(none)"), bytes) << text;
  }
  for (const char* bad :
       {"Zg", "Zg=", "Zg===", "Z===", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n", "Zm-v", "=Zm9", "Zg==Zg=="}) {
    EXPECT_FALSE(fromBase64(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace quillbox
