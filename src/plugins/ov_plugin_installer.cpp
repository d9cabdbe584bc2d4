#include "ov_plugin_installer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "ov_archiver.h"
#include "ov_clock.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_format.h"
#include "ov_log.h"
#include "ov_plugin_manager.h"
#include "ov_server_state.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

TOVService<TOVPluginInstaller> PluginInstaller{"PluginInstaller"};

namespace {

constexpr const char* kManifest = "plugin.json";
constexpr const char* kChecksums = "CHECKSUMS.sha256";
constexpr const char* kPlatform = "linux-x86_64";
// Text files of a package read into memory at most this large.
constexpr std::uintmax_t kMaxTextFile = 16u * 1024 * 1024;

std::string ErrnoText(int err) {
  char buf[256];
  return ::strerror_r(err, buf, sizeof buf);
}

// A descriptor closed with the scope.
struct FdCloser {
  int fd = -1;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

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

// The file's text, or nullopt when it is missing, unreadable or larger than kMaxTextFile.
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

// A text member at a path of nested objects ("" when any step is missing or not an object).
std::string NestedStr(const TJSON& o, std::initializer_list<const char*> path) {
  const TJSON* cur = &o;
  const char* last = nullptr;
  for (const char* key : path) {
    if (last) {
      const auto it = cur->find(last);
      if (it == cur->end() || !it->is_object()) return {};
      cur = &*it;
    }
    last = key;
  }
  return JStr(*cur, last);
}

// The names of plug-ins the manifest needs: "dependencies" as an array, or its "plugins" array.
std::vector<std::string> ManifestDependencies(const TJSON& m) {
  std::vector<std::string> out;
  const auto deps = m.find("dependencies");
  if (deps == m.end()) return out;
  const TJSON* list = &*deps;
  if (deps->is_object()) {
    const auto plugins = deps->find("plugins");
    if (plugins == deps->end()) return out;
    list = &*plugins;
  }
  if (!list->is_array()) return out;
  for (const TJSON& d : *list)
    if (d.is_string()) out.push_back(d.get<std::string>());
  return out;
}

// The first regular file of dir named lib*.so (directory order); "" when none.
std::string FindLibrary(const fs::path& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string n = e.path().filename().string();
    if (n.size() >= 6 && n.compare(0, 3, "lib") == 0 && n.compare(n.size() - 3, 3, ".so") == 0 && IsFile(e.path()))
      return n;
  }
  return {};
}

// The top-level regular files of dir.
std::vector<fs::path> TopLevelFiles(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (IsFile(e.path())) out.push_back(e.path());
  return out;
}

void CopyTopLevelFiles(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  for (const fs::path& f : TopLevelFiles(from)) fs::copy_file(f, to / f.filename(), fs::copy_options::overwrite_existing);
}

// Removes what a failed install added, newest first (directories only when empty).
void RemoveCreated(const std::vector<std::string>& created) {
  std::error_code ec;
  for (auto it = created.rbegin(); it != created.rend(); ++it) fs::remove(*it, ec);
}

// Creates dir and its missing parents, recording each one made.
void MakeDirs(const fs::path& dir, std::vector<std::string>& created) {
  std::vector<fs::path> missing;
  for (fs::path p = dir; !p.empty() && !Exists(p); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  fs::create_directories(dir);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) created.push_back(it->string());
}

}  // namespace

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

/* ---- checksums ---------------------------------------------------------------------------- */

std::vector<TOVChecksumLine> ParseChecksumList(std::string_view text) {
  std::vector<TOVChecksumLine> out;
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t e = text.find('\n', p);
    if (e == std::string_view::npos) e = text.size();
    const std::string line = TrimAscii(text.substr(p, e - p));
    p = e + 1;
    // A digest has 64 characters: a line whose first space comes earlier is not a checksum line.
    const std::size_t space = line.find(' ');
    if (line.empty() || space == std::string::npos || space < 63) continue;
    TOVChecksumLine l{ToLowerAscii(std::string_view(line).substr(0, space)), TrimAscii(std::string_view(line).substr(space + 1))};
    if (!l.file.empty() && (l.file[0] == '*' || l.file[0] == '.')) l.file.erase(0, 1);
    if (!l.file.empty() && l.file[0] == '/') l.file.erase(0, 1);
    out.push_back(std::move(l));
  }
  return out;
}

