#include "ov_plugin_library.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>

#include "ov_locks.h"
#include "ov_log.h"

// The unwinder's own lookup of the frame description entry covering pc (libgcc and LLVM's
// libunwind both export it); no installed header declares it.  bases receives three pointers.
extern "C" const void* _Unwind_Find_FDE(void* pc, void* bases);

namespace ov {

/* ---- private copies of libraries ---- */

// A copy is "." + file name + ".tmp-" + pid + "-XXXXXX" while it is written, then linked to
// "." + file name + "." + hhnnss + "-" + pid + "-" + n, the name it is mapped under: hidden and
// never ending in ".so", so no scan takes it for a plug-in, and never half written under its
// final name.  Only a crash between the copy and its removal leaves one behind.

namespace {

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// The pid in the name of a copy of a "*.so" library; nullopt when name is not one (the
// temporary directory is shared: nothing else there is touched).
std::optional<pid_t> CopyOwner(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (name.size() < 2 || name[0] != '.' || dot == std::string_view::npos || dot < 5 ||
      name.substr(dot - 3, 3) != ".so")
    return std::nullopt;
  std::string_view tail = name.substr(dot + 1);
  const bool writing = tail.substr(0, 4) == "tmp-";
  if (writing) {
    tail.remove_prefix(4);
  } else {
    if (tail.size() < 7 || tail[6] != '-' || !std::all_of(tail.begin(), tail.begin() + 6, IsDigit)) return std::nullopt;
    tail.remove_prefix(7);
  }
  const std::size_t dash = tail.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9 || dash + 1 == tail.size() ||
      !std::all_of(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(dash), IsDigit))
    return std::nullopt;
  if (!writing && !std::all_of(tail.begin() + static_cast<std::ptrdiff_t>(dash) + 1, tail.end(), IsDigit))
    return std::nullopt;
  return static_cast<pid_t>(std::stol(std::string(tail.substr(0, dash))));
}

// The copies this process is writing or mapping now, which a scan running meanwhile must leave
// alone (a copy of this pid that is not among them was left by an earlier process that had
// the same pid).  Names are made and removed under the lock.
class TLiveCopies {
 public:
  static TLiveCopies& Get() {
    static TLiveCopies live;
    return live;
  }
  // mkstemp of pattern, the new name recorded as live; throws on failure.
  std::string MakeTemp(std::string pattern) EXCLUDES(lock_) {
    TOVLockGuard g(lock_);
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
    ::close(fd);
    paths_.insert(pattern);
    return pattern;
  }
  // Links from to a name made by next_name() that does not exist yet, recorded as live.
  template <class Next>
  std::string LinkUnique(const std::string& from, Next&& next_name) EXCLUDES(lock_) {
    TOVLockGuard g(lock_);
    for (;;) {
      std::string to = next_name();
      if (::link(from.c_str(), to.c_str()) == 0) {
        paths_.insert(to);
        return to;
      }
      if (errno != EEXIST) throw std::system_error(errno, std::generic_category(), "cannot create " + to);
    }
  }
  void Remove(const std::string& path) EXCLUDES(lock_) {
    TOVLockGuard g(lock_);
    ::unlink(path.c_str());
    paths_.erase(path);
  }
  // Removes the copies in dir that no running process is writing or mapping.
  void RemoveStale(const std::string& dir) EXCLUDES(lock_) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      const std::optional<pid_t> owner = CopyOwner(name);
      if (!owner) continue;
      const std::string path = dir + "/" + name;
      bool removed;
      {
        TOVLockGuard g(lock_);
        const bool stale = *owner == ::getpid() ? paths_.count(path) == 0 : ::kill(*owner, 0) != 0 && errno == ESRCH;
        removed = stale && ::unlink(path.c_str()) == 0;
      }
      if (removed) LogInfo("Removed leftover plugin copy: %s", path);
    }
  }

 private:
  TOVLock lock_{LockLevel::Leaf};
  std::set<std::string> paths_ GUARDED_BY(lock_);
};

