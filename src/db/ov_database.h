// The server's one database object (global DB): the write connection behind a re-entrant
// write lock, a pool of read connections, batches, GUID lookups and log storage.
//
// Calling convention:
//   write:  auto q = db->NewQuery();  q.SetSQL(...); q.Param(...); q.ExecSQL(); db->Commit();
//           (q's destructor is FreeQuery: it rolls back what was not committed and leaves the
//           write lock; a query must be freed on the thread that made it)
//   units:  TOVDBLockGuard g(*db);  ...several write queries...
//   read:   auto r = db->NewReadQuery();  r.SetSQL(...); r.Open(); while (!r.Eof()) {...; r.Next();}
//           (NewReadQuery(TDBAReadKind::Long) for a read that runs for the length of a table:
//           see dbapi_pool.h for why the two kinds are told apart)
//   request: TOVReadScope s(*db);  ...any number of read queries...
//           (they share one read connection, borrowed at the first of them: one wait)
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <stop_token>
#include <string_view>
#include <thread>
#include <vector>

#include "dbapi_consts.h"
#include "dbapi_pool.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"
#include "ov_sqlconn.h"

namespace ov {

class IDBADialect;
class TDBAPool;
class TOVDatabase;

// The database write lock: re-entrant, and it counts how often its holder has entered it, so
// that the start of a unit of work (the first entry) can be told from a query inside one.
class CAPABILITY("mutex") TOVWriteLock {
 public:
  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    lock_.lock();
    Entered();
  }
  bool try_lock() TRY_ACQUIRE(true) NO_THREAD_SAFETY_ANALYSIS {
    if (!lock_.try_lock()) return false;
    Entered();
    return true;
  }
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    if (--depth_ == 0) owner_.store(std::thread::id());
    lock_.unlock();
  }
  void AssertHeld() const ASSERT_CAPABILITY(this) { lock_.AssertHeld(); }
  // For the holder: how many times it has entered the lock.
  int Depth() const noexcept { return depth_; }
  // From any thread: whether the calling thread holds the lock.
  bool HeldByMe() const noexcept { return owner_.load() == std::this_thread::get_id(); }

 private:
  void Entered() noexcept {
    if (depth_++ == 0) owner_.store(std::this_thread::get_id());
  }
  TOVRecursiveLock lock_{LockLevel::DatabaseWrite};
  int depth_ = 0;  // changed and read by the holder only
  std::atomic<std::thread::id> owner_{};
};

inline constexpr int OV_READ_POOL_SIZE = 8;
// How many of the read connections long reads may hold together; the others stay for short
// reads.  Six: as many scans at once as a database server on a few processors gets through
// faster together (fewer cost MariaDB a quarter of its search rate on a large board), and two
// connections for logins, lookups, the status and health probes, which hold one for a
// millisecond, however many searches queue.
inline constexpr int OV_READ_POOL_LONG_SHARE = 6;

// How the database object lends its read connections and tries a server that cannot be
// reached (tests shorten the waits and bring a clock of their own).
struct TOVDatabaseOptions {
  TDBAPoolTimings pool_timings{};
  int read_pool_size = OV_READ_POOL_SIZE;
  int long_share = OV_READ_POOL_LONG_SHARE;
  TDBAReachTimings reach_timings{};
  const TOVClock* clock = nullptr;  // null: the system's
  // Once the server stops (BeginStop), a call that still waits on the database server after this
  // long is cut, and every call that waits on it at once while it does not answer.
  std::chrono::milliseconds stop_grace{500};
  // A statement asked to stop then (it may be one the server works on) is cut if the request has
  // not reached the server this much later (twice that when it has).
  std::chrono::milliseconds stop_cancel_grace{1500};
  // How often the stop looks at what waits.
  std::chrono::milliseconds stop_poll{50};
  // How long a health check waits for a read connection when all are busy.
  std::chrono::milliseconds health_slot_wait{500};
  // A health check that ended this recently answers the next callers at once.
  std::chrono::milliseconds health_fresh{50};
};
inline constexpr int OV_SCHEMA_VERSION = 3;

