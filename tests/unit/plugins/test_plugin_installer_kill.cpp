// Installs that are all or nothing: a child process runs a real install and is killed with
// SIGKILL at each of its steps; what start-up runs then (the installer's recovery, the upload
// clean-up and a plug-in manager scan) must find the plug-in fully old or fully new.  And the
// packages an install refuses before it writes anything.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ov_multipart.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_manager.h"
#include "ov_server_state.h"
#include "plugin_test_env.h"
#include "test_util.h"
#include "zip_test_util.h"

using namespace ov;
namespace fs = std::filesystem;

namespace {

// Every file below dir with its text (a library by its digest), and every directory as
// "<path>/" with "" (hidden names included: a temporary left behind is a difference).
std::map<std::string, std::string> KillTree(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    if (e.is_directory())
      out[rel + "/"] = "";
    else if (rel.size() > 3 && rel.compare(rel.size() - 3, 3, ".so") == 0)
      out[rel] = "sha256 " + Sha256File(e.path().string());
    else
      out[rel] = ovtest::ReadText(e.path().string());
  }
  return out;
}

std::string KillManifest(const std::string& name, const std::string& version) {
  return R"({"name": ")" + name + R"(", "version": ")" + version + R"("})";
}

// PkgSample <version> with the library of <build> and web and lang files.
void KillPackage(const std::string& path, const std::string& version, const std::string& build,
                 const std::map<std::string, std::string>& extra) {
  std::vector<ovtest::ZipEntry> entries = {{"plugin.json", KillManifest("PkgSample", version)},
                                           {"libPkgSample.so", ovtest::ReadText(ovtest::TestPlugin(build))}};
  for (const auto& [name, data] : extra) entries.push_back({name, data});
  ovtest::MakeZip(path, entries);
}

// The loaded PkgSample's version and description, or nullopt.
std::optional<std::pair<std::string, std::string>> LoadedPkgSample(TOVPluginManager& m) {
  for (int i = 0; i < m.GetPluginCount(); ++i)
    if (const auto e = m.GetPluginIndex(i); e && e->Name == "PkgSample") return std::pair{e->Version, e->Description};
  return std::nullopt;
}

class InstallerKill : public ovtest::PluginTest {
 protected:
  // Runs InstallFromFile(package) in a child.  Each step it reaches is written to a pipe; at
  // stop_at the child waits to be killed (SIGKILL), otherwise it runs to its end.  Before the
  // install the child begins an upload into uploads, as a request in flight would.  Returns the
  // steps seen.
  std::vector<std::string> RunChild(const std::string& package, const std::string& stop_at) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      auto say = [&](std::string_view s) {
        const std::string line = std::string(s) + "\n";
        if (::write(fds[1], line.data(), line.size()) < 0) ::_exit(3);
      };
      TOVMultipartFormReader upload("b", uploads);
      const std::string head = "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.ovp\"\r\n\r\nPK";
      upload.Feed(head.data(), head.size());
      TOVPluginInstaller inst(plugin_dir, data_dir, [&](std::string_view step) {
        say(step);
        if (step == stop_at)
          for (;;) ::pause();
      });
      const TOVInstallResult r = inst.InstallFromFile(package);
      say(r.Success ? "end" : "failed: " + r.ErrorMessage);
      ::_exit(0);
    }
    ::close(fds[1]);
    std::vector<std::string> steps;
    std::string buf;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool stopped = false;
    while (!stopped && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      buf.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = buf.find('\n')) != std::string::npos; buf.erase(0, nl + 1)) {
        steps.push_back(buf.substr(0, nl));
        stopped = stopped || steps.back() == stop_at;
      }
    }
    if (!stop_at.empty()) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fds[0]);
    if (!stop_at.empty()) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "stopped at " << stop_at;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return steps;
  }

  // Empty plug-in, data and upload directories; with library, PkgSample 1.0.0 (build A)
  // installed with its library as <library>.so.
  void Reset(const std::string& library) {
    for (const std::string& d : {plugin_dir, data_dir, uploads}) {
      fs::remove_all(d);
      fs::create_directories(d);
    }
    if (library.empty()) return;
    Install("pkg_sample", library);
    ovtest::WriteText(plugin_dir + "/PkgSample/plugin.json", KillManifest("PkgSample", "1.0.0"));
    ovtest::WriteText(plugin_dir + "/PkgSample/web/app.js", "app 1");
    ovtest::WriteText(plugin_dir + "/PkgSample/web/old.js", "only in 1");
    ovtest::WriteText(plugin_dir + "/PkgSample/lang/en.json", "en 1");
  }

  std::string data_dir = dir / "data";
  std::string uploads = dir / "uploads";
};

}  // namespace

