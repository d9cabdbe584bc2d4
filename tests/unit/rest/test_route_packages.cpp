// The update and package routes where the running server cannot go: without the update checker
// or the installer (both required services), uploads the HTTP front end never hands over, and a
// registry that hangs for longer than an end-to-end test waits.  The end-to-end tests cover the
// routes in the server.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "ov_auth.h"
#include "ov_config.h"
#include "ov_maintenance.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_updates.h"
#include "ov_route_api.h"
#include "ov_route_packages.h"
#include "ov_router.h"
#include "route_test_util.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

TEST(PackageRoutes, MissingServicesAndBrokenUploads) {
  TOVAuth::Init("pkg-secret", 3600);
  TOVRouter router;
  RegisterAPIRoutes(router, ApiRouteTable());
  const std::string admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  auto call = [&](const std::string& method, const std::string& path, TOVHttpRequest req = {}) {
    req.method = method;
    req.path = path;
    req.peer_address = "127.0.0.1";
    req.body = "{}";
    req.headers.emplace("Authorization", admin);
    return ovtest::Route(router, req);
  };
  for (const auto& [method, path, message] :
       {std::tuple{"GET", "/api/v1/plugins/updates", "Update checker not initialized"},
        {"POST", "/api/v1/plugins/updates/check", "Update checker not initialized"},
        {"POST", "/api/v1/plugins/install", "Plugin installer not initialized"},
        {"POST", "/api/v1/plugins/upload", "Plugin installer not initialized"},
        {"POST", "/api/v1/plugins/uninstall", "Plugin installer not initialized"}}) {
    const ovtest::Answer a = call(method, path);
    EXPECT_EQ(a.status, 503) << path;
    EXPECT_EQ(ovtest::ErrorMessage(a), message) << path;
  }
  EXPECT_EQ(call("GET", "/api/v1/plugins/updates/count").json["data"], TJSON({{"count", 0}}));

  ovtest::TempDir dir;
  PluginInstaller.Publish(std::make_unique<TOVPluginInstaller>(dir / "plugins", dir / "data"));
  TOVHttpRequest lost;
  lost.files.push_back({"file", "pkg.ovp", dir / "gone.tmp", 10});
  ovtest::Answer a = call("POST", "/api/v1/plugins/upload", lost);
  EXPECT_EQ(a.status, 400);
  EXPECT_EQ(ovtest::ErrorMessage(a), "Upload failed - no file data received");

  ovtest::WriteText(dir / "upload.tmp", "PK");
  std::filesystem::remove_all(dir / "data/staging");
  TOVHttpRequest unstaged;
  unstaged.files.push_back({"file", "pkg.ovp", dir / "upload.tmp", 2});
  a = call("POST", "/api/v1/plugins/upload", unstaged);
  EXPECT_EQ(a.status, 500);
  EXPECT_EQ(ovtest::ErrorMessage(a), "Failed to stage uploaded file: Cannot create a file in " + dir / "data/staging" +
                                         ": No such file or directory");
  const TOVInstallResult r = PluginInstaller->InstallFromFile(dir / "none.ovp");
  EXPECT_FALSE(r.Success);
  EXPECT_EQ(r.ErrorMessage, "ZIP file not found: " + dir / "none.ovp");
  PluginInstaller.Free();
}

namespace {
class RegistryCheckTest : public ovtest::SqliteDBTest {
 protected:
  void TearDown() override {
    UpdateChecker.Free();
    Config.Free();
    SqliteDBTest::TearDown();
  }
};
}  // namespace

// A registry that gives no list fails the check however it is asked for: the route answers 502
// and the scheduled task fails, both with the reason, and the update list stays as it was.  The
// checker is given a one-second I/O time-out (the server's is 15 s) for the registry that hangs
// and a two-second deadline (the server's is 30 s) for the one that sends a byte now and then,
// fast enough for the I/O time-out: both end within their bound.
TEST_F(RegistryCheckTest, NoListIsAnErrorAndChangesNothing) {
  ovtest::LoopbackHttp http;
  ovtest::RawExec(file, "INSERT INTO plugin_updates (plugin_name, installed_version, latest_version, has_update) "
                        "VALUES ('Kept', '1.0', '2.0', 1)");
  const std::string rows = "SELECT group_concat(plugin_name || latest_version) FROM plugin_updates";
  const std::string before = ovtest::RawText(file, rows);
  TOVHttpClientOptions quick = RegistryHttpOptions();
  quick.io_timeout = 1000ms;
  quick.total_timeout = 2000ms;
  struct Case {
    std::string registry;
    std::string reason;  // the message begins with it
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1:" + std::to_string(ovtest::ClosedLoopbackPort()), "Plugin registry unreachable: "},
      {http.Url("/hang"), "Plugin registry timed out: "},
      {http.Url("/trickle"), "Plugin registry timed out: Operation timed out after 2"},
      {http.Url("/status/503"), "Plugin registry reply is not JSON"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registry);
    ovtest::WriteText(dir / "o.ini", "[plugins]\nregistry_url=" + c.registry + "\n");
    Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
    UpdateChecker.Publish(std::make_unique<TOVPluginUpdateChecker>(quick));
    const auto started = std::chrono::steady_clock::now();

    // Both at once, as an administrator's request and the scheduler's run may come.
    auto asked = std::async(std::launch::async, [] {
      TOVHttpRequest req = ovtest::ApiRequest("POST", "/api/v1/plugins/updates/check");
      TOVHttpResponse resp;
      TOVApiRequest api{req, resp, {}, nullptr};
      HandlePluginUpdateCheck(api);
      return ovtest::Answer{resp.status, resp.body, ParseJson(resp.body).value_or(TJSON())};
    });
    auto scheduled = std::async(std::launch::async, [] {
      try {
        RunMaintenanceTask("plugin_update_check");
      } catch (const std::exception& e) {
        return std::string(e.what());
      }
      return std::string("<the task succeeded>");
    });
    const ovtest::Answer a = asked.get();
    EXPECT_EQ(a.status, 502);
    const std::string answered = ovtest::ErrorMessage(a);
    EXPECT_EQ(answered.rfind(c.reason, 0), 0u) << answered;
    const std::string failed = scheduled.get();
    EXPECT_EQ(failed.rfind(c.reason, 0), 0u) << failed;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(ovtest::RawText(file, rows), before);
    EXPECT_EQ(UpdateChecker->LastCheck().time_since_epoch().count(), 0);
    UpdateChecker.Free();
    Config.Free();
  }
}
