#include "ov_plugin_installer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
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
#include "ov_plugin_updates.h"
#include "ov_multipart.h"
#include "ov_server_state.h"
#include "ov_static_files.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

TOVService<TOVPluginInstaller> PluginInstaller{"PluginInstaller"};

namespace {

constexpr const char* kManifest = "plugin.json";
constexpr const char* kChecksums = "CHECKSUMS.sha256";
constexpr const char* kPlatform = "linux-x86_64";
// An install's journal, in its staging directory.
constexpr const char* kJournal = "install.journal";
// A backup is filled under this hidden name and renamed when complete.
constexpr const char* kPartialBackup = ".partial-";
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

// The library's file name a manifest declares: "platforms"."linux-x86_64"."binary", then
// "binaries"."linux-x86_64", then "files"."binary", else lib<name>.so.
std::string DeclaredLibrary(const TJSON& manifest, const std::string& name) {
  std::string b = NestedStr(manifest, {"platforms", kPlatform, "binary"});
  if (b.empty()) b = NestedStr(manifest, {"binaries", kPlatform});
  if (b.empty()) b = NestedStr(manifest, {"files", "binary"});
  if (b.empty()) b = "lib" + name + ".so";
  return b;
}

// A plug-in installed in a target directory as its manifest describes it:
// <target>/<directory>/plugin.json's "name" (default: the directory's name) and the library it
// declares.
struct TManifestEntry {
  std::string name;
  std::string library;
};

// The manifests of the plug-ins installed in t (those that are readable objects).
std::vector<TManifestEntry> InstalledManifests(const fs::path& t) {
  std::vector<TManifestEntry> out;
  std::error_code ec;
  for (const auto& d : fs::directory_iterator(t, ec)) {
    if (!IsDir(d.path())) continue;
    std::string why;
    const std::optional<std::string> text = ReadTextFile(d.path() / kManifest, why);
    const std::optional<TJSON> m = text ? ParseJson(*text) : std::nullopt;
    if (!m || !m->is_object()) continue;
    const std::string name = JStr(*m, "name", d.path().filename().string());
    out.push_back({name, DeclaredLibrary(*m, name)});
  }
  return out;
}

// The names of the folders in t.
std::vector<std::string> PluginFolders(const fs::path& t) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& d : fs::directory_iterator(t, ec))
    if (IsDir(d.path())) out.push_back(d.path().filename().string());
  return out;
}

// The update-list rows of the plug-in name in any letter case (the registry lists it in its own
// spelling), as (listed name, latest version).
std::vector<std::pair<std::string, std::string>> ListedUpdates(TOVWriteQuery& q, const std::string& name) {
  std::vector<std::pair<std::string, std::string>> out;
  q.SetSQL("SELECT plugin_name, latest_version FROM plugin_updates");
  q.Open();
  for (; !q.Eof(); q.Next())
    if (EqualsIgnoreCase(q.Str("plugin_name"), name)) out.emplace_back(q.Str("plugin_name"), q.Str("latest_version"));
  q.Close();
  return out;
}

// The same file, once symbolic links and "." and ".." are resolved.
bool SamePath(const fs::path& a, const fs::path& b) {
  std::error_code ea, eb;
  const fs::path ca = fs::weakly_canonical(a, ea), cb = fs::weakly_canonical(b, eb);
  return !ea && !eb && ca == cb;
}

// The library the loaded plug-in name runs from, when it lies directly in dir; "" otherwise.
fs::path LoadedLibraryIn(const TOVPluginManager& mgr, const std::string& name, const fs::path& dir) {
  const fs::path loaded = mgr.GetPluginLibPath(name);
  return !loaded.empty() && SamePath(loaded.parent_path(), dir) ? loaded : fs::path();
}

// The plug-in loaded from the library lib, when one is.
std::optional<TOVBaseLoadedPlugin> LoadedFrom(const TOVPluginManager& mgr, const fs::path& lib) {
  for (int i = 0, n = mgr.GetPluginCount(); i < n; ++i) {
    std::optional<TOVBaseLoadedPlugin> e = mgr.GetPluginIndex(i);
    if (e && !e->LibPath.empty() && SamePath(e->LibPath, lib)) return e;
  }
  return std::nullopt;
}

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

/* ---- files that reach the disk whole ---------------------------------------------------- */

