// TOVPluginHost, slots 21-70: thin bridges from a plug-in to the server's services.  Each checks
// its permission first, then reads its service through the service's slot and gives the
// neutral answer when the service is absent, so a plug-in never sees a missing service as an
// error.
#include <algorithm>
#include <cstddef>
#include <type_traits>

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
#include "ov_text.h"
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
  auto routes = PluginRoutes.Get();
  if (!routes) return;
  auto handler = std::make_shared<const TOVPluginRouteHandler>(TOVPluginRouteHandler{code, data, runtime_, runtime_bound_});
  // A refused route costs the plug-in that route only: raising here would end its
  // RegisterRoutes, and with it the enable, over one path.
  if (std::string why = routes->RegisterRoute(name_, Text(method), Text(path), std::move(handler)); !why.empty())
    ov::LogWarning("[plugin:%s] Route refused: %s %s (%s)", name_, method, path, why);
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

// ---- service proxies -----------------------------------------------------------------------------

// What PluginGetService hands out for a plug-in: interfaces whose tables are the thunks below.
// A plug-in's own object would let its caller skip the runtime guard every other entry into
// plug-in code holds, and would dangle once that plug-in is reloaded or unloaded; the proxy
// knows the plug-in by name only and enters its current instance on each call.
class TOVServiceProxy {
 public:
  explicit TOVServiceProxy(std::string target);
  TOVServiceProxy(const TOVServiceProxy&) = delete;
  TOVServiceProxy& operator=(const TOVServiceProxy&) = delete;

  IOVPlugin* Plugin() noexcept { return &plugin_.intf; }
  IOVServicePlugin* Service() noexcept { return &service_.intf; }
  IOVScheduledPlugin* Scheduled() noexcept { return &scheduled_.intf; }
  const std::string& Target() const noexcept { return target_; }
  // The proxy behind an interface pointer made by the getters above.
  template <class I>
  static TOVServiceProxy& Of(I* intf) noexcept {
    static_assert(std::is_standard_layout_v<TFace<I>> && offsetof(TFace<I>, intf) == 0);
    return *reinterpret_cast<TFace<I>*>(intf)->owner;
  }

 private:
  template <class I>
  struct TFace {
    I intf;
    TOVServiceProxy* owner;
  };

  // ---- Constant after construction ----
  TFace<IOVPlugin> plugin_;
  TFace<IOVServicePlugin> service_;
  TFace<IOVScheduledPlugin> scheduled_;
  const std::string target_;
};

