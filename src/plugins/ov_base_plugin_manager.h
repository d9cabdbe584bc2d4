// TOVBasePluginManager: loads native plug-in libraries from one directory, keeps the table of
// loaded plug-ins, initialises them in dependency order, enables and disables them, routes
// service calls and scheduled tasks into them and shuts them down.  Neutral between
// environments: every environment-specific step is a virtual operation of a subclass
// (TOVPluginManager in the server).
//
// A plug-in is untrusted code.  Every call into it goes through one proxy (CallIntoPlugin) and
// holds a guard on the plug-in's runtime (library, object, host), so that unloading waits
// (bounded) for the calls in flight and never frees what running code still uses.  A library
// whose plug-in was loaded is never closed.
//
// Lock: lock_ (re-entrant, plug-in manager level) guards the table.  Plug-in code that runs
// under it: the getters while loading and listing, Start/Stop of protocol plug-ins, the side
// effects of enabling and disabling, GetScheduledTasks.  Outside it: OVPluginCreate,
// Initialize, CallFunction, RunTask, the dashboard calls, Finalize and OVPluginDestroy on
// unload, and every event fired.  Positions in the table are valid only under the lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <cxxabi.h>

#include "ov_auth.h"
#include "ov_event_bus.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_plugin_api.h"
#include "ov_plugin_host.h"

namespace ov {

// The one proxy around a call into plug-in code: a std::exception passes as it is, anything
// else becomes EOVPluginError("unknown exception").
template <class F>
decltype(auto) CallIntoPlugin(F&& f) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception&) {
    throw;
  } catch (...) {
    throw EOVPluginError("unknown exception");
  }
}

// Refused by the caller rule of the "_system" functions: the message is "Admin access required".
class EOVPluginAccessDenied : public std::runtime_error {
 public:
  EOVPluginAccessDenied() : std::runtime_error("Admin access required") {}
};

// What one loaded plug-in runs on: its library, object and host.  Shared by the table entry and
// every guard, so it outlives the calls in flight; the host is freed with it.
class TOVPluginRuntime {
 public:
  TOVPluginRuntime(void* lib, IOVPlugin* plugin, std::unique_ptr<TOVPluginHost> host)
      : lib_(lib), plugin_(plugin), host_(std::move(host)) {}
  TOVPluginRuntime(const TOVPluginRuntime&) = delete;
  TOVPluginRuntime& operator=(const TOVPluginRuntime&) = delete;

  void* LibHandle() const noexcept { return lib_; }
  IOVPlugin* Plugin() const noexcept { return plugin_; }
  TOVPluginHost* Host() const noexcept { return host_.get(); }
  IOVPluginHost* HostIntf() const noexcept { return host_ ? host_->Intf() : nullptr; }
  // Service calls and scheduled tasks running inside the plug-in now.
  std::int32_t ActiveCalls() const noexcept { return active_calls_.load(); }
  bool Unloading() const noexcept { return unloading_.load(); }

 private:
  friend class TOVPluginGuard;
  friend class TOVBasePluginManager;
  friend class TOVPluginCallCount;
  void Enter() noexcept { guards_.fetch_add(1); }
  // Enters unless the plug-in is being unloaded.  No lock: the guard count is raised before the
  // mark is read and BeginUnload sets the mark before it reads the count (both sequentially
  // consistent), so either the unload waits for this entry or the entry sees the mark.
  bool TryEnter() noexcept;
  void Leave() noexcept;
  // Waits until no guard is held; false when bound passed first.
  bool WaitIdle(std::chrono::milliseconds bound) EXCLUDES(wait_lock_);

  // ---- Constant after construction (plugin_ and host_ are released only when the plug-in is
  // destroyed, by the manager, once no guard is held) ----
  void* const lib_;
  IOVPlugin* plugin_;
  std::unique_ptr<TOVPluginHost> host_;

  // ---- Lock-free ----
  std::atomic<std::int32_t> active_calls_{0};
  std::atomic<int> guards_{0};
  std::atomic<bool> unloading_{false};

  // ---- The unload's wait sleeps on idle_ under wait_lock_ (a leaf); the last guard wakes it ----
  TOVLock wait_lock_{LockLevel::Leaf};
  std::condition_variable_any idle_;
};

