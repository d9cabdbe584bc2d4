#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "ov_log.h"
#include "test_util.h"

using namespace ov;
using ovtest::TempDir;

TEST(LogSplit, SourceAndCategoryTags) {
  auto p = SplitLogMessage("[ws] hello");
  EXPECT_EQ(p.source, "ws");
  EXPECT_EQ(p.category, "general");
  EXPECT_EQ(p.text, "hello");
  p = SplitLogMessage("[plugin:name] [db] text here");
  EXPECT_EQ(p.source, "plugin:name");
  EXPECT_EQ(p.category, "db");
  EXPECT_EQ(p.text, "text here");
  p = SplitLogMessage("[]x");
  EXPECT_EQ(p.source, "system");
  EXPECT_EQ(p.text, "[]x");
  p = SplitLogMessage("[a]b");
  EXPECT_EQ(p.source, "a");
  EXPECT_EQ(p.text, "b");
  p = SplitLogMessage("[only]");
  EXPECT_EQ(p.source, "only");
  EXPECT_EQ(p.text, "");
  p = SplitLogMessage("plain [x] y");
  EXPECT_EQ(p.source, "system");
  EXPECT_EQ(p.category, "general");
  p = SplitLogMessage("[unclosed text");
  EXPECT_EQ(p.source, "system");
}

TEST(LogLevels, ConfigNamesAreExact) {
  EXPECT_EQ(LogLevelFromConfig("debug"), llDebug);
  EXPECT_EQ(LogLevelFromConfig("warn"), llWarning);
  EXPECT_EQ(LogLevelFromConfig("warning"), llInfo);
  EXPECT_EQ(LogLevelFromConfig("ERROR"), llInfo);
  EXPECT_EQ(LogLevelFromConfig("error"), llError);
}

TEST(LogFile, LineFormatFilterEscapingAndCallback) {
  TempDir d;
  std::string file = d / "o.log";
  std::vector<std::string> stored;
  {
    TOVLog log(file, false);
    log.SetDBCallback([&](const std::string& l, const std::string& s, const std::string& c, const std::string& m) {
      stored.push_back(l + "|" + s + "|" + c + "|" + m);
    });
    log.Debug("hidden");
    log.Info("[ws] hello %s", "there");
    log.Warning("line1\nfake 2026-01-01 [ERROR] forged\r");
    log.SetMinLevel(llError);
    log.Warning("filtered");
    log.Error("boom %d", 3);
  }
  std::string text = ovtest::ReadText(file);
  std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[OrvantaBBS (Info|Warning|Error)\] .*)");
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u);
  for (auto& l : lines) EXPECT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_NE(lines[0].find("[OrvantaBBS Info] [ws] hello there"), std::string::npos);
  EXPECT_NE(lines[1].find("line1\\nfake 2026-01-01 [ERROR] forged\\r"), std::string::npos);
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0], "info|ws|general|hello there");
  EXPECT_EQ(stored[1], "warning|system|general|line1\nfake 2026-01-01 [ERROR] forged\r");  // stored as given
  EXPECT_EQ(stored[2], "error|system|general|boom 3");
}

TEST(LogFile, CallbackExceptionsAreSwallowed) {
  TempDir d;
  TOVLog log(d / "o.log", false);
  log.SetDBCallback([](auto&, auto&, auto&, auto&) { throw std::runtime_error("db down"); });
  EXPECT_NO_THROW(log.Info("still fine"));
  EXPECT_NE(ovtest::ReadText(d / "o.log").find("still fine"), std::string::npos);
}

TEST(LogFile, ConcurrentLinesNeverInterleave) {
  TempDir d;
  {
    TOVLog log(d / "o.log", false);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
      ts.emplace_back([&, t] {
        for (int i = 0; i < 500; ++i) log.Info("thread %d line %d %s", t, i, std::string(200, 'x'));
      });
    for (auto& th : ts) th.join();
  }
  std::istringstream in(ovtest::ReadText(d / "o.log"));
  int n = 0;
  std::regex line(R"(.* \[OrvantaBBS Info\] thread \d line \d+ x{200})");
  for (std::string l; std::getline(in, l); ++n) ASSERT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_EQ(n, 4000);
}

TEST(LogFile, UnwritableFileThrows) {
  EXPECT_THROW(TOVLog("/nonexistent-dir/x/o.log", false), std::runtime_error);
}