namespace {

// Runs f(plugin object) in the proxy's plug-in: its current instance, entered under its runtime
// guard (an unload waits for the call) and through CallIntoPlugin, as every call into plug-in
// code is; counted: as a running service call or task, as the manager counts those.  Throws
// EOVPluginError when the plug-in is not loaded, not enabled or being unloaded.
template <class F>
decltype(auto) InTarget(const TOVServiceProxy& proxy, bool counted, F&& f) {
  auto mgr = PluginMgr.Get();
  std::optional<TOVPluginGuard> guard = mgr ? mgr->EnterPlugin(proxy.Target()) : std::nullopt;
  if (!guard) throw EOVPluginError(Format("Plugin \"%s\" is not available", proxy.Target()));
  std::optional<TOVPluginCallCount> running;
  if (counted) running.emplace(guard->Runtime());
  IOVPlugin* p = guard->Plugin();
  return guard->Call([&] { return f(p); });
}

IOVServicePlugin* ServiceOf(const TOVServiceProxy& proxy, IOVPlugin* p) {
  IOVServicePlugin* s = OV_PCALL(p, GetServicePlugin);
  if (!s) throw EOVPluginError(Format("Plugin \"%s\" offers no service functions", proxy.Target()));
  return s;
}

IOVScheduledPlugin* ScheduledOf(const TOVServiceProxy& proxy, IOVPlugin* p) {
  IOVScheduledPlugin* s = OV_PCALL(p, GetScheduledPlugin);
  if (!s) throw EOVPluginError(Format("Plugin \"%s\" has no scheduled tasks", proxy.Target()));
  return s;
}

template <class I>
TOVServiceProxy& ProxyOf(I* self) noexcept {
  return TOVServiceProxy::Of(self);
}

// The server's own hooks of a plug-in: absent through a proxy (nothing of the plug-in runs).
template <class R>
R* Absent(IOVPlugin* self) {
  return InTarget(ProxyOf(self), false, [](IOVPlugin*) -> R* { return nullptr; });
}

extern "C" {

// IOVPlugin: information, passed through.
static void px_GetName(IOVPlugin* s, OVStr* r) { InTarget(ProxyOf(s), false, [&](IOVPlugin* p) { OV_PCALL(p, GetName, r); }); }
static void px_GetVersion(IOVPlugin* s, OVStr* r) {
  InTarget(ProxyOf(s), false, [&](IOVPlugin* p) { OV_PCALL(p, GetVersion, r); });
}
static void px_GetDescription(IOVPlugin* s, OVStr* r) {
  InTarget(ProxyOf(s), false, [&](IOVPlugin* p) { OV_PCALL(p, GetDescription, r); });
}
static void px_GetAuthor(IOVPlugin* s, OVStr* r) { InTarget(ProxyOf(s), false, [&](IOVPlugin* p) { OV_PCALL(p, GetAuthor, r); }); }
static void px_GetDependencies(IOVPlugin* s, OVStr** r) {
  InTarget(ProxyOf(s), false, [&](IOVPlugin* p) { OV_PCALL(p, GetDependencies, r); });
}
static uint32_t px_GetRequestedPermissions(IOVPlugin* s) {
  return InTarget(ProxyOf(s), false, [](IOVPlugin* p) { return OV_PCALL(p, GetRequestedPermissions); });
}
static uint32_t px_GetCapabilities(IOVPlugin* s) {
  return InTarget(ProxyOf(s), false, [](IOVPlugin* p) { return OV_PCALL(p, GetCapabilities); });
}
static int32_t px_GetTarget(IOVPlugin* s) { return InTarget(ProxyOf(s), false, [](IOVPlugin* p) { return OV_PCALL(p, GetTarget); }); }
// The services other plug-ins call: proxies of their own.
static IOVServicePlugin* px_GetServicePlugin(IOVPlugin* s) {
  const bool has = InTarget(ProxyOf(s), false, [](IOVPlugin* p) { return OV_PCALL(p, GetServicePlugin) != nullptr; });
  return has ? ProxyOf(s).Service() : nullptr;
}
static IOVScheduledPlugin* px_GetScheduledPlugin(IOVPlugin* s) {
  const bool has = InTarget(ProxyOf(s), false, [](IOVPlugin* p) { return OV_PCALL(p, GetScheduledPlugin) != nullptr; });
  return has ? ProxyOf(s).Scheduled() : nullptr;
}
// The plug-in's life is the server's.
static OVBool px_Initialize(IOVPlugin* s, IOVPluginHost*) {
  throw EOVPluginError(Format("Plugin \"%s\" is initialized by the server only", ProxyOf(s).Target()));
}
static void px_Finalize(IOVPlugin* s) {
  throw EOVPluginError(Format("Plugin \"%s\" is finalized by the server only", ProxyOf(s).Target()));
}

// IOVServicePlugin.
static void pxs_GetServiceName(IOVServicePlugin* s, OVStr* r) {
  InTarget(ProxyOf(s), false, [&](IOVPlugin* p) { OV_PCALL(ServiceOf(ProxyOf(s), p), GetServiceName, r); });
}
static OVJson* pxs_CallFunction(IOVServicePlugin* s, OVStr name, OVJson* args) {
  return InTarget(ProxyOf(s), true, [&](IOVPlugin* p) { return OV_PCALL(ServiceOf(ProxyOf(s), p), CallFunction, name, args); });
}

// IOVScheduledPlugin.
static OVJson* pxt_GetScheduledTasks(IOVScheduledPlugin* s) {
  return InTarget(ProxyOf(s), false, [&](IOVPlugin* p) { return OV_PCALL(ScheduledOf(ProxyOf(s), p), GetScheduledTasks); });
}
static void pxt_RunTask(IOVScheduledPlugin* s, OVStr task) {
  InTarget(ProxyOf(s), true, [&](IOVPlugin* p) { OV_PCALL(ScheduledOf(ProxyOf(s), p), RunTask, task); });
}

}  // extern "C"

const IOVPluginVtbl kProxyVtbl = {
    .GetName = px_GetName,                                        // 0
    .GetVersion = px_GetVersion,                                  // 1
    .GetDescription = px_GetDescription,                          // 2
    .GetAuthor = px_GetAuthor,                                    // 3
    .GetDependencies = px_GetDependencies,                        // 4
    .GetRequestedPermissions = px_GetRequestedPermissions,        // 5
    .GetCapabilities = px_GetCapabilities,                        // 6
    .GetTarget = px_GetTarget,                                    // 7
    .GetProtocolPlugin = Absent<IOVProtocolPlugin>,               // 8
    .GetRoutePlugin = Absent<IOVRoutePlugin>,                     // 9
    .GetAdminPlugin = Absent<IOVAdminPlugin>,                     // 10
    .GetDatabasePlugin = Absent<IOVDatabasePlugin>,               // 11
    .GetEventPlugin = Absent<IOVEventPlugin>,                     // 12
    .GetServicePlugin = px_GetServicePlugin,                      // 13
    .GetProtocolDetector = Absent<IOVProtocolDetector>,           // 14
    .GetScheduledPlugin = px_GetScheduledPlugin,                  // 15
    .Initialize = px_Initialize,                                  // 16
    .Finalize = px_Finalize,                                      // 17
};
const IOVServicePluginVtbl kProxyServiceVtbl = {.GetServiceName = pxs_GetServiceName, .CallFunction = pxs_CallFunction};
const IOVScheduledPluginVtbl kProxyScheduledVtbl = {.GetScheduledTasks = pxt_GetScheduledTasks, .RunTask = pxt_RunTask};

}  // namespace

TOVServiceProxy::TOVServiceProxy(std::string target)
    : plugin_{{&kProxyVtbl}, this},
      service_{{&kProxyServiceVtbl}, this},
      scheduled_{{&kProxyScheduledVtbl}, this},
      target_(std::move(target)) {}

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
  if (!mgr || !mgr->IsPluginLoaded(Text(plugin))) return nullptr;
  TOVLockGuard g(proxies_lock_);
  auto& proxy = proxies_[FoldCase(plugin)];
  if (!proxy) proxy.reset(new TOVServiceProxy(Text(plugin)));
  return proxy->Plugin();
}

void TOVPluginHost::TProxyDelete::operator()(TOVServiceProxy* p) const noexcept { delete p; }

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