std::string Sha256File(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) throw std::runtime_error(ErrnoText(errno));
  FdCloser closer{fd};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 unavailable");
  std::vector<unsigned char> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(ErrnoText(errno));
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n));
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &len);
  return HexEncode(md, len);
}

/* ---- the installer ------------------------------------------------------------------------ */

TOVPluginInstaller::TOVPluginInstaller(std::string plugin_dir, const std::string& data_dir)
    : staging_dir_(data_dir + "/staging"), backup_dir_(data_dir + "/backups"), plugin_dir_(std::move(plugin_dir)) {
  fs::create_directories(staging_dir_);
  fs::create_directories(backup_dir_);
  http_options_.connect_timeout = std::chrono::milliseconds(15000);
  http_options_.io_timeout = std::chrono::milliseconds(60000);
}

bool TOVPluginInstaller::DownloadPackage(const std::string& url, const std::string& dest_path) {
  try {
    const TOVHttpClient client(http_options_);
    client.DownloadToFile(url, dest_path);
    return true;
  } catch (const EHttpStatusError& e) {
    LogWarning("Plugin download HTTP %d from %s", e.Status(), url);
  } catch (const std::exception& e) {
    LogWarning("Plugin download failed: %s (%s)", e.what(), url);
  }
  std::error_code ec;
  fs::remove(dest_path, ec);
  return false;
}

bool TOVPluginInstaller::VerifyChecksums(const std::string& root) {
  const fs::path list = fs::path(root) / kChecksums;
  if (!Exists(list)) {
    LogInfo("No CHECKSUMS.sha256 in package \xE2\x80\x94 skipping verification");
    return true;
  }
  std::string why;
  const std::optional<std::string> text = ReadTextFile(list, why);
  if (!text) {
    LogWarning("Cannot read CHECKSUMS.sha256: %s", why);
    return false;
  }
  for (const TOVChecksumLine& line : ParseChecksumList(*text)) {
    // Only files of the package are hashed: a name leading anywhere else is refused before
    // anything is read (a digest of an outside file must never reach the log).
    std::string rel;
    if (!NormaliseRelativePath(line.file, rel)) {
      LogWarning("Checksum file references a path outside the package: %s", line.file);
      return false;
    }
    const fs::path file = fs::path(root) / rel;
    if (!IsFile(file)) {
      LogWarning("Checksum file references missing file: %s", line.file);
      return false;
    }
    std::string actual;
    try {
      actual = Sha256File(file.string());
    } catch (const std::exception& e) {
      LogWarning("sha256sum failed for %s: %s", line.file, e.what());
      return false;
    }
    if (actual != line.digest) {
      LogError("Checksum mismatch for %s: expected %s, got %s", line.file, line.digest, actual);
      return false;
    }
  }
  LogInfo("All checksums verified for package in %s", root);
  return true;
}

std::optional<TJSON> TOVPluginInstaller::ValidateManifest(const std::string& root) {
  const fs::path file = fs::path(root) / kManifest;
  if (!Exists(file)) {
    LogWarning("No plugin.json in package");
    return std::nullopt;
  }
  std::string why;
  const std::optional<std::string> text = ReadTextFile(file, why);
  std::optional<TJSON> m = text ? ParseJson(*text) : std::nullopt;
  if (!m) {
    LogWarning("Invalid plugin.json: %s", text ? std::string("not valid JSON") : why);
    return std::nullopt;
  }
  if (!m->is_object()) {
    LogWarning("plugin.json is not a JSON object");
    return std::nullopt;
  }
  const std::int64_t api = JInt(*m, "api_version", 0);
  if (api > kInstallerApiVersion) {
    LogWarning("Plugin requires API version %d, server supports %d", api, kInstallerApiVersion);
    return std::nullopt;
  }
  return m;
}

std::string TOVPluginInstaller::BackupExisting(const std::string& name, const std::string& binary,
                                               const std::string& target_dir) {
  // Two updates within one second get directories of their own.
  const std::string base = backup_dir_ + "/" + name + "/" + LocalStamp("%04d%02d%02d_%02d%02d%02d", false);
  std::string dir = base;
  for (int n = 2; Exists(dir); ++n) dir = base + "_" + std::to_string(n);
  fs::create_directories(dir);
  const fs::path t(target_dir);
  if (IsFile(t / binary)) {
    fs::copy_file(t / binary, fs::path(dir) / binary, fs::copy_options::overwrite_existing);
    LogInfo("Backed up %s to %s", binary, dir);
  }
  // The manifest too: a restored library must not sit beside the failed version's manifest.
  if (IsFile(t / name / kManifest)) fs::copy_file(t / name / kManifest, fs::path(dir) / kManifest);
  for (const char* sub : {"web", "lang"})
    if (IsDir(t / name / sub)) CopyTopLevelFiles(t / name / sub, fs::path(dir) / sub);
  return dir;
}

