#include "ov_route_api.h"

#include <optional>

#include "ov_consts.h"
#include "ov_database.h"
#include "ov_log.h"
#include "ov_route_acl.h"
#include "ov_route_auth.h"
#include "ov_route_dashboard.h"
#include "ov_route_i18n.h"
#include "ov_route_logs.h"
#include "ov_route_node_push.h"
#include "ov_route_nodes.h"
#include "ov_route_packages.h"
#include "ov_route_plugins.h"
#include "ov_route_reply.h"
#include "ov_route_restart.h"
#include "ov_route_scheduler.h"
#include "ov_route_scripts.h"
#include "ov_route_users.h"
#include "ov_router.h"

namespace ov {

namespace {

using A = TOVRouteAccess;

// Registration order is matching order: the first row whose pattern and method match wins,
// so a literal segment must come before a ":param" row that would also take it (e.g.
// /i18n/languages before /i18n/:lang).  Rows are never reordered; a handler that is not built
// yet points to HandleNotImplemented in its place.
const TOVApiRoute kApiRoutes[] = {
    {"GET", "/health", HandleHealthCheck, A::None, "HandleHealthCheck"},
    {"GET", "/api/v1/setup/status", HandleSetupStatus, A::None, "HandleSetupStatus"},
    {"POST", "/api/v1/setup", HandleSetupCreate, A::None, "HandleSetupCreate"},
    {"POST", "/api/v1/auth/login", HandleAuthLogin, A::None, "HandleAuthLogin"},
    {"POST", "/api/v1/auth/refresh", HandleAuthRefresh, A::Auth, "HandleAuthRefresh"},
    {"GET", "/api/v1/status", HandleStatus, A::Auth, "HandleStatus"},
    {"GET", "/api/v1/users", HandleListUsers, A::Admin, "HandleListUsers"},
    {"POST", "/api/v1/users", HandleCreateUser, A::Admin, "HandleCreateUser"},
    {"GET", "/api/v1/users/:id", HandleGetUser, A::Admin, "HandleGetUser"},
    {"PUT", "/api/v1/users/:id", HandleUpdateUser, A::Admin, "HandleUpdateUser"},
    {"DELETE", "/api/v1/users/:id", HandleDeleteUser, A::Admin, "HandleDeleteUser"},
    {"GET", "/api/v1/config", HandleGetConfig, A::Admin, "HandleGetConfig"},
    {"PUT", "/api/v1/config", HandleUpdateConfig, A::Admin, "HandleUpdateConfig"},
    {"GET", "/api/v1/apikeys", HandleListAPIKeys, A::Admin, "HandleListAPIKeys"},
    {"POST", "/api/v1/apikeys", HandleCreateAPIKey, A::Admin, "HandleCreateAPIKey"},
    {"DELETE", "/api/v1/apikeys/:id", HandleDeleteAPIKey, A::Admin, "HandleDeleteAPIKey"},
    {"GET", "/api/v1/plugins", HandleListPluginsV2, A::Admin, "HandleListPluginsV2"},
    {"GET", "/api/v1/plugins/db", HandleListPlugins, A::Admin, "HandleListPlugins"},
    {"POST", "/api/v1/plugins/enable", HandleEnablePlugin, A::Admin, "HandleEnablePlugin"},
    {"POST", "/api/v1/plugins/disable", HandleDisablePlugin, A::Admin, "HandleDisablePlugin"},
    {"POST", "/api/v1/plugins/restart", HandleRestartPlugin, A::Admin, "HandleRestartPlugin"},
    {"POST", "/api/v1/plugins/reload", HandleReloadPlugin, A::Admin, "HandleReloadPlugin"},
    {"POST", "/api/v1/plugins/scan", HandleScanPlugins, A::Admin, "HandleScanPlugins"},
    {"GET", "/api/v1/plugins/config/:name", HandleGetPluginConfig, A::Admin, "HandleGetPluginConfig"},
    {"PUT", "/api/v1/plugins/config/:name", HandleUpdatePluginConfig, A::Admin, "HandleUpdatePluginConfig"},
    {"POST", "/api/v1/plugins/service/:name", HandlePluginServiceCall, A::Auth, "HandlePluginServiceCall"},
    {"GET", "/api/v1/audit", HandleAuditLog, A::Admin, "HandleAuditLog"},
    {"GET", "/api/v1/sessions", HandleListSessions, A::Admin, "HandleListSessions"},
    {"DELETE", "/api/v1/sessions/:id", HandleKickSession, A::Admin, "HandleKickSession"},
    {"GET", "/api/v1/blacklist", HandleListBlacklist, A::Admin, "HandleListBlacklist"},
    {"POST", "/api/v1/blacklist", HandleBanIP, A::Admin, "HandleBanIP"},
    {"DELETE", "/api/v1/blacklist/:id", HandleUnbanIP, A::Admin, "HandleUnbanIP"},
    {"GET", "/api/v1/connections", HandleConnectionLog, A::Admin, "HandleConnectionLog"},
    {"GET", "/api/v1/admin/menu", HandleAdminMenuItems, A::Auth, "HandleAdminMenuItems"},
    {"GET", "/api/v1/logs", HandleSystemLogs, A::Admin, "HandleSystemLogs"},
    {"GET", "/api/v1/logs/filters", HandleSystemLogFilters, A::Admin, "HandleSystemLogFilters"},
    {"DELETE", "/api/v1/logs", HandleClearSystemLogs, A::Admin, "HandleClearSystemLogs"},
    {"POST", "/api/v1/logs", HandleWriteSystemLog, A::Auth, "HandleWriteSystemLog"},
    {"GET", "/api/v1/system/restart", HandleRestartStatus, A::Auth, "HandleRestartStatus"},
    {"POST", "/api/v1/system/restart", HandleServerRestart, A::Admin, "HandleServerRestart"},
    {"POST", "/api/v1/nodes/heartbeat", HandleNodeHeartbeat, A::Auth, "HandleNodeHeartbeat"},
    {"POST", "/api/v1/nodes/command/:id", HandleNodeCommand, A::Admin, "HandleNodeCommand"},
    {"POST", "/api/v1/nodes/plugins/upload/:id", HandleNodePluginUpload, A::Admin, "HandleNodePluginUpload"},
    {"POST", "/api/v1/nodes/plugins/install/:id", HandleNodePluginInstall, A::Admin, "HandleNodePluginInstall"},
    {"GET", "/api/v1/nodes/plugins/download/:token", HandleNodePluginDownload, A::Auth, "HandleNodePluginDownload"},
    {"GET", "/api/v1/nodes", HandleListNodes, A::Admin, "HandleListNodes"},
    {"GET", "/api/v1/nodes/:id", HandleGetNode, A::Admin, "HandleGetNode"},
    {"POST", "/api/v1/admin/query", HandleAdminQuery, A::Admin, "HandleAdminQuery"},
    {"GET", "/api/v1/scripts", HandleListScripts, A::Auth, "HandleListScripts"},
    {"POST", "/api/v1/scripts/install", HandleInstallScript, A::AdminShort, "HandleInstallScript"},
    {"POST", "/api/v1/scripts/enable/:name", HandleEnableScript, A::AdminShort, "HandleEnableScript"},
    {"POST", "/api/v1/scripts/disable/:name", HandleDisableScript, A::AdminShort, "HandleDisableScript"},
    {"GET", "/api/v1/scripts/settings/:name", HandleGetScriptSettings, A::Auth, "HandleGetScriptSettings"},
    {"PUT", "/api/v1/scripts/settings/:name", HandleUpdateScriptSettings, A::AdminShort, "HandleUpdateScriptSettings"},
    {"DELETE", "/api/v1/scripts/:name", HandleUninstallScript, A::AdminShort, "HandleUninstallScript"},
    {"GET", "/api/v1/acl/groups", HandleListAclGroups, A::Admin, "HandleListAclGroups"},
    {"POST", "/api/v1/acl/groups", HandleCreateAclGroup, A::Admin, "HandleCreateAclGroup"},
    {"GET", "/api/v1/acl/groups/:id", HandleGetAclGroup, A::Admin, "HandleGetAclGroup"},
    {"PUT", "/api/v1/acl/groups/:id", HandleUpdateAclGroup, A::Admin, "HandleUpdateAclGroup"},
    {"DELETE", "/api/v1/acl/groups/:id", HandleDeleteAclGroup, A::Admin, "HandleDeleteAclGroup"},
    {"GET", "/api/v1/acl/flags", HandleListAclFlags, A::Admin, "HandleListAclFlags"},
    {"POST", "/api/v1/acl/flags", HandleCreateAclFlag, A::Admin, "HandleCreateAclFlag"},
    {"DELETE", "/api/v1/acl/flags/:name", HandleDeleteAclFlag, A::Admin, "HandleDeleteAclFlag"},
    {"GET", "/api/v1/users/:id/acl", HandleGetUserAcl, A::Admin, "HandleGetUserAcl"},
    {"PUT", "/api/v1/users/:id/flags", HandleSetUserFlags, A::Admin, "HandleSetUserFlags"},
    {"PUT", "/api/v1/users/:id/groups", HandleSetUserGroups, A::Admin, "HandleSetUserGroups"},
    {"GET", "/api/v1/scheduler/tasks", HandleListSchedulerTasks, A::Admin, "HandleListSchedulerTasks"},
    {"GET", "/api/v1/scheduler/tasks/:id", HandleGetSchedulerTask, A::Admin, "HandleGetSchedulerTask"},
    {"PUT", "/api/v1/scheduler/tasks/:id", HandleUpdateSchedulerTask, A::Admin, "HandleUpdateSchedulerTask"},
    {"POST", "/api/v1/scheduler/tasks/:id/run", HandleRunSchedulerTask, A::Admin, "HandleRunSchedulerTask"},
    {"GET", "/api/v1/scheduler/logs", HandleListSchedulerLogs, A::Admin, "HandleListSchedulerLogs"},
    {"DELETE", "/api/v1/scheduler/logs", HandleClearSchedulerLogs, A::Admin, "HandleClearSchedulerLogs"},
    {"GET", "/api/v1/plugins/updates", HandlePluginUpdates, A::Admin, "HandlePluginUpdates"},
    {"POST", "/api/v1/plugins/updates/check", HandlePluginUpdateCheck, A::Admin, "HandlePluginUpdateCheck"},
    {"GET", "/api/v1/plugins/updates/count", HandlePluginUpdateCount, A::Auth, "HandlePluginUpdateCount"},
    {"POST", "/api/v1/plugins/install", HandleInstallPlugin, A::Admin, "HandleInstallPlugin"},
    {"POST", "/api/v1/plugins/uninstall", HandleUninstallPlugin, A::Admin, "HandleUninstallPlugin"},
    {"POST", "/api/v1/plugins/upload", HandleUploadPlugin, A::Admin, "HandleUploadPlugin"},
    {"GET", "/api/v1/i18n/languages", HandleI18nLanguages, A::Auth, "HandleI18nLanguages"},
    {"GET", "/api/v1/i18n/:lang", HandleI18nBundle, A::Auth, "HandleI18nBundle"},
    {"GET", "/api/v1/dashboard/widgets", HandleDashboardWidgets, A::Auth, "HandleDashboardWidgets"},
    {"GET", "/api/v1/dashboard/layout", HandleGetDashboardLayout, A::Auth, "HandleGetDashboardLayout"},
    {"PUT", "/api/v1/dashboard/layout", HandlePutDashboardLayout, A::Auth, "HandlePutDashboardLayout"},
};

}  // namespace

// ---- the route table ----------------------------------------------------------------------------

std::span<const TOVApiRoute> ApiRouteTable() { return kApiRoutes; }

bool CheckRouteAccess(TOVApiRequest& c, TOVRouteAccess access) {
  c.user.Clear();
  if (access == TOVRouteAccess::None) return true;
  if (!AuthenticateRequest(c.req, c.user)) {
    c.user.Clear();
    SendError(c.resp, 401, kMsgUnauthorized);
    return false;
  }
  if (access == TOVRouteAccess::Admin && !c.user.IsAdmin) {
    SendError(c.resp, 403, kMsgAdminAccessRequired);
    return false;
  }
  if (access == TOVRouteAccess::AdminShort && !c.user.IsAdmin) {
    SendError(c.resp, 403, kMsgAdminRequired);
    return false;
  }
  return true;
}

void RegisterAPIRoutes(TOVRouter& router, std::span<const TOVApiRoute> rows) {
  for (const TOVApiRoute& row : rows) {
    TOVApiRoute r = row;  // rows may come from a temporary table; the route keeps its own copy
    router.RegisterRoute(r.method, r.pattern, [r](TOVHttpRequest& req, TOVHttpResponse& resp) {
      // However many statements the request reads, it waits for a read connection once.
      auto db = DB.Get();
      std::optional<TOVReadScope> reads;
      if (db) reads.emplace(*db);
      TOVApiRequest c{req, resp, {}, &r};
      if (!CheckRouteAccess(c, r.access)) return;
      r.handler(c);
    });
  }
}

void RegisterAPIRoutes() {
  RegisterAPIRoutes(HttpRouter(), ApiRouteTable());
  LogInfo("API routes registered (%s/*)", kApiPrefix);
}

void HandleNotImplemented(TOVApiRequest& c) { SendError(c.resp, 501, kMsgNotImplemented); }

}  // namespace ov
