#include "ov_script_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "ov_archiver.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_log.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_manager.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

TOVService<TOVScriptManager> ScriptMgr{"ScriptMgr"};

namespace {

constexpr const char* kDoorsPlugin = "doors";
// Names of what an install or uninstall keeps in S while it runs (see the header).
constexpr std::string_view kWorkPrefix = "ov_pkg_";
constexpr std::string_view kUploadPrefix = "ov_upload_";
// An uninstall moves the package directory into ov_del_*/<type dir>/<name> before its row goes:
// a holder found at start-up is an uninstall that was decided, and is completed.
constexpr std::string_view kDeletePrefix = "ov_del_";
constexpr std::string_view kOldPrefix = "ov_old_";
constexpr std::size_t kMaxNameChars = 50;
// A manifest is a few lines; the archive's caps alone would let one be read whole at 512 MiB.
constexpr std::size_t kMaxManifestBytes = 1 << 20;

struct TTypeDir {
  const char* type;
  const char* dir;
};
// In start-up registration order.
constexpr TTypeDir kTypeDirs[] = {
    {"door", "doors"}, {"menu", "menus"}, {"event", "events"}, {"scheduled", "scheduled"}};

const TTypeDir* FindType(std::string_view type) {
  for (const TTypeDir& t : kTypeDirs)
    if (type == t.type) return &t;
  return nullptr;
}

bool IsDoor(std::string_view type) { return type == "door"; }

/* ---- files -------------------------------------------------------------------------------- */

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A regular file, also through a link: a package placed by hand may link its entry.
bool IsFileOrLinkToOne(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ErrnoMessage(int err) { return std::generic_category().message(err); }

// The names in dir ("." and ".." excluded) in directory order; none when it cannot be read.
std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

// Removes name below the directory open as parent_fd: a file or a link at once, a directory
// after its contents.  Links are never followed: the directory is opened with O_NOFOLLOW.
bool RemoveAt(int parent_fd, const char* name) {
  if (::unlinkat(parent_fd, name, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return false;
  }
  // Names first, removal after: a directory changed while it is read may skip entries.
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  bool ok = true;
  for (const std::string& n : names) ok = RemoveAt(::dirfd(d), n.c_str()) && ok;
  ::closedir(d);
  return (::unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) && ok;
}

// A directory removed at the end of a scope when it still exists.
struct TRemoveTreeOnExit {
  std::string path;
  ~TRemoveTreeOnExit() {
    if (!path.empty()) TOVScriptManager::DeleteDirectory(path);
  }
};

// A holder S/ov_old_*/<type dir>/<name> keeps what lay at S/<type dir>/<name> while an install
// replaces it.  Every directory whose place is empty (the new package never arrived, or was
// taken out again) is put back; then the holder goes with whatever is left in it.  Returns the
// places put back.
std::vector<std::string> SettleParked(const std::string& scripts_dir, const std::string& holder) {
  std::vector<std::string> restored;
  for (const TTypeDir& t : kTypeDirs) {
    const std::string slot = holder + "/" + t.dir;
    for (const std::string& name : ListNames(slot)) {
      const std::string place = scripts_dir + "/" + t.dir + "/" + name;
      if (Exists(place)) continue;
      if (::rename((slot + "/" + name).c_str(), place.c_str()) == 0)
        restored.push_back(place);
      else
        LogWarning("Cannot put back %s: %s", place, ErrnoMessage(errno));
    }
  }
  TOVScriptManager::DeleteDirectory(holder);
  return restored;
}

// The text of a manifest file (a regular file, at most kMaxManifestBytes).
bool ReadManifestText(const std::string& path, std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    error = "Package missing package.json manifest";
    return false;
  }
  bool ok = static_cast<std::uint64_t>(st.st_size) <= kMaxManifestBytes;
  if (!ok) error = "Invalid JSON: package.json is larger than 1 MiB";
  text.clear();
  char buf[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0 || text.size() + static_cast<std::size_t>(n) > kMaxManifestBytes) {
      error = n < 0 ? "Package missing package.json manifest" : "Invalid JSON: package.json is larger than 1 MiB";
      ok = false;
      break;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ok;
}

/* ---- manifests and rows ------------------------------------------------------------------- */

// What a manifest says, as install and start-up registration use it.
struct TPackageInfo {
  std::string name, version, type, display_name, description, author, entry, schema;
  std::int64_t min_security = 10;
  std::int64_t max_time = 60;
};

TPackageInfo ReadPackageInfo(const TJSON& m) {
  TPackageInfo p;
  p.name = ToLowerAscii(JStr(m, "name"));
  p.version = JStr(m, "version");
  p.type = ToLowerAscii(JStr(m, "type"));
  p.display_name = JStr(m, "display_name", p.name);
  p.description = JStr(m, "description");
  p.author = JStr(m, "author");
  p.entry = JStr(m, "entry");
  const auto settings = m.find("settings");
  p.schema = settings != m.end() && settings->is_object() ? JsonSpaced(*settings) : "{}";
  p.min_security = JInt(m, "min_security", 10);
  p.max_time = JInt(m, "max_time", 60);
  return p;
}

// The rules every package passes before its files are placed or its row is written: the name
// is one path component, the entry a relative path that stays inside the package (its
// normalised form in entry_rel).  "" when they hold, else the refusal.
std::string CheckName(const TPackageInfo& p) {
  return IsScriptPackageName(p.name) ? std::string() : "Invalid package name: " + p.name;
}
std::string CheckEntry(const TPackageInfo& p, std::string& entry_rel) {
  return NormaliseRelativePath(p.entry, entry_rel) ? std::string() : "Entry point not found in package: " + p.entry;
}

void InsertPackageRow(const TPackageInfo& p, const std::string& type, const std::string& install_path) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL(
      "INSERT INTO script_packages (name, version, pkg_type, display_name, description, author, entry_point, "
      "install_path, settings_schema) VALUES (:name, :ver, :ptype, :dname, :desc, :auth, :entry, :ipath, :schema)");
  q.Param("name", p.name);
  q.Param("ver", p.version);
  q.Param("ptype", type);
  q.Param("dname", p.display_name);
  q.Param("desc", p.description);
  q.Param("auth", p.author);
  q.Param("entry", p.entry);
  q.Param("ipath", install_path);
  q.Param("schema", p.schema);
  q.ExecSQL();
  db->Commit();
}

// Deletes the rows "WHERE <column> = :v" and commits.
template <class V>
void DeleteRowsWhere(const char* column, const V& value) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL(std::string("DELETE FROM script_packages WHERE ") + column + " = :v");
  q.Param("v", value);
  q.ExecSQL();
  db->Commit();
}
void DeleteRow(std::int64_t id) { DeleteRowsWhere("id", id); }
void DeleteRowAt(const std::string& install_path) { DeleteRowsWhere("install_path", install_path); }

struct TPackageRow {
  std::int64_t id = 0;
  std::string pkg_type;
  std::string install_path;
};

// The row of exactly this name.  The backend's own comparison may ignore case (MariaDB's
// collations), so rows are matched again here.
std::optional<TPackageRow> FindRow(const std::string& name) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("SELECT id, name, pkg_type, install_path FROM script_packages WHERE name = :n");
  q.Param("n", name);
  q.Open();
  for (; !q.Eof(); q.Next())
    if (q.Str("name") == name) return TPackageRow{q.Int("id"), q.Str("pkg_type"), q.Str("install_path")};
  return std::nullopt;
}

