#include "ov_plugin_manager.h"

#include <algorithm>
#include <deque>
#include <filesystem>

#include "ov_admin_registry.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_log.h"
#include "ov_paging.h"
#include "ov_plugin_routes.h"
#include "ov_plugin_sdk.h"
#include "ov_server_state.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVPluginManager> PluginMgr;

namespace {

// Paging of ListUsers and GetSystemLogs: page from 1; per_page 1..200, 50 when below 1.
TOVPaging ReadPage(const TJSON* args) {
  constexpr TOVPageLimits kLimits{50, 200};
  return MakePaging(args ? JInt(*args, "page", 1) : 1, args ? JInt(*args, "per_page", 50) : 50, kLimits);
}

// The count and the page args ask for of a list: {"success": true, <member>: rows, "total",
// "page", "per_page"}.
TJSON ReadPaged(const TJSON* args, const char* member, const TOVPagedSelect& select, const TOVRowToJSON& row) {
  const TOVPaging pg = ReadPage(args);
  TOVPagedRows page;
  {
    auto db = RequireDB();
    auto q = db->NewReadQuery();
    page = ReadPagedRows(q, select, pg, row);
  }
  TJSON r = TJSON::object();
  r["success"] = true;
  r[member] = std::move(page.rows);
  r["total"] = page.total;
  r["page"] = pg.page;
  r["per_page"] = pg.per_page;
  return r;
}

TJSON Failure(const char* error) {
  TJSON r = TJSON::object();
  r["success"] = false;
  r["error"] = error;
  return r;
}

// A user row as the "_system" functions answer it; the flags become Booleans.
TJSON UserFromRow(const TOVQueryBase& q) {
  TJSON u = q.RowJSON();
  for (const char* flag : {"is_admin", "is_active"}) {
    TJSON& v = u[flag];
    v = v.is_boolean() ? v.get<bool>() : (v.is_number() && v.get<std::int64_t>() == 1);
  }
  return u;
}

// "WHERE id = :uid OR guid = :uguid" for an id given as text: a row id in digits, or a GUID.  The
// id is bound as a number (-1, which no row has, for anything but digits), so a GUID is never
// compared with an integer column (an error on PostgreSQL, a false match on MariaDB).
constexpr const char* kUserByIdOrGuid = " WHERE id = :uid OR guid = :uguid";
void BindUserIdOrGuid(TOVQueryBase& q, const std::string& id) {
  const bool digits = !id.empty() && id.size() < 19 && std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
  q.Param("uid", digits ? static_cast<std::int64_t>(std::stoll(id)) : std::int64_t{-1});
  q.Param("uguid", id);
}

constexpr const char* kUserColumns =
    "id, guid, username, real_name, email, location, security_level, is_admin, is_active, gender, last_login, "
    "total_calls, total_posts, ";

TJSON ListUsers(const TJSON* args) {
  return ReadPaged(args, "users", {std::string(kUserColumns) + "created_at", "users", "", {{"id", false}}, nullptr},
                   UserFromRow);
}

TJSON GetUser(const TJSON* args) {
  const std::string id = args ? JStr(*args, "id") : std::string();
  if (id.empty()) return Failure("Missing id parameter");
  auto db = RequireDB();
  auto q = db->NewReadQuery();
  q.SetSQL(std::string("SELECT ") + kUserColumns + "total_uploads, total_downloads, created_at FROM users" +
           kUserByIdOrGuid);
  BindUserIdOrGuid(q, id);
  q.Open();
  if (q.Eof()) return Failure("User not found");
  TJSON r = TJSON::object();
  r["success"] = true;
  r["user"] = UserFromRow(q);
  return r;
}

TJSON UpdateUser(const TJSON* args) {
  const std::string id = args ? JStr(*args, "id") : std::string();
  if (id.empty()) return Failure("Missing id parameter");
  auto db = RequireDB();
  TOVDBLockGuard lock(*db);
  for (const char* column : {"is_active", "is_admin", "security_level"}) {
    const auto it = args->find(column);
    if (it == args->end() || !it->is_number()) continue;
    auto q = db->NewQuery();
    q.SetSQL(std::string("UPDATE users SET ") + column + " = :val, updated_at = " + db->NowExpr() + kUserByIdOrGuid);
    q.Param("val", JInt(*args, column));
    BindUserIdOrGuid(q, id);
    q.ExecSQL();
    db->Commit();
  }
  TJSON r = TJSON::object();
  r["success"] = true;
  return r;
}

TJSON GetSystemLogs(const TJSON* args) {
  const std::string level = args ? JStr(*args, "level") : std::string();
  const std::string source = args ? JStr(*args, "source") : std::string();
  std::string cond;
  if (!level.empty()) cond = "level = :lvl";
  if (!source.empty()) cond += std::string(cond.empty() ? "" : " AND ") + "source = :src";
  const TOVPagedSelect select{"id, timestamp, level, source, category, message, details",
                              "system_logs", cond, {{"id", true}}, [&](TOVQueryBase& q) {
                                if (!level.empty()) q.Param("lvl", level);
                                if (!source.empty()) q.Param("src", source);
                              }};
  return ReadPaged(args, "logs", select, [](const TOVQueryBase& q) { return q.RowJSON(); });
}

TJSON GetSystemConfig(const TJSON* args) {
  const std::string key = args ? JStr(*args, "key") : std::string();
  if (key.empty()) return Failure("Missing key parameter");
  auto db = RequireDB();
  auto q = db->NewReadQuery();
  q.SetSQL("SELECT value FROM system_config WHERE " + db->QuoteIdent("key") + " = :k");
  q.Param("k", key);
  q.Open();
  TJSON r = TJSON::object();
  r["success"] = true;
  r["value"] = q.Eof() ? std::string() : q.Str("value");
  return r;
}

using TSystemFunction = TJSON (*)(const TJSON* args);
constexpr std::pair<std::string_view, TSystemFunction> kSystemFunctions[] = {
    {"ListUsers", ListUsers},
    {"GetUser", GetUser},
    {"UpdateUser", UpdateUser},
    {"GetSystemLogs", GetSystemLogs},
    {"GetSystemConfig", GetSystemConfig},
};

}  // namespace

