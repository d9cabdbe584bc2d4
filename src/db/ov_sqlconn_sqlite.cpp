// SQLite connection of the SQL connection layer.
#include "ov_sqlconn_sqlite.h"

#include <sqlite3.h>

#include <cstring>
#include <limits>

#include "ov_memory.h"

namespace ov::sql {

namespace {

// Kind refinement from the declared column type (the storage class decides first).
enum class Decl : std::uint8_t { None, Bool, DateTime, Date, Time };

Decl DeclOf(const char* decltype_text) {
  if (!decltype_text) return Decl::None;
  const std::string t = ToUpperAscii(decltype_text);
  if (t.find("BOOL") != std::string::npos) return Decl::Bool;
  if (t.find("DATETIME") != std::string::npos || t.find("TIMESTAMP") != std::string::npos) return Decl::DateTime;
  if (t == "DATE") return Decl::Date;
  if (t == "TIME") return Decl::Time;
  return Decl::None;
}

bool OnlyBlanksAndComments(const char* p) {
  while (*p) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v' || *p == ';') {
      ++p;
    } else if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      const char* e = std::strstr(p + 2, "*/");
      if (!e) return true;  // an unterminated comment runs to the end
      p = e + 2;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

SqliteConnection::SqliteConnection(ConnectOptions opts) : Connection(std::move(opts)) {}

SqliteConnection::~SqliteConnection() { Close(); }

void SqliteConnection::ThrowError(int rc) const {
  const int ext = db_ ? sqlite3_extended_errcode(db_) : rc;
  const std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  const bool unique = ext == SQLITE_CONSTRAINT_UNIQUE || ext == SQLITE_CONSTRAINT_PRIMARYKEY ||
                      ext == SQLITE_CONSTRAINT_ROWID;
  throw SqlError(msg, std::to_string(ext), unique, false);
}

void SqliteConnection::Open() {
  if (db_) return;
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(opts_.database.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw SqlError(msg + ": " + opts_.database, std::to_string(rc));
  }
  {
    TOVLockGuard g(handle_lock_);
    db_ = db;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, opts_.busy_timeout_ms > 0 ? opts_.busy_timeout_ms : 0);
  sqlite3_progress_handler(
      db_, 1000,
      [](void* self) -> int {
        return static_cast<SqliteConnection*>(self)->interrupt_pending_.load(std::memory_order_relaxed) ? 1 : 0;
      },
      this);
  ApplyPragmas();
}

std::string SqliteConnection::RawQuery(const char* sql, int* rc_out) {
  interrupt_pending_.store(false);
  sqlite3_stmt* st = nullptr;
  std::string first;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &st, nullptr);
  if (rc == SQLITE_OK && st) {
    rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(st, 0);
      if (t) first = reinterpret_cast<const char*>(t);
      while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      }
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc != SQLITE_OK && rc_out) first = sqlite3_errmsg(db_);
  sqlite3_finalize(st);
  if (rc_out) *rc_out = rc;
  return first;
}

// Runs on the fresh handle, before any statement could open a transaction: inside one,
// journal_mode and synchronous fail and foreign_keys is silently ignored.
void SqliteConnection::ApplyPragmas() {
  setup_problems_.clear();
  auto note = [this](const std::string& p) {
    if (!setup_problems_.empty()) setup_problems_ += "; ";
    setup_problems_ += p;
  };
  int rc = 0;
  const std::string mode = ToLowerAscii(RawQuery("PRAGMA journal_mode=WAL", &rc));
  const char* file = sqlite3_db_filename(db_, "main");
  const bool on_disk = file && *file;  // "" for :memory: and temporary databases
  if (rc != SQLITE_OK)
    note("journal_mode=WAL failed: " + mode);
  else if (on_disk && mode != "wal")
    note("journal_mode answered '" + mode + "', expected 'wal'");

  // Set, then read back: SQLite ignores some settings silently (foreign_keys inside a
  // transaction).  The page cache is the connection's share of the server's memory budget.
  struct Setting {
    const char* name;
    std::string value;
    std::string answer;  // what reading it back must say
  };
  const Setting settings[] = {
      {"synchronous", "NORMAL", "1"},
      {"foreign_keys", "ON", "1"},
      {"cache_size", std::to_string(-kSQLiteCacheKiB), std::to_string(-kSQLiteCacheKiB)},
  };
  for (const Setting& s : settings) {
    RawQuery(("PRAGMA " + std::string(s.name) + "=" + s.value).c_str(), &rc);
    if (rc != SQLITE_OK) {
      note(std::string(s.name) + "=" + s.value + " failed: " + sqlite3_errmsg(db_));
      continue;
    }
    const std::string got = RawQuery(("PRAGMA " + std::string(s.name)).c_str(), &rc);
    if (rc != SQLITE_OK || got != s.answer)
      note(std::string(s.name) + " answered '" + got + "', expected " + s.answer + " (" + s.value + ")");
  }
}