// Whether a row would conflict with a new one of this name, by the backend's own comparison
// (the one its unique index applies).
bool NameTaken(const std::string& name) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("SELECT COUNT(*) FROM script_packages WHERE name = :n");
  q.Param("n", name);
  q.Open();
  return !q.Eof() && q.Field(0).AsInt64(0) > 0;
}

// The name of the package recorded at exactly install_path, "" when there is none.
std::string PackageAt(const std::string& install_path) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("SELECT name, install_path FROM script_packages WHERE install_path = :p");
  q.Param("p", install_path);
  q.Open();
  for (; !q.Eof(); q.Next())
    if (q.Str("install_path") == install_path) return q.Str("name");
  return {};
}

TJSON PackageJSON(const TOVQueryBase& q) {
  TJSON o = TJSON::object();
  o["id"] = q.Int("id");
  for (const char* k : {"name", "version", "pkg_type", "display_name", "description", "author", "entry_point",
                        "install_path"})
    o[k] = q.Str(k);
  o["is_enabled"] = q.Int("is_enabled") == 1;
  o["settings_schema"] = q.Str("settings_schema");
  o["settings_values"] = q.Str("settings_values");
  o["installed_at"] = q.Str("installed_at");
  o["updated_at"] = q.Str("updated_at");
  return o;
}

/* ---- doors -------------------------------------------------------------------------------- */

