// The server's plug-in manager: stored grants and state, schema steps on every database, the
// "_system" functions, reload and scan.
#include <gtest/gtest.h>

#include <filesystem>

#include "db_test_env.h"
#include "dbapi_storage.h"
#include "ov_config.h"
#include "plugin_test_env.h"

using namespace ov;

namespace {

using PluginServerManagerTest = ovtest::PluginTest;

TJSON StoredGrants(ovtest::PluginTest& t) {
  return TJSON::parse(t.Sql("SELECT config_json FROM plugin_state WHERE plugin_name = 'SampleC'"))["_granted_permissions"];
}

}  // namespace

TEST_F(PluginServerManagerTest, GrantsAreStoredGrownAndKeptAcrossStarts) {
  Install("sample_c");
  Start();
  const TJSON requested = TJSON::parse(R"(["database.read", "database.write", "database.create_tables", "config.read"])");
  EXPECT_EQ(StoredGrants(*this), requested);
  EXPECT_EQ(Sql("SELECT plugin_version || '|' || is_enabled FROM plugin_state"), "1.0.0|0") << "new: not enabled";
  EXPECT_EQ(mgr->GetPluginJSON()[0]["is_enabled"], false);

  // A plug-in that asks for more than was stored gets it added; what was stored stays.
  ovtest::RawExec(file, R"(UPDATE plugin_state SET is_enabled = 1, config_json = '{"mine": 1, "_granted_permissions": ["database.read", "events.fire"]}')");
  log.Clear();
  Start();
  EXPECT_EQ(log.Count("Auto-granted new permissions for plugin: SampleC"), 1);
  EXPECT_EQ(StoredGrants(*this), TJSON::parse(R"(["database.read", "database.write", "database.create_tables",
                                                   "events.fire", "config.read"])"));
  EXPECT_EQ(TJSON::parse(Sql("SELECT config_json FROM plugin_state"))["mine"], 1);
  EXPECT_TRUE(log.Has("info Plugin enabled: SampleC")) << "enabled again from the stored flag";
  const TJSON info = mgr->GetPluginJSON()[0];
  EXPECT_EQ(info["granted_permissions"].size(), 5u);
  EXPECT_EQ(info["capabilities"], TJSON::parse(R"(["database", "service"])"));
  log.Clear();
  Start();
  EXPECT_FALSE(log.Has("Auto-granted"));

  // Approved permissions replace the set, stored and in the host.
  mgr->ApprovePermissions("SampleC", {opDatabaseRead});
  EXPECT_EQ(StoredGrants(*this), TJSON::parse(R"(["database.read"])"));
  EXPECT_EQ(mgr->GetPluginJSON()[0]["granted_permissions"], StoredGrants(*this));
  EXPECT_FALSE(mgr->GetPluginIndex(0)->HostObj()->HasPermission(opDatabaseWrite));
}

