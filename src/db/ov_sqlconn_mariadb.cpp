// MariaDB/MySQL connection over the MariaDB client library (MySQL protocol).
#include "ov_sqlconn_mariadb.h"

#include <mysql.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "ov_locks.h"

namespace ov::sql {

namespace {

// Server and client error numbers the layer tells apart.
constexpr unsigned kErrDupEntry = 1062;
constexpr unsigned kErrDupEntryWithKeyName = 1586;
constexpr unsigned kErrParse = 1064;
constexpr unsigned kErrConnectionKilled = 1927;
constexpr unsigned kErrClientInteractionTimeout = 4031;
constexpr unsigned kCrServerGone = 2006;
constexpr unsigned kCrServerLost = 2013;
constexpr unsigned kCrServerLostExtended = 2055;
constexpr unsigned kBinaryCharset = 63;

bool IsLostErrno(unsigned e) {
  return e == kCrServerGone || e == kCrServerLost || e == kCrServerLostExtended || e == kErrConnectionKilled ||
         e == kErrClientInteractionTimeout;
}

bool IsUniqueErrno(unsigned e) { return e == kErrDupEntry || e == kErrDupEntryWithKeyName; }

std::once_flag g_library_once;

// True when text follows the first statement's terminating ';' (outside quotes and comments).
// Backslashes are ordinary characters: sessions run with NO_BACKSLASH_ESCAPES.
bool HasTrailingStatement(std::string_view s) {
  std::size_t i = 0, n = s.size();
  auto skip_ws_and_comments = [&](std::size_t& k) {
    for (;;) {
      while (k < n && (s[k] == ' ' || s[k] == '\t' || s[k] == '\n' || s[k] == '\r' || s[k] == '\f')) ++k;
      if (k < n && s[k] == '#') {
        while (k < n && s[k] != '\n') ++k;
      } else if (k + 1 < n && s[k] == '-' && s[k + 1] == '-' && (k + 2 == n || s[k + 2] == ' ' || s[k + 2] == '\t' ||
                                                              s[k + 2] == '\n' || s[k + 2] == '\r')) {
        while (k < n && s[k] != '\n') ++k;
      } else if (k + 1 < n && s[k] == '/' && s[k + 1] == '*') {
        std::size_t e = s.find("*/", k + 2);
        k = e == std::string_view::npos ? n : e + 2;
      } else {
        return;
      }
    }
  };
  while (i < n) {
    char c = s[i];
    if (c == '\'' || c == '"' || c == '`') {
      ++i;
      while (i < n) {
        if (s[i] == c) {
          if (i + 1 < n && s[i + 1] == c) { i += 2; continue; }
          break;
        }
        ++i;
      }
      ++i;
      continue;
    }
    std::size_t k = i;
    skip_ws_and_comments(k);
    if (k != i) { i = k; continue; }
    if (c == ';') {
      std::size_t j = i + 1;
      for (;;) {
        skip_ws_and_comments(j);
        if (j < n && s[j] == ';') { ++j; continue; }
        break;
      }
      return j < n;
    }
    ++i;
  }
  return false;
}

using StmtHandle = CHandle<MYSQL_STMT, mysql_stmt_close>;
using MyResultHandle = CHandle<MYSQL_RES, mysql_free_result>;

enum class Conv : std::uint8_t { Int, Bool, Float, Double, Decimal, Date, Time, DateTime, Bit, Text, Blob };

// One result column: its conversion and the buffers mysql_stmt_fetch writes into.
struct Column {
  Conv conv = Conv::Text;
  bool is_unsigned = false;
  long long ival = 0;
  float fval = 0;
  double dval = 0;
  MYSQL_TIME tval{};
  std::string buf;
  unsigned long length = 0;
  my_bool is_null = 0;
  my_bool error = 0;
};

Conv ConvFor(const MYSQL_FIELD& f) {
  switch (f.type) {
    case MYSQL_TYPE_TINY:
      // TINYINT(1) is how BOOLEAN columns are stored.
      if (f.length == 1) return Conv::Bool;
      return Conv::Int;
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_YEAR:
      return Conv::Int;
    case MYSQL_TYPE_FLOAT:
      return Conv::Float;
    case MYSQL_TYPE_DOUBLE:
      return Conv::Double;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
      return Conv::Decimal;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
      return Conv::Date;
    case MYSQL_TYPE_TIME:
      return Conv::Time;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
      return Conv::DateTime;
    case MYSQL_TYPE_BIT:
      return Conv::Bit;
    case MYSQL_TYPE_GEOMETRY:
      return Conv::Blob;
    default:
      return f.charsetnr == kBinaryCharset ? Conv::Blob : Conv::Text;
  }
}

std::string FormatDate(const MYSQL_TIME& t) {
  char b[32];
  std::snprintf(b, sizeof b, "%04u-%02u-%02u", t.year % 10000, t.month % 100, t.day % 100);
  return b;
}

std::string FormatTime(const MYSQL_TIME& t) {
  char b[32];
  // TIME spans -838:59:59 .. 838:59:59; the client may carry whole days separately.
  unsigned long hours = static_cast<unsigned long>(t.day) * 24 + t.hour;
  std::snprintf(b, sizeof b, "%s%02lu:%02u:%02u", t.neg ? "-" : "", hours % 100000, t.minute % 100,
                t.second % 100);
  return b;
}

std::string FormatDateTime(const MYSQL_TIME& t) {
  char b[48];
  std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u", t.year % 10000, t.month % 100, t.day % 100,
                t.hour % 100, t.minute % 100, t.second % 100);
  return b;
}

class MariaDBConnection final : public Connection {
 public:
  explicit MariaDBConnection(ConnectOptions o) : Connection(std::move(o)) {}
  ~MariaDBConnection() override { Close(); }