TJSON DoorArgs(const TPackageInfo& p, const std::string& executable) {
  TJSON a = TJSON::object();
  a["name"] = p.name;
  a["display_name"] = p.display_name;
  a["description"] = p.description;
  a["executable"] = executable;
  a["door_type"] = "script";
  a["min_security"] = p.min_security;
  a["max_time"] = p.max_time;
  return a;
}

// One call of the doors plug-in; its reply is not used.  Nothing without a plug-in manager.
// The plug-in's exceptions pass on.
void CallDoors(const char* function, const TJSON& args) {
  auto mgr = PluginMgr.Get();
  if (!mgr) return;
  mgr->CallPluginFunction(kDoorsPlugin, function, &args);
}

// A door announcement that must not undo what was done (the package is in place, or its row is
// gone, either way), so a failure is only logged.
void AnnounceDoor(const std::string& name, const char* function, const TJSON& args) {
  try {
    CallDoors(function, args);
  } catch (const std::exception& e) {
    LogWarning("Door announcement failed for script package %s: %s", name, e.what());
  } catch (...) {
    LogWarning("Door announcement failed for script package %s: unknown exception", name);
  }
}

}  // namespace

/* ---- names and places ----------------------------------------------------------------------- */

bool IsScriptPackageName(std::string_view name) {
  if (!IsSafeName(name)) return false;
  std::size_t chars = 0;  // UTF-8 characters: bytes that do not continue a sequence
  for (const char c : name)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
  return chars <= kMaxNameChars;
}

TOVScriptManager::TOVScriptManager(std::string scripts_dir, TStepObserver observer)
    : scripts_dir_(std::move(scripts_dir)), observer_(std::move(observer)) {
  CreateDirectories();
  RecoverInterrupted();
  DropRowsWithoutFiles();
  SeedPackages();
}

void TOVScriptManager::Step(std::string_view step) const noexcept {
  if (observer_) observer_(step);
}

void TOVScriptManager::CreateDirectories() {
  for (const TTypeDir& t : kTypeDirs) {
    std::error_code ec;
    const std::string dir = scripts_dir_ + "/" + t.dir;
    fs::create_directories(dir, ec);
    if (ec) LogWarning("Cannot create script directory %s: %s", dir, ec.message());
  }
}

bool TOVScriptManager::PackageExists(const std::string& name) { return FindRow(name).has_value(); }

std::string TOVScriptManager::GetInstallPath(const std::string& pkg_type, const std::string& name) const {
  const TTypeDir* t = FindType(pkg_type);
  if (!t) throw std::invalid_argument("unknown script package type: " + pkg_type);
  return scripts_dir_ + "/" + t->dir + "/" + name;
}

std::string TOVScriptManager::ResolveScriptPath(const std::string& pkg_type, const std::string& name,
                                                const std::string& entry) const {
  return GetInstallPath(pkg_type, name) + "/" + entry;
}

bool TOVScriptManager::DeleteDirectory(const std::string& dir) {
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") return false;
  const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent_fd < 0) return errno == ENOENT;
  const bool ok = RemoveAt(parent_fd, base.c_str());
  ::close(parent_fd);
  return ok;
}

/* ---- manifest ----------------------------------------------------------------------------- */

bool TOVScriptManager::ParseManifest(std::string_view json_text, TJSON& manifest, std::string& error) {
  error.clear();
  TJSON v;
  std::string why;
  if (!ParseJsonText(json_text, v, why)) {
    error = "Invalid JSON: " + why;
    return false;
  }
  if (!v.is_object()) {
    error = "Manifest must be a JSON object";
    return false;
  }
  for (const char* key : {"name", "version", "type", "entry"}) {
    if (JStr(v, key).empty()) {
      error = std::string("Missing required field: ") + key;
      return false;
    }
  }
  manifest = std::move(v);
  return true;
}

/* ---- install and uninstall ---------------------------------------------------------------- */

std::string TOVScriptManager::MakeUploadFile() const {
  return MakeUniqueFile(scripts_dir_, std::string(kUploadPrefix), ".ovpkg");
}

