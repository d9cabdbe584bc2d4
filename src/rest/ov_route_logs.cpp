// Audit log, sessions, blacklist, connection log, system logs and the SQL console.
#include "ov_route_logs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ov_database.h"
#include "ov_http_server.h"
#include "ov_log.h"
#include "ov_maintenance.h"
#include "ov_security.h"
#include "ov_route_db.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_schema.h"
#include "ov_session_manager.h"
#include "ov_text.h"

namespace ov {

namespace {

// A list item holding the named columns under their own names: integers where asked, all
// others as text (NULL as empty text).
struct LogColumn {
  const char* name;
  bool integer = false;
};

TOVRowToJSON LogItem(std::vector<LogColumn> columns) {
  return [columns = std::move(columns)](const TOVQueryBase& q) {
    TJSON o = TJSON::object();
    for (const LogColumn& col : columns)
      o[col.name] = col.integer ? TJSON(q.Int(col.name)) : TJSON(q.Str(col.name));
    return o;
  };
}

// ---- SQL console helpers ------------------------------------------------------------------

// A statement's trailing ";" (and blanks around it) is not part of the one statement run.
std::string WithoutTrailingSemicolons(std::string text) {
  for (;;) {
    std::string t = TrimAscii(text);
    if (t.empty() || t.back() != ';') return t;
    t.pop_back();
    text = std::move(t);
  }
}

// The console shows every non-NULL value as text.  Binary values are shown as "\x" + hex (the
// form PostgreSQL uses for bytea), so that arbitrary bytes never reach the JSON text.
TJSON ConsoleValue(const sql::Value& v) {
  if (v.IsNull()) return TJSON();
  if (v.kind == sql::FieldKind::Blob) return TJSON("\\x" + HexEncode(v.s));
  return TJSON(ToValidUtf8(v.AsText()));
}

// Leaves the write connection as every other writer expects it: no transaction open on the
// server and the shared transaction object inactive.  Whatever the console's statement left
// behind (a failed or aborted transaction, a transaction it opened or ended itself) is rolled
// back or forgotten here.
class ConsoleTransactionGuard {
 public:
  explicit ConsoleTransactionGuard(sql::Transaction& tx) : tx_(tx) {}
  ConsoleTransactionGuard(const ConsoleTransactionGuard&) = delete;
  ConsoleTransactionGuard& operator=(const ConsoleTransactionGuard&) = delete;
  ~ConsoleTransactionGuard() {
    try {
      tx_.Rollback();  // does nothing when neither the object nor the server has one open
    } catch (...) {
    }
    try {
      if (tx_.Conn().InTransaction()) tx_.Conn().Rollback();
    } catch (...) {
    }
    tx_.Reset();
  }

 private:
  sql::Transaction& tx_;
};

constexpr const char* kMsgInvalidDuration = "Invalid duration_minutes";
constexpr const char* kMsgInvalidQueryParameter = "Invalid query parameter";

// "duration_minutes" of a ban body as whole minutes; nullptr, or the message of the 400 that
// refuses it.  Absent, null or 0 is a permanent ban.  Whatever else is given must stay a
// temporary ban: a fraction is rounded up (half a minute is a minute, not for ever) and a
// number beyond 32 bits is clamped.  A negative or non-finite number has no meaning as a
// length; another type is a malformed body.
const char* ReadBanMinutes(const TJSON& body, std::int32_t& minutes) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  minutes = 0;
  auto it = body.find("duration_minutes");
  if (it == body.end() || it->is_null()) return nullptr;
  if (it->is_number_unsigned()) {
    minutes = static_cast<std::int32_t>(std::min<std::uint64_t>(it->get<std::uint64_t>(), kMax));
    return nullptr;
  }
  if (it->is_number_integer()) {
    const std::int64_t n = it->get<std::int64_t>();
    if (n < 0) return kMsgInvalidDuration;
    minutes = static_cast<std::int32_t>(std::min<std::int64_t>(n, kMax));
    return nullptr;
  }
  if (it->is_number_float()) {
    const double d = it->get<double>();
    if (!std::isfinite(d) || d < 0) return kMsgInvalidDuration;
    minutes = static_cast<std::int32_t>(std::min(std::ceil(d), static_cast<double>(kMax)));
    return nullptr;
  }
  return kMsgInvalidJSONBody;
}

}  // namespace

