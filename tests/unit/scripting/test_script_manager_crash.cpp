// Installs and uninstalls killed with SIGKILL after each of their steps, then the start-up of the
// next server run: the package is wholly there (files and row) or wholly absent (or, when an
// install was replacing a directory, that directory is back as it was), and nothing staged is
// left in the scripts directory.  The child process stops at its step and the test kills it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ov_database.h"
#include "ov_script_manager.h"
#include "test_util.h"
#include "zip_test_util.h"

using namespace ov;
namespace fs = std::filesystem;

namespace script_crash {

using TTree = std::map<std::string, std::string>;  // relative path -> content, "<dir>" for a directory

const std::string kPkg = "crashpkg";

std::string ManifestText(const std::string& version, const std::string& entry) {
  return R"({"name": "CrashPkg", "version": ")" + version + R"(", "type": "event", "entry": ")" + entry + R"("})";
}

const TTree kNew = {{"package.json", ManifestText("1.0", "main.lua")},
                    {"main.lua", "-- new"},
                    {"lib", "<dir>"},
                    {"lib/util.lua", "return 1"}};
// What lay at the install path without a row before the install (placed after start-up, so not
// yet registered): a package of its own, registered by the next start if it is still there.
const TTree kOld = {{"package.json", ManifestText("0.9", "old.lua")}, {"old.lua", "-- old"}};

TTree Tree(const std::string& root) {
  TTree out;
  if (!fs::exists(fs::symlink_status(root))) return out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    out[rel] = e.is_directory() ? "<dir>" : ovtest::ReadText(e.path().string());
  }
  return out;
}

void WriteTree(const std::string& root, const TTree& tree) {
  for (const auto& [rel, content] : tree)
    content == "<dir>" ? void(fs::create_directories(root + "/" + rel)) : ovtest::WriteText(root + "/" + rel, content);
}

struct TCase {
  const char* op;     // "install" or "uninstall" (of the package installed just before)
  const char* step;   // the child is killed once this step is done
  bool replace;       // an install over kOld
  bool refuse_row;    // the row's insert fails (the install is taken back)
  const char* after;  // "none", "old" or "new"
};

// The child: start-up, then the operation; it stops for good at the step and says so on fd.
[[noreturn]] void RunChild(const TCase& c, const std::string& db_file, const std::string& scripts,
                           const std::string& zip, int fd) {
  try {
    DB.Publish(std::make_unique<TOVDatabase>(db_file));
    TOVScriptManager mgr(scripts, [&](std::string_view step) {
      if (step != c.step) return;
      const char b = 1;
      if (::write(fd, &b, 1) != 1) ::_exit(5);
      for (;;) ::pause();
    });
    std::string error;
    if (c.replace) WriteTree(scripts + "/events/" + kPkg, kOld);
    if (!mgr.Install(zip, error)) ::_exit(4);
    if (std::string(c.op) == "uninstall") mgr.Uninstall(kPkg, error);
  } catch (...) {
  }
  ::_exit(3);  // the step never came
}

// Forks the child and kills it at its step; false when it never got there.
bool KillAtStep(const TCase& c, const std::string& db_file, const std::string& scripts, const std::string& zip) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    RunChild(c, db_file, scripts, zip, p[1]);
  }
  ::close(p[1]);
  char b = 0;
  pollfd pfd{p[0], POLLIN, 0};
  // Generous: the child only unpacks a small archive, but CI runs it under sanitizers.
  const bool reached = pid > 0 && ::poll(&pfd, 1, 60000) == 1 && ::read(p[0], &b, 1) == 1;
  ::close(p[0]);
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  return reached;
}

struct TDBScope {
  explicit TDBScope(const std::string& file) { DB.Publish(std::make_unique<TOVDatabase>(file)); }
  ~TDBScope() { DB.Free(); }
};

}  // namespace script_crash

TEST(ScriptManagerCrash, KilledAfterAnyStepThePackageIsWholeOrAbsent) {
  using namespace script_crash;
  const TCase cases[] = {
      {"install", "install:unpacked", false, false, "none"},
      {"install", "install:placed", false, false, "new"},
      {"install", "install:recorded", false, false, "new"},
      {"install", "install:cleaned", false, false, "new"},
      {"install", "install:unpacked", true, false, "old"},
      {"install", "install:parked", true, false, "old"},
      {"install", "install:placed", true, false, "new"},
      {"install", "install:recorded", true, false, "new"},
      {"install", "install:cleaned", true, false, "new"},
      {"install", "install:withdrawn", true, true, "old"},
      {"uninstall", "uninstall:parked", false, false, "none"},
      {"uninstall", "uninstall:unrecorded", false, false, "none"},
      {"uninstall", "uninstall:cleaned", false, false, "none"},
  };
  ovtest::TempDir dir;
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.step) + (c.replace ? " replacing" : "") + (c.refuse_row ? " row refused" : ""));
    const std::string root = dir / ("case" + std::to_string(n++));
    const std::string scripts = root + "/scripts", db_file = root + "/orvanta.db", zip = root + "/pkg.zip";
    const std::string dest = scripts + "/events/" + kPkg;
    fs::create_directories(root);
    std::vector<ovtest::ZipEntry> entries;
    for (const auto& [rel, content] : kNew)
      entries.push_back({content == "<dir>" ? rel + "/" : rel, content == "<dir>" ? "" : content});
    ovtest::MakeZip(zip, entries);
    { TDBScope created(db_file); }
    if (c.refuse_row)
      ovtest::RawExec(db_file, "CREATE TRIGGER refuse_new BEFORE INSERT ON script_packages WHEN NEW.version = '1.0' "
                               "BEGIN SELECT RAISE(ABORT, 'refused'); END");

    ASSERT_TRUE(KillAtStep(c, db_file, scripts, zip)) << "the child never reached its step";

    // The next start.
    TDBScope db(db_file);
    TOVScriptManager mgr(scripts);
    std::vector<std::tuple<std::string, std::string, std::string>> rows;
    for (const TJSON& p : mgr.ListPackages())
      rows.emplace_back(p["name"].get<std::string>(), p["version"].get<std::string>(),
                        p["install_path"].get<std::string>());
    const std::string after = c.after;
    using TRows = decltype(rows);
    const TRows want_rows =
        after == "none" ? TRows{} : TRows{{kPkg, after == "new" ? "1.0" : "0.9", dest}};
    EXPECT_EQ(rows, want_rows);
    EXPECT_EQ(Tree(dest), after == "none" ? TTree{} : after == "new" ? kNew : kOld);
    std::vector<std::string> top;
    for (const auto& e : fs::directory_iterator(scripts)) top.push_back(e.path().filename().string());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"doors", "events", "menus", "scheduled"}));
  }
}
