// The plug-in probe: a library's identity, or the loader's reason it cannot load, learned in a
// process of its own (this test executable started again, as the server starts itself), with
// nothing of the library mapped into the asking process.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "ov_plugin_probe.h"
#include "plugin_test_env.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

TEST(PluginProbe, AnswersWithTheIdentityOrTheReasonAndMapsNothingHere) {
  ovtest::TempDir dir;
  auto copy = [&](const std::string& plugin) {
    std::filesystem::copy_file(ovtest::TestPlugin(plugin), dir / (plugin + ".so"));
    return dir / (plugin + ".so");
  };
  ovtest::WriteText(dir / "garbage.so", std::string(100, 'x'));
  TOVPluginProbeOptions quick, stopping, missing;
  quick.timeout = 300ms;
  std::stop_source stop;
  stop.request_stop();
  stopping.stop = stop.get_token();
  missing.program = dir / "no-such-server";
  struct Case {
    std::string library;
    TOVPluginProbeOptions options;
    std::string name;  // the identity's, or "" for a refusal
    TOVPluginTarget target = ptServer;
    std::string error;
  };
  const std::vector<Case> cases = {
      {copy("pkg_sample"), {}, "PkgSample", ptServer, ""},
      // What the library prints, a forged answer included, is not the answer.
      {copy("create_noisy"), {}, "CreateNoisy", ptBoth, ""},
      // What the library starts (a process holding the probe's pipe) ends with the probe: below.
      {copy("create_fork"), {}, "CreateFork", ptBoth, ""},
      // The loader's own reasons, the library named by its file name.
      {copy("no_create"), {}, "", ptServer, "Plugin missing OVPluginCreate export: no_create.so"},
      {dir / "garbage.so", {}, "", ptServer, "Failed to load plugin library: garbage.so (garbage.so: invalid ELF header)"},
      {copy("create_null"), {}, "", ptServer, "Plugin creation returned nil: create_null.so"},
      {copy("api_v3"), {}, "", ptServer, "Plugin API version incompatible: api_v3.so (has v3, server accepts v1..v2)"},
      // A probe that dies, hangs, is stopped or cannot start.
      {copy("create_abort"), {}, "", ptServer, "Plugin load crashed: create_abort.so - killed by signal 6 (Aborted)"},
      {copy("create_hang"), quick, "", ptServer, "Plugin load timed out: create_hang.so - no answer within 300 ms"},
      {dir / "create_hang.so", stopping, "", ptServer,
       "Plugin load stopped: create_hang.so - the server is shutting down"},
      {dir / "pkg_sample.so", missing, "", ptServer,
       "Cannot check plugin library pkg_sample.so: Cannot start " + (dir / "no-such-server") +
           ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    std::string error;
    const std::optional<TOVPluginIdentity> id = ProbePluginLibrary(c.library, error, c.options);
    if (c.name.empty()) {
      EXPECT_FALSE(id);
      EXPECT_EQ(error, c.error);
    } else {
      ASSERT_TRUE(id) << error;
      EXPECT_EQ(id->Name, c.name);
      EXPECT_EQ(id->Target, c.target);
    }
  }
  // The process create_fork's library forked is gone (or a zombie left to init) soon after the
  // probe has answered, though it sleeps for a minute.
  const pid_t forked = std::stoi(ovtest::ReadText(dir / "forked.pid"));
  ASSERT_GT(forked, 0);
  const auto running = [forked] {
    const std::string stat = ovtest::ReadText("/proc/" + std::to_string(forked) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' && stat[paren + 2] != 'X';
  };
  EXPECT_TRUE(ovtest::PollUntil([&] { return !running(); }));
  if (running()) ::kill(forked, SIGKILL);

  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) EXPECT_EQ(line.find(dir.path()), std::string::npos) << line;
}