bool TOVScriptManager::Install(const std::string& pkg_path, std::string& error) {
  error.clear();
  TPackageInfo p;
  {
    std::lock_guard g(lock_);
    // In S, so that the checked directory reaches its place by rename on the same file system.
    TRemoveTreeOnExit work{MakeUniqueDir(scripts_dir_, std::string(kWorkPrefix))};
    std::string why;
    if (!TOVArchiver::ExtractToDir(pkg_path, work.path, TArchiveFormat::afZIP, {}, &why)) {
      LogWarning("Script package refused: %s", why);
      error = "Failed to extract package (not a valid ZIP)";
      return false;
    }
    std::string text;
    TJSON manifest;
    if (!ReadManifestText(work.path + "/package.json", text, error) || !ParseManifest(text, manifest, error))
      return false;
    p = ReadPackageInfo(manifest);
    error = CheckName(p);
    if (!error.empty()) return false;
    const TTypeDir* type = FindType(p.type);
    if (!type) {
      error = "Invalid package type: " + p.type + " (expected door, menu, event, or scheduled)";
      return false;
    }
    std::string entry_rel;
    error = CheckEntry(p, entry_rel);
    if (error.empty() && !IsRegularFile(work.path + "/" + entry_rel))
      error = "Entry point not found in package: " + p.entry;
    if (!error.empty()) return false;
    if (NameTaken(p.name)) {
      error = "Package already installed: " + p.name;
      return false;
    }
    Step("install:unpacked");

    const std::string dest = GetInstallPath(p.type, p.name);
    // What lies there is replaced, unless it is the directory of another package (one placed
    // by hand under a directory name other than its package name).
    const std::string owner = PackageAt(dest);
    if (!owner.empty()) {
      LogWarning("Script package %s: %s belongs to package %s", p.name, dest, owner);
      error = "Failed to install package files";
      return false;
    }
    // What lies there is moved aside, not deleted, so that a crash leaves it or the new package
    // in that place, whole; start-up puts it back when the place is empty.
    std::string holder;
    if (Exists(dest)) {
      holder = MakeUniqueDir(scripts_dir_, std::string(kOldPrefix));
      const std::string slot = holder + "/" + type->dir;
      if (::mkdir(slot.c_str(), 0700) != 0 || ::rename(dest.c_str(), (slot + "/" + p.name).c_str()) != 0) {
        LogWarning("Script package %s: cannot move %s aside: %s", p.name, dest, ErrnoMessage(errno));
        SettleParked(scripts_dir_, holder);
        error = "Failed to install package files";
        return false;
      }
      Step("install:parked");
    }
    // The switch: from here on the package is installed (start-up registers it if its row is
    // missing).  Never unpacked straight into its place, where a crash would leave half of it.
    if (::rename(work.path.c_str(), dest.c_str()) != 0) {
      LogWarning("Script package %s: cannot move it to %s: %s", p.name, dest, ErrnoMessage(errno));
      if (!holder.empty()) SettleParked(scripts_dir_, holder);
      error = "Failed to install package files";
      return false;
    }
    ::chmod(dest.c_str(), 0755);  // mkdtemp made it private
    Step("install:placed");
    try {
      InsertPackageRow(p, p.type, dest);
    } catch (...) {
      // A row that cannot be written leaves no package behind for the next start to register:
      // the new files go back to the work directory (removed on leaving), and what they
      // replaced returns.
      if (::rename(dest.c_str(), work.path.c_str()) == 0)
        Step("install:withdrawn");
      else
        DeleteDirectory(dest);
      if (!holder.empty()) SettleParked(scripts_dir_, holder);
      throw;
    }
    Step("install:recorded");
    if (!holder.empty()) SettleParked(scripts_dir_, holder);
    Step("install:cleaned");
  }
  if (IsDoor(p.type))
    AnnounceDoor(p.name, "CreateDoorFromPackage", DoorArgs(p, ResolveScriptPath(p.type, p.name, p.entry)));
  LogInfo("Script package installed: %s v%s (%s)", p.name, p.version, p.type);
  return true;
}