// Shared by write and read queries: parameter setters and typed field getters.
class TOVQueryBase {
 public:
  TOVQueryBase(const TOVQueryBase&) = delete;
  TOVQueryBase& operator=(const TOVQueryBase&) = delete;

  void SetSQL(std::string sql);
  const std::string& SQL() const;
  TOVQueryBase& Param(std::string_view name, std::int64_t v);
  TOVQueryBase& Param(std::string_view name, int v) { return Param(name, static_cast<std::int64_t>(v)); }
  TOVQueryBase& Param(std::string_view name, double v);
  TOVQueryBase& Param(std::string_view name, bool v);
  TOVQueryBase& Param(std::string_view name, std::string_view v);
  TOVQueryBase& Param(std::string_view name, const char* v) { return Param(name, std::string_view(v)); }
  TOVQueryBase& Param(std::string_view name, const std::string& v) { return Param(name, std::string_view(v)); }
  TOVQueryBase& ParamNull(std::string_view name);
  TOVQueryBase& ParamValue(std::string_view name, sql::Value v);
  // Binds a JSON array as :p1, :p2, ... (numbers by kind, arrays/objects as spaced JSON text).
  void BindJSONParams(const TJSON& params);

  std::int64_t ExecSQL();  // affected rows
  void Open();
  bool Eof() const;
  void Next();
  void Close();
  std::size_t FieldCount() const;
  const std::string& FieldName(std::size_t i) const;
  const sql::Value& Field(std::size_t i) const;
  const sql::Value& Field(std::string_view name) const;  // throws sql::SqlError when absent
  bool IsNull(std::string_view name) const { return Field(name).IsNull(); }
  std::string Str(std::string_view name) const { return Field(name).AsText(); }
  std::int64_t Int(std::string_view name, std::int64_t def = 0) const { return Field(name).AsInt64(def); }
  double Dbl(std::string_view name, double def = 0) const { return Field(name).AsDouble(def); }
  bool Bool(std::string_view name, bool def = false) const { return Field(name).AsBool(def); }
  // The current row as a JSON object: NULL as null, integers 64-bit, Booleans, doubles, text.
  TJSON RowJSON() const;
  std::int64_t RowsAffected() const;
  std::int64_t LastInsertId() const;
  sql::Query& Raw() { return *q_; }

 protected:
  TOVQueryBase() = default;
  ~TOVQueryBase();
  TOVQueryBase(TOVQueryBase&&) noexcept = default;
  std::unique_ptr<sql::Query> q_;
  TOVDatabase* db_ = nullptr;
};

// A query on the write connection; holds the write lock until freed.
class TOVWriteQuery : public TOVQueryBase {
 public:
  TOVWriteQuery(TOVWriteQuery&& o) noexcept;
  TOVWriteQuery& operator=(TOVWriteQuery&&) = delete;
  ~TOVWriteQuery();
  // FreeQuery: rolls back an uncommitted transaction (outside a batch) and leaves the lock.
  void Free() noexcept;

 private:
  friend class TOVDatabase;
  // Enters the write lock and keeps it past the constructor, until Free: beyond the analysis.
  explicit TOVWriteQuery(TOVDatabase& db) NO_THREAD_SAFETY_ANALYSIS;
  bool held_ = false;
};

// A query on one read connection of the pool; the slot is given back when freed, unless
// another read query of the same thread or a TOVReadScope still uses it.  A read query is
// made, used and freed on one thread.
class TOVReadQuery : public TOVQueryBase {
 public:
  TOVReadQuery(TOVReadQuery&& o) noexcept;
  TOVReadQuery& operator=(TOVReadQuery&&) = delete;
  ~TOVReadQuery();
  void Free() noexcept;
  int Slot() const noexcept { return slot_; }
  // The read connection this query runs on (for connection-level guards such as an
  // authorizer on SQLite).
  sql::Connection& Connection() const noexcept { return *conn_; }