  Backend Kind() const noexcept override { return Backend::MariaDB; }

  void Open() override {
    Close();
    for (const auto& p : opts_.params)
      throw SqlError("unsupported MariaDB connection parameter \"" + p.first + "\"");
    MYSQL* m = nullptr;
    try {
      m = ConnectCuttable();
    } catch (const SqlError& e) {
      unavailable_ = e.what();
      throw;
    }
    m_ = m;
    PublishSocket(static_cast<int>(mysql_get_socket(m)));
    lost_ = false;
    thread_id_.store(mysql_thread_id(m));
    // UTC for NOW() and TIMESTAMP columns; a backslash in SQL text is an ordinary character, so
    // a literal means the same here as on SQLite and PostgreSQL.  Everything else in sql_mode
    // stays as the server has it.
    try {
      Exec("SET time_zone = '+00:00', "
           "sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'NO_BACKSLASH_ESCAPES')");
    } catch (const SqlError& e) {
      Close();
      unavailable_ = e.what();
      throw;
    } catch (...) {
      Close();
      throw;
    }
  }

  void NoteUnavailable(std::string reason) noexcept override { unavailable_ = std::move(reason); }

  void Close() noexcept override {
    thread_id_.store(0);
    PublishSocket(-1);  // before the descriptor is closed
    if (m_) {
      mysql_close(m_);
      m_ = nullptr;
    }
    lost_ = false;
    unavailable_.clear();
  }

  bool Connected() const noexcept override { return m_ && !lost_; }

