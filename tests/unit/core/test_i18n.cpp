#include <gtest/gtest.h>

#include "ov_i18n.h"
#include "test_util.h"

using namespace ov;
using ovtest::TempDir;

class I18nTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ovtest::WriteText(dir / "en.json",
                      R"({"_meta":{"language":"English"},"menu":{"file":"File","count":"{0} items, ok={1}, {2}"},"num":5,"only_en":"English only"})");
    ovtest::WriteText(dir / "de.json", R"({"_meta":{"language":"Deutsch"},"menu":{"file":"Datei"}})");
    i18n.SetLangDir(dir.path());
  }
  TempDir dir;
  TOVi18n i18n;
};

TEST_F(I18nTest, LookupWithFallback) {
  i18n.LoadLanguage("de");
  EXPECT_EQ(i18n.GetCurrentLanguage(), "de");
  EXPECT_EQ(i18n.T("menu.file"), "Datei");
  EXPECT_EQ(i18n.T("only_en"), "English only");
  EXPECT_EQ(i18n.T("num"), "num");    // not a string
  EXPECT_EQ(i18n.T("menu"), "menu");  // an object
  EXPECT_EQ(i18n.T("no.such.key"), "no.such.key");
}

TEST_F(I18nTest, MissingAndUnsafeCodesFallBackToEnglish) {
  i18n.LoadLanguage("fr");
  EXPECT_EQ(i18n.GetCurrentLanguage(), "en");
  EXPECT_EQ(i18n.T("menu.file"), "File");
  ovtest::WriteText(dir / "../evil.json", R"({"menu":{"file":"pwned"}})");
  i18n.LoadLanguage("../evil");
  EXPECT_EQ(i18n.GetCurrentLanguage(), "en");
  EXPECT_EQ(i18n.T("menu.file"), "File");
  i18n.LoadLanguage("EN");
  EXPECT_EQ(i18n.GetCurrentLanguage(), "en");
  EXPECT_FALSE(TOVi18n::IsValidLanguageCode(std::string(33, 'a')));
  EXPECT_TRUE(TOVi18n::IsValidLanguageCode("pt-BR_x"));
}

TEST_F(I18nTest, Placeholders) {
  i18n.LoadLanguage("en");
  EXPECT_EQ(i18n.T("menu.count", {std::int64_t(5), true}), "5 items, ok=true, {2}");
  EXPECT_EQ(i18n.T("menu.count", {std::string("x"), 1.5, std::string("y")}), "x items, ok=?, y");
}

TEST_F(I18nTest, LanguageListSortedAndTolerant) {
  ovtest::WriteText(dir / "aa.json", "{ broken");
  std::filesystem::create_directories(dir / "zz.json");
  auto langs = i18n.GetAvailableLanguages();
  ASSERT_EQ(langs.size(), 3u);
  EXPECT_EQ(langs[0]["code"], "aa");
  EXPECT_EQ(langs[0]["name"], "aa");
  EXPECT_EQ(langs[1]["name"], "Deutsch");
  EXPECT_EQ(langs[2]["code"], "en");
  EXPECT_THROW(i18n.LoadLanguage("aa"), std::runtime_error);
}

TEST(I18nEmpty, EmptyDirectoryListsNothing) {
  TempDir d;
  TOVi18n i18n;
  i18n.SetLangDir(d.path());
  EXPECT_EQ(i18n.GetAvailableLanguages().size(), 0u);
  i18n.LoadLanguage("de");
  EXPECT_EQ(i18n.T("x"), "x");
  EXPECT_EQ(JsonSpaced(i18n.GetBundle()), "{}");
}
