// TOVPluginHost: the server's side of IOVPluginHost, one per loaded plug-in (native or Lua).
// An ordinary C++ class with typed methods; the interface a plug-in receives is one static
// table of extern "C" thunks over them (ov_plugin_host.cpp), reached from the interface
// pointer the host hands out.
//
// Every guarded operation first checks its permission against the granted set and throws
// EOVPluginError when it is missing.  Errors thrown by a host method travel through the calling
// plug-in's frames back to the server code that called into the plug-in.
//
// Slots 21-70 (events, routes, admin pages, sessions, plug-in calls, users, the hub, security,
// batches) are thin bridges to the server's services (ov_plugin_host_services.cpp); each reads
// its service through the service's slot and gives the neutral answer when it is absent.
//
// Concurrency: a host is called on whatever thread the plug-in runs on.  It has no lock of its
// own: its name is constant, the granted set is atomic, and the database object serialises the
// work (reads from the pool, writes and Declare*/Store* under the write lock).  A database batch
// holds the write lock from BeginBatch to its end on the same thread; what a batch may use
// (events, sessions) takes no lock that waits for the write lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_event_bus.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_plugin_api.h"

namespace ov {

// A failure the host reports to a plug-in (missing permission, table outside the prefix, ...).
class EOVPluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The core tables raw plug-in SQL may not name, in the order they are checked.
extern const std::vector<std::string_view> CORE_TABLES;

class TOVPluginRuntime;
class TOVServiceProxy;

class TOVPluginHost {
 public:
  // event_bus: the slot of the bus the plug-in reaches (nullptr: none); start_time: the server's
  // start, for GetUptime.  The granted set starts empty: every guarded operation fails until
  // the owner grants.
  TOVPluginHost(std::string plugin_name, TOVPermissionSet requested, TOVService<TOVEventBus>* event_bus,
                std::chrono::system_clock::time_point start_time);
  TOVPluginHost(const TOVPluginHost&) = delete;
  TOVPluginHost& operator=(const TOVPluginHost&) = delete;

  const std::string& PluginName() const noexcept { return name_; }
  TOVPermissionSet RequestedPermissions() const noexcept { return requested_; }
  void SetGrantedPermissions(TOVPermissionSet perms) noexcept { granted_.store(perms.Bits(), std::memory_order_release); }
  TOVService<TOVEventBus>* EventBusSlot() const noexcept { return event_bus_; }
  // The runtime that owns this host (set once by the loader, before the plug-in gets the host):
  // what routes and event deliveries hold while they run the plug-in's code.  A host without
  // one (a Lua plug-in's, or one made alone in a test) is unbound: its callbacks run unguarded.
  void AttachRuntime(std::weak_ptr<TOVPluginRuntime> runtime) noexcept {
    runtime_ = std::move(runtime);
    runtime_bound_ = true;
  }
  const std::weak_ptr<TOVPluginRuntime>& Runtime() const noexcept { return runtime_; }
  bool RuntimeBound() const noexcept { return runtime_bound_; }

  // The interface handed to the plug-in; valid as long as this host.
  IOVPluginHost* Intf() noexcept { return &intf_.intf; }
  // The host behind an interface pointer made by Intf().
  static TOVPluginHost& FromIntf(IOVPluginHost* intf) noexcept;

  // ---- gate ----
  // Throws EOVPluginError "Plugin \"<name>\" denied permission: <permission>" unless granted.
  void CheckPermission(TOVPermission perm) const;
  // "p_" + the name lower-cased with "-" as "_" + "_".
  std::string GetTablePrefix() const;
  // Throws unless table starts with the prefix (ignoring case).
  void EnforceTablePrefix(std::string_view table) const;
  // The core-table guard of raw SQL: returns sql unchanged or throws.
  std::string PrefixTable(std::string_view sql) const;