// Flushes a directory's entries (names made, renamed or removed in it) to disk.
void SyncDir(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open " + dir.string() + ": " + ErrnoText(errno));
  FdCloser closer{fd};
  // A file system that cannot flush a directory makes its renames as durable as it can.
  if (::fsync(fd) != 0 && errno != EINVAL) throw std::runtime_error("Cannot flush " + dir.string() + ": " + ErrnoText(errno));
}

// SyncDir for the directories that exist, failures ignored: for states that are already
// correct in memory and are only made more durable.
void SyncDirsQuietly(const std::vector<fs::path>& dirs) {
  for (const fs::path& d : dirs) {
    try {
      if (IsDir(d)) SyncDir(d);
    } catch (const std::exception&) {
    }
  }
}

// A new temporary file beside dst holding the bytes of the file src (or text when src is
// null), mode 0644, flushed to disk; returns its path.  Its name, "." + name + ".new.XXXXXX",
// is hidden, ends in no ".so" and is never served.  Leaves nothing behind when it throws.
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

// Renames tmp over dst; on failure tmp is removed and the replacement error thrown.
void RenameOver(const std::string& tmp, const std::string& dst) {
  if (::rename(tmp.c_str(), dst.c_str()) == 0) return;
  ::unlink(tmp.c_str());
  throw std::runtime_error(Format("Unable to replace %s (rename failed \xE2\x80\x94 check directory permissions)", dst));
}

// Copies the installed library, plugin.json and top-level web and lang files of a plug-in
// into dir (made when missing), flushed to disk.  True when there was anything to copy.
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

// Removes the temporary files of replacements a stopped server left in a plug-in directory:
// beside the libraries, in each plug-in's directory and in its web and lang directories.
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

TOVHttpClientOptions PackageDownloadOptions() {
  return {.connect_timeout = std::chrono::seconds(15),
          .io_timeout = std::chrono::seconds(60),
          .total_timeout = std::chrono::minutes(10)};
}

