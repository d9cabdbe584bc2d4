// The task scheduler: the server's periodic work, built-in maintenance tasks (plug-in name
// "system", ov_maintenance) and the tasks native plug-ins declare.  Every task is one row of
// system_scheduler, held in memory as a TOVSchedulerTask.  A task runs every N seconds
// ("interval", timed on the monotonic clock and counted from the end of the previous run) or on
// a five-field cron expression ("cron", ov_cron, on the wall clock).  One thread looks at the
// list once a second; the REST API lists tasks, edits their schedules and runs a task at once.
// Each run is announced on the event bus, counted in the task's row and written to
// scheduler_log.
//
// One run of a task at a time: a run requested while the same task runs (on the thread or for
// another request) waits for that run to end; the tick skips a task that is running.  A task
// that waits on a remote peer (the registry's check-in) runs on a thread of its own, so that a
// slow peer delays no other task.
//
// Lock order: the scheduler's lock (a registry lock), then the database write lock.  The lock
// is never held while a task runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "ov_clock.h"
#include "ov_cron.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_maintenance.h"
#include "ov_service.h"

namespace ov {

enum TOVSchedulerTaskKind : std::uint8_t { stkInterval = 0, stkCron = 1 };

struct TOVSchedulerTask {
  std::int64_t Id = 0;
  std::string TaskName;
  std::string PluginName;  // "system" marks a built-in task
  std::string Description;
  std::string Category;    // "plugin" for tasks registered from plug-ins
  TOVSchedulerTaskKind Kind = stkInterval;
  std::int32_t IntervalSeconds = 0;
  std::string CronExpr;
  bool Enabled = false;
  std::int64_t LastRun = 0;  // UTC seconds since 1970; 0 = never
  std::int64_t NextRun = 0;  // UTC seconds since 1970 (for an interval task the wall time its
                             // monotonic deadline stands for); 0 = not scheduled
  std::string LastResult;    // "success", "error" or what the row holds
  std::string LastError;
  std::int32_t RunCount = 0;
  std::int32_t FailCount = 0;
  bool UserModified = false;
  bool IsRunning = false;    // memory only
  // Memory only: CronExpr parsed, and an interval task's deadline on the monotonic clock.
  TOVCronSchedule Cron;
  TOVMonoTime DueMono{};
  // Memory only: NextRun is not a run but the time to search the expression again (it selects
  // no minute within the search's horizon, or none at all).
  bool Recheck = false;
};

// One finished run, as the run log keeps it.
struct TOVTaskRunRecord {
  std::string PluginName;
  std::string TaskName;
  std::int64_t StartedAt = 0;  // UTC seconds since 1970
  std::int32_t DurationMs = 0;
  std::string Result;     // "success" or "error"
  std::string Error;
};

// Where tasks and runs are kept: the database (MakeSchedulerDBStore) for the server; a test or
// benchmark may hand in another.  Every operation may throw (database errors).
class IOVSchedulerStore {
 public:
  virtual ~IOVSchedulerStore() = default;
  // Every row of system_scheduler in id order; times that do not read as UTC text are 0.
  virtual std::vector<TOVSchedulerTask> LoadTasks() = 0;
  // last_run, next_run, last_result, last_error, run_count, fail_count of the task's row.
  virtual void StoreRun(const TOVSchedulerTask& task) = 0;
  // enabled, schedule_type, interval_seconds, cron_expr, next_run; user_modified = 1.
  virtual void StoreEdit(const TOVSchedulerTask& task) = 0;
  // One scheduler_log row (finished now).
  virtual void LogRun(const TOVTaskRunRecord& run) = 0;
  // A plug-in task row (category "plugin", every interval seconds, enabled) unless the pair
  // (plug-in, task) has a row already.
  virtual void AddPluginTask(const std::string& plugin, const std::string& task, const std::string& description,
                             std::int32_t interval_seconds) = 0;
  // The plug-in names of plug-in rows that no administrator edited.
  virtual std::vector<std::string> UneditedPluginNames() = 0;
  // Every row of that plug-in name.
  virtual void DeletePluginTasks(const std::string& plugin) = 0;
};

std::unique_ptr<IOVSchedulerStore> MakeSchedulerDBStore();

// An edit of a task that the scheduler will not make; what() names the member and why
// ("Invalid cron_expr: minute \"61\" is outside 0-59").
class EOVTaskUpdateRefused : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Runs one plug-in task; a throw marks the run as failed.
using TRunPluginTaskProc = std::function<void(const std::string& plugin_name, const std::string& task_name)>;
// The tasks plug-ins declare: a JSON array of {"plugin_name", "task_name", "description",
// "interval_seconds"}; anything else counts as an empty array.
using TGetPluginTasksFunc = std::function<TJSON()>;

struct TOVSchedulerOptions {
  const TOVClock* clock = nullptr;           // SystemClock() when null
  std::unique_ptr<IOVSchedulerStore> store;  // the database when null
  std::chrono::milliseconds tick{1000};      // pause between two looks at the list
};

class TOVScheduler {
 public:
  // Loads the tasks, schedules every enabled one from now (no catch-up of runs missed while
  // the server was down), registers the plug-ins' tasks and removes orphans; logs "Scheduler
  // initialized with %d tasks".  The thread is not started.  Database errors pass on.
  TOVScheduler(TRunPluginTaskProc run_plugin_task, TGetPluginTasksFunc get_plugin_tasks,
               TOVSchedulerOptions options = {});
  // Terminate, then waits for the thread and for the runs on threads of their own.
  ~TOVScheduler();
  TOVScheduler(const TOVScheduler&) = delete;
  TOVScheduler& operator=(const TOVScheduler&) = delete;