// Held by every entry into a plug-in's code.
class TOVPluginGuard {
 public:
  explicit TOVPluginGuard(std::shared_ptr<TOVPluginRuntime> rt) noexcept : rt_(std::move(rt)) { rt_->Enter(); }
  ~TOVPluginGuard() {
    if (rt_) rt_->Leave();
  }
  // A guard taken without the manager's lock, for entries from outside the manager (plug-in
  // routes, event deliveries) that may run under any lock.  nullopt when the plug-in is being
  // unloaded or is gone.  An unbound host (bound false: a host without a runtime, as in tests of
  // the host alone) gives a guard that holds nothing.
  static std::optional<TOVPluginGuard> TryEnter(const std::weak_ptr<TOVPluginRuntime>& rt, bool bound);
  TOVPluginGuard(TOVPluginGuard&& o) noexcept = default;
  TOVPluginGuard& operator=(TOVPluginGuard&&) = delete;
  TOVPluginGuard(const TOVPluginGuard&) = delete;
  TOVPluginGuard& operator=(const TOVPluginGuard&) = delete;

  TOVPluginRuntime& Runtime() const noexcept { return *rt_; }
  IOVPlugin* Plugin() const noexcept { return rt_->Plugin(); }
  // Runs f, a call into the plug-in, through the proxy.  A database batch the plug-in began in
  // the call and left open is rolled back when the call ends: the write lock it holds would
  // otherwise stop every writer of the server.
  template <class F>
  decltype(auto) Call(F&& f) const {
    TOVPluginBatchScope batches(rt_ ? rt_->Host() : nullptr);
    return CallIntoPlugin(std::forward<F>(f));
  }

 private:
  struct TAdopt {};
  TOVPluginGuard(TAdopt, std::shared_ptr<TOVPluginRuntime> rt) noexcept : rt_(std::move(rt)) {}
  std::shared_ptr<TOVPluginRuntime> rt_;
};

// Counts a service call or scheduled task as running inside the plug-in for its scope.
class TOVPluginCallCount {
 public:
  explicit TOVPluginCallCount(TOVPluginRuntime& rt) noexcept : rt_(rt) { rt_.active_calls_.fetch_add(1); }
  ~TOVPluginCallCount() { rt_.active_calls_.fetch_sub(1); }
  TOVPluginCallCount(const TOVPluginCallCount&) = delete;
  TOVPluginCallCount& operator=(const TOVPluginCallCount&) = delete;

 private:
  TOVPluginRuntime& rt_;
};

// One loaded plug-in.
struct TOVBaseLoadedPlugin {
  std::string Name;  // unique in the table, compared ignoring letter case (EqualsFoldCase)
  std::string Version;
  std::string Description;
  std::string Author;
  std::vector<std::string> Dependencies;
  TOVPluginCapabilities Capabilities;
  TOVPluginTarget Target = ptServer;
  TOVPermissionSet RequestedPerms;
  TOVPermissionSet GrantedPerms;
  std::string LibPath;  // the path it was loaded from (a hidden copy's original)
  bool IsEnabled = false;
  bool IsInitialized = false;
  bool IsNative = true;
  bool IsUninstalled = false;
  std::shared_ptr<TOVPluginRuntime> Runtime;

  IOVPlugin* Plugin() const noexcept { return Runtime ? Runtime->Plugin() : nullptr; }
  TOVPluginHost* HostObj() const noexcept { return Runtime ? Runtime->Host() : nullptr; }
  IOVPluginHost* HostIntf() const noexcept { return Runtime ? Runtime->HostIntf() : nullptr; }
  void* LibHandle() const noexcept { return Runtime ? Runtime->LibHandle() : nullptr; }
  std::int32_t ActiveCallCount() const noexcept { return Runtime ? Runtime->ActiveCalls() : 0; }
};

// What a library reports about its plug-in before it is loaded.
struct TOVPluginIdentity {
  std::string Name;
  TOVPluginTarget Target = ptServer;
};

// The identity of the library's plug-in, read as a load reads it: the library mapped from its
// own file, its plug-in created with host, asked what a load asks (descriptions included) and
// destroyed.  nullopt with the loader's message in error when a load would fail there.  The
// library stays mapped and whatever its code started keeps running: only a process of its own
// that ends right after calls this (the plug-in probe, ov_plugin_probe), never the server.
std::optional<TOVPluginIdentity> ReadLibraryIdentityInProcess(const std::string& lib_path, IOVPluginHost* host,
                                                              std::string& error);

