// The script package manager where the end-to-end tests do not reach: trees holding symbolic
// links deleted without following them, an upload and install while the system's temporary
// directory is unusable, the manifest's size and nesting limits, and the checks the script
// routes make before they call the manager.  The end-to-end tests cover the rest in the running server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ov_auth.h"
#include "ov_route_api.h"
#include "ov_route_scripts.h"
#include "ov_router.h"
#include "ov_script_manager.h"
#include "route_test_util.h"
#include "test_util.h"
#include "zip_test_util.h"

using namespace ov;
namespace fs = std::filesystem;

namespace {

std::string Manifest(const std::string& name, const std::string& type = "menu") {
  return R"({"name": ")" + name + R"(", "version": "1.0", "type": ")" + type + R"(", "entry": "main.lua"})";
}

// TMPDIR pointed at dir for the scope.
class TempDirVar {
 public:
  explicit TempDirVar(const std::string& dir) {
    if (const char* v = std::getenv("TMPDIR")) old_ = v, had_ = true;
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TempDirVar() { had_ ? ::setenv("TMPDIR", old_.c_str(), 1) : ::unsetenv("TMPDIR"); }

 private:
  std::string old_;
  bool had_ = false;
};

using ScriptManager = ovtest::SqliteDBTest;

}  // namespace

TEST_F(ScriptManager, DeleteDirectoryNeverFollowsLinks) {
  const std::string outside = dir / "outside", pkg = dir / "scripts/doors/pkg";
  ovtest::WriteText(outside + "/keep.txt", "keep");
  ovtest::WriteText(pkg + "/a/b/c.lua", "c");
  fs::create_directory_symlink(outside, pkg + "/to_dir");
  fs::create_directory_symlink(outside, pkg + "/a/b/deep_to_dir");
  fs::create_symlink(outside + "/keep.txt", pkg + "/to_file");
  fs::create_directory_symlink(outside, dir / "scripts/doors/alias");

  EXPECT_TRUE(TOVScriptManager::DeleteDirectory(pkg + "/"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(pkg)));
  EXPECT_TRUE(TOVScriptManager::DeleteDirectory(dir / "scripts/doors/alias"));  // the link, not its target
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "scripts/doors/alias")));
  EXPECT_EQ(ovtest::ReadText(outside + "/keep.txt"), "keep");
  EXPECT_TRUE(TOVScriptManager::DeleteDirectory(dir / "scripts/doors/never-there"));
  EXPECT_FALSE(TOVScriptManager::DeleteDirectory(dir / "scripts/.."));
}

TEST_F(ScriptManager, StagesInTheScriptsDirectoryAndLimitsTheManifest) {
  // The system's temporary directory may lie on another file system (a tmpfs /tmp, where the
  // unpacked package could not be renamed into place), or be missing or read-only: neither the
  // upload nor the install uses it.  /proc: a directory where nobody, root included, can create
  // anything.
  const TempDirVar tmp("/proc");
  TOVAuth::Init("script-secret", 3600);
  TOVRouter router;
  RegisterAPIRoutes(router, ApiRouteTable());
  ScriptMgr.Publish(std::make_unique<TOVScriptManager>(dir / "scripts"));
  struct FreeManager {
    ~FreeManager() { ScriptMgr.Free(); }
  } free_manager;
  const std::string zip = dir / "pkg.zip";
  ovtest::MakeZip(zip, {{"package.json", Manifest("Tmp1")}, {"main.lua", "-- main"}, {"lib/", ""},
                        {"lib/util.lua", "return 1"}});
  TOVHttpRequest req = ovtest::ApiRequest("POST", "/api/v1/scripts/install", ovtest::ReadText(zip));
  req.headers.emplace("Authorization", "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", ""));
  const ovtest::Answer a = ovtest::Route(router, req);
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(ovtest::ReadText(dir / "scripts/menus/tmp1/lib/util.lua"), "return 1");
  EXPECT_EQ(ScriptMgr->GetPackage("tmp1").value()["install_path"], dir / "scripts/menus/tmp1");

  // A manifest larger than any real one, and one nested past the parser's limit.
  const struct {
    std::string manifest;
    const char* error;
  } refused[] = {
      {Manifest("big") + std::string(1 << 20, ' '), "Invalid JSON: package.json is larger than 1 MiB"},
      {std::string(65, '[') + std::string(65, ']'), "Invalid JSON: nesting deeper than 64 levels"},
  };
  std::string error;
  for (const auto& r : refused) {
    ovtest::MakeZip(zip, {{"package.json", r.manifest}, {"main.lua", ""}});
    EXPECT_FALSE(ScriptMgr->Install(zip, error));
    EXPECT_EQ(error, r.error);
  }
  EXPECT_EQ(ScriptMgr->ListPackages().size(), 1u);
  ScriptMgr.Free();
  std::vector<std::string> top;  // nothing staged is left behind
  for (const auto& e : fs::directory_iterator(dir / "scripts")) top.push_back(e.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{"doors", "events", "menus", "scheduled"}));
}

TEST_F(ScriptManager, RoutesCheckTheManagerThenTheName) {
  TOVAuth::Init("script-secret", 3600);
  TOVRouter router;
  RegisterAPIRoutes(router, ApiRouteTable());
  const std::string admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  for (const auto& [method, path] : {std::pair{"GET", "/api/v1/scripts"},
                                     {"POST", "/api/v1/scripts/install"},
                                     {"DELETE", "/api/v1/scripts/x"},
                                     {"POST", "/api/v1/scripts/enable/x"},
                                     {"POST", "/api/v1/scripts/disable/x"},
                                     {"GET", "/api/v1/scripts/settings/x"},
                                     {"PUT", "/api/v1/scripts/settings/x"}}) {
    TOVHttpRequest req = ovtest::ApiRequest(method, path, "PK");
    req.headers.emplace("Authorization", admin);
    const ovtest::Answer a = ovtest::Route(router, req);
    EXPECT_EQ(a.status, 503) << path;
    EXPECT_EQ(ovtest::ErrorMessage(a), "Script manager not initialized") << path;
  }

  // An empty name never gets past the router; a handler reached without one refuses it.
  ScriptMgr.Publish(std::make_unique<TOVScriptManager>(dir / "scripts"));
  for (const TOVApiHandler handler : {HandleUninstallScript, HandleEnableScript, HandleGetScriptSettings}) {
    TOVHttpRequest req = ovtest::ApiRequest("POST", "/api/v1/scripts/enable/");
    TOVHttpResponse resp;
    TOVApiRequest c{req, resp, {}, nullptr};
    handler(c);
    EXPECT_EQ(resp.status, 400);
    EXPECT_NE(resp.body.find("Package name required"), std::string::npos) << resp.body;
  }
  ScriptMgr.Free();
}