// ---- life ----------------------------------------------------------------------------------------

TOVPluginManager::TOVPluginManager(std::string plugin_dir, std::chrono::system_clock::time_point start_time)
    : TOVBasePluginManager(std::move(plugin_dir), start_time, ptServer) {
  LogInfo("Plugin manager initialized, dir: %s", PluginDir());
}

// Shut down while this class's hooks still exist (the base destructor finds an empty table).
TOVPluginManager::~TOVPluginManager() {
  try {
    ShutdownAll();
  } catch (const std::exception& e) {
    LogError("Plugin manager shutdown error: %s", e.what());
  }
}

std::unique_ptr<TOVPluginHost> TOVPluginManager::CreateHost(const std::string& name, TOVPermissionSet perms) {
  return std::make_unique<TOVPluginHost>(name, perms, &EventBus, StartTime());
}

TOVService<TOVEventBus>::Ref TOVPluginManager::GetEventBusRef() { return EventBus.Get(); }

void TOVPluginManager::SetHostPermissions(TOVBaseLoadedPlugin& entry, TOVPermissionSet perms) {
  if (TOVPluginHost* host = entry.HostObj()) host->SetGrantedPermissions(perms);
}

// A permission once stored stays granted, also when the plug-in stops asking for it; new
// requests are granted and stored.
void TOVPluginManager::GrantPermissions(TOVBaseLoadedPlugin& entry) {
  const TOVPermissionSet saved = LoadPluginPermsFromDB(entry.Name);
  const TOVPermissionSet requested = entry.RequestedPerms;
  TOVPermissionSet granted;
  if (saved.Empty()) {
    granted = requested;
    SavePluginPermsToDB(entry.Name, requested);
  } else {
    granted = saved + requested;
    if (!(requested - saved).Empty()) {
      SavePluginPermsToDB(entry.Name, granted);
      LogInfo("Auto-granted new permissions for plugin: %s", entry.Name);
    }
  }
  entry.GrantedPerms = granted;
  SetHostPermissions(entry, granted);
}

void TOVPluginManager::RegisterPluginSideEffects(TOVBaseLoadedPlugin& entry) {
  TOVPluginGuard g(entry.Runtime);
  IOVPlugin* p = entry.Plugin();
  g.Call([&] {
    if (entry.Capabilities.Has(pcRoutes))
      if (IOVRoutePlugin* r = OV_PCALL(p, GetRoutePlugin)) OV_PCALL(r, RegisterRoutes);
    if (entry.Capabilities.Has(pcAdmin))
      if (IOVAdminPlugin* a = OV_PCALL(p, GetAdminPlugin)) OV_PCALL(a, RegisterAdmin);
  });
  TOVBasePluginManager::RegisterPluginSideEffects(entry);
}