  bool StillOpen() noexcept override {
    if (!Connected()) return false;
    // Between statements the server sends nothing unless it is ending the session (a kill, a
    // shutdown, an idle time-out: an error packet and the end of the stream).  Anything to read
    // is checked with a round trip, which such a session fails.
    pollfd p{static_cast<int>(mysql_get_socket(m_)), POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return true;
    const ServerCallScope call(*this);
    if (ready < 0 || mysql_ping(m_) != 0) lost_ = true;
    return Connected();
  }

  bool Ping() noexcept override {
    if (!Connected()) return false;
    const ServerCallScope call(*this);
    if (mysql_ping(m_) == 0) return true;
    if (IsLostErrno(mysql_errno(m_))) lost_ = true;
    return false;
  }

  std::string NativePlaceholder(int) const override { return "?"; }

  ResultSet Run(std::string_view native_sql, const std::vector<Value>& params) override {
    RequireOpen();
    const RunningScope running(*this);
    const ServerCallScope call(*this);
    const StmtHandle stmt(mysql_stmt_init(m_));
    MYSQL_STMT* st = stmt.get();
    if (!st) ThrowConnError();

    if (mysql_stmt_prepare(st, native_sql.data(), static_cast<unsigned long>(native_sql.size())) != 0) {
      unsigned e = mysql_stmt_errno(st);
      std::string msg = mysql_stmt_error(st);
      if (e == kErrParse && HasTrailingStatement(native_sql)) msg = "only one statement per call is allowed: " + msg;
      ThrowError(e, msg);
    }

    const unsigned long pc = mysql_stmt_param_count(st);
    if (pc != params.size())
      throw SqlError("statement has " + std::to_string(pc) + " placeholders but " + std::to_string(params.size()) +
                     " parameters were given");

    std::vector<MYSQL_BIND> binds(pc);
    std::vector<long long> ints(pc);
    std::vector<double> doubles(pc);
    std::vector<signed char> tinys(pc);
    std::vector<unsigned long> lengths(pc);
    for (std::size_t i = 0; i < pc; ++i) {
      MYSQL_BIND& b = binds[i];
      std::memset(&b, 0, sizeof b);
      const Value& p = params[i];
      switch (p.kind) {
        case FieldKind::Null:
          b.buffer_type = MYSQL_TYPE_NULL;
          break;
        case FieldKind::Int64:
          ints[i] = p.i;
          b.buffer_type = MYSQL_TYPE_LONGLONG;
          b.buffer = &ints[i];
          break;
        case FieldKind::Bool:
          tinys[i] = p.b ? 1 : 0;
          b.buffer_type = MYSQL_TYPE_TINY;
          b.buffer = &tinys[i];
          break;
        case FieldKind::Double:
          doubles[i] = p.d;
          b.buffer_type = MYSQL_TYPE_DOUBLE;
          b.buffer = &doubles[i];
          break;
        default:
          // Text, dates and times as strings (the server converts them); blobs as bytes.
          lengths[i] = static_cast<unsigned long>(p.s.size());
          b.buffer_type = p.kind == FieldKind::Blob ? MYSQL_TYPE_BLOB : MYSQL_TYPE_STRING;
          b.buffer = const_cast<char*>(p.s.data());
          b.buffer_length = lengths[i];
          b.length = &lengths[i];
          break;
      }
    }
    if (pc > 0 && mysql_stmt_bind_param(st, binds.data())) ThrowStmtError(st);

    my_bool update_max = 1;
    mysql_stmt_attr_set(st, STMT_ATTR_UPDATE_MAX_LENGTH, &update_max);

    if (mysql_stmt_execute(st) != 0) ThrowStmtError(st);

    ResultSet rs;
    const MyResultHandle meta(mysql_stmt_result_metadata(st));
    if (!meta) {
      if (mysql_stmt_errno(st) != 0) ThrowStmtError(st);
      rs.affected = static_cast<std::int64_t>(mysql_stmt_affected_rows(st));
      rs.last_insert_id = static_cast<std::int64_t>(mysql_stmt_insert_id(st));
      DrainResults(st);
      return rs;
    }

    if (mysql_stmt_store_result(st) != 0) ThrowStmtError(st);
    ReadRows(st, meta.get(), rs);
    rs.affected = static_cast<std::int64_t>(mysql_stmt_affected_rows(st));
    rs.last_insert_id = static_cast<std::int64_t>(mysql_stmt_insert_id(st));
    mysql_stmt_free_result(st);
    DrainResults(st);
    return rs;
  }

  void Begin() override { Exec("START TRANSACTION"); }
  void Commit() override { Exec("COMMIT"); }
  void Rollback() override { Exec("ROLLBACK"); }

  bool InTransaction() const noexcept override {
    if (!Connected()) return false;
    unsigned int status = 0;
    if (mariadb_get_infov(m_, MARIADB_CONNECTION_SERVER_STATUS, &status)) return false;
    return (status & SERVER_STATUS_IN_TRANS) != 0;
  }

 private:
  void RequireOpen() const {
    if (!m_) {
      if (!unavailable_.empty()) throw UnavailableError(unavailable_);
      throw SqlError("MariaDB connection is not open", "2006", false, true);
    }
    if (lost_) throw SqlError("MariaDB connection is lost", "2006", false, true);
  }

  [[noreturn]] void ThrowError(unsigned e, std::string msg) {
    bool lost = IsLostErrno(e);
    if (lost) lost_ = true;
    if (msg.empty()) msg = "MariaDB statement failed";
    throw SqlError(msg, std::to_string(e), IsUniqueErrno(e), lost);
  }

  [[noreturn]] void ThrowStmtError(MYSQL_STMT* st) { ThrowError(mysql_stmt_errno(st), mysql_stmt_error(st)); }
  [[noreturn]] void ThrowConnError() { ThrowError(mysql_errno(m_), mysql_error(m_)); }

  void Exec(const char* sql) {
    RequireOpen();
    const ServerCallScope call(*this);
    if (mysql_real_query(m_, sql, static_cast<unsigned long>(std::strlen(sql))) != 0) ThrowConnError();
    // These commands return no rows; anything else is consumed so the protocol stays in step.
    if (MYSQL_RES* r = mysql_store_result(m_)) mysql_free_result(r);
    while (mysql_more_results(m_)) {
      if (mysql_next_result(m_) != 0) break;
      if (MYSQL_RES* r = mysql_store_result(m_)) mysql_free_result(r);
    }
  }

  // A CALL answers with further result sets and a final status; they are read and dropped so
  // that the connection is ready for the next statement.
  void DrainResults(MYSQL_STMT* st) {
    while (mysql_stmt_more_results(st)) {
      if (mysql_stmt_next_result(st) != 0) {
        if (mysql_stmt_errno(st) != 0) ThrowStmtError(st);
        break;
      }
      mysql_stmt_free_result(st);
    }
  }

  void ReadRows(MYSQL_STMT* st, MYSQL_RES* meta, ResultSet& rs) {
    const unsigned n = mysql_num_fields(meta);
    MYSQL_FIELD* fields = mysql_fetch_fields(meta);
    std::vector<Column> cols(n);
    std::vector<MYSQL_BIND> binds(n);
    rs.has_rows = true;
    rs.names.reserve(n);
    for (unsigned c = 0; c < n; ++c) {
      const MYSQL_FIELD& f = fields[c];
      rs.names.emplace_back(f.name ? std::string(f.name, f.name_length) : std::string());
      Column& col = cols[c];
      col.conv = ConvFor(f);
      col.is_unsigned = (f.flags & UNSIGNED_FLAG) != 0;
      MYSQL_BIND& b = binds[c];
      std::memset(&b, 0, sizeof b);
      b.is_null = &col.is_null;
      b.error = &col.error;
      b.length = &col.length;
      switch (col.conv) {
        case Conv::Int:
        case Conv::Bool:
          b.buffer_type = MYSQL_TYPE_LONGLONG;
          b.buffer = &col.ival;
          b.is_unsigned = col.is_unsigned;
          break;
        case Conv::Float:
          b.buffer_type = MYSQL_TYPE_FLOAT;
          b.buffer = &col.fval;
          break;
        case Conv::Double:
          b.buffer_type = MYSQL_TYPE_DOUBLE;
          b.buffer = &col.dval;
          break;
        case Conv::Date:
        case Conv::Time:
        case Conv::DateTime:
          b.buffer_type = col.conv == Conv::Date ? MYSQL_TYPE_DATE
                          : col.conv == Conv::Time ? MYSQL_TYPE_TIME
                                                   : MYSQL_TYPE_DATETIME;
          b.buffer = &col.tval;
          b.buffer_length = sizeof col.tval;
          break;
        default:
          col.buf.resize(f.max_length > 0 ? f.max_length : 1);
          b.buffer_type = col.conv == Conv::Blob || col.conv == Conv::Bit ? MYSQL_TYPE_BLOB : MYSQL_TYPE_STRING;
          b.buffer = col.buf.data();
          b.buffer_length = static_cast<unsigned long>(col.buf.size());
          break;
      }
    }
    if (n > 0 && mysql_stmt_bind_result(st, binds.data())) ThrowStmtError(st);

    rs.rows.reserve(static_cast<std::size_t>(mysql_stmt_num_rows(st)));
    for (;;) {
      int rc = mysql_stmt_fetch(st);
      if (rc == MYSQL_NO_DATA) break;
      if (rc != 0 && rc != MYSQL_DATA_TRUNCATED) ThrowStmtError(st);
      std::vector<Value> row;
      row.reserve(n);
      for (unsigned c = 0; c < n; ++c) row.push_back(ToValue(st, c, cols[c], binds[c]));
      rs.rows.push_back(std::move(row));
    }
  }

  Value ToValue(MYSQL_STMT* st, unsigned c, Column& col, const MYSQL_BIND& b) {
    if (col.is_null) return Value::Null();
    switch (col.conv) {
      case Conv::Bool:
        return Value::Boolean(col.ival != 0);
      case Conv::Int:
        if (col.is_unsigned && static_cast<unsigned long long>(col.ival) >
                                   static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()))
          return Value::Text(std::to_string(static_cast<unsigned long long>(col.ival)));
        return Value::Int(col.ival);
      case Conv::Float: {
        // The shortest text of the float, read back as double: FLOAT 1.1 gives 1.1, not
        // 1.100000023841858.
        char tmp[32];
        auto r = std::to_chars(tmp, tmp + sizeof tmp - 1, col.fval);
        *r.ptr = '\0';
        return Value::Real(std::strtod(tmp, nullptr));
      }
      case Conv::Double:
        return Value::Real(col.dval);
      case Conv::Date:
        return Value::Date(FormatDate(col.tval));
      case Conv::Time:
        return Value::Time(FormatTime(col.tval));
      case Conv::DateTime:
        return Value::DateTime(FormatDateTime(col.tval));
      default:
        break;
    }
    std::string data;
    if (col.length > col.buf.size()) {
      // Longer than the buffer sized from max_length: fetch this column again in full.
      data.resize(col.length);
      unsigned long len = 0;
      MYSQL_BIND big;
      std::memset(&big, 0, sizeof big);
      big.buffer_type = b.buffer_type;
      big.buffer = data.data();
      big.buffer_length = col.length;
      big.length = &len;
      if (mysql_stmt_fetch_column(st, &big, c, 0) != 0) ThrowStmtError(st);
      data.resize(std::min<unsigned long>(len, col.length));
    } else {
      data.assign(col.buf.data(), col.length);
    }
    switch (col.conv) {
      case Conv::Decimal:
        return Value::Real(std::strtod(data.c_str(), nullptr));
      case Conv::Bit: {
        std::uint64_t v = 0;
        for (unsigned char ch : data) v = (v << 8) | ch;
        return Value::Int(static_cast<std::int64_t>(v));
      }
      case Conv::Blob:
        return Value::Blob(std::move(data));
      default:
        return Value::Text(std::move(data));
    }
  }