class TOVBasePluginManager {
 public:
  // Creates plugin_dir (with parents) when missing.
  TOVBasePluginManager(std::string plugin_dir, std::chrono::system_clock::time_point start_time,
                       TOVPluginTarget environment);
  // ShutdownAll; an exception is logged ("Plugin manager shutdown error: %s") and swallowed.
  virtual ~TOVBasePluginManager();
  TOVBasePluginManager(const TOVBasePluginManager&) = delete;
  TOVBasePluginManager& operator=(const TOVBasePluginManager&) = delete;

  const std::string& PluginDir() const noexcept { return plugin_dir_; }
  std::chrono::system_clock::time_point StartTime() const noexcept { return start_time_; }

  // Position of the entry named name (letter case ignored: EqualsFoldCase), or -1.
  int FindPlugin(const std::string& name) const REQUIRES(lock_);
  // Loads every "*.so" file of the plug-in directory, after removing the private copies of
  // libraries that a crashed process left there.
  void ScanPlugins();
  // Loads one library, always mapped from a private copy (the file may be replaced at any time
  // afterwards); true when its plug-in was added to the table.  A library whose entry points
  // have no unwind information is refused before any of its code runs: a host error could not
  // pass through its frames.
  bool LoadNativePlugin(const std::string& lib_path);
  // Initialises the table in dependency order and enables what is to be enabled.
  void InitializeAll();
  // Stops and releases every plug-in; the table is empty afterwards.
  void ShutdownAll();
  // "" on success or when already enabled, else the reason.
  std::string EnablePlugin(const std::string& name);
  // Disables the plug-in after every enabled plug-in that depends on it.
  void DisablePlugin(const std::string& name);
  void RestartPlugin(const std::string& name);
  int GetPluginCount() const;
  bool IsPluginLoaded(const std::string& name) const;
  // The library path the plug-in was loaded from (not its hidden copy); "" when not loaded.
  std::string GetPluginLibPath(const std::string& name) const;
  void SetPluginVersion(const std::string& name, const std::string& version);
  // One object per entry (not marked uninstalled), in table order.
  TJSON GetPluginJSON();
  // A plug-in's service function, or the server's own when plugin_name is "_system".  caller:
  // the authenticated REST caller, if any (nullptr for plug-ins, the hub and the server): a
  // token caller who is not an administrator is refused the administrative "_system"
  // functions with EOVPluginAccessDenied.  nullptr when the plug-in is missing, disabled, not a
  // service plug-in or does not know the function; exceptions of the plug-in reach the caller.
  std::unique_ptr<TJSON> CallPluginFunction(const std::string& plugin_name, const std::string& func_name,
                                            const TJSON* args, const TOVAuthUser* caller = nullptr);
  // The plug-in's own object, for the server's code; plug-ins get a proxy instead
  // (TOVPluginHost::PluginGetService).
  IOVPlugin* GetPluginService(const std::string& name) const;
  std::int32_t GetPluginActiveCallCount(const std::string& name) const;
  bool IsPluginBusy(const std::string& name) const { return GetPluginActiveCallCount(name) > 0; }
  // Runs one scheduled task; an exception of the task reaches the caller.  Empty when the task
  // was called; otherwise why it was not (the plug-in is missing, disabled or schedules
  // nothing), also logged as a warning.
  [[nodiscard]] std::string RunPluginTask(const std::string& plugin_name, const std::string& task_name);
  // [{"plugin_name", "task_name", "description", "interval_seconds"}] of every enabled
  // scheduled plug-in.
  TJSON GetAllPluginScheduledTasks();
  // A guard on an enabled plug-in for code that calls into it from outside the manager (event
  // deliveries, route handlers); nullopt when it is not loaded, not enabled or being unloaded.
  std::optional<TOVPluginGuard> EnterPlugin(const std::string& name) const;

  // How long unloading waits for the calls in flight (default 5 s).
  void SetUnloadWait(std::chrono::milliseconds bound) noexcept { unload_wait_ms_.store(bound.count()); }