// The server's registries lose the plug-in's part whatever its own UnregisterRoutes does: a
// plug-in that fails there is still disabled, with nothing of it left reachable.
void TOVPluginManager::UnregisterPluginSideEffects(TOVBaseLoadedPlugin& entry) {
  if (entry.Capabilities.Has(pcRoutes)) {
    try {
      TOVPluginGuard g(entry.Runtime);
      IOVPlugin* p = entry.Plugin();
      g.Call([&] {
        if (IOVRoutePlugin* r = OV_PCALL(p, GetRoutePlugin)) OV_PCALL(r, UnregisterRoutes);
      });
    } catch (const std::exception& e) {
      LogError("Plugin %s UnregisterRoutes failed: %s", entry.Name, e.what());
    }
  }
  if (auto routes = PluginRoutes.Get()) routes->UnregisterPlugin(entry.Name);
  if (auto menu = AdminMenu.Get()) menu->RemovePlugin(entry.Name);
  if (auto pages = AdminPages.Get()) pages->RemovePlugin(entry.Name);
  TOVBasePluginManager::UnregisterPluginSideEffects(entry);
}

void TOVPluginManager::BuildPluginJSON(TOVBaseLoadedPlugin& entry, TJSON& obj) {
  TOVBasePluginManager::BuildPluginJSON(entry, obj);
  obj["is_native"] = entry.IsNative;
  obj["requested_permissions"] = PermissionSetToJSON(entry.RequestedPerms);
  obj["granted_permissions"] = PermissionSetToJSON(entry.GrantedPerms);
  obj["dependencies"] = entry.Dependencies;
  obj["has_config"] = entry.Capabilities.Has(pcConfig);
  obj["capabilities"] = CapabilitiesToJSON(entry.Capabilities);
}

// ---- plugin_state --------------------------------------------------------------------------------

void TOVPluginManager::EnsurePluginState(const std::string& name, const std::string& version) {
  auto db = RequireDB();
  TOVDBLockGuard lock(*db);
  bool exists;
  {
    auto q = db->NewQuery();
    q.SetSQL("SELECT id FROM plugin_state WHERE plugin_name = :pn");
    q.Param("pn", name);
    q.Open();
    exists = !q.Eof();
  }
  auto q = db->NewQuery();
  if (!exists)
    q.SetSQL("INSERT INTO plugin_state (plugin_name, plugin_version, is_enabled, config_json) VALUES (:pn, :pv, 0, '{}')");
  else
    q.SetSQL("UPDATE plugin_state SET plugin_version = :pv, updated_at = " + db->NowExpr() + " WHERE plugin_name = :pn");
  q.Param("pn", name);
  q.Param("pv", version);
  q.ExecSQL();
  db->Commit();
}

TOVPermissionSet TOVPluginManager::LoadPluginPermsFromDB(const std::string& name) {
  try {
    const auto text = ReadPluginConfigText(name);
    if (!text) return {};
    const auto cfg = ParseJson(*text);
    if (!cfg || !cfg->is_object()) return {};
    const auto it = cfg->find("_granted_permissions");
    return it == cfg->end() ? TOVPermissionSet() : JSONToPermissionSet(&*it);
  } catch (const std::exception&) {
    return {};
  }
}

void TOVPluginManager::SavePluginPermsToDB(const std::string& name, TOVPermissionSet perms) {
  UpdatePluginConfig(name, [&](TJSON& cfg) { cfg["_granted_permissions"] = PermissionSetToJSON(perms); });
}

bool TOVPluginManager::IsPluginEnabledInDB(const std::string& name) {
  auto db = RequireDB();
  auto q = db->NewQuery();
  q.SetSQL("SELECT is_enabled FROM plugin_state WHERE plugin_name = :pn");
  q.Param("pn", name);
  q.Open();
  return !q.Eof() && q.Field(0).AsInt64() == 1;
}

void TOVPluginManager::StoreEnabled(const std::string& name, bool enabled) {
  auto db = RequireDB();
  auto q = db->NewQuery();
  q.SetSQL("UPDATE plugin_state SET is_enabled = :on, updated_at = " + db->NowExpr() + " WHERE plugin_name = :pn");
  q.Param("on", std::int64_t{enabled ? 1 : 0});
  q.Param("pn", name);
  q.ExecSQL();
  db->Commit();
}

void TOVPluginManager::ApprovePermissions(const std::string& name, TOVPermissionSet perms) {
  std::string entry_name;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0) return;
    auto& e = plugins_[static_cast<std::size_t>(i)];
    e.GrantedPerms = perms;
    SetHostPermissions(e, perms);
    entry_name = e.Name;
  }
  SavePluginPermsToDB(entry_name, perms);
  LogInfo("Permissions updated for plugin: %s", entry_name);
}

