// TOVPluginInstaller (global PluginInstaller): installs, updates and removes native plug-ins
// delivered as plug-in packages (.ovp: a ZIP archive).
//
// Package layout (the content root is the archive root, or its only directory when the root
// holds no plugin.json and nothing else):
//   plugin.json        the manifest: "name", "version", "api_version", "target", the library's
//                      name ("platforms"."linux-x86_64"."binary", "binaries"."linux-x86_64",
//                      "files"."binary", else lib<name>.so) and "dependencies"
//   <library>          installed as <target dir>/<library>
//   CHECKSUMS.sha256   optional, sha256sum's output form, names relative to the content root
//   web/, lang/        their top-level files go to <target dir>/<name>/web and .../lang
//
// A package is hostile input: the archive is unpacked with the archive helper's checks into a
// staging directory of its own, every name that becomes a path passes the name validator, and
// installed files are only ever replaced by renaming a complete copy over them (a loaded
// library keeps its mapped file).  A package must be the plug-in asked for (when one was asked
// for) and may not replace a library that belongs to another plug-in, nor be spelt otherwise
// than the installed plug-in of its name (names are unique ignoring case).
//
// An install is all or nothing, also across a crash: the installed files are first saved (an
// update's backup, or a copy in the staging directory), a journal naming every file to be
// written is flushed to <staging>/upload-*/install.journal, every other file is put in place and
// flushed, and the library comes last: its rename is the moment the new version exists.  A
// failure before that rolls the files back from the saved copies; a kill leaves the journal,
// and RecoverInterruptedInstalls at the next start rolls back (library not yet in place) or
// keeps (library in place) what it finds, then removes every leftover.
//
// Before anything is written, the plug-in probe (ov_plugin_probe.h) loads the package's library
// in a process of its own and asks its plug-in's name: a library the server cannot load is
// refused with the loader's reason, and so is a package whose manifest names another plug-in
// than its library reports (it would write one plug-in's files and load another).  Nothing of
// the library is mapped into the server until a new install loads it; one that does not load
// then after all is taken out again.
//
// Lock: lock_ (installer level) serialises installs and uninstalls; the plug-in manager's lock
// and the database write lock are taken after it.  A registry download runs before lock_, so a
// slow one holds no lock that others need.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "ov_http_client.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_plugin_probe.h"
#include "ov_service.h"

namespace ov {

inline constexpr std::int32_t kInstallerApiVersion = 2;

enum class TOVInstallAction : std::uint8_t { iaInstalled = 0, iaUpdated = 1 };

struct TOVInstallResult {
  bool Success = false;
  TOVInstallAction Action = TOVInstallAction::iaInstalled;
  std::string PluginName;
  std::string Version;
  std::string ErrorMessage;
  // The package was refused because it clashes with an installed plug-in (nothing was written).
  bool Conflict = false;
};

// One line of a checksum list: the expected digest (lower case) and the file name as written
// (one leading "*" or ".", then one leading "/" removed).
struct TOVChecksumLine {
  std::string digest;
  std::string file;
};
// The counted lines of a CHECKSUMS.sha256 text, in order.
std::vector<TOVChecksumLine> ParseChecksumList(std::string_view text);

// Told each step of an install as it completes, on the installing thread with the installer's
// lock held: "staged" (package checked), "backup" (installed files saved), "journal",
// "file <path below the target dir>" for each file before the last, "ready" (all but the last
// file in place and flushed), "committed" (the last file, normally the library, in place) and
// "finished" (journal removed).  For tests that stop an install at each step.
using TOVInstallStepObserver = std::function<void(std::string_view step)>;

// The lower-case hex SHA-256 of a file's bytes; throws std::runtime_error when it cannot be read.
std::string Sha256File(const std::string& path);

// A package download's limits: connect 15 s, 60 s without a byte, and 10 minutes in all (the
// package size cap, 100 MiB by default, at about 170 KiB/s): a registry that trickles its
// answer cannot hold the request for longer.
TOVHttpClientOptions PackageDownloadOptions();

class TOVPluginInstaller {
 public:
  // Creates <data_dir>/staging and <data_dir>/backups (with parents).  observer: see
  // TOVInstallStepObserver (none in the server); download: the registry downloads' limits.
  TOVPluginInstaller(std::string plugin_dir, const std::string& data_dir, TOVInstallStepObserver observer = {},
                     const TOVHttpClientOptions& download = PackageDownloadOptions(),
                     TOVPluginProbeOptions probe = {});
  TOVPluginInstaller(const TOVPluginInstaller&) = delete;
  TOVPluginInstaller& operator=(const TOVPluginInstaller&) = delete;