 private:
  friend class TOVDatabase;
  TOVReadQuery(TOVDatabase& db, int slot, sql::Connection& conn, sql::Transaction* tx, bool leased);
  int slot_ = -1;
  TOVDatabase* owner_ = nullptr;
  sql::Connection* conn_ = nullptr;
  bool leased_ = false;  // on the thread's read connection (else on a slot of its own)
  const void* thread_lease_ = nullptr;  // the making thread's (checked in debug builds)
};

class TOVDatabase {
 public:
  // Opens the configured database, declares the schema, seeds, checks the version and opens
  // the read pool.  Throws on any failure (nothing is left open).
  explicit TOVDatabase(const std::string& db_file, TOVDatabaseOptions options = {});
  ~TOVDatabase();
  TOVDatabase(const TOVDatabase&) = delete;
  TOVDatabase& operator=(const TOVDatabase&) = delete;

  std::shared_ptr<IDBADialect> Dialect() const noexcept { return dialect_; }
  TDBABackend Backend() const noexcept { return backend_; }
  const std::string& DBFile() const noexcept { return db_file_; }

  // SQL words of the active dialect (no lock needed).
  std::string QuoteIdent(std::string_view name) const;
  std::string NowExpr() const;
  std::string DateAddExpr(int amount, TDBADateUnit unit) const;

  // The write lock, for a unit of several write queries (TOVDBLockGuard).  Taken by a thread
  // that does not hold it yet, it starts a unit of work: a write connection that the server has
  // closed since the last unit, or that a failure left lost, is opened again first (see
  // ReviveWriteConnection).  While the server is down, a writer whose turn it is not to try it
  // again finds the connection closed at once (see dbapi_reach.h); one that would wait for the
  // lock while the server does not answer fails at once ("Database unavailable: <why>").
  void Lock() ACQUIRE(lock_);
  void Unlock() RELEASE(lock_);
  // Takes the write lock as Lock does (again, on a thread that holds it) until the query is
  // freed.
  TOVWriteQuery NewQuery();
  void Commit();
  // Runs text directly on the write connection and commits (inside a batch: the batch commits).
  void ExecSQL(const std::string& sql);
  // The id generated by the last insert that this thread ran through a write query.
  std::int64_t GetLastInsertID() const noexcept;
  bool TableExists(const std::string& name);

  // A batch holds the write lock from BeginBatch until its CommitBatch (one level) or
  // RollbackBatch (every level): the lock is entered once per level, which the analysis cannot
  // follow, so these are left unannotated.
  void BeginBatch() NO_THREAD_SAFETY_ANALYSIS;
  void CommitBatch() NO_THREAD_SAFETY_ANALYSIS;
  void RollbackBatch() NO_THREAD_SAFETY_ANALYSIS;
  // Takes the write lock: the depth of a batch means something only to its own thread.
  int BatchDepth() const;

  // A query on a read connection.  A thread that already has one (a read query not yet freed,
  // or a TOVReadScope that borrowed one) gets that connection again without waiting; otherwise
  // it borrows one as AKind (dbapi_pool.h), waiting at most AWait (default: the pool's bound
  // for the kind).  A short connection of the thread that no query uses now is exchanged for a
  // long one when a long read is asked for.  Not served in time: EDBAPoolExhausted.
  TOVReadQuery NewReadQuery(TDBAReadKind AKind = TDBAReadKind::Short,
                            std::optional<std::chrono::milliseconds> AWait = std::nullopt);
  // The read pool, for monitors (counts, DownReason).
  const TDBAPool& ReadPool() const noexcept { return *pool_; }

  std::string LookupGUID(const std::string& table, std::int64_t id);
  std::int64_t LookupIDByGUID(const std::string& table, const std::string& guid);