  // Starts the thread (once).
  void Start();
  // Asks the thread to stop: the pause between ticks ends at once, due tasks not yet started
  // in this tick are left, a running VACUUM is killed.  Does not wait.
  void Terminate() noexcept;
  // True while the thread body runs.
  bool Running() const noexcept { return running_.load(); }

  // Rebuilds the list from the table and synchronises the plug-ins' tasks (after a plug-in is
  // disabled or uninstalled); logs "Scheduler: tasks refreshed (%d total)".  Takes the lock.
  void RefreshTasks() EXCLUDES(lock_);
  // Runs the task on the calling thread and returns when the run is over; when the task is
  // running already, waits for that run first.  False (nothing runs) for an unknown id.  A
  // failing task is a recorded failed run, not an error; database errors of its bookkeeping
  // pass on.
  bool RunTaskNow(std::int64_t task_id) EXCLUDES(lock_);
  // Task objects in list (id) order.
  TJSON GetTasksJSON() const EXCLUDES(lock_);
  std::optional<TJSON> GetTaskJSON(std::int64_t task_id) const EXCLUDES(lock_);
  // Applies "enabled" (Boolean; another type is ignored), "schedule_type" ("cron" or anything
  // else for interval), "interval_seconds" and "cron_expr" where present, marks the task as
  // edited and reschedules it from now when enabled; stores it.  An interval must be a JSON
  // integer from 1 to 2147483647; an expression must be a string that CronExpressionProblem
  // accepts, checked when it is not empty and whenever the edit leaves a cron task (an interval
  // task may keep an empty one).  Anything else throws EOVTaskUpdateRefused and changes
  // nothing.  False for an unknown id; database errors pass on (and nothing changes).
  bool UpdateTask(std::int64_t task_id, const TJSON& updates) EXCLUDES(lock_);

  // One look at the list: runs every due task that is not running, one after another on the
  // calling thread, except a task that waits on a remote peer (MaintenanceTaskWaitsOnPeer),
  // whose run is started on a thread of its own and goes on after the tick.  The thread calls
  // it once a tick; tests call it directly.
  void Tick() EXCLUDES(lock_);

 private:
  // A task picked for a run; its run is claimed under its key until released.
  struct TTaskRef {
    std::int64_t id = 0;
    std::string plugin;
    std::string task;
    std::size_t index = 0;  // where it was; the list may be reloaded meanwhile
    std::uint64_t generation = 0;  // of the list when claimed
  };
  struct TClaim {
    std::string plugin;
    std::string task;
  };
  // The compact schedule the tick walks: one entry per task (same index), due when at <= the
  // now of its clock.
  enum TDueClock : std::uint8_t { dcNever = 0, dcMono = 1, dcWall = 2 };
  struct TDue {
    std::int64_t at = 0;  // nanoseconds of the monotonic clock, or wall seconds
    TDueClock clock = dcNever;
  };

