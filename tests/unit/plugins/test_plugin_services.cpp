// Plug-in routes, events and batches with the real services behind the host: the route registry
// in a router of its own, the event bus and the session manager, under load and under the
// lock-order checks of the debug and sanitizer builds.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "ov_admin_registry.h"
#include "ov_auth.h"
#include "ov_plugin_routes.h"
#include "ov_router.h"
#include "ov_session_manager.h"
#include "plugin_test_env.h"
#include "route_test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

class PluginServicesTest : public ovtest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    EventBus.Publish(std::make_unique<TOVEventBus>());
    SessionMgr.Publish(std::make_unique<TOVSessionManager>(4));
    AdminMenu.Publish(std::make_unique<TOVAdminMenuList>());
    AdminPages.Publish(std::make_unique<TOVAdminPageList>());
    // "/none" of RouteC stands for a route of the server's own.
    PluginRoutes.Publish(std::make_unique<TOVPluginRouteRegistry>(
        router, [](const std::string&, const std::string& path) { return path == "/api/v1/plugins/RouteC/none"; }));
    TOVAuth::Init("services-secret", 3600);
    token = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
    Install("svc_cpp");
    Start();
    EXPECT_EQ(mgr->EnablePlugin("SvcCpp"), "");
  }
  void TearDown() override {
    mgr.reset();
    PluginRoutes.Free();
    AdminPages.Free();
    AdminMenu.Free();
    SessionMgr.Free();
    EventBus.Free();
    PluginTest::TearDown();
  }
  int Get(const std::string& path) {
    TOVHttpRequest req = ovtest::ApiRequest("GET", path);
    req.headers.emplace("Authorization", token);
    return ovtest::Route(router, req).status;
  }
  std::int64_t Rows() { return std::stoll(Sql("SELECT COUNT(*) FROM p_svccpp_items")); }

  TOVRouter router;
  std::string token;
};

}  // namespace

// The twin of the end-to-end load test: routes and service calls on eight threads while another
// disables, enables and reloads the plug-in (its library replaced in between).  Every answer is
// one of a plug-in that is there or away; nothing is used after it is freed.
TEST_F(PluginServicesTest, RoutesAndCallsWhileDisabledEnabledAndReloaded) {
  mgr->SetUnloadWait(2000ms);
  std::atomic<bool> stop{false};
  std::mutex seen_lock;
  std::set<int> statuses;
  std::atomic<int> ok_calls{0};
  std::vector<std::thread> callers;
  for (int n = 0; n < 8; ++n)
    callers.emplace_back([&, n] {
      while (!stop.load()) {
        const int status = Get("/api/v1/plugins/SvcCpp/echo");
        {
          std::lock_guard<std::mutex> g(seen_lock);
          statuses.insert(status);
        }
        TJSON args = {{"n", n}};
        if (auto r = mgr->CallPluginFunction("SvcCpp", "Echo", &args)) {
          EXPECT_EQ(*r, args);
          ++ok_calls;
        }
      }
    });
  int reloads = 0;
  for (auto until = std::chrono::steady_clock::now() + 1500ms; std::chrono::steady_clock::now() < until;) {
    mgr->DisablePlugin("SvcCpp");
    EXPECT_EQ(mgr->EnablePlugin("SvcCpp"), "");
    Install(reloads % 2 ? "svc_cpp" : "svc_cpp2", "svc_cpp");
    EXPECT_EQ(mgr->ReloadPlugin("SvcCpp"), "");
    ++reloads;
  }
  stop = true;
  for (auto& t : callers) t.join();
  for (int status : statuses) EXPECT_TRUE(status == 200 || status == 503) << status;
  EXPECT_TRUE(statuses.count(200));
  EXPECT_GT(ok_calls.load(), 0);
  // Still one route per method and path, and the last build's code runs.
  EXPECT_EQ(PluginRoutes->Count(), 4u);
  EXPECT_EQ(*mgr->CallPluginFunction("SvcCpp", "Code", nullptr), (TJSON{{"code", reloads % 2 ? 2 : 1}}));
}

// A batch holds the write lock across the plug-in's code: events and sessions work inside it,
// while other threads change sessions (their order is write lock, then the manager's lock).  A
// batch a plug-in leaves open is rolled back when its call ends.
TEST_F(PluginServicesTest, BatchesWithEventsAndSessions) {
  const std::int64_t session = SessionMgr->AddSession(2, "telnet", "10.0.0.2");
  std::atomic<bool> stop{false};
  std::thread other([&] {
    while (!stop.load()) SessionMgr->UpdateSession(session, 0, "someone");
  });
  for (int i = 0; i < 20; ++i) {
    TJSON args = {{"name", "gone"}, {"rollback", 1}};
    EXPECT_EQ(*mgr->CallPluginFunction("SvcCpp", "Batch", &args), (TJSON{{"sessions", 1}}));
  }
  stop = true;
  other.join();
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(*mgr->CallPluginFunction("SvcCpp", "Counts", nullptr), (TJSON{{"rows", 0}, {"inside", 20}}));

  TJSON kept = {{"name", "kept"}, {"release", 2}};
  mgr->CallPluginFunction("SvcCpp", "Batch", &kept);
  EXPECT_EQ(Rows(), 1);
  EXPECT_EQ(SessionMgr->GetSessionCount(), 0u);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM active_sessions"), "0");

  TJSON open = {{"name", "open"}};
  mgr->CallPluginFunction("SvcCpp", "BatchOpen", &open);
  EXPECT_TRUE(log.Has("error [plugin:SvcCpp] Database batch left open by the plug-in; rolled back"));
  EXPECT_EQ(Rows(), 1);
  // The write lock is free again for every other thread.
  auto writer = std::async(std::launch::async, [] { DB->ExecSQL("INSERT INTO p_svccpp_items (name) VALUES ('x')"); });
  EXPECT_EQ(writer.wait_for(5s), std::future_status::ready);
  writer.get();
}