TOVPluginInstaller::TOVPluginInstaller(std::string plugin_dir, const std::string& data_dir,
                                       TOVInstallStepObserver observer, const TOVHttpClientOptions& download)
    : staging_dir_(data_dir + "/staging"),
      backup_dir_(data_dir + "/backups"),
      plugin_dir_(std::move(plugin_dir)),
      http_options_(download),
      observer_(std::move(observer)) {
  fs::create_directories(staging_dir_);
  fs::create_directories(backup_dir_);
  http_options_.cancel = &cancel_;
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

/* ---- the install journal ------------------------------------------------------------------ */

// What the next start needs to finish or undo an install: written before the first installed
// file is touched, and again, with the last file's temporary, once everything else is in place.
struct TOVPluginInstaller::TJournal {
  struct TFile {
    std::string path;
    bool existed = false;  // there was a file to save (and restore) before
  };
  std::string plugin;
  std::string binary;
  std::string target;             // absolute
  std::string prior;              // the saved copies (a backup layout), "" when nothing was saved
  std::vector<TFile> files;       // absolute, in the order written; the last one commits
  std::vector<std::string> dirs;  // made by the install, parents first
  // The last file's complete temporary, by its identity: once the last file is this very file,
  // the install is done.
  std::string commit_temp;
  std::uint64_t commit_dev = 0;
  std::uint64_t commit_ino = 0;

  TJSON ToJson() const {
    TJSON files_json = TJSON::array();
    for (const TFile& f : files) files_json.push_back({{"path", f.path}, {"existed", f.existed}});
    TJSON j = {{"plugin", plugin}, {"binary", binary}, {"target", target}, {"prior", prior},
               {"files", std::move(files_json)}, {"dirs", dirs}};
    if (!commit_temp.empty()) j["commit"] = {{"temp", commit_temp}, {"dev", commit_dev}, {"ino", commit_ino}};
    return j;
  }

  // nullopt when j is not a journal this server wrote.
  static std::optional<TJournal> FromJson(const TJSON& j) {
    TJournal out;
    if (!j.is_object()) return std::nullopt;
    out.plugin = JStr(j, "plugin");
    out.binary = JStr(j, "binary");
    out.target = JStr(j, "target");
    out.prior = JStr(j, "prior");
    const auto files = j.find("files");
    const auto dirs = j.find("dirs");
    if (out.plugin.empty() || out.target.empty() || files == j.end() || !files->is_array() || files->empty() ||
        dirs == j.end() || !dirs->is_array())
      return std::nullopt;
    for (const TJSON& f : *files) {
      if (!f.is_object() || JStr(f, "path").empty()) return std::nullopt;
      out.files.push_back({JStr(f, "path"), JBool(f, "existed")});
    }
    for (const TJSON& d : *dirs) {
      if (!d.is_string()) return std::nullopt;
      out.dirs.push_back(d.get<std::string>());
    }
    if (const auto c = j.find("commit"); c != j.end() && c->is_object()) {
      out.commit_temp = JStr(*c, "temp");
      out.commit_dev = static_cast<std::uint64_t>(JInt(*c, "dev"));
      out.commit_ino = static_cast<std::uint64_t>(JInt(*c, "ino"));
    }
    return out;
  }

  // The last file is in place.
  bool Committed() const {
    struct stat st {};
    return !commit_temp.empty() && ::lstat(files.back().path.c_str(), &st) == 0 && st.st_dev == commit_dev &&
           st.st_ino == commit_ino;
  }

  // Replaces the journal file at path, flushed with its directory.
  void Write(const fs::path& path) const {
    RenameOver(WriteTempBeside(path, nullptr, JsonSpaced(ToJson())), path.string());
    SyncDir(path.parent_path());
  }

  // The directories holding the files and the ones made.
  std::vector<fs::path> Dirs() const {
    std::vector<fs::path> out{target};
    for (const TFile& f : files)
      if (std::find(out.begin(), out.end(), fs::path(f.path).parent_path()) == out.end())
        out.push_back(fs::path(f.path).parent_path());
    return out;
  }
};

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

/* ---- install -------------------------------------------------------------------------------- */

void TOVPluginInstaller::InstallFiles(const std::string& root, const std::string& name,
                                      const std::string& package_binary, const std::string& binary,
                                      const std::string& target_dir, bool has_web, bool has_lang,
                                      const std::string& prior, const std::string& staging, bool& keep_staging) {
  const fs::path r(root), t = fs::absolute(target_dir);
  TJournal j;
  j.plugin = name;
  j.binary = binary;
  j.target = t.string();
  j.prior = prior;
  std::vector<fs::path> sources;
  auto plan = [&](const fs::path& src, const fs::path& dst) {
    sources.push_back(src);
    j.files.push_back({dst.string(), Exists(dst)});
  };
  if (IsFile(r / kManifest)) plan(r / kManifest, t / name / kManifest);
  for (const auto& [sub, wanted] : {std::pair{"web", has_web}, std::pair{"lang", has_lang}}) {
    if (!wanted || !IsDir(r / sub)) continue;
    for (const fs::path& f : TopLevelFiles(r / sub)) plan(f, t / name / sub / f.filename());
  }
  // The library last: its arrival is the moment the new version exists.
  const bool has_library = IsFile(r / package_binary);
  if (has_library)
    plan(r / package_binary, t / binary);
  else
    LogWarning("Binary %s not found in package \xE2\x80\x94 plugin may not load", package_binary);
  if (j.files.empty()) return;
  const std::vector<fs::path> dirs = j.Dirs();
  for (const fs::path& d : dirs)
    if (!Exists(d)) j.dirs.push_back(d.string());

  const fs::path journal = fs::path(staging) / kJournal;
  SyncDir(staging_dir_);  // the staging directory itself is found again after a crash
  j.Write(journal);
  Notify("journal");
  try {
    for (const fs::path& d : dirs) fs::create_directories(d);
    for (std::size_t i = 0; i + 1 < j.files.size(); ++i) {
      ReplaceFileAtomic(sources[i].string(), j.files[i].path);
      Notify("file " + fs::path(j.files[i].path).lexically_relative(t).string());
    }
    // Everything but the last file on disk before the last one may arrive.
    for (const fs::path& d : dirs) SyncDir(d);
    if (!j.dirs.empty() && j.dirs.front() == t.string()) SyncDir(t.parent_path());
    j.commit_temp = WriteTempBeside(j.files.back().path, &sources.back().native(), {});
    struct stat st {};
    if (::lstat(j.commit_temp.c_str(), &st) != 0) throw std::runtime_error("Cannot read " + j.commit_temp + ": " + ErrnoText(errno));
    j.commit_dev = static_cast<std::uint64_t>(st.st_dev);
    j.commit_ino = static_cast<std::uint64_t>(st.st_ino);
    j.Write(journal);
    Notify("ready");
    RenameOver(j.commit_temp, j.files.back().path);
  } catch (const std::exception&) {
    if (!prior.empty()) LogWarning("Install failed, restoring backup for %s", name);
    try {
      if (!j.commit_temp.empty()) ::unlink(j.commit_temp.c_str());
      RollBack(j);
      fs::remove(journal);
    } catch (const std::exception& e) {
      LogError("Rolling back the install of %s failed: %s (tried again at the next start)", name, e.what());
      keep_staging = true;
    }
    throw;
  }
  SyncDirsQuietly({fs::path(j.files.back().path).parent_path()});
  if (has_library) LogInfo("Installed %s to %s", binary, target_dir);
  Notify("committed");
  std::error_code ec;
  fs::remove(journal, ec);
  Notify("finished");
}

void TOVPluginInstaller::RollBack(const TJournal& j) {
  std::error_code ec;
  for (auto it = j.files.rbegin(); it != j.files.rend(); ++it)
    if (!it->existed && !IsDir(it->path)) fs::remove(it->path, ec);
  if (!j.prior.empty() && IsDir(j.prior)) RestoreBackup(j.plugin, j.binary, j.target, j.prior);
  for (auto it = j.dirs.rbegin(); it != j.dirs.rend(); ++it) fs::remove(*it, ec);  // only when empty
  // On disk before the journal that would redo this is removed.
  SyncDirsQuietly(j.Dirs());
  SyncDirsQuietly({fs::path(j.target).parent_path()});
}

std::string TOVPluginInstaller::OwnerOf(const std::string& file, const std::string& name, const std::string& target_dir) {
  const fs::path t(target_dir);
  if (auto mgr = PluginMgr.Get()) {
    for (int i = 0, n = mgr->GetPluginCount(); i < n; ++i) {
      const std::optional<TOVBaseLoadedPlugin> e = mgr->GetPluginIndex(i);
      if (e && !EqualsIgnoreCase(e->Name, name) && !e->LibPath.empty() && SamePath(e->LibPath, t / file)) return e->Name;
    }
  }
  // An installed plug-in's manifest names its library (the plug-in need not be loaded: a
  // library that failed to load, or plug-ins switched off).
  for (const TManifestEntry& m : InstalledManifests(t))
    if (!EqualsIgnoreCase(m.name, name) && m.library == file) return m.name;
  return {};
}

std::string LoadedPluginSpelling(const std::string& name) {
  if (auto mgr = PluginMgr.Get()) {
    for (int i = 0, n = mgr->GetPluginCount(); i < n; ++i) {
      const std::optional<TOVBaseLoadedPlugin> e = mgr->GetPluginIndex(i);
      if (e && EqualsIgnoreCase(e->Name, name)) return e->Name;
    }
  }
  return {};
}

std::string TOVPluginInstaller::InstalledSpelling(const std::string& name, const std::string& target_dir) {
  if (std::string loaded = LoadedPluginSpelling(name); !loaded.empty()) return loaded;
  const fs::path t(target_dir);
  for (const TManifestEntry& m : InstalledManifests(t))
    if (EqualsIgnoreCase(m.name, name) && IsFile(t / m.library)) return m.name;
  // A folder spelt otherwise would become a twin of the package's own (and the loader reads a
  // plug-in's version from the folder of its exact name).
  std::string folder;
  for (const std::string& d : PluginFolders(t)) {
    if (d == name) return d;
    if (folder.empty() && EqualsIgnoreCase(d, name)) folder = d;
  }
  return folder;
}

void TOVPluginInstaller::RecordInstalledVersion(const std::string& name, const std::string& version) {
  try {
    auto db = DB.Get();
    if (!db) return;
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("UPDATE plugin_state SET plugin_version = :pv, updated_at = " + db->NowExpr() + " WHERE plugin_name = :pn");
    q.Param("pv", version);
    q.Param("pn", name);
    q.ExecSQL();
    for (const auto& [listed, latest] : ListedUpdates(q, name)) {
      q.SetSQL("UPDATE plugin_updates SET installed_version = :v, has_update = :u WHERE plugin_name = :pn");
      q.Param("v", version);
      q.Param("u", std::int64_t{TOVPluginUpdateChecker::CompareVersions(version, latest) == 1 ? 1 : 0});
      q.Param("pn", listed);
      q.ExecSQL();
    }
    db->Commit();
  } catch (const std::exception& e) {
    LogWarning("Could not record version %s of plugin %s: %s", version, name, e.what());
  }
}

TOVInstallResult TOVPluginInstaller::InstallFromFile(const std::string& zip_path, const std::string& expected_name) {
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
    ~StagingGuard() {
      if (!dir.empty()) RemoveDirectory(dir);
    }
  } guard{staging};
  LogInfo("Extracting package to %s", staging);
  bool keep_staging = false;
  InstallStaged(zip_path, staging, expected_name, r, keep_staging);
  if (keep_staging) guard.dir.clear();
  return r;
}