bool TOVScriptManager::Uninstall(const std::string& name, std::string& error) {
  error.clear();
  std::optional<TPackageRow> row;
  {
    std::lock_guard g(lock_);
    row = FindRow(name);
  }
  if (!row) {
    error = "Package not found: " + name;
    return false;
  }
  // Before anything is removed: a doors plug-in that refuses keeps the package whole.
  if (IsDoor(row->pkg_type)) {
    TJSON args = TJSON::object();
    args["name"] = name;
    CallDoors("RemoveDoorByName", args);
  }
  {
    std::lock_guard g(lock_);
    // Another request may have removed (or replaced) it while the plug-in was called.
    const std::optional<TPackageRow> now = FindRow(name);
    if (!now || now->id != row->id) {
      error = "Package not found: " + name;
      return false;
    }
    // Moving the directory out of its place is the moment the package is gone: a crash after
    // it leaves the directory in an ov_del_ holder, from which start-up completes the
    // uninstall, and never half a directory.
    const std::string& path = now->install_path;
    std::string trash;  // a holder in S; the package directory becomes <trash>/<type dir>/<name>
    std::string parked;
    if (!path.empty() && Exists(path)) {
      const fs::path place(path);
      trash = MakeUniqueDir(scripts_dir_, std::string(kDeletePrefix));
      parked = trash + "/" + place.parent_path().filename().string();
      std::error_code ec;
      fs::create_directory(parked, ec);
      parked += "/" + place.filename().string();
      if (!ec && ::rename(path.c_str(), parked.c_str()) == 0) {
        Step("uninstall:parked");
      } else {
        // Another file system (a row of an earlier scripts directory): deleted where it is.
        DeleteDirectory(trash);
        trash.clear();
        DeleteDirectory(path);
      }
    }
    try {
      DeleteRow(now->id);
    } catch (...) {
      if (!trash.empty()) {
        ::rename(parked.c_str(), path.c_str());
        DeleteDirectory(trash);
      }
      throw;
    }
    Step("uninstall:unrecorded");
    if (!trash.empty()) DeleteDirectory(trash);
    Step("uninstall:cleaned");
  }
  LogInfo("Script package uninstalled: %s", name);
  return true;
}

/* ---- switches and settings ---------------------------------------------------------------- */

bool TOVScriptManager::UpdateRow(const std::string& name, const std::string& assignment,
                                 const std::optional<std::string>& value, std::string& error) {
  error.clear();
  std::lock_guard g(lock_);
  if (!PackageExists(name)) {
    error = "Package not found: " + name;
    return false;
  }
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("UPDATE script_packages SET " + assignment + ", updated_at = " + db->NowExpr() + " WHERE name = :n");
  if (value) q.Param("v", *value);
  q.Param("n", name);
  q.ExecSQL();
  db->Commit();
  return true;
}

bool TOVScriptManager::SetEnabled(const std::string& name, bool enabled, std::string& error) {
  if (!UpdateRow(name, enabled ? "is_enabled = 1" : "is_enabled = 0", std::nullopt, error)) return false;
  LogInfo(enabled ? "Script package enabled: %s" : "Script package disabled: %s", name);
  return true;
}

bool TOVScriptManager::Enable(const std::string& name, std::string& error) { return SetEnabled(name, true, error); }

bool TOVScriptManager::Disable(const std::string& name, std::string& error) {
  return SetEnabled(name, false, error);
}

TJSON TOVScriptManager::ListPackages() {
  auto db = RequireDB();
  TOVReadQuery q = db->NewReadQuery();
  q.SetSQL("SELECT * FROM script_packages ORDER BY pkg_type, name");
  q.Open();
  TJSON list = TJSON::array();
  for (; !q.Eof(); q.Next()) list.push_back(PackageJSON(q));
  return list;
}

std::optional<TJSON> TOVScriptManager::GetPackage(const std::string& name) {
  auto db = RequireDB();
  TOVReadQuery q = db->NewReadQuery();
  q.SetSQL("SELECT * FROM script_packages WHERE name = :n");
  q.Param("n", name);
  q.Open();
  for (; !q.Eof(); q.Next())
    if (q.Str("name") == name) return PackageJSON(q);
  return std::nullopt;
}

TJSON TOVScriptManager::GetSettings(const std::string& name) {
  const std::optional<TJSON> pkg = GetPackage(name);
  auto parsed = [&](const char* column) {
    std::optional<TJSON> v = pkg ? ParseJson((*pkg)[column].get_ref<const std::string&>()) : std::nullopt;
    return v ? std::move(*v) : TJSON::object();
  };
  TJSON out = TJSON::object();
  out["schema"] = parsed("settings_schema");
  out["values"] = parsed("settings_values");
  return out;
}

bool TOVScriptManager::UpdateSettings(const std::string& name, const TJSON& values, std::string& error) {
  if (!UpdateRow(name, "settings_values = :v", JsonSpaced(values), error)) return false;
  LogInfo("Script package settings updated: %s", name);
  return true;
}

/* ---- start-up ----------------------------------------------------------------------------- */

