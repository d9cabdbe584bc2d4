#include <gtest/gtest.h>

#include <set>

#include "ov_guid.h"

using ov::TOVGuid;

TEST(Guid, GeneratedFormAndUniqueness) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string g = TOVGuid::Generate();
    ASSERT_EQ(g.size(), 36u);
    ASSERT_TRUE(TOVGuid::IsValid(g));
    for (char c : g) ASSERT_FALSE(c >= 'A' && c <= 'F');
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(Guid, Validation) {
  EXPECT_TRUE(TOVGuid::IsValid("ABCDEF01-2345-6789-abcd-ef0123456789"));
  EXPECT_FALSE(TOVGuid::IsValid("{bcdef01-2345-6789-abcd-ef012345678}"));
  EXPECT_FALSE(TOVGuid::IsValid("abcdef01-2345-6789-abcd-ef012345678"));    // 35
  EXPECT_FALSE(TOVGuid::IsValid("abcdef01-2345-6789-abcd-ef01234567890"));  // 37
  EXPECT_FALSE(TOVGuid::IsValid("abcdef01x2345-6789-abcd-ef012345678"));
  EXPECT_FALSE(TOVGuid::IsValid("abcdeg01-2345-6789-abcd-ef0123456789"));
}

TEST(Guid, IntegerTest) {
  EXPECT_TRUE(TOVGuid::IsInteger("0"));
  EXPECT_TRUE(TOVGuid::IsInteger("9223372036854775807"));
  EXPECT_FALSE(TOVGuid::IsInteger("9223372036854775808"));
  EXPECT_FALSE(TOVGuid::IsInteger("-3"));
  EXPECT_FALSE(TOVGuid::IsInteger("12a"));
  EXPECT_FALSE(TOVGuid::IsInteger(""));
  EXPECT_FALSE(TOVGuid::IsInteger(" 1"));
}

TEST(Guid, ShortAndForLog) {
  std::string g = "abcdef01-2345-6789-abcd-ef0123456789";
  EXPECT_EQ(TOVGuid::Short(g), "ef0123456789");
  EXPECT_EQ(TOVGuid::ForLog(g), "[..ef0123456789]");
  EXPECT_EQ(TOVGuid::Short("ab-cd"), "abcd");
  EXPECT_EQ(TOVGuid::ForLog(""), "");
}