std::optional<TOVBaseLoadedPlugin> TOVPluginManager::GetPluginIndex(int index) const {
  TOVLockGuard g(lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= plugins_.size()) return std::nullopt;
  return plugins_[static_cast<std::size_t>(index)];
}

// ---- dependencies --------------------------------------------------------------------------------

bool TOVPluginManager::ResolveDependencies(std::vector<std::string>& order) {
  TOVLockGuard g(lock_);
  order.clear();
  std::vector<int> pending(plugins_.size(), 0);
  for (std::size_t i = 0; i < plugins_.size(); ++i)
    for (const auto& d : plugins_[i].Dependencies)
      if (FindPlugin(d) >= 0) ++pending[i];
  std::deque<std::string> queue;
  for (std::size_t i = 0; i < plugins_.size(); ++i)
    if (pending[i] == 0) queue.push_back(plugins_[i].Name);
  while (!queue.empty()) {
    const std::string name = queue.front();
    queue.pop_front();
    order.push_back(name);
    for (std::size_t i = 0; i < plugins_.size(); ++i)
      for (const auto& d : plugins_[i].Dependencies)
        if (EqualsFoldCase(d, name) && --pending[i] == 0) queue.push_back(plugins_[i].Name);
  }
  bool complete = true;
  for (const auto& e : plugins_)
    if (std::find(order.begin(), order.end(), e.Name) == order.end()) {
      LogError("Plugin \"%s\" has unresolved dependencies", e.Name);
      complete = false;
    }
  return complete;
}

void TOVPluginManager::GetInitOrder(std::vector<int>& order) {
  std::vector<std::string> names;
  if (!ResolveDependencies(names)) LogWarning("Some plugins have unresolved dependencies");
  std::fill(order.begin(), order.end(), -1);
  for (std::size_t i = 0; i < names.size() && i < order.size(); ++i) order[i] = FindPlugin(names[i]);
}

// ---- schema ----------------------------------------------------------------------------------------

void TOVPluginManager::OnPluginInitialized(const TOVBaseLoadedPlugin& entry) {
  if (!entry.Capabilities.Has(pcDatabase)) return;
  try {
    ManageSchema(entry);
  } catch (const std::exception& e) {
    LogError("Plugin schema init/migration failed: %s - %s", entry.Name, e.what());
  }
}

// The schema version stored for the plug-in rises to the one it reports: tables are created
// once, migrated upward, and tables that exist from before versioning are migrated from v1.
void TOVPluginManager::ManageSchema(const TOVBaseLoadedPlugin& entry) {
  TOVPluginGuard g(entry.Runtime);
  IOVPlugin* p = entry.Plugin();
  IOVDatabasePlugin* dbp = g.Call([&] { return OV_PCALL(p, GetDatabasePlugin); });
  if (!dbp) return;
  auto db = RequireDB();
  std::int64_t current = 0;
  {
    auto q = db->NewQuery();
    q.SetSQL("SELECT schema_version FROM plugin_state WHERE plugin_name = :pn");
    q.Param("pn", entry.Name);
    q.Open();
    if (!q.Eof()) current = q.Field(0).AsInt64();
  }
  const std::int32_t target = g.Call([&] { return OV_PCALL(dbp, GetSchemaVersion); });
  if (current == 0) {
    const std::string prefix = entry.HostObj()->GetTablePrefix();
    std::size_t existing = 0;
    {
      TOVDBLockGuard lock(*db);
      for (const auto& t : db->Dialect()->ListTables())
        if (t.size() >= prefix.size() && EqualsIgnoreCase(std::string_view(t).substr(0, prefix.size()), prefix)) ++existing;
    }
    if (existing > 0) {
      LogInfo("Plugin %s: pre-versioning upgrade v1 -> v%d", entry.Name, target);
      g.Call([&] { OV_PCALL(dbp, MigrateSchema, 1); });
    } else {
      g.Call([&] { OV_PCALL(dbp, CreateSchema); });
      LogInfo("Plugin %s schema created (v%d)", entry.Name, target);
    }
  } else if (current < target) {
    LogInfo("Plugin %s schema migration: v%d -> v%d", entry.Name, current, target);
    g.Call([&] { OV_PCALL(dbp, MigrateSchema, static_cast<std::int32_t>(current)); });
  }
  if (current < target) {
    auto q = db->NewQuery();
    q.SetSQL("UPDATE plugin_state SET schema_version = :sv, updated_at = " + db->NowExpr() + " WHERE plugin_name = :pn");
    q.Param("sv", std::int64_t{target});
    q.Param("pn", entry.Name);
    q.ExecSQL();
    db->Commit();
  }
}

// ---- unload, reload, scan --------------------------------------------------------------------------

