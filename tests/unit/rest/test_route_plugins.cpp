// The plug-in and restart endpoints where the end-to-end tests cannot time it: a reload refused
// by a call that began after the busy check, and the count of active BBS sessions.
#include <gtest/gtest.h>

#include "ov_plugin_manager.h"
#include "ov_route_plugins.h"
#include "ov_route_restart.h"
#include "plugin_test_env.h"
#include "route_test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

class RoutePluginsTest : public ovtest::PluginTest {
 protected:
  void TearDown() override {
    PluginMgr.Free();
    PluginTest::TearDown();
  }
  ovtest::Answer Call(void (*handler)(TOVApiRequest&), const std::string& body) {
    TOVHttpRequest req = ovtest::ApiRequest("POST", "/api/v1/plugins/x", body);
    TOVHttpResponse resp;
    TOVApiRequest c{req, resp, {}, nullptr};
    c.user.Username = "sysop";
    handler(c);
    ovtest::Answer a{resp.status, resp.body, TJSON()};
    if (auto j = ParseJson(resp.body)) a.json = *j;
    return a;
  }
};

}  // namespace

// The busy guard counts service calls; a route or event running in the plug-in (or a call that
// began right after the check) still holds it, and the reload's bounded wait refuses: 409, and
// the plug-in stays enabled as it was.
TEST_F(RoutePluginsTest, ReloadRefusedByACallThatBeganAfterTheCheck) {
  Install("svc_cpp");
  Start();
  ASSERT_EQ(mgr->EnablePlugin("SvcCpp"), "");
  mgr->SetUnloadWait(100ms);
  PluginMgr.Publish(std::move(mgr));
  {
    std::optional<TOVPluginGuard> running = PluginMgr->EnterPlugin("SvcCpp");
    const ovtest::Answer a = Call(HandleReloadPlugin, R"({"name": "SvcCpp"})");
    EXPECT_EQ(a.status, 409);
    EXPECT_EQ(ovtest::ErrorMessage(a), "Plugin SvcCpp is busy: 1 call(s) still running after 100 ms");
    EXPECT_TRUE(log.Has("warning Reload blocked for SvcCpp: Plugin SvcCpp is busy"));
  }
  EXPECT_EQ(*PluginMgr->CallPluginFunction("SvcCpp", "Code", nullptr), (TJSON{{"code", 1}}));
  EXPECT_EQ(Call(HandleReloadPlugin, R"({"name": "SvcCpp"})").status, 200);
}

// Online nodes with a heartbeat in the last two minutes count; a failing count is 0.
TEST_F(RoutePluginsTest, ActiveBBSSessions) {
  EXPECT_EQ(GetActiveBBSSessions(), 0);
  ovtest::RawExec(file,
                  "INSERT INTO thin_client_nodes (client_name, last_heartbeat, status, active_nodes) VALUES "
                  "('a', datetime('now', '-30 seconds'), 'online', 2), ('b', datetime('now', '-10 seconds'), 'online', 1), "
                  "('c', datetime('now', '-3 minutes'), 'online', 5), ('d', datetime('now'), 'offline', 7)");
  EXPECT_EQ(GetActiveBBSSessions(), 3);
  ovtest::RawExec(file, "DROP TABLE thin_client_nodes");
  EXPECT_EQ(GetActiveBBSSessions(), 0);
}
