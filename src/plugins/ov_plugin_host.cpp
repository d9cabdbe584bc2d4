#include "ov_plugin_host.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <type_traits>

#include "dbapi_storage.h"
#include "ov_consts.h"
#include "ov_database.h"
#include "ov_log.h"
#include "ov_plugin_sdk.h"
#include "ov_text.h"
#include "ov_ws_sqlbridge.h"

namespace ov {

const std::vector<std::string_view> CORE_TABLES = {
    "users",         "system_config", "api_keys",       "audit_log",   "plugin_state",
    "schema_info",   "active_sessions", "ip_blacklist", "connection_log", "user_flags",
    "acl_groups",    "acl_group_flags", "user_groups",  "acl_flag_definitions"};

namespace {

// Integer binding of a JSON number: whole numbers as they are, fractions truncated toward
// zero; a value no 64-bit integer can hold keeps its own kind (double, or the decimal text of
// a large unsigned).
sql::Value IntegerParam(const TJSON& n) {
  if (n.is_number_unsigned()) {
    const auto u = n.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return sql::Value::Text(std::to_string(u));
    return sql::Value::Int(static_cast<std::int64_t>(u));
  }
  if (n.is_number_integer()) return sql::Value::Int(n.get<std::int64_t>());
  const double d = n.get<double>();
  if (!(d > -9.2e18 && d < 9.2e18)) return sql::Value::Real(d);
  return sql::Value::Int(static_cast<std::int64_t>(std::trunc(d)));
}

sql::Value ParamFromJson(const TJSON& item) {
  switch (item.type()) {
    case TJSON::value_t::number_integer:
    case TJSON::value_t::number_unsigned:
    case TJSON::value_t::number_float: return IntegerParam(item);
    case TJSON::value_t::string: return sql::Value::Text(item.get<std::string>());
    case TJSON::value_t::boolean: return sql::Value::Boolean(item.get<bool>());
    case TJSON::value_t::null: return sql::Value::Null();
    default: return sql::Value::Text(JsonSpaced(item));
  }
}

bool IsSchemaChange(const std::exception& e) { return ToLowerAscii(e.what()).find("schema has changed") != std::string::npos; }

}  // namespace

}  // namespace ov

// ---- the interface table ----------------------------------------------------------------------
//
// One thunk per slot: it finds the host behind the interface pointer, reads the arguments
// (a NULL string is ""), calls the typed method and hands the result over.  Exceptions pass
// through to the plug-in that called.

using namespace ov;

namespace {

TOVPluginHost& H(IOVPluginHost* self) { return TOVPluginHost::FromIntf(self); }
std::string_view S(OVStr s) { return OVStrView(s); }
OVJson* Give(TJSON v) { return GiveOVJson(std::move(v)); }
OVJson* GiveOptional(std::optional<TJSON> v) { return v ? GiveOVJson(std::move(*v)) : nullptr; }
const TJSON& RowOf(const OVJson* j) {
  static const TJSON kNull;
  return j ? *FromOVJson(j) : kNull;
}

}  // namespace

