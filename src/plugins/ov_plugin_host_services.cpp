// TOVPluginHost, slots 21-70: thin bridges from a plug-in to the server's services.  Each checks
// its permission first, then reads its service through the service's slot and gives the
// neutral answer when the service is absent, so a plug-in never sees a missing service as an
// error.
#include <algorithm>

#include "ov_admin_registry.h"
#include "ov_auth.h"
#include "ov_base_plugin_manager.h"
#include "ov_consts.h"
#include "ov_database.h"
#include "ov_guid.h"
#include "ov_log.h"
#include "ov_plugin_host.h"
#include "ov_plugin_manager.h"
#include "ov_plugin_routes.h"
#include "ov_plugin_sdk.h"
#include "ov_security.h"
#include "ov_session_manager.h"
#include "ov_ws_server.h"

namespace ov {

namespace {

constexpr std::size_t kMinPluginPasswordBytes = 6;

// Batches plug-ins began on this thread and have not ended.
thread_local int t_batch_depth = 0;

std::string Text(std::string_view s) { return std::string(s); }

const void* CodeWord(OVEventCallbackCode code) noexcept { return reinterpret_cast<const void*>(code); }

// The session id of the first session on node; nullopt when the node has none.
std::optional<std::int64_t> SessionOnNode(const TOVSessionManager& sm, std::int32_t node) {
  const TJSON all = sm.GetAllSessions();
  for (const auto& s : all)
    if (s.is_object() && JInt(s, "node", -1) == node) {
      const std::int64_t id = JInt(s, "session_id", -1);
      if (id >= 0) return id;
      return std::nullopt;
    }
  return std::nullopt;
}

}  // namespace

// ---- events and routes -------------------------------------------------------------------------

void TOVPluginHost::EventSubscribe(std::string_view event_type, OVEventCallbackCode code, void* data) const {
  CheckPermission(opEventsSubscribe);
  if (!code) throw EOVPluginError(Format("Plugin \"%s\" subscribed an empty event callback", name_));
  auto bus = event_bus_ ? event_bus_->Get() : TOVService<TOVEventBus>::Ref();
  if (!bus) return;
  TOVEventCallback cb;
  cb.code = CodeWord(code);
  cb.data = data;
  // The delivery knows the plug-in only through its runtime, never through this host, which an
  // unload frees while the bus may still hold a copy of the subscription.
  cb.invoke = [code, data, runtime = runtime_, bound = runtime_bound_](const std::string& type, const TJSON* d) {
    std::optional<TOVPluginGuard> guard = TOVPluginGuard::TryEnter(runtime, bound);
    if (!guard) return;  // unloaded since the event was fired
    TOVStrRef t(type);
    guard->Call([&] { code(data, t.get(), BorrowOVJson(d)); });
  };
  bus->Subscribe(name_, Text(event_type), std::move(cb));
}

void TOVPluginHost::EventUnsubscribeCallback(OVEventCallbackCode code, void* data) const {
  auto bus = event_bus_ ? event_bus_->Get() : TOVService<TOVEventBus>::Ref();
  if (bus) bus->UnsubscribeCallback(CodeWord(code), data);
}

void TOVPluginHost::EventFire(std::string_view event_type, const TJSON* data) const {
  CheckPermission(opEventsFire);
  auto bus = event_bus_ ? event_bus_->Get() : TOVService<TOVEventBus>::Ref();
  if (bus) bus->Fire(name_, Text(event_type), data);
}

void TOVPluginHost::RouteRegister(std::string_view method, std::string_view path, OVRouteHandlerCode code,
                                  void* data) const {
  CheckPermission(opRoutesRegister);
  if (!code) throw EOVPluginError(Format("Plugin \"%s\" registered an empty route handler", name_));
  // Without the "/" the full path would run on into another plug-in's name.
  if (path.empty() || path.front() != '/')
    throw EOVPluginError(Format("Plugin \"%s\" route path must begin with \"/\": %s", name_, path));
  auto routes = PluginRoutes.Get();
  if (!routes) return;
  auto handler = std::make_shared<const TOVPluginRouteHandler>(TOVPluginRouteHandler{code, data, runtime_, runtime_bound_});
  routes->RegisterRoute(name_, Text(method), Text(path), std::move(handler));
}

void TOVPluginHost::AdminAddMenu(std::string_view title, std::string_view url, std::string_view icon,
                                 std::int32_t position, std::string_view group) const {
  CheckPermission(opAdminMenu);
  if (auto menu = AdminMenu.Get())
    menu->AddItem(Text(title), Text(url), Text(icon), group.empty() ? name_ : Text(group), name_, position);
}

void TOVPluginHost::AdminRegisterPage(std::string_view path, std::string_view html_file) const {
  CheckPermission(opAdminMenu);
  if (auto pages = AdminPages.Get()) pages->AddPage(Text(path), name_, Text(html_file));
  LogInfo(Format("Admin page registered: %s -> %s", path, html_file));
}

// ---- sessions --------------------------------------------------------------------------------------

TJSON TOVPluginHost::SessionGetAll() const {
  CheckPermission(opSessionsRead);
  auto sm = SessionMgr.Get();
  return sm ? sm->GetAllSessions() : TJSON::array();
}

std::optional<TJSON> TOVPluginHost::SessionGetByNode(std::int32_t node) const {
  CheckPermission(opSessionsRead);
  auto sm = SessionMgr.Get();
  return sm ? sm->GetSessionByNode(node) : std::nullopt;
}

std::int32_t TOVPluginHost::SessionGetCount() const {
  CheckPermission(opSessionsRead);
  auto sm = SessionMgr.Get();
  return sm ? static_cast<std::int32_t>(sm->GetSessionCount()) : 0;
}

std::int32_t TOVPluginHost::SessionAllocateNode() const {
  CheckPermission(opSessionsWrite);
  auto sm = SessionMgr.Get();
  return sm ? sm->AllocateNode() : -1;
}

void TOVPluginHost::SessionReleaseNode(std::int32_t node) const {
  CheckPermission(opSessionsWrite);
  auto sm = SessionMgr.Get();
  if (!sm) return;
  if (auto id = SessionOnNode(*sm, node)) sm->RemoveSession(*id);
}

void TOVPluginHost::SessionSetNodeUser(std::int32_t node, std::string_view user_name, std::int32_t user_id) const {
  CheckPermission(opSessionsWrite);
  auto sm = SessionMgr.Get();
  if (!sm) return;
  if (auto id = SessionOnNode(*sm, node)) sm->UpdateSession(*id, user_id, Text(user_name));
}

void TOVPluginHost::SessionSetNodeAddress() const { CheckPermission(opSessionsWrite); }

// ---- plug-in calls -----------------------------------------------------------------------------------

std::unique_ptr<TJSON> TOVPluginHost::PluginCall(std::string_view plugin, std::string_view function,
                                                 const TJSON* args) const {
  CheckPermission(opPluginCall);
  auto mgr = PluginMgr.Get();
  return mgr ? mgr->CallPluginFunction(Text(plugin), Text(function), args) : nullptr;
}

IOVPlugin* TOVPluginHost::PluginGetService(std::string_view plugin) const {
  CheckPermission(opPluginCall);
  auto mgr = PluginMgr.Get();
  return mgr ? mgr->GetPluginService(Text(plugin)) : nullptr;
}

// ---- users and access control ------------------------------------------------------------------------

std::optional<TJSON> TOVPluginHost::UserGet(std::int32_t user_id) const {
  CheckPermission(opUsersRead);
  auto db = RequireDB();
  TJSON u = TJSON::object();
  {
    auto q = db->NewQuery();
    q.SetSQL(
        "SELECT id, guid, username, email, real_name, location, security_level, is_admin, is_active, last_login, "
        "total_calls, total_posts, created_at FROM users WHERE id = :id");
    q.Param("id", std::int64_t{user_id});
    q.Open();
    if (q.Eof()) return std::nullopt;
    u["id"] = q.Int("id");
    for (const char* text : {"guid", "username", "email", "real_name", "location"}) u[text] = q.Str(text);
    u["security_level"] = q.Int("security_level");
    u["is_admin"] = q.Int("is_admin") == 1;
    u["is_active"] = q.Int("is_active") == 1;
    u["last_login"] = q.Str("last_login");
    u["total_calls"] = q.Int("total_calls");
    u["total_posts"] = q.Int("total_posts");
    u["created_at"] = q.Str("created_at");
  }
  u["flags"] = TOVAuth::ResolveUserFlags(user_id);
  return u;
}

std::optional<TJSON> TOVPluginHost::UserAuthenticate(std::string_view username, std::string_view password) const {
  CheckPermission(opUsersRead);
  auto db = RequireDB();
  auto q = db->NewReadQuery();
  q.SetSQL(
      "SELECT id, username, password_hash, password_salt, security_level, is_admin, is_active FROM users "
      "WHERE username = :u");
  q.Param("u", username);
  q.Open();
  if (q.Eof() || q.Int("is_active") == 0) return std::nullopt;
  if (!TOVAuth::VerifyPassword(password, q.Str("password_salt"), q.Str("password_hash"))) return std::nullopt;
  TJSON u = TJSON::object();
  u["id"] = q.Int("id");
  u["username"] = q.Str("username");
  u["security_level"] = q.Int("security_level");
  u["is_admin"] = q.Int("is_admin") == 1;
  return u;
}

std::int32_t TOVPluginHost::UserCreate(std::string_view username, std::string_view password,
                                       std::string_view real_name, std::string_view email) const {
  CheckPermission(opUsersWrite);
  if (password.size() < kMinPluginPasswordBytes) throw EOVPluginError("Password must be at least 6 characters");
  const std::string salt = TOVAuth::GenerateSalt();
  const std::string hash = TOVAuth::HashPassword(password, salt);
  // guid is unique: every user gets a fresh one, as REST user creation does.
  const std::string guid = TOVGuid::Generate();
  auto db = RequireDB();
  std::int64_t id = 0;
  {
    auto q = db->NewQuery();
    q.SetSQL(
        "INSERT INTO users (guid, username, password_hash, password_salt, real_name, email, security_level) "
        "VALUES (:guid, :u, :h, :s, :rn, :e, :sl)" +
        db->Dialect()->InsertReturningIdClause());
    q.Param("guid", guid);
    q.Param("u", username);
    q.Param("h", hash);
    q.Param("s", salt);
    q.Param("rn", real_name);
    q.Param("e", email);
    q.Param("sl", std::int64_t{10});
    q.ExecSQL();
    // The insert's own id, read before anything else can insert on this connection.
    id = q.LastInsertId();
    db->Commit();
  }
  if (id <= 0) id = db->LookupIDByGUID("users", guid);
  return static_cast<std::int32_t>(id);
}

std::string TOVPluginHost::ACLGetUserFlags(std::int32_t user_id) const { return TOVAuth::ResolveUserFlags(user_id); }

bool TOVPluginHost::ACLCheckAccess(std::int32_t user_id, std::int32_t resource_security,
                                   std::string_view required_flags) const {
  TOVAuthUser user;
  {
    auto q = RequireDB()->NewReadQuery();
    q.SetSQL("SELECT id, username, is_admin, security_level FROM users WHERE id = :id");
    q.Param("id", std::int64_t{user_id});
    q.Open();
    if (q.Eof()) return false;
    user.UserID = q.Int("id");
    user.Username = q.Str("username");
    user.IsAdmin = q.Int("is_admin") == 1;
    user.SecurityLevel = static_cast<std::int32_t>(q.Int("security_level"));
  }
  user.Flags = TOVAuth::ResolveUserFlags(user_id);
  return TOVAuth::CheckResourceAccess(user, resource_security, required_flags);
}

bool TOVPluginHost::ACLCheckAccessByFlags(std::string_view user_flags, bool user_is_admin,
                                          std::int32_t user_security_level, std::int32_t resource_security,
                                          std::string_view required_flags) const {
  TOVAuthUser user;
  user.Flags = Text(user_flags);
  user.IsAdmin = user_is_admin;
  user.SecurityLevel = user_security_level;
  return TOVAuth::CheckResourceAccess(user, resource_security, required_flags);
}

void TOVPluginHost::ACLRegisterFlag(std::string_view flag, std::string_view description,
                                    std::string_view category) const {
  auto db = RequireDB();
  auto q = db->NewQuery();
  q.SetSQL(db->Dialect()->InsertOrIgnoreStmt("acl_flag_definitions",
                                              {"flag_name", "description", "category", "registered_by"}));
  q.Param("p1", flag);
  q.Param("p2", description);
  q.Param("p3", category);
  q.Param("p4", "plugin:" + name_);
  q.ExecSQL();
  db->Commit();
}

std::string TOVPluginHost::GetServerName() const {
  auto db = RequireDB();
  auto q = db->NewReadQuery();
  q.SetSQL("SELECT value FROM system_config WHERE " + db->QuoteIdent("key") + " = 'bbs_name'");
  q.Open();
  return q.Eof() ? std::string(kProductName) : q.Str("value");
}

// ---- the WebSocket hub ---------------------------------------------------------------------------------

void TOVPluginHost::WSPushCommand(std::string_view protocol, const TJSON* command) const {
  auto ws = WSServer.Get();
  if (!ws || !ws->Active()) {
    ov::LogWarning("[ws-host] WSPushCommand: WSServer not available (assigned=%s)", ws ? "yes" : "no");
    return;
  }
  static const TJSON kEmpty = TJSON::object();
  const TJSON& cmd = command ? *command : kEmpty;
  if (!protocol.empty() && protocol.front() == '_') {
    ov::LogInfo("[ws-host] Broadcasting %s message", cmd.is_object() ? JStr(cmd, "type", "?") : std::string("?"));
    ws->Broadcast(cmd);
  } else {
    ws->PushCommand(Text(protocol), cmd);
  }
}

void TOVPluginHost::WSSendToClient(std::int32_t client_id, const TJSON* command) const {
  auto ws = WSServer.Get();
  if (ws && ws->Active() && command) ws->SendToClient(client_id, *command);
}

TJSON TOVPluginHost::WSGetClientsByProtocol(std::string_view protocol) const {
  TJSON out = TJSON::array();
  auto ws = WSServer.Get();
  if (!ws || !ws->Active()) return out;
  for (const auto& c : ws->GetClientsJSON()) {
    if (!c.is_object()) continue;
    auto protos = c.find("protocols");
    if (protos == c.end() || !protos->is_array()) continue;
    if (std::none_of(protos->begin(), protos->end(),
                     [&](const TJSON& p) { return p.is_string() && p.get_ref<const std::string&>() == protocol; }))
      continue;
    TJSON o = TJSON::object();
    o["id"] = JInt(c, "id", 0);
    o["client_name"] = JStr(c, "client_name");
    o["active_nodes"] = JInt(c, "active_nodes", 0);
    o["max_nodes"] = JInt(c, "max_nodes", 0);
    out.push_back(std::move(o));
  }
  return out;
}

// ---- security ------------------------------------------------------------------------------------------

bool TOVPluginHost::SecurityIsBanned(const std::string& ip) const {
  auto bl = IPBlacklist.Get();
  return bl && bl->IsBanned(ip);
}

bool TOVPluginHost::SecurityAllowConnection(const std::string& ip) const {
  auto rl = RateLimiter.Get();
  return !rl || rl->AllowConnection(ip);
}

void TOVPluginHost::SecurityConnectionOpened(const std::string& ip) const {
  if (auto rl = RateLimiter.Get()) rl->ConnectionOpened(ip);
}

void TOVPluginHost::SecurityConnectionClosed(const std::string& ip) const {
  if (auto rl = RateLimiter.Get()) rl->ConnectionClosed(ip);
}

// ---- batches ---------------------------------------------------------------------------------------------

void TOVPluginHost::BeginBatch() const {
  auto db = DB.Get();
  if (!db) return;
  db->BeginBatch();
  ++t_batch_depth;
}

void TOVPluginHost::CommitBatch() const {
  auto db = DB.Get();
  if (!db || t_batch_depth == 0) return;  // only a batch of this thread's
  --t_batch_depth;
  db->CommitBatch();
}

void TOVPluginHost::RollbackBatch() const {
  auto db = DB.Get();
  if (!db || t_batch_depth == 0) return;
  t_batch_depth = 0;
  db->RollbackBatch();
}

std::int64_t TOVPluginHost::DBLastInsertID() const {
  auto db = DB.Get();
  return db ? db->GetLastInsertID() : 0;
}

TOVPluginBatchScope::TOVPluginBatchScope(const TOVPluginHost* host) noexcept : host_(host), depth_(t_batch_depth) {}

TOVPluginBatchScope::~TOVPluginBatchScope() {
  if (t_batch_depth <= depth_) return;
  const std::string name = host_ ? host_->PluginName() : std::string("?");
  try {
    // A rollback ends every level; the levels begun before this call are gone with it.
    if (auto db = DB.Get()) db->RollbackBatch();
    ov::LogError("[plugin:%s] Database batch left open by the plug-in; rolled back", name);
  } catch (...) {
  }
  t_batch_depth = 0;
}

}  // namespace ov