std::string DirOf(const std::string& path) {
  const std::filesystem::path p(path);
  return p.has_parent_path() ? p.parent_path().string() : ".";
}

// A private copy of the library at path, in dir; its name is live until TLiveCopies::Remove.
std::string UniqueHiddenCopy(const std::string& path, const std::string& dir) {
  namespace fs = std::filesystem;
  const std::string pid = std::to_string(::getpid());
  // Shortened (its ending kept) so that the copy's name stays within the file system's limit.
  std::string file = fs::path(path).filename().string();
  if (file.size() > 128) file = file.substr(0, 125) + file.substr(file.size() - 3);
  const std::string base = dir + "/." + file + ".";
  TLiveCopies& live = TLiveCopies::Get();
  const std::string tmp = live.MakeTemp(base + "tmp-" + pid + "-XXXXXX");
  struct TRemove {
    const std::string& p;
    ~TRemove() { TLiveCopies::Get().Remove(p); }
  } remove_tmp{tmp};
  fs::copy_file(path, tmp, fs::copy_options::overwrite_existing);

  static std::atomic<unsigned> counter{0};
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char hhnnss[8];
  std::snprintf(hhnnss, sizeof hhnnss, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return live.LinkUnique(tmp, [&] { return base + hhnnss + "-" + pid + "-" + std::to_string(++counter); });
}

// Maps copy; the copy's name is gone afterwards whatever the outcome.
void* OpenCopy(const std::string& copy, std::string& dl_error) {
  void* h = OpenLibraryInPlace(copy, dl_error);
  TLiveCopies::Get().Remove(copy);
  return h;
}

}  // namespace

std::string PluginCopyFallbackDir() {
  std::error_code ec;
  const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
  return ec ? std::string("/tmp") : tmp.string();
}

// A copy beside the library keeps it on the same file system and its $ORIGIN the same; a copy
// in the temporary directory may be refused by the loader (noexec, $ORIGIN), hence the last
// resort of the library's own path.
void* OpenPluginLibrary(const std::string& path, std::string& dl_error) {
  std::string copy, why;
  try {
    copy = UniqueHiddenCopy(path, DirOf(path));
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (!copy.empty()) {
    void* h = OpenCopy(copy, dl_error);
    if (!h)
      for (std::size_t at = 0; (at = dl_error.find(copy, at)) != std::string::npos; at += path.size())
        dl_error.replace(at, copy.size(), path);
    return h;
  }
  try {
    if (void* h = OpenCopy(UniqueHiddenCopy(path, PluginCopyFallbackDir()), dl_error)) return h;
    why += "; temporary copy: " + dl_error;
  } catch (const std::exception& e) {
    why += std::string("; ") + e.what();
  }
  LogWarning("Plugin copy failed (%s), loading %s from its own path", why, path);
  return OpenLibraryInPlace(path, dl_error);
}

void* OpenLibraryInPlace(const std::string& path, std::string& dl_error) {
  dlerror();
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* err = dlerror();
    dl_error = err ? err : "unknown error";
  }
  return h;
}

void RemovePluginLibraryCopies(const std::string& dir) { TLiveCopies::Get().RemoveStale(dir); }

/* ---- unwind information ---- */

// An object can have an exception-frame header (.eh_frame_hdr, PT_GNU_EH_FRAME) and still no
// frame information for its own code: built with -fno-asynchronous-unwind-tables, the header
// coming from a start-up file, a sanitizer's runtime or a helper library linked in.  So what
// counts is the code itself, asked of the unwinder the way it asks when it unwinds.
bool HasUnwindInfo(const void* code) noexcept {
  struct {
    void* tbase;
    void* dbase;
    void* func;
  } bases{};
  return code && _Unwind_Find_FDE(const_cast<void*>(code), &bases) != nullptr;
}

}  // namespace ov