  // Stores one system_logs row; never throws.  Bytes that are not text (invalid UTF-8, NUL) are
  // stored as U+FFFD, which every backend accepts.
  void WriteLog(const std::string& level, const std::string& source, const std::string& category,
                const std::string& message, const std::string& details = {}) noexcept;
  // Stores many rows in one transaction (the log sink's batches); never throws; returns the
  // number stored.  When the batch fails, the rows are stored one by one so that a row the
  // database refuses costs only itself (not when the database is gone or locked).
  struct LogRow {
    std::string level, source, category, message, details;
  };
  std::size_t WriteLogBatch(const std::vector<LogRow>& rows) noexcept;

  // For monitors, from any thread: "" when the write connection can be used, otherwise why not
  // (the driver's reason).  When no writer holds the write lock it checks the connection as
  // the next writer would, and opens it again when it was lost; while one does, it answers
  // what the last check found, without waiting.
  std::string WriteConnectionProblem() noexcept EXCLUDES(status_lock_);

  // For a health check, from any thread: "" when the database answers (a read connection's
  // probe, "SELECT 1", and the write connection as the next writer would find it), otherwise why
  // not.  The check runs on a thread of the database's own and is waited for at most AWait, so
  // that a server that leaves it unanswered (a partition) costs the caller AWait, never the
  // connect or TCP time-outs: "no answer from the database within N ms".  Callers that come
  // while a check runs, or within health_fresh of its end, take its answer.  A pool whose connections are all busy for
  // health_slot_wait does not make the database unhealthy unless the pool knows why (see
  // TDBAPool::DownReason).  While calls wait on a server that does not answer, no check is made;
  // a server found down is checked (the check may make the attempt due that finds it back).
  std::string HealthProblem(std::chrono::milliseconds AWait) noexcept EXCLUDES(health_lock_);

  // From any thread, without the write lock (the statement to stop may hold it): interrupts the
  // statements running now on the write connection and on lent read connections, so that their
  // threads end at shutdown (sql::Connection::Interrupt; they fail with the driver's error).
  // The log sink's own writes are spared: their lines would be lost.  While the server does
  // not answer, nothing is sent to it (a cancel request would wait on it too): BeginStop's cuts
  // end those statements.
  void InterruptStatements() noexcept;

  // From any thread, once, when the server process begins to stop: no connection to the
  // database server is opened from now on (a request that needs one fails at once, "Database
  // unavailable: the server is stopping"), and a thread of the database's own cuts every call
  // that waits on the server (a statement, a probe, a connect; sql::Connection::Cut): at once
  // while the server does not answer (down, or an attempt or a probe unanswered), otherwise
  // once it has waited stop_grace since it began or since the stop began; a statement is first
  // asked to stop (as InterruptStatements does) and cut if that request cannot reach the server
  // within stop_cancel_grace, or the statement still runs twice that later.  So a stop is never held up by a database server that does not answer, and a request
  // cut short answers 503, never success.  Nothing on SQLite.  Ends with the database object.
  void BeginStop() noexcept;

  int GetDBSchemaVersion();
  void SetDBSchemaVersion(int v);
  void CheckSchemaVersion();
  void MigrateSchema(int from, int to);
  void MigrateAddGUIDColumn(const std::string& table);

  // The write connection and transaction, for code that holds the write lock (a TOVDBLockGuard
  // or a live TOVWriteQuery; the latter is beyond the analysis, so this is checked only by
  // AssertHeld in builds with OV_LOCK_ORDER_CHECKS).
  sql::Connection& Connection();
  sql::Transaction& Transaction();

 private:
  friend class TOVQueryBase;
  friend class TOVWriteQuery;
  friend class TOVDBLockGuard;
  friend class TOVReadQuery;
  friend class TOVReadScope;