  // A handle with the session settings of opts, not yet connected.  Time-outs <= 0: 5 s to
  // connect, 300 s to read.
  static MYSQL* NewHandle(const ConnectOptions& opts, int connect_timeout_s, int read_timeout_s) {
    // The first mysql_init would otherwise initialise the library unsynchronised.
    std::call_once(g_library_once, [] { mysql_library_init(0, nullptr, nullptr); });
    MYSQL* m = mysql_init(nullptr);
    if (!m) throw SqlError("out of memory while connecting to MariaDB", "2008", false, true);

    const auto seconds = [](int s, unsigned otherwise) { return s > 0 ? static_cast<unsigned>(s) : otherwise; };
    unsigned int connect_timeout = seconds(connect_timeout_s, 5);
    unsigned int read_timeout = seconds(read_timeout_s, 300);
    unsigned int write_timeout = seconds(opts.write_timeout_s, 300);
    my_bool reconnect = 0;  // a silent reconnect would lose the transaction and the session settings
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &read_timeout);
    mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &write_timeout);
    mysql_optionsv(m, MYSQL_OPT_RECONNECT, &reconnect);
    mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (opts.use_ssl) {
      my_bool enforce = 1;
      mysql_optionsv(m, MYSQL_OPT_SSL_ENFORCE, &enforce);
    }

