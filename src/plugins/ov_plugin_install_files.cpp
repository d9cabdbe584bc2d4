#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "ov_clock.h"
#include "ov_format.h"
#include "ov_log.h"
#include "ov_plugin_install_parts.h"
#include "ov_plugin_installer.h"
#include "ov_static_files.h"

namespace ov {

namespace fs = std::filesystem;

std::string ErrnoText(int err) {
  char buf[256];
  return ::strerror_r(err, buf, sizeof buf);
}

bool IsFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(p, ec));
}
bool IsDir(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(p, ec));
}
bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

std::optional<std::string> ReadTextFile(const fs::path& p, std::string& why) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(p, ec);
  if (ec) {
    why = ec.message();
    return std::nullopt;
  }
  if (size > kMaxTextFile) {
    why = "file too large";
    return std::nullopt;
  }
  std::ifstream in(p, std::ios::binary);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!in.read(text.data(), static_cast<std::streamsize>(size))) {
    why = "cannot read file";
    return std::nullopt;
  }
  return text;
}

std::string LocalStamp(const char* fmt, bool millis) {
  const auto now = SystemClock().WallNow();
  const std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::int64_t secs = ms / 1000;
  const TOVCivilTime t = SystemClock().ToLocal(secs);
  std::string out = Format(fmt, t.year, t.month, t.day, t.hour, t.minute, t.second);
  if (millis) out += Format("%03d", static_cast<int>(ms % 1000));
  return out;
}

std::vector<fs::path> TopLevelFiles(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (IsFile(e.path())) out.push_back(e.path());
  return out;
}

