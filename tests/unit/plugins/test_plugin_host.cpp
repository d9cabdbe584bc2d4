// The host as a plug-in sees it: through its C table where strings, records and errors cross.
#include <gtest/gtest.h>

#include <future>

#include "ov_plugin_host.h"
#include "ov_plugin_sdk.h"
#include "plugin_test_env.h"

using namespace ov;

namespace {

class PluginHostTest : public ovtest::PluginTest {
 protected:
  // A host for "Door-Games" holding the grants.
  IOVPluginHost* MakeHost(TOVPermissionSet granted) {
    host = std::make_unique<TOVPluginHost>("Door-Games", granted, nullptr, std::chrono::system_clock::now());
    host->SetGrantedPermissions(granted);
    return host->Intf();
  }
  void AddStateRow(const std::string& config_json) {
    ovtest::RawExec(file, "INSERT INTO plugin_state (plugin_name, config_json) VALUES ('Door-Games', '" + config_json + "')");
  }
  std::unique_ptr<TOVPluginHost> host;
};

// A string argument as a plug-in passes it.
struct Arg : TOVStrRef {
  explicit Arg(std::string_view s) : TOVStrRef(s) {}
  operator OVStr() const { return get(); }
};

}  // namespace

TEST_F(PluginHostTest, PermissionGateAndLogging) {
  IOVPluginHost* h = MakeHost({});
  try {
    AdoptOVJson(h->vtbl->DBQuery(h, Arg("SELECT 1")));
    FAIL() << "no permission, no query";
  } catch (const EOVPluginError& e) {
    EXPECT_STREQ(e.what(), "Plugin \"Door-Games\" denied permission: database.read");
  }
  h = MakeHost({opDatabaseRead});
  EXPECT_TRUE(h->vtbl->HasPermission(h, opDatabaseRead));
  EXPECT_FALSE(h->vtbl->HasPermission(h, opDatabaseWrite));
  EXPECT_FALSE(h->vtbl->HasPermission(h, 99));
  EXPECT_EQ(h->vtbl->GetCurrentPermissions(h), 1u << opDatabaseRead);

  h->vtbl->LogInfo(h, Arg("hello"));
  h->vtbl->LogWarning(h, Arg("careful"));
  h->vtbl->LogDebug(h, nullptr);
  h->vtbl->SystemLog(h, Arg("WARN"), Arg("cat"), Arg("sys"));
  h->vtbl->SystemLogEx(h, Arg("bogus"), Arg("cat"), Arg("other"), Arg("details"));
  for (const char* line : {"info [plugin:Door-Games] hello", "warning [plugin:Door-Games] careful",
                           "debug [plugin:Door-Games] ", "warning [plugin:Door-Games] [cat] sys",
                           "info [plugin:Door-Games] [cat] other"})
    EXPECT_TRUE(log.Has(line)) << line;
  // Warnings and errors are also stored directly, once more.
  EXPECT_EQ(Sql("SELECT level || '|' || category || '|' || message FROM system_logs WHERE source = 'plugin:Door-Games'"),
            "warning|general|careful");

  OVStr version = NewOVStr("old");
  OVStr keep = ovstr_addref(version);
  h->vtbl->GetServerVersion(h, &version);
  EXPECT_EQ(OVStrView(version), "0.5.33");
  EXPECT_EQ(OVSTR_HEADER(keep)->refcount, 1) << "the old value was released";
  ovstr_release(keep);
  ovstr_release(version);
}