// Every step of a new install and of an update of a loaded plug-in, killed, then started again:
// before the library arrives the old state is back exactly (an update's files restored from
// its backup, a new install's files and directories gone); from then on the new version is
// whole.  Nothing is left in staging, no unfinished backup, no temporary, no upload file.  An
// update replaces the library the plug-in runs from, also when the package names it otherwise:
// a second library reporting the same plug-in would leave the choice to directory order.
TEST_F(InstallerKill, EveryStepLeavesTheOldOrTheNewVersionWhole) {
  const std::string package = dir / "pkg-2.0.0.ovp";
  KillPackage(package, "2.0.0", "pkg_sample_b",
              {{"web/app.js", "app 2"}, {"web/new.js", "only in 2"}, {"lang/en.json", "en 2"}, {"web/sub/x.js", "x"}});
  const std::string live_upload = uploads + "/ov-upload-" + std::to_string(::getppid()) + "-Abc123";

  struct Mode {
    const char* label;
    std::string installed;  // the library PkgSample runs from ("": not installed)
  };
  for (const Mode& mode : {Mode{"new install", ""}, Mode{"update", "libPkgSample"}, Mode{"update of custom.so", "custom"}}) {
    const bool update = !mode.installed.empty();
    const std::string library = (update ? mode.installed : "libPkgSample") + ".so";
    // An update replaces a loaded plug-in.
    auto prepare = [&] {
      Reset(mode.installed);
      if (!update) return;
      Start();
      ASSERT_EQ(LoadedPkgSample(*mgr)->second, "Package sample build A");
      PluginMgr.Publish(std::move(mgr));
    };
    Reset(mode.installed);
    const auto old_tree = KillTree(plugin_dir);
    // A run to the end gives the steps (web files in directory order) and the new tree.
    prepare();
    std::vector<std::string> steps = RunChild(package, "");
    PluginMgr.Free();
    ASSERT_EQ(steps.size(), 11u);
    ASSERT_EQ(steps.back(), "end");
    steps.pop_back();
    const auto new_tree = KillTree(plugin_dir);
    std::vector<std::string> libraries;
    for (const auto& [path, content] : new_tree)
      if (path.size() > 3 && path.compare(path.size() - 3, 3, ".so") == 0) libraries.push_back(path);
    EXPECT_EQ(libraries, std::vector<std::string>{library}) << mode.label;
    EXPECT_EQ(new_tree.at(library), "sha256 " + Sha256File(ovtest::TestPlugin("pkg_sample_b")));
    EXPECT_EQ(new_tree.at("PkgSample/web/app.js"), "app 2");
    EXPECT_EQ(new_tree.count("PkgSample/web/old.js"), update ? 1u : 0u);
    EXPECT_EQ(new_tree.count("PkgSample/web/sub/"), 0u);
    // Every other file before the library.
    std::vector<std::string> files(steps.begin() + 3, steps.end() - 3);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 3),
              (std::vector<std::string>{"staged", "backup", "journal"}));
    EXPECT_EQ(files, (std::vector<std::string>{"file PkgSample/lang/en.json", "file PkgSample/plugin.json",
                                               "file PkgSample/web/app.js", "file PkgSample/web/new.js"}));
    EXPECT_EQ(std::vector<std::string>(steps.end() - 3, steps.end()),
              (std::vector<std::string>{"ready", "committed", "finished"}));

    for (std::size_t k = 0; k < steps.size(); ++k) {
      const bool done = k >= steps.size() - 2;
      SCOPED_TRACE(std::string(mode.label) + ", killed at " + steps[k]);
      prepare();
      ovtest::WriteText(live_upload, "a live server's upload");
      const std::vector<std::string> seen = RunChild(package, steps[k]);
      PluginMgr.Free();
      ASSERT_FALSE(seen.empty());
      EXPECT_EQ(seen.back(), steps[k]);

      // What start-up runs.
      TOVPluginInstaller(plugin_dir, data_dir).RecoverInterruptedInstalls();
      EXPECT_EQ(RemoveStaleUploadFiles(uploads), 1);
      EXPECT_EQ(KillTree(uploads), (std::map<std::string, std::string>{{fs::path(live_upload).filename().string(),
                                                                         "a live server's upload"}}));
      EXPECT_EQ(KillTree(plugin_dir), done ? new_tree : old_tree);
      EXPECT_TRUE(fs::is_empty(data_dir + "/staging"));
      if (update) {
        std::error_code ec;
        for (const auto& b : fs::directory_iterator(data_dir + "/backups/PkgSample", ec))
          EXPECT_NE(b.path().filename().string().front(), '.') << b.path();
      }
      Start();
      const auto loaded = LoadedPkgSample(*mgr);
      if (!done && !update) {
        EXPECT_FALSE(loaded);
      } else {
        ASSERT_TRUE(loaded);
        using Loaded = std::pair<std::string, std::string>;
        const Loaded expected = done ? Loaded{"2.0.0", "Package sample build B"} : Loaded{"1.0.0", "Package sample build A"};
        EXPECT_EQ(*loaded, expected);
      }
      mgr.reset();
    }
  }
}