void TOVPluginInstaller::InstallStaged(const std::string& zip_path, const std::string& staging,
                                       const std::string& expected_name, TOVInstallResult& r, bool& keep_staging) {
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
  // A registry entry's download must be the plug-in it was listed for: its busy check, update
  // row and audit entry are that plug-in's.
  if (!expected_name.empty() && !EqualsIgnoreCase(N, expected_name)) {
    r.ErrorMessage = Format("Package contains plugin %s, not the requested %s", N, expected_name);
    return;
  }
  r.PluginName = N;
  r.Version = V;
  const bool client = JStr(*manifest, "target", "server") == "client";

  std::string T = plugin_dir_;
  if (client) T = client_plugin_dir_;
  // Names are unique ignoring letter case, and a plug-in is known by its exact spelling (its
  // directory, its default library name, its stored state): a package spelt otherwise would
  // install a second copy beside the plug-in it claims to update.
  if (const std::string installed = InstalledSpelling(N, T); !installed.empty() && installed != N) {
    r.ErrorMessage =
        Format("Package contains plugin %s, but the installed plugin is %s (names differ only in letter case)", N, installed);
    r.Conflict = true;
    return;
  }

  std::string B = DeclaredLibrary(*manifest, N);
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
  auto mgr = PluginMgr.Get();
  // The plug-in is what its library says it is: its files, version and stored state go by the
  // manifest's name, the plug-in that loads by the library's.  A library the server cannot
  // load (nor a client plug-in's, which the server never loads) has no say here.
  if (mgr && !client && IsFile(root / B)) {
    std::string why;
    if (const std::optional<TOVPluginIdentity> id = mgr->ReadPluginIdentity((root / B).string(), why)) {
      if (id->Name != N) {
        r.ErrorMessage = Format("Package plugin.json names plugin %s, but its library %s is plugin %s", N, B, id->Name);
        return;
      }
    } else {
      LogWarning("Plugin %s: its library %s could not be loaded (%s)", N, B, why);
    }
  }
  if (client) {
    fs::create_directories(T);
    LogInfo("Plugin %s is a client plugin, installing to %s", N, T);
  }

  const bool update = mgr && mgr->IsPluginLoaded(N);
  r.Action = update ? TOVInstallAction::iaUpdated : TOVInstallAction::iaInstalled;
  // An update replaces the library the plug-in runs from, whatever the package calls it: a
  // second library reporting the same plug-in would leave the next start to pick one of the two
  // by directory order.
  std::string L = B;
  if (update)
    if (const fs::path loaded = LoadedLibraryIn(*mgr, N, T); !loaded.empty()) L = loaded.filename().string();
  if (L != B) LogInfo("Plugin %s runs from %s: the package's %s replaces it", N, L, B);
  // Replacing another plug-in's library would run that plug-in as this package's code.
  if (const std::string owner = OwnerOf(L, N, T); !owner.empty()) {
    r.ErrorMessage = Format("Package for %s would replace %s, which belongs to plugin %s", N, L, owner);
    return;
  }
  const bool has_web = IsDir(root / "web");
  const bool has_lang = IsDir(root / "lang");

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
  Notify("staged");

  // What the install replaces is saved first: an update's backup, or for a new install the
  // files an earlier one left (in staging, gone with it).
  std::string prior;
  try {
    if (update) {
      LogInfo("Backing up existing plugin: %s", N);
      prior = BackupExisting(N, L, T);
    } else if (CopyInstalledFiles(N, L, T, staging + "/prior")) {
      prior = staging + "/prior";
    }
  } catch (const std::exception& e) {
    // Nothing has been replaced yet: the installed version stays as it is.
    r.ErrorMessage = std::string("Failed to install files: ") + e.what();
    return;
  }
  Notify("backup");

  LogInfo("Installing plugin files: %s v%s", N, V);
  try {
    InstallFiles(R, N, B, L, T, has_web, has_lang, prior, staging, keep_staging);
  } catch (const std::exception& e) {
    r.ErrorMessage = std::string("Failed to install files: ") + e.what();
    return;
  }

  // The version recorded is that of what is installed: a client plug-in's (for the nodes), the
  // update's (the old library runs until the restart), or that of the plug-in that loaded from
  // the new library.
  std::optional<std::string> installed_version;
  if (client) installed_version = V;
  if (mgr) {
    if (update) {
      mgr->SetPluginVersion(N, V);
      installed_version = V;
      RequestRestart("Updated: " + N + " v" + V);
    } else {
      LogInfo("Scanning for newly installed plugin: %s", N);
      try {
        mgr->ScanNewPlugins();
      } catch (const std::exception& e) {
        LogWarning("Plugin %s scan failed: %s (will load on restart)", N, e.what());
      }
      const std::optional<TOVBaseLoadedPlugin> loaded = LoadedFrom(*mgr, fs::path(T) / L);
      if (loaded) {
        r.PluginName = loaded->Name;
        r.Version = loaded->Version;
        installed_version = loaded->Version;
      } else if (!client) {
        LogWarning("Plugin %s v%s was installed but did not load", N, V);
      }
    }
  }
  if (installed_version) RecordInstalledVersion(r.PluginName, *installed_version);
  r.Success = true;
  LogInfo("Plugin %s v%s %s successfully", N, V, update ? "updated" : "installed");
}

