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
// archive is unpacked by the archive helper (entry checks and caps) into a fresh work directory,
// the manifest's name must be one path component (IsScriptPackageName) and its entry a relative
// path inside the package, all before anything is placed.  Nothing outside S is created, changed
// or deleted, and a refused package leaves nothing behind.
//
// A kill at any moment leaves every install and uninstall done or not done.  Everything is
// staged in S itself (same file system, never the system's temporary directory), and each
// operation switches with one rename(2):
//   S/ov_pkg_*            a package being unpacked, or one on its way out; removed at start-up
//   S/ov_upload_*.ovpkg   an uploaded package file; removed at start-up
//   S/ov_old_*/<dir>/<N>  what lay at S/<dir>/N while an install replaces it; start-up puts it
//                         back when its place is empty (the new one never arrived), else removes it
// The package directory is authoritative: a package is installed when its directory holds its
// entry file.  Start-up removes the row of a package whose directory or entry file is missing
// and registers a complete directory that has no row (SeedPackages), so a crash between the
// file switch and the row change can never leave the two disagreeing.
//
// Names are stored lower-cased (ASCII) by install and compared exactly as stored, also on
// backends whose collation ignores case.
//
// Lock: lock_ (a registry lock) serialises Install, Uninstall, Enable, Disable and
// UpdateSettings; the database write lock is taken after it.  It is never held while the
// plug-in manager is called (the plug-in manager comes first in the lock order): door
// announcements run after it is released.
#pragma once

#include <functional>
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

class TOVScriptManager {
 public:
  // Told each step of an install or uninstall once it is done (and stays done if the process
  // dies there): "install:unpacked", "install:parked" (what lay at the install path moved
  // aside), "install:placed" (the package at its install path), "install:recorded" (its row
  // committed), "install:withdrawn" (a package whose row failed moved out again),
  // "install:cleaned"; "uninstall:parked" (the directory moved out of its place),
  // "uninstall:unrecorded" (the row deleted), "uninstall:cleaned".  Runs under lock_; must not
  // throw.
  using TStepObserver = std::function<void(std::string_view step)>;

  // Stores the directory, creates the type directories, settles what an interrupted install or
  // uninstall left in S, removes the rows of packages whose files are gone and registers the
  // packages already on disk (SeedPackages).  Database errors pass on.
  explicit TOVScriptManager(std::string scripts_dir, TStepObserver observer = {});
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

  // A new empty file in S (mode 0600) for an uploaded package on its way to Install; the caller
  // removes it.  Throws std::runtime_error when S is not writable.
  std::string MakeUploadFile() const;
  // Installs a package file; false with the reason in error.  Takes lock_; database errors
  // pass on after the files placed have been taken out again (and what they replaced put back).
  bool Install(const std::string& pkg_path, std::string& error);
  // Announces the removal of a door, then moves the package's directory out of its place,
  // deletes the row and the directory.  Takes lock_ (not across the announcement); an exception
  // of the doors plug-in passes on and nothing is removed; a database error passes on after the
  // directory has been put back.
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
  // earlier install whose row is gone).  An invalid one (also one without its entry file) is
  // skipped with a warning.
  void SeedPackages();

 private:
  void Step(std::string_view step) const noexcept;
  // Start-up: removes ov_pkg_* and ov_upload_* leftovers and settles every ov_old_* holder.
  void RecoverInterrupted();
  // Start-up: removes the row (and announces the removal of the door) of every package whose
  // install directory is there without its entry file.  A row whose whole directory is missing
  // (a volume not mounted, a directory moved away by hand) is only reported: its settings stay.
  void DropRowsWithoutFiles();

  // "UPDATE script_packages SET <assignment>, updated_at = <now> WHERE name = :n" (value bound
  // as :v) for a package that exists, else "Package not found: <name>".  Takes lock_.
  bool UpdateRow(const std::string& name, const std::string& assignment, const std::optional<std::string>& value,
                 std::string& error);
  bool SetEnabled(const std::string& name, bool enabled, std::string& error);

  // Constant after construction.
  const std::string scripts_dir_;
  const TStepObserver observer_;

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