void TOVScriptManager::RecoverInterrupted() {
  for (const std::string& name : ListNames(scripts_dir_)) {
    const std::string path = scripts_dir_ + "/" + name;
    if (name.starts_with(kOldPrefix)) {
      for (const std::string& place : SettleParked(scripts_dir_, path))
        LogWarning("Script packages: %s put back after an interrupted install", place);
    } else if (name.starts_with(kDeletePrefix)) {
      for (const TTypeDir& t : kTypeDirs)
        for (const std::string& pkg : ListNames(path + "/" + t.dir)) {
          const std::string place = scripts_dir_ + "/" + t.dir + "/" + pkg;
          DeleteRowAt(place);
          LogWarning("Script packages: uninstall of %s completed after an interruption", place);
        }
      DeleteDirectory(path);
    } else if (name.starts_with(kWorkPrefix) || name.starts_with(kUploadPrefix)) {
      DeleteDirectory(path);
      LogWarning("Script packages: removed %s, left by an interrupted operation", path);
    }
  }
}

void TOVScriptManager::DropRowsWithoutFiles() {
  struct TGone {
    std::int64_t id;
    std::string name, pkg_type, entry_path;
  };
  std::vector<TGone> gone;
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL("SELECT id, name, pkg_type, entry_point, install_path FROM script_packages");
    q.Open();
    for (; !q.Eof(); q.Next()) {
      const std::string dir = q.Str("install_path");
      std::string entry_path = dir + "/" + q.Str("entry_point");
      if (IsFileOrLinkToOne(entry_path)) continue;
      std::error_code ec;
      if (fs::is_directory(dir, ec))
        gone.push_back({q.Int("id"), q.Str("name"), q.Str("pkg_type"), std::move(entry_path)});
      else
        LogWarning("Script package %s: its directory %s is missing", q.Str("name"), dir);
    }
  }
  for (const TGone& g : gone) {
    if (IsDoor(g.pkg_type)) AnnounceDoor(g.name, "RemoveDoorByName", TJSON{{"name", g.name}});
    DeleteRow(g.id);
    LogWarning("Script package %s removed: %s is missing", g.name, g.entry_path);
  }
}

void TOVScriptManager::SeedPackages() {
  for (const TTypeDir& t : kTypeDirs) {
    const std::string type_dir = scripts_dir_ + "/" + t.dir;
    std::error_code ec;
    if (!fs::is_directory(type_dir, ec)) continue;
    std::vector<std::string> dirs;  // in directory order
    for (fs::directory_iterator it(type_dir, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_directory(ec)) dirs.push_back(it->path().filename().string());
    for (const std::string& sub : dirs) {
      const std::string dir = type_dir + "/" + sub;
      if (!fs::is_regular_file(dir + "/package.json", ec) || NameTaken(ToLowerAscii(sub))) continue;
      std::string text, error;
      TJSON manifest;
      if (!ReadManifestText(dir + "/package.json", text, error) || !ParseManifest(text, manifest, error)) {
        LogWarning("Skipping invalid package at %s: %s", dir, error);
        continue;
      }
      const TPackageInfo p = ReadPackageInfo(manifest);
      std::string entry_rel;
      error = CheckName(p);
      if (error.empty()) error = CheckEntry(p, entry_rel);
      // Not a package without its entry file (also what an install that crashed in an earlier
      // version of the server left).
      if (error.empty() && !IsFileOrLinkToOne(dir + "/" + entry_rel))
        error = "Entry point not found in package: " + p.entry;
      if (error.empty() && NameTaken(p.name)) {
        // Registered before from this very directory (named otherwise than its package): known.
        if (!PackageAt(dir).empty()) continue;
        error = "Package already installed: " + p.name;
      }
      if (!error.empty()) {
        LogWarning("Skipping invalid package at %s: %s", dir, error);
        continue;
      }
      InsertPackageRow(p, t.type, dir);
      // Announced with the path its files really have.
      if (IsDoor(t.type)) AnnounceDoor(p.name, "CreateDoorFromPackage", DoorArgs(p, dir + "/" + p.entry));
      LogInfo("Auto-seeded script package: %s (%s)", p.name, t.type);
    }
  }
}

/* ---- the service -------------------------------------------------------------------------- */

void StartupScriptManager() {
  const std::string dir = Config->ScriptsDir();
  ScriptMgr.Publish(std::make_unique<TOVScriptManager>(dir));
  LogInfo("Script manager initialized (dir: %s)", dir);
}

void ShutdownScriptManager(const TOVStepFn& step) {
  if (!ScriptMgr.Exists()) return;
  step("ScriptMgr.Free");
  ScriptMgr.Free();
}

}  // namespace ov