// ---- shared text helpers --------------------------------------------------------------------

TOVLikeSearch LikeSearch(std::string_view column, std::string_view param, std::string_view text, TDBABackend backend) {
  TOVLikeSearch out;
  const bool escape = backend != dbSQLite;
  out.condition = std::string(column) + " LIKE :" + std::string(param) + (escape ? " ESCAPE '!'" : "");
  out.pattern.reserve(text.size() + 4);
  out.pattern.push_back('%');
  for (char ch : text) {
    if (escape && ch == '!') out.pattern.push_back('!');
    out.pattern.push_back(ch);
  }
  out.pattern.push_back('%');
  return out;
}

// ---- audit log ------------------------------------------------------------------------------

void HandleAuditLog(TOVApiRequest& c) {
  SendPagedList(c, kPageAuditLog,
                {.columns = "id, timestamp, user_id, username, action, target, details, ip_address",
                 .table = "audit_log",
                 .under_write_lock = true},
                LogItem({{"id", true}, {"timestamp"}, {"user_id", true}, {"username"}, {"action"}, {"target"},
                         {"details"}, {"ip_address"}}));
}

// ---- sessions -------------------------------------------------------------------------------

void HandleListSessions(TOVApiRequest& c) {
  TJSON list = TJSON::array();
  if (auto sm = SessionMgr.Get()) list = sm->GetAllSessions();
  SendSuccess(c.resp, std::move(list));
}

void HandleKickSession(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "active_sessions", "Invalid session ID");
  if (!path) return;
  if (auto sm = SessionMgr.Get()) sm->RemoveSession(path->id);
  SendSuccess(c.resp);
  LogInfo("Session #%d kicked by %s", path->id, c.user.Username);
}

// ---- IP blacklist ---------------------------------------------------------------------------

void HandleListBlacklist(TOVApiRequest& c) {
  TJSON list = TJSON::array();
  if (auto bl = IPBlacklist.Get()) list = bl->GetBanList();
  SendSuccess(c.resp, std::move(list));
}

void HandleBanIP(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string ip = JStr(*body, "ip_address");
  if (ip.empty()) {
    SendError(c.resp, 400, "IP address required");
    return;
  }
  // Only an address a client can come from: a ban on anything else would never apply.
  if (!IsValidIPAddress(ip)) {
    SendError(c.resp, 400, "Invalid IP address");
    return;
  }
  std::int32_t minutes = 0;
  if (const char* invalid = ReadBanMinutes(*body, minutes)) {
    SendError(c.resp, 400, invalid);
    return;
  }
  auto reason_it = body->find("reason");
  if (reason_it != body->end() && !reason_it->is_string() && !reason_it->is_null()) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  const std::string reason = JStr(*body, "reason");
  if (auto bl = IPBlacklist.Get()) bl->BanIP(ip, reason, c.user.UserID, minutes);
  SendSuccess(c.resp, TJSON::object(), 201);
  LogInfo("IP %s banned by %s: %s", ip, c.user.Username, reason);
}

void HandleUnbanIP(TOVApiRequest& c) {
  const std::int64_t id = ExtractPathID(c.req);
  if (id < 1) {
    SendError(c.resp, 400, "Invalid blacklist entry ID");
    return;
  }
  std::optional<std::string> ip;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT ip_address FROM ip_blacklist WHERE id = :id");
    q.Param("id", id);
    q.Open();
    if (!q.Eof()) ip = q.Str("ip_address");
  }
  // The write query is freed before the blacklist is called: the blacklist's own lock comes
  // before the database write lock.
  if (!ip) {
    SendError(c.resp, 404, "Entry not found");
    return;
  }
  if (auto bl = IPBlacklist.Get()) bl->UnbanIP(*ip);
  SendSuccess(c.resp);
  LogInfo("IP %s unbanned by %s", *ip, c.user.Username);
}

// ---- connection log -------------------------------------------------------------------------

void HandleConnectionLog(TOVApiRequest& c) {
  SendPagedList(c, kPageConnectionLog,
                {.columns = "id, ip_address, protocol, connected_at, disconnected_at, node, user_id, username, "
                            "disconnect_reason",
                 .table = "connection_log",
                 .under_write_lock = true},
                LogItem({{"id", true}, {"ip_address"}, {"protocol"}, {"connected_at"}, {"disconnected_at"},
                         {"node", true}, {"username"}, {"disconnect_reason"}}));
}