TEST_F(PluginServerManagerTest, SystemFunctionsAndTheirCallers) {
  Start();
  for (int i = 0; i < 3; ++i) InsertUser("u" + std::to_string(i), "guid-" + std::to_string(i), i == 0);
  InsertUser("u12", "12ab0000-0000-0000-0000-000000000000");
  auto call = [&](const char* fn, const TJSON& args, const TOVAuthUser* caller = nullptr) {
    return *mgr->CallPluginFunction("_system", fn, &args, caller);
  };
  TJSON r = call("ListUsers", {{"page", 0}, {"per_page", 500}});
  EXPECT_EQ(r["page"], 1);
  EXPECT_EQ(r["per_page"], 200);
  EXPECT_EQ(r["total"], 4);
  EXPECT_EQ(r["users"][0]["is_admin"], true);
  EXPECT_EQ(r["users"][1]["is_active"], true);
  EXPECT_EQ(call("ListUsers", {{"page", 2}, {"per_page", 3}})["users"].size(), 1u);

  EXPECT_EQ(call("GetUser", {{"id", 2}}), TJSON::parse(R"({"success": false, "error": "Missing id parameter"})"));
  EXPECT_EQ(call("GetUser", {{"id", "2"}})["user"]["username"], "u1");
  EXPECT_EQ(call("GetUser", {{"id", "guid-2"}})["user"]["username"], "u2");
  // A GUID that starts with digits names that GUID, never the row with that number.
  EXPECT_EQ(call("GetUser", {{"id", "12ab0000-0000-0000-0000-000000000000"}})["user"]["id"], 4);
  EXPECT_EQ(call("GetUser", {{"id", "nobody"}})["error"], "User not found");
  EXPECT_EQ(call("UpdateUser", {{"id", "guid-1"}, {"is_admin", 1}, {"security_level", "99"}}), TJSON::parse(R"({"success": true})"));
  EXPECT_EQ(Sql("SELECT is_admin || '|' || security_level FROM users WHERE guid = 'guid-1'"), "1|10");

  ovtest::RawExec(file, "INSERT INTO system_logs (level, source, message) VALUES ('error', 'x', 'e1'), ('info', 'x', 'i1')");
  r = call("GetSystemLogs", {{"level", "error"}, {"source", "x"}});
  EXPECT_EQ(r["total"], 1);
  EXPECT_EQ(r["logs"][0]["message"], "e1");
  EXPECT_EQ(call("GetSystemConfig", {{"key", "bbs_name"}})["value"], "Orvanta BBS");
  EXPECT_EQ(call("GetSystemConfig", {{"key", "no_such"}})["value"], "");
  EXPECT_EQ(call("GetSystemConfig", TJSON::object())["error"], "Missing key parameter");
  EXPECT_EQ(*mgr->CallPluginFunction("_system", "Translate", nullptr),
            TJSON::parse(R"({"success": false, "error": "Missing key parameter"})"));
  EXPECT_EQ(call("Nope", TJSON::object())["error"], "Unknown _system function: Nope");

  // Signed-in users who are not administrators do not reach the administrative functions.
  TOVAuthUser token_user, key_user, admin;
  token_user.Source = admin.Source = "jwt";
  key_user.Source = "apikey";
  admin.IsAdmin = true;
  for (const char* fn : {"ListUsers", "GetUser", "UpdateUser", "GetSystemLogs", "GetSystemConfig", "ReloadLanguage"}) {
    EXPECT_THROW(call(fn, TJSON::object(), &token_user), EOVPluginAccessDenied) << fn;
    EXPECT_NO_THROW(call(fn, TJSON::object(), &key_user)) << fn;
    EXPECT_NO_THROW(call(fn, TJSON::object(), &admin)) << fn;
  }
  for (const char* fn : {"Translate", "GetLangBundle", "GetLanguage", "GetAvailableLanguages", "GetDashboardWidgets"})
    EXPECT_NO_THROW(call(fn, TJSON::object(), &token_user)) << fn;
}

TEST_F(PluginServerManagerTest, ReloadRunsTheNewCodeAndReportsFailures) {
  Install("schema_v1", "reloadable");
  Start();
  ASSERT_EQ(mgr->EnablePlugin("Schema"), "");
  EXPECT_EQ((*Call("Schema", "Code"))["code"], 1);
  // Two reloads within the same second, each over a file replaced in place.
  for (int code : {2, 1}) {
    Install(code == 2 ? "schema_v2" : "schema_v1", "reloadable");
    EXPECT_EQ(mgr->ReloadPlugin("Schema"), "");
    EXPECT_EQ((*Call("Schema", "Code"))["code"], code);
  }
  EXPECT_EQ(log.Count("Plugin reloaded successfully: Schema"), 2);
  std::vector<std::string> files;
  for (const auto& f : std::filesystem::directory_iterator(plugin_dir)) files.push_back(f.path().filename().string());
  EXPECT_EQ(files, std::vector<std::string>{"reloadable.so"}) << "no copies left behind";
  EXPECT_EQ(mgr->ScanNewPlugins(), 0);

  Install("schema_init_false", "reloadable");
  EXPECT_EQ(mgr->ReloadPlugin("Schema"), "Plugin failed to initialize: Schema");
  EXPECT_EQ(log.Count("Plugin reloaded successfully"), 2);
  EXPECT_EQ(Call("Schema", "Code"), nullptr);
  ovtest::WriteText(plugin_dir + "/reloadable.so", "broken");
  EXPECT_NE(mgr->ReloadPlugin("Schema").find("Failed to load plugin library"), std::string::npos);
  EXPECT_EQ(mgr->ReloadPlugin("Nope"), "Plugin not found: Nope");
  EXPECT_TRUE(log.Has("warning ReloadPlugin: plugin not found: Nope"));
}

