#include "foundation/text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>

namespace velmo::ai {
namespace {

TEST(Text, LowerAsciiTouchesOnlyAsciiLettersAndHexValueKnowsEveryByte) {
  EXPECT_EQ(lower_ascii("GPU Auto-\xC3\x84Z[@]\x80"), "gpu auto-\xC3\x84z[@]\x80");
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    SCOPED_TRACE(b);
    const std::string digits = "0123456789abcdef";
    const int expected = std::isxdigit(b) ? static_cast<int>(digits.find(static_cast<char>(std::tolower(b)))) : -1;
    EXPECT_EQ(hex_value(c), expected);
    EXPECT_EQ(is_ascii_space(c), std::isspace(b) != 0);
  }
}

TEST(Text, PortsAreDigitsOnlyWithinOneTo65535) {
  EXPECT_EQ(parse_port_digits("1"), std::optional<std::uint16_t>(1));
  EXPECT_EQ(parse_port_digits("65535"), std::optional<std::uint16_t>(65535));
  EXPECT_EQ(parse_port_digits("08080"), std::optional<std::uint16_t>(8080));
  for (const char* bad : {"", "0", "00000", "65536", "99999", "100000", "000080", "+80", "-1", " 80", "80 ", "8o"}) {
    EXPECT_EQ(parse_port_digits(bad), std::nullopt) << '"' << bad << '"';
  }
  EXPECT_TRUE(valid_port(kPortRange.lo) && valid_port(kPortRange.hi));
  EXPECT_EQ(kPortRange.text(), "1..65535");
  EXPECT_FALSE(valid_port(0) || valid_port(65536) || valid_port(-65535));
}

}  // namespace
}  // namespace velmo::ai