  // ---- slots 0-20 ----
  void LogInfo(std::string_view msg) const;
  void LogWarning(std::string_view msg) const;
  void LogError(std::string_view msg) const;
  void LogDebug(std::string_view msg) const;
  void SystemLog(std::string_view level, std::string_view category, std::string_view message,
                 std::string_view details = {}) const;
  // Rows as a new array; a failure (a core table, a database error) is logged and gives [].
  TJSON DBQuery(std::string_view sql) const;
  // True when executed; false after a logged failure.
  bool DBExec(std::string_view sql) const;
  // "?" outside quotes become :p0, :p1, ...; params (an array, may be null) bind in order.
  bool DBExecParams(std::string_view sql, const TJSON* params) const;
  void DBCreateTable(std::string_view sql) const;
  bool DeclareTable(const TDBATableSpec& spec) const;
  bool DeclareColumn(std::string_view table, const TDBAColumnSpec& spec) const;
  bool DeclareIndex(std::string_view table, const TDBAIndexSpec& spec) const;
  std::int64_t StoreInsert(std::string_view table, const TJSON& row) const;
  std::int32_t StoreUpdate(std::string_view table, const TDBACriterion* where, const TJSON& row) const;
  std::int32_t StoreDelete(std::string_view table, const TDBACriterion* where) const;
  TJSON StoreSelect(const TDBASelectSpec& spec) const;
  std::int64_t StoreUpsert(std::string_view table, const TJSON& row, const std::vector<std::string>& key_cols) const;
  std::string ConfigGet(std::string_view key, std::string_view default_value) const;
  void ConfigSet(std::string_view key, std::string_view value) const;
  TJSON ConfigGetSection(std::string_view section) const;

  // ---- events and routes (slots 21-26) ----
  // The bus keeps code/data as the callback's identity; a delivery holds the plug-in's runtime
  // guard and hands the event data over borrowed.
  void EventSubscribe(std::string_view event_type, OVEventCallbackCode code, void* data) const;
  void EventUnsubscribeCallback(OVEventCallbackCode code, void* data) const;
  void EventFire(std::string_view event_type, const TJSON* data) const;
  // A route the registry refuses (a path without the leading "/", a route of the server's own)
  // is logged as a warning naming the plug-in, the route and why, and the plug-in goes on with
  // its other routes.  A missing permission or an empty handler throws EOVPluginError.
  void RouteRegister(std::string_view method, std::string_view path, OVRouteHandlerCode code, void* data) const;
  void AdminAddMenu(std::string_view title, std::string_view url, std::string_view icon, std::int32_t position,
                    std::string_view group) const;
  void AdminRegisterPage(std::string_view path, std::string_view html_file) const;

  // ---- sessions (slots 27-29, 49-53) ----
  TJSON SessionGetAll() const;
  std::optional<TJSON> SessionGetByNode(std::int32_t node) const;
  std::int32_t SessionGetCount() const;
  std::int32_t SessionAllocateNode() const;
  void SessionReleaseNode(std::int32_t node) const;
  void SessionSetNodeUser(std::int32_t node, std::string_view user_name, std::int32_t user_id) const;
  void SessionSetNodeAddress() const;

  // ---- plug-in calls (slots 30-31) ----
  // Passes no caller: plug-ins keep their access to every "_system" function.
  std::unique_ptr<TJSON> PluginCall(std::string_view plugin, std::string_view function, const TJSON* args) const;
  // Another plug-in as an IOVPlugin of the host's own (a proxy), never the plug-in's object:
  // each call through it enters the plug-in's current instance (found by name: a reload is
  // followed) under its runtime guard, and raises EOVPluginError when the plug-in is not loaded,
  // not enabled or being unloaded.  GetServicePlugin and GetScheduledPlugin hand out proxies
  // too; the server's own hooks (protocol, routes, admin, database, events, detector) read as
  // absent, and Initialize and Finalize are refused.  nullptr when no such plug-in is loaded.
  // One proxy per name (case ignored), owned by this host.
  IOVPlugin* PluginGetService(std::string_view plugin) const EXCLUDES(proxies_lock_);

  // ---- users and access control (slots 34-40) ----
  std::optional<TJSON> UserGet(std::int32_t user_id) const;
  std::optional<TJSON> UserAuthenticate(std::string_view username, std::string_view password) const;
  // A new active user with a fresh GUID and security level 10; its id.  A password shorter
  // than 6 bytes throws EOVPluginError "Password must be at least 6 characters"; database
  // errors (a taken name) pass on.
  std::int32_t UserCreate(std::string_view username, std::string_view password, std::string_view real_name,
                          std::string_view email) const;
  std::string ACLGetUserFlags(std::int32_t user_id) const;
  bool ACLCheckAccess(std::int32_t user_id, std::int32_t resource_security, std::string_view required_flags) const;
  bool ACLCheckAccessByFlags(std::string_view user_flags, bool user_is_admin, std::int32_t user_security_level,
                             std::int32_t resource_security, std::string_view required_flags) const;
  void ACLRegisterFlag(std::string_view flag, std::string_view description, std::string_view category) const;

