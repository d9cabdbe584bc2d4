// The plug-ins that thin clients report to the update checker.
#include <gtest/gtest.h>

#include "ov_daemon_hooks.h"

using namespace ov;

TEST(ThinClientPlugins, CountsNamedVersionedPluginsFirstReporterWins) {
  const TJSON clients = TJSON::parse(R"([
    "not a client",
    {"name": "node-0"},
    {"name": "node-1", "plugins": {"chat": "1.0"}},
    {"name": "node-2", "plugins": [
      {"name": "chat", "version": "1.2"},
      {"name": "", "version": "9"},
      {"name": "files", "version": ""},
      {"name": "mail"},
      {"version": "3"},
      {"name": 7, "version": "1"},
      "games",
      {"name": "doors", "version": "2.0", "extra": true}]},
    {"name": "node-3", "plugins": [
      {"name": "chat", "version": "0.9"},
      {"name": "files", "version": "4.1"},
      {"name": "Doors", "version": "5"}]}
  ])");
  // Later clients add only names not seen yet (compared exactly, as the hub reports them).
  EXPECT_EQ(ThinClientPlugins(clients),
            TJSON::parse(R"({"chat": "1.2", "doors": "2.0", "files": "4.1", "Doors": "5"})"));

  EXPECT_EQ(ThinClientPlugins(TJSON::array()), TJSON::object());
  EXPECT_EQ(ThinClientPlugins(TJSON::object()), TJSON::object());
  // Without a hub nothing is reported.
  EXPECT_EQ(TUpdateCheckerHelper::GetThinClientPlugins(), TJSON::object());
}
