// Login, token refresh, first-run setup, health and status.
#include "ov_route_auth.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <optional>
#include <string>

#include "ov_auth.h"
#include "ov_config.h"
#include "ov_consts.h"
#include "ov_server_state.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_guid.h"
#include "ov_http_server.h"
#include "ov_json_reply.h"
#include "ov_log.h"
#include "ov_route_db.h"
#include "ov_route_reply.h"
#include "ov_schema.h"
#include "ov_session_manager.h"
#include "ov_ws_server.h"
#include "ov_security.h"
#include "orvanta/plugin_abi.h"

namespace ov {

namespace {

constexpr std::int32_t kSysopSecurityLevel = 255;
constexpr std::size_t kMinSetupPasswordChars = 6;
// How long a health check waits for the database's answer: a server that leaves the check
// unanswered that long does not answer.
constexpr std::chrono::milliseconds kHealthProbeWait{1000};

// ---- login throttle and IP blacklist ------------------------------------------------------------
// Each check is its own step of the login; while a service is absent its check lets the
// request through and records nothing.  Both run before the login opens its write query: the
// blacklist's lock comes before the database write lock.

// Step 2 of a login: a banned client address is refused before anything else is looked at.
bool LoginBlockedByBlacklist(TOVApiRequest& c, const std::string& client_ip) {
  auto blacklist = IPBlacklist.Get();
  if (!blacklist || !blacklist->IsBanned(client_ip)) return false;
  SendError(c.resp, 403, "IP address is blacklisted");
  return true;
}

// Step 3 of a login: the throttle refuses an address or a user name with too many failures.
bool LoginBlockedByThrottle(TOVApiRequest& c, const std::string& username, const std::string& client_ip) {
  auto throttle = LoginThrottle.Get();
  if (!throttle) return false;
  if (throttle->IsIPBanned(client_ip)) {
    SendError(c.resp, 429, "Too many failed login attempts from this IP");
    return true;
  }
  if (throttle->IsLocked(username)) {
    SendError(c.resp, 429, "Account temporarily locked due to failed login attempts");
    return true;
  }
  return false;
}

void ThrottleRecordFailure(const std::string& username, const std::string& client_ip) {
  if (auto throttle = LoginThrottle.Get()) throttle->RecordFailure(username, client_ip);
}

void ThrottleRecordSuccess(const std::string& username) {
  if (auto throttle = LoginThrottle.Get()) throttle->RecordSuccess(username);
}

// The configured database type; "sqlite3" while no configuration is loaded.
std::string ConfiguredDatabaseType() {
  if (auto cfg = Config.Get()) return cfg->DatabaseType();
  return "sqlite3";
}

std::int64_t ActiveSessionCount() {
  auto sm = SessionMgr.Get();
  return sm ? static_cast<std::int64_t>(sm->GetSessionCount()) : 0;
}

struct LoginRow {
  std::int64_t id = 0;
  std::string guid, hash, salt;
  bool is_admin = false, is_active = false, is_locked = false;
  std::int32_t security_level = 0;
};

}  // namespace

// ---- functions used elsewhere -------------------------------------------------------------------

bool IsSetupComplete() {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  return CountRows(q, "SELECT COUNT(*) FROM users WHERE is_admin = 1") > 0;
}

TJSON BuildStatusJSON() {
  std::int64_t total_users = 0, total_config = 0;
  {
    // A short read however large the board: the users from their tally (a sum of a few rows
    // that the triggers keep exact, whoever writes); system_config holds a few dozen rows, and
    // counting them costs what a lookup does.
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    total_users = CountRows(q, RowTotalSQL("users"));
    total_config = CountRows(q, "SELECT COUNT(*) FROM system_config");
  }
  using namespace std::chrono;
  auto up_ms = duration_cast<milliseconds>(system_clock::now() - GetServerStartTime()).count();
  TJSON o = TJSON::object();
  o["server_name"] = kServerNameVersion;
  o["version"] = kVersion;
  o["build_id"] = GetServerBuildId();
  o["uptime_seconds"] = static_cast<std::int64_t>(std::llround(static_cast<double>(up_ms) / 1000.0));
  o["total_users"] = total_users;
  o["total_config_entries"] = total_config;
  o["database_type"] = ConfiguredDatabaseType();
  std::int64_t nodes = 0;
  if (auto ws = WSServer.Get()) nodes = ws->GetClientCount();
  o["active_sessions"] = ActiveSessionCount();
  o["connected_nodes"] = nodes;
  return o;
}

// ---- handlers -----------------------------------------------------------------------------------

void HandleHealthCheck(TOVApiRequest& c) {
  auto db = RequireDB();
  // The database is fine when a read connection answers and the write connection can be used;
  // one that cannot be reached, or that leaves the check unanswered for a second (a network
  // partition), is degraded, not a failure of the check.
  const bool ok = db->HealthProblem(kHealthProbeWait).empty();
  TJSON o = TJSON::object();
  o["status"] = ok ? "healthy" : "degraded";
  o["version"] = kVersion;
  o["database"] = ok ? "ok" : "error";
  TOVJsonReply::SendJSON(c.resp, o, 200);
}

void HandleStatus(TOVApiRequest& c) { SendSuccess(c.resp, BuildStatusJSON()); }

void HandleStatusV2(TOVApiRequest& c) {
  if (!CheckRouteAccess(c, TOVRouteAccess::Auth)) return;
  std::int64_t total_users = 0;
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();  // a lookup: no reason to wait for the writers
    total_users = CountRows(q, RowTotalSQL("users"));
  }
  std::int64_t subscriptions = 0;
  if (auto bus = EventBus.Get()) subscriptions = static_cast<std::int64_t>(bus->GetSubscriptionCount());
  TJSON o = TJSON::object();
  o["server_name"] = kServerNameVersion;
  o["version"] = kVersion;
  o["total_users"] = total_users;
  o["database_type"] = ConfiguredDatabaseType();
  o["active_sessions"] = ActiveSessionCount();
  o["loaded_plugins"] = std::int64_t{0};  // this server has no plug-in manager yet
  o["event_subscriptions"] = subscriptions;
  SendSuccess(c.resp, std::move(o));
}

