#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ov_archiver.h"
#include "ov_process.h"
#include "test_util.h"
#include "zip_test_util.h"

using namespace ov;
namespace fs = std::filesystem;
using enum TArchiveFormat;

namespace {

using ovtest::MakeZip;

// Replaces every occurrence of from by to (same length) in a file's bytes.
void Patch(const std::string& path, const std::string& from, const std::string& to) {
  std::string bytes = ovtest::ReadText(path);
  for (std::size_t p = bytes.find(from); p != std::string::npos; p = bytes.find(from, p + 1))
    bytes.replace(p, from.size(), to);
  ovtest::WriteText(path, bytes);
}

// Every path below root, relative and sorted ("dir/" for directories).
std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(root, ec)) {
    std::string rel = fs::relative(e.path(), root).string();
    if (e.is_directory() && !e.is_symlink()) rel += "/";
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

int RunIn(const std::vector<std::string>& argv, const std::string& dir) {
  TOVProcessOptions o;
  o.program = argv[0];
  o.args.assign(argv.begin() + 1, argv.end());
  o.working_dir = dir;
  return RunProcess(o).exit_code;
}

// PATH with dir in front for the scope.
class PathPrefix {
 public:
  explicit PathPrefix(const std::string& dir) : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", (dir + ":" + old_).c_str(), 1);
  }
  ~PathPrefix() { ::setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

}  // namespace

TEST(Archiver, DetectionTables) {
  struct Sig {
    std::string bytes;
    TArchiveFormat want;
  };
  std::string tar(300, '\0');
  tar.replace(257, 5, "ustar");
  const std::vector<Sig> sigs = {
      {std::string("PK\x03\x04", 4) + "anything", afZIP},
      {"PK\x03", afUnknown},  // fewer than 4 bytes
      {tar, afTAR},
      {std::string("Rar!\x1A\x07\x00", 7), afRAR},
      {"Rar!\x1A", afUnknown},  // RAR needs 6 bytes
      {"7z\xBC\xAF\x27\x1C", af7Z},
      {std::string("\x60\xEA\x00\x00", 4), afARJ},
      {std::string("\x1F\x8B\x08\x00", 4), afGZ},
      {std::string("\x1A\x08xx", 4), afARC},
      {std::string("\x1A\x0Axx", 4), afUnknown},  // ARC's second byte is at most 9
      {"ZOO 2.10", afZOO},
      {std::string("HA\x02\x00", 4), afHA},
      {"xx-lh5-", afLHA},
      {"xx-lz4", afLHA},
      {"xx-lh", afLHA},
      {"xx-lx5", afUnknown},
      {"hello world", afUnknown},
  };
  for (const Sig& s : sigs) EXPECT_EQ(TOVArchiver::DetectFormat(s.bytes), s.want) << s.bytes;

  const std::vector<std::pair<std::string, TArchiveFormat>> exts = {
      {"pack.ZOO", afZOO}, {"x.arj", afARJ},    {"x.z01", afZIP},          {"x.a01", afARC},  {"x.txt", afUnknown},
      {"a.ZIP", afZIP},    {"a.pk", afZIP},     {"a.pak", afARC},          {"a.lzh", afLHA},  {"a.lha", afLHA},
      {"a.rar", afRAR},    {"a.ha", afHA},      {"a.tar.gz", afGZ},        {"a.gzip", afGZ},  {"a.tar", afTAR},
      {"a.7z", af7Z},      {"noext", afUnknown}, {"dir.zip/file", afUnknown}, {"x.zz", afUnknown}};
  for (const auto& [name, want] : exts) EXPECT_EQ(TOVArchiver::DetectFormatByExt(name), want) << name;

  const std::vector<std::tuple<TArchiveFormat, std::string, std::string>> names = {
      {afUnknown, "Unknown", ""}, {afZIP, "ZIP", "unzip"}, {afARC, "ARC", "arc"},   {afLHA, "LHA", "lha"},
      {afARJ, "ARJ", "arj"},      {afRAR, "RAR", "unrar"}, {afZOO, "ZOO", "zoo"},   {afHA, "HA", "ha"},
      {afGZ, "GZip", "gzip"},     {afTAR, "TAR", "tar"},   {af7Z, "7-Zip", "7z"}};
  for (const auto& [f, name, tool] : names) {
    EXPECT_EQ(TOVArchiver::FormatToString(f), name);
    EXPECT_EQ(TOVArchiver::GetToolName(f), tool);
  }
}

// Each format whose packer Debian has: packed by its own program, extracted and tested through
// the archive helper.
TEST(Archiver, RealExtractionOfEachFormat) {
  ovtest::TempDir dir;
  const std::string src = dir / "src";
  ovtest::WriteText(src + "/a.txt", "alpha\n");
  ovtest::WriteText(src + "/sub/b.txt", "beta\n");
  struct Case {
    TArchiveFormat format;
    std::string archive;
    std::vector<std::string> pack;  // run in src
    std::vector<std::string> tree;
  };
  const std::vector<std::string> both = {"a.txt", "sub/", "sub/b.txt"};
  const std::vector<Case> cases = {
      {afZIP, "t.zip", {"zip", "-qr", "../t.zip", "a.txt", "sub"}, both},
      {afARC, "t.arc", {"arc", "a", "../t.arc", "a.txt"}, {"a.txt"}},  // arc keeps no directories
      {afARJ, "t.arj", {"arj", "a", "-r", "../t.arj", "a.txt", "sub/b.txt"}, both},
      {afTAR, "t.tar", {"tar", "cf", "../t.tar", "a.txt", "sub"}, both},
      {af7Z, "t.7z", {"7z", "a", "../t.7z", "a.txt", "sub"}, both},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive);
    ASSERT_EQ(RunIn(c.pack, src), 0);
    // A relative archive path works for the programs that run inside the destination too.
    const std::string rel = fs::relative(dir / c.archive).string();
    const std::string out = dir / ("out-" + c.archive);
    std::string why;
    EXPECT_TRUE(TOVArchiver::ExtractToDir(rel, out, c.format, {}, &why)) << why;
    EXPECT_EQ(Tree(out), c.tree);
    EXPECT_EQ(ovtest::ReadText(out + "/a.txt"), "alpha\n");
    EXPECT_EQ(TOVArchiver::TestArchive(dir / c.archive, c.format), c.format != afTAR);  // no TAR test
    EXPECT_TRUE(TOVArchiver::IsToolAvailable(c.format));
  }
  ASSERT_EQ(RunIn({"sh", "-c", "gzip -c a.txt > ../t.gz"}, src), 0);
  EXPECT_TRUE(TOVArchiver::ExtractToDir(dir / "t.gz", dir / "out-gz", afGZ));
  EXPECT_EQ(ovtest::ReadText(dir / "out-gz/output"), "alpha\n");
  EXPECT_FALSE(TOVArchiver::TestArchive(dir / "t.gz", afGZ));  // no program is run for GZip

  // A broken archive fails, and so does the wrong format or none.
  ovtest::WriteText(dir / "bad.7z", "7z\xBC\xAF\x27\x1C garbage");
  EXPECT_FALSE(TOVArchiver::ExtractToDir(dir / "bad.7z", dir / "out-bad", af7Z));
  EXPECT_FALSE(TOVArchiver::ExtractToDir(dir / "t.tar", dir / "out-wrong", afZIP));
  EXPECT_FALSE(TOVArchiver::ExtractToDir(dir / "t.tar", dir / "out-none", afUnknown));

  // A tar holding a symlink: refused after the program ran, the link gone.
  ASSERT_EQ(RunIn({"ln", "-s", "/etc/passwd", "link"}, src), 0);
  ASSERT_EQ(RunIn({"tar", "cf", "../link.tar", "link", "a.txt"}, src), 0);
  std::string why;
  EXPECT_FALSE(TOVArchiver::ExtractToDir(dir / "link.tar", dir / "out-link", afTAR, {}, &why));
  EXPECT_EQ(why, "the archive held a symlink or special file");
  EXPECT_EQ(Tree(dir / "out-link"), std::vector<std::string>{"a.txt"});
}