namespace {

bool WriteAll(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t w = ::write(fd, data, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    data += w;
    len -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

/* ---- files that reach the disk whole ---------------------------------------------------- */

void SyncDir(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open " + dir.string() + ": " + ErrnoText(errno));
  FdCloser closer{fd};
  // A file system that cannot flush a directory makes its renames as durable as it can.
  if (::fsync(fd) != 0 && errno != EINVAL) throw std::runtime_error("Cannot flush " + dir.string() + ": " + ErrnoText(errno));
}

void SyncDirsQuietly(const std::vector<fs::path>& dirs) {
  for (const fs::path& d : dirs) {
    try {
      if (IsDir(d)) SyncDir(d);
    } catch (const std::exception&) {
    }
  }
}

std::string WriteTempBeside(const fs::path& dst, const std::string* src, std::string_view text) {
  const int in = src ? ::open(src->c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (src && in < 0) throw std::runtime_error("Cannot read " + *src + ": " + ErrnoText(errno));
  FdCloser in_closer{in};
  const fs::path dir = dst.has_parent_path() ? dst.parent_path() : fs::path(".");
  std::string tmp = (dir / ("." + dst.filename().string() + ".new.XXXXXX")).string();
  const int out = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (out < 0) throw std::runtime_error("Cannot create a file beside " + dst.string() + ": " + ErrnoText(errno));
  FdCloser out_closer{out};
  auto fail = [&](const std::string& what) {
    ::unlink(tmp.c_str());
    throw std::runtime_error(what);
  };
  if (!src) {
    if (!WriteAll(out, text.data(), text.size())) fail("Cannot write " + tmp + ": " + ErrnoText(errno));
  } else {
    std::vector<char> buf(1 << 16);
    for (;;) {
      const ssize_t n = ::read(in, buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("Cannot read " + *src + ": " + ErrnoText(errno));
      if (n == 0) break;
      if (!WriteAll(out, buf.data(), static_cast<std::size_t>(n))) fail("Cannot write " + tmp + ": " + ErrnoText(errno));
    }
  }
  if (::fchmod(out, 0644) != 0 || ::fsync(out) != 0) fail("Cannot write " + tmp + ": " + ErrnoText(errno));
  out_closer.fd = -1;
  if (::close(out) != 0) fail("Cannot write " + tmp + ": " + ErrnoText(errno));
  return tmp;
}

void RenameOver(const std::string& tmp, const std::string& dst) {
  if (::rename(tmp.c_str(), dst.c_str()) == 0) return;
  ::unlink(tmp.c_str());
  throw std::runtime_error(Format("Unable to replace %s (rename failed \xE2\x80\x94 check directory permissions)", dst));
}

bool CopyInstalledFiles(const std::string& name, const std::string& binary, const fs::path& t, const fs::path& dir) {
  bool any = false;
  fs::create_directories(dir);
  auto copy = [&](const fs::path& from, const fs::path& to) {
    RenameOver(WriteTempBeside(to, &from.native(), {}), to.string());
    any = true;
  };
  if (IsFile(t / binary)) copy(t / binary, dir / binary);
  // The manifest too: a restored library must not sit beside the failed version's manifest.
  if (IsFile(t / name / kManifest)) copy(t / name / kManifest, dir / kManifest);
  for (const char* sub : {"web", "lang"}) {
    if (!IsDir(t / name / sub)) continue;
    fs::create_directories(dir / sub);
    for (const fs::path& f : TopLevelFiles(t / name / sub)) copy(f, dir / sub / f.filename());
    SyncDir(dir / sub);
  }
  SyncDir(dir);
  return any;
}

int RemoveTemporaries(const fs::path& target) {
  std::vector<fs::path> dirs{target};
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(target, ec)) {
    if (!IsDir(e.path())) continue;
    dirs.push_back(e.path());
    dirs.push_back(e.path() / "web");
    dirs.push_back(e.path() / "lang");
  }
  std::vector<fs::path> doomed;
  for (const fs::path& d : dirs)
    for (const auto& e : fs::directory_iterator(d, ec))
      if (IsTemporaryFileName(e.path().filename().string()) && !IsDir(e.path())) doomed.push_back(e.path());
  for (const fs::path& f : doomed) fs::remove(f, ec);
  return static_cast<int>(doomed.size());
}

/* ---- helpers shared with the REST upload -------------------------------------------------- */

std::string MakeUniqueFile(const std::string& dir, const std::string& prefix, const std::string& suffix) {
  std::string tmpl = dir + "/" + prefix + "XXXXXX" + suffix;
  const int fd = ::mkstemps(tmpl.data(), static_cast<int>(suffix.size()));
  if (fd < 0) throw std::runtime_error("Cannot create a file in " + dir + ": " + ErrnoText(errno));
  ::close(fd);
  return tmpl;
}

std::string MakeUniqueDir(const std::string& dir, const std::string& prefix) {
  std::string tmpl = dir + "/" + prefix + "XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("Cannot create a directory in " + dir + ": " + ErrnoText(errno));
  return tmpl;
}

std::string StagingTimeStamp() { return LocalStamp("%04d%02d%02d-%02d%02d%02d", true); }

/* ---- backup, restore, replacement ------------------------------------------------------------ */

std::string TOVPluginInstaller::BackupExisting(const std::string& name, const std::string& binary,
                                               const std::string& target_dir) {
  const fs::path parent = fs::path(backup_dir_) / name;
  // Two updates within one second get directories of their own.
  const std::string base = (parent / LocalStamp("%04d%02d%02d_%02d%02d%02d", false)).string();
  std::string dir = base;
  for (int n = 2; Exists(dir); ++n) dir = base + "_" + std::to_string(n);
  fs::create_directories(parent);
  // Filled under a hidden name and renamed when complete: a crash never leaves a backup that
  // looks whole and is not.
  const std::string partial = MakeUniqueDir(parent.string(), kPartialBackup);
  try {
    fs::permissions(partial, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    CopyInstalledFiles(name, binary, target_dir, partial);
    if (::rename(partial.c_str(), dir.c_str()) != 0) throw std::runtime_error("Cannot create " + dir + ": " + ErrnoText(errno));
    SyncDir(parent);
  } catch (...) {
    RemoveDirectory(partial);
    throw;
  }
  if (IsFile(fs::path(dir) / binary)) LogInfo("Backed up %s to %s", binary, dir);
  return dir;
}

void TOVPluginInstaller::RestoreBackup(const std::string& name, const std::string& binary,
                                       const std::string& target_dir, const std::string& backup_dir) {
  fs::path dir = backup_dir;
  if (dir.empty()) {
    std::error_code ec;
    fs::file_time_type newest{};
    for (const auto& e : fs::directory_iterator(fs::path(backup_dir_) / name, ec)) {
      // A hidden directory is a backup that was never finished.
      if (!IsDir(e.path()) || e.path().filename().string().front() == '.') continue;
      const fs::file_time_type t = fs::last_write_time(e.path(), ec);
      if (!ec && (dir.empty() || t > newest)) {
        dir = e.path();
        newest = t;
      }
    }
    if (dir.empty()) return;
  }
  LogWarning("Restoring backup for %s from %s", name, dir.string());
  const fs::path t(target_dir);
  if (IsFile(dir / binary)) ReplaceFileAtomic((dir / binary).string(), (t / binary).string());
  if (IsFile(dir / kManifest)) {
    fs::create_directories(t / name);
    ReplaceFileAtomic((dir / kManifest).string(), (t / name / kManifest).string());
  }
  for (const char* sub : {"web", "lang"}) {
    if (!IsDir(dir / sub)) continue;
    fs::create_directories(t / name / sub);
    for (const fs::path& f : TopLevelFiles(dir / sub)) ReplaceFileAtomic(f.string(), (t / name / sub / f.filename()).string());
  }
}

void TOVPluginInstaller::ReplaceFileAtomic(const std::string& src, const std::string& dst) {
  RenameOver(WriteTempBeside(dst, &src, {}), dst);
}

void TOVPluginInstaller::RemoveDirectory(const std::string& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace ov
