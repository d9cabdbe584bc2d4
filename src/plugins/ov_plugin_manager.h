// TOVPluginManager: the server's plug-in manager (global PluginMgr), on the base loader.  It
// gives every plug-in a TOVPluginHost, decides and stores granted permissions, keeps one
// plugin_state row per plug-in, creates and migrates the tables of database plug-ins, orders
// initialisation by dependencies, unloads, reloads and picks up new libraries at run time, and
// answers the server's own "_system" functions.
//
// Database work runs on write queries under the database write lock (after the manager's lock
// where both are held: plug-in manager before database).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ov_base_plugin_manager.h"
#include "ov_service.h"

namespace ov {

class TOVPluginManager : public TOVBasePluginManager {
 public:
  // Logs "Plugin manager initialized, dir: %s".
  TOVPluginManager(std::string plugin_dir, std::chrono::system_clock::time_point start_time);
  ~TOVPluginManager() override;

  // Takes a plug-in out of the table while the server runs: waits (bounded) for its calls in
  // flight, disables it (with its dependents), finalises and destroys it.  "" when done or when
  // no such plug-in is loaded; otherwise the reason, and the plug-in is left as it was (busy,
  // when given, tells that calls were still running).  Must not be called with the manager's
  // lock held.
  std::string UnloadPlugin(const std::string& name, bool* busy = nullptr);
  // Replaces a loaded plug-in by a fresh load of its library (the new code runs even when the
  // file was replaced in place), initialises and enables it.  "" on success, else the reason;
  // busy (when given) is set when calls still running kept it from unloading, and the plug-in
  // is then left as it was.
  std::string ReloadPlugin(const std::string& name, bool* busy = nullptr);
  // Loads and initialises the libraries of the plug-in directory that are not loaded yet;
  // returns how many were loaded.  failed (when given) receives (library path, the loader's
  // message) for each library that did not load.
  int ScanNewPlugins(std::vector<std::pair<std::string, std::string>>* failed = nullptr);
  // Replaces the granted set of a loaded plug-in and stores it; an unknown name does nothing.
  void ApprovePermissions(const std::string& name, TOVPermissionSet perms);
  // A copy of the entry at index (nullopt outside the table).
  std::optional<TOVBaseLoadedPlugin> GetPluginIndex(int index) const;
  // Kahn's ordering of the table by dependencies; false when some plug-ins (a cycle) were
  // left out, each logged.
  bool ResolveDependencies(std::vector<std::string>& order);

  void EnsurePluginState(const std::string& name, const std::string& version);
  // The stored "_granted_permissions"; empty when there is no row or it cannot be read.
  TOVPermissionSet LoadPluginPermsFromDB(const std::string& name);
  void SavePluginPermsToDB(const std::string& name, TOVPermissionSet perms);
  bool IsPluginEnabledInDB(const std::string& name);

 protected:
  std::unique_ptr<TOVPluginHost> CreateHost(const std::string& name, TOVPermissionSet perms) override;
  bool IsPluginAutoEnabled(const std::string& name) override { return IsPluginEnabledInDB(name); }
  void GrantPermissions(TOVBaseLoadedPlugin& entry) override REQUIRES(lock_);
  void SetHostPermissions(TOVBaseLoadedPlugin& entry, TOVPermissionSet perms) override REQUIRES(lock_);
  TOVService<TOVEventBus>::Ref GetEventBusRef() override;
  void OnPluginLoaded(const TOVBaseLoadedPlugin& entry) override { EnsurePluginState(entry.Name, entry.Version); }
  void OnPluginEnabled(const std::string& name) override { StoreEnabled(name, true); }
  void OnPluginDisabled(const std::string& name) override { StoreEnabled(name, false); }
  void RegisterPluginSideEffects(TOVBaseLoadedPlugin& entry) override REQUIRES(lock_);
  void UnregisterPluginSideEffects(TOVBaseLoadedPlugin& entry) override REQUIRES(lock_);
  void BuildPluginJSON(TOVBaseLoadedPlugin& entry, TJSON& obj) override REQUIRES(lock_);
  void OnPluginInitialized(const TOVBaseLoadedPlugin& entry) override;
  void GetInitOrder(std::vector<int>& order) override REQUIRES(lock_);
  std::unique_ptr<TJSON> HandleSystemCall(const std::string& func_name, const TJSON* args) override;

 private:
  void StoreEnabled(const std::string& name, bool enabled);
  // Creates or migrates the tables of a database plug-in.
  void ManageSchema(const TOVBaseLoadedPlugin& entry);
};

extern TOVService<TOVPluginManager> PluginMgr;

// Start-up: with [plugins] enabled, creates PluginMgr on [paths] plugin_dir, scans the directory
// and initialises what it found; otherwise logs "Plugin system disabled in configuration".
void StartupPluginManager();
// Shutdown step "PluginMgr.Free".
void ShutdownPluginManager(const std::function<void(const std::string&)>& step);
// The summary line's count: plug-ins loaded now (0 without a manager).
int LoadedPluginCount();

}  // namespace ov