std::string TOVPluginManager::UnloadPlugin(const std::string& name, bool* busy) {
  if (busy) *busy = false;
  if (std::string reason = BeginUnload(name); !reason.empty()) {
    if (busy) *busy = true;
    return reason;
  }
  DisablePlugin(name);
  ReleasePlugin(name);
  LogInfo("Plugin unloaded: %s", name);
  return {};
}

std::string TOVPluginManager::ReloadPlugin(const std::string& name, bool* busy) {
  if (busy) *busy = false;
  std::string path;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0) {
      LogWarning("ReloadPlugin: plugin not found: %s", name);
      return "Plugin not found: " + name;
    }
    path = plugins_[static_cast<std::size_t>(i)].LibPath;
  }
  LogInfo("Reloading plugin: %s from %s", name, path);
  if (std::string reason = UnloadPlugin(name, busy); !reason.empty()) return reason;
  // The old library stays mapped; the loader maps the file again through a fresh copy.
  std::string error;
  if (!LoadNativePlugin(path, error)) {
    LogError("ReloadPlugin: failed to reload %s from %s", name, path);
    return error;
  }
  if (!IsPluginLoaded(name)) {  // the file now holds a plug-in of another name
    LogError("ReloadPlugin: plugin vanished after reload: %s", name);
    return "Plugin vanished after reload: " + name;
  }
  const TInitOutcome r = InitializePlugin(name);
  if (r.kind == TInitOutcome::False) {
    LogError("ReloadPlugin: plugin failed to initialize: %s", name);
    return "Plugin failed to initialize: " + name;
  }
  if (r.kind == TInitOutcome::Failed) {
    LogError("ReloadPlugin: init exception for %s: %s", name, r.error);
    return r.error;
  }
  if (std::string err = EnablePlugin(name); !err.empty()) return err;
  LogInfo("Plugin reloaded successfully: %s", name);
  return {};
}

int TOVPluginManager::ScanNewPlugins(std::vector<std::pair<std::string, std::string>>* failed) {
  LogInfo("Scanning for new plugins in %s", PluginDir());
  RemoveStaleCopies();
  int found = 0;
  std::error_code ec;
  for (const auto& dirent : std::filesystem::directory_iterator(PluginDir(), ec)) {
    const std::string file = dirent.path().filename().string();
    if (file.size() < 4 || file.compare(file.size() - 3, 3, ".so") != 0 || dirent.is_directory(ec)) continue;
    const std::string full = PluginDir() + "/" + file;
    std::string name;
    {
      TOVLockGuard g(lock_);
      const bool loaded = std::any_of(plugins_.begin(), plugins_.end(),
                                      [&](const TOVBaseLoadedPlugin& e) { return EqualsIgnoreCase(e.LibPath, full); });
      if (loaded) continue;
    }
    LogInfo("Found new plugin library: %s", full);
    if (std::string error; !LoadNativePlugin(full, error)) {
      if (failed) failed->emplace_back(full, std::move(error));
      continue;
    }
    ++found;
    {
      TOVLockGuard g(lock_);
      for (const auto& e : plugins_)
        if (e.LibPath == full) name = e.Name;
    }
    if (!name.empty()) InitializeAndEnable(name, "New plugin");
  }
  LogInfo("Plugin scan complete: %d new plugin(s) found", found);
  return found;
}

// ---- "_system" ---------------------------------------------------------------------------------------

std::unique_ptr<TJSON> TOVPluginManager::HandleSystemCall(const std::string& func_name, const TJSON* args) {
  for (const auto& [name, fn] : kSystemFunctions)
    if (func_name == name) return std::make_unique<TJSON>(fn(args && args->is_object() ? args : nullptr));
  return TOVBasePluginManager::HandleSystemCall(func_name, args);
}

// ---- start-up and shutdown -----------------------------------------------------------------------------

void StartupPluginManager() {
  auto cfg = Config.Get();
  if (!cfg || !cfg->PluginsEnabled()) {
    LogInfo("Plugin system disabled in configuration");
    return;
  }
  PluginMgr.Publish(std::make_unique<TOVPluginManager>(cfg->PluginDir(), GetServerStartTime()));
  PluginMgr->ScanPlugins();
  PluginMgr->InitializeAll();
}

void ShutdownPluginManager(const std::function<void(const std::string&)>& step) {
  if (!PluginMgr.Exists()) return;
  if (step) step("PluginMgr.Free");
  PluginMgr.Free();
}

int LoadedPluginCount() {
  auto mgr = PluginMgr.Get();
  return mgr ? mgr->GetPluginCount() : 0;
}

}  // namespace ov
