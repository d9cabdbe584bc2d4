// PostgreSQL connection over libpq.
#include "ov_sqlconn_pg.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ov_locks.h"
#include "ov_text.h"

namespace ov::sql {

namespace {

// Type OIDs of pg_type (stable across server versions).
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kDateOid = 1082;
constexpr Oid kTimeOid = 1083;
constexpr Oid kTimestampOid = 1114;
constexpr Oid kTimestampTzOid = 1184;
constexpr Oid kTimeTzOid = 1266;
constexpr Oid kNumericOid = 1700;


// SQLSTATEs after which the session is gone: class 08 (connection exception) and the
// administrator/crash shutdown codes pg_terminate_backend and a server stop produce.
bool IsLostState(const std::string& state) {
  return state.rfind("08", 0) == 0 || state == "57P01" || state == "57P02" || state == "57P03";
}

using PgResultHandle = CHandle<PGresult, PQclear>;

Value ConvertField(Oid type, const char* text, int len) {
  std::string_view v(text, static_cast<std::size_t>(len));
  switch (type) {
    case kBoolOid:
      return Value::Boolean(!v.empty() && (v[0] == 't' || v[0] == 'T'));
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
    case kOidOid: {
      errno = 0;
      long long n = std::strtoll(text, nullptr, 10);
      if (errno == ERANGE) return Value::Text(std::string(v));
      return Value::Int(n);
    }
    case kFloat4Oid:
    case kFloat8Oid:
    case kNumericOid:
      return Value::Real(std::strtod(text, nullptr));
    case kDateOid:
      return Value::Date(std::string(v));
    case kTimeOid:
    case kTimeTzOid:
      return Value::Time(pgdetail::TrimTemporal(v));
    case kTimestampOid:
    case kTimestampTzOid:
      return Value::DateTime(pgdetail::TrimTemporal(v));
    case kByteaOid: {
      std::size_t n = 0;
      unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &n);
      if (!raw) throw SqlError("bytea value could not be decoded");
      std::string bytes(reinterpret_cast<const char*>(raw), n);
      PQfreemem(raw);
      return Value::Blob(std::move(bytes));
    }
    default:
      return Value::Text(std::string(v));
  }
}

std::string FormatDouble(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  std::string s(buf);
  // The server spells infinities and NaN its own way.
  if (s == "inf") return "Infinity";
  if (s == "-inf") return "-Infinity";
  if (s == "nan" || s == "-nan") return "NaN";
  return s;
}

class PgConnection final : public Connection {
 public:
  explicit PgConnection(ConnectOptions o) : Connection(std::move(o)) {}
  ~PgConnection() override { Close(); }

  Backend Kind() const noexcept override { return Backend::Postgres; }

  void Open() override {
    Close();
    std::vector<std::pair<std::string, std::string>> kv;
    if (!opts_.host.empty()) kv.emplace_back("host", opts_.host);
    if (opts_.port > 0) kv.emplace_back("port", std::to_string(opts_.port));
    if (!opts_.database.empty()) kv.emplace_back("dbname", opts_.database);
    if (!opts_.user.empty()) kv.emplace_back("user", opts_.user);
    if (!opts_.password.empty()) kv.emplace_back("password", opts_.password);
    kv.emplace_back("client_encoding", "UTF8");
    if (opts_.use_ssl) kv.emplace_back("sslmode", "require");
    kv.emplace_back("connect_timeout", std::to_string(opts_.connect_timeout_s > 0 ? opts_.connect_timeout_s : 5));
    // Every session works in UTC with ISO dates, whatever the server's defaults are; the
    // temporal field texts depend on both.
    kv.emplace_back("options", "-c TimeZone=UTC -c DateStyle=ISO,YMD");
    // A server that stops answering without closing the connection is noticed by TCP (see
    // ConnectOptions) instead of waited on for the quarter of an hour TCP allows by itself.
    // libpq ignores these on a Unix-domain socket.
    kv.emplace_back("keepalives", "1");
    const std::pair<const char*, int> bounds[] = {{"keepalives_idle", opts_.keepalive_idle_s},
                                                  {"keepalives_interval", opts_.keepalive_interval_s},
                                                  {"keepalives_count", opts_.keepalive_count},
                                                  {"tcp_user_timeout", opts_.tcp_user_timeout_ms}};
    for (const auto& [key, value] : bounds)
      if (value > 0) kv.emplace_back(key, std::to_string(value));
    for (const auto& p : opts_.params) kv.push_back(p);

    std::vector<const char*> keys, vals;
    for (const auto& [k, v] : kv) {
      keys.push_back(k.c_str());
      vals.push_back(v.c_str());
    }
    keys.push_back(nullptr);
    vals.push_back(nullptr);

    PGconn* c = Connect(keys.data(), vals.data());
    // NOTICEs ("relation already exists, skipping" and the like) are not errors; libpq would
    // print them on stderr.  A FATAL one ends the session.
    PQsetNoticeReceiver(c, &PgConnection::OnNotice, this);
    conn_ = c;
    {
      // Made here, on the owning thread, for Interrupt on any other.
      TOVLockGuard g(handle_lock_);
      cancel_ = std::shared_ptr<PGcancel>(PQgetCancel(c), FreeWith<PQfreeCancel>());
    }
    PublishSocket(PQsocket(c));
    // A new session: its tables may differ from the ones the old one knew.
    key_columns_.clear();
  }