/* ---- recovery at start-up --------------------------------------------------------------------- */

void TOVPluginInstaller::RecoverInterruptedInstalls() {
  TOVLockGuard g(lock_);
  std::error_code ec;
  std::vector<fs::path> leftovers;
  for (const auto& e : fs::directory_iterator(staging_dir_, ec)) leftovers.push_back(e.path());
  int removed = 0;
  for (const fs::path& p : leftovers) {
    const fs::path journal = p / kJournal;
    if (IsDir(p) && Exists(journal)) {
      std::string why = "not an install journal";
      std::optional<TJournal> j;
      if (const std::optional<std::string> text = ReadTextFile(journal, why))
        if (const std::optional<TJSON> doc = ParseJson(*text)) j = TJournal::FromJson(*doc);
      if (!j) {
        LogError("Cannot read install journal %s: %s (left in place)", journal.string(), why);
        continue;
      }
      try {
        if (j->Committed()) {
          LogInfo("Interrupted install of plugin %s had put its library in place: kept", j->plugin);
        } else {
          LogWarning("Rolling back interrupted install of plugin %s", j->plugin);
          RollBack(*j);
        }
        // The journal goes before the saved copies it points to.
        fs::remove(journal);
      } catch (const std::exception& e) {
        LogError("Rolling back the install of %s failed: %s (tried again at the next start)", j->plugin, e.what());
        continue;
      }
    }
    RemoveDirectory(p.string());
    ++removed;
  }
  if (removed > 0) LogInfo("Removed %d leftover(s) of interrupted installs from %s", removed, staging_dir_);

  // Backups an update was still writing.
  std::vector<fs::path> partial;
  for (const auto& n : fs::directory_iterator(backup_dir_, ec)) {
    std::error_code ec2;
    for (const auto& b : fs::directory_iterator(n.path(), ec2))
      if (b.path().filename().string().rfind(kPartialBackup, 0) == 0) partial.push_back(b.path());
  }
  for (const fs::path& p : partial) RemoveDirectory(p.string());

  // Temporaries of replacements the stopped server was writing.
  for (const std::string& t : {plugin_dir_, client_plugin_dir_})
    if (const int n = RemoveTemporaries(t); n > 0) LogInfo("Removed %d unfinished file(s) from %s", n, t);
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
  return InstallFromFile(file, name);
}