void SqliteConnection::ClearStatementCache() noexcept {
  for (auto& [sql, c] : cache_) sqlite3_finalize(c.stmt);
  last_ = nullptr;
  cache_.clear();
  sqlite3_finalize(ping_);
  ping_ = nullptr;
}

void SqliteConnection::Close() noexcept {
  if (!db_) return;
  ClearStatementCache();
  TOVLockGuard g(handle_lock_);
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool SqliteConnection::InterruptRunning() noexcept {
  TOVLockGuard g(handle_lock_);
  interrupt_pending_.store(true);
  if (db_) sqlite3_interrupt(db_);
  return true;
}

// The pool checks every connection it lends this way, so the statement is kept prepared: a
// fresh prepare each time was most of what a /health probe cost.  It is its own statement, not
// the cached "SELECT 1" a caller may run, so the check never stands in for the caller's query.
bool SqliteConnection::Ping() noexcept {
  if (!db_) return false;
  interrupt_pending_.store(false);
  if (!ping_ && sqlite3_prepare_v3(db_, "SELECT 1", -1, SQLITE_PREPARE_PERSISTENT, &ping_, nullptr) !=
                    SQLITE_OK) {
    sqlite3_finalize(ping_);
    ping_ = nullptr;
    return false;
  }
  const int rc = sqlite3_step(ping_);
  sqlite3_reset(ping_);
  return rc == SQLITE_ROW;
}

std::string SqliteConnection::NativePlaceholder(int) const { return "?"; }

bool SqliteConnection::InTransaction() const noexcept { return db_ && sqlite3_get_autocommit(db_) == 0; }

SqliteConnection::Cached& SqliteConnection::Prepare(std::string_view native_sql) {
  if (last_ && last_->first == native_sql) return last_->second;
  auto it = cache_.find(native_sql);  // heterogeneous lookup: no key copy on a hit
  if (it != cache_.end()) {
    last_ = &*it;
    return it->second;
  }

  if (native_sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw SqlError("ov_sqlconn: statement text too long");
  sqlite3_stmt* st = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v3(db_, native_sql.data(), static_cast<int>(native_sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &st, &tail);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(st);
    ThrowError(rc);
  }
  // One statement per call: whatever follows the first statement must be blanks, comments or
  // empty statements.  The rest is checked with SQLite's own tokenizer.
  std::string rest = tail ? std::string(tail, native_sql.data() + native_sql.size()) : std::string();
  if (!OnlyBlanksAndComments(rest.c_str())) {
    const char* p = rest.c_str();
    bool more = false;
    while (*p) {
      sqlite3_stmt* extra = nullptr;
      const char* t2 = nullptr;
      const int rc2 = sqlite3_prepare_v2(db_, p, -1, &extra, &t2);
      if (rc2 != SQLITE_OK || extra) {
        sqlite3_finalize(extra);
        more = true;
        break;
      }
      if (!t2 || t2 == p) break;
      p = t2;
    }
    if (more) {
      sqlite3_finalize(st);
      throw SqlError("ov_sqlconn: only one statement per call; text follows the first statement");
    }
  }
  if (!st) {  // blank text or only comments
    throw SqlError("ov_sqlconn: empty statement");
  }
  if (cache_.size() >= kMaxCachedStatements) ClearStatementCache();
  Cached c;
  c.stmt = st;
  c.readonly = sqlite3_stmt_readonly(st) != 0;
  last_ = &*cache_.emplace(std::string(native_sql), c).first;
  return last_->second;
}

ResultSet SqliteConnection::Run(std::string_view native_sql, const std::vector<Value>& params) {
  if (!db_) throw SqlError("ov_sqlconn: SQLite connection is not open", "", false, true);
  interrupt_pending_.store(false);
  const RunningScope running(*this);
  struct PendingReset {
    std::atomic<bool>& flag;
    ~PendingReset() { flag.store(false); }
  } pending_reset{interrupt_pending_};
  Cached& c = Prepare(native_sql);
  sqlite3_stmt* st = c.stmt;

  // The bindings are left in place: every parameter is bound again below before the statement
  // can step, so clearing them after each run would be wasted work.
  struct ResetGuard {
    sqlite3_stmt* st;
    ~ResetGuard() { sqlite3_reset(st); }
  } guard{st};

  const int nparams = sqlite3_bind_parameter_count(st);
  if (static_cast<std::size_t>(nparams) != params.size())
    throw SqlError("ov_sqlconn: statement has " + std::to_string(nparams) + " parameter(s), " +
                   std::to_string(params.size()) + " given");
  for (int k = 0; k < nparams; ++k) {
    const Value& v = params[static_cast<std::size_t>(k)];
    int rc = SQLITE_OK;
    const int idx = k + 1;
    switch (v.kind) {
      case FieldKind::Null:
        rc = sqlite3_bind_null(st, idx);
        break;
      case FieldKind::Int64:
        rc = sqlite3_bind_int64(st, idx, v.i);
        break;
      case FieldKind::Bool:
        rc = sqlite3_bind_int(st, idx, v.b ? 1 : 0);
        break;
      case FieldKind::Double:
        rc = sqlite3_bind_double(st, idx, v.d);
        break;
      case FieldKind::Blob:
        if (v.s.empty())
          rc = sqlite3_bind_zeroblob(st, idx, 0);
        else
          rc = sqlite3_bind_blob64(st, idx, v.s.data(), v.s.size(), SQLITE_STATIC);
        break;
      default:
        rc = sqlite3_bind_text64(st, idx, v.s.data(), v.s.size(), SQLITE_STATIC, SQLITE_UTF8);
        break;
    }
    if (rc != SQLITE_OK) ThrowError(rc);
  }

  ResultSet rs;
  const int cols = sqlite3_column_count(st);
  rs.has_rows = cols > 0;
  std::vector<Decl> decl;
  if (cols > 0) {
    rs.names.reserve(static_cast<std::size_t>(cols));
    decl.reserve(static_cast<std::size_t>(cols));
    for (int k = 0; k < cols; ++k) {
      const char* name = sqlite3_column_name(st, k);
      rs.names.emplace_back(name ? name : "");
      decl.push_back(DeclOf(sqlite3_column_decltype(st, k)));
    }
  }

  // The id of this statement's insert: cleared before, read after, the old value put back when
  // the statement inserted nothing (so last_insert_rowid() keeps SQLite's own meaning).
  const bool writes = !c.readonly;
  sqlite3_int64 prev_rowid = 0;
  sqlite3_int64 prev_total = 0;
  if (writes) {
    prev_rowid = sqlite3_last_insert_rowid(db_);
    prev_total = sqlite3_total_changes64(db_);
    sqlite3_set_last_insert_rowid(db_, 0);
  }

  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::vector<Value> row(static_cast<std::size_t>(cols));
    for (int k = 0; k < cols; ++k) {
      Value& v = row[static_cast<std::size_t>(k)];
      switch (sqlite3_column_type(st, k)) {
        case SQLITE_INTEGER:
          if (decl[static_cast<std::size_t>(k)] == Decl::Bool) {
            v.kind = FieldKind::Bool;
            v.b = sqlite3_column_int64(st, k) != 0;
          } else {
            v.kind = FieldKind::Int64;
            v.i = sqlite3_column_int64(st, k);
          }
          break;
        case SQLITE_FLOAT:
          v.kind = FieldKind::Double;
          v.d = sqlite3_column_double(st, k);
          break;
        case SQLITE_TEXT: {
          const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, k));
          const int len = sqlite3_column_bytes(st, k);
          v.s.assign(t ? t : "", static_cast<std::size_t>(len));
          switch (decl[static_cast<std::size_t>(k)]) {
            case Decl::DateTime: v.kind = FieldKind::DateTime; break;
            case Decl::Date: v.kind = FieldKind::Date; break;
            case Decl::Time: v.kind = FieldKind::Time; break;
            default: v.kind = FieldKind::Text; break;
          }
          break;
        }
        case SQLITE_BLOB: {
          const void* b = sqlite3_column_blob(st, k);
          const int len = sqlite3_column_bytes(st, k);
          v.kind = FieldKind::Blob;
          if (b && len > 0) v.s.assign(static_cast<const char*>(b), static_cast<std::size_t>(len));
          break;
        }
        default:
          break;  // NULL
      }
    }
    rs.rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    if (writes && sqlite3_last_insert_rowid(db_) == 0) sqlite3_set_last_insert_rowid(db_, prev_rowid);
    ThrowError(rc);
  }
  if (writes) {
    const sqlite3_int64 id = sqlite3_last_insert_rowid(db_);
    if (id == 0) sqlite3_set_last_insert_rowid(db_, prev_rowid);
    rs.last_insert_id = id;
    // changes() only moves for INSERT/UPDATE/DELETE; a DDL statement changes no rows.
    rs.affected = sqlite3_total_changes64(db_) != prev_total ? sqlite3_changes64(db_) : 0;
  }
  return rs;
}

void SqliteConnection::Begin() { Run("BEGIN", {}); }

void SqliteConnection::Commit() { Run("COMMIT", {}); }

void SqliteConnection::Rollback() {
  if (!InTransaction()) return;  // SQLite may already have rolled back after an error
  Run("ROLLBACK", {});
}

std::unique_ptr<Connection> CreateSqliteConnection(ConnectOptions opts) {
  return std::make_unique<SqliteConnection>(std::move(opts));
}

}  // namespace ov::sql