  void NoteUnavailable(std::string reason) noexcept override { unavailable_ = std::move(reason); }

  void Close() noexcept override {
    {
      TOVLockGuard g(handle_lock_);
      cancel_.reset();
    }
    PublishSocket(-1);  // before the descriptor is closed
    if (conn_) {
      PQfinish(conn_);
      conn_ = nullptr;
    }
    ended_ = false;
    unavailable_.clear();
  }

  bool Connected() const noexcept override { return conn_ && !ended_ && PQstatus(conn_) == CONNECTION_OK; }

  bool StillOpen() noexcept override {
    if (!Connected()) return false;
    const int fd = PQsocket(conn_);
    if (fd < 0) return false;
    // Between statements a session has nothing to say.  What comes unasked is the server's
    // last word (a FATAL "terminating connection ...", which the notice receiver notes) and the
    // end of the stream, or, rarely, a harmless notice; libpq reads it and tells which.
    for (int i = 0; i < 4 && Connected(); ++i) {
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, 0);
      if (ready == 0 || (ready < 0 && errno != EINTR)) break;
      if (ready > 0 && !PQconsumeInput(conn_)) break;
    }
    return Connected();
  }

  bool Ping() noexcept override {
    if (!Connected()) return false;
    const ServerCallScope call(*this);
    // An empty query is answered even inside an aborted transaction, where "SELECT 1" fails.
    const PgResultHandle r(PQexec(conn_, ""));
    const bool ok = r && PQresultStatus(r.get()) == PGRES_EMPTY_QUERY;
    return ok && Connected();
  }

  std::string NativePlaceholder(int n) const override { return "$" + std::to_string(n); }

  ResultSet Run(std::string_view native_sql, const std::vector<Value>& params) override {
    RequireOpen();
    const RunningScope running(*this);
    const ServerCallScope call(*this);
    std::string sql(native_sql);
    if (sql.find('\0') != std::string::npos) throw SqlError("statement text contains a NUL character", "22021");
    // An INSERT into a table with a generated key hands that key back as an extra RETURNING
    // column, taken off the result below: the id comes with the insert itself, without a
    // temporary object or another round trip.
    const InsertKey key = InsertKeyColumn(native_sql, sql);

    const int n = static_cast<int>(params.size());
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    std::vector<int> lengths(params.size(), 0);
    std::vector<int> formats(params.size(), 0);
    std::vector<Oid> types(params.size(), 0);  // 0: the server infers the type from the text
    for (std::size_t i = 0; i < params.size(); ++i) {
      const Value& p = params[i];
      switch (p.kind) {
        case FieldKind::Null:
          continue;
        case FieldKind::Int64:
          texts[i] = std::to_string(p.i);
          break;
        case FieldKind::Bool:
          // "1"/"0" is valid input for BOOLEAN and for the INTEGER flag columns the schema
          // uses, as booleans are stored on SQLite and MariaDB; "true" would fail the latter.
          texts[i] = p.b ? "1" : "0";
          break;
        case FieldKind::Double:
          texts[i] = FormatDouble(p.d);
          break;
        case FieldKind::Blob:
          // Bytes go in binary format so that nothing is escaped or cut at a NUL.
          values[i] = p.s.data();
          lengths[i] = static_cast<int>(p.s.size());
          formats[i] = 1;
          types[i] = kByteaOid;
          continue;
        default:
          if (p.s.find('\0') != std::string::npos)
            throw SqlError("text parameter " + std::to_string(i + 1) + " contains a NUL character", "22021");
          texts[i] = p.s;
          break;
      }
      values[i] = texts[i].c_str();
      lengths[i] = static_cast<int>(texts[i].size());
    }

    const PgResultHandle res(PQexecParams(conn_, sql.c_str(), n, types.data(), values.data(), lengths.data(),
                                        formats.data(), 0));
    PGresult* raw = res.get();
    if (!raw) ThrowConnError();

    ResultSet rs;
    switch (PQresultStatus(raw)) {
      case PGRES_COMMAND_OK:
      case PGRES_EMPTY_QUERY:
        rs.affected = ParseCount(PQcmdTuples(raw));
        if (ChangesSchema(PQcmdStatus(raw))) key_columns_.clear();
        return rs;
      case PGRES_TUPLES_OK:
        break;
      case PGRES_COPY_IN:
      case PGRES_COPY_OUT:
      case PGRES_COPY_BOTH:
        AbortCopy();
        throw SqlError("COPY is not supported through this connection", "0A000");
      default:
        ThrowResultError(raw);
    }

    rs.has_rows = true;
    const int cols = PQnfields(raw);
    const int rows = PQntuples(raw);
    rs.names.reserve(static_cast<std::size_t>(cols));
    std::vector<Oid> col_types(static_cast<std::size_t>(cols));
    for (int c = 0; c < cols; ++c) {
      rs.names.emplace_back(PQfname(raw, c));
      col_types[static_cast<std::size_t>(c)] = PQftype(raw, c);
    }
    rs.rows.reserve(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
      std::vector<Value> row;
      row.reserve(static_cast<std::size_t>(cols));
      for (int c = 0; c < cols; ++c) {
        if (PQgetisnull(raw, r, c)) {
          row.push_back(Value::Null());
        } else {
          row.push_back(ConvertField(col_types[static_cast<std::size_t>(c)], PQgetvalue(raw, r, c),
                                     PQgetlength(raw, r, c)));
        }
      }
      rs.rows.push_back(std::move(row));
    }
    rs.affected = ParseCount(PQcmdTuples(raw));
    if (!key.column.empty()) TakeInsertKey(rs, key.own_returning);
    return rs;
  }