void HandleSetupStatus(TOVApiRequest& c) {
  TJSON o = TJSON::object();
  o["setup_complete"] = IsSetupComplete();
  o["server_name"] = kServerNameVersion;
  SendSuccess(c.resp, std::move(o));
}

void HandleSetupCreate(TOVApiRequest& c) {
  if (IsSetupComplete()) {
    SendError(c.resp, 403, "Setup already completed");
    return;
  }
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string username = JStr(*body, "username");
  const std::string password = JStr(*body, "password");
  const std::string real_name = JStr(*body, "real_name");
  const std::string bbs_name = JStr(*body, "bbs_name");
  if (!CheckNewAccount(c, username, password, "Username and password are required", kMinSetupPasswordChars)) return;
  const std::string salt = TOVAuth::GenerateSalt();
  const std::string hash = TOVAuth::HashPassword(password, salt);
  const std::string guid = TOVGuid::Generate();

  std::int64_t id = 0;
  {
    auto db = RequireDB();
    // The check and the insert run under one hold of the write lock: of two concurrent
    // set-ups only one can create the first administrator.
    TOVDBLockGuard lock(*db);
    if (IsSetupComplete()) {
      SendError(c.resp, 403, "Setup already completed");
      return;
    }
    std::optional<std::int64_t> inserted = InsertAccount(c, *db, [&](TOVQueryBase& q) {
      q.SetSQL(
          "INSERT INTO users (guid, username, password_hash, password_salt, real_name, security_level, is_admin, "
          "is_active) VALUES (:guid, :u, :h, :s, :rn, :sl, 1, 1)");
      q.Param("guid", guid);
      q.Param("u", username);
      q.Param("h", hash);
      q.Param("s", salt);
      q.Param("rn", real_name);
      q.Param("sl", kSysopSecurityLevel);
    });
    if (!inserted) return;
    id = *inserted;
    if (id <= 0) {
      TOVWriteQuery q = db->NewQuery();
      q.SetSQL("SELECT id FROM users WHERE guid = :g");
      q.Param("g", guid);
      q.Open();
      if (!q.Eof()) id = q.Int("id");
    }

    if (!bbs_name.empty() || !real_name.empty()) {
      TOVWriteQuery q = db->NewQuery();
      const std::string update =
          "UPDATE system_config SET value = :v, updated_at = " + db->NowExpr() + " WHERE " + db->QuoteIdent("key") + " = ";
      if (!bbs_name.empty()) {
        q.SetSQL(update + "'bbs_name'");
        q.Param("v", bbs_name);
        q.ExecSQL();
      }
      if (!real_name.empty()) {
        q.SetSQL(update + "'sysop_name'");
        q.Param("v", real_name);
        q.ExecSQL();
      }
      db->Commit();
    }
  }

  TJSON o = TJSON::object();
  o["token"] = TOVAuth::CreateJWT(id, username, true, kSysopSecurityLevel, "", guid);
  o["user_id"] = id;
  o["user_guid"] = guid;
  o["username"] = username;
  o["is_admin"] = true;
  o["security_level"] = kSysopSecurityLevel;
  SendSuccess(c.resp, std::move(o), 201);
  LogInfo("Initial sysop account created: %s", username);
}

