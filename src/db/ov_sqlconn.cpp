// Backend-neutral part of the SQL connection layer: values, the colon-name scanner,
// transactions, queries and the connection factory.
#include "ov_sqlconn.h"

#include <sys/socket.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "ov_sqlconn_sqlite.h"
#include "ov_text.h"
#if __has_include("ov_sqlconn_pg.h")
#include "ov_sqlconn_pg.h"
#define OV_SQLCONN_HAVE_PG 1
#endif
#if __has_include("ov_sqlconn_mariadb.h")
#include "ov_sqlconn_mariadb.h"
#define OV_SQLCONN_HAVE_MARIADB 1
#endif

namespace ov::sql {

// ---------------------------------------------------------------------------------------------
// Value

namespace {

std::string_view TrimBlanks(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// The whole text (blanks around it and a leading '+' allowed) as a number of type T.
template <class T>
bool ParseNumber(std::string_view s, T& out) noexcept {
  s = TrimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

std::int64_t DoubleToInt64(double d) noexcept {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

}  // namespace

std::string Value::AsText() const {
  switch (kind) {
    case FieldKind::Null:
      return {};
    case FieldKind::Int64:
      return std::to_string(i);
    case FieldKind::Bool:
      return b ? "1" : "0";
    case FieldKind::Double: {
      if (std::isnan(d)) return "NaN";
      if (std::isinf(d)) return d > 0 ? "Inf" : "-Inf";
      char buf[64];
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);  // shortest text that reads back as d
      return ec == std::errc() ? std::string(buf, p) : std::string();
    }
    default:
      return s;
  }
}

std::int64_t Value::AsInt64(std::int64_t def) const noexcept {
  switch (kind) {
    case FieldKind::Int64:
      return i;
    case FieldKind::Bool:
      return b ? 1 : 0;
    case FieldKind::Double:
      return DoubleToInt64(d);
    case FieldKind::Text: {
      std::int64_t v = 0;
      if (ParseNumber(s, v)) return v;
      double dv = 0;
      if (ParseNumber(s, dv)) return DoubleToInt64(dv);
      return def;
    }
    default:
      return def;
  }
}

double Value::AsDouble(double def) const noexcept {
  switch (kind) {
    case FieldKind::Int64:
      return static_cast<double>(i);
    case FieldKind::Bool:
      return b ? 1.0 : 0.0;
    case FieldKind::Double:
      return d;
    case FieldKind::Text: {
      double v = 0;
      return ParseNumber(s, v) ? v : def;
    }
    default:
      return def;
  }
}

bool Value::AsBool(bool def) const noexcept {
  switch (kind) {
    case FieldKind::Int64:
      return i != 0;
    case FieldKind::Bool:
      return b;
    case FieldKind::Double:
      return d != 0;
    case FieldKind::Text: {
      std::string_view t = TrimBlanks(s);
      for (const char* yes : {"1", "true", "t", "yes", "y", "on"})
        if (EqualsIgnoreCase(t, yes)) return true;
      for (const char* no : {"0", "false", "f", "no", "n", "off"})
        if (EqualsIgnoreCase(t, no)) return false;
      std::int64_t v = 0;
      if (ParseNumber(t, v)) return v != 0;
      return def;
    }
    default:
      return def;
  }
}

// ---------------------------------------------------------------------------------------------
// The colon-name scanner

namespace {

bool IsIdentStart(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool IsIdentChar(char c) noexcept { return IsIdentStart(c) || (c >= '0' && c <= '9') || c == '$'; }
bool IsNameChar(char c) noexcept { return IsIdentStart(c) || (c >= '0' && c <= '9'); }
bool IsBlank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

class Scanner {
 public:
  // native: the text already holds the backend's own placeholders; it is copied unchanged.
  Scanner(std::string_view sql, Backend backend, const Connection* conn, bool native = false)
      : sql_(sql), n_(sql.size()), backend_(backend), conn_(conn), native_(native) {}

  ScannedSQL Run() {
    out_.native.reserve(n_ + 16);
    while (i_ < n_) {
      if (insert_ == InsertWord::Table && !IsBlank(sql_[i_]) && !StartsComment()) {
        ReadInsertTable();
        continue;
      }
      if (SkipLiteralOrComment(/*copy=*/true)) continue;
      const char c = sql_[i_];
      if (c == ';') {
        FinishWord();
        if (!(create_ && depth_ > 0)) {
          CheckTrailing(i_ + 1);
          break;
        }
      }
      if (IsIdentStart(c) && (i_ == 0 || !IsIdentChar(sql_[i_ - 1]))) {
        std::size_t j = i_ + 1;
        while (j < n_ && IsIdentChar(sql_[j])) ++j;
        Word(sql_.substr(i_, j - i_));
        out_.native.append(sql_.substr(i_, j - i_));
        i_ = j;
        continue;
      }
      if (c == ':' && !native_) {
        HandleColon();
        continue;
      }
      if (c == '?' && backend_ != Backend::Postgres && !native_)
        throw SqlError("ov_sqlconn: positional '?' parameters are not supported; name them (:name)");
      if (c == '$' && backend_ == Backend::Postgres && !native_ && i_ + 1 < n_ && IsAsciiDigit(sql_[i_ + 1]) &&
          (i_ == 0 || !IsIdentChar(sql_[i_ - 1])))
        throw SqlError("ov_sqlconn: positional $n parameters are not supported; name them (:name)");
      if (c == '(') ++paren_;
      if (c == ')' && paren_ > 0) --paren_;
      out_.native.push_back(c);
      ++i_;
    }
    FinishWord();
    return std::move(out_);
  }

  // After Run: the INSERT's table as written (empty when the statement inserts nowhere at its
  // top level) and whether a RETURNING clause follows it.
  const std::string& InsertTable() const noexcept { return insert_table_; }
  bool InsertReturning() const noexcept { return insert_returning_; }

 private:
  bool StartsComment() const noexcept {
    const char c = sql_[i_];
    const char d = i_ + 1 < n_ ? sql_[i_ + 1] : '\0';
    return (c == '-' && d == '-') || (c == '/' && d == '*') || (c == '#' && backend_ == Backend::MariaDB);
  }

  // The name after INSERT INTO: identifiers and quoted identifiers joined by '.'.
  void ReadInsertTable() {
    insert_ = InsertWord::Done;
    const std::size_t start = i_;
    for (;;) {
      if (i_ < n_ && (sql_[i_] == '"' || sql_[i_] == '`')) {
        SkipQuoted(sql_[i_], false);
      } else if (i_ < n_ && IsIdentStart(sql_[i_])) {
        while (i_ < n_ && IsIdentChar(sql_[i_])) ++i_;
      } else {
        break;
      }
      if (i_ < n_ && sql_[i_] == '.') {
        ++i_;
        continue;
      }
      break;
    }
    if (i_ == start) {  // not a name: let the main loop take the character
      out_.native.push_back(sql_[i_++]);
      return;
    }
    insert_table_ = std::string(sql_.substr(start, i_ - start));
    out_.native.append(insert_table_);
    ++words_;
  }

  // Skips (and, when copy, copies) a quoted text, quoted name or comment starting at i_.
  bool SkipLiteralOrComment(bool copy) {
    const char c = sql_[i_];
    const std::size_t start = i_;
    if (c == '\'') {
      bool backslash = false;
      if (backend_ == Backend::Postgres && i_ > 0 && (sql_[i_ - 1] == 'E' || sql_[i_ - 1] == 'e') &&
          (i_ < 2 || !IsIdentChar(sql_[i_ - 2])))
        backslash = true;  // E'...' escape string
      SkipQuoted('\'', backslash);
    } else if (c == '"') {
      SkipQuoted('"', false);
    } else if (c == '`') {
      SkipQuoted('`', false);
    } else if (c == '[' && backend_ == Backend::SQLite) {
      SkipQuoted(']', false);
    } else if (c == '-' && i_ + 1 < n_ && sql_[i_ + 1] == '-' &&
               (backend_ != Backend::MariaDB || i_ + 2 >= n_ || IsBlank(sql_[i_ + 2]) ||
                static_cast<unsigned char>(sql_[i_ + 2]) < 0x20)) {
      SkipLine();
    } else if (c == '#' && backend_ == Backend::MariaDB) {
      SkipLine();
    } else if (c == '/' && i_ + 1 < n_ && sql_[i_ + 1] == '*') {
      SkipBlockComment();
    } else if (c == '$' && backend_ == Backend::Postgres && !(i_ > 0 && IsIdentChar(sql_[i_ - 1])) &&
               SkipDollarQuote()) {
      // done
    } else {
      return false;
    }
    FinishWord();
    if (copy) out_.native.append(sql_.substr(start, i_ - start));
    return true;
  }

  // From the opening character at i_ to the closing one, close.
  void SkipQuoted(char close, bool backslash) {
    ++i_;
    while (i_ < n_) {
      const char c = sql_[i_];
      if (backslash && c == '\\') {
        i_ += 2;
        continue;
      }
      ++i_;
      if (c == close) {
        // A doubled closing character stays inside ('it''s', "a""b", `a``b`).
        if (close != ']' && i_ < n_ && sql_[i_] == close) {
          ++i_;
          continue;
        }
        return;
      }
    }
    if (i_ > n_) i_ = n_;
  }

  void SkipLine() {
    while (i_ < n_ && sql_[i_] != '\n') ++i_;
  }

  void SkipBlockComment() {
    i_ += 2;
    int nest = 1;
    while (i_ < n_) {
      if (sql_[i_] == '*' && i_ + 1 < n_ && sql_[i_ + 1] == '/') {
        i_ += 2;
        if (--nest == 0 || backend_ != Backend::Postgres) return;
        continue;
      }
      if (backend_ == Backend::Postgres && sql_[i_] == '/' && i_ + 1 < n_ && sql_[i_ + 1] == '*') {
        i_ += 2;
        ++nest;
        continue;
      }
      ++i_;
    }
  }

  // $tag$ ... $tag$ (PostgreSQL).  False when the text at i_ is not a dollar-quote opener.
  bool SkipDollarQuote() {
    std::size_t j = i_ + 1;
    if (j < n_ && IsIdentStart(sql_[j])) {
      while (j < n_ && IsNameChar(sql_[j])) ++j;
    }
    if (j >= n_ || sql_[j] != '$') return false;
    const std::string_view tag = sql_.substr(i_, j - i_ + 1);
    const std::size_t end = sql_.find(tag, j + 1);
    i_ = (end == std::string_view::npos) ? n_ : end + tag.size();
    return true;
  }

  void HandleColon() {
    const std::size_t next = i_ + 1;
    if (next < n_ && (sql_[next] == ':' || sql_[next] == '=')) {  // '::' cast, ':=' assignment
      out_.native.append(sql_.substr(i_, 2));
      i_ += 2;
      return;
    }
    const bool after_ident = i_ > 0 && IsIdentChar(sql_[i_ - 1]);
    if (next < n_ && IsIdentStart(sql_[next]) && !after_ident) {
      std::size_t j = next + 1;
      while (j < n_ && IsNameChar(sql_[j])) ++j;
      AddParam(sql_.substr(next, j - next));
      i_ = j;
      return;
    }
    out_.native.push_back(':');
    ++i_;
  }

  void AddParam(std::string_view name) {
    std::size_t idx = out_.names.size();
    for (std::size_t k = 0; k < out_.names.size(); ++k)
      if (EqualsIgnoreCase(out_.names[k], name)) {
        idx = k;
        break;
      }
    if (idx == out_.names.size()) out_.names.emplace_back(name);
    int number;
    if (backend_ == Backend::Postgres) {
      number = static_cast<int>(idx) + 1;
      if (idx + 1 > out_.order.size()) out_.order.emplace_back(name);
    } else {
      out_.order.emplace_back(out_.names[idx]);
      number = static_cast<int>(out_.order.size());
    }
    if (conn_) {
      out_.native += conn_->NativePlaceholder(number);
    } else if (backend_ == Backend::Postgres) {
      out_.native += '$';
      out_.native += std::to_string(number);
    } else {
      out_.native += '?';
    }
  }

  // Keyword tracking: the statement's verb, and BEGIN/CASE ... END depth inside CREATE.
  void Word(std::string_view w) {
    const std::string up = ToUpperAscii(w);
    if (pending_end_) {
      pending_end_ = false;
      if (!(up == "IF" || up == "LOOP" || up == "WHILE" || up == "REPEAT" || up == "FOR") && depth_ > 0) --depth_;
    }
    ++words_;
    // INSERT INTO <table> at the top level (also after WITH's common table expressions).
    if (paren_ == 0) {
      if (up == "INSERT" && insert_ == InsertWord::None) insert_ = InsertWord::Into;
      else if (insert_ == InsertWord::Into) insert_ = up == "INTO" ? InsertWord::Table : InsertWord::Done;
      else if (up == "RETURNING" && !insert_table_.empty()) insert_returning_ = true;
    }
    if (words_ == 1) {
      out_.verb = up;
      create_ = (up == "CREATE");
      with_ = (up == "WITH");
    } else if (with_ && paren_ == 0 &&
               (up == "SELECT" || up == "INSERT" || up == "UPDATE" || up == "DELETE" || up == "REPLACE" ||
                up == "VALUES")) {
      out_.verb = up;
      with_ = false;
    }
    if (create_) {
      if (up == "BEGIN" || up == "CASE") ++depth_;
      else if (up == "END") pending_end_ = true;
    }
  }

  void FinishWord() {
    if (pending_end_) {
      pending_end_ = false;
      if (depth_ > 0) --depth_;
    }
  }

  // Only blanks, comments and further ';' may follow the first statement.
  void CheckTrailing(std::size_t from) {
    i_ = from;
    while (i_ < n_) {
      const char c = sql_[i_];
      if (IsBlank(c) || c == ';') {
        ++i_;
        continue;
      }
      // Only comments are recognised here: c is never a quote character.
      if ((c == '-' || c == '#' || c == '/') && SkipLiteralOrComment(/*copy=*/false)) continue;
      throw SqlError("ov_sqlconn: only one statement per call; text follows the first statement's ';'");
    }
  }

  enum class InsertWord : std::uint8_t { None, Into, Table, Done };

  std::string_view sql_;
  std::size_t n_;
  std::size_t i_ = 0;
  Backend backend_;
  const Connection* conn_;
  const bool native_;
  ScannedSQL out_;
  InsertWord insert_ = InsertWord::None;
  std::string insert_table_;
  bool insert_returning_ = false;
  std::size_t words_ = 0;
  int paren_ = 0;
  int depth_ = 0;
  bool create_ = false;
  bool with_ = false;
  bool pending_end_ = false;
};

}  // namespace

ScannedSQL ScanNamedParams(std::string_view sql, const Connection& conn) {
  return Scanner(sql, conn.Kind(), &conn).Run();
}

ScannedSQL ScanNamedParams(std::string_view sql, Backend backend) {
  return Scanner(sql, backend, nullptr).Run();
}

std::optional<InsertTarget> FindInsertTarget(std::string_view native_sql, Backend backend) {
  Scanner scanner(native_sql, backend, nullptr, /*native=*/true);
  ScannedSQL scan = scanner.Run();
  // The verb rules out a statement that only mentions an insert (CREATE RULE ... DO INSERT).
  if (scan.verb != "INSERT" || scanner.InsertTable().empty()) return std::nullopt;
  return InsertTarget{scanner.InsertTable(), scanner.InsertReturning(), std::move(scan.native)};
}

// ---------------------------------------------------------------------------------------------
// Connection factory

bool Connection::Interrupt() noexcept {
  if (running_.load() == 0) return false;
  const std::uint64_t run = run_seq_.load();
  const bool reached = InterruptRunning();
  // A cancel that reaches the server before the statement has begun there is ignored, and the
  // statement then runs on: while the same statement is still in progress, ask again.
  for (const int wait_ms : {10, 20, 50, 100, 200}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    if (running_.load() == 0 || run_seq_.load() != run) return reached;
    InterruptRunning();
  }
  return reached;
}

void Connection::Cut() noexcept {
  cut_.store(true);
  TOVLockGuard g(socket_lock_);
  if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

void Connection::PublishSocket(int fd) noexcept {
  TOVLockGuard g(socket_lock_);
  socket_ = fd;
}

SqlError Connection::CutError() { return SqlError("the server is stopping", "08006", false, true); }

SqlError UnavailableError(const std::string& reason) {
  return SqlError("Database unavailable: " + reason, "08001", false, true);
}

std::unique_ptr<Connection> CreateConnection(Backend b, ConnectOptions opts) {
  switch (b) {
    case Backend::SQLite:
      return CreateSqliteConnection(std::move(opts));
#ifdef OV_SQLCONN_HAVE_PG
    case Backend::Postgres:
      return CreatePostgresConnection(std::move(opts));
#endif
#ifdef OV_SQLCONN_HAVE_MARIADB
    case Backend::MariaDB:
      return CreateMariaDBConnection(std::move(opts));
#endif
    default:
      break;
  }
  throw SqlError("ov_sqlconn: backend " + std::to_string(static_cast<int>(b)) + " is not available");
}

// ---------------------------------------------------------------------------------------------
// Transaction

Transaction::~Transaction() {
  if (active_) {
    try {
      conn_->Rollback();
    } catch (...) {
    }
    active_ = false;
  }
}

void Transaction::Start() {
  if (active_) return;
  conn_->Begin();
  active_ = true;
}

void Transaction::Commit() {
  if (!active_ && !conn_->InTransaction()) return;
  try {
    conn_->Commit();
  } catch (...) {
    active_ = conn_->InTransaction();
    throw;
  }
  active_ = false;
}

void Transaction::CommitRetaining() {
  Commit();
  Start();
}

void Transaction::Rollback() {
  if (!active_ && !conn_->InTransaction()) return;
  active_ = false;
  conn_->Rollback();
}

void Transaction::RollbackRetaining() {
  Rollback();
  Start();
}

// ---------------------------------------------------------------------------------------------
// Query

namespace detail {

// One scanned statement, shared by the queries that use its text.
struct ScanEntry {
  ScannedSQL scan;
  std::vector<std::size_t> order_name;  // per positional parameter: its index in scan.names
  bool direct = true;                   // order == names: values pass through unchanged
  bool is_insert = false;               // scan.IsInsert(), asked once per text, not per run
};

// Scans per connection, keyed by the statement text.  A connection serves one thread at a
// time, so the cache needs no lock.  Bounded: it is emptied when full.
struct ScanCache {
  static constexpr std::size_t kMax = 256;
  using Map = std::unordered_map<std::string, std::shared_ptr<const ScanEntry>, TextHash, std::equal_to<>>;
  Map map;
  // The entry used last: a statement run again and again (bulk inserts, the log writer) is
  // found by one comparison instead of a hash.  Map nodes are stable until the map is cleared.
  const Map::value_type* last = nullptr;
};

}  // namespace detail

namespace {

std::shared_ptr<const detail::ScanEntry> MakeEntry(ScannedSQL scan) {
  auto e = std::make_shared<detail::ScanEntry>();
  e->scan = std::move(scan);
  const auto& names = e->scan.names;
  e->direct = e->scan.order.size() == names.size();
  e->is_insert = e->scan.IsInsert();
  for (std::size_t i = 0; i < e->scan.order.size(); ++i) {
    std::size_t k = 0;
    while (k < names.size() && !EqualsIgnoreCase(names[k], e->scan.order[i])) ++k;
    e->order_name.push_back(k);
    if (k != i) e->direct = false;
  }
  return e;
}

const std::vector<std::string>& NoNames() {
  static const std::vector<std::string> empty;
  return empty;
}

}  // namespace

void Query::SetSQL(std::string sql) {
  Close();
  // The same text again (a statement run row after row): its names and values stay where they
  // are, with their buffers.
  if (scanned_ && sql == sql_) return;
  // Values of the old text's names wait in params_ for the new text.
  if (scan_) {
    for (std::size_t k = 0; k < values_.size(); ++k)
      if (!values_[k].IsNull()) params_.emplace_back(scan_->scan.names[k], std::move(values_[k]));
  }
  values_.clear();
  scanned_ = false;
  scan_.reset();
  sql_ = std::move(sql);
  Prepare();
}

void Query::Prepare() {
  if (scanned_) return;
  auto& cache = conn_->scan_cache_;
  if (!cache) cache = std::make_shared<detail::ScanCache>();
  if (cache->last && cache->last->first == sql_) {
    scan_ = cache->last->second;
  } else {
    auto it = cache->map.find(std::string_view(sql_));
    if (it == cache->map.end()) {
      auto entry = MakeEntry(ScanNamedParams(sql_, *conn_));  // throws for a second statement: nothing cached
      if (cache->map.size() >= detail::ScanCache::kMax) {
        cache->last = nullptr;
        cache->map.clear();
      }
      it = cache->map.emplace(sql_, std::move(entry)).first;
    }
    cache->last = &*it;
    scan_ = it->second;
  }
  scanned_ = true;
  // Take the values set so far for the names of this text.
  values_.assign(scan_->scan.names.size(), Value::Null());
  for (std::size_t j = 0; j < params_.size();) {
    const int k = NameIndex(params_[j].first);
    if (k >= 0) {
      values_[static_cast<std::size_t>(k)] = std::move(params_[j].second);
      params_.erase(params_.begin() + static_cast<std::ptrdiff_t>(j));
    } else {
      ++j;
    }
  }
}

int Query::NameIndex(std::string_view name) const noexcept {
  if (!scan_) return -1;
  const auto& names = scan_->scan.names;
  // Callers set a statement's values in the order of its text, as a rule: the search starts
  // after the name found last, so that each lookup of a row's values hits at once.
  const std::size_t n = names.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = (name_hint_ + i) % n;
    if (names[k] == name || EqualsIgnoreCase(names[k], name)) {
      name_hint_ = k + 1;
      return static_cast<int>(k);
    }
  }
  return -1;
}

bool Query::HasParam(std::string_view name) const { return NameIndex(name) >= 0; }

const std::vector<std::string>& Query::ParamNames() const { return scan_ ? scan_->scan.names : NoNames(); }

void Query::SetParam(std::string_view name, Value v) {
  const int k = NameIndex(name);
  if (k >= 0) {
    values_[static_cast<std::size_t>(k)] = std::move(v);
    return;
  }
  // Not named in the text: kept for a later SetSQL, skipped when running.
  for (auto& p : params_)
    if (EqualsIgnoreCase(p.first, name)) {
      p.second = std::move(v);
      return;
    }
  params_.emplace_back(std::string(name), std::move(v));
}

void Query::SetParamText(std::string_view name, std::string_view text) {
  const int k = NameIndex(name);
  if (k < 0) {
    SetParam(name, Value::Text(std::string(text)));
    return;
  }
  Value& v = values_[static_cast<std::size_t>(k)];
  v.kind = FieldKind::Text;
  v.s.assign(text);
}

void Query::SetParamAt(std::size_t index, Value v) {
  if (index < values_.size()) values_[index] = std::move(v);
}

Value& Query::ParamAt(std::size_t index) {
  if (index >= values_.size()) throw std::out_of_range("ov_sqlconn: parameter index out of range");
  return values_[index];
}

ResultSet Query::Execute() {
  if (!scanned_) Prepare();
  if (tx_) {
    // SQLite rolls a transaction back by itself after some errors (disk full, I/O, interrupt);
    // start a new one rather than run in autocommit mode behind the caller's back.
    if (tx_->Active() && conn_->Kind() == Backend::SQLite && !conn_->InTransaction()) tx_->Reset();
    if (!tx_->Active()) tx_->Start();
  }
  // Each name used once, in first-use order (always so with "$n" placeholders): the values
  // are passed as they are.  Otherwise each placeholder gets a copy of its name's value.
  const detail::ScanEntry& e = *scan_;
  const std::vector<Value>* args = &values_;
  if (!e.direct) {
    bound_.resize(e.order_name.size());
    for (std::size_t i = 0; i < e.order_name.size(); ++i) bound_[i] = values_[e.order_name[i]];
    args = &bound_;
  }
  ResultSet rs = conn_->Run(e.scan.native, *args);
  if (e.is_insert) conn_->NoteInsertId(rs.last_insert_id);
  return rs;
}

std::int64_t Query::ExecSQL() {
  Close();
  result_ = Execute();
  open_ = false;
  return result_.affected;
}

void Query::Open() {
  Close();
  result_ = Execute();
  row_ = 0;
  open_ = true;
}

const Value& Query::Field(std::size_t i) const {
  if (!open_ || row_ >= result_.rows.size()) throw SqlError("ov_sqlconn: no current row");
  const auto& row = result_.rows[row_];
  if (i >= row.size()) throw SqlError("ov_sqlconn: field index " + std::to_string(i) + " out of range");
  return row[i];
}

int Query::FieldIndex(std::string_view name) const noexcept {
  for (std::size_t i = 0; i < result_.names.size(); ++i)
    if (EqualsIgnoreCase(result_.names[i], name)) return static_cast<int>(i);
  return -1;
}

const Value& Query::FieldByName(std::string_view name) const {
  const int idx = FieldIndex(name);
  if (idx < 0) throw SqlError("ov_sqlconn: field not found: " + std::string(name));
  return Field(static_cast<std::size_t>(idx));
}

}  // namespace ov::sql
