#include "base/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace quillbox {
namespace {

TEST(ParseDecimal, DigitsOnlyUpToTheLimit) {
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::string text;
    std::uint64_t max;
    std::string parsed;
  } cases[] = {
      {"0", 10, "0"},
      {"65535", 65535, "65535"},
      {"65536", 65535, "-"},
      {"0080", 65535, "80"},
      {"000000000000000000065535", 65535, "65535"},
      {"7", 5, "-"},
      {"18446744073709551615", kMost, "18446744073709551615"},
      {"18446744073709551616", kMost, "-"},
      {"99999999999999999999999", kMost, "-"},
      {"", 10, "-"},
      {"+1", 10, "-"},
      {"-1", 10, "-"},
      {" 1", 10, "-"},
      {"1 ", 10, "-"},
      {"1.0", 10, "-"},
      {"\u0663", 10, "-"},  // an Arabic-Indic digit
  };
  for (const auto& c : cases) {
    const std::optional<std::uint64_t> value = parseDecimal(c.text, c.max);
    EXPECT_EQ(value ? std::to_string(*value) : "-", c.parsed) << c.text << " up to " << c.max;
  }
}

}  // namespace
}  // namespace quillbox