void TOVPluginInstaller::RestoreBackup(const std::string& name, const std::string& binary,
                                       const std::string& target_dir, const std::string& backup_dir) {
  fs::path dir = backup_dir;
  if (dir.empty()) {
    std::error_code ec;
    fs::file_time_type newest{};
    for (const auto& e : fs::directory_iterator(fs::path(backup_dir_) / name, ec)) {
      if (!IsDir(e.path())) continue;
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
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw std::runtime_error("Cannot read " + src + ": " + ErrnoText(errno));
  FdCloser in_closer{in};
  std::string tmp = dst + ".new.XXXXXX";
  const int out = ::mkstemp(tmp.data());
  if (out < 0) throw std::runtime_error("Cannot create a file beside " + dst + ": " + ErrnoText(errno));
  FdCloser out_closer{out};
  auto fail = [&](const std::string& what) {
    ::unlink(tmp.c_str());
    throw std::runtime_error(what);
  };
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("Cannot read " + src + ": " + ErrnoText(errno));
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) fail("Cannot write " + tmp + ": " + ErrnoText(w < 0 ? errno : EIO));
      done += w;
    }
  }
  if (::fchmod(out, 0644) != 0 || ::fsync(out) != 0) fail("Cannot write " + tmp + ": " + ErrnoText(errno));
  out_closer.fd = -1;
  if (::close(out) != 0) fail("Cannot write " + tmp + ": " + ErrnoText(errno));
  if (::rename(tmp.c_str(), dst.c_str()) != 0)
    fail(Format("Unable to replace %s (rename failed \xE2\x80\x94 check directory permissions)", dst));
}

void TOVPluginInstaller::InstallFiles(const std::string& root, const std::string& name, const std::string& binary,
                                      const std::string& target_dir, bool has_web, bool has_lang,
                                      std::vector<std::string>& created) {
  const fs::path r(root), t(target_dir);
  auto place = [&](const fs::path& src, const fs::path& dst) {
    const bool existed = Exists(dst);
    ReplaceFileAtomic(src.string(), dst.string());
    if (!existed) created.push_back(dst.string());
  };
  if (IsFile(r / binary)) {
    MakeDirs(t, created);
    place(r / binary, t / binary);
    LogInfo("Installed %s to %s", binary, target_dir);
  } else {
    LogWarning("Binary %s not found in package \xE2\x80\x94 plugin may not load", binary);
  }
  if (IsFile(r / kManifest)) {
    MakeDirs(t / name, created);
    place(r / kManifest, t / name / kManifest);
  }
  for (const auto& [sub, wanted] : {std::pair{"web", has_web}, std::pair{"lang", has_lang}}) {
    if (!wanted || !IsDir(r / sub)) continue;
    MakeDirs(t / name / sub, created);
    for (const fs::path& f : TopLevelFiles(r / sub)) place(f, t / name / sub / f.filename());
  }
}

