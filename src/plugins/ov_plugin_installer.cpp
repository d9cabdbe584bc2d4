#include "ov_plugin_installer.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "ov_archiver.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_format.h"
#include "ov_log.h"
#include "ov_multipart.h"
#include "ov_plugin_install_parts.h"
#include "ov_plugin_manager.h"
#include "ov_plugin_probe.h"
#include "ov_server_state.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

TOVService<TOVPluginInstaller> PluginInstaller{"PluginInstaller"};

/* ---- the installer ------------------------------------------------------------------------ */

TOVPluginInstaller::TOVPluginInstaller(std::string plugin_dir, const std::string& data_dir,
                                       TOVInstallStepObserver observer, const TOVHttpClientOptions& download,
                                       TOVPluginProbeOptions probe)
    : staging_dir_(data_dir + "/staging"),
      backup_dir_(data_dir + "/backups"),
      plugin_dir_(std::move(plugin_dir)),
      http_options_(download),
      observer_(std::move(observer)),
      probe_(std::move(probe)) {
  fs::create_directories(staging_dir_);
  fs::create_directories(backup_dir_);
  http_options_.cancel = &cancel_;
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
  if (!expected_name.empty() && !EqualsFoldCase(N, expected_name)) {
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
  const bool has_library = IsFile(root / B);
  // The plug-in is what its library says it is: its files, version and stored state go by the
  // manifest's name, the plug-in that loads by the library's.  And a library the server cannot
  // load is no plug-in.  Both are asked of the probe, in a process of its own, before anything
  // is written (the server never loads a client plug-in's library).
  if (!client && has_library) {
    std::string why;
    TOVPluginProbeOptions probe = probe_;
    probe.stop = stop_.get_token();
    const std::optional<TOVPluginIdentity> id = ProbePluginLibrary((root / B).string(), why, probe);
    if (!id) {
      LogWarning("Plugin %s: its library %s cannot be loaded: %s", N, B, why);
      r.ErrorMessage = why;
      return;
    }
    if (id->Name != N) {
      r.ErrorMessage = Format("Package plugin.json names plugin %s, but its library %s is plugin %s", N, B, id->Name);
      return;
    }
    if (id->Target != ptServer && id->Target != ptBoth) {
      r.ErrorMessage = Format("Plugin %s does not run on the server (target=%d)", N, static_cast<int>(id->Target));
      return;
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

  // A new server plug-in is loaded once its library is in place; one that does not load after
  // all (the probe's process is not the server) is taken out again, as a failed copy is.
  std::string load_error;
  std::optional<TOVBaseLoadedPlugin> loaded;
  auto load = [&] {
    if (!mgr || update) return;
    LogInfo("Scanning for newly installed plugin: %s", N);
    std::vector<std::pair<std::string, std::string>> failed;
    try {
      mgr->ScanNewPlugins(&failed);
    } catch (const std::exception& e) {
      LogWarning("Plugin %s scan failed: %s (will load on restart)", N, e.what());
      return;
    }
    const fs::path lib = fs::path(T) / L;
    loaded = LoadedFrom(*mgr, lib);
    if (loaded || client || !has_library) return;
    load_error = Format("Plugin %s v%s did not load", N, V);
    for (const auto& [path, why] : failed)
      if (SamePath(path, lib)) load_error = why;
    throw std::runtime_error(load_error);
  };
  LogInfo("Installing plugin files: %s v%s", N, V);
  try {
    InstallFiles(R, N, B, L, T, has_web, has_lang, prior, staging, keep_staging, load);
  } catch (const std::exception& e) {
    r.ErrorMessage = load_error.empty() ? std::string("Failed to install files: ") + e.what() : load_error;
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
    } else if (loaded) {
      r.PluginName = loaded->Name;
      r.Version = loaded->Version;
      installed_version = loaded->Version;
    } else if (!client) {
      LogWarning("Plugin %s v%s was installed but did not load", N, V);
    }
  }
  if (installed_version) RecordInstalledVersion(r.PluginName, *installed_version);
  r.Success = true;
  LogInfo("Plugin %s v%s %s successfully", N, V, update ? "updated" : "installed");
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