  const std::string& PluginDir() const noexcept { return plugin_dir_; }
  const std::string& StagingDir() const noexcept { return staging_dir_; }
  const std::string& BackupDir() const noexcept { return backup_dir_; }

  // Installs or updates from a package file.  expected_name, when given, is the plug-in asked
  // for: a package naming another plug-in (letter case ignored, EqualsFoldCase) is refused.
  // Takes lock_.
  TOVInstallResult InstallFromFile(const std::string& zip_path, const std::string& expected_name = {});
  // Downloads the package from url into staging (outside lock_), then InstallFromFile for name.
  // name and version must be safe names.
  TOVInstallResult InstallPlugin(const std::string& name, const std::string& version, const std::string& url);
  // Unloads the plug-in (waiting, bounded, for its calls), removes its library and its web and
  // lang files, deletes its scheduler rows and run log (and its plugin_state row when purging)
  // and blanks its update rows (those of its name in any letter case: the registry's spelling).
  // name is matched ignoring letter case (EqualsFoldCase) and the plug-in is removed as
  // installed (see InstalledNameForRemoval); PluginName is that spelling.  Two installed
  // spellings, neither name's own, are refused (Conflict) with nothing changed.  Takes lock_.
  TOVInstallResult UninstallPlugin(const std::string& name, bool purge_data);
  // Start-up, before any plug-in is loaded: every install a crash interrupted is rolled back
  // (its last file not in place) or kept (in place), by its journal; then staging is emptied,
  // unfinished backups and temporary files in the plug-in directories are removed.  A journal
  // that cannot be read or rolled back is logged and left for the next start.  Takes lock_.
  void RecoverInterruptedInstalls();

  // HTTP(S) GET of url into dest_path within the download's limits; false (logged, dest_path
  // removed) on any failure but one: a transfer that CancelTransfers ended throws
  // ServiceUnavailable "Server is stopping: package download cancelled".
  bool DownloadPackage(const std::string& url, const std::string& dest_path);
  // Ends every download and library check running now, and any started later, within about a
  // second (shutdown: a trickling registry or a hung library must not hold a request thread past
  // the server's bounded stop).
  void CancelTransfers() noexcept {
    cancel_.store(true);
    stop_.request_stop();
  }
  // True when there is no CHECKSUMS.sha256 in root or every line names a file inside root whose
  // digest matches; the first failure is logged and gives false.
  bool VerifyChecksums(const std::string& root);
  // root/plugin.json as an object whose "api_version" is supported; nullopt (logged) otherwise.
  std::optional<TJSON> ValidateManifest(const std::string& root);
  // Copies the installed library, plugin.json and the top-level web and lang files into a new
  // <backups>/<name>/<yyyymmdd_hhnnss> directory, flushed to disk, and returns it.  The
  // directory appears complete or not at all.
  std::string BackupExisting(const std::string& name, const std::string& binary, const std::string& target_dir);
  // Puts back the library, plugin.json and web and lang files of backup_dir (empty: the newest
  // backup of the plug-in), each by atomic replacement.
  void RestoreBackup(const std::string& name, const std::string& binary, const std::string& target_dir,
                     const std::string& backup_dir = {});
  // Copies src to a new temporary file beside dst, flushes it and renames it over dst; throws
  // std::runtime_error "Unable to replace <dst> (rename failed — check directory permissions)"
  // when the rename fails, or the copy's error.
  static void ReplaceFileAtomic(const std::string& src, const std::string& dst);
  // Deletes a directory tree; failures are ignored.
  static void RemoveDirectory(const std::string& dir);
  void CleanupStaging(const std::string& path) { RemoveDirectory(path); }

 private:
  struct TJournal;