extern "C" {

static void ovh_LogInfo(IOVPluginHost* s, OVStr msg) { H(s).LogInfo(S(msg)); }
static void ovh_LogWarning(IOVPluginHost* s, OVStr msg) { H(s).LogWarning(S(msg)); }
static void ovh_LogError(IOVPluginHost* s, OVStr msg) { H(s).LogError(S(msg)); }
static void ovh_LogDebug(IOVPluginHost* s, OVStr msg) { H(s).LogDebug(S(msg)); }
static void ovh_SystemLog(IOVPluginHost* s, OVStr level, OVStr category, OVStr message) {
  H(s).SystemLog(S(level), S(category), S(message));
}
static void ovh_SystemLogEx(IOVPluginHost* s, OVStr level, OVStr category, OVStr message, OVStr details) {
  H(s).SystemLog(S(level), S(category), S(message), S(details));
}
static OVJson* ovh_DBQuery(IOVPluginHost* s, OVStr sql) { return Give(H(s).DBQuery(S(sql))); }
static OVBool ovh_DBExec(IOVPluginHost* s, OVStr sql) { return H(s).DBExec(S(sql)); }
static OVBool ovh_DBExecParams(IOVPluginHost* s, OVStr sql, OVJson* params) {
  return H(s).DBExecParams(S(sql), FromOVJson(params));
}
static void ovh_DBCreateTable(IOVPluginHost* s, OVStr sql) { H(s).DBCreateTable(S(sql)); }
static OVBool ovh_DeclareTable(IOVPluginHost* s, const OVDBATableSpec* spec) { return H(s).DeclareTable(FromOVTable(spec)); }
static OVBool ovh_DeclareColumn(IOVPluginHost* s, OVStr table, const OVDBAColumnSpec* spec) {
  return H(s).DeclareColumn(S(table), FromOVColumn(spec));
}
static OVBool ovh_DeclareIndex(IOVPluginHost* s, OVStr table, const OVDBAIndexSpec* spec) {
  return H(s).DeclareIndex(S(table), FromOVIndex(spec));
}
static int64_t ovh_StoreInsert(IOVPluginHost* s, OVStr table, OVJson* row) { return H(s).StoreInsert(S(table), RowOf(row)); }
static int32_t ovh_StoreUpdate(IOVPluginHost* s, OVStr table, const OVDBACriterion* where, OVJson* row) {
  return H(s).StoreUpdate(S(table), FromOVCriterion(where), RowOf(row));
}
static int32_t ovh_StoreDelete(IOVPluginHost* s, OVStr table, const OVDBACriterion* where) {
  return H(s).StoreDelete(S(table), FromOVCriterion(where));
}
static OVJson* ovh_StoreSelect(IOVPluginHost* s, const OVDBASelectSpec* spec) { return Give(H(s).StoreSelect(FromOVSelect(spec))); }
static int64_t ovh_StoreUpsert(IOVPluginHost* s, OVStr table, OVJson* row, const OVStr* keys, int64_t high) {
  return H(s).StoreUpsert(S(table), RowOf(row), OVStrArrayToVector(keys, high));
}
static void ovh_ConfigGet(IOVPluginHost* s, OVStr* result, OVStr key, OVStr dflt) {
  AssignOVStr(result, H(s).ConfigGet(S(key), S(dflt)));
}
static void ovh_ConfigSet(IOVPluginHost* s, OVStr key, OVStr value) { H(s).ConfigSet(S(key), S(value)); }
static OVJson* ovh_ConfigGetSection(IOVPluginHost* s, OVStr section) { return Give(H(s).ConfigGetSection(S(section))); }

// Events, routes and admin pages.
static void ovh_EventSubscribe(IOVPluginHost* s, OVStr type, OVEventCallbackCode code, void* data) {
  H(s).EventSubscribe(S(type), code, data);
}
static void ovh_EventUnsubscribeCallback(IOVPluginHost* s, OVEventCallbackCode code, void* data) {
  H(s).EventUnsubscribeCallback(code, data);
}
static void ovh_EventFire(IOVPluginHost* s, OVStr type, OVJson* data) { H(s).EventFire(S(type), FromOVJson(data)); }
static void ovh_RouteRegister(IOVPluginHost* s, OVStr method, OVStr path, OVRouteHandlerCode code, void* data) {
  H(s).RouteRegister(S(method), S(path), code, data);
}
static void ovh_AdminAddMenu(IOVPluginHost* s, OVStr title, OVStr url, OVStr icon, int32_t position, OVStr group) {
  H(s).AdminAddMenu(S(title), S(url), S(icon), position, S(group));
}
static void ovh_AdminRegisterPage(IOVPluginHost* s, OVStr path, OVStr html) { H(s).AdminRegisterPage(S(path), S(html)); }
// Sessions.
static OVJson* ovh_SessionGetAll(IOVPluginHost* s) { return Give(H(s).SessionGetAll()); }
static OVJson* ovh_SessionGetByNode(IOVPluginHost* s, int32_t node) { return GiveOptional(H(s).SessionGetByNode(node)); }
static int32_t ovh_SessionGetCount(IOVPluginHost* s) { return H(s).SessionGetCount(); }
// Plug-in calls: the result belongs to the calling plug-in.
static OVJson* ovh_PluginCall(IOVPluginHost* s, OVStr plugin, OVStr function, OVJson* args) {
  return reinterpret_cast<OVJson*>(H(s).PluginCall(S(plugin), S(function), FromOVJson(args)).release());
}
static IOVPlugin* ovh_PluginGetService(IOVPluginHost* s, OVStr plugin) { return H(s).PluginGetService(S(plugin)); }
static uint32_t ovh_GetCurrentPermissions(IOVPluginHost* s) { return H(s).GetCurrentPermissions().Bits(); }
static OVBool ovh_HasPermission(IOVPluginHost* s, int32_t perm) { return H(s).HasPermission(static_cast<TOVPermission>(perm)); }
// Users and access control.
static OVJson* ovh_UserGet(IOVPluginHost* s, int32_t id) { return GiveOptional(H(s).UserGet(id)); }
static OVJson* ovh_UserAuthenticate(IOVPluginHost* s, OVStr user, OVStr password) {
  return GiveOptional(H(s).UserAuthenticate(S(user), S(password)));
}
static int32_t ovh_UserCreate(IOVPluginHost* s, OVStr user, OVStr password, OVStr real_name, OVStr email) {
  return H(s).UserCreate(S(user), S(password), S(real_name), S(email));
}
static void ovh_ACLGetUserFlags(IOVPluginHost* s, OVStr* result, int32_t id) { AssignOVStr(result, H(s).ACLGetUserFlags(id)); }
static OVBool ovh_ACLCheckAccess(IOVPluginHost* s, int32_t id, int32_t security, OVStr flags) {
  return H(s).ACLCheckAccess(id, security, S(flags));
}
static OVBool ovh_ACLCheckAccessByFlags(IOVPluginHost* s, OVStr flags, OVBool admin, int32_t level, int32_t security,
                                        OVStr required) {
  return H(s).ACLCheckAccessByFlags(S(flags), admin != 0, level, security, S(required));
}
static void ovh_ACLRegisterFlag(IOVPluginHost* s, OVStr flag, OVStr description, OVStr category) {
  H(s).ACLRegisterFlag(S(flag), S(description), S(category));
}
// The version never changes: every plug-in gets the same constant string, nothing to allocate.
static void ovh_GetServerVersion(IOVPluginHost* s, OVStr* result) {
  static const OVStr version = NewConstOVStr(H(s).GetServerVersion());
  ReplaceOVStr(result, version);
}
static void ovh_GetServerName(IOVPluginHost* s, OVStr* result) { AssignOVStr(result, H(s).GetServerName()); }
static int64_t ovh_GetUptime(IOVPluginHost* s) { return H(s).GetUptime(); }
// Node-side operations: the server's fixed answers.
static int32_t ovh_FileReceiveStart(IOVPluginHost*, OVStr, OVStr, int64_t, int32_t, OVStr) { return 0; }
static OVBool ovh_FileReceiveChunk(IOVPluginHost*, int32_t, OVStr) { return 0; }
static OVBool ovh_FileReceiveComplete(IOVPluginHost*, int32_t) { return 0; }
static void ovh_FileReceiveAbort(IOVPluginHost*, int32_t) {}
static OVBool ovh_FileResumeCheck(IOVPluginHost*, OVStr, OVStr, int64_t, OVStr, int64_t* offset) {
  if (offset) *offset = 0;
  return 0;
}
static int32_t ovh_SessionAllocateNode(IOVPluginHost* s, OVStr) { return H(s).SessionAllocateNode(); }
static void ovh_SessionReleaseNode(IOVPluginHost* s, int32_t node) { H(s).SessionReleaseNode(node); }
static void ovh_SessionSetNodeUser(IOVPluginHost* s, int32_t node, OVStr user, int32_t id) {
  H(s).SessionSetNodeUser(node, S(user), id);
}
static void ovh_SessionSetNodeAddress(IOVPluginHost* s, int32_t, OVStr) { H(s).SessionSetNodeAddress(); }
static void ovh_SessionSetNodeStatus(IOVPluginHost*, int32_t, OVStr) {}
static int32_t ovh_GetDetectionSignatureCount(IOVPluginHost*) { return 0; }
static void ovh_GetDetectionSignature(IOVPluginHost*, int32_t, OVStr* name, OVStr* pattern, OVStr* probe,
                                      int32_t* interval, int32_t* priority) {
  AssignOVStr(name, {});
  AssignOVStr(pattern, {});
  AssignOVStr(probe, {});
  if (interval) *interval = 0;
  if (priority) *priority = 0;
}
static int32_t ovh_DispatchInboundProtocol(IOVPluginHost*, IMailerIO*, OVStr, OVStr, OVStr* result_json) {
  AssignOVStr(result_json, {});
  return PDR_FAILED;
}
static OVBool ovh_DispatchOutboundProtocol(IOVPluginHost*, IMailerIO*, OVStr, OVStr) { return 0; }
// The WebSocket hub (the node link of slots 59 and 60 is a node's own).
static void ovh_WSPushCommand(IOVPluginHost* s, OVStr protocol, OVJson* command) {
  H(s).WSPushCommand(S(protocol), FromOVJson(command));
}
static OVBool ovh_IsWSConnected(IOVPluginHost*) { return 0; }
static int32_t ovh_GetWSClientID(IOVPluginHost*) { return 0; }
static void ovh_WSSendToClient(IOVPluginHost* s, int32_t id, OVJson* command) { H(s).WSSendToClient(id, FromOVJson(command)); }
static OVJson* ovh_WSGetClientsByProtocol(IOVPluginHost* s, OVStr protocol) {
  return Give(H(s).WSGetClientsByProtocol(S(protocol)));
}
// Security.
static OVBool ovh_SecurityIsBanned(IOVPluginHost* s, OVStr ip) { return H(s).SecurityIsBanned(OVStrText(ip)); }
static OVBool ovh_SecurityAllowConnection(IOVPluginHost* s, OVStr ip) { return H(s).SecurityAllowConnection(OVStrText(ip)); }
static void ovh_SecurityConnectionOpened(IOVPluginHost* s, OVStr ip) { H(s).SecurityConnectionOpened(OVStrText(ip)); }
static void ovh_SecurityConnectionClosed(IOVPluginHost* s, OVStr ip) { H(s).SecurityConnectionClosed(OVStrText(ip)); }
// Batches.
static void ovh_BeginBatch(IOVPluginHost* s) { H(s).BeginBatch(); }
static void ovh_CommitBatch(IOVPluginHost* s) { H(s).CommitBatch(); }
static void ovh_RollbackBatch(IOVPluginHost* s) { H(s).RollbackBatch(); }
static int64_t ovh_DBLastInsertID(IOVPluginHost* s) { return H(s).DBLastInsertID(); }

}  // extern "C"

