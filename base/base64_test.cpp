#include "base/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace quillbox {
namespace {

using namespace std::string_literals;

TEST(Base64, PaddedStandardBase64BothWaysAndNothingElse) {
  // Each case "bytes -> text", the bytes before the first " -> ".
  for (const std::string& c : {" -> "s, "f -> Zg=="s, "fo -> Zm8="s, "foo -> Zm9v"s, "foob -> Zm9vYg=="s,
                               "\xff\xfe\xfb -> //77"s, "\xfb\xef\xbe -> ++++"s, "\0\0 -> AAA="s}) {
    const std::string bytes = c.substr(0, c.find(" -> ")), text = c.substr(c.find(" -> ") + 4);
    EXPECT_EQ(toBase64(bytes), text);
    EXPECT_EQ(fromBase64(text).value_or("(none)"), bytes) << text;
  }
  for (const char* bad :
       {"Zg", "Zg=", "Zg===", "Z===", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n", "Zm-v", "=Zm9", "Zg==Zg=="})
    EXPECT_FALSE(fromBase64(bad).has_value()) << bad;
}

}  // namespace
}  // namespace quillbox