  void Begin() override { Simple("BEGIN"); }

  void Commit() override {
    // COMMIT of a transaction that an earlier error aborted is answered "ROLLBACK" without an
    // error; the caller would believe its writes were kept.
    std::string tag = Simple("COMMIT");
    if (tag == "ROLLBACK")
      throw SqlError("COMMIT failed: the transaction was aborted by an earlier error and has been rolled back",
                     "25P02");
  }

  void Rollback() override { Simple("ROLLBACK"); }

  bool InTransaction() const noexcept override {
    if (!conn_) return false;
    switch (PQtransactionStatus(conn_)) {
      case PQTRANS_ACTIVE:
      case PQTRANS_INTRANS:
      case PQTRANS_INERROR:
        return true;
      default:
        return false;
    }
  }

 private:
  // An error the server sends while no statement runs comes here as a notice; after a FATAL
  // or PANIC one the server closes the session.
  static void OnNotice(void* self, const PGresult* r) {
    const char* severity = PQresultErrorField(r, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (severity && (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0))
      static_cast<PgConnection*>(self)->ended_ = true;
  }

  void RequireOpen() const {
    if (!conn_) {
      if (!unavailable_.empty()) throw UnavailableError(unavailable_);
      throw SqlError("PostgreSQL connection is not open", "08003", false, true);
    }
    if (!Connected()) throw SqlError("PostgreSQL connection is lost", "08003", false, true);
  }

  static std::int64_t ParseCount(const char* s) {
    if (!s || !*s) return 0;
    return std::strtoll(s, nullptr, 10);
  }

  [[noreturn]] void ThrowConnError() {
    std::string msg = TrimAscii(PQerrorMessage(conn_));
    if (msg.empty()) msg = "PostgreSQL request failed";
    bool lost = !Connected();
    throw SqlError(msg, lost ? "08006" : "", false, lost);
  }

  [[noreturn]] void ThrowResultError(PGresult* r) {
    std::string msg = TrimAscii(PQresultErrorMessage(r));
    const char* st = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    std::string state = st ? st : "";
    bool lost = !Connected() || IsLostState(state);
    if (msg.empty()) msg = TrimAscii(PQerrorMessage(conn_));
    if (msg.empty()) msg = "PostgreSQL statement failed";
    if (state == "42601" && msg.find("cannot insert multiple commands") != std::string::npos)
      msg = "only one statement per call is allowed: " + msg;
    if (lost && state.empty()) state = "08006";
    throw SqlError(msg, state, state == "23505", lost);
  }

  static bool ChangesSchema(const char* tag) {
    return tag && (std::strncmp(tag, "CREATE ", 7) == 0 || std::strncmp(tag, "ALTER ", 6) == 0 ||
                   std::strncmp(tag, "DROP ", 5) == 0);
  }

  struct InsertKey {
    std::string column;          // empty: the statement generates no key to capture
    bool own_returning = false;  // the statement has a RETURNING clause of its own
  };

  // For an INSERT into a table with a generated key (a serial or identity column): that
  // column, with sql extended to return it last; nothing (sql unchanged) for any other
  // statement.
  InsertKey InsertKeyColumn(std::string_view native_sql, std::string& sql) {
    if (!ContainsInsertWord(native_sql)) return {};
    std::optional<InsertTarget> target = FindInsertTarget(native_sql, Backend::Postgres);
    if (!target) return {};
    InsertKey key{KeyColumnOf(target->table), target->returning};
    if (key.column.empty()) return {};
    // A new line first: the text may end in a line comment.
    sql = std::move(target->native);
    sql += target->returning ? "\n, " : "\nRETURNING ";
    sql += QuoteName(key.column);
    return key;
  }

  static bool ContainsInsertWord(std::string_view text) {
    for (std::size_t i = 0; i + 6 <= text.size(); ++i)
      if ((text[i] == 'i' || text[i] == 'I') && EqualsIgnoreCase(text.substr(i, 6), "insert")) return true;
    return false;
  }

  static std::string QuoteName(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
      out += c;
      if (c == '"') out += '"';
    }
    return out + '"';
  }