std::string TOVPluginInstaller::InstalledNameForRemoval(const std::string& name, std::string& error) const {
  if (std::string loaded = LoadedPluginSpelling(name); !loaded.empty()) return loaded;
  const fs::path t(plugin_dir_);
  const std::vector<std::function<std::vector<std::string>()>> sources = {
      [&] {
        std::vector<std::string> names;
        for (const TManifestEntry& m : InstalledManifests(t)) names.push_back(m.name);
        return names;
      },
      [&] { return PluginFolders(t); },
      [] {
        std::vector<std::string> names;
        if (auto db = DB.Get()) {
          TOVWriteQuery q = db->NewQuery();
          q.SetSQL("SELECT plugin_name FROM plugin_state");
          q.Open();
          for (; !q.Eof(); q.Next()) names.push_back(q.Str("plugin_name"));
        }
        return names;
      },
  };
  for (const auto& source : sources) {
    std::vector<std::string> found;
    for (const std::string& n : source()) {
      // A name that is no safe name (a hand-edited plugin.json) never becomes a path to remove.
      if (!EqualsIgnoreCase(n, name) || !IsSafeName(n)) continue;
      if (n == name) return n;
      if (std::find(found.begin(), found.end(), n) == found.end()) found.push_back(n);
    }
    std::sort(found.begin(), found.end());
    if (found.size() > 1) {
      error = Format("Plugin name %s is ambiguous: installed as %s and %s", name, found[0], found[1]);
      return {};
    }
    if (found.size() == 1) return found[0];
  }
  return name;
}

