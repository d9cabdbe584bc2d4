#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "ov_plugin_installer.h"
#include "ov_plugin_manager.h"
#include "plugin_test_env.h"
#include "test_util.h"

using namespace ov;
namespace fs = std::filesystem;

namespace {

const std::string kDigest(64, 'a');

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

TEST(PluginInstaller, ChecksumListLines) {
  const std::string upper = std::string(63, 'A') + "B";
  const std::string text = "\n" + kDigest + "  *lib/x.so\r\n" +      // sha256sum's binary mode
                           upper + " ./web/a.js\n" +                  // one space, "./" and upper case
                           std::string(62, 'c') + " short.txt\n" +    // digest shorter than 63: not a line
                           std::string(63, 'd') + " sixty-three\n" +  // 63 characters still count
                           "no-space-at-all\n" +                      //
                           "   " + kDigest + "   /abs/name  \n" +     // trimmed; one "/" removed
                           kDigest + " ../up";
  const std::vector<TOVChecksumLine> lines = ParseChecksumList(text);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].file, "lib/x.so");
  EXPECT_EQ(lines[0].digest, kDigest);
  EXPECT_EQ(lines[1].file, "web/a.js");
  EXPECT_EQ(lines[1].digest, std::string(63, 'a') + "b");
  EXPECT_EQ(lines[2].file, "sixty-three");
  EXPECT_EQ(lines[3].file, "abs/name");
  EXPECT_EQ(lines[4].file, "./up");  // one "." removed: still inside the root
}

// The digests as sha256sum computes them; a name leading outside the package is refused before
// anything is hashed (and its digest never logged).
TEST(PluginInstaller, VerifyChecksums) {
  ovtest::LogCapture log;
  ovtest::TempDir dir;
  TOVPluginInstaller inst(dir / "plugins", dir / "data");
  const std::string root = dir / "root";
  ovtest::WriteText(root + "/lib/x.so", "library");
  ovtest::WriteText(dir / "secret.txt", "outside");
  const std::string digest = Sha256File(root + "/lib/x.so");
  EXPECT_EQ(digest, "b718f1354f7247312eca086d9a024afe5fa717ddea5adeddd6f12bcf945b2e8c");

  EXPECT_TRUE(inst.VerifyChecksums(root));  // no list
  EXPECT_TRUE(log.Has("No CHECKSUMS.sha256 in package \xE2\x80\x94 skipping verification"));
  struct Case {
    std::string list;
    bool ok;
    std::string line;
  };
  const std::vector<Case> cases = {
      {digest + "  lib/x.so\n", true, "All checksums verified for package in " + root},
      {std::string(64, '0') + "  lib/x.so\n", false,
       "Checksum mismatch for lib/x.so: expected " + std::string(64, '0') + ", got " + digest},
      {digest + "  lib/none.so\n", false, "Checksum file references missing file: lib/none.so"},
      // One leading "." is dropped: "../x" names "./x", which is inside.
      {digest + "  ../secret.txt\n", false, "Checksum file references missing file: ./secret.txt"},
      {digest + " *../secret.txt\n", false, "Checksum file references a path outside the package: ../secret.txt"},
      {digest + "  ./../secret.txt\n", false, "outside the package: ../secret.txt"},
      {digest + "  lib/../../secret.txt\n", false, "outside the package: lib/../../secret.txt"},
      {digest + "  lib\n", false, "Checksum file references missing file: lib"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    log.Clear();
    ovtest::WriteText(root + "/CHECKSUMS.sha256", c.list);
    EXPECT_EQ(inst.VerifyChecksums(root), c.ok);
    EXPECT_TRUE(log.Has(c.line));
    EXPECT_FALSE(log.Has(Sha256File(dir / "secret.txt")));
  }
}

TEST(PluginInstaller, ReplaceFileAtomicNeverWritesInPlace) {
  ovtest::TempDir dir;
  ovtest::WriteText(dir / "src", "new");
  ovtest::WriteText(dir / "dst", "old");
  const ino_t before = Inode(dir / "dst");
  TOVPluginInstaller::ReplaceFileAtomic(dir / "src", dir / "dst");
  EXPECT_EQ(ovtest::ReadText(dir / "dst"), "new");
  EXPECT_NE(Inode(dir / "dst"), before);  // a loaded library keeps its old file
  struct stat st {};
  ::stat((dir / "dst").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // A directory in the way: the rename fails, no temporary file is left.
  ovtest::WriteText(dir / "busy/inside", "x");
  try {
    TOVPluginInstaller::ReplaceFileAtomic(dir / "src", dir / "busy");
    FAIL() << "replaced a directory";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to replace " + dir / "busy" + " (rename failed \xE2\x80\x94 check directory permissions)");
  }
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"busy", "dst", "src"}));
  EXPECT_THROW(TOVPluginInstaller::ReplaceFileAtomic(dir / "missing", dir / "dst"), std::runtime_error);
}