// A package that is not the plug-in asked for, or whose library belongs to another plug-in
// (loaded from it, or installed with a manifest naming it), is refused before anything is
// written; a new install whose copy fails half-way, or whose plug-in does not load once in
// place, takes back what it added.
TEST_F(InstallerKill, RefusedAndFailedInstallsWriteNothing) {
  Install("pkg_sample", "libPkgSample");
  Install("sample_c", "libcustom");
  ovtest::WriteText(plugin_dir + "/PkgSample/plugin.json", KillManifest("PkgSample", "1.0.0"));
  ovtest::WriteText(plugin_dir + "/Hand/plugin.json", R"({"name": "Hand", "version": "1", "files": {"binary": "hand.so"}})");
  ovtest::WriteText(plugin_dir + "/hand.so", "not loaded: plug-ins of this kind are off");
  Start();
  ASSERT_TRUE(mgr->IsPluginLoaded("SampleC"));
  PluginMgr.Publish(std::move(mgr));
  TOVPluginInstaller inst(plugin_dir, dir / "data");
  // Each package's library is the plug-in its manifest names (Hello, or PkgSample build B).
  const std::string lib = ovtest::ReadText(ovtest::TestPlugin("pkg_sample_b"));
  const std::string hello = ovtest::ReadText(ovtest::TestPlugin("pkg_hello"));
  int packages = 0;
  auto package = [&](const std::string& manifest, const std::string& library, std::vector<ovtest::ZipEntry> more = {}) {
    const std::string path = dir / ("pkg" + std::to_string(++packages) + ".ovp");
    more.push_back({"plugin.json", manifest});
    more.push_back({library, manifest.find("\"Hello\"") != std::string::npos ? hello : lib});
    ovtest::MakeZip(path, more);
    return path;
  };
  const std::string hello_as_pkg = R"({"name": "Hello", "version": "1", "binaries": {"linux-x86_64": "libPkgSample.so"}})";
  struct Case {
    std::string package;
    std::string expected_name;
    std::string error;
  };
  const std::vector<Case> cases = {
      {package(KillManifest("Hello", "1"), "libHello.so"), "Wanted",
       "Package contains plugin Hello, not the requested Wanted"},
      {package(hello_as_pkg, "libPkgSample.so"), "",
       "Package for Hello would replace libPkgSample.so, which belongs to plugin PkgSample"},
      {package(R"({"name": "Hello", "version": "1", "files": {"binary": "libcustom.so"}})", "libcustom.so"), "hello",
       "Package for Hello would replace libcustom.so, which belongs to plugin SampleC"},
      {package(R"({"name": "Hello", "version": "1", "files": {"binary": "hand.so"}})", "hand.so"), "",
       "Package for Hello would replace hand.so, which belongs to plugin Hand"},
      // The library the manifest names is missing; the one found instead belongs to SampleC.
      {package(KillManifest("Hello", "1"), "libcustom.so"), "",
       "Package for Hello would replace libcustom.so, which belongs to plugin SampleC"},
      // A directory stands where a web file goes: what was written before comes out again.
      {package(KillManifest("Hello", "1"), "libHello.so", {{"web/a.js", "a"}, {"web/b.js", "b"}}), "",
       "Failed to install files: Unable to replace " + plugin_dir + "/Hello/web/"},
  };
  fs::create_directories(plugin_dir + "/Hello/web/a.js/in-the-way");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    const auto before = KillTree(plugin_dir);
    const TOVInstallResult r = inst.InstallFromFile(c.package, c.expected_name);
    EXPECT_FALSE(r.Success);
    EXPECT_EQ(r.ErrorMessage.rfind(c.error, 0), 0u) << r.ErrorMessage;
    EXPECT_EQ(KillTree(plugin_dir), before);
    EXPECT_TRUE(fs::is_empty(dir / "data/staging"));
  }
  EXPECT_EQ(ovtest::ReadText(plugin_dir + "/libPkgSample.so"), ovtest::ReadText(ovtest::TestPlugin("pkg_sample")));

  // A new plug-in that passed the probe but does not load in the server after all (here: the
  // manager scans another directory) is taken out again, its files and folders with it.
  const std::string elsewhere = dir / "elsewhere";
  fs::create_directories(elsewhere);
  const TOVInstallResult lost = TOVPluginInstaller(elsewhere, dir / "data").InstallFromFile(
      package(KillManifest("Hello", "1"), "libHello.so", {{"web/a.js", "a"}, {"lang/en.json", "{}"}}));
  EXPECT_FALSE(lost.Success);
  EXPECT_EQ(lost.ErrorMessage, "Plugin Hello v1 did not load");
  EXPECT_EQ(KillTree(elsewhere), (std::map<std::string, std::string>{}));
  EXPECT_TRUE(fs::is_empty(dir / "data/staging"));

  // The plug-in asked for, in another letter case, and a plug-in's own library: installed.
  fs::remove_all(plugin_dir + "/Hello");
  const TOVInstallResult fresh = inst.InstallFromFile(package(KillManifest("Hello", "1"), "libHello.so"), "hello");
  EXPECT_TRUE(fresh.Success) << fresh.ErrorMessage;
  const TOVInstallResult own = inst.InstallFromFile(package(KillManifest("PkgSample", "2"), "libPkgSample.so"));
  EXPECT_TRUE(own.Success) << own.ErrorMessage;
  EXPECT_EQ(own.Action, TOVInstallAction::iaUpdated);
  EXPECT_EQ(ovtest::ReadText(plugin_dir + "/libPkgSample.so"), lib);
  PluginMgr.Free();
  ResetRestartState();
}