TEST_F(PluginHostTest, RawSqlStaysOffTheCoreTables) {
  IOVPluginHost* h = MakeHost({opDatabaseRead, opDatabaseWrite, opDatabaseCreateTables});
  const struct {
    const char* sql;
    bool allowed;
  } cases[] = {
      {"SELECT * FROM users", false},          {"UPDATE  users SET is_admin = 1", false},
      {"select 1 from users_archive", false},  {"INSERT INTO plugin_state VALUES (1)", false},
      {"SELECT * FROM p_door_games_t", true},  {"SELECT * FROM \"users\"", true},  // quoted: not recognised
  };
  for (const auto& c : cases) {
    if (c.allowed)
      EXPECT_EQ(host->PrefixTable(c.sql), c.sql);
    else
      EXPECT_THROW(host->PrefixTable(c.sql), EOVPluginError) << c.sql;
  }
  auto rows = AdoptOVJson(h->vtbl->DBQuery(h, Arg("SELECT * FROM users")));
  EXPECT_EQ(*rows, TJSON::array());
  EXPECT_TRUE(log.Has("DBQuery failed: Plugin \"Door-Games\" cannot access core table \"users\". Use prefixed tables "
                      "(p_door_games_*) instead."));
  EXPECT_FALSE(h->vtbl->DBExec(h, Arg("DELETE FROM users")));

  EXPECT_THROW(h->vtbl->DBCreateTable(h, Arg("CREATE TABLE other (a INT)")), EOVPluginError);
  h->vtbl->DBCreateTable(h, Arg("CREATE TABLE p_door_games_t (a BIGINT, b TEXT, c BIGINT, d BIGINT, e TEXT)"));
  // Numbers bind as 64-bit integers (fractions truncated); a "?" inside quotes stays text.
  auto params = TJSON::parse(R"([5000000000, "x", 3.7, -3.7])");
  EXPECT_TRUE(h->vtbl->DBExecParams(
      h, Arg("INSERT INTO p_door_games_t (a, b, c, d, e) VALUES (?, ?, ?, ? /* ? */, 'why?')"), BorrowOVJson(&params)));
  EXPECT_EQ(Sql("SELECT a || '|' || b || '|' || c || '|' || d || '|' || e FROM p_door_games_t"), "5000000000|x|3|-3|why?");
  rows = AdoptOVJson(h->vtbl->DBQuery(h, Arg("SELECT a, b FROM p_door_games_t")));
  EXPECT_EQ(*rows, TJSON::parse(R"([{"a": 5000000000, "b": "x"}])"));
  EXPECT_FALSE(h->vtbl->DBExecParams(h, Arg("INSERT INTO p_door_games_nope VALUES (?)"), nullptr));
  EXPECT_TRUE(log.Has("DBExecParams failed: "));
}

TEST_F(PluginHostTest, DeclaredTablesAndStoreNeedThePrefix) {
  MakeHost({opDatabaseRead, opDatabaseWrite, opDatabaseCreateTables});
  TDBATableSpec spec;
  spec.Name = "P_Door_Games_Stats";  // the prefix compares ignoring case
  spec.Columns = {MakeColumn("id", dctBigInt, 0, false, {}, true, false, true), MakeColumn("name", dctText)};
  EXPECT_TRUE(host->DeclareTable(spec));
  spec.Name = "door_games_stats";
  try {
    host->DeclareTable(spec);
    FAIL();
  } catch (const EOVPluginError& e) {
    EXPECT_STREQ(e.what(), "Plugin \"Door-Games\" table \"door_games_stats\" must be prefixed with \"p_door_games_\"");
  }
  EXPECT_THROW(host->StoreInsert("users", TJSON::parse(R"({"username": "x"})")), EOVPluginError);
  const std::string t = "p_door_games_stats";
  EXPECT_EQ(host->StoreInsert(t, TJSON::parse(R"({"name": "a"})")), 1);
  EXPECT_EQ(host->StoreInsert(t, TJSON::parse(R"({"name": "b"})")), 2);
  host->StoreUpsert(t, TJSON::parse(R"({"id": 1, "name": "A"})"), {"id"});
  auto b = CmpStr("name", dcoEq, "b");
  EXPECT_EQ(host->StoreUpdate(t, b.get(), TJSON::parse(R"({"name": "B"})")), 1) << "the rows matched";
  TDBASelectSpec sel;
  sel.Table = t;
  sel.OrderBy = {MakeOrder("id", dodDesc)};
  EXPECT_EQ(host->StoreSelect(sel), TJSON::parse(R"([{"id": 2, "name": "B"}, {"id": 1, "name": "A"}])"));
  auto one = CmpInt("id", dcoEq, 1);
  EXPECT_EQ(host->StoreDelete(t, one.get()), 1);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM p_door_games_stats"), "1");
  host->SetGrantedPermissions({opDatabaseRead});
  EXPECT_THROW(host->StoreDelete(t, nullptr), EOVPluginError);
}