// A backup holds the library, plugin.json and the top-level web and lang files; restoring puts
// them back by replacement.
TEST(PluginInstaller, BackupAndRestore) {
  ovtest::LogCapture log;
  ovtest::TempDir dir;
  const std::string plugins = dir / "plugins";
  TOVPluginInstaller inst(plugins, dir / "data");
  EXPECT_TRUE(fs::is_directory(dir / "data/staging"));
  EXPECT_TRUE(fs::is_directory(dir / "data/backups"));
  ovtest::WriteText(plugins + "/libp.so", "v1 library");
  ovtest::WriteText(plugins + "/p/plugin.json", "{\"version\": \"1\"}");
  ovtest::WriteText(plugins + "/p/web/app.js", "v1 js");
  ovtest::WriteText(plugins + "/p/web/deep/skip.js", "not top level");
  ovtest::WriteText(plugins + "/p/lang/en.json", "v1 en");

  const std::string first = inst.BackupExisting("p", "libp.so", plugins);
  const std::string second = inst.BackupExisting("p", "libp.so", plugins);
  EXPECT_NE(first, second);  // two backups in one second keep their own directories
  EXPECT_EQ(fs::path(first).parent_path(), fs::path(dir / "data/backups/p"));
  EXPECT_TRUE(log.Has("Backed up libp.so to " + first));
  EXPECT_EQ(ovtest::ReadText(first + "/plugin.json"), "{\"version\": \"1\"}");
  EXPECT_FALSE(fs::exists(first + "/web/deep"));

  ovtest::WriteText(plugins + "/libp.so", "v2 library");
  ovtest::WriteText(plugins + "/p/plugin.json", "{\"version\": \"2\"}");
  ovtest::WriteText(plugins + "/p/web/app.js", "v2 js");
  const ino_t lib_inode = Inode(plugins + "/libp.so");
  inst.RestoreBackup("p", "libp.so", plugins, first);
  EXPECT_TRUE(log.Has("Restoring backup for p from " + first));
  EXPECT_EQ(ovtest::ReadText(plugins + "/libp.so"), "v1 library");
  EXPECT_NE(Inode(plugins + "/libp.so"), lib_inode);
  EXPECT_EQ(ovtest::ReadText(plugins + "/p/plugin.json"), "{\"version\": \"1\"}");
  EXPECT_EQ(ovtest::ReadText(plugins + "/p/web/app.js"), "v1 js");
  EXPECT_EQ(ovtest::ReadText(plugins + "/p/lang/en.json"), "v1 en");

  // Without a directory named, the newest backup; without any backup, nothing happens.
  ovtest::WriteText(plugins + "/libp.so", "v3 library");
  inst.RestoreBackup("p", "libp.so", plugins);
  EXPECT_EQ(ovtest::ReadText(plugins + "/libp.so"), "v1 library");
  inst.RestoreBackup("q", "libq.so", plugins);
  EXPECT_FALSE(fs::exists(plugins + "/libq.so"));

  // Unique staging names keep their prefixes.
  const std::string a = MakeUniqueFile(dir / "data/staging", "upload-x-", ".ovp");
  const std::string b = MakeUniqueFile(dir / "data/staging", "upload-x-", ".ovp");
  EXPECT_NE(a, b);
  EXPECT_EQ(fs::path(a).filename().string().rfind("upload-x-", 0), 0u);
  EXPECT_EQ(fs::path(a).extension(), ".ovp");
  EXPECT_EQ(StagingTimeStamp().size(), 18u);  // yyyymmdd-hhnnsszzz
}

namespace {
class InstallerWithPlugins : public ovtest::PluginTest {};
}  // namespace

// Uninstall waits (bounded) for a call in flight and then refuses, changing nothing; once the
// plug-in is idle it goes with its library and its rows.
TEST_F(InstallerWithPlugins, UninstallWaitsBoundedlyForCallsInFlight) {
  using namespace std::chrono_literals;
  const std::string lib = Install("sample_cpp", "libSampleCpp");
  Start();
  ASSERT_EQ(mgr->EnablePlugin("SampleCpp"), "");
  mgr->SetUnloadWait(50ms);
  PluginMgr.Publish(std::move(mgr));
  TOVPluginInstaller inst(plugin_dir, dir / "data");
  std::thread call([] {
    const TJSON args = {{"ms", 500}};
    PluginMgr->CallPluginFunction("SampleCpp", "Sleep", &args);
  });
  for (int i = 0; i < 500 && PluginMgr->GetPluginActiveCallCount("SampleCpp") == 0; ++i) std::this_thread::sleep_for(5ms);
  TOVInstallResult r = inst.UninstallPlugin("SampleCpp", true);
  EXPECT_FALSE(r.Success);
  EXPECT_EQ(r.ErrorMessage, "Failed to unload plugin: Plugin SampleCpp is busy: 1 call(s) still running after 50 ms");
  EXPECT_TRUE(fs::exists(lib));
  EXPECT_TRUE(PluginMgr->IsPluginLoaded("SampleCpp"));
  call.join();

  r = inst.UninstallPlugin("SampleCpp", true);
  EXPECT_TRUE(r.Success) << r.ErrorMessage;
  EXPECT_FALSE(fs::exists(lib));
  EXPECT_TRUE(log.Has("Removed " + lib));
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM plugin_state WHERE plugin_name = 'SampleCpp'"), "0");
  EXPECT_EQ(inst.UninstallPlugin("../x", true).ErrorMessage, "Invalid plugin name");
  PluginMgr.Free();
}
