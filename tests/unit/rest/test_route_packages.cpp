// The update and package routes where the running server cannot go: without the update checker
// or the installer (both required services), and uploads the HTTP front end never hands over.
// The end-to-end tests cover the routes in the server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ov_auth.h"
#include "ov_plugin_installer.h"
#include "ov_route_api.h"
#include "ov_router.h"
#include "route_test_util.h"
#include "test_util.h"

using namespace ov;

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
