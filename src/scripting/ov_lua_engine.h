// Plug-ins written in Lua 5.4.
//
// The Lua library is loaded at run time (dlopen), so a server without it still runs: the engine
// then reports itself unavailable and every load fails quietly.  Each plug-in file gets a state
// of its own with
//   - a counting allocator and a memory limit (16 MiB by default),
//   - a sandbox: no files, processes, debug library, binary chunks, C modules, process locale or
//     __gc finalisers (which would run with the time limit off),
//   - a time limit per protected call (5 s by default), kept per state and enforced by a count
//     hook that cannot be caught and ignored by pcall, coroutines or xpcall; at the deadline a
//     timer signal makes the running Lua thread stop at its next instruction or call, and the
//     library functions that loop in C are our own, which look at the limit (ov_lua_stdlib),
//     so no single instruction or library call holds a thread long past it,
//   - a lock: one thread at a time runs in a state; unloading waits (bounded) for a running
//     call and otherwise refuses.
// The file runs once and the table it returns describes the plug-in.  No server function is
// registered into any state: the host each plug-in gets is kept beside the state, out of Lua's
// reach.
//
// Every Lua call that can raise runs inside a protected call, so Lua's panic handler (which
// aborts the process) is never reached, and no C++ object with a destructor lives in a frame a
// Lua error unwinds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

struct lua_State;

namespace ov {

class TOVEventBus;

// The library is looked for under these names, in this order.
inline constexpr const char* LUA_LIB_NAME = "liblua5.4.so.0";
inline constexpr const char* LUA_LIB_ALT = "liblua5.4.so";
inline constexpr const char* LUA_LIB_ALT2 = "liblua-5.4.so";
inline constexpr std::uint64_t LUA_DEFAULT_MEMORY_LIMIT = 16 * 1024 * 1024;
inline constexpr std::int32_t LUA_DEFAULT_TIMEOUT_MS = 5000;
// Lua instructions between two looks at the clock.
inline constexpr int LUA_HOOK_CHECK_INTERVAL = 1000;

// The permissions a Lua plug-in's host is created with and granted.
const std::vector<std::string>& LuaPluginPermissions();  // database.read, events.subscribe, config.read

// Makes the host object of one Lua plug-in (the plug-in services' TOVPluginHost).  The engine
// owns what it returns and frees it when the plug-in is unloaded; it never looks inside.  May
// return null; an exception fails the load.
using TOVLuaHostFactory = std::function<std::shared_ptr<void>(
    const std::string& plugin_name, const std::vector<std::string>& permissions, TOVEventBus* event_bus,
    std::chrono::system_clock::time_point start_time)>;

// A copy of what the engine knows of one loaded plug-in.
struct TOVLuaPluginInfo {
  std::string Name;
  std::string Version;
  std::string Description;
  std::string Author;
  std::string FilePath;
  std::vector<std::string> Permissions;
  bool HasHost = false;
  std::uint64_t MemoryUsed = 0;  // bytes the state holds now
  std::uint64_t MemoryLimit = 0;
  bool IsLoaded = false;
};

struct TOVLuaApi;
struct TOVLuaLibHost;
struct TOVLuaPlugin;

class TOVLuaEngine {
 public:
  // Loads the library by the three standard names.  Logs "Lua 5.4 engine initialized" or the
  // not-available warning.
  explicit TOVLuaEngine(TOVLuaHostFactory host_factory = nullptr);
  // The same with other library names (tried in order).
  TOVLuaEngine(const std::vector<std::string>& library_names, TOVLuaHostFactory host_factory);
  // Unloads every plug-in; the library stays mapped only when a state could not be closed.
  ~TOVLuaEngine();
  TOVLuaEngine(const TOVLuaEngine&) = delete;
  TOVLuaEngine& operator=(const TOVLuaEngine&) = delete;

  bool Available() const noexcept { return available_; }
  // Limits for states created (memory) and protected calls started (time) from now on.
  // A time limit of 0 or less means none.
  std::uint64_t MemoryLimit() const noexcept { return memory_limit_.load(); }
  void SetMemoryLimit(std::uint64_t bytes) noexcept { memory_limit_.store(bytes); }
  std::int32_t TimeoutMs() const noexcept { return timeout_ms_.load(); }
  void SetTimeoutMs(std::int32_t ms) noexcept { timeout_ms_.store(ms); }
  // How long a call or an unload waits for another thread's call on the same state before it
  // gives up (default: the time limit plus one second).  Negative restores the default.
  void SetBusyWaitMs(std::int32_t ms) noexcept { busy_wait_ms_.store(ms); }