    return m;
  }

  static const char* CStr(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }
  // CLIENT_FOUND_ROWS: an UPDATE reports the rows it matched, as SQLite and PostgreSQL do, not
  // only those whose values changed.  No CLIENT_MULTI_STATEMENTS: one statement per call.
  static constexpr unsigned long kClientFlags = CLIENT_FOUND_ROWS;

  // Ends a handle whose connect failed; throws the failure (connection lost).
  [[noreturn]] static void ThrowConnectFailure(MYSQL* m, std::string msg = {}, unsigned e = 0) {
    if (msg.empty()) msg = mysql_error(m);
    if (e == 0) e = mysql_errno(m);
    mysql_close(m);
    if (msg.empty()) msg = "could not connect to MariaDB";
    throw SqlError(msg, std::to_string(e), false, true);
  }

  // A new session on the settings of opts; throws SqlError (connection lost) when the server
  // cannot be reached or refuses.  Time-outs <= 0: 5 s to connect, 300 s to read.
  static MYSQL* Connect(const ConnectOptions& opts, const std::string& database, int connect_timeout_s,
                        int read_timeout_s) {
    MYSQL* m = NewHandle(opts, connect_timeout_s, read_timeout_s);
    if (!mysql_real_connect(m, CStr(opts.host), CStr(opts.user), opts.password.c_str(), CStr(database),
                            opts.port > 0 ? static_cast<unsigned>(opts.port) : 0, nullptr, kClientFlags))
      ThrowConnectFailure(m);
    BoundSilentServer(static_cast<int>(mysql_get_socket(m)), opts);
    return m;
  }

  // This connection's session, opened as Connect does but in steps (the client library's
  // non-blocking calls), so that a Cut ends the attempt at once: the wait on the socket is looked
  // at every 100 ms, and the attempt's socket is published for Cut.  Bounded by the connect
  // time-out as a whole; the session's later calls block as usual.
  MYSQL* ConnectCuttable() {
    using namespace std::chrono;
    const ServerCallScope call(*this);
    if (IsCut()) throw CutError();
    const int timeout_s = opts_.connect_timeout_s > 0 ? opts_.connect_timeout_s : 5;
    const auto deadline = steady_clock::now() + seconds(timeout_s);
    MYSQL* m = NewHandle(opts_, opts_.connect_timeout_s, opts_.read_timeout_s);
    mysql_optionsv(m, MYSQL_OPT_NONBLOCK, 0);
    MYSQL* ok = nullptr;
    int wait = mysql_real_connect_start(&ok, m, CStr(opts_.host), CStr(opts_.user), opts_.password.c_str(),
                                        CStr(opts_.database), opts_.port > 0 ? static_cast<unsigned>(opts_.port) : 0,
                                        nullptr, kClientFlags);
    // The library's own time-out for the step it waits on, if it set one.
    auto step_deadline = [&] {
      return (wait & MYSQL_WAIT_TIMEOUT) ? steady_clock::now() + milliseconds(mysql_get_timeout_value_ms(m))
                                         : steady_clock::time_point::max();
    };
    auto step_until = step_deadline();
    std::string failure;
    while (wait != 0) {
      const int fd = static_cast<int>(mysql_get_socket(m));
      PublishSocket(fd);
      if (IsCut()) {
        failure = CutError().what();
        break;
      }
      const auto now = steady_clock::now();
      if (now >= deadline) {
        failure = "Can't connect to server on '" + opts_.host + "' (timed out after " + std::to_string(timeout_s) +
                  " s)";
        break;
      }
      int ready = 0;
      if (now >= step_until) {
        ready = MYSQL_WAIT_TIMEOUT;
      } else {
        const auto until = std::min({step_until, deadline, now + milliseconds(100)});
        pollfd p{fd, 0, 0};
        if (wait & MYSQL_WAIT_READ) p.events |= POLLIN;
        if (wait & MYSQL_WAIT_WRITE) p.events |= POLLOUT;
        if (wait & MYSQL_WAIT_EXCEPT) p.events |= POLLPRI;
        const int n = fd >= 0 ? ::poll(&p, 1, static_cast<int>(duration_cast<milliseconds>(until - now).count() + 1)) : 0;
        if (n < 0 && errno != EINTR) ready = wait & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
        if (n > 0) {
          if (p.revents & (POLLIN | POLLHUP | POLLERR)) ready |= MYSQL_WAIT_READ;
          if (p.revents & (POLLOUT | POLLHUP | POLLERR)) ready |= MYSQL_WAIT_WRITE;
          if (p.revents & POLLPRI) ready |= MYSQL_WAIT_EXCEPT;
          ready &= wait;
          if (ready == 0) ready = wait & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
        }
      }
      if (ready == 0) continue;
      wait = mysql_real_connect_cont(&ok, m, ready);
      step_until = step_deadline();
    }
    PublishSocket(-1);
    if (!failure.empty()) ThrowConnectFailure(m, failure, 2013);
    if (!ok) ThrowConnectFailure(m);
    BoundSilentServer(static_cast<int>(mysql_get_socket(m)), opts_);
    return m;
  }

  // The client library has no settings for a server that stops answering without closing the
  // connection; the socket gets them (see ConnectOptions).  A Unix-domain socket refuses
  // them, and needs none.
  static void BoundSilentServer(int fd, const ConnectOptions& opts) noexcept {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        (addr.ss_family != AF_INET && addr.ss_family != AF_INET6))
      return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    const std::pair<int, int> bounds[] = {{TCP_KEEPIDLE, opts.keepalive_idle_s},
                                          {TCP_KEEPINTVL, opts.keepalive_interval_s},
                                          {TCP_KEEPCNT, opts.keepalive_count},
                                          {TCP_USER_TIMEOUT, opts.tcp_user_timeout_ms}};
    for (const auto& [option, value] : bounds)
      if (value > 0) ::setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
  }

  // The protocol has no out-of-band cancel: a second session asks the server to stop the
  // statement of this one (KILL QUERY ends the statement, not the session).  Bounded: a few
  // seconds to connect and to answer.
  bool InterruptRunning() noexcept override {
    const unsigned long id = thread_id_.load();
    if (id == 0) return false;
    try {
      const int connect_s = std::min(opts_.connect_timeout_s > 0 ? opts_.connect_timeout_s : 10, 5);
      MYSQL* k = Connect(opts_, std::string(), connect_s, 5);
      const std::string kill = "KILL QUERY " + std::to_string(id);
      const bool sent = mysql_real_query(k, kill.c_str(), static_cast<unsigned long>(kill.size())) == 0;
      mysql_close(k);
      return sent;
    } catch (...) {
      // The server is out of reach: the statement cannot be stopped from here.
      return false;
    }
  }

  MYSQL* m_ = nullptr;
  bool lost_ = false;
  std::string unavailable_;  // why the last Open failed; empty once open (or closed on purpose)
  std::atomic<unsigned long> thread_id_{0};  // the server's id of this session, 0 when closed
};

}  // namespace

std::unique_ptr<Connection> CreateMariaDBConnection(ConnectOptions opts) {
  return std::make_unique<MariaDBConnection>(std::move(opts));
}

}  // namespace ov::sql