void HandleAuthLogin(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string username = JStr(*body, "username");
  const std::string password = JStr(*body, "password");
  if (username.empty() || password.empty()) {
    SendError(c.resp, 400, "Username and password required");
    return;
  }
  const std::string client_ip = GetClientIP(c.req);
  if (LoginBlockedByBlacklist(c, client_ip)) return;
  if (LoginBlockedByThrottle(c, username, client_ip)) return;

  auto db = RequireDB();
  std::optional<LoginRow> row;
  {
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL(
        "SELECT id, guid, password_hash, password_salt, is_admin, is_active, is_locked, locked_until, "
        "failed_logins, security_level FROM users WHERE username = :u");
    q.Param("u", username);
    q.Open();
    if (!q.Eof()) {
      LoginRow r;
      r.id = q.Int("id");
      r.guid = q.Str("guid");
      r.hash = q.Str("password_hash");
      r.salt = q.Str("password_salt");
      r.is_admin = ColumnFlag(q, "is_admin");
      r.is_active = ColumnFlag(q, "is_active");
      r.is_locked = ColumnFlag(q, "is_locked");
      r.security_level = ClampToInt32(q.Int("security_level"));
      row = std::move(r);
    }
  }  // the write lock is not held while the password is hashed

  if (!row) {
    // Hash anyway so an unknown name takes as long as a wrong password.
    static const std::string kDummySalt(64, '0');
    (void)TOVAuth::VerifyPassword(password, kDummySalt, std::string(40, '0'));
    SendError(c.resp, 401, "Invalid credentials");
    return;
  }
  if (!row->is_active) {
    SendError(c.resp, 403, "Account is disabled");
    return;
  }
  if (row->is_locked) {
    SendError(c.resp, 403, "Account is locked");
    return;
  }

  if (!TOVAuth::VerifyPassword(password, row->salt, row->hash)) {
    {
      TOVWriteQuery q = db->NewQuery();
      q.SetSQL("UPDATE users SET failed_logins = failed_logins + 1, updated_at = " + db->NowExpr() +
               " WHERE username = :u");
      q.Param("u", username);
      q.ExecSQL();
      db->Commit();
    }
    ThrottleRecordFailure(username, client_ip);
    SendError(c.resp, 401, "Invalid credentials");
    return;
  }

  {
    TOVWriteQuery q = db->NewQuery();
    const std::string now = db->NowExpr();
    q.SetSQL("UPDATE users SET failed_logins = 0, total_calls = total_calls + 1, last_login = " + now +
             ", updated_at = " + now + " WHERE id = :id");
    q.Param("id", row->id);
    q.ExecSQL();
    db->Commit();
  }
  ThrottleRecordSuccess(username);
  const std::string flags = TOVAuth::ResolveUserFlags(row->id);
  const std::string token =
      TOVAuth::CreateJWT(row->id, username, row->is_admin, row->security_level, flags, row->guid);

  TJSON o = TJSON::object();
  o["token"] = token;
  o["user_id"] = row->id;
  o["user_guid"] = row->guid;
  o["username"] = username;
  o["is_admin"] = row->is_admin;
  o["security_level"] = row->security_level;
  o["flags"] = flags;
  SendSuccess(c.resp, std::move(o));
  LogInfo("User %s %s logged in from %s", username, TOVGuid::ForLog(row->guid), client_ip);

  TJSON ev = TJSON::object();
  ev["user_id"] = row->id;
  ev["username"] = username;
  ev["user_guid"] = row->guid;
  ev["ip_address"] = client_ip;
  // The listeners (plug-ins, the hub's status broadcast) hear of the login once its answer
  // is on its way: a slow listener never holds up the client.
  c.resp.after_send = [ev = std::move(ev)] { FireSystemEvent(OV_EVENT_USER_LOGIN, ev); };
}

void HandleAuthRefresh(TOVApiRequest& c) {
  const TOVAuthUser& user = c.user;
  bool is_admin = user.IsAdmin;
  std::int32_t level = user.SecurityLevel;
  std::string guid = user.UserGUID;

  if (user.Source == "jwt") {
    // A token is renewed only for an account that still exists and may still log in; its
    // rights come from the account as it is now, not from the old token.
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL("SELECT guid, is_admin, is_active, is_locked, security_level FROM users WHERE id = :id");
    q.Param("id", user.UserID);
    q.Open();
    if (q.Eof() || !ColumnFlag(q, "is_active") || ColumnFlag(q, "is_locked")) {
      SendError(c.resp, 401, kMsgUnauthorized);
      return;
    }
    const std::string row_guid = q.Str("guid");
    // A token naming another GUID belongs to an account that no longer holds this id.
    if (!guid.empty() && !EqualsIgnoreCase(guid, row_guid)) {
      SendError(c.resp, 401, kMsgUnauthorized);
      return;
    }
    is_admin = ColumnFlag(q, "is_admin");
    level = ClampToInt32(q.Int("security_level"));
    if (guid.empty()) guid = row_guid;
  }

  const std::string flags = TOVAuth::ResolveUserFlags(user.UserID);
  if (guid.empty()) {
    auto db = RequireDB();
    guid = db->LookupGUID("users", user.UserID);
  }
  TJSON o = TJSON::object();
  o["token"] = TOVAuth::CreateJWT(user.UserID, user.Username, is_admin, level, flags, guid);
  o["user_guid"] = guid;
  o["flags"] = flags;
  SendSuccess(c.resp, std::move(o));
}

}  // namespace ov