  // The body of InstallFromFile; staging is the fresh staging directory.  keep_staging is set
  // when a failed install could not be rolled back (its journal stays for the next start).
  void InstallStaged(const std::string& zip_path, const std::string& staging, const std::string& expected_name,
                     TOVInstallResult& r, bool& keep_staging) REQUIRES(lock_);
  // Puts the package's files from root into target_dir (see the layout above), the library
  // last, under a journal in staging: root/package_binary becomes target_dir/binary.  prior
  // holds the saved copies of the files replaced ("": none).  after_commit runs once the last
  // file is in place (loading a new plug-in); what it throws undoes the install like a failed
  // copy.  Throws on the first failure, after rolling back (keep_staging set when that failed).
  void InstallFiles(const std::string& root, const std::string& name, const std::string& package_binary,
                    const std::string& binary, const std::string& target_dir, bool has_web, bool has_lang,
                    const std::string& prior, const std::string& staging, bool& keep_staging,
                    const std::function<void()>& after_commit) REQUIRES(lock_);
  // Undoes an install that has not reached its last file: files it added are removed, the
  // saved copies put back, the directories it made removed when empty.
  void RollBack(const TJournal& j) REQUIRES(lock_);
  // The plug-in other than name that target_dir/file belongs to, or "".
  static std::string OwnerOf(const std::string& file, const std::string& name, const std::string& target_dir);
  // The installed plug-in whose name equals name ignoring letter case, spelt as installed: a
  // loaded one, else one whose plugin.json in target_dir declares a library that is there, else
  // a plug-in folder of target_dir (an uninstalled plug-in's plugin.json stays in it); name
  // itself when a folder is spelt so; "" when there is none.
  static std::string InstalledSpelling(const std::string& name, const std::string& target_dir);
  // The version now installed of the plug-in name, where the update list and the check-in read
  // it: its plugin_state row (when there is one) and its update-list rows in any letter case
  // (the registry's spelling), whose update flag follows.  A database error is logged.
  static void RecordInstalledVersion(const std::string& name, const std::string& version);
  // The spelling under which the plug-in called name (letter case ignored) is installed in the
  // plug-in directory, for removing it: the loaded plug-in's; else a plugin.json's name; else a
  // plug-in directory's; else a stored plugin_state row's; name itself when none matches.  A
  // source is asked only when those before it had no match; within one the exact spelling
  // wins, and two others make name ambiguous: "" with error set.
  std::string InstalledNameForRemoval(const std::string& name, std::string& error) const REQUIRES(lock_);
  void Notify(std::string_view step) const {
    if (observer_) observer_(step);
  }

  // ---- Constant after construction ----
  const std::string staging_dir_;
  const std::string backup_dir_;
  const std::string plugin_dir_;
  // Relative to the working directory; made on first use.
  const std::string client_plugin_dir_ = "client_plugins";
  TOVHttpClientOptions http_options_;  // its cancel flag is cancel_
  const TOVInstallStepObserver observer_;
  const TOVPluginProbeOptions probe_;  // its stop is stop_
  std::atomic<bool> cancel_{false};
  std::stop_source stop_;

  // ---- lock_: one install or uninstall at a time (first in the server's order: the plug-in
  // manager, the registries and the database are taken under it) ----
  TOVRecursiveLock lock_{LockLevel::Installer};
};

extern TOVService<TOVPluginInstaller> PluginInstaller;

// The loaded plug-in whose name equals name ignoring letter case (EqualsFoldCase), spelt as
// loaded; "" when none is loaded (or there is no plug-in manager).  Takes the plug-in manager's
// lock.
std::string LoadedPluginSpelling(const std::string& name);

// A new file or directory in dir named prefix + <random> + suffix (mkstemps / mkdtemp): names
// that stay unique when two requests stage in the same millisecond.  Throws std::runtime_error.
std::string MakeUniqueFile(const std::string& dir, const std::string& prefix, const std::string& suffix);
std::string MakeUniqueDir(const std::string& dir, const std::string& prefix);
// Local time as "yyyymmdd-hhnnsszzz" (staging names).
std::string StagingTimeStamp();

// Start-up, before the plug-ins load: finishes or rolls back every install a crash interrupted
// ([paths] plugin_dir, data_dir) and removes what it left (staging, temporaries, upload files
// that requests of a stopped server left).
void RecoverPluginInstalls();
// Start-up: creates PluginInstaller on [paths] plugin_dir and data_dir and logs "Plugin
// installer initialized (staging: %s/staging, backups: %s/backups)".
void StartupPluginInstaller();
// Shutdown step "PluginInstaller.Free".
void ShutdownPluginInstaller(const TOVStepFn& step);

}  // namespace ov
