#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <system_error>

#include "ov_format.h"
#include "ov_log.h"
#include "ov_plugin_install_parts.h"
#include "ov_plugin_installer.h"

namespace ov {

namespace fs = std::filesystem;

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

/* ---- install -------------------------------------------------------------------------------- */

void TOVPluginInstaller::InstallFiles(const std::string& root, const std::string& name,
                                      const std::string& package_binary, const std::string& binary,
                                      const std::string& target_dir, bool has_web, bool has_lang,
                                      const std::string& prior, const std::string& staging, bool& keep_staging,
                                      const std::function<void()>& after_commit) {
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
  if (j.files.empty()) {
    if (after_commit) after_commit();
    return;
  }
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
    if (after_commit) after_commit();
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

}  // namespace ov