// A route's path must keep it under the plug-in's own prefix (refused with a warning), and a
// handler must be there; a host without a runtime (no plug-in manager behind it) still registers
// and runs its routes.
TEST_F(PluginServicesTest, RoutePathsStayUnderThePluginsPrefix) {
  TOVPluginHost host("Shop", TOVPermissionSet{opRoutesRegister}, nullptr, std::chrono::system_clock::now());
  host.SetGrantedPermissions(TOVPermissionSet{opRoutesRegister});
  OVRouteHandlerCode code = [](void*, OVStr, OVStr, OVJson*, int32_t* c, OVJson**) { *c = 204; };
  host.RouteRegister("GET", "Cpp/echo", code, nullptr);
  EXPECT_TRUE(log.Has("warning [plugin:Shop] Route refused: GET Cpp/echo (the path must begin with \"/\")"));
  EXPECT_EQ(Get("/api/v1/plugins/ShopCpp/echo"), 404);
  EXPECT_THROW(host.RouteRegister("GET", "/x", nullptr, nullptr), EOVPluginError);
  host.RouteRegister("get", "/x", code, nullptr);
  EXPECT_EQ(Get("/api/v1/plugins/Shop/x"), 204);
}

// Routes the registry refuses cost the plug-in those routes only: they are left out with a
// warning, the others serve, and only other failures of RegisterRoutes fail the enable.
TEST_F(PluginServicesTest, RefusedRoutesCostThePluginThoseRoutesOnly) {
  Install("route_c");
  ASSERT_EQ(mgr->ScanNewPlugins(), 1);
  ASSERT_EQ(mgr->EnablePlugin("RouteC"), "");
  for (const char* line : {"warning [plugin:RouteC] Route refused: GET stats (the path must begin with \"/\")",
                           "warning [plugin:RouteC] Route refused: GET /none (/api/v1/plugins/RouteC/none would take "
                           "a route of the server)",
                           "info Plugin enabled: RouteC"})
    EXPECT_TRUE(log.Has(line)) << line;
  EXPECT_EQ(Get("/api/v1/plugins/RouteC/echo"), 200) << "registered after the refused one";
  EXPECT_EQ(Get("/api/v1/plugins/RouteCstats"), 404);
  EXPECT_EQ(PluginRoutes->Count(), 4u + 2u) << "SvcCpp's and RouteC's";
  EXPECT_EQ(AdminMenu->GetItems().size(), 1u) << "the admin side effects follow the routes";

  // Any other failure of RegisterRoutes still fails the enable, and leaves nothing behind.
  mgr->DisablePlugin("RouteC");
  mgr->ApprovePermissions("RouteC", {opAdminMenu, opEventsSubscribe});
  try {
    mgr->EnablePlugin("RouteC");
    ADD_FAILURE() << "enabled without routes.register";
  } catch (const EOVPluginError& e) {
    EXPECT_STREQ(e.what(), "Plugin \"RouteC\" denied permission: routes.register");
  }
  EXPECT_FALSE(mgr->GetPluginJSON()[1]["is_enabled"]);
  EXPECT_EQ(Get("/api/v1/plugins/RouteC/echo"), 503);
  EXPECT_EQ(AdminMenu->GetItems().size(), 0u);
}

// A registry that knows the server's own routes refuses a plug-in route that would take one.
TEST(PluginRouteRegistry, RefusesTheServersRoutes) {
  TOVRouter router;
  TOVPluginRouteRegistry routes(router, [](const std::string& method, const std::string& path) {
    return method == "GET" && path == "/api/v1/plugins/db/";
  });
  auto handler = std::make_shared<const TOVPluginRouteHandler>();
  EXPECT_EQ(routes.RegisterRoute("db", "get", "/", handler), "/api/v1/plugins/db/ would take a route of the server");
  EXPECT_EQ(routes.RegisterRoute("db", "POST", "/", handler), "");
  EXPECT_EQ(routes.Count(), 1u);
}

// The name segment of a plug-in route compares as plug-in names do, under Unicode case folding;
// the server's segments before it and the plug-in's path after it compare ignoring ASCII case.
TEST(PluginRouteRegistry, NameSegmentFoldsUnicodeCaseTheRestAsciiOnly) {
  TOVRouter router;
  TOVPluginRouteRegistry routes(router);
  auto handler = std::make_shared<const TOVPluginRouteHandler>();
  ASSERT_EQ(routes.RegisterRoute("Héllo", "GET", "/ping", handler), "");
  ASSERT_EQ(routes.RegisterRoute("Ωmega", "GET", "/café", handler), "");
  for (const auto& [path, found] : std::vector<std::pair<std::string, bool>>{
           {"/api/v1/plugins/Héllo/ping", true},
           {"/api/v1/plugins/HÉllo/ping", true},
           {"/API/v1/plugins/HéLLO/PING/", true},
           {"/api/v1/plugins/ωmega/café", true},
           {"/api/v1/plugins/ΩMEGA/CAFé", true},
           {"/api/v1/plugins/Hèllo/ping", false},   // another name
           {"/api/v1/plugins/Hello/ping", false},   // another name
           {"/api/v1/pluginſ/Héllo/ping", false},   // long s folds to "s", but not here
           {"/api/v1/plugins/Ωmega/CAFÉ", false}})  // nor in the plug-in's own path
    EXPECT_EQ(router.Match("GET", path).status, found ? TOVRouteMatch::Found : TOVRouteMatch::NotFound) << path;
}