void TOVPluginInstaller::RemoveDirectory(const std::string& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

TOVInstallResult TOVPluginInstaller::InstallFromFile(const std::string& zip_path) {
  TOVInstallResult r;
  if (!IsFile(zip_path)) {
    r.ErrorMessage = "ZIP file not found: " + zip_path;
    return r;
  }
  TOVLockGuard g(lock_);
  std::string staging;
  try {
    staging = MakeUniqueDir(staging_dir_, "upload-" + StagingTimeStamp() + "-");
  } catch (const std::exception& e) {
    LogWarning("Failed to extract plugin package: %s", e.what());
    r.ErrorMessage = "Failed to extract plugin package";
    return r;
  }
  struct StagingGuard {
    std::string dir;
    ~StagingGuard() { RemoveDirectory(dir); }
  } guard{staging};
  LogInfo("Extracting package to %s", staging);
  InstallStaged(zip_path, staging, r);
  return r;
}

void TOVPluginInstaller::InstallStaged(const std::string& zip_path, const std::string& staging, TOVInstallResult& r) {
  std::string why;
  if (!TOVArchiver::ExtractToDir(zip_path, staging, TArchiveFormat::afZIP, {}, &why)) {
    LogWarning("Failed to extract plugin package: %s", why);
    r.ErrorMessage = "Failed to extract plugin package";
    return;
  }

  // The content root: the archive root, or its only directory (a wrapper).
  fs::path root = staging;
  if (!Exists(root / kManifest)) {
    std::vector<fs::path> dirs;
    bool files = false;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root, ec)) {
      if (IsDir(e.path()))
        dirs.push_back(e.path());
      else
        files = true;
    }
    if (dirs.size() == 1 && !files) {
      root = dirs.front();
      LogInfo("ZIP has wrapper directory, using %s", root.string());
    }
  }
  const std::string R = root.string();

  if (!VerifyChecksums(R)) {
    r.ErrorMessage = "Checksum verification failed";
    return;
  }
  const std::optional<TJSON> manifest = ValidateManifest(R);
  if (!manifest) {
    r.ErrorMessage = "Invalid or incompatible plugin.json";
    return;
  }
  const std::string N = JStr(*manifest, "name");
  const std::string V = JStr(*manifest, "version");
  if (N.empty()) {
    r.ErrorMessage = "plugin.json missing \"name\" field";
    return;
  }
  if (V.empty()) {
    r.ErrorMessage = "plugin.json missing \"version\" field";
    return;
  }
  // The name becomes directories and the library's default name.
  if (!IsSafeName(N)) {
    LogWarning("Invalid plugin name in plugin.json: %s", N);
    r.ErrorMessage = "Invalid or incompatible plugin.json";
    return;
  }
  r.PluginName = N;
  r.Version = V;

  std::string T = plugin_dir_;
  if (JStr(*manifest, "target", "server") == "client") {
    T = client_plugin_dir_;
    fs::create_directories(T);
    LogInfo("Plugin %s is a client plugin, installing to %s", N, T);
  }

  std::string B = NestedStr(*manifest, {"platforms", kPlatform, "binary"});
  if (B.empty()) B = NestedStr(*manifest, {"binaries", kPlatform});
  if (B.empty()) B = NestedStr(*manifest, {"files", "binary"});
  if (B.empty()) B = "lib" + N + ".so";
  // One file name inside the target directory, nothing else.
  if (!IsSafeName(B)) {
    LogWarning("Invalid binary name in plugin.json: %s", B);
    r.ErrorMessage = "Invalid or incompatible plugin.json";
    return;
  }
  if (!Exists(root / B)) {
    if (const std::string found = FindLibrary(root); !found.empty()) {
      LogInfo("Binary %s not found, using %s", B, found);
      B = found;
    }
  }
  const bool has_web = IsDir(root / "web");
  const bool has_lang = IsDir(root / "lang");

  auto mgr = PluginMgr.Get();
  const bool update = mgr && mgr->IsPluginLoaded(N);
  r.Action = update ? TOVInstallAction::iaUpdated : TOVInstallAction::iaInstalled;

  if (mgr && !update) {
    std::string missing;
    for (const std::string& dep : ManifestDependencies(*manifest)) {
      if (mgr->IsPluginLoaded(dep)) continue;
      if (!missing.empty()) missing += ", ";
      missing += dep;
    }
    if (!missing.empty()) {
      r.ErrorMessage = "Missing required dependencies: " + missing + ". Install them first, then retry.";
      return;
    }
  }

  std::string backup;
  if (update) {
    LogInfo("Backing up existing plugin: %s", N);
    try {
      backup = BackupExisting(N, B, T);
    } catch (const std::exception& e) {
      // Nothing has been replaced yet: the installed version stays as it is.
      r.ErrorMessage = std::string("Failed to install files: ") + e.what();
      return;
    }
  }

  LogInfo("Installing plugin files: %s v%s", N, V);
  std::vector<std::string> created;
  try {
    InstallFiles(R, N, B, T, has_web, has_lang, created);
  } catch (const std::exception& e) {
    r.ErrorMessage = std::string("Failed to install files: ") + e.what();
    RemoveCreated(created);
    if (update) {
      LogWarning("Install failed, restoring backup for %s", N);
      try {
        RestoreBackup(N, B, T, backup);
      } catch (const std::exception& re) {
        LogError("Restoring backup for %s failed: %s", N, re.what());
      }
    }
    return;
  }

  if (mgr) {
    if (update) {
      mgr->SetPluginVersion(N, V);
      RequestRestart("Updated: " + N + " v" + V);
    } else {
      LogInfo("Scanning for newly installed plugin: %s", N);
      try {
        mgr->ScanNewPlugins();
      } catch (const std::exception& e) {
        LogWarning("Plugin %s scan failed: %s (will load on restart)", N, e.what());
      }
    }
  }
  r.Success = true;
  LogInfo("Plugin %s v%s %s successfully", N, V, update ? "updated" : "installed");
}

