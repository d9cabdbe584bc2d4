// PostgreSQL connection over libpq.
#include "ov_sqlconn_pg.h"

#include <libpq-fe.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ov_locks.h"

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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// SQLSTATEs after which the session is gone: class 08 (connection exception) and the
// administrator/crash shutdown codes pg_terminate_backend and a server stop produce.
bool IsLostState(const std::string& state) {
  return state.rfind("08", 0) == 0 || state == "57P01" || state == "57P02" || state == "57P03";
}

using ResultHandle = CHandle<PGresult, PQclear>;

void IgnoreNotice(void*, const char*) {
  // NOTICEs ("relation already exists, skipping" and the like) are not errors; libpq would
  // print them on stderr.
}

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
    if (opts_.connect_timeout_s > 0) kv.emplace_back("connect_timeout", std::to_string(opts_.connect_timeout_s));
    // Every session works in UTC with ISO dates, whatever the server's defaults are; the
    // temporal field texts depend on both.
    kv.emplace_back("options", "-c TimeZone=UTC -c DateStyle=ISO,YMD");
    // A peer that vanishes without closing the socket is noticed instead of waited on forever.
    kv.emplace_back("keepalives", "1");
    kv.emplace_back("keepalives_idle", "30");
    kv.emplace_back("keepalives_interval", "10");
    kv.emplace_back("keepalives_count", "3");
    for (const auto& p : opts_.params) kv.push_back(p);

    std::vector<const char*> keys, vals;
    for (const auto& [k, v] : kv) {
      keys.push_back(k.c_str());
      vals.push_back(v.c_str());
    }
    keys.push_back(nullptr);
    vals.push_back(nullptr);

    PGconn* c = PQconnectdbParams(keys.data(), vals.data(), 0);
    if (!c) throw SqlError("out of memory while connecting to PostgreSQL", "08001", false, true);
    if (PQstatus(c) != CONNECTION_OK) {
      std::string msg = TrimAscii(PQerrorMessage(c));
      PQfinish(c);
      if (msg.empty()) msg = "could not connect to PostgreSQL";
      throw SqlError(msg, "08001", false, true);
    }
    PQsetNoticeProcessor(c, IgnoreNotice, nullptr);
    conn_ = c;
    {
      // Made here, on the owning thread, for Interrupt on any other.
      TOVLockGuard g(cancel_lock_);
      cancel_ = PQgetCancel(c);
    }
    // lastval() names the value the session's last nextval() produced, from whichever sequence:
    // equal values of two tables' sequences cannot tell an insert that generated a key from
    // one that did not.  So after each capture lastval() is pointed at a session-local marker
    // sequence (negative values, never a real key); a capture that still finds the marker's
    // value knows the insert used no sequence.  lastval() raises when the session has not used
    // a sequence yet, and inside a transaction that error would abort the caller's work; the
    // wrapper answers NULL instead.  Made here, outside any transaction, so a refusal (no TEMP
    // right, a read-only server) costs nothing but the insert ids of plain INSERTs.
    const ResultHandle seq(PQexec(conn_,
                                  "CREATE TEMPORARY SEQUENCE ov_lastval_mark INCREMENT BY -1 "
                                  "MINVALUE -9223372036854775807 MAXVALUE -1 START WITH -1 CYCLE"));
    const ResultHandle fn(
        PQexec(conn_,
               "CREATE FUNCTION pg_temp.ov_lastval() RETURNS bigint LANGUAGE plpgsql AS "
               "$$DECLARE v bigint; m bigint; BEGIN "
               "BEGIN v := lastval(); EXCEPTION WHEN object_not_in_prerequisite_state THEN v := NULL; END; "
               "m := nextval('pg_temp.ov_lastval_mark'); "
               "IF v = m + 1 THEN RETURN NULL; END IF; RETURN v; END$$"));
    have_lastval_ = seq && PQresultStatus(seq.get()) == PGRES_COMMAND_OK && fn &&
                    PQresultStatus(fn.get()) == PGRES_COMMAND_OK;
  }

  void Close() noexcept override {
    {
      TOVLockGuard g(cancel_lock_);
      if (cancel_) PQfreeCancel(cancel_);
      cancel_ = nullptr;
    }
    if (conn_) {
      PQfinish(conn_);
      conn_ = nullptr;
    }
  }

  bool Connected() const noexcept override { return conn_ && PQstatus(conn_) == CONNECTION_OK; }

  bool Ping() noexcept override {
    if (!Connected()) return false;
    // An empty query is answered even inside an aborted transaction, where "SELECT 1" fails.
    const ResultHandle r(PQexec(conn_, ""));
    const bool ok = r && PQresultStatus(r.get()) == PGRES_EMPTY_QUERY;
    return ok && Connected();
  }

  std::string NativePlaceholder(int n) const override { return "$" + std::to_string(n); }

  ResultSet Run(std::string_view native_sql, const std::vector<Value>& params) override {
    RequireOpen();
    const RunningScope running(*this);
    std::string sql(native_sql);
    if (sql.find('\0') != std::string::npos) throw SqlError("statement text contains a NUL character", "22021");

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

    const ResultHandle res(PQexecParams(conn_, sql.c_str(), n, types.data(), values.data(), lengths.data(),
                                        formats.data(), 0));
    PGresult* raw = res.get();
    if (!raw) ThrowConnError();

    ResultSet rs;
    const char* status = PQcmdStatus(raw);
    const bool insert = status && std::strncmp(status, "INSERT ", 7) == 0;
    switch (PQresultStatus(raw)) {
      case PGRES_COMMAND_OK:
      case PGRES_EMPTY_QUERY:
        rs.affected = ParseCount(PQcmdTuples(raw));
        if (insert && rs.affected > 0) rs.last_insert_id = CaptureLastval();
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
    if (insert) {
      // INSERT ... RETURNING id hands the new key back as the statement's only column.
      if (cols == 1 && rows >= 1 && rs.names[0] == "id" && rs.rows[0][0].kind == FieldKind::Int64) {
        rs.last_insert_id = rs.rows[0][0].i;
        // Point lastval() back at the marker, so a later insert without a key claims none.
        if (rs.affected > 0) CaptureLastval();
      } else if (rs.affected > 0) {
        rs.last_insert_id = CaptureLastval();
      }
    }
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
  void RequireOpen() const {
    if (!conn_) throw SqlError("PostgreSQL connection is not open", "08003", false, true);
    if (PQstatus(conn_) != CONNECTION_OK)
      throw SqlError("PostgreSQL connection is lost", "08003", false, true);
  }

  static std::int64_t ParseCount(const char* s) {
    if (!s || !*s) return 0;
    return std::strtoll(s, nullptr, 10);
  }

  [[noreturn]] void ThrowConnError() {
    std::string msg = TrimAscii(PQerrorMessage(conn_));
    if (msg.empty()) msg = "PostgreSQL request failed";
    bool lost = PQstatus(conn_) != CONNECTION_OK;
    throw SqlError(msg, lost ? "08006" : "", false, lost);
  }

  [[noreturn]] void ThrowResultError(PGresult* r) {
    std::string msg = TrimAscii(PQresultErrorMessage(r));
    const char* st = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    std::string state = st ? st : "";
    bool lost = PQstatus(conn_) != CONNECTION_OK || IsLostState(state);
    if (msg.empty()) msg = TrimAscii(PQerrorMessage(conn_));
    if (msg.empty()) msg = "PostgreSQL statement failed";
    if (state == "42601" && msg.find("cannot insert multiple commands") != std::string::npos)
      msg = "only one statement per call is allowed: " + msg;
    if (lost && state.empty()) state = "08006";
    throw SqlError(msg, state, state == "23505", lost);
  }

  // The id of a plain INSERT: the session's lastval(), when the insert moved a sequence (the
  // wrapper answers NULL when lastval() still names the marker), so an insert into a table
  // without a key does not claim the previous insert's id.
  std::int64_t CaptureLastval() noexcept {
    if (!have_lastval_) return 0;
    const ResultHandle res(PQexec(conn_, "SELECT pg_temp.ov_lastval()"));
    PGresult* r = res.get();
    if (!r || PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1) {
      have_lastval_ = false;
      return 0;
    }
    if (PQgetisnull(r, 0, 0)) return 0;
    return std::strtoll(PQgetvalue(r, 0, 0), nullptr, 10);
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
    const ResultHandle res(PQexec(conn_, sql));
    PGresult* raw = res.get();
    if (!raw) ThrowConnError();
    if (PQresultStatus(raw) != PGRES_COMMAND_OK) ThrowResultError(raw);
    const char* tag = PQcmdStatus(raw);
    return tag ? tag : "";
  }

  // A cancel request on a connection of its own; the server stops the statement the session is
  // running with SQLSTATE 57014.
  void InterruptRunning() noexcept override {
    TOVLockGuard g(cancel_lock_);
    char error[256];
    if (cancel_) PQcancel(cancel_, error, sizeof error);
  }

  PGconn* conn_ = nullptr;
  bool have_lastval_ = false;
  // ---- Guarded by cancel_lock_ (a leaf: keeps cancel_ alive while another thread sends it) ----
  TOVLock cancel_lock_{LockLevel::Leaf};
  PGcancel* cancel_ GUARDED_BY(cancel_lock_) = nullptr;
};

}  // namespace

namespace pgdetail {

std::string TrimTemporal(std::string_view text) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon < 2 || colon + 6 > text.size()) return std::string(text);
  std::size_t start = colon - 2;
  std::string_view hms = text.substr(start, 8);
  if (!(IsDigit(hms[0]) && IsDigit(hms[1]) && hms[2] == ':' && IsDigit(hms[3]) && IsDigit(hms[4]) &&
        hms[5] == ':' && IsDigit(hms[6]) && IsDigit(hms[7])))
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