  void InitDialect(const std::string& db_file);
  std::shared_ptr<IDBADialect> MakeReadDialect();
  void CreateSystemConfig();
  void SeedACLData();
  void SeedSchedulerTasks();
  void AfterWrite(const sql::Query& q);
  // At the start of a unit of work (the lock taken once, no batch open), on a PostgreSQL or
  // MariaDB connection: when the server has ended the session (a restart, a fail-over, a
  // kill) or a statement lost it, the session is opened again, with the set-up every session
  // gets, before the writer uses it.  Never inside a unit: a transaction that the loss cut
  // short fails with its error and nothing of it runs again on the new session.  The attempt
  // is the reachability record's to allow (shared with the read pool, dbapi_reach.h): while
  // the server is down, a writer whose turn it is not makes none and does not wait for one
  // (it holds the write lock).  A connection that could not be opened stays closed, and its
  // statements answer "Database unavailable: <reason>".
  void ReviveWriteConnection() noexcept REQUIRES(lock_);
  void SetWriteProblem(const std::string& problem) noexcept EXCLUDES(status_lock_);
  // The health checks' thread: a check each time one is asked for, until the object goes.
  void CheckHealthWhenAsked() noexcept EXCLUDES(health_lock_);
  std::string CheckHealth() noexcept;
  // The stop's cutting thread: every stop_poll, CutWaitingCalls until the object goes.
  void CutWhileStopping(std::stop_token AStop, std::chrono::steady_clock::time_point ABegan) noexcept;
  // A call (its connection and since when it waits) whose statement was asked to stop: when, and
  // whether the request reached the server (set by the thread that sends it).
  static constexpr int kCancelPending = 0, kCancelTaken = 1, kCancelLost = 2;
  struct StopCancel {
    std::chrono::steady_clock::time_point asked;
    std::shared_ptr<std::atomic<int>> outcome;
  };
  using StopCancels =
      std::map<std::pair<const sql::Connection*, std::chrono::steady_clock::time_point>, StopCancel>;
  void CutWaitingCalls(std::chrono::steady_clock::time_point ABegan, StopCancels& ACancels) noexcept;
  void RollbackIfActive() noexcept REQUIRES(lock_);
  // What a failed statement of a write query leaves: outside a batch its unit of work is undone.
  void RollbackUnlessBatch() noexcept REQUIRES(lock_);
  // A read query or scope of this thread is done with the thread's read connection: it goes
  // back to the pool when nothing of the thread uses it any more.
  void LeaveReadLease(bool query) noexcept;
  // Before this thread takes the write lock, with a read connection it holds but uses for no
  // query now: when the lock is free the connection's snapshot ends (so that the thread's next
  // read sees what it is about to write); when the thread would have to wait, the connection
  // goes back to the pool first, so that no thread ever waits for the writer with a read
  // connection idle in its hands (a long write would otherwise take the read pool with it).
  void LockWithIdleReadLease() ACQUIRE(lock_);
  // Before a writer waits for the write lock: while the server is known not to answer (down, or
  // a call unanswered past its bound), throws "Database unavailable: <why>" instead, as a reader
  // that would wait for a read connection fails at once.
  void RefuseToWaitOnUnansweredServer() const;
  bool HasIdleReadLease() const noexcept;
  void DropIdleReadLease(bool keep_connection) noexcept;

  // ---- Constant after construction ----
  // The dialect's write connection and transaction are used only under lock_; its SQL words
  // (QuoteIdent, NowExpr, ...) and hooks by anyone.
  const std::string db_file_;
  const TOVDatabaseOptions options_;
  TDBABackend backend_ = dbSQLite;
  std::shared_ptr<IDBADialect> dialect_;
  std::shared_ptr<TDBAReachability> reach_;  // the server's, shared with the pool
  std::unique_ptr<TDBAPool> pool_;

  // ---- Guarded by lock_ (the re-entrant write lock) ----
  mutable TOVWriteLock lock_;
  int batch_depth_ GUARDED_BY(lock_) = 0;
  bool write_lost_ GUARDED_BY(lock_) = false;  // lost and not yet opened again

  // ---- Guarded by status_lock_ (a leaf) ----
  TOVLock status_lock_{LockLevel::Leaf};
  std::string write_problem_ GUARDED_BY(status_lock_);  // see WriteConnectionProblem