  // Runs one plug-in file in a new state and registers the table it returns.  False (with a
  // log line) on any failure; never throws.  Thread-safe.
  bool LoadPlugin(const std::string& file_path, TOVEventBus* event_bus,
                  std::chrono::system_clock::time_point start_time) EXCLUDES(lock_);
  // Loads every "*.lua" entry of dir that is not a directory.  The files run in parallel, but
  // they are registered in the sorted order of their names, so which of two files with the
  // same plug-in name wins never depends on timing.  One file's failure does not stop the
  // others; no new file is started once stop_requested answers true.  Returns the number
  // loaded.
  std::size_t LoadDirectory(const std::string& dir, TOVEventBus* event_bus,
                            std::chrono::system_clock::time_point start_time,
                            const std::function<bool()>& stop_requested = nullptr) EXCLUDES(lock_);

  // Calls the plug-in's init(table) when it has one.  False for an unknown name, a busy state
  // or an error (logged).
  bool CallPluginInit(const std::string& name) EXCLUDES(lock_);
  // Calls finalize() when there is one.  False for an unknown name, a busy state or an error.
  bool CallPluginFinalize(const std::string& name) EXCLUDES(lock_);
  // Calls the handler "on_" + event type (dots as underscores) with { type = ..., data = the
  // JSON text of data in the spaced form } (data only when given).  False when the plug-in
  // or the handler is missing, the state is busy or the handler fails (logged).
  bool FireEvent(const std::string& plugin_name, const std::string& event_type, const TJSON* data) EXCLUDES(lock_);
  // Finalizes, closes and removes the plug-in.  A call running on another thread is waited for
  // (bounded); when it does not end in time nothing is freed and the result is false.
  bool UnloadPlugin(const std::string& name) EXCLUDES(lock_);
  // Unloads every plug-in, the last loaded first.  One that stays busy is logged and kept.
  // All finalize calls together get one time limit.
  void UnloadAll() EXCLUDES(lock_);

  std::int32_t GetPluginCount() const;
  // A copy of entry index (0 to count-1) with its current memory use; nullopt out of range.
  std::optional<TOVLuaPluginInfo> GetPluginInfo(std::int32_t index) const;
  // Index of the plug-in of that name (letter case ignored), or -1.
  std::int32_t FindLuaPlugin(const std::string& name) const;

 private:
  // Opens the first of names the dynamic loader finds and binds its entry points; one that
  // lacks an entry point we need is closed again, and the log says which it lacks.
  bool LoadLuaLibrary(const std::vector<std::string>& names);
  // Steps of a load that touch only the new state: safe to run for several files at once.
  std::unique_ptr<TOVLuaPlugin> PreparePlugin(const std::string& file_path) EXCLUDES(lock_);
  bool RegisterPlugin(std::unique_ptr<TOVLuaPlugin> plugin, TOVEventBus* event_bus,
                      std::chrono::system_clock::time_point start_time) EXCLUDES(lock_);
  std::shared_ptr<TOVLuaPlugin> FindEntry(const std::string& name) const;
  std::chrono::milliseconds BusyWait() const noexcept;
  // Runs one handler of the plug-in; outcome as for CallPluginInit and friends.
  enum class CallKind : std::uint8_t { Init, Finalize, Event };
  bool CallHandler(TOVLuaPlugin& plugin, CallKind kind, const std::string& event_type, const TJSON* data,
                   std::int32_t timeout_ms) EXCLUDES(lock_);
  // Unloads one entry: waits for its lock, finalizes, closes.  Empty text on success, else why not.
  std::string UnloadEntry(const std::shared_ptr<TOVLuaPlugin>& plugin, std::int32_t finalize_timeout_ms)
      EXCLUDES(lock_);

  // Constant after construction.
  std::unique_ptr<TOVLuaApi> api_;
  std::unique_ptr<TOVLuaLibHost> lib_host_;  // what the replaced library functions call back
  void* lib_handle_ = nullptr;
  bool available_ = false;
  std::string sandbox_chunk_;  // the sandbox, compiled
  TOVLuaHostFactory host_factory_;

  std::atomic<std::uint64_t> memory_limit_{LUA_DEFAULT_MEMORY_LIMIT};
  std::atomic<std::int32_t> timeout_ms_{LUA_DEFAULT_TIMEOUT_MS};
  std::atomic<std::int32_t> busy_wait_ms_{-1};

  // ---- Guarded by lock_ (re-entrant; a registry lock, never held while Lua runs) ----
  mutable TOVRecursiveLock lock_{LockLevel::Registry};
  std::vector<std::shared_ptr<TOVLuaPlugin>> plugins_ GUARDED_BY(lock_);
};

extern TOVService<TOVLuaEngine> LuaEngine;

// Start-up: when [plugins] enabled and [plugins] lua_enabled are both true, creates the engine
// and, when the library was found, loads every "*.lua" file of [paths] plugin_dir with the
// event bus and the server's start time.  host_factory makes each plug-in's host.
void StartupLuaEngine(TOVLuaHostFactory host_factory = nullptr);
// Shutdown step "LuaEngine.Free": unloads every plug-in and frees the engine.
void ShutdownLuaEngine(const std::function<void(const std::string&)>& step);

}  // namespace ov