TOVInstallResult TOVPluginInstaller::InstallPlugin(const std::string& name, const std::string& version,
                                                   const std::string& url) {
  TOVInstallResult r;
  r.PluginName = name;
  r.Version = version;
  if (!IsSafeName(name)) {
    r.ErrorMessage = "Invalid plugin name";
    return r;
  }
  if (!IsSafeName(version)) {
    r.ErrorMessage = "Invalid plugin version";
    return r;
  }
  std::string file;
  try {
    file = MakeUniqueFile(staging_dir_, name + "-" + version + "-", ".ovp");
  } catch (const std::exception& e) {
    LogWarning("Plugin download failed: %s (%s)", e.what(), url);
    r.ErrorMessage = "Failed to download plugin package";
    return r;
  }
  struct FileGuard {
    std::string path;
    ~FileGuard() {
      std::error_code ec;
      fs::remove(path, ec);
    }
  } guard{file};
  LogInfo("Downloading plugin package: %s v%s", name, version);
  if (!DownloadPackage(url, file)) {
    r.ErrorMessage = "Failed to download plugin package";
    return r;
  }
  return InstallFromFile(file);
}

TOVInstallResult TOVPluginInstaller::UninstallPlugin(const std::string& name, bool purge_data) {
  TOVInstallResult r;
  r.PluginName = name;
  if (!IsSafeName(name)) {
    r.ErrorMessage = "Invalid plugin name";
    return r;
  }
  TOVLockGuard g(lock_);
  const fs::path dir(plugin_dir_);
  fs::path lib = dir / ("lib" + name + ".so");
  if (auto mgr = PluginMgr.Get(); mgr && mgr->IsPluginLoaded(name)) {
    // The library the plug-in really came from, when it is one of the plug-in directory's.
    const fs::path loaded = mgr->GetPluginLibPath(name);
    if (!loaded.empty() && loaded.parent_path().lexically_normal() == dir.lexically_normal()) lib = loaded;
    std::string why;
    try {
      why = mgr->UnloadPlugin(name);
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (!why.empty()) {
      r.ErrorMessage = "Failed to unload plugin: " + why;
      return r;
    }
    LogInfo("Unloaded plugin: %s", name);
  }
  if (IsFile(lib)) {
    std::error_code ec;
    fs::remove(lib, ec);
    LogInfo("Removed %s", lib.string());
  }
  RemoveDirectory((dir / name / "web").string());
  RemoveDirectory((dir / name / "lang").string());
  {
    std::error_code ec;
    if (IsDir(dir / name) && fs::is_empty(dir / name, ec)) fs::remove(dir / name, ec);
  }
  try {
    if (auto db = DB.Get()) {
      TOVWriteQuery q = db->NewQuery();
      std::vector<std::string> statements;
      if (purge_data) statements.push_back("DELETE FROM plugin_state WHERE plugin_name = :pn");
      statements.push_back("DELETE FROM system_scheduler WHERE plugin_name = :pn");
      statements.push_back("DELETE FROM scheduler_log WHERE plugin_name = :pn");
      statements.push_back("UPDATE plugin_updates SET installed_version = '', has_update = 0 WHERE plugin_name = :pn");
      for (const std::string& sql : statements) {
        q.SetSQL(sql);
        q.Param("pn", name);
        q.ExecSQL();
      }
      db->Commit();
    }
  } catch (const std::exception& e) {
    LogWarning("Failed to remove plugin_state for %s: %s", name, e.what());
  }
  r.Success = true;
  LogInfo("Plugin %s uninstalled", name);
  return r;
}

/* ---- start-up and shutdown ---------------------------------------------------------------- */

void StartupPluginInstaller() {
  const std::string data_dir = Config->DataDir();
  PluginInstaller.Publish(std::make_unique<TOVPluginInstaller>(Config->PluginDir(), data_dir));
  LogInfo("Plugin installer initialized (staging: %s/staging, backups: %s/backups)", data_dir, data_dir);
}

void ShutdownPluginInstaller(const TOVStepFn& step) {
  if (!PluginInstaller.Exists()) return;
  step("PluginInstaller.Free");
  PluginInstaller.Free();
}

}  // namespace ov