  // ---- Guarded by health_lock_ (a leaf): the health checks asked for and made ----
  TOVLock health_lock_{LockLevel::Leaf};
  std::condition_variable_any health_cv_;
  bool health_asked_ GUARDED_BY(health_lock_) = false;    // a caller waits for the next check
  bool health_running_ GUARDED_BY(health_lock_) = false;  // a check is under way
  std::uint64_t health_checks_ GUARDED_BY(health_lock_) = 0;  // checks ended so far
  std::string health_result_ GUARDED_BY(health_lock_);    // the last one's
  std::chrono::steady_clock::time_point health_ended_ GUARDED_BY(health_lock_){};
  bool health_stop_ GUARDED_BY(health_lock_) = false;
  std::thread health_thread_;  // started by the first check, under health_lock_

  // ---- The stop's cutting thread: started once by BeginStop, joined by the destructor ----
  std::once_flag stop_once_;
  std::jthread stop_cutter_;

  // ---- Guarded by interrupt_lock_ (a leaf) ----
  // Set while WriteLogBatch holds the write lock; read by InterruptStatements, so a log write
  // never starts between its check and its interrupt.
  TOVLock interrupt_lock_{LockLevel::Leaf};
  bool storing_log_ GUARDED_BY(interrupt_lock_) = false;
};

// For a scope (an API request): the read queries of this thread share one read connection,
// borrowed at the first of them and given back when the scope ends, so that a request waits
// for a read connection once however many statements it reads.  The connection goes back
// early while no query uses it and the thread has to wait for the write lock.  Made and ended
// on one thread; scopes nest.  Borrows nothing by itself.
class TOVReadScope {
 public:
  explicit TOVReadScope(TOVDatabase& db) noexcept;
  ~TOVReadScope();
  TOVReadScope(const TOVReadScope&) = delete;
  TOVReadScope& operator=(const TOVReadScope&) = delete;

 private:
  TOVDatabase* db_ = nullptr;  // null when the thread's reads belong to another database object
};

// Holds the write lock for a scope.
class SCOPED_CAPABILITY TOVDBLockGuard {
 public:
  explicit TOVDBLockGuard(TOVDatabase& db) ACQUIRE(db.lock_) : db_(db) { db_.Lock(); }
  ~TOVDBLockGuard() RELEASE() { db_.Unlock(); }
  TOVDBLockGuard(const TOVDBLockGuard&) = delete;
  TOVDBLockGuard& operator=(const TOVDBLockGuard&) = delete;

 private:
  TOVDatabase& db_;
};

extern TOVService<TOVDatabase> DB;

// The database, for code that cannot work without it; throws ServiceUnavailable("Database not
// available") when it is absent (a REST handler then answers 500).
TOVService<TOVDatabase>::Ref RequireDB();

// ---- failures for want of the database ----

// The database could not be reached for e: no connection could be had (EDBAPoolDead, or a
// statement on a connection that could not be opened: "Database unavailable: <reason>"), or the
// connection was lost under the statement.  Such a failure is the state of a dependency, not a
// fault of the caller or of the server: it answers 503 (and tells the client to try again).
bool IsDatabaseUnavailable(const std::exception& e) noexcept;
// The database is known to be down now, or not to answer (a call waits on it past its bound:
// a network partition); see TDBAPool::NotAnsweringNow.
bool DatabaseDown() noexcept;
// e is IsDatabaseUnavailable and the database is known to be down now: the outage's own lines
// (dbapi_reach.h) tell it once, remind once a minute and say when it is back, so a failure for
// that reason alone (a scheduled task, a hub client refused) adds no line of its own.
bool FailedForOutage(const std::exception& e) noexcept;

// ---- rows as JSON ----

// A row of a result as one JSON item.
using TOVRowToJSON = std::function<TJSON(const TOVQueryBase&)>;
// Opens q (its statement set and bound) and collects one item per row; q is closed again.
TJSON CollectRows(TOVQueryBase& q, const TOVRowToJSON& row);
// An unparameterised list statement on a read connection of DB, one item per row.
TJSON ReadList(const std::string& sql, const TOVRowToJSON& row, TDBAReadKind kind = TDBAReadKind::Short);

}  // namespace ov
