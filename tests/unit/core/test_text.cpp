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

// Names equal under simple case folding in the scripts it covers, and only those: no full
// folding (ß is not "ss"), no normalisation, no Turkish dotted I, and bytes that are not UTF-8
// compare as they are.  FoldCase agrees with EqualsFoldCase on every pair.
TEST(Text, FoldCaseComparesNamesAcrossScripts) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"Hello", "hELLO", true},
      {"H\xC3\xA9llo", "H\xC3\x89llo", true},                         // Héllo, HÉllo (Latin-1)
      {"\xC5\x81\xC3\xB3\x64\xC5\xBA", "\xC5\x82\xC3\x93\x44\xC5\xB9", true},  // Łódź, łÓDŹ (Extended-A)
      {"\xC7\x84", "\xC7\x85", true},                                 // Ǆ, ǅ (Extended-B)
      {"\xC6\x8F", "\xC9\x99", true},                                 // Ə, ə
      {"\xE1\xBA\xA0", "\xE1\xBA\xA1", true},                         // Ạ, ạ (Extended Additional)
      {"\xE1\xBA\x9E", "\xC3\x9F", true},                             // ẞ, ß
      {"\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3",   // ΣΊΣΥΦΟΣ
       "\xCF\x83\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x82", true},  // σίσυφος (final ς)
      {"\xC2\xB5", "\xCE\x9C", true},                                 // µ (micro), Μ
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",                  // Привет
       "\xD0\xBF\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2", true},                   // пРИВЕТ
      {"\xD0\x81", "\xD1\x91", true},                                 // Ё, ё
      {"\xD4\xB2\xD5\xA1\xD6\x80", "\xD5\xA2\xD4\xB1\xD5\x90", true},  // Բար, բԱՐ (Armenian)
      {"\xC5\xBF", "s", true},                                        // ſ (long s)
      {"Stra\xC3\x9F" "e", "STRASSE", false},                         // full folding only
      {"\xC4\xB0", "i", false},                                       // İ: full / Turkish folding only
      {"\xC3\xA9", "e\xCC\x81", false},                               // é, e + combining acute
      {"\xE2\x84\xAA", "k", false},                                   // Kelvin sign: not a covered block
      {"a\xFF", "A\xFF", true},                                       // not UTF-8: byte for byte
      {"a\xFF", "a\xFE", false},
      {"\xC3", "\xC3\xA9", false},                                    // a cut sequence
      {"\xC0\xAF", "/", false},                                       // overlong
      {"\xED\xA0\x80", "\xED\xA0\x80", true},                         // a surrogate's bytes
      {"", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(ov::EqualsFoldCase(c.a, c.b), c.equal);
    EXPECT_EQ(ov::EqualsFoldCase(c.b, c.a), c.equal);
    EXPECT_EQ(ov::FoldCase(c.a) == ov::FoldCase(c.b), c.equal);
  }
  EXPECT_EQ(ov::FoldCase("H\xC3\x89LLO\xFF"), "h\xC3\xA9llo\xFF");
  EXPECT_EQ(ov::FoldCase("\xC5\xBF\xE1\xBA\x9E"), "s\xC3\x9F");
}