  // A run on a thread of its own; done is set once the run is over and recorded.
  struct TApartRun {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void Execute() EXCLUDES(lock_, wait_lock_);
  void LoadTasksFromDB() EXCLUDES(lock_);
  // Asks for the plug-ins' tasks with lock_ not held (the plug-in manager comes before the
  // scheduler in the order).
  void SyncPluginTasks() EXCLUDES(lock_);
  // Both of the above; returns the number of tasks.
  std::size_t LoadAll() EXCLUDES(lock_);
  // Sets task's NextRun (and Recheck) from its expression and now.
  void CalcNextRunCron(TOVSchedulerTask& task, std::int64_t now) const;
  // The next run of an enabled task from now (NextRun, and DueMono for an interval task).
  void ScheduleTask(TOVSchedulerTask& task, std::int64_t wall_now, TOVMonoTime mono_now) const;
  void SetDue(std::size_t index) REQUIRES(lock_);
  // A cron task whose search found nothing: searched again from now and stored, not run.
  void Recheck(std::size_t index, std::int64_t now) REQUIRES(lock_);
  void NoticeClockJump(TOVWallTime wall, TOVMonoTime mono) REQUIRES(lock_);
  std::optional<std::size_t> FindTask(std::int64_t id) const REQUIRES(lock_);
  bool Claimed(const TOVSchedulerTask& task) const REQUIRES(lock_);
  bool IsClaimed(std::size_t index) const REQUIRES(lock_);
  TTaskRef Claim(std::size_t index) REQUIRES(lock_);
  void Release(const TTaskRef& ref) noexcept EXCLUDES(lock_);
  // Ends the claim; true when someone waits for a run to end (notify after unlocking).
  bool ReleaseLocked(const TTaskRef& ref) noexcept REQUIRES(lock_);
  // Runs the claimed task with lock_ not held, then records the run under it.
  void ExecuteTask(const TTaskRef& ref) EXCLUDES(lock_);
  // ExecuteTask with its bookkeeping errors logged.
  void RunClaimed(const TTaskRef& ref) noexcept EXCLUDES(lock_);
  // Starts the claimed task's run on a thread of its own; joins the runs that are over.
  void StartApart(const TTaskRef& ref) REQUIRES(lock_);
  void RunSystemTask(const std::string& task_name);
  TJSON TaskJSON(const TOVSchedulerTask& t) const REQUIRES(lock_);

  // ---- Constant after construction ----
  const TOVClock& clock_;
  const std::unique_ptr<IOVSchedulerStore> store_;
  const TRunPluginTaskProc run_plugin_task_;
  const TGetPluginTasksFunc get_plugin_tasks_;
  const std::chrono::milliseconds tick_;

  // ---- Guarded by lock_ (a registry: the database is used under it, tasks run outside it) ----
  mutable TOVLock lock_{LockLevel::Registry};
  std::vector<TOVSchedulerTask> tasks_ GUARDED_BY(lock_);  // in id order
  std::vector<TDue> due_ GUARDED_BY(lock_);                // parallel to tasks_
  std::uint64_t generation_ GUARDED_BY(lock_) = 0;         // counts loads of the list
  std::vector<TClaim> claimed_ GUARDED_BY(lock_);          // the tasks running now
  std::vector<TApartRun> apart_ GUARDED_BY(lock_);         // runs on threads of their own
  std::condition_variable_any run_ended_;
  int run_waiters_ GUARDED_BY(lock_) = 0;  // callers waiting on run_ended_
  // clocks at the previous tick
  std::optional<std::pair<TOVWallTime, TOVMonoTime>> last_look_ GUARDED_BY(lock_);

  // ---- The thread: started by Start, joined by the destructor; it sleeps on wait_cv_ under
  // wait_lock_ (a leaf) ----
  std::stop_source stop_;
  TOVLock wait_lock_{LockLevel::Leaf};
  std::condition_variable_any wait_cv_;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

extern TOVService<TOVScheduler> Scheduler;

// Start-up: creates and starts the global scheduler with the plug-in manager's two operations
// (or none) and logs "Task scheduler started" or "Task scheduler started (no plugins)".  It
// ticks once a second.
void StartupScheduler(TRunPluginTaskProc run_plugin_task, TGetPluginTasksFunc get_plugin_tasks);
// Shutdown: "Scheduler.Terminate" (the thread stops at once, a running task is finished or, for
// VACUUM, killed), "Scheduler.Free" (waits for users and the thread).
void ShutdownScheduler(const std::function<void(const std::string&)>& step);

}  // namespace ov