  // ---- the WebSocket hub (slots 58, 61, 62) ----
  void WSPushCommand(std::string_view protocol, const TJSON* command) const;
  void WSSendToClient(std::int32_t client_id, const TJSON* command) const;
  TJSON WSGetClientsByProtocol(std::string_view protocol) const;

  // ---- security (slots 63-66) ----
  bool SecurityIsBanned(const std::string& ip) const;
  bool SecurityAllowConnection(const std::string& ip) const;
  void SecurityConnectionOpened(const std::string& ip) const;
  void SecurityConnectionClosed(const std::string& ip) const;

  // ---- batches (slots 67-70) ----
  void BeginBatch() const;
  void CommitBatch() const;
  void RollbackBatch() const;
  std::int64_t DBLastInsertID() const;

  // ---- permissions and server information ----
  TOVPermissionSet GetCurrentPermissions() const noexcept { return TOVPermissionSet(granted_.load(std::memory_order_acquire)); }
  bool HasPermission(TOVPermission perm) const noexcept;
  std::string GetServerVersion() const;
  // [bbs_name] of system_config, else "Orvanta BBS".
  std::string GetServerName() const;
  std::int64_t GetUptime() const;

 private:
  // Standard layout, so that the interface pointer leads back to its host.
  struct TIntf {
    IOVPluginHost intf;
    TOVPluginHost* owner;
  };

  template <class F>
  auto UnderWriteLock(F&& f) const;

  // Constant after construction.
  const std::string name_;
  const TOVPermissionSet requested_;
  TOVService<TOVEventBus>* const event_bus_;
  const std::chrono::system_clock::time_point start_time_;
  TIntf intf_;
  // Set once before the plug-in receives the host (AttachRuntime).
  std::weak_ptr<TOVPluginRuntime> runtime_;
  bool runtime_bound_ = false;
  // The granted set (bits); replaced by the owner, read by every check.
  std::atomic<std::uint32_t> granted_{0};

  // ---- Guarded by proxies_lock_ (a leaf: only the map is used under it) ----
  mutable TOVLock proxies_lock_{LockLevel::Leaf};
  struct TProxyDelete {
    void operator()(TOVServiceProxy* p) const noexcept;
  };
  // Lower-cased plug-in name -> its proxy, freed with the host: the proxy's callers run inside
  // this host's plug-in, which is freed only once no call into it runs.
  mutable std::map<std::string, std::unique_ptr<TOVServiceProxy, TProxyDelete>> proxies_ GUARDED_BY(proxies_lock_);
};

// Around every call into a plug-in (TOVPluginGuard::Call): a database batch the plug-in began on
// this thread during the call and did not end is rolled back when the call ends, and logged as
// the plug-in's error.  A batch must end within the call that began it.
class TOVPluginBatchScope {
 public:
  explicit TOVPluginBatchScope(const TOVPluginHost* host) noexcept;
  ~TOVPluginBatchScope();
  TOVPluginBatchScope(const TOVPluginBatchScope&) = delete;
  TOVPluginBatchScope& operator=(const TOVPluginBatchScope&) = delete;

 private:
  const TOVPluginHost* host_;
  int depth_;
};

// ---- plugin_state.config_json, shared with the plug-in manager ----

// The stored config_json text of the plug-in's plugin_state row; nullopt without a row.
// Database errors propagate.
std::optional<std::string> ReadPluginConfigText(const std::string& plugin_name);
// Reads config_json ("{}" without a row), parses it (a new object when it is not an object),
// lets edit change it and writes it back in the spaced JSON form with updated_at, committed.
// Without a row nothing is stored.  Runs under the database write lock.
void UpdatePluginConfig(const std::string& plugin_name, const std::function<void(TJSON&)>& edit);

// "?" outside quoted text and comments replaced by :p0, :p1, ... (raw plug-in SQL).
std::string NumberQuestionMarks(std::string_view sql);

}  // namespace ov
