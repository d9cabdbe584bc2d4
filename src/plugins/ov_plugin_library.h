// One native plug-in library on its way into the process: mapped from a private copy, so that
// the files of the plug-in directory can be replaced at any time, and checked for the unwind
// information a host error needs to pass through the plug-in's frames.
//
// Why a copy: a library mapped from its own file dies with SIGBUS when that file is truncated
// and rewritten in place (as cp does), and the dynamic loader hands back the mapping it already
// has for a path even after the file changed.  The copy's name is removed as soon as it is
// mapped; a copy is never named "*.so", so no scan loads one a crash left behind, and the scans
// remove those (RemovePluginLibraryCopies).
//
// Lock: the names of the copies this process is making or mapping are kept under one leaf lock.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace ov {

// Opens the library at path (dlopen, RTLD_NOW | RTLD_LOCAL) through a private copy beside it;
// where its directory takes none, through a copy in the system's temporary directory; where
// that cannot be mapped either, from its own path, with a warning.  The handle, or nullptr with
// the loader's error text (naming path, not the copy).  No copy's name is left afterwards.
void* OpenPluginLibrary(const std::string& path, std::string& dl_error);
// dlopen(path, RTLD_NOW | RTLD_LOCAL) of the file itself; nullptr with the loader's error text.
// For a process that maps a library once and ends (the plug-in probe), and the last resort above.
void* OpenLibraryInPlace(const std::string& path, std::string& dl_error);
// Removes the private copies in dir left by processes that no longer run (a copy this process
// is making now is left alone).  Each removal is logged.
void RemovePluginLibraryCopies(const std::string& dir);
// The directory copies go to when a library's own directory takes none.
std::string PluginCopyFallbackDir();

// Whether the unwinder finds frame information for the code at code.  A host error reaches the
// server as an exception that unwinds through the plug-in's frames; a frame without that
// information ends the unwinding in std::terminate, which takes the whole server down.
bool HasUnwindInfo(const void* code) noexcept;
// Whether every filled slot of an interface's table of function pointers has it.
template <class Vtbl>
bool SlotsHaveUnwindInfo(const Vtbl* vtbl) noexcept {
  if (!vtbl) return true;  // reported as a broken interface when it is used
  void* slots[sizeof(Vtbl) / sizeof(void*)];
  static_assert(sizeof(slots) == sizeof(Vtbl));
  std::memcpy(slots, vtbl, sizeof slots);
  for (const void* s : slots)
    if (s && !HasUnwindInfo(s)) return false;
  return true;
}

}  // namespace ov