TEST_F(PluginHostTest, StoredConfiguration) {
  IOVPluginHost* h = MakeHost({opConfigRead, opConfigWrite});
  OVStr value = nullptr;
  h->vtbl->ConfigGet(h, &value, Arg("k"), Arg("dflt"));
  EXPECT_EQ(OVStrView(value), "dflt");
  host->ConfigSet("k", "v");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM plugin_state"), "0") << "no row: nothing stored";
  EXPECT_EQ(host->ConfigGetSection("any"), TJSON::object());

  AddStateRow(R"({"_granted_permissions": ["config.read"], "k": 1, "z": 2})");
  host->ConfigSet("k", "v");
  EXPECT_EQ(TJSON::parse(Sql("SELECT config_json FROM plugin_state")),
            TJSON::parse(R"({"_granted_permissions": ["config.read"], "z": 2, "k": "v"})"));
  h->vtbl->ConfigGet(h, &value, Arg("k"), Arg("dflt"));
  EXPECT_EQ(OVStrView(value), "v");
  h->vtbl->ConfigGet(h, &value, Arg("z"), Arg("dflt"));
  EXPECT_EQ(OVStrView(value), "dflt") << "a member that is not a string reads as the default";
  auto section = AdoptOVJson(h->vtbl->ConfigGetSection(h, Arg("ignored")));
  EXPECT_EQ(section->size(), 3u);

  ovtest::RawExec(file, "UPDATE plugin_state SET config_json = '{broken'");
  EXPECT_THROW(h->vtbl->ConfigGet(h, &value, Arg("k"), Arg("dflt")), EOVPluginError);
  EXPECT_EQ(host->ConfigGetSection("x"), TJSON::object());
  EXPECT_TRUE(log.Has("error [plugin:Door-Games] ConfigGetSection parse error"));
  host->ConfigSet("k", "fresh");  // an unreadable configuration is replaced
  EXPECT_EQ(Sql("SELECT config_json FROM plugin_state"), R"({ "k" : "fresh" })");
  ovstr_release(value);
}

namespace {

// The test is the plug-in "Door-Games" holding plugin.call, and PluginMgr the server's manager.
class PluginServiceProxyTest : public PluginHostTest {
 protected:
  void TearDown() override {
    PluginMgr.Free();
    PluginHostTest::TearDown();
  }
  static std::unique_ptr<TJSON> CallVia(IOVServicePlugin* s, const char* fn, const TJSON& args = TJSON::object()) {
    return AdoptOVJson(s->vtbl->CallFunction(s, Arg(fn), BorrowOVJson(&args)));
  }
  static std::string NameVia(IOVPlugin* p) {
    TOVStrRef name;
    p->vtbl->GetName(p, name.out());
    return std::string(name.str());
  }
};

}  // namespace

