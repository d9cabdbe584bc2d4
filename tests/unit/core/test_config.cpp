#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "ov_config.h"
#include "ov_log.h"
#include "test_util.h"

using namespace ov;
using ovtest::TempDir;

TEST(IniFile, CommentsOrderDuplicatesAndCase) {
  auto ini = TOVIniFile::Parse(
      "; leading comment\n"
      "[Server]\n"
      "Port = 9000\n"
      "port=9001\n"
      "# hash comment\n"
      "name=\"quoted\"\n"
      "empty=\n"
      "\n"
      "[server]\n"
      "address=1.2.3.4\n");
  ASSERT_TRUE(ini.Find("SERVER", "PORT"));
  EXPECT_EQ(*ini.Find("server", "port"), "9000");  // first occurrence wins
  EXPECT_EQ(*ini.Find("server", "name"), "\"quoted\"");
  EXPECT_EQ(*ini.Find("server", "empty"), "");
  EXPECT_EQ(*ini.Find("server", "address"), "1.2.3.4");  // from the repeated section
  EXPECT_EQ(ini.Find("server", "missing"), nullptr);
  EXPECT_EQ(ini.Find("nosuch", "port"), nullptr);
}

TEST(IniFile, WriteKeepsCommentsAndOrder) {
  auto ini = TOVIniFile::Parse("; top\n[a]\nx=1\n; keep me\ny=2\n\n[b]\nz=3\n");
  ini.Set("A", "Y", "20");
  ini.Set("a", "new", "v");
  ini.Set("c", "k", "w");
  EXPECT_EQ(ini.Text(), "; top\n[a]\nx=1\n; keep me\ny=20\nnew=v\n\n[b]\nz=3\n\n[c]\nk=w\n");
}

TEST(IniValues, BooleanAndIntegerRules) {
  std::string one = "1", yes = "true", two = "10", empty = "", word = "abc", big = "99999999999", neg = "-5";
  EXPECT_TRUE(IniBool(&one, false));
  EXPECT_FALSE(IniBool(&yes, true));  // only a leading "1" is true
  EXPECT_TRUE(IniBool(&two, false));
  EXPECT_TRUE(IniBool(&empty, true));
  EXPECT_FALSE(IniBool(nullptr, false));
  EXPECT_EQ(IniInt(&word, 8080), 8080);
  EXPECT_EQ(IniInt(&empty, 7), 7);
  EXPECT_EQ(IniInt(&big, 3), 3);
  EXPECT_EQ(IniInt(&neg, 3), -5);
  for (std::string bad : {"--5", "+-5", "-+5", "$-5", "0x-5", "-", "$"}) EXPECT_EQ(IniInt(&bad, 3), 3) << bad;
  std::string hex = "$1F", plus = "+7", minus_hex = "-0x10";
  EXPECT_EQ(IniInt(&hex, 3), 31);
  EXPECT_EQ(IniInt(&plus, 3), 7);
  EXPECT_EQ(IniInt(&minus_hex, 3), -16);
}

TEST(Config, DefaultFileWrittenWithPrivateModeAndMendedValues) {
  TempDir d;
  std::string path = d / "deep/er/orvanta.ini";
  TOVConfig cfg(path);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ovtest::ReadText(path), TOVConfig::DefaultConfigText());
  EXPECT_TRUE(cfg.PluginsEnabled());
  EXPECT_TRUE(cfg.LuaEnabled());
  EXPECT_EQ(cfg.RateLimitPerMinute(), 120);
  EXPECT_EQ(cfg.MaxConnectionsPerIP(), 20);
  EXPECT_FALSE(cfg.ServerUseSSL());  // "false" reads as false
  EXPECT_EQ(cfg.ServerPort(), 8080);
  EXPECT_EQ(cfg.JWTSecret(), "");
  EXPECT_FALSE(cfg.ReadBool("discovery", "enabled", true));
}

TEST(Config, ExistingFilesKeepTheBooleanRule) {
  TempDir d;
  std::string path = d / "o.ini";
  ovtest::WriteText(path, "[plugins]\nenabled=true\n[server]\nuse_ssl=1\nport=abc\n[database]\nuse_ssl=2\n"
                          "[security]\nsecurity_gate_mode=  LOG \n");
  TOVConfig cfg(path);
  EXPECT_FALSE(cfg.PluginsEnabled());
  EXPECT_TRUE(cfg.ServerUseSSL());
  EXPECT_EQ(cfg.ServerPort(), 8080);
  EXPECT_FALSE(cfg.DatabaseUseSSL());
  EXPECT_EQ(cfg.SecurityGateMode(), "log");
  EXPECT_TRUE(cfg.LuaEnabled());  // missing key: built-in default
}

TEST(Config, GateModeUnknownIsEnforce) {
  TempDir d;
  ovtest::WriteText(d / "o.ini", "[security]\nsecurity_gate_mode=sometimes\n");
  TOVConfig cfg(d / "o.ini");
  EXPECT_EQ(cfg.SecurityGateMode(), "enforce");
}

