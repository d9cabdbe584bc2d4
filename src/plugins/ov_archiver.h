// TOVArchiver: recognises archive formats and extracts, lists and tests archives.  ZIP is read
// in-process with libzip; the other formats run their usual program through the process runner
// (no shell, a deadline, output capped).
//
// Archives are hostile input.  Before a ZIP archive writes anything, every entry is checked:
// its normalised path must stay under the destination (no absolute name, no "..", no NUL, every
// component a safe name), it must be a plain file or directory (no symlink, device or pipe), and
// the entry count and declared uncompressed total must stay within the limits; the bytes
// actually written are counted against the same limits.  A refused or failed extraction removes
// what it created.  After an external program, a destination holding a symlink or special file
// is refused the same way.
//
// Stateless: every operation is a class operation, callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ov {

enum class TArchiveFormat : std::uint8_t {
  afUnknown = 0,
  afZIP = 1,
  afARC = 2,
  afLHA = 3,
  afARJ = 4,
  afRAR = 5,
  afZOO = 6,
  afHA = 7,
  afGZ = 8,
  afTAR = 9,
  af7Z = 10,
};

struct TArchiveEntry {
  std::string FileName;  // the path inside the archive
  std::int64_t Size = 0;  // uncompressed
  std::int64_t CompressedSize = 0;
  bool IsDirectory = false;
};
using TArchiveEntryArray = std::vector<TArchiveEntry>;

// What one extraction may produce.
struct TArchiveLimits {
  std::uint64_t max_entries = 10000;
  std::uint64_t max_total_bytes = 512ull * 1024 * 1024;  // uncompressed, all entries together
  std::chrono::milliseconds tool_timeout{300000};        // an external program is killed after this
};

class TOVArchiver {
 public:
  // By signature; fewer than 4 bytes or no signature: afUnknown.
  static TArchiveFormat DetectFormat(std::string_view data);
  // By the file name's extension (ASCII case ignored).
  static TArchiveFormat DetectFormatByExt(std::string_view file_name);
  static std::string FormatToString(TArchiveFormat format);
  // The program that handles the format ("" for afUnknown).
  static std::string GetToolName(TArchiveFormat format);
  // ZIP and GZip are taken as available; otherwise `which <tool>` must succeed.
  static bool IsToolAvailable(TArchiveFormat format);
  // Runs argv[0] with the other arguments (no shell), standard error merged into output, in
  // working_dir when given; returns the exit status, or -1 with output "Error: <why>" when the
  // program could not be started or was killed at its deadline.
  static int RunExternal(const std::vector<std::string>& argv, std::string& output, const std::string& working_dir = {},
                         std::chrono::milliseconds timeout = TArchiveLimits{}.tool_timeout);
  // Extracts the whole archive below dest_dir (created with parents).  False when the archive
  // is refused or extraction fails; error (when given) then says why.  Never throws.
  static bool ExtractToDir(const std::string& archive, const std::string& dest_dir, TArchiveFormat format,
                           const TArchiveLimits& limits = {}, std::string* error = nullptr);
  // The name and bytes of the first entry of a ZIP archive held in memory (read in memory,
  // nothing is written to disk; at most limits.max_total_bytes).  Empty for other formats and
  // on any failure.
  static std::string ExtractFirst(std::string_view data, TArchiveFormat format, std::string& file_name,
                                  const TArchiveLimits& limits = {});
  // The entries of a ZIP archive in archive order (what could be read); empty for other formats.
  static TArchiveEntryArray ListContents(const std::string& archive, TArchiveFormat format);
  // The format's program tests the archive; false for HA, GZip, TAR and unknown formats.
  static bool TestArchive(const std::string& archive, TArchiveFormat format);
};

// An archive entry's (or a package file list's) name as a path relative to a root: "/"-separated
// components, empty and "." components dropped, every other component a safe name (no "..", no
// "\\", no control character).  False for an absolute name, a name with NUL or nothing left.
bool NormaliseRelativePath(std::string_view name, std::string& out);

}  // namespace ov