TOVInstallResult TOVPluginInstaller::UninstallPlugin(const std::string& name, bool purge_data) {
  TOVInstallResult r;
  r.PluginName = name;
  if (!IsSafeName(name)) {
    r.ErrorMessage = "Invalid plugin name";
    return r;
  }
  TOVLockGuard g(lock_);
  // Everything below goes by the installed spelling: the plug-in's directory, default library
  // name and rows are its own, and another spelling would remove nothing while answering
  // "uninstalled".
  const std::string N = InstalledNameForRemoval(name, r.ErrorMessage);
  if (N.empty()) {
    r.Conflict = true;
    return r;
  }
  r.PluginName = N;
  const fs::path dir(plugin_dir_);
  fs::path lib = dir / ("lib" + N + ".so");
  if (auto mgr = PluginMgr.Get(); mgr && mgr->IsPluginLoaded(N)) {
    // The library the plug-in really came from, when it is one of the plug-in directory's.
    if (const fs::path loaded = LoadedLibraryIn(*mgr, N, dir); !loaded.empty()) lib = loaded;
    std::string why;
    try {
      why = mgr->UnloadPlugin(N);
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (!why.empty()) {
      r.ErrorMessage = "Failed to unload plugin: " + why;
      return r;
    }
    LogInfo("Unloaded plugin: %s", N);
  }
  if (IsFile(lib)) {
    std::error_code ec;
    fs::remove(lib, ec);
    LogInfo("Removed %s", lib.string());
  }
  RemoveDirectory((dir / N / "web").string());
  RemoveDirectory((dir / N / "lang").string());
  {
    std::error_code ec;
    if (IsDir(dir / N) && fs::is_empty(dir / N, ec)) fs::remove(dir / N, ec);
  }
  try {
    if (auto db = DB.Get()) {
      TOVWriteQuery q = db->NewQuery();
      const std::vector<std::pair<std::string, std::string>> listed = ListedUpdates(q, N);
      std::vector<std::pair<std::string, std::string>> statements;
      if (purge_data) statements.emplace_back("DELETE FROM plugin_state WHERE plugin_name = :pn", N);
      statements.emplace_back("DELETE FROM system_scheduler WHERE plugin_name = :pn", N);
      statements.emplace_back("DELETE FROM scheduler_log WHERE plugin_name = :pn", N);
      for (const auto& [l, latest] : listed)
        statements.emplace_back("UPDATE plugin_updates SET installed_version = '', has_update = 0 WHERE plugin_name = :pn", l);
      for (const auto& [sql, pn] : statements) {
        q.SetSQL(sql);
        q.Param("pn", pn);
        q.ExecSQL();
      }
      db->Commit();
    }
  } catch (const std::exception& e) {
    LogWarning("Failed to remove plugin_state for %s: %s", N, e.what());
  }
  r.Success = true;
  LogInfo("Plugin %s uninstalled", N);
  return r;
}

/* ---- start-up and shutdown ---------------------------------------------------------------- */

void RecoverPluginInstalls() {
  TOVPluginInstaller(Config->PluginDir(), Config->DataDir()).RecoverInterruptedInstalls();
  if (const int n = RemoveStaleUploadFiles(DefaultUploadDir()); n > 0)
    LogInfo("Removed %d upload file(s) left by a stopped server", n);
}

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