// ---- system logs ----------------------------------------------------------------------------

void HandleSystemLogs(TOVApiRequest& c) {
  // Each filter, in the order its condition is added: the query parameter, the column, the
  // statement's parameter (every value bound, never spliced into the statement text) and
  // whether the value is searched for in the column rather than compared with it.
  struct Filter {
    const char* param;
    const char* column;
    const char* bind;
    bool search;
  };
  static constexpr Filter kFilters[] = {
      {"level", "level", "flevel", false},
      {"source", "source", "fsource", false},
      {"category", "category", "fcategory", false},
      {"search", "message", "fsearch", true},
  };
  const TDBABackend backend = RequireDB()->Backend();
  std::string cond;
  TOVTextBinds binds;
  bool search = false;
  for (const Filter& f : kFilters) {
    std::string v = c.req.QueryParam(f.param);
    if (v.empty()) continue;
    // A NUL cannot be bound as text: the drivers cut the value there, so "%00x" would filter
    // on nothing and list every row.  Text that is not UTF-8 can match no stored row, and
    // PostgreSQL refuses to bind it.
    if (v.find('\0') != std::string::npos || ToValidUtf8(v) != v) {
      SendError(c.resp, 400, kMsgInvalidQueryParameter);
      return;
    }
    if (!cond.empty()) cond += " AND ";
    if (f.search) {
      TOVLikeSearch like = LikeSearch(f.column, f.bind, v, backend);
      cond += like.condition;
      binds.emplace_back(f.bind, std::move(like.pattern));
      search = true;
    } else {
      cond += std::string(f.column) + " = :" + f.bind;
      binds.emplace_back(f.bind, std::move(v));
    }
  }

  // A search reads every row it filters: the page and the total come from one pass.  The
  // other filters are equalities on the columns the tally counts by.
  SendPagedList(c, kPageSystemLogs,
                {.columns = "id, timestamp, level, source, category, message, details",
                 .table = "system_logs",
                 .where = std::move(cond),
                 .binds = std::move(binds),
                 .scan = search,
                 .tally = search ? nullptr : LiveTally("system_logs")},
                LogItem({{"id", true}, {"timestamp"}, {"level"}, {"source"}, {"category"}, {"message"}, {"details"}}));
}

void HandleSystemLogFilters(TOVApiRequest& c) {
  TJSON data = TJSON::object();
  {
    auto db = RequireDB();
    // Each DISTINCT walks a whole index of the log.
    TOVReadQuery q = db->NewReadQuery(TDBAReadKind::Long);
    // Each filter column and the member that lists its values.
    static constexpr std::pair<const char*, const char*> kFilters[] = {
        {"level", "levels"}, {"source", "sources"}, {"category", "categories"}};
    for (const auto& [column, member] : kFilters) {
      const std::string col = column;
      q.SetSQL("SELECT DISTINCT " + col + " FROM system_logs ORDER BY " + col);
      data[member] = CollectRows(q, [&](const TOVQueryBase& row) { return TJSON(row.Str(col)); });
    }
  }
  SendSuccess(c.resp, std::move(data));
}

void HandleClearSystemLogs(TOVApiRequest& c) {
  // Every line there is now goes, in batches as the pruning tasks delete: one statement over a
  // million lines held the write lock (every login, every other writer) for many seconds.
  // Lines logged while it runs stay.
  auto db = RequireDB();
  std::int64_t last = 0;
  {
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL("SELECT MAX(id) FROM system_logs");
    q.Open();
    if (!q.Eof()) last = q.Field(std::size_t{0}).AsInt64(0);
  }
  if (last > 0) DeleteInBatches(*db, "system_logs", "id <= :ov_last", {{"ov_last", std::to_string(last)}});
  SendSuccess(c.resp, TJSON("Logs cleared"));
}