 protected:
  // ---- environment hooks ----
  virtual std::unique_ptr<TOVPluginHost> CreateHost(const std::string& name, TOVPermissionSet perms) = 0;
  virtual bool IsPluginAutoEnabled(const std::string& name) = 0;
  // Fills the entry's GrantedPerms and gives them to its host.
  virtual void GrantPermissions(TOVBaseLoadedPlugin& entry) REQUIRES(lock_) = 0;
  virtual void SetHostPermissions(TOVBaseLoadedPlugin& entry, TOVPermissionSet perms) REQUIRES(lock_) = 0;
  virtual TOVService<TOVEventBus>::Ref GetEventBusRef() = 0;
  // After a library was added (outside the lock; entry is a copy).
  virtual void OnPluginLoaded(const TOVBaseLoadedPlugin&) {}
  virtual void OnPluginEnabled(const std::string&) {}
  virtual void OnPluginDisabled(const std::string&) {}
  // Base: the event plug-in's subscriptions / the bus's unsubscription.
  virtual void RegisterPluginSideEffects(TOVBaseLoadedPlugin& entry) REQUIRES(lock_);
  virtual void UnregisterPluginSideEffects(TOVBaseLoadedPlugin& entry) REQUIRES(lock_);
  // Subclasses add members after the base ones.
  virtual void BuildPluginJSON(TOVBaseLoadedPlugin& entry, TJSON& obj) REQUIRES(lock_);
  // After a successful Initialize (outside the lock; entry is a copy).
  virtual void OnPluginInitialized(const TOVBaseLoadedPlugin&) {}
  // Table positions in initialisation order (order has one place per entry; -1 skips).
  virtual void GetInitOrder(std::vector<int>& order) REQUIRES(lock_);
  virtual std::unique_ptr<TJSON> HandleSystemCall(const std::string& func_name, const TJSON* args);

  // ---- for subclasses ----
  // Removes the private library copies of processes that no longer run (never loaded: their
  // names do not end in ".so"), from the plug-in directory and the temporary directory.
  void RemoveStaleCopies() const;
  // LoadNativePlugin that also reports the logged failure.
  bool LoadNativePlugin(const std::string& lib_path, std::string& error);
  // Grants and calls Initialize; on success marks the entry initialised, logs success_log
  // (when given, with the name) and runs OnPluginInitialized.
  struct TInitOutcome {
    enum Kind { Ok, False, Failed } kind;
    std::string error;  // Failed: the reason
  };
  TInitOutcome InitializePlugin(const std::string& name, const char* success_log = nullptr);
  // InitializePlugin, then EnablePlugin when the plug-in is to be enabled; the outcome is
  // logged as "<what> initialized: %s", "<what> failed to initialize: %s" or
  // "<what> init exception: %s - %s".
  void InitializeAndEnable(const std::string& name, const std::string& what);
  // Marks the plug-in unloading (new calls find it not enabled) and waits, bounded, for the
  // calls in flight.  "" when it is idle now; otherwise the mark is taken back and the reason
  // returned.  An unknown name gives "".
  std::string BeginUnload(const std::string& name);
  // Takes the entry out of the table and releases it: Finalize, OVPluginDestroy, the host.
  void ReleasePlugin(const std::string& name);
  // A copy of the entry (under the lock); nullopt when none.
  std::optional<TOVBaseLoadedPlugin> SnapshotPlugin(const std::string& name) const;
  std::chrono::milliseconds UnloadWait() const noexcept { return std::chrono::milliseconds(unload_wait_ms_.load()); }

  // ---- Guarded by lock_ (re-entrant: plug-in code that runs under it may call the manager) ----
  // The hooks above that require it are called with it held; public methods take it
  // themselves.  Nothing of the manager's chain is taken under it but registries and the
  // database write lock.
  mutable TOVRecursiveLock lock_{LockLevel::PluginManager};
  std::vector<TOVBaseLoadedPlugin> plugins_ GUARDED_BY(lock_);  // load order

 private:
  IOVPluginHost* LoadingHost();
  void FireManagerEvent(const char* event, const std::string& name);
  TJSON GatherDashboardWidgets();

  // ---- Constant after construction ----
  const std::string plugin_dir_;
  const std::chrono::system_clock::time_point start_time_;
  const TOVPluginTarget environment_;

  std::once_flag loading_once_;
  // The host handed to OVPluginCreate: no permissions, kept for the manager's life so that a
  // plug-in that keeps it by mistake cannot reach freed memory.
  std::unique_ptr<TOVPluginHost> loading_host_;
  std::atomic<std::int64_t> unload_wait_ms_{5000};
};

}  // namespace ov