static const IOVPluginHostVtbl kOVHostVtbl = {
    .LogInfo = ovh_LogInfo,                                        // 0
    .LogWarning = ovh_LogWarning,                                  // 1
    .LogError = ovh_LogError,                                      // 2
    .LogDebug = ovh_LogDebug,                                      // 3
    .SystemLog = ovh_SystemLog,                                    // 4
    .SystemLogEx = ovh_SystemLogEx,                                // 5
    .DBQuery = ovh_DBQuery,                                        // 6
    .DBExec = ovh_DBExec,                                          // 7
    .DBExecParams = ovh_DBExecParams,                              // 8
    .DBCreateTable = ovh_DBCreateTable,                            // 9
    .DeclareTable = ovh_DeclareTable,                              // 10
    .DeclareColumn = ovh_DeclareColumn,                            // 11
    .DeclareIndex = ovh_DeclareIndex,                              // 12
    .StoreInsert = ovh_StoreInsert,                                // 13
    .StoreUpdate = ovh_StoreUpdate,                                // 14
    .StoreDelete = ovh_StoreDelete,                                // 15
    .StoreSelect = ovh_StoreSelect,                                // 16
    .StoreUpsert = ovh_StoreUpsert,                                // 17
    .ConfigGet = ovh_ConfigGet,                                    // 18
    .ConfigSet = ovh_ConfigSet,                                    // 19
    .ConfigGetSection = ovh_ConfigGetSection,                      // 20
    .EventSubscribe = ovh_EventSubscribe,                          // 21
    .EventUnsubscribeCallback = ovh_EventUnsubscribeCallback,      // 22
    .EventFire = ovh_EventFire,                                    // 23
    .RouteRegister = ovh_RouteRegister,                            // 24
    .AdminAddMenu = ovh_AdminAddMenu,                              // 25
    .AdminRegisterPage = ovh_AdminRegisterPage,                    // 26
    .SessionGetAll = ovh_SessionGetAll,                            // 27
    .SessionGetByNode = ovh_SessionGetByNode,                      // 28
    .SessionGetCount = ovh_SessionGetCount,                        // 29
    .PluginCall = ovh_PluginCall,                                  // 30
    .PluginGetService = ovh_PluginGetService,                      // 31
    .GetCurrentPermissions = ovh_GetCurrentPermissions,            // 32
    .HasPermission = ovh_HasPermission,                            // 33
    .UserGet = ovh_UserGet,                                        // 34
    .UserAuthenticate = ovh_UserAuthenticate,                      // 35
    .UserCreate = ovh_UserCreate,                                  // 36
    .ACLGetUserFlags = ovh_ACLGetUserFlags,                        // 37
    .ACLCheckAccess = ovh_ACLCheckAccess,                          // 38
    .ACLCheckAccessByFlags = ovh_ACLCheckAccessByFlags,            // 39
    .ACLRegisterFlag = ovh_ACLRegisterFlag,                        // 40
    .GetServerVersion = ovh_GetServerVersion,                      // 41
    .GetServerName = ovh_GetServerName,                            // 42
    .GetUptime = ovh_GetUptime,                                    // 43
    .FileReceiveStart = ovh_FileReceiveStart,                      // 44
    .FileReceiveChunk = ovh_FileReceiveChunk,                      // 45
    .FileReceiveComplete = ovh_FileReceiveComplete,                // 46
    .FileReceiveAbort = ovh_FileReceiveAbort,                      // 47
    .FileResumeCheck = ovh_FileResumeCheck,                        // 48
    .SessionAllocateNode = ovh_SessionAllocateNode,                // 49
    .SessionReleaseNode = ovh_SessionReleaseNode,                  // 50
    .SessionSetNodeUser = ovh_SessionSetNodeUser,                  // 51
    .SessionSetNodeAddress = ovh_SessionSetNodeAddress,            // 52
    .SessionSetNodeStatus = ovh_SessionSetNodeStatus,              // 53
    .GetDetectionSignatureCount = ovh_GetDetectionSignatureCount,  // 54
    .GetDetectionSignature = ovh_GetDetectionSignature,            // 55
    .DispatchInboundProtocol = ovh_DispatchInboundProtocol,        // 56
    .DispatchOutboundProtocol = ovh_DispatchOutboundProtocol,      // 57
    .WSPushCommand = ovh_WSPushCommand,                            // 58
    .IsWSConnected = ovh_IsWSConnected,                            // 59
    .GetWSClientID = ovh_GetWSClientID,                            // 60
    .WSSendToClient = ovh_WSSendToClient,                          // 61
    .WSGetClientsByProtocol = ovh_WSGetClientsByProtocol,          // 62
    .SecurityIsBanned = ovh_SecurityIsBanned,                      // 63
    .SecurityAllowConnection = ovh_SecurityAllowConnection,        // 64
    .SecurityConnectionOpened = ovh_SecurityConnectionOpened,      // 65
    .SecurityConnectionClosed = ovh_SecurityConnectionClosed,      // 66
    .BeginBatch = ovh_BeginBatch,                                  // 67
    .CommitBatch = ovh_CommitBatch,                                // 68
    .RollbackBatch = ovh_RollbackBatch,                            // 69
    .DBLastInsertID = ovh_DBLastInsertID,                          // 70
};

