// TOVPluginHost: the server's side of IOVPluginHost, one per loaded plug-in (native or Lua).
// An ordinary C++ class with typed methods; the interface a plug-in receives is one static
// table of extern "C" thunks over them (ov_plugin_host.cpp), reached from the interface
// pointer the host hands out.
//
// Every guarded operation first checks its permission against the granted set and throws
// EOVPluginError when it is missing.  Errors thrown by a host method travel through the calling
// plug-in's frames back to the server code that called into the plug-in.
//
// Concurrency: a host is called on whatever thread the plug-in runs on.  It has no lock of its
// own: its name is constant, the granted set is atomic, and the database object serialises the
// work (reads from the pool, writes and Declare*/Store* under the write lock).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_event_bus.h"
#include "ov_json_helpers.h"
#include "ov_plugin_api.h"

namespace ov {

// A failure the host reports to a plug-in (missing permission, table outside the prefix, ...).
class EOVPluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The core tables raw plug-in SQL may not name, in the order they are checked.
extern const std::vector<std::string_view> CORE_TABLES;

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

  // ---- permissions and server information ----
  TOVPermissionSet GetCurrentPermissions() const noexcept { return TOVPermissionSet(granted_.load(std::memory_order_acquire)); }
  bool HasPermission(TOVPermission perm) const noexcept;
  std::string GetServerVersion() const;
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
  // The granted set (bits); replaced by the owner, read by every check.
  std::atomic<std::uint32_t> granted_{0};
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
