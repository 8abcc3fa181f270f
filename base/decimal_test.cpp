#include "base/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>

namespace quillbox {
namespace {

// Each text parsed up to max: its value, or "-".
std::string parsed(std::uint64_t max, std::initializer_list<const char*> texts) {
  std::string out;
  for (const char* text : texts) {
    const std::optional<std::uint64_t> value = parseDecimal(text, max);
    out += (value ? std::to_string(*value) : "-") + " ";
  }
  return out;
}

// Leading zeros are digits; signs, spaces, points and digits of other scripts are not.
TEST(ParseDecimal, DigitsOnlyUpToTheLimit) {
  EXPECT_EQ(parsed(65535, {"65535", "65536", "0080", "000000000000000000065535"}), "65535 - 80 65535 ");
  EXPECT_EQ(parsed(std::numeric_limits<std::uint64_t>::max(),
                   {"18446744073709551615", "18446744073709551616", "99999999999999999999999"}),
            "18446744073709551615 - - ");
  EXPECT_EQ(parsed(5, {"7"}) + parsed(10, {"0", "", "+1", "-1", " 1", "1 ", "1.0", "\u0663"}),
            "- 0 - - - - - - - ");
}

}  // namespace
}  // namespace quillbox
