#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ov_plugin_api.h"
#include "ov_text.h"

using namespace ov;

TEST(PluginApi, PermissionTextsAndSets) {
  EXPECT_EQ(PermissionSetToJSON({}), TJSON::array());
  EXPECT_TRUE(JSONToPermissionSet(nullptr).Empty());
  const TJSON in = TJSON::parse(R"(["plugin.call", "database.read", "no.such", 5, null, "Database.Read"])");
  const TOVPermissionSet set = JSONToPermissionSet(&in);
  EXPECT_EQ(set, (TOVPermissionSet{opDatabaseRead, opPluginCall}));
  EXPECT_EQ(PermissionSetToJSON(set), TJSON::parse(R"(["database.read", "plugin.call"])"));

  TOVPermission p = opSystemExec;
  EXPECT_FALSE(StringToPermission("DATABASE.READ", p));
  EXPECT_EQ(p, opSystemExec) << "a failed match leaves the value alone";
  for (int i = 0; i < kPermissionCount; ++i) {
    ASSERT_TRUE(StringToPermission(PermissionToString(static_cast<TOVPermission>(i)), p));
    EXPECT_EQ(p, i);
  }
  EXPECT_STREQ(PermissionToString(static_cast<TOVPermission>(19)), "unknown");
  EXPECT_STREQ(PermissionToString(opDatabaseCreateTables), "database.create_tables");
  int critical = 0;
  for (int i = 0; i < kPermissionCount; ++i) critical += PermissionIsCritical(static_cast<TOVPermission>(i));
  EXPECT_EQ(critical, 4);
  EXPECT_TRUE(PermissionIsCritical(opSessionsWrite));

  // Capability names in their fixed order; menu and detector have none.
  EXPECT_EQ(CapabilitiesToJSON(TOVPluginCapabilities{pcService, pcMenu, pcProtocol, pcConfig, pcProtocolDetector}),
            TJSON::parse(R"(["protocol", "config", "service"])"));
}

TEST(PluginApi, NamesThatBecomePaths) {
  for (const char* ok : {"SampleC", "door-games", "a.b", "x..y", "Ünïcode"}) EXPECT_TRUE(IsSafeName(ok)) << ok;
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "../x", "a/b", "a\\b", std::string("a\0b", 3),
                                                         "tab\there", std::string(256, 'x')})
    EXPECT_FALSE(IsSafeName(bad)) << bad;
}
