#include <gtest/gtest.h>

#include <limits>

#include "ov_format.h"

using ov::Format;

TEST(Format, ConversionsAndMismatches) {
  EXPECT_EQ(Format("%s on %d", "x", 5), "x on 5");
  EXPECT_EQ(Format("%d", std::string("text")), "text");       // wrong kind: written as text
  EXPECT_EQ(Format("%s", 42), "42");
  EXPECT_EQ(Format("%s", true), "true");
  EXPECT_EQ(Format("%5d|%-4s|%.2f", 7, "ab", 3.14159), "    7|ab  |3.14");
  EXPECT_EQ(Format("%x %X", 255, 255u), "ff FF");
  EXPECT_EQ(Format("%d", std::int64_t(1) << 40), "1099511627776");
  EXPECT_EQ(Format("%d", std::uint64_t(18446744073709551615ULL)), "18446744073709551615");
  EXPECT_EQ(Format("100%%"), "100%");
}

TEST(Format, MissingAndSurplusArgumentsAreSafe) {
  EXPECT_EQ(Format("%s and %s", "one"), "one and %s");
  EXPECT_EQ(Format("%d", 1, 2, 3), "1");
  EXPECT_EQ(Format("trailing %"), "trailing %");
  EXPECT_EQ(Format("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(Format("%999999999999999999d", 1).size(), 1024u);  // padding is clamped
  EXPECT_EQ(Format("%.99999999999s", "abc"), "abc");
  EXPECT_EQ(Format("%1000.900f", 1e300).size(), 1202u);  // 301 digits, point, 900 decimals
}

TEST(Format, FloatingPointForIntegerConversionsIsClamped) {
  EXPECT_EQ(Format("%d", 2.9), "2");
  EXPECT_EQ(Format("%d", -2.9), "-2");
  EXPECT_EQ(Format("%d", 1e300), "9223372036854775807");
  EXPECT_EQ(Format("%d", -1e300), "-9223372036854775808");
  EXPECT_EQ(Format("%d", std::numeric_limits<double>::quiet_NaN()), "0");
  EXPECT_EQ(Format("%x", std::numeric_limits<double>::infinity()), "7fffffffffffffff");
}
