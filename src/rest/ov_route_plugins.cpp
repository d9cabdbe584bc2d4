#include "ov_route_plugins.h"

#include <optional>
#include <string>

#include "ov_admin_registry.h"
#include "ov_database.h"
#include "ov_json_reply.h"
#include "ov_log.h"
#include "ov_plugin_host.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_manager.h"
#include "ov_route_busy.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_scheduler.h"

namespace ov {

namespace {

constexpr const char* kMsgPluginNotFound = "Plugin not found";
constexpr const char* kMsgPluginNameRequired = "Plugin name required";
constexpr const char* kMsgNoPluginManager = "Plugin manager not available";

// Configuration members the plug-in manager keeps for itself (granted permissions, ...).
bool InternalConfigMember(const std::string& name) { return name.empty() || name.front() == '_'; }

// The name a plug-in's rows are stored under: a loaded plug-in's own spelling (names are unique
// ignoring letter case, a plug-in stores its state under its exact one), else name as given.
std::string StoredPluginName(const std::string& name) {
  std::string loaded = LoadedPluginSpelling(name);
  return loaded.empty() ? name : loaded;
}

// The plug-in a change names: the body's "name", loaded in the plug-in manager.  nullopt once
// 400 or 404 has been answered.
struct TTarget {
  TOVService<TOVPluginManager>::Ref mgr;
  std::string name;
};

std::optional<TTarget> TargetPlugin(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return std::nullopt;
  TTarget t{PluginMgr.Get(), JStr(*body, "name")};
  if (t.name.empty()) {
    SendError(c.resp, 400, kMsgPluginNameRequired);
    return std::nullopt;
  }
  if (!t.mgr || !t.mgr->IsPluginLoaded(t.name)) {
    SendError(c.resp, 404, kMsgPluginNotFound);
    return std::nullopt;
  }
  return t;
}

// Answers 409 with the busy guard's text when the plug-in is in use: true when refused.
bool RefuseWhenBusy(TOVApiRequest& c, const std::string& name, const char* action) {
  const std::string info = GetPluginActiveSessionInfo(name);
  if (info.empty()) return false;
  LogWarning("%s blocked for %s: %s", action, name, info);
  SendError(c.resp, 409, info);
  return true;
}

// The scheduler's rows follow the set of enabled plug-ins: a plug-in's tasks stop when it is
// disabled and are registered again when it is enabled (by hand, by a reload or by a scan).
void RefreshSchedulerTasks() {
  if (auto sched = Scheduler.Get()) sched->RefreshTasks();
}

}  // namespace

// ---- lists -------------------------------------------------------------------------------------------

void HandleListPluginsV2(TOVApiRequest& c) {
  auto mgr = PluginMgr.Get();
  SendSuccess(c.resp, mgr ? mgr->GetPluginJSON() : TJSON::array());
}

void HandleListPlugins(TOVApiRequest& c) {
  SendSuccess(c.resp, ReadList("SELECT id, plugin_name, plugin_version, is_enabled, schema_version, installed_at, "
                               "updated_at FROM plugin_state ORDER BY plugin_name",
                               [](const TOVQueryBase& q) {
                                 TJSON o = TJSON::object();
                                 o["id"] = q.Int("id");
                                 o["plugin_name"] = q.Str("plugin_name");
                                 o["plugin_version"] = q.Str("plugin_version");
                                 o["is_enabled"] = ColumnFlag(q, "is_enabled");
                                 o["schema_version"] = q.Int("schema_version");
                                 o["installed_at"] = q.Str("installed_at");
                                 o["updated_at"] = q.Str("updated_at");
                                 return o;
                               }));
}

void HandleAdminMenuItems(TOVApiRequest& c) {
  auto menu = AdminMenu.Get();
  SendSuccess(c.resp, menu ? menu->GetItems() : TJSON::array());
}

// ---- enable, disable, restart, reload, scan ---------------------------------------------------------

void HandleEnablePlugin(TOVApiRequest& c) {
  std::optional<TTarget> t = TargetPlugin(c);
  if (!t) return;
  if (std::string err = t->mgr->EnablePlugin(t->name); !err.empty()) {
    SendError(c.resp, 409, err);
    return;
  }
  RefreshSchedulerTasks();
  SendSuccess(c.resp);
  LogInfo("Plugin %s enabled by %s", t->name, c.user.Username);
}

void HandleDisablePlugin(TOVApiRequest& c) {
  std::optional<TTarget> t = TargetPlugin(c);
  if (!t || RefuseWhenBusy(c, t->name, "Disable")) return;
  t->mgr->DisablePlugin(t->name);
  RefreshSchedulerTasks();
  SendSuccess(c.resp);
  LogInfo("Plugin %s disabled by %s", t->name, c.user.Username);
}

void HandleRestartPlugin(TOVApiRequest& c) {
  std::optional<TTarget> t = TargetPlugin(c);
  if (!t || RefuseWhenBusy(c, t->name, "Restart")) return;
  try {
    t->mgr->RestartPlugin(t->name);
  } catch (const std::exception& e) {
    SendError(c.resp, 500, std::string("Restart failed: ") + e.what());
    return;
  }
  SendSuccess(c.resp);
  LogInfo("Plugin %s restarted by %s", t->name, c.user.Username);
}

void HandleReloadPlugin(TOVApiRequest& c) {
  std::optional<TTarget> t = TargetPlugin(c);
  if (!t || RefuseWhenBusy(c, t->name, "Reload")) return;
  std::string err;
  bool busy = false;
  try {
    err = t->mgr->ReloadPlugin(t->name, &busy);
  } catch (const std::exception& e) {
    err = e.what();
  }
  if (busy) {
    // Calls that began after the check above kept it past the manager's wait; nothing changed.
    std::string info = GetPluginActiveSessionInfo(t->name);
    if (info.empty()) info = err;
    LogWarning("Reload blocked for %s: %s", t->name, info);
    SendError(c.resp, 409, info);
    return;
  }
  if (!err.empty()) {
    SendError(c.resp, 500, "Reload failed: " + err);
    return;
  }
  RefreshSchedulerTasks();
  SendSuccess(c.resp);
  LogInfo("Plugin %s reloaded by %s", t->name, c.user.Username);
}

void HandleScanPlugins(TOVApiRequest& c) {
  auto mgr = PluginMgr.Get();
  if (!mgr) {
    SendError(c.resp, 500, kMsgNoPluginManager);
    return;
  }
  TJSON reply = TJSON::object();
  try {
    const int before = mgr->GetPluginCount();
    mgr->ScanNewPlugins();
    const int after = mgr->GetPluginCount();
    reply["new_plugins"] = after - before;
    reply["total_plugins"] = after;
  } catch (const std::exception& e) {
    SendError(c.resp, 500, std::string("Scan failed: ") + e.what());
    return;
  }
  RefreshSchedulerTasks();
  SendSuccess(c.resp, reply);
  LogInfo("Plugin scan triggered by %s: %d new plugin(s) found", c.user.Username, reply["new_plugins"].get<int>());
}

// ---- stored configuration -----------------------------------------------------------------------------

void HandleGetPluginConfig(TOVApiRequest& c) {
  const std::string name = StoredPluginName(ExtractPathName(c.req));
  if (name.empty()) {
    SendError(c.resp, 400, kMsgPluginNameRequired);
    return;
  }
  const std::optional<std::string> text = ReadPluginConfigText(name);
  if (!text) {
    SendError(c.resp, 404, kMsgPluginNotFound);
    return;
  }
  TJSON visible = TJSON::object();
  if (auto cfg = ParseJson(*text); cfg && cfg->is_object())
    for (auto it = cfg->begin(); it != cfg->end(); ++it)
      if (!InternalConfigMember(it.key())) visible[it.key()] = it.value();
  SendSuccess(c.resp, std::move(visible));
}

void HandleUpdatePluginConfig(TOVApiRequest& c) {
  const std::string name = StoredPluginName(ExtractPathName(c.req));
  if (name.empty()) {
    SendError(c.resp, 400, kMsgPluginNameRequired);
    return;
  }
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  for (auto it = body->begin(); it != body->end(); ++it)
    if (InternalConfigMember(it.key())) {
      SendError(c.resp, 400, "Keys starting with \"_\" are reserved");
      return;
    }
  {
    auto db = RequireDB();
    TOVDBLockGuard lock(*db);  // the row found is the row changed
    if (!ReadPluginConfigText(name)) {
      SendError(c.resp, 404, kMsgPluginNotFound);
      return;
    }
    // A changed member moves to the end; members not named, internal ones included, stay.
    UpdatePluginConfig(name, [&](TJSON& cfg) {
      for (auto it = body->begin(); it != body->end(); ++it) {
        cfg.erase(it.key());
        cfg[it.key()] = it.value();
      }
    });
  }
  SendSuccess(c.resp);
  LogInfo("Plugin config updated for %s by %s", name, c.user.Username);
}

// ---- service calls ------------------------------------------------------------------------------------

void HandlePluginServiceCall(TOVApiRequest& c) {
  const std::vector<std::string> segs = PathSegments(c.req);
  const std::string name = segs.size() >= 6 ? segs[5] : std::string();
  if (name.empty()) {
    SendError(c.resp, 400, kMsgPluginNameRequired);
    return;
  }
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string function = JStr(*body, "function");
  if (function.empty()) {
    SendError(c.resp, 400, "Function name required");
    return;
  }
  const TJSON* args = nullptr;
  if (auto it = body->find("args"); it != body->end() && it->is_object()) args = &*it;
  auto mgr = PluginMgr.Get();
  if (!mgr) {
    SendError(c.resp, 503, kMsgNoPluginManager);
    return;
  }
  std::unique_ptr<TJSON> result;
  try {
    result = mgr->CallPluginFunction(name, function, args, &c.user);
  } catch (const EOVPluginAccessDenied& e) {
    SendError(c.resp, 403, e.what());
    return;
  } catch (const std::exception& e) {
    // The host's database refused the plug-in for an outage: answered as on every route.
    if (IsDatabaseUnavailable(e)) throw;
    LogError("Plugin service call %s.%s failed: %s", name, function, e.what());
    SendError(c.resp, 500, std::string("Plugin call failed: ") + e.what());
    return;
  }
  if (!result) {
    LogWarning("Plugin service call returned nil: %s.%s", name, function);
    SendError(c.resp, 404, "Plugin or function not found");
    return;
  }
  TOVJsonReply::SendJSON(c.resp, *result, 200);
}

}  // namespace ov