// The formats Debian cannot pack or unpack: the exact arguments and working directory each
// program is given, recorded by stubs first on PATH.
TEST(Archiver, ArgumentsOfTheOtherPrograms) {
  ovtest::TempDir dir;
  const std::string bin = dir / "bin";
  const std::string log = dir / "calls.log";
  for (const char* tool : {"lha", "unrar", "zoo", "ha"}) {
    ovtest::WriteText(bin + "/" + tool, "#!/bin/sh\nprintf '%s|%s' \"$(basename \"$0\")\" \"$PWD\" >> " + log +
                                           "\nfor a in \"$@\"; do printf '|%s' \"$a\" >> " + log + "; done\necho >> " + log + "\n");
    ::chmod((bin + "/" + tool).c_str(), 0755);
  }
  PathPrefix path(bin);
  const std::string a = dir / "pkg.bin";
  ovtest::WriteText(a, "x");
  const std::string d = dir / "dest";
  std::string cwd = fs::current_path().string();
  for (TArchiveFormat f : {afLHA, afRAR, afZOO, afHA}) {
    EXPECT_TRUE(TOVArchiver::ExtractToDir(a, d, f));
    EXPECT_TRUE(TOVArchiver::IsToolAvailable(f));
  }
  for (TArchiveFormat f : {afLHA, afRAR, afZOO, afHA}) TOVArchiver::TestArchive(a, f);
  EXPECT_EQ(ovtest::ReadText(log), "lha|" + cwd + "|xw=" + d + "|" + a + "\n" +
                                       "unrar|" + cwd + "|x|" + a + "|" + d + "/\n" +
                                       "zoo|" + d + "|x//|" + a + "\n" +
                                       "ha|" + d + "|x|" + a + "\n" +
                                       "lha|" + cwd + "|t|" + a + "\n" +
                                       "unrar|" + cwd + "|t|" + a + "\n" +
                                       "zoo|" + cwd + "|-test|" + a + "\n");
  std::string out;
  EXPECT_EQ(TOVArchiver::RunExternal({"ov-no-such-tool"}, out), -1);
  EXPECT_EQ(out, "Error: Cannot start ov-no-such-tool: No such file or directory");
  EXPECT_EQ(TOVArchiver::RunExternal({"sh", "-c", "echo hi; echo err >&2; exit 4"}, out), 4);
  EXPECT_EQ(out, "hi\nerr\n");
  EXPECT_FALSE(TOVArchiver::IsToolAvailable(afUnknown));
}

