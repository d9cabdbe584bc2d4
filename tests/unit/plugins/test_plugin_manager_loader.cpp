// What the loader maps and refuses: every library from a private copy (the plug-in directory's
// files may be replaced while they run), no copy left behind, and no library whose code a host
// error could not unwind through.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "plugin_test_env.h"

using namespace ov;

namespace {

using PluginLoaderTest = ovtest::PluginTest;

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& f : std::filesystem::directory_iterator(dir)) names.insert(f.path().filename().string());
  return names;
}

// Replaces the file's content in place, as cp does: truncated, then written.
void OverwriteInPlace(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
}

// Whether the ELF file has an exception-frame header (a PT_GNU_EH_FRAME program header).
bool HasEhFrameHeader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr eh{};
  in.read(reinterpret_cast<char*>(&eh), sizeof eh);
  for (int i = 0; in && i < eh.e_phnum; ++i) {
    Elf64_Phdr ph{};
    in.seekg(static_cast<std::streamoff>(eh.e_phoff + static_cast<Elf64_Off>(i) * eh.e_phentsize));
    in.read(reinterpret_cast<char*>(&ph), sizeof ph);
    if (in && ph.p_type == PT_GNU_EH_FRAME) return true;
  }
  return false;
}

// A pid no process can have (pids stay below pid_max).
std::string DeadPid() {
  std::ifstream in("/proc/sys/kernel/pid_max");
  long max = 0;
  in >> max;
  return std::to_string(max > 0 ? max : 4194304);
}

}  // namespace

TEST_F(PluginLoaderTest, LibrariesRunFromPrivateCopiesThatAreNeverLeftBehind) {
  const std::string lib = Install("sample_cpp");
  // Left by crashed processes (except one still running, and our own copies in flight): removed
  // by the next scan, and never loaded, even when they hold a plug-in.
  const std::string dead = DeadPid(), alive = std::to_string(::getppid());
  const std::string stale[] = {".sample_c.so.120000-" + dead + "-1", ".sample_c.so.tmp-" + dead + "-a1B2c3",
                               ".x.so.235959-" + std::to_string(::getpid()) + "-9"};
  const std::string kept[] = {".x.so.120000-" + alive + "-1", ".notes.so.txt", ".x.so.12000-" + dead + "-1",
                              ".notes.tmp-" + dead + "-a1B2c3"};
  for (const auto& name : stale) std::filesystem::copy_file(ovtest::TestPlugin("sample_c"), plugin_dir + "/" + name);
  for (const auto& name : kept) ovtest::WriteText(plugin_dir + "/" + name, "x");
  Start();
  EXPECT_EQ(mgr->GetPluginCount(), 1);
  for (const auto& name : stale) EXPECT_TRUE(log.Has("info Removed leftover plugin copy: " + plugin_dir + "/" + name));
  std::set<std::string> expected(std::begin(kept), std::end(kept));
  expected.insert("sample_cpp.so");
  EXPECT_EQ(FilesIn(plugin_dir), expected) << "no copy of the library left beside it";

  // The file replaced in place while its plug-in runs: the running code is the copy's.
  ASSERT_EQ(mgr->EnablePlugin("SampleCpp"), "");
  EXPECT_EQ((*Call("SampleCpp", "Echo", {{"n", 1}}))["n"], 1);
  OverwriteInPlace(lib, "not a library any more");
  EXPECT_EQ((*Call("SampleCpp", "Echo", {{"n", 2}}))["n"], 2);
  EXPECT_EQ((*Call("SampleCpp", "Sleep", {{"ms", 1}}))["slept"], 1);
  OverwriteInPlace(lib, ovtest::ReadText(ovtest::TestPlugin("sample_cpp")));
  EXPECT_EQ(mgr->ReloadPlugin("SampleCpp"), "");
  EXPECT_EQ((*Call("SampleCpp", "Echo", {{"n", 3}}))["n"], 3);
  EXPECT_EQ(FilesIn(plugin_dir), expected);
}

TEST_F(PluginLoaderTest, LibrariesWithoutUnwindInformationAreRefusedBeforeTheyRun) {
  // Built with -fno-asynchronous-unwind-tables: alone (no exception-frame header, unless a
  // sanitizer's runtime brings one), and with a helper linked in that brings a header covering
  // none of the plug-in's own code.
  Start();
  EXPECT_TRUE(HasEhFrameHeader(ovtest::TestPlugin("sample_c_nounwind_hdr")));
  for (const char* lib : {"sample_c_nounwind", "sample_c_nounwind_hdr"}) {
    const std::string path = Install(lib);
    EXPECT_FALSE(mgr->LoadNativePlugin(path)) << lib;
    EXPECT_TRUE(log.Has("error Plugin creation failed: " + path + " - built without unwind tables")) << lib;
  }
  // The same code built with unwind tables loads, and a host error unwinds through its frames.
  const std::string path = Install("sample_c");
  EXPECT_TRUE(HasEhFrameHeader(path));
  ASSERT_TRUE(mgr->LoadNativePlugin(path));
  mgr->InitializeAll();
  ASSERT_EQ(mgr->EnablePlugin("SampleC"), "");
  EXPECT_THROW(Call("SampleC", "Denied"), EOVPluginError);
  EXPECT_EQ(mgr->GetPluginCount(), 1);
}