  // The generated key column of the table named as in an INSERT ("" when it has none), from the
  // catalogue once per table and session.  A table that does not exist is not remembered (the
  // insert itself reports it).  Throws when the catalogue cannot be read: an insert whose id
  // cannot be told must not pass for one that generated none.
  std::string KeyColumnOf(const std::string& table) {
    if (auto it = key_columns_.find(table); it != key_columns_.end()) return it->second;
    static constexpr const char* kKeyQuery =
        "SELECT c.oid IS NOT NULL, (SELECT a.attname FROM pg_attribute a LEFT JOIN pg_attrdef d "
        "ON d.adrelid = a.attrelid AND d.adnum = a.attnum WHERE a.attrelid = c.oid AND a.attnum > 0 "
        "AND NOT a.attisdropped AND (a.attidentity <> '' OR pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%') "
        "ORDER BY a.attnum LIMIT 1) FROM (SELECT to_regclass($1::text) AS oid) c";
    const char* values[1] = {table.c_str()};
    const PgResultHandle res(PQexecParams(conn_, kKeyQuery, 1, nullptr, values, nullptr, nullptr, 0));
    PGresult* raw = res.get();
    if (!raw) ThrowConnError();
    if (PQresultStatus(raw) != PGRES_TUPLES_OK) ThrowResultError(raw);
    if (PQntuples(raw) != 1) throw SqlError("the key column of " + table + " could not be read");
    const bool exists = PQgetvalue(raw, 0, 0)[0] == 't';
    std::string key = PQgetisnull(raw, 0, 1) ? std::string() : std::string(PQgetvalue(raw, 0, 1));
    if (exists) {
      if (key_columns_.size() >= kMaxKeyColumns) key_columns_.clear();
      key_columns_.emplace(table, key);
    }
    return key;
  }

  // Takes the key column added by InsertKeyColumn off rs: its value in the last row becomes the
  // insert id, and a statement without a RETURNING clause of its own answers no rows.
  static void TakeInsertKey(ResultSet& rs, bool own_returning) {
    if (rs.names.empty()) throw SqlError("the inserted row's key was not returned");
    if (!rs.rows.empty()) {
      const Value& v = rs.rows.back().back();
      if (v.kind != FieldKind::Int64) throw SqlError("the inserted row's key is not an integer: " + v.AsText());
      rs.last_insert_id = v.i;
    }
    if (!own_returning) {
      rs = ResultSet{{}, {}, rs.affected, rs.last_insert_id, false};
      return;
    }
    rs.names.pop_back();
    for (auto& row : rs.rows) row.pop_back();
  }

  // Leaves COPY mode so that the connection stays usable.
  void AbortCopy() noexcept {
    if (PQputCopyEnd(conn_, "COPY is not supported") < 0) return;
    char* buf = nullptr;
    while (PQgetCopyData(conn_, &buf, 0) > 0) PQfreemem(buf);
    while (PGresult* r = PQgetResult(conn_)) PQclear(r);
  }

  // Runs a parameterless command and returns its command tag.
  std::string Simple(const char* sql) {
    RequireOpen();
    const ServerCallScope call(*this);
    const PgResultHandle res(PQexec(conn_, sql));
    PGresult* raw = res.get();
    if (!raw) ThrowConnError();
    if (PQresultStatus(raw) != PGRES_COMMAND_OK) ThrowResultError(raw);
    const char* tag = PQcmdStatus(raw);
    return tag ? tag : "";
  }

