#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "ov_text.h"

using ov::ParseInt64;

TEST(Text, ParseInt64Edges) {
  EXPECT_EQ(ParseInt64("0"), 0);
  EXPECT_EQ(ParseInt64("+5"), 5);
  EXPECT_EQ(ParseInt64("-5"), -5);
  EXPECT_EQ(ParseInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ParseInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (const char* bad : {"", "-", "+", "9223372036854775808", "-9223372036854775809", "1a", " 1", "1 ", "0x10", "1.0"})
    EXPECT_FALSE(ParseInt64(bad).has_value()) << bad;
}