TEST(Archiver, ZipExtractionListingAndFirstEntry) {
  ovtest::TempDir dir;
  const std::string z = dir / "ok.zip";
  MakeZip(z, {{"top/", ""}, {"top/a.txt", "alpha"}, {"./top/sub//b.bin", std::string(100000, 'b'), S_IFREG | 0600},
              {"c.txt", "", 0}});
  std::string why;
  ASSERT_TRUE(TOVArchiver::ExtractToDir(z, dir / "out", afZIP, {}, &why)) << why;
  EXPECT_EQ(Tree(dir / "out"), (std::vector<std::string>{"c.txt", "top/", "top/a.txt", "top/sub/", "top/sub/b.bin"}));
  EXPECT_EQ(ovtest::ReadText(dir / "out/top/sub/b.bin"), std::string(100000, 'b'));

  const TArchiveEntryArray list = TOVArchiver::ListContents(z, afZIP);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].FileName, "top/");
  EXPECT_TRUE(list[0].IsDirectory);
  EXPECT_EQ(list[2].FileName, "./top/sub//b.bin");
  EXPECT_EQ(list[2].Size, 100000);
  EXPECT_LT(list[2].CompressedSize, 1000);
  EXPECT_TRUE(TOVArchiver::ListContents(z, afTAR).empty());
  EXPECT_TRUE(TOVArchiver::ListContents(dir / "none.zip", afZIP).empty());

  const std::string bytes = ovtest::ReadText(z);
  std::string name;
  EXPECT_EQ(TOVArchiver::ExtractFirst(bytes, afZIP, name), "");  // the first entry is the directory
  EXPECT_EQ(name, "top/");
  MakeZip(dir / "one.zip", {{"hello.txt", "hello"}, {"two.txt", "two"}});
  EXPECT_EQ(TOVArchiver::ExtractFirst(ovtest::ReadText(dir / "one.zip"), afZIP, name), "hello");
  EXPECT_EQ(name, "hello.txt");
  EXPECT_EQ(TOVArchiver::ExtractFirst(ovtest::ReadText(dir / "one.zip"), afTAR, name), "");
  EXPECT_EQ(name, "");
  EXPECT_EQ(TOVArchiver::ExtractFirst("not a zip", afZIP, name), "");
  TArchiveLimits small;
  small.max_total_bytes = 4;
  EXPECT_EQ(TOVArchiver::ExtractFirst(ovtest::ReadText(dir / "one.zip"), afZIP, name, small), "");

  ovtest::WriteText(dir / "text.zip", "just text");
  EXPECT_FALSE(TOVArchiver::ExtractToDir(dir / "text.zip", dir / "out-text", afZIP));
}

