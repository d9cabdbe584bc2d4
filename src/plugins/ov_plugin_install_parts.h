// What the installer's files share among themselves (not for other units): the package layout's
// names, the file primitives every install step is built from, and the readings of a package's
// manifest and of the plug-ins installed already.
//   ov_plugin_installer.cpp          install from a file, uninstall, start-up and shutdown
//   ov_plugin_install_checks.cpp     checksums, manifest, the library's name, which plug-in is which
//   ov_plugin_install_files.cpp      files put in place whole, backups and restores
//   ov_plugin_install_journal.cpp    the install journal: all or nothing across a crash
//   ov_plugin_install_registry.cpp   downloads, registry installs, the installed version's rows
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "ov_database.h"
#include "ov_json_helpers.h"
#include "ov_plugin_manager.h"

namespace ov {

inline constexpr const char* kManifest = "plugin.json";
inline constexpr const char* kChecksums = "CHECKSUMS.sha256";
inline constexpr const char* kPlatform = "linux-x86_64";
// An install's journal, in its staging directory.
inline constexpr const char* kJournal = "install.journal";
// A backup is filled under this hidden name and renamed when complete.
inline constexpr const char* kPartialBackup = ".partial-";
// Text files of a package read into memory at most this large.
inline constexpr std::uintmax_t kMaxTextFile = 16u * 1024 * 1024;

/* ---- files ------------------------------------------------------------------------------- */

std::string ErrnoText(int err);

// A descriptor closed with the scope.
struct FdCloser {
  int fd = -1;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// Regular file, directory, anything: a symbolic link is never followed.
bool IsFile(const std::filesystem::path& p);
bool IsDir(const std::filesystem::path& p);
bool Exists(const std::filesystem::path& p);
// The file's text, or nullopt when it is missing, unreadable or larger than kMaxTextFile.
std::optional<std::string> ReadTextFile(const std::filesystem::path& p, std::string& why);
// Local time in fmt (year, month, day, hour, minute, second), the milliseconds appended when
// millis.
std::string LocalStamp(const char* fmt, bool millis);
// The top-level regular files of dir.
std::vector<std::filesystem::path> TopLevelFiles(const std::filesystem::path& dir);

// Flushes a directory's entries (names made, renamed or removed in it) to disk.
void SyncDir(const std::filesystem::path& dir);
// SyncDir for the directories that exist, failures ignored: for states that are already
// correct in memory and are only made more durable.
void SyncDirsQuietly(const std::vector<std::filesystem::path>& dirs);
// A new temporary file beside dst holding the bytes of the file src (or text when src is
// null), mode 0644, flushed to disk; returns its path.  Its name, "." + name + ".new.XXXXXX",
// is hidden, ends in no ".so" and is never served.  Leaves nothing behind when it throws.
std::string WriteTempBeside(const std::filesystem::path& dst, const std::string* src, std::string_view text);
// Renames tmp over dst; on failure tmp is removed and the replacement error thrown.
void RenameOver(const std::string& tmp, const std::string& dst);
// Copies the installed library, plugin.json and top-level web and lang files of a plug-in
// into dir (made when missing), flushed to disk.  True when there was anything to copy.
bool CopyInstalledFiles(const std::string& name, const std::string& binary, const std::filesystem::path& t,
                        const std::filesystem::path& dir);
// Removes the temporary files of replacements a stopped server left in a plug-in directory:
// beside the libraries, in each plug-in's directory and in its web and lang directories.
int RemoveTemporaries(const std::filesystem::path& target);

/* ---- manifests and installed plug-ins ------------------------------------------------------ */

// The names of plug-ins the manifest needs: "dependencies" as an array, or its "plugins" array.
std::vector<std::string> ManifestDependencies(const TJSON& m);
// The first regular file of dir named lib*.so (directory order); "" when none.
std::string FindLibrary(const std::filesystem::path& dir);
// The library's file name a manifest declares: "platforms"."linux-x86_64"."binary", then
// "binaries"."linux-x86_64", then "files"."binary", else lib<name>.so.
std::string DeclaredLibrary(const TJSON& manifest, const std::string& name);

// A plug-in installed in a target directory as its manifest describes it:
// <target>/<directory>/plugin.json's "name" (default: the directory's name) and the library it
// declares.
struct TManifestEntry {
  std::string name;
  std::string library;
};
// The manifests of the plug-ins installed in t (those that are readable objects).
std::vector<TManifestEntry> InstalledManifests(const std::filesystem::path& t);
// The names of the folders in t.
std::vector<std::string> PluginFolders(const std::filesystem::path& t);

// The same file, once symbolic links and "." and ".." are resolved.
bool SamePath(const std::filesystem::path& a, const std::filesystem::path& b);
// The library the loaded plug-in name runs from, when it lies directly in dir; "" otherwise.
std::filesystem::path LoadedLibraryIn(const TOVPluginManager& mgr, const std::string& name,
                                      const std::filesystem::path& dir);
// The plug-in loaded from the library lib, when one is.
std::optional<TOVBaseLoadedPlugin> LoadedFrom(const TOVPluginManager& mgr, const std::filesystem::path& lib);

// The update-list rows of the plug-in name in any letter case (the registry lists it in its own
// spelling), as (listed name, latest version).
std::vector<std::pair<std::string, std::string>> ListedUpdates(TOVWriteQuery& q, const std::string& name);

}  // namespace ov
