#include "ov_maintenance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "dbapi_dialect.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_log.h"
#include "ov_plugin_updates.h"
#include "ov_process.h"

namespace ov {

namespace {

// "DELETE FROM <what> < " + the cut-off the dialect writes for now minus the amount.
void DeleteOlderThan(TOVDatabase& db, const std::string& what, int amount, TDBADateUnit unit) {
  db.ExecSQL("DELETE FROM " + what + " < " + db.DateAddExpr(-amount, unit));
}

// The vacuum needs the database file to itself: every writer waits on the write lock while
// the write connection is closed and sqlite3 rewrites the file (minutes on a large board, by
// design).  The connection is always reopened and the lock released before a failure is
// reported.  Readers of the pool go on meanwhile.
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
      o.stop = std::move(stop);
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
}

// ---- the tasks ------------------------------------------------------------------------------

void LogCleanup(std::stop_token) {
  DeleteOlderThan(*RequireDB(), "system_logs WHERE timestamp", 30, duDay);
  LogInfo("Scheduler: log_cleanup pruned entries older than %d days", 30);
}

void SchedulerLogCleanup(std::stop_token) {
  DeleteOlderThan(*RequireDB(), "scheduler_log WHERE started_at", 30, duDay);
  LogInfo("Scheduler: scheduler_log_cleanup pruned entries older than 30 days");
}

void SessionCleanup(std::stop_token) { DeleteOlderThan(*RequireDB(), "active_sessions WHERE last_activity", 30, duMinute); }

// Debug lines are kept one day, error lines seven days, every other level thirty days.
void DbVacuum(std::stop_token stop) {
  auto db = RequireDB();
  DeleteOlderThan(*db, "system_logs WHERE level = 'debug' AND timestamp", 1, duDay);
  DeleteOlderThan(*db, "system_logs WHERE level = 'error' AND timestamp", 7, duDay);
  DeleteOlderThan(*db, "system_logs WHERE timestamp", 30, duDay);
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
      if (auto bus = EventBus.Get()) bus->Fire("system", "config.changed", TJSON::object());
      return;
    }
    why = UnreadableBecause(file);
    if (why.empty()) why = "it could not be read";
  }
  throw std::runtime_error("Cannot read configuration file " + file + ": " + why);
}

// The registry check-in; an error it raises fails the run.  Without the update checker there is
// nothing to do.
void PluginUpdateCheck(std::stop_token) {
  auto checker = UpdateChecker.Get();
  if (!checker) return;
  checker->CheckForUpdates();
  LogInfo("Scheduler: plugin_update_check completed");
}

// The door games' news tables belong to their plug-ins and are usually missing: each statement
// stands alone and a failure is dropped (the database object has rolled it back, so the next
// writer gets a clean connection on every backend).
void OldNewsCleanup(std::stop_token) {
  auto db = RequireDB();
  for (const std::string& sql :
       {std::string("DELETE FROM p_drake_daily_news WHERE game_day < "
                    "(SELECT COALESCE(MAX(game_day), 0) FROM p_drake_daily_news) - 90"),
        "DELETE FROM p_starhaul_news WHERE created_at < " + db->DateAddExpr(-90, duDay)}) {
    try {
      db->ExecSQL(sql);
    } catch (const std::exception&) {
    }
  }
  LogInfo("Scheduler: old_news_cleanup pruned old news entries");
}

struct TMaintenanceTask {
  const char* name;
  void (*run)(std::stop_token stop);
};

// Looked up by exact name, first match wins.
const TMaintenanceTask kMaintenanceTasks[] = {
    {"log_cleanup", LogCleanup},                  // system_logs older than 30 days
    {"scheduler_log_cleanup", SchedulerLogCleanup},  // scheduler_log older than 30 days
    {"session_cleanup", SessionCleanup},          // active_sessions idle for 30 minutes
    {"db_vacuum", DbVacuum},                      // log pruning by level, VACUUM on SQLite
    {"wal_checkpoint", WalCheckpoint},            // WAL checkpoint (TRUNCATE) on SQLite
    {"config_watch", ConfigWatch},                // reload the configuration file when it changed
    {"plugin_update_check", PluginUpdateCheck},   // the plug-in registry's update check
    {"old_news_cleanup", OldNewsCleanup},         // door-game news older than 90 days
};

}  // namespace

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
