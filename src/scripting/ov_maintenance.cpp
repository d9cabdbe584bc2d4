#include "ov_maintenance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <stdexcept>
#include <system_error>

#include "dbapi_dialect.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_log.h"
#include "ov_plugin_updates.h"
#include "ov_process.h"
#include "orvanta/plugin_abi.h"

namespace ov {

namespace {

// ---- deletions ------------------------------------------------------------------------------
//
// A deletion of half a million log lines in one statement held the write lock for seconds (every
// login, every log line waited) and left the pages it changed in a WAL file of a hundred
// megabytes until the next checkpoint.  The tasks delete in batches instead, each its own
// transaction, with the write lock free between them, and then give the WAL back.

using TBinds = std::vector<std::pair<std::string, std::string>>;

// One batch, in the statement each database takes: SQLite and PostgreSQL pick the batch's rows
// by their physical row ids (every table has one, whatever its key, also a plug-in's), MariaDB
// limits the DELETE itself.
std::string BatchDeleteSQL(TDBABackend backend, const std::string& table, const std::string& condition) {
  switch (backend) {
    case dbMariaDB:
      return "DELETE FROM " + table + " WHERE " + condition + " LIMIT :ov_batch";
    case dbPostgres:
      return "DELETE FROM " + table + " WHERE ctid = ANY(ARRAY(SELECT ctid FROM " + table + " WHERE " + condition +
             " LIMIT :ov_batch))";
    default:
      return "DELETE FROM " + table + " WHERE rowid IN (SELECT rowid FROM " + table + " WHERE " + condition +
             " LIMIT :ov_batch)";
  }
}

// Waits d, or less when stop is requested meanwhile.
void PauseUnlessStopped(std::chrono::milliseconds d, const std::stop_token& stop) {
  TOVLock m{LockLevel::Leaf};
  std::condition_variable_any cv;
  TOVUniqueLock lk(m);
  cv.wait_for(lk, stop, d, [] { return false; });
}

// Now minus amount units, as the database writes it, read once: every batch of a deletion then
// deletes against the same moment, as the single statement did.
std::string CutOff(TOVDatabase& db, int amount, TDBADateUnit unit) {
  auto q = db.NewReadQuery();
  q.SetSQL("SELECT CAST(" + db.DateAddExpr(-amount, unit) + " AS " + (db.Backend() == dbMariaDB ? "CHAR" : "TEXT") +
           ")");
  q.Open();
  if (q.Eof()) throw std::runtime_error("the database gave no cut-off time");
  return q.Field(std::size_t{0}).AsText();
}

// SQLite copies the WAL back into the database file when a commit finds the WAL long (the
// auto-checkpoint): inside that commit, so under the write lock, and with two syncs to disk.  A
// deletion commits batch after batch, and the batches that did it held the lock for as long as
// a busy disk took (half a second was seen).  While deletions run, the write connection leaves
// the checkpoints to them: one runs after each batch on a read connection, with the write lock
// free, and copies the batch's pages back.
//
// SQLite starts the WAL over only when a write transaction begins on a WAL copied in full, and
// writers slipping in between the batches keep that from happening: the WAL grew by every batch
// (160 MB for half a million log lines), and truncating a file that size at the end takes a
// tenth of a second by itself.  So once the WAL holds more than a few megabytes, the next batch
// first copies, under its lock, what writers added since the last checkpoint (a few pages, but
// two syncs to disk, which is why not every batch does it), and starts the WAL over.  Nothing
// on other backends.
class CheckpointsBetweenBatches {
 public:
  explicit CheckpointsBetweenBatches(TOVDatabase& db) : db_(db), on_(db.Backend() == dbSQLite) {
    if (!on_) return;
    TOVDBLockGuard lock(db_);
    if (running_ == 0) AutoCheckpoint(0);
    ++running_;
  }
  ~CheckpointsBetweenBatches() {
    if (!on_) return;
    try {
      TOVDBLockGuard lock(db_);
      if (--running_ == 0) AutoCheckpoint(kSQLiteDefaultPages);
    } catch (...) {
    }
  }
  CheckpointsBetweenBatches(const CheckpointsBetweenBatches&) = delete;
  CheckpointsBetweenBatches& operator=(const CheckpointsBetweenBatches&) = delete;

  // Under the batch's write lock, before its statement.
  void BeforeBatch(TOVWriteQuery& q) {
    if (!on_ || wal_frames_ < kRestartFrames) return;
    Checkpoint(q);
  }
  // With the write lock free: a checkpoint that copies what it can without waiting for anyone.
  void AfterBatch() {
    if (!on_) return;
    auto q = db_.NewReadQuery(TDBAReadKind::Long);  // copies pages: as long as the WAL is
    Checkpoint(q);
  }

