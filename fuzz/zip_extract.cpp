// libFuzzer target for the archive helper's ZIP extraction (ov_archiver) on arbitrary bytes,
// with small limits.  Whatever the input:
//   - nothing is ever written outside the destination (the work directory holds only the
//     archive and the destination afterwards);
//   - a refused or failed extraction leaves the destination empty;
//   - what a successful one leaves is plain files and directories within the limits.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ov_archiver.h"

namespace fs = std::filesystem;

namespace {

// One work directory for the whole run, removed when the fuzzer exits.
struct WorkDir {
  std::string path;
  WorkDir() {
    path = (fs::temp_directory_path() / "ov-fuzz-zip-XXXXXX").string();
    if (!::mkdtemp(path.data())) std::abort();
  }
  ~WorkDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const WorkDir dir;
  const std::string& work = dir.path;
  const std::string archive = work + "/in.zip";
  const std::string dest = work + "/out";
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ov::TArchiveLimits limits;
  limits.max_entries = 64;
  limits.max_total_bytes = 1 << 20;
  const bool ok = ov::TOVArchiver::ExtractToDir(archive, dest, ov::TArchiveFormat::afZIP, limits);

  std::size_t outside = 0;
  for (const auto& e : fs::directory_iterator(work)) {
    const std::string name = e.path().filename().string();
    if (name != "in.zip" && name != "out") ++outside;
  }
  if (outside) __builtin_trap();
  std::uintmax_t entries = 0, bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(dest)) {
    ++entries;
    const fs::file_status s = e.symlink_status();
    if (fs::is_regular_file(s))
      bytes += fs::file_size(e.path());
    else if (!fs::is_directory(s))
      __builtin_trap();  // a symlink or special file
  }
  if (!ok && entries) __builtin_trap();
  if (bytes > limits.max_total_bytes) __builtin_trap();
  fs::remove_all(dest);
  return 0;
}