// Another plug-in as PluginGetService hands it out: a proxy that enters the plug-in's current
// instance under its guard on every call, and raises the host's error once it is gone.
TEST_F(PluginServiceProxyTest, ProxiesEnterTheCurrentPluginAndNeverDangle) {
  Install("sample_cpp");
  PluginMgr.Publish(std::make_unique<TOVPluginManager>(plugin_dir, std::chrono::system_clock::now()));
  PluginMgr->ScanPlugins();
  PluginMgr->InitializeAll();
  ASSERT_EQ(PluginMgr->EnablePlugin("SampleCpp"), "");
  IOVPluginHost* h = MakeHost({opPluginCall});
  EXPECT_EQ(h->vtbl->PluginGetService(h, Arg("Nope")), nullptr);
  IOVPlugin* other = h->vtbl->PluginGetService(h, Arg("samplecpp"));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(h->vtbl->PluginGetService(h, Arg("SampleCpp")), other) << "one proxy per name";
  EXPECT_NE(other, PluginMgr->GetPluginService("SampleCpp")) << "never the plug-in's own object";

  // Information and services pass through; the server's own hooks and life-cycle calls do not.
  EXPECT_EQ(NameVia(other), "SampleCpp");
  EXPECT_EQ(other->vtbl->GetCapabilities(other), OV_BIT(OV_CAP_SERVICE) | OV_BIT(OV_CAP_SCHEDULED));
  IOVServicePlugin* svc = other->vtbl->GetServicePlugin(other);
  ASSERT_NE(svc, nullptr);
  EXPECT_EQ(*CallVia(svc, "Echo", {{"n", 1}}), (TJSON{{"n", 1}}));
  EXPECT_EQ(CallVia(svc, "NoSuchFunction"), nullptr);
  IOVScheduledPlugin* sched = other->vtbl->GetScheduledPlugin(other);
  ASSERT_NE(sched, nullptr);
  EXPECT_EQ((*AdoptOVJson(sched->vtbl->GetScheduledTasks(sched)))[0]["name"], "tick");
  EXPECT_EQ(other->vtbl->GetRoutePlugin(other), nullptr);
  EXPECT_EQ(other->vtbl->GetDatabasePlugin(other), nullptr);
  EXPECT_THROW(other->vtbl->Initialize(other, h), EOVPluginError);
  EXPECT_THROW(other->vtbl->Finalize(other), EOVPluginError);
  EXPECT_FALSE(log.Has("[plugin:SampleCpp] Finalize called"));
  try {
    CallVia(svc, "ThrowStd");
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "service failed");
  }
  EXPECT_EQ(PluginMgr->GetPluginActiveCallCount("SampleCpp"), 0);

  // A call running through the proxy is a running call of the plug-in: the unload waits for it.
  auto slow = std::async(std::launch::async, [&] { return CallVia(svc, "Sleep", {{"ms", 300}}); });
  ASSERT_TRUE(Eventually([] { return PluginMgr->GetPluginActiveCallCount("SampleCpp") == 1; }));
  auto unload = std::async(std::launch::async, [] { return PluginMgr->UnloadPlugin("SampleCpp"); });
  EXPECT_EQ((*slow.get())["slept"], 300);
  EXPECT_EQ(unload.get(), "");
  EXPECT_LT(log.IndexOf("[plugin:SampleCpp] slept 300"), log.IndexOf("[plugin:SampleCpp] Finalize called"));

  // Gone: the host's error from every slot, never the freed object.
  for (const auto& call : std::vector<std::function<void()>>{[&] { NameVia(other); }, [&] { CallVia(svc, "Echo"); },
                                                             [&] { sched->vtbl->RunTask(sched, Arg("tick")); }}) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EOVPluginError& e) {
      EXPECT_STREQ(e.what(), "Plugin \"samplecpp\" is not available");
    }
  }
  // Loaded again, and reloaded: the same proxies reach each new instance.
  EXPECT_EQ(PluginMgr->ScanNewPlugins(), 1);
  ASSERT_EQ(PluginMgr->EnablePlugin("SampleCpp"), "");
  EXPECT_EQ(*CallVia(svc, "Echo", {{"n", 2}}), (TJSON{{"n", 2}}));
  ASSERT_EQ(PluginMgr->ReloadPlugin("SampleCpp"), "");
  EXPECT_EQ(*CallVia(svc, "Echo", {{"n", 3}}), (TJSON{{"n", 3}}));
  sched->vtbl->RunTask(sched, Arg("t1"));
  EXPECT_TRUE(log.Has("[plugin:SampleCpp] task t1 ran"));
}