 private:
  static constexpr int kSQLiteDefaultPages = 1000;  // the server never sets another
  static constexpr std::int64_t kRestartFrames = 4000;  // 16 MB of 4 KiB pages

  // A passive checkpoint; notes how many frames the WAL holds.
  void Checkpoint(TOVQueryBase& q) {
    q.SetSQL("PRAGMA wal_checkpoint(PASSIVE)");
    q.Open();
    if (!q.Eof() && q.FieldCount() >= 2) wal_frames_ = q.Field(std::size_t{1}).AsInt64(0);
  }
 private:
  void AutoCheckpoint(int pages) {
    auto q = db_.NewQuery();
    q.SetSQL("PRAGMA wal_autocheckpoint = " + std::to_string(pages));
    q.Open();
  }

  TOVDatabase& db_;
  const bool on_;
  std::int64_t wal_frames_ = 0;  // at the last checkpoint
  // Deletions running now (tasks may run at once); changed under the write lock only.
  static inline int running_ = 0;
};

// SQLite: copies the WAL back into the database file and truncates it.  What can be copied
// without waiting is copied first with the write lock free; the truncation then waits for
// readers still using the WAL, under the write lock: briefly, and tried again with the lock
// free in between, so that writers never wait long for it.  A WAL that readers keep using
// stays for the next wal_checkpoint task.
void TruncateWal(TOVDatabase& db, const TOVDeletionBatches& b, const std::stop_token& stop) {
  constexpr int kAttempts = 20;
  constexpr int kBusyWaitMs = 100;
  {
    auto r = db.NewReadQuery(TDBAReadKind::Long);
    r.SetSQL("PRAGMA wal_checkpoint(PASSIVE)");
    r.Open();
  }
  for (int attempt = 0; attempt < kAttempts && !stop.stop_requested(); ++attempt) {
    if (attempt > 0) PauseUnlessStopped(b.pause, stop);
    auto q = db.NewQuery();
    // The connection's own busy time-out comes back whatever happens.
    struct BusyWait {
      TOVWriteQuery& q;
      int usual;
      void Set(int ms) {
        q.SetSQL("PRAGMA busy_timeout = " + std::to_string(ms));
        q.Open();
      }
      ~BusyWait() {
        try {
          Set(usual);
        } catch (...) {
        }
      }
    } wait{q, db.Connection().Options().busy_timeout_ms};
    wait.Set(kBusyWaitMs);
    q.SetSQL("PRAGMA wal_checkpoint(TRUNCATE)");
    q.Open();
    if (!q.Eof() && q.Field(std::size_t{0}).AsInt64(-1) == 0) return;
  }
  if (!stop.stop_requested()) LogWarning("Scheduler: the WAL file was not truncated: readers kept using it");
}

// The deletions of one task, then (SQLite, when rows went) the WAL truncated.
struct TDeletion {
  const char* table;
  std::string condition;
  TBinds binds;
};

void RunDeletions(TOVDatabase& db, const std::vector<TDeletion>& deletions, const std::stop_token& stop) {
  const TOVDeletionBatches batches;
  std::int64_t deleted = 0;
  for (const TDeletion& d : deletions) deleted += DeleteInBatches(db, d.table, d.condition, d.binds, batches, stop);
  if (deleted > 0 && db.Backend() == dbSQLite) TruncateWal(db, batches, stop);
}

// The rows of table whose time column is older than amount units, on the cut-off read now.
TDeletion OlderThan(TOVDatabase& db, const char* table, const char* column, int amount, TDBADateUnit unit,
                    const std::string& also = {}) {
  std::string condition = also.empty() ? std::string() : also + " AND ";
  condition += std::string(column) + " < :cutoff";
  return TDeletion{table, std::move(condition), {{"cutoff", CutOff(db, amount, unit)}}};
}

// The vacuum needs the database file to itself: every writer waits on the write lock while
// the write connection is closed and sqlite3 rewrites the file (minutes on a large board, by
// design).  The connection is always reopened and the lock released before a failure is
// reported.  Readers of the pool go on meanwhile.  The rewritten file comes back through the
// WAL, which is truncated afterwards.
void VacuumSQLite(TOVDatabase& db, std::stop_token stop) {
  std::string failure;
  {
    TOVDBLockGuard lock(db);
    const std::string file = db.Connection().Options().database;
    db.Dialect()->Disconnect();
    try {
      TOVProcessOptions o;
      o.program = "sqlite3";
      o.args = {file, "VACUUM"};
      o.output = TOVProcessOutput::Inherit;  // sqlite3 talks to the server's own console
      o.merge_stderr = false;
      o.stop = stop;
      const TOVProcessResult r = RunProcess(o);
      if (r.exit_code != 0)
        failure = r.Exited() ? Format("sqlite3 VACUUM failed (exit code %d)", r.exit_code)
                             : Format("sqlite3 VACUUM failed (killed by signal %d)", r.term_signal);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    db.Dialect()->Connect();
  }
  if (!failure.empty()) throw std::runtime_error(failure);
  TruncateWal(db, {}, stop);
}

// ---- the tasks ------------------------------------------------------------------------------

void LogCleanup(std::stop_token stop) {
  auto db = RequireDB();
  RunDeletions(*db, {OlderThan(*db, "system_logs", "timestamp", 30, duDay)}, stop);
  LogInfo("Scheduler: log_cleanup pruned entries older than %d days", 30);
}

void SchedulerLogCleanup(std::stop_token stop) {
  auto db = RequireDB();
  RunDeletions(*db, {OlderThan(*db, "scheduler_log", "started_at", 30, duDay)}, stop);
  LogInfo("Scheduler: scheduler_log_cleanup pruned entries older than 30 days");
}

void SessionCleanup(std::stop_token stop) {
  auto db = RequireDB();
  RunDeletions(*db, {OlderThan(*db, "active_sessions", "last_activity", 30, duMinute)}, stop);
}

// Debug lines are kept one day, error lines seven days, every other level thirty days.
void DbVacuum(std::stop_token stop) {
  auto db = RequireDB();
  for (TDeletion& d : std::vector<TDeletion>{OlderThan(*db, "system_logs", "timestamp", 1, duDay, "level = 'debug'"),
                                             OlderThan(*db, "system_logs", "timestamp", 7, duDay, "level = 'error'"),
                                             OlderThan(*db, "system_logs", "timestamp", 30, duDay)})
    DeleteInBatches(*db, d.table, d.condition, d.binds, {}, stop);
  if (db->Backend() == dbSQLite) VacuumSQLite(*db, std::move(stop));
  LogInfo("Scheduler: db_vacuum completed");
}

void WalCheckpoint(std::stop_token) {
  if (RequireDB()->Backend() != dbSQLite) return;
  try {
    DoWalCheckpointTruncate();
  } catch (const std::exception& e) {
    LogWarning("Scheduler: wal_checkpoint failed: %s", e.what());
  }
}

// Why the file cannot be read as a configuration file; "" when it can.
std::string UnreadableBecause(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::generic_category().message(errno);
  struct stat st {};
  const int err = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  ::close(fd);
  return err != 0 ? std::generic_category().message(err) : std::string();
}

// A file the watch cannot read is a failed run that names it and says why: the server keeps the
// settings it has, but the sysop's next edit would go unnoticed, and a run reported as a success
// would hide that.  The next run looks again (an editor saving by rename may leave the file
// missing for a moment).
void ConfigWatch(std::stop_token) {
  auto cfg = Config.Get();
  if (!cfg) return;
  const std::string& file = cfg->ConfigFile();
  std::string why = UnreadableBecause(file);
  if (why.empty()) {
    if (!cfg->HasChanged()) return;
    if (cfg->Reload()) {
      LogInfo("Scheduler: config file changed \xE2\x80\x94 reloaded");
      if (auto bus = EventBus.Get()) bus->Fire("system", OV_EVENT_CONFIG_CHANGED, TJSON::object());
      return;
    }
    why = UnreadableBecause(file);
    if (why.empty()) why = "it could not be read";
  }
  throw std::runtime_error("Cannot read configuration file " + file + ": " + why);
}

// The registry check-in; an error it raises fails the run, among them an unreachable, silent or
// trickling registry and a reply without a list, with that reason.  A stop request (shutdown)
// ends a check-in under way.  Without the update checker there is nothing to do.
void PluginUpdateCheck(std::stop_token stop) {
  auto checker = UpdateChecker.Get();
  if (!checker) return;
  const std::stop_callback cancel(stop, [&checker] { checker->CancelTransfers(); });
  checker->CheckForUpdates();
  LogInfo("Scheduler: plugin_update_check completed");
}

// The door games' news tables belong to their plug-ins and are usually missing: each deletion
// stands alone and a failure is dropped (the database object has rolled it back, so the next
// writer gets a clean connection on every backend).  A database that cannot be reached fails
// the run instead: nothing was pruned, and the run log should not say otherwise.
void OldNewsCleanup(std::stop_token stop) {
  auto db = RequireDB();
  const std::vector<TDeletion> deletions = {
      {"p_drake_daily_news", "game_day < (SELECT COALESCE(MAX(game_day), 0) FROM p_drake_daily_news) - 90", {}},
      {"p_starhaul_news", "created_at < " + db->DateAddExpr(-90, duDay), {}}};
  std::int64_t deleted = 0;
  for (const TDeletion& d : deletions) {
    try {
      deleted += DeleteInBatches(*db, d.table, d.condition, d.binds, {}, stop);
    } catch (const std::exception& e) {
      if (IsDatabaseUnavailable(e)) throw;
    }
  }
  if (deleted > 0 && db->Backend() == dbSQLite) TruncateWal(*db, {}, stop);
  LogInfo("Scheduler: old_news_cleanup pruned old news entries");
}

struct TMaintenanceTask {
  const char* name;
  void (*run)(std::stop_token stop);
  bool waits_on_peer = false;  // see MaintenanceTaskWaitsOnPeer
};

// Looked up by exact name, first match wins.
const TMaintenanceTask kMaintenanceTasks[] = {
    {"log_cleanup", LogCleanup},                  // system_logs older than 30 days
    {"scheduler_log_cleanup", SchedulerLogCleanup},  // scheduler_log older than 30 days
    {"session_cleanup", SessionCleanup},          // active_sessions idle for 30 minutes
    {"db_vacuum", DbVacuum},                      // log pruning by level, VACUUM on SQLite
    {"wal_checkpoint", WalCheckpoint},            // WAL checkpoint (TRUNCATE) on SQLite
    {"config_watch", ConfigWatch},                // reload the configuration file when it changed
    {"plugin_update_check", PluginUpdateCheck, true},  // the plug-in registry's update check
    {"old_news_cleanup", OldNewsCleanup},         // door-game news older than 90 days
};

}  // namespace

std::int64_t DeleteInBatches(TOVDatabase& db, const std::string& table, const std::string& condition,
                             const std::vector<std::pair<std::string, std::string>>& binds,
                             const TOVDeletionBatches& b, std::stop_token stop) {
  using Clock = std::chrono::steady_clock;
  const std::string sql = BatchDeleteSQL(db.Backend(), table, condition);
  std::int64_t rows = std::clamp(b.first_rows, b.min_rows, b.max_rows);
  std::int64_t deleted = 0;
  CheckpointsBetweenBatches checkpoints(db);
  for (;;) {
    std::int64_t n = 0;
    std::int64_t held_us = 0;  // how long the batch held the write lock
    {
      auto q = db.NewQuery();
      const Clock::time_point t0 = Clock::now();
      checkpoints.BeforeBatch(q);
      q.SetSQL(sql);
      for (const auto& [name, value] : binds) q.Param(name, value);
      q.Param("ov_batch", rows);
      n = q.ExecSQL();
      db.Commit();
      held_us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
    }
    deleted += n;
    PauseUnlessStopped(b.pause, stop);
    checkpoints.AfterBatch();
    if (b.after_batch) b.after_batch(deleted);
    if (n < rows) return deleted;  // the last rows went
    if (stop.stop_requested()) throw std::runtime_error(Format("Stopped after deleting %d rows", deleted));
    // The next batch sized to hold the lock for about the target, growing at most twofold.
    const std::int64_t target_us = std::chrono::duration_cast<std::chrono::microseconds>(b.target).count();
    rows = std::clamp(std::min(rows * 2, rows * target_us / std::max<std::int64_t>(held_us, 1)), b.min_rows,
                      b.max_rows);
  }
}

bool MaintenanceTaskWaitsOnPeer(const std::string& name) {
  for (const TMaintenanceTask& t : kMaintenanceTasks)
    if (name == t.name) return t.waits_on_peer;
  return false;
}

bool RunMaintenanceTask(const std::string& name, std::stop_token stop) {
  for (const TMaintenanceTask& t : kMaintenanceTasks) {
    if (name != t.name) continue;
    t.run(std::move(stop));
    return true;
  }
  return false;
}

void DoWalCheckpointTruncate() {
  std::int64_t busy = -1, log = -1, checkpointed = -1;
  try {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("PRAGMA wal_checkpoint(TRUNCATE)");
    q.Open();
    if (!q.Eof() && q.FieldCount() >= 3) {
      busy = q.Field(std::size_t{0}).AsInt64(-1);
      log = q.Field(std::size_t{1}).AsInt64(-1);
      checkpointed = q.Field(std::size_t{2}).AsInt64(-1);
    }
  } catch (const std::exception& e) {
    LogWarning("wal_checkpoint PRAGMA failed: %s", e.what());
  }
  if (busy == 0)
    LogInfo("wal_checkpoint(TRUNCATE) ok: log=%d checkpointed=%d", log, checkpointed);
  else if (busy == 1)
    LogWarning("wal_checkpoint(TRUNCATE) BUSY: readers still hold snapshots (log=%d checkpointed=%d)", log,
               checkpointed);
  else
    LogWarning("wal_checkpoint(TRUNCATE) unexpected result (busy=%d log=%d checkpointed=%d)", busy, log,
               checkpointed);
}

}  // namespace ov