// Hostile archives: each refused as a whole, nothing written in the destination or beside it.
TEST(Archiver, HostileZipArchivesAreRefused) {
  ovtest::TempDir dir;
  struct Case {
    std::string label;
    std::vector<ovtest::ZipEntry> entries;
    std::string why;
    TArchiveLimits limits = {};
  };
  TArchiveLimits few;
  few.max_entries = 3;
  TArchiveLimits small;
  small.max_total_bytes = 1000;
  const std::vector<Case> cases = {
      {"slip", {{"ok.txt", "ok"}, {"../evil.txt", "x"}}, "entry outside the destination"},
      {"deep slip", {{"a/b/../../../evil.txt", "x"}}, "entry outside the destination"},
      {"absolute", {{"/tmp/evil.txt", "x"}}, "entry outside the destination"},
      {"backslash", {{"..\\evil.txt", "x"}}, "entry outside the destination"},
      {"only dots", {{"./", ""}}, "entry outside the destination"},
      {"symlink", {{"ok.txt", "ok"}, {"link", "/etc/passwd", S_IFLNK | 0777}}, "symlink entry"},
      {"fifo", {{"pipe", "", S_IFIFO | 0644}}, "special file entry"},
      {"device", {{"dev", "", S_IFCHR | 0644}}, "special file entry"},
      {"duplicate", {{"a.txt", "1"}, {"./a.txt", "2"}}, "duplicate entry"},
      {"entries", {{"1", ""}, {"2", ""}, {"3", ""}, {"4", ""}}, "more than 3 entries", few},
      {"declared size", {{"a", std::string(600, 'a')}, {"b", std::string(600, 'b')}}, "more than 1000 bytes uncompressed",
       small},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string z = dir / "hostile.zip";
    MakeZip(z, c.entries);
    const std::string box = dir / "box";
    const std::string out = box + "/out";
    std::string why;
    EXPECT_FALSE(TOVArchiver::ExtractToDir(z, out, afZIP, c.limits, &why));
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(Tree(box), std::vector<std::string>{"out/"});
    fs::remove_all(box);
  }

  // A NUL in a name (libzip would show it as a space).
  MakeZip(dir / "nul.zip", {{"aXb.txt", "x"}});
  Patch(dir / "nul.zip", "aXb.txt", std::string("a\0b.txt", 7));
  std::string why;
  EXPECT_FALSE(TOVArchiver::ExtractToDir(dir / "nul.zip", dir / "nul/out", afZIP, {}, &why));
  EXPECT_EQ(why, "entry name with NUL");
  EXPECT_EQ(Tree(dir / "nul"), std::vector<std::string>{"out/"});

  // Data beyond the declared size: the first entry, already written, is removed again.
  const std::string big(5000, 'z');
  MakeZip(dir / "liar.zip", {{"first.txt", "first"}, {"second.bin", big}});
  std::string bytes = ovtest::ReadText(dir / "liar.zip");
  // Both headers declare 5000 (0x1388) bytes for the second entry; make it 16.
  Patch(dir / "liar.zip", std::string("\x88\x13\x00\x00", 4), std::string("\x10\x00\x00\x00", 4));
  EXPECT_FALSE(TOVArchiver::ExtractToDir(dir / "liar.zip", dir / "liar/out", afZIP, {}, &why));
  EXPECT_EQ(Tree(dir / "liar"), std::vector<std::string>{"out/"});
}
