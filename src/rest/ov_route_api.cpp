#include "ov_route_api.h"
#include "ov_json_reply.h"

#include <limits>
#include <utility>

#include "ov_consts.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_format.h"
#include "ov_guid.h"
#include "ov_log.h"
#include "ov_route_acl.h"
#include "ov_route_logs.h"
#include "ov_route_scheduler.h"
#include "ov_route_users.h"
#include "ov_router.h"

namespace ov {

namespace {

using A = TOVRouteAccess;
constexpr TOVApiHandler NI = HandleNotImplemented;

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
    {"GET", "/api/v1/plugins", NI, A::Admin, "HandleListPluginsV2"},
    {"GET", "/api/v1/plugins/db", NI, A::Admin, "HandleListPlugins"},
    {"POST", "/api/v1/plugins/enable", NI, A::Admin, "HandleEnablePlugin"},
    {"POST", "/api/v1/plugins/disable", NI, A::Admin, "HandleDisablePlugin"},
    {"POST", "/api/v1/plugins/restart", NI, A::Admin, "HandleRestartPlugin"},
    {"POST", "/api/v1/plugins/reload", NI, A::Admin, "HandleReloadPlugin"},
    {"POST", "/api/v1/plugins/scan", NI, A::Admin, "HandleScanPlugins"},
    {"GET", "/api/v1/plugins/config/:name", NI, A::Admin, "HandleGetPluginConfig"},
    {"PUT", "/api/v1/plugins/config/:name", NI, A::Admin, "HandleUpdatePluginConfig"},
    {"POST", "/api/v1/plugins/service/:name", NI, A::Auth, "HandlePluginServiceCall"},
    {"GET", "/api/v1/audit", HandleAuditLog, A::Admin, "HandleAuditLog"},
    {"GET", "/api/v1/sessions", HandleListSessions, A::Admin, "HandleListSessions"},
    {"DELETE", "/api/v1/sessions/:id", HandleKickSession, A::Admin, "HandleKickSession"},
    {"GET", "/api/v1/blacklist", HandleListBlacklist, A::Admin, "HandleListBlacklist"},
    {"POST", "/api/v1/blacklist", HandleBanIP, A::Admin, "HandleBanIP"},
    {"DELETE", "/api/v1/blacklist/:id", HandleUnbanIP, A::Admin, "HandleUnbanIP"},
    {"GET", "/api/v1/connections", HandleConnectionLog, A::Admin, "HandleConnectionLog"},
    {"GET", "/api/v1/admin/menu", NI, A::Auth, "HandleAdminMenuItems"},
    {"GET", "/api/v1/logs", HandleSystemLogs, A::Admin, "HandleSystemLogs"},
    {"GET", "/api/v1/logs/filters", HandleSystemLogFilters, A::Admin, "HandleSystemLogFilters"},
    {"DELETE", "/api/v1/logs", HandleClearSystemLogs, A::Admin, "HandleClearSystemLogs"},
    {"POST", "/api/v1/logs", HandleWriteSystemLog, A::Auth, "HandleWriteSystemLog"},
    {"GET", "/api/v1/system/restart", NI, A::Auth, "HandleRestartStatus"},
    {"POST", "/api/v1/system/restart", NI, A::Admin, "HandleServerRestart"},
    {"POST", "/api/v1/nodes/heartbeat", NI, A::Auth, "HandleNodeHeartbeat"},
    {"POST", "/api/v1/nodes/command/:id", NI, A::Admin, "HandleNodeCommand"},
    {"POST", "/api/v1/nodes/plugins/upload/:id", NI, A::Admin, "HandleNodePluginUpload"},
    {"POST", "/api/v1/nodes/plugins/install/:id", NI, A::Admin, "HandleNodePluginInstall"},
    {"GET", "/api/v1/nodes/plugins/download/:token", NI, A::Auth, "HandleNodePluginDownload"},
    {"GET", "/api/v1/nodes", NI, A::Admin, "HandleListNodes"},
    {"GET", "/api/v1/nodes/:id", NI, A::Admin, "HandleGetNode"},
    {"POST", "/api/v1/admin/query", HandleAdminQuery, A::Admin, "HandleAdminQuery"},
    {"GET", "/api/v1/scripts", NI, A::Auth, "HandleListScripts"},
    {"POST", "/api/v1/scripts/install", NI, A::AdminShort, "HandleInstallScript"},
    {"POST", "/api/v1/scripts/enable/:name", NI, A::AdminShort, "HandleEnableScript"},
    {"POST", "/api/v1/scripts/disable/:name", NI, A::AdminShort, "HandleDisableScript"},
    {"GET", "/api/v1/scripts/settings/:name", NI, A::Auth, "HandleGetScriptSettings"},
    {"PUT", "/api/v1/scripts/settings/:name", NI, A::AdminShort, "HandleUpdateScriptSettings"},
    {"DELETE", "/api/v1/scripts/:name", NI, A::AdminShort, "HandleUninstallScript"},
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
    {"GET", "/api/v1/plugins/updates", NI, A::Admin, "HandlePluginUpdates"},
    {"POST", "/api/v1/plugins/updates/check", NI, A::Admin, "HandlePluginUpdateCheck"},
    {"GET", "/api/v1/plugins/updates/count", NI, A::Auth, "HandlePluginUpdateCount"},
    {"POST", "/api/v1/plugins/install", NI, A::Admin, "HandleInstallPlugin"},
    {"POST", "/api/v1/plugins/uninstall", NI, A::Admin, "HandleUninstallPlugin"},
    {"POST", "/api/v1/plugins/upload", NI, A::Admin, "HandleUploadPlugin"},
    {"GET", "/api/v1/i18n/languages", NI, A::Auth, "HandleI18nLanguages"},
    {"GET", "/api/v1/i18n/:lang", NI, A::Auth, "HandleI18nBundle"},
    {"GET", "/api/v1/dashboard/widgets", NI, A::Auth, "HandleDashboardWidgets"},
    {"GET", "/api/v1/dashboard/layout", NI, A::Auth, "HandleGetDashboardLayout"},
    {"PUT", "/api/v1/dashboard/layout", NI, A::Auth, "HandlePutDashboardLayout"},
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

// ---- replies and bodies -------------------------------------------------------------------------

void SendSuccess(TOVHttpResponse& resp, TJSON data, int status) {
  TOVJsonReply::SendJSON(resp, TOVJson::SuccessResponse(std::move(data)), status);
}

void SendError(TOVHttpResponse& resp, int status, std::string_view message) {
  TOVJsonReply::SendError(resp, status, message);
}

std::optional<TJSON> ParseBodyOrFail(TOVApiRequest& c) {
  std::optional<TJSON> body = TOVJsonReply::ParseRequest(c.req);
  if (!body) SendError(c.resp, 400, kMsgInvalidJSONBody);
  return body;
}

void HandleNotImplemented(TOVApiRequest& c) { SendError(c.resp, 501, kMsgNotImplemented); }

// ---- values -------------------------------------------------------------------------------------

std::size_t Utf8Length(std::string_view s) noexcept {
  std::size_t n = 0;
  for (unsigned char ch : s)
    if ((ch & 0xC0) != 0x80) ++n;
  return n;
}

bool CheckNewAccount(TOVApiRequest& c, const std::string& username, const std::string& password,
                     std::string_view missing, std::size_t min_chars) {
  if (username.empty() || password.empty()) {
    SendError(c.resp, 400, missing);
    return false;
  }
  if (Utf8Length(password) < min_chars) {
    SendError(c.resp, 400, Format("Password must be at least %d characters", min_chars));
    return false;
  }
  return true;
}

std::optional<std::int64_t> InsertAccount(TOVApiRequest& c, TOVDatabase& db,
                                          const std::function<void(TOVQueryBase&)>& statement) {
  try {
    TOVWriteQuery q = db.NewQuery();
    statement(q);
    q.ExecSQL();
    const std::int64_t id = q.LastInsertId();
    db.Commit();
    return id;
  } catch (const sql::SqlError& e) {
    // Only a taken name is the caller's mistake; any other failure is the server's.
    if (!e.IsUniqueViolation()) throw;
    SendError(c.resp, 409, "Username already exists");
    return std::nullopt;
  }
}

// ---- path values --------------------------------------------------------------------------------

std::vector<std::string> PathSegments(const TOVHttpRequest& req) {
  // req.path never holds the query (the front end split it off before decoding), so a "?" in
  // it came from "%3F" and belongs to the segment: cutting there would make
  // /users/5%3Fx name user 5.
  std::string_view p = req.path;
  std::vector<std::string> out;
  for (;;) {
    std::size_t slash = p.find('/');
    out.emplace_back(p.substr(0, slash));
    if (slash == std::string_view::npos) break;
    p.remove_prefix(slash + 1);
  }
  return out;
}

std::optional<std::int64_t> ParseInt64(std::string_view s) noexcept {
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate negatively so INT64_MIN fits.
  std::int64_t v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return std::nullopt;
    int d = ch - '0';
    if (v < (std::numeric_limits<std::int64_t>::min() + d) / 10) return std::nullopt;
    v = v * 10 - d;
  }
  if (!neg) {
    if (v == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    v = -v;
  }
  return v;
}

std::string ExtractPathSegment(const TOVHttpRequest& req, int offset) {
  std::vector<std::string> segs = PathSegments(req);
  if (offset < 0 || static_cast<std::size_t>(offset) >= segs.size()) return {};
  return segs[segs.size() - 1 - static_cast<std::size_t>(offset)];
}

std::string ExtractPathName(const TOVHttpRequest& req) {
  std::vector<std::string> segs = PathSegments(req);
  if (segs.size() < 5) return {};
  return segs.back();
}

// An absent segment is empty text, which is no number either.
std::int64_t ExtractPathIDAt(const TOVHttpRequest& req, int offset) {
  return ParseInt64(ExtractPathSegment(req, offset)).value_or(-1);
}

std::int64_t ExtractPathID(const TOVHttpRequest& req) { return ParseInt64(ExtractPathName(req)).value_or(-1); }

bool ResolvePathEntity(const TOVHttpRequest& req, const std::string& table, std::int64_t& id, std::string& guid,
                       int offset) {
  id = -1;
  guid.clear();
  std::string seg = ExtractPathSegment(req, offset);
  if (seg.empty()) return false;
  if (TOVGuid::IsInteger(seg)) {
    id = ParseInt64(seg).value_or(-1);
    if (id < 1) return false;
    guid = RequireDB()->LookupGUID(table, id);
    return true;
  }
  if (TOVGuid::IsValid(seg)) {
    guid = ToLowerAscii(seg);
    id = RequireDB()->LookupIDByGUID(table, guid);
    return id >= 1;
  }
  return false;
}

std::optional<TOVPathEntity> ResolvePathEntityOrFail(TOVApiRequest& c, const std::string& table,
                                                     std::string_view invalid, int offset) {
  TOVPathEntity e;
  if (!ResolvePathEntity(c.req, table, e.id, e.guid, offset)) {
    SendError(c.resp, 400, invalid);
    return std::nullopt;
  }
  return e;
}

// ---- database reads -----------------------------------------------------------------------------

std::int64_t CountRows(TOVQueryBase& q, const std::string& sql, const TOVTextBinds& binds) {
  q.SetSQL(sql);
  for (const auto& [name, value] : binds) q.Param(name, value);
  q.Open();
  const std::int64_t n = q.Eof() ? 0 : q.Field(std::size_t{0}).AsInt64(0);
  q.Close();
  return n;
}

bool RowExists(TOVQueryBase& q, const std::string& table, std::int64_t id) {
  q.SetSQL("SELECT id FROM " + table + " WHERE id = :id");
  q.Param("id", id);
  q.Open();
  const bool found = !q.Eof();
  q.Close();
  return found;
}

TJSON CollectRows(TOVQueryBase& q, const TOVRowToJSON& row) {
  TJSON items = TJSON::array();
  q.Open();
  for (; !q.Eof(); q.Next()) items.push_back(row(q));
  q.Close();
  return items;
}

TJSON ReadList(const std::string& sql, const TOVRowToJSON& row) {
  auto db = RequireDB();
  TOVReadQuery q = db->NewReadQuery();
  q.SetSQL(sql);
  return CollectRows(q, row);
}

// ---- paging -------------------------------------------------------------------------------------

TOVPaging ReadPaging(const TOVHttpRequest& req, TOVPageLimits limits) {
  TOVPaging p;
  p.page = ParseInt64(req.QueryParam("page")).value_or(1);
  if (p.page < 1) p.page = 1;
  p.per_page = ParseInt64(req.QueryParam("per_page")).value_or(limits.default_per_page);
  if (p.per_page < 1) p.per_page = limits.default_per_page;
  if (p.per_page > limits.max_per_page) p.per_page = limits.max_per_page;
  if (p.per_page < 1) p.per_page = 1;  // a table entry with a default below 1
  // (page - 1) * per_page must fit: page - 1 may be at most INT64_MAX / per_page.
  const std::int64_t max_steps = std::numeric_limits<std::int64_t>::max() / p.per_page;
  if (p.page - 1 > max_steps) p.page = max_steps + 1;
  p.offset = (p.page - 1) * p.per_page;
  return p;
}

namespace {

// The count and the page of a paged list on one query.
TJSON ReadPage(TOVQueryBase& q, const TOVPageQuery& query, const TOVPaging& p, const TOVRowToJSON& row,
               std::int64_t& total) {
  total = CountRows(q, "SELECT COUNT(*) FROM " + query.from, query.binds);
  q.SetSQL("SELECT " + query.columns + " FROM " + query.from + " ORDER BY " + query.order_by +
           " LIMIT :lim OFFSET :off");
  for (const auto& [name, value] : query.binds) q.Param(name, value);
  q.Param("lim", p.per_page);
  q.Param("off", p.offset);
  return CollectRows(q, row);
}

}  // namespace

void SendPagedList(TOVApiRequest& c, TOVPageLimits limits, const TOVPageQuery& query, const TOVRowToJSON& row) {
  const TOVPaging p = ReadPaging(c.req, limits);
  std::int64_t total = 0;
  TJSON items;
  {
    auto db = RequireDB();
    if (query.under_write_lock) {
      TOVWriteQuery q = db->NewQuery();
      items = ReadPage(q, query, p, row, total);
    } else {
      TOVReadQuery q = db->NewReadQuery();
      items = ReadPage(q, query, p, row, total);
    }
  }
  TOVJsonReply::SendJSON(c.resp, TOVJson::PaginatedResponse(std::move(items), total, p.page, p.per_page), 200);
}

// ---- audit log and events -----------------------------------------------------------------------

void WriteAuditLog(const TOVAuthUser& user, const std::string& action, const std::string& target,
                   const std::string& details, const std::string& ip) {
  std::string failure;
  try {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL(
        "INSERT INTO audit_log (user_id, username, action, target, details, ip_address) "
        "VALUES ((SELECT id FROM users WHERE id = :uid), :uname, :action, :target, :details, :ip)");
    // user_id references users: a caller without an account (an API key without an owner),
    // or one whose account was deleted after its token was issued, is recorded as NULL,
    // which the foreign key accepts, rather than losing the row.
    if (user.UserID >= 1)
      q.Param("uid", user.UserID);
    else
      q.ParamNull("uid");
    q.Param("uname", user.Username);
    q.Param("action", action);
    q.Param("target", target);
    q.Param("details", details);
    q.Param("ip", ip);
    q.ExecSQL();
    db->Commit();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  // Logged after the query is freed, so the write lock is not held while logging.
  if (!failure.empty()) LogWarning("Failed to write audit log: %s", failure);
}

void FireSystemEvent(const std::string& event, const TJSON& data) {
  if (auto bus = EventBus.Get()) bus->Fire("_system", event, data);
}

}  // namespace ov
