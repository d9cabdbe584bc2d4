// TOVScriptManager (global ScriptMgr): script packages, ZIP archives holding scripts and a
// package.json manifest, installed under the scripts directory S by type and recorded in
// script_packages.  The manager runs no scripts; door packages are announced to the native
// plug-in named "doors", which turns them into doors.
//
//   type       directory      announced to "doors"
//   door       S/doors        yes ("CreateDoorFromPackage" after install, "RemoveDoorByName"
//   menu       S/menus        no   before uninstall)
//   event      S/events       no
//   scheduled  S/scheduled    no
//
// A package named N of type T lives in S/<directory of T>/N.  Packages are hostile input: the
// archive is unpacked by the archive helper (entry checks and caps) into a fresh temporary
// directory, the manifest's name must be one path component (IsScriptPackageName) and its entry
// a relative path inside the package, all before anything is placed under S.  Nothing outside S
// is created, changed or deleted, and a refused package leaves nothing behind.
//
// Names are stored lower-cased (ASCII) by install and compared exactly as stored, also on
// backends whose collation ignores case.
//
// Lock: lock_ (a registry lock) serialises Install, Uninstall, Enable, Disable and
// UpdateSettings; the database write lock is taken after it.  It is never held while the
// plug-in manager is called (the plug-in manager comes first in the lock order): door
// announcements run after it is released.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

// A package name: one path component by the shared name rule (IsSafeName) and at most 50
// characters, the width of script_packages.name.
bool IsScriptPackageName(std::string_view name);

// Where packages are unpacked and uploads are kept before install: the system's temporary
// directory (TMPDIR, else /tmp).
std::string ScriptTempDir();

class TOVScriptManager {
 public:
  // Stores the directory, creates the type directories and registers the packages already on
  // disk (SeedPackages).  Database errors pass on.
  explicit TOVScriptManager(std::string scripts_dir);
  TOVScriptManager(const TOVScriptManager&) = delete;
  TOVScriptManager& operator=(const TOVScriptManager&) = delete;

  const std::string& ScriptsDir() const noexcept { return scripts_dir_; }

  // Creates S/doors, S/menus, S/events and S/scheduled (with parents); a failure is logged.
  void CreateDirectories();
  // Whether a package of exactly this name is recorded.
  bool PackageExists(const std::string& name);
  // S/<directory of pkg_type>/name; throws std::invalid_argument for an unknown type.
  std::string GetInstallPath(const std::string& pkg_type, const std::string& name) const;
  // GetInstallPath + "/" + entry.
  std::string ResolveScriptPath(const std::string& pkg_type, const std::string& name, const std::string& entry) const;
  // Deletes a directory tree without following symbolic links (a link is removed, never what
  // it points at).  True when nothing is left at dir.
  static bool DeleteDirectory(const std::string& dir);
  // The manifest check: JSON object with the string members "name", "version", "type" and
  // "entry" not empty.  False with "Invalid JSON: ...", "Manifest must be a JSON object" or
  // "Missing required field: <key>".
  static bool ParseManifest(std::string_view json_text, TJSON& manifest, std::string& error);

  // Installs a package file; false with the reason in error.  Takes lock_; database errors
  // pass on after the files placed have been removed again.
  bool Install(const std::string& pkg_path, std::string& error);
  // Announces the removal of a door, then deletes the package's directory and row.  Takes
  // lock_ (not across the announcement); an exception of the doors plug-in passes on and
  // nothing is removed.
  bool Uninstall(const std::string& name, std::string& error);
  // Switch is_enabled; false with "Package not found: <name>".  Take lock_.
  bool Enable(const std::string& name, std::string& error);
  bool Disable(const std::string& name, std::string& error);
  // Every package as package JSON, ordered by type and name.
  TJSON ListPackages();
  // One package as package JSON; nullopt when there is none of that name.
  std::optional<TJSON> GetPackage(const std::string& name);
  // {"schema", "values"}: the stored texts parsed, {} for an unknown package or a text that
  // does not parse.
  TJSON GetSettings(const std::string& name);
  // Stores values as the package's settings_values (not checked against the schema).  Takes
  // lock_.
  bool UpdateSettings(const std::string& name, const TJSON& values, std::string& error);
  // Start-up registration of package directories placed under S by hand (or left by an
  // earlier install whose row is gone).  An invalid one is skipped with a warning.
  void SeedPackages();

 private:
  // "UPDATE script_packages SET <assignment>, updated_at = <now> WHERE name = :n" (value bound
  // as :v) for a package that exists, else "Package not found: <name>".  Takes lock_.
  bool UpdateRow(const std::string& name, const std::string& assignment, const std::optional<std::string>& value,
                 std::string& error);
  bool SetEnabled(const std::string& name, bool enabled, std::string& error);

  // Constant after construction.
  const std::string scripts_dir_;

  // Serialises the operations that change packages.
  TOVLock lock_{LockLevel::Registry};
};

extern TOVService<TOVScriptManager> ScriptMgr;

// Start-up: creates ScriptMgr on [paths] scripts_dir and logs "Script manager initialized
// (dir: %s)".
void StartupScriptManager();
// Shutdown step "ScriptMgr.Free".
void ShutdownScriptManager(const TOVStepFn& step);

}  // namespace ov