void HandleWriteSystemLog(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string message = JStr(*body, "message");
  if (message.empty()) {
    SendError(c.resp, 400, "Missing message field");
    return;
  }
  const std::string level = JStr(*body, "level", "info");
  const std::string source = JStr(*body, "source", "");
  const std::string category = JStr(*body, "category", "general");
  const std::string details = JStr(*body, "details");
  // Stored directly (not through the process log), and a failed store is reported to the
  // caller with the database's message rather than being swallowed.
  std::string failure;
  try {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL(
        "INSERT INTO system_logs (level, source, category, message, details) "
        "VALUES (:level, :source, :category, :message, :details)");
    q.Param("level", level);
    q.Param("source", source);
    q.Param("category", category);
    q.Param("message", message);
    q.Param("details", details);
    q.ExecSQL();
    db->Commit();
  } catch (const std::exception& e) {
    // An outage is answered as on every route (503 and Retry-After), not as a failed write.
    if (IsDatabaseUnavailable(e)) throw;
    failure = e.what();
    if (failure.empty()) failure = "unknown error";
  }
  if (!failure.empty()) {
    SendError(c.resp, 500, "Log write error: " + failure);
    return;
  }
  SendSuccess(c.resp);
}

// ---- SQL console ----------------------------------------------------------------------------
//
// One statement per request: the text runs exactly as given (no parameter scanning, so ':' and
// '?' inside it are the database's own), minus a trailing ";".  Text holding a second statement
// is refused by the connection and answered 400 "SQL error: ..." with nothing run.  The
// statement runs inside the write connection's transaction under the write lock; afterwards
// the transaction is committed (other statements) or rolled back (row statements, errors),
// and whatever the statement itself did to the transaction state (BEGIN, COMMIT, ROLLBACK,
// an implicit commit, an aborted transaction) is cleared before the lock is left.

void HandleAdminQuery(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string text = TrimAscii(JStr(*body, "sql"));
  if (text.empty()) {
    SendError(c.resp, 400, "Missing sql field");
    return;
  }
  const std::string head = ToUpperAscii(text.substr(0, 6));
  const bool returns_rows = head == "SELECT" || head == "PRAGMA";
  const std::string statement = WithoutTrailingSemicolons(text);

  TJSON data = TJSON::object();
  std::string failure;
  {
    auto db = RequireDB();
    TOVDBLockGuard lock(*db);
    sql::Transaction& tx = db->Transaction();
    ConsoleTransactionGuard guard(tx);
    try {
      if (statement.empty()) throw sql::SqlError("empty statement");
      tx.Start();
      sql::ResultSet rs = tx.Conn().Run(statement, {});
      if (returns_rows) {
        std::vector<std::string> names;
        names.reserve(rs.names.size());
        for (const std::string& n : rs.names) names.push_back(ToValidUtf8(n));
        TJSON rows = TJSON::array();
        for (const auto& row : rs.rows) {
          TJSON o = TJSON::object();
          for (std::size_t i = 0; i < row.size() && i < names.size(); ++i) o[names[i]] = ConsoleValue(row[i]);
          rows.push_back(std::move(o));
        }
        data["rows"] = std::move(rows);
        data["count"] = static_cast<std::int64_t>(rs.rows.size());
        // Nothing of a row statement is kept: the guard rolls back.
      } else {
        // The statement may have ended the transaction itself (COMMIT, ROLLBACK, an implicit
        // commit of DDL on MariaDB); only a transaction still open is committed.
        if (tx.Conn().InTransaction())
          tx.Commit();
        else
          tx.Reset();
        data["affected"] = rs.affected < 0 ? std::int64_t{0} : rs.affected;
        // MariaDB's TRUNCATE empties a table without its triggers: its tally would go on
        // counting the rows that are gone.
        if (db->Backend() == dbMariaDB) {
          std::vector<const TOVTallySpec*> tallies;
          for (const TOVTallySpec& t : TallySpecs())
            if (const TOVTallySpec* live = LiveTally(t.table)) tallies.push_back(live);
          ClearTalliesOfEmptyTables(tx.Conn(), &tx, tallies);
          tx.Commit();
        }
      }
    } catch (const std::exception& e) {
      // A database that cannot be reached is no fault of the statement: answered as on every
      // route (503 and Retry-After) once the guards have cleaned up.
      if (IsDatabaseUnavailable(e)) throw;
      failure = e.what();
      if (failure.empty()) failure = "unknown error";
    }
  }
  if (!failure.empty()) {
    SendError(c.resp, 400, "SQL error: " + ToValidUtf8(failure));
    return;
  }
  SendSuccess(c.resp, std::move(data));
}

}  // namespace ov