  // A cancel request on a connection of its own; the server stops the statement the session is
  // running with SQLSTATE 57014.  libpq opens that connection without a time-out: the lock is
  // not held meanwhile, so a server that does not answer holds up only the caller, never the
  // owning thread closing the session.
  bool InterruptRunning() noexcept override {
    std::shared_ptr<PGcancel> cancel;
    {
      TOVLockGuard g(handle_lock_);
      cancel = cancel_;
    }
    char error[256];
    return cancel && PQcancel(cancel.get(), error, sizeof error) != 0;
  }


  // Opens a session as PQconnectdbParams does, but in steps, so that a Cut ends the attempt
  // at once: the wait on the socket is looked at every 100 ms, and the attempt's socket is
  // published for Cut.  Bounded by the connect time-out as a whole.  Throws SqlError
  // (connection lost) with libpq's reason, "... timeout expired", or CutError's.
  PGconn* Connect(const char* const* keys, const char* const* vals) {
    using namespace std::chrono;
    const ServerCallScope call(*this);
    const auto deadline = steady_clock::now() + seconds(opts_.connect_timeout_s > 0 ? opts_.connect_timeout_s : 5);
    PGconn* c = IsCut() ? nullptr : PQconnectStartParams(keys, vals, 0);
    std::string failure = IsCut() ? CutError().what() : "out of memory while connecting to PostgreSQL";
    // As the libpq manual has it: the first step acts as if the socket were ready to write.
    PostgresPollingStatusType step = PGRES_POLLING_WRITING;
    if (c && PQstatus(c) == CONNECTION_BAD) step = PGRES_POLLING_FAILED;
    while (c && step != PGRES_POLLING_OK) {
      const int fd = PQsocket(c);
      PublishSocket(fd);
      if (IsCut()) {
        failure = CutError().what();
        break;
      }
      if (step == PGRES_POLLING_FAILED || fd < 0) {
        failure = TrimAscii(PQerrorMessage(c));
        if (failure.empty()) failure = "could not connect to PostgreSQL";
        break;
      }
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      if (left <= 0) {
        // In libpq's own words.
        failure = "connection to server at \"" + opts_.host + "\", port " +
                  std::to_string(opts_.port > 0 ? opts_.port : 5432) + " failed: timeout expired";
        break;
      }
      pollfd p{fd, static_cast<short>(step == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
      const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
      if (ready > 0 || (ready < 0 && errno != EINTR)) step = PQconnectPoll(c);
    }
    PublishSocket(-1);
    if (c && step == PGRES_POLLING_OK && !IsCut()) return c;
    if (c) PQfinish(c);
    unavailable_ = failure;
    throw SqlError(failure, "08001", false, true);
  }

  static constexpr std::size_t kMaxKeyColumns = 512;

  PGconn* conn_ = nullptr;
  bool ended_ = false;       // the server said its last word (FATAL) on this session
  std::string unavailable_;  // why the last Open failed; empty once open (or closed on purpose)
  // Per table as an INSERT names it: its generated key column ("" for none).
  std::unordered_map<std::string, std::string> key_columns_;
  // ---- Guarded by handle_lock_ (a leaf): what another thread's Interrupt reaches ----
  TOVLock handle_lock_{LockLevel::Leaf};
  std::shared_ptr<PGcancel> cancel_ GUARDED_BY(handle_lock_);
};

}  // namespace

namespace pgdetail {

std::string TrimTemporal(std::string_view text) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon < 2 || colon + 6 > text.size()) return std::string(text);
  std::size_t start = colon - 2;
  std::string_view hms = text.substr(start, 8);
  if (!(IsAsciiDigit(hms[0]) && IsAsciiDigit(hms[1]) && hms[2] == ':' && IsAsciiDigit(hms[3]) && IsAsciiDigit(hms[4]) &&
        hms[5] == ':' && IsAsciiDigit(hms[6]) && IsAsciiDigit(hms[7])))
    return std::string(text);
  std::string out(text.substr(0, start + 8));
  // Keep the era of dates before year 1; only the fraction and the zone are dropped.
  if (text.size() >= 3 && text.substr(text.size() - 3) == " BC") out += " BC";
  return out;
}

}  // namespace pgdetail

std::unique_ptr<Connection> CreatePostgresConnection(ConnectOptions opts) {
  return std::make_unique<PgConnection>(std::move(opts));
}

}  // namespace ov::sql