TEST_F(PluginServerManagerTest, ScanPicksUpNewAndReinstalledLibraries) {
  Start();
  Install("dep_b");
  Install("dep_a");
  EXPECT_EQ(mgr->ScanNewPlugins(), 2);
  EXPECT_TRUE(log.Has("New plugin initialized: DepA"));
  EXPECT_TRUE(log.Has("New plugin initialized: DepB"));
  EXPECT_EQ(mgr->ScanNewPlugins(), 0);
  EXPECT_EQ(mgr->UnloadPlugin("DepB"), "");
  Install("dep_b");  // reinstalled: the same path, loaded once already
  EXPECT_EQ(mgr->ScanNewPlugins(), 1);
  EXPECT_TRUE(log.Has("info Plugin scan complete: 1 new plugin(s) found"));
  EXPECT_EQ(mgr->GetPluginCount(), 2);
}

// Schema creation, migration and pre-versioned tables, on each database.
class PluginSchemaTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!ovtest::WriteDatabaseConfig(GetParam(), dir / "o.ini")) GTEST_SKIP() << "no " << GetParam() << " test server";
    Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
    DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db"));
    std::filesystem::create_directories(plugin_dir);
  }
  void TearDown() override {
    DB.Free();
    Config.Free();
  }
  void StartWith(const char* lib) {
    ovtest::InstallPlugin(plugin_dir, lib, "schema");
    TOVPluginManager mgr(plugin_dir, std::chrono::system_clock::now());
    mgr.ScanPlugins();
    mgr.InitializeAll();
  }
  std::int64_t StoredVersion() {
    auto q = DB->NewReadQuery();
    q.SetSQL("SELECT schema_version FROM plugin_state WHERE plugin_name = 'Schema'");
    q.Open();
    return q.Eof() ? -1 : q.Field(0).AsInt64();
  }
  bool HasNoteColumn() {
    auto db = DB.Get();
    TOVDBLockGuard g(*db);
    return FindLiveColumn(db->Dialect()->GetColumns("p_schema_items"), "note") != nullptr;
  }

  ovtest::TempDir dir;
  ovtest::LogCapture log;
  std::string plugin_dir = dir / "plugins";
};

TEST_P(PluginSchemaTest, CreatedMigratedAndPreVersioned) {
  StartWith("schema_v1");
  EXPECT_TRUE(log.Has("info Plugin Schema schema created (v1)"));
  EXPECT_EQ(StoredVersion(), 1);
  EXPECT_FALSE(HasNoteColumn());
  StartWith("schema_v2");
  EXPECT_TRUE(log.Has("info Plugin Schema schema migration: v1 -> v2"));
  EXPECT_EQ(StoredVersion(), 2);
  EXPECT_TRUE(HasNoteColumn());
  StartWith("schema_v2");
  EXPECT_EQ(log.Count("MigrateSchema from"), 1) << "nothing more to do at v2";

  // Tables from before the plug-in had a schema version: migrated from v1, not created again.
  DB->ExecSQL("DELETE FROM plugin_state");
  log.Clear();
  StartWith("schema_v2");
  EXPECT_TRUE(log.Has("info Plugin Schema: pre-versioning upgrade v1 -> v2"));
  EXPECT_TRUE(log.Has("[plugin:Schema] MigrateSchema from 1"));
  EXPECT_FALSE(log.Has("CreateSchema"));
  EXPECT_FALSE(log.Has("schema init/migration failed"));
  EXPECT_EQ(StoredVersion(), 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, PluginSchemaTest, ::testing::Values("sqlite3", "postgresql", "mariadb"));