namespace ov {

// ---- construction and gate -----------------------------------------------------------------

TOVPluginHost::TOVPluginHost(std::string plugin_name, TOVPermissionSet requested, TOVService<TOVEventBus>* event_bus,
                             std::chrono::system_clock::time_point start_time)
    : name_(std::move(plugin_name)), requested_(requested), event_bus_(event_bus), start_time_(start_time) {
  intf_.intf.vtbl = &kOVHostVtbl;
  intf_.owner = this;
}

TOVPluginHost& TOVPluginHost::FromIntf(IOVPluginHost* intf) noexcept {
  static_assert(std::is_standard_layout_v<TIntf> && offsetof(TIntf, intf) == 0);
  return *reinterpret_cast<TIntf*>(intf)->owner;
}

void TOVPluginHost::CheckPermission(TOVPermission perm) const {
  if (!HasPermission(perm))
    throw EOVPluginError(Format("Plugin \"%s\" denied permission: %s", name_, PermissionToString(perm)));
}

std::string TOVPluginHost::GetTablePrefix() const { return NormalizePluginPrefix(name_); }

void TOVPluginHost::EnforceTablePrefix(std::string_view table) const {
  const std::string prefix = GetTablePrefix();
  if (table.size() < prefix.size() || ToLowerAscii(table.substr(0, prefix.size())) != prefix)
    throw EOVPluginError(Format("Plugin \"%s\" table \"%s\" must be prefixed with \"%s\"", name_, table, prefix));
}

std::string TOVPluginHost::PrefixTable(std::string_view sql) const {
  const std::string lower = ToLowerAscii(sql);
  for (std::string_view t : CORE_TABLES) {
    const std::string name(t);
    const std::string patterns[] = {" " + name + " ",  " " + name + "(",  " " + name + "\t", " " + name + "\n",
                                    " " + name + ",",  "\t" + name + " ", "from " + name,    "join " + name,
                                    "into " + name,    "update " + name,  "table " + name};
    for (const auto& p : patterns)
      if (lower.find(p) != std::string::npos) {
        std::string plain = ToLowerAscii(name_);
        std::replace(plain.begin(), plain.end(), '-', '_');
        throw EOVPluginError(Format("Plugin \"%s\" cannot access core table \"%s\". Use prefixed tables (p_%s_*) instead.",
                                    name_, name, plain));
      }
  }
  return std::string(sql);
}

template <class F>
auto TOVPluginHost::UnderWriteLock(F&& f) const {
  auto db = RequireDB();
  TOVDBLockGuard lock(*db);
  return f(*db->Dialect());
}

// ---- log -----------------------------------------------------------------------------------

void TOVPluginHost::LogInfo(std::string_view msg) const { ov::LogInfo("[plugin:%s] %s", name_, msg); }
void TOVPluginHost::LogDebug(std::string_view msg) const { ov::LogDebug("[plugin:%s] %s", name_, msg); }

// Warnings and errors are also stored once more as a row of their own, source "plugin:<name>".
void TOVPluginHost::LogWarning(std::string_view msg) const {
  ov::LogWarning("[plugin:%s] %s", name_, msg);
  if (auto db = DB.Get()) db->WriteLog("warning", "plugin:" + name_, "general", std::string(msg));
}

void TOVPluginHost::LogError(std::string_view msg) const {
  ov::LogError("[plugin:%s] %s", name_, msg);
  if (auto db = DB.Get()) db->WriteLog("error", "plugin:" + name_, "general", std::string(msg));
}

void TOVPluginHost::SystemLog(std::string_view level, std::string_view category, std::string_view message,
                              std::string_view) const {
  const std::string l = ToLowerAscii(level);
  const TOVLogLevel lvl = l == "debug" ? llDebug : (l == "warning" || l == "warn") ? llWarning : l == "error" ? llError : llInfo;
  if (LogWouldWrite(lvl)) LogMessage(lvl, Format("[plugin:%s] [%s] %s", name_, category, message));
}

// ---- raw SQL ---------------------------------------------------------------------------------

// A statement that met a schema change (SQLite recompiles after DDL on another connection) is
// tried once more; any other failure is logged and absorbed.
template <class R, class F>
static R WithSchemaRetry(const TOVPluginHost& host, const char* what, R failed, F&& attempt) {
  for (int i = 0; i < 2; ++i) {
    try {
      return attempt();
    } catch (const std::exception& e) {
      if (i == 0 && IsSchemaChange(e)) {
        host.LogWarning(Format("%s hit schema change, retrying: %s", what, e.what()));
        continue;
      }
      host.LogError(std::string(what) + " failed: " + e.what());
      return failed;
    }
  }
  return failed;
}

TJSON TOVPluginHost::DBQuery(std::string_view sql) const {
  CheckPermission(opDatabaseRead);
  return WithSchemaRetry(*this, "DBQuery", TJSON::array(), [&] {
    TJSON rows = TJSON::array();
    auto q = RequireDB()->NewReadQuery(TDBAReadKind::Long);  // a plug-in's own statement: any length
    q.SetSQL(PrefixTable(sql));
    q.Open();
    for (; !q.Eof(); q.Next()) rows.push_back(q.RowJSON());
    return rows;
  });
}

bool TOVPluginHost::DBExec(std::string_view sql) const {
  CheckPermission(opDatabaseWrite);
  return WithSchemaRetry(*this, "DBExec", false, [&] {
    RequireDB()->ExecSQL(PrefixTable(sql));
    return true;
  });
}

bool TOVPluginHost::DBExecParams(std::string_view sql, const TJSON* params) const {
  CheckPermission(opDatabaseWrite);
  return WithSchemaRetry(*this, "DBExecParams", false, [&] {
    auto db = RequireDB();
    auto q = db->NewQuery();
    q.SetSQL(NumberQuestionMarks(PrefixTable(sql)));
    if (params && params->is_array())
      for (std::size_t i = 0; i < params->size(); ++i) q.ParamValue("p" + std::to_string(i), ParamFromJson((*params)[i]));
    q.ExecSQL();
    db->Commit();
    return true;
  });
}

void TOVPluginHost::DBCreateTable(std::string_view sql) const {
  CheckPermission(opDatabaseCreateTables);
  const std::string prefix = GetTablePrefix();
  if (ToLowerAscii(sql).find(prefix) == std::string::npos)
    throw EOVPluginError(Format("Plugin \"%s\" table must be prefixed with \"%s\"", name_, prefix));
  RequireDB()->ExecSQL(std::string(sql));
}

// ---- declarative storage ---------------------------------------------------------------------

bool TOVPluginHost::DeclareTable(const TDBATableSpec& spec) const {
  CheckPermission(opDatabaseCreateTables);
  EnforceTablePrefix(spec.Name);
  return UnderWriteLock([&](IDBADialect& d) { return ov::DeclareTable(d, spec); });
}

bool TOVPluginHost::DeclareColumn(std::string_view table, const TDBAColumnSpec& spec) const {
  CheckPermission(opDatabaseCreateTables);
  EnforceTablePrefix(table);
  return UnderWriteLock([&](IDBADialect& d) { return ov::DeclareColumn(d, table, spec); });
}

bool TOVPluginHost::DeclareIndex(std::string_view table, const TDBAIndexSpec& spec) const {
  CheckPermission(opDatabaseCreateTables);
  EnforceTablePrefix(table);
  return UnderWriteLock([&](IDBADialect& d) { return ov::DeclareIndex(d, table, spec); });
}

std::int64_t TOVPluginHost::StoreInsert(std::string_view table, const TJSON& row) const {
  CheckPermission(opDatabaseWrite);
  EnforceTablePrefix(table);
  return UnderWriteLock([&](IDBADialect& d) { return ov::StoreInsert(d, table, row); });
}

std::int32_t TOVPluginHost::StoreUpdate(std::string_view table, const TDBACriterion* where, const TJSON& row) const {
  CheckPermission(opDatabaseWrite);
  EnforceTablePrefix(table);
  return UnderWriteLock([&](IDBADialect& d) { return ov::StoreUpdate(d, table, where, row); });
}

std::int32_t TOVPluginHost::StoreDelete(std::string_view table, const TDBACriterion* where) const {
  CheckPermission(opDatabaseWrite);
  EnforceTablePrefix(table);
  return UnderWriteLock([&](IDBADialect& d) { return ov::StoreDelete(d, table, where); });
}

TJSON TOVPluginHost::StoreSelect(const TDBASelectSpec& spec) const {
  CheckPermission(opDatabaseRead);
  EnforceTablePrefix(spec.Table);
  return UnderWriteLock([&](IDBADialect& d) { return ov::StoreSelect(d, spec); });
}

std::int64_t TOVPluginHost::StoreUpsert(std::string_view table, const TJSON& row,
                                        const std::vector<std::string>& key_cols) const {
  CheckPermission(opDatabaseWrite);
  EnforceTablePrefix(table);
  return UnderWriteLock([&](IDBADialect& d) { return ov::StoreUpsert(d, table, row, key_cols); });
}

// ---- stored configuration ----------------------------------------------------------------------

std::optional<std::string> ReadPluginConfigText(const std::string& plugin_name) {
  auto db = RequireDB();
  auto q = db->NewQuery();
  q.SetSQL("SELECT config_json FROM plugin_state WHERE plugin_name = :pn");
  q.Param("pn", plugin_name);
  q.Open();
  if (q.Eof()) return std::nullopt;
  return q.Str("config_json");
}

void UpdatePluginConfig(const std::string& plugin_name, const std::function<void(TJSON&)>& edit) {
  auto db = RequireDB();
  TOVDBLockGuard lock(*db);
  TJSON cfg = ParseJson(ReadPluginConfigText(plugin_name).value_or("{}")).value_or(TJSON::object());
  if (!cfg.is_object()) cfg = TJSON::object();
  edit(cfg);
  auto q = db->NewQuery();
  q.SetSQL("UPDATE plugin_state SET config_json = :cfg, updated_at = " + db->NowExpr() + " WHERE plugin_name = :pn");
  q.Param("cfg", JsonSpaced(cfg));
  q.Param("pn", plugin_name);
  q.ExecSQL();
  db->Commit();
}

std::string TOVPluginHost::ConfigGet(std::string_view key, std::string_view default_value) const {
  CheckPermission(opConfigRead);
  const auto text = ReadPluginConfigText(name_);
  if (!text) return std::string(default_value);
  const auto cfg = ParseJson(*text);
  if (!cfg) throw EOVPluginError(Format("Plugin \"%s\" configuration is not valid JSON", name_));
  return cfg->is_object() ? JStr(*cfg, key, default_value) : std::string(default_value);
}

void TOVPluginHost::ConfigSet(std::string_view key, std::string_view value) const {
  CheckPermission(opConfigWrite);
  UpdatePluginConfig(name_, [&](TJSON& cfg) {
    cfg.erase(std::string(key));
    cfg[std::string(key)] = std::string(value);
  });
}

TJSON TOVPluginHost::ConfigGetSection(std::string_view) const {
  CheckPermission(opConfigRead);
  const auto text = ReadPluginConfigText(name_);
  if (!text) return TJSON::object();
  auto cfg = ParseJson(*text);
  if (!cfg) {
    LogError("ConfigGetSection parse error: invalid JSON");
    return TJSON::object();
  }
  return cfg->is_object() ? std::move(*cfg) : TJSON::object();
}

// ---- server information -----------------------------------------------------------------------

bool TOVPluginHost::HasPermission(TOVPermission perm) const noexcept { return GetCurrentPermissions().Has(perm); }

std::string TOVPluginHost::GetServerVersion() const { return kVersion; }

std::int64_t TOVPluginHost::GetUptime() const {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - start_time_).count();
}

// ---- "?" placeholders ---------------------------------------------------------------------------

std::string NumberQuestionMarks(std::string_view sql) {
  std::string out;
  out.reserve(sql.size() + 8);
  int n = 0;
  for (std::size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`') {  // quoted text or name; a doubled quote stays inside
      std::size_t j = i + 1;
      while (j < sql.size() && !(sql[j] == c && (j + 1 >= sql.size() || sql[j + 1] != c))) j += (sql[j] == c) ? 2 : 1;
      out.append(sql, i, j + 1 - i);
      i = j;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {  // comment to the line end
      const std::size_t e = sql.find('\n', i);
      const std::size_t j = e == std::string_view::npos ? sql.size() : e;
      out.append(sql, i, j - i);
      i = j - 1;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      const std::size_t e = sql.find("*/", i + 2);
      const std::size_t j = e == std::string_view::npos ? sql.size() : e + 2;
      out.append(sql, i, j - i);
      i = j - 1;
    } else if (c == '?') {
      out += ":p" + std::to_string(n++);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace ov