// The server writes the file to keep the token secret in it: afterwards only the owner may read
// it, and a file that was open to others is named in a warning.
TEST(Config, WriteStringReplacesAtomicallyAndLeavesTheFileToItsOwner) {
  const struct {
    mode_t before;
    const char* warning;  // nullptr: none
  } cases[] = {
      {0644, "its mode was 0644, now 0600"}, {0640, "its mode was 0640, now 0600"},
      {0606, "its mode was 0606, now 0600"}, {0600, nullptr}, {0400, nullptr},
  };
  for (const auto& c : cases) {
    TempDir d, logs;
    std::string path = d / "o.ini";
    ovtest::WriteText(path, "; mine\n[security]\njwt_secret=\n");
    ASSERT_EQ(::chmod(path.c_str(), c.before), 0);
    Log.Publish(std::make_unique<TOVLog>(logs / "log.txt", false));
    TOVConfig cfg(path);
    cfg.WriteString("security", "jwt_secret", "abc");
    Log.Free();
    EXPECT_EQ(ovtest::ReadText(path), "; mine\n[security]\njwt_secret=abc\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << std::oct << c.before;
    EXPECT_EQ(cfg.JWTSecret(), "abc");
    const std::string log = ovtest::ReadText(logs / "log.txt");
    if (c.warning) {
      EXPECT_NE(log.find("Configuration file " + path + " holds the token secret: " + c.warning), std::string::npos)
          << log;
      EXPECT_NE(log.find("Warning"), std::string::npos) << log;
    } else {
      EXPECT_EQ(log, "") << std::oct << c.before;
    }
    // No temporary files are left behind.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(d.path())) (void)e, ++files;
    EXPECT_EQ(files, 1);
  }
}

TEST(Config, WriteStringRefusesTextThatWouldNotReadBack) {
  TempDir d;
  std::string path = d / "o.ini";
  ovtest::WriteText(path, "[security]\njwt_secret=old\n");
  TOVConfig cfg(path);
  EXPECT_THROW(cfg.WriteString("security", "jwt_secret", "x\n[server]\nport=1"), std::invalid_argument);
  EXPECT_THROW(cfg.WriteString("security", "jwt_secret", "x\rport=1"), std::invalid_argument);
  EXPECT_THROW(cfg.WriteString("security", "a=b", "x"), std::invalid_argument);
  EXPECT_THROW(cfg.WriteString("security", "", "x"), std::invalid_argument);
  EXPECT_THROW(cfg.WriteString("security", ";k", "x"), std::invalid_argument);
  EXPECT_THROW(cfg.WriteString("sec]urity", "k", "x"), std::invalid_argument);
  EXPECT_THROW(cfg.WriteString("a\nb", "k", "x"), std::invalid_argument);
  EXPECT_EQ(ovtest::ReadText(path), "[security]\njwt_secret=old\n");  // nothing written
  EXPECT_EQ(cfg.JWTSecret(), "old");
  EXPECT_EQ(cfg.ServerPort(), 8080);
  cfg.WriteString("security", "jwt_secret", "a=b;c # d");  // "=" and comment marks in a value are plain text
  TOVConfig again(path);
  EXPECT_EQ(again.JWTSecret(), "a=b;c # d");
}

TEST(Config, ChangeDetectionAndReloadOfMissingFile) {
  TempDir d;
  std::string path = d / "o.ini";
  ovtest::WriteText(path, "[server]\nport=1000\n");
  TOVConfig cfg(path);
  EXPECT_FALSE(cfg.HasChanged());
  // A change within the same second is still seen (full-precision times, size, inode).
  ovtest::WriteText(path, "[server]\nport=2000\n");
  EXPECT_TRUE(cfg.HasChanged());
  EXPECT_TRUE(cfg.Reload());
  EXPECT_EQ(cfg.ServerPort(), 2000);
  EXPECT_FALSE(cfg.HasChanged());
  std::filesystem::remove(path);
  EXPECT_TRUE(cfg.HasChanged());
  EXPECT_FALSE(cfg.Reload());
  EXPECT_EQ(cfg.ServerPort(), 2000);  // old content kept
  ovtest::WriteText(path, "[server]\nport=3000\n");
  EXPECT_TRUE(cfg.Reload());
  EXPECT_EQ(cfg.ServerPort(), 3000);
}

TEST(Config, ConcurrentReadersDuringReload) {
  TempDir d;
  std::string path = d / "o.ini";
  ovtest::WriteText(path, "[server]\nport=1000\n");
  TOVConfig cfg(path);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!stop) {
      int p = cfg.ServerPort();
      if (p != 1000 && p != 2000) ++bad;
    }
  });
  for (int i = 0; i < 200; ++i) {
    ovtest::WriteText(path + ".t", i % 2 ? "[server]\nport=1000\n" : "[server]\nport=2000\n");
    std::filesystem::rename(path + ".t", path);
    cfg.Reload();
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}
