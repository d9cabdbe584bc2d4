#include "ov_scheduler.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <set>
#include <utility>

#include "dbapi_dialect.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_log.h"
#include "ov_security.h"
#include "ov_text.h"
#include "orvanta/plugin_abi.h"

namespace ov {

TOVService<TOVScheduler> Scheduler;

namespace {

// A wall clock that moves against the monotonic one by more than this was set (by hand, by
// NTP stepping, by a suspended machine waking up): the cron schedules are recomputed.
constexpr std::chrono::seconds kClockJumpTolerance{5};

std::int64_t WallSecondsOf(TOVWallTime t) {
  return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
}

// One task's identity for "one run at a time": plug-in and task name, ignoring case as the
// plug-in manager does when it finds a plug-in.
bool SameRunKey(const std::string& plugin_a, const std::string& task_a, const std::string& plugin_b,
                const std::string& task_b) {
  return EqualsIgnoreCase(task_a, task_b) && EqualsIgnoreCase(plugin_a, plugin_b);
}

// The interval an edit asks for: a JSON integer of whole seconds that the task's 32-bit
// interval holds, at least 1.
std::int32_t IntervalSecondsOf(const TJSON& v) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  const bool whole = v.is_number_integer() && (!v.is_number_unsigned() || v.get<std::uint64_t>() <= kMax);
  const std::int64_t seconds = whole ? v.get<std::int64_t>() : 0;
  if (seconds < 1 || seconds > kMax)
    throw EOVTaskUpdateRefused("Invalid interval_seconds: must be a whole number of seconds from 1 to 2147483647");
  return static_cast<std::int32_t>(seconds);
}

bool SameTask(const TOVSchedulerTask& t, std::int64_t id, const std::string& plugin, const std::string& task) {
  return t.Id == id && t.PluginName == plugin && t.TaskName == task;
}

// UTC text, or JSON null for "never".
TJSON TimeJSON(std::int64_t t) { return t == 0 ? TJSON() : TJSON(FormatUTCText(t)); }

std::string MessageOf(const std::exception& e) {
  const char* m = e.what();
  return m && *m ? std::string(m) : std::string("unknown exception");
}

void LogExecuteError(const std::string& task, const std::exception& e) {
  if (!FailedForOutage(e)) LogError("Scheduler: execute error for task %s: %s", task, MessageOf(e));
}

// The data is built only when there is a bus to fire on.
template <class Data>
void FireSchedulerEvent(const char* type, const Data& data) {
  if (auto bus = EventBus.Get()) bus->Fire("_system", type, data());
}

// ---- the database store ---------------------------------------------------------------------

std::int64_t StoredTime(const TOVWriteQuery& q, const char* column) {
  if (q.IsNull(column)) return 0;
  return ParseUTCText(q.Str(column)).value_or(0);
}

void BindTime(TOVWriteQuery& q, const char* name, std::int64_t t) {
  if (t == 0)
    q.ParamNull(name);
  else
    q.Param(name, FormatUTCText(t));
}

// Runs one statement on a write query (statement sets its text and values) and commits.
void WriteStatement(const std::function<void(TOVDatabase&, TOVWriteQuery&)>& statement) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  statement(*db, q);
  q.ExecSQL();
  db->Commit();
}

class TSchedulerDBStore final : public IOVSchedulerStore {
 public:
  std::vector<TOVSchedulerTask> LoadTasks() override {
    std::vector<TOVSchedulerTask> out;
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT * FROM system_scheduler ORDER BY id");
    q.Open();
    for (; !q.Eof(); q.Next()) {
      TOVSchedulerTask t;
      t.Id = q.Int("id");
      t.TaskName = q.Str("task_name");
      t.PluginName = q.Str("plugin_name");
      t.Description = q.Str("description");
      t.Category = q.Str("category");
      t.Kind = q.Str("schedule_type") == "cron" ? stkCron : stkInterval;
      t.IntervalSeconds = ClampToInt32(q.Int("interval_seconds"));
      t.CronExpr = q.Str("cron_expr");
      t.Enabled = q.Int("enabled") == 1;
      t.LastRun = StoredTime(q, "last_run");
      t.NextRun = StoredTime(q, "next_run");
      t.LastResult = q.Str("last_result");
      t.LastError = q.Str("last_error");
      t.RunCount = ClampToInt32(q.Int("run_count"));
      t.FailCount = ClampToInt32(q.Int("fail_count"));
      t.UserModified = q.Int("user_modified") == 1;
      out.push_back(std::move(t));
    }
    return out;
  }

  void StoreRun(const TOVSchedulerTask& t) override {
    WriteStatement([&](TOVDatabase&, TOVWriteQuery& q) {
      q.SetSQL(
          "UPDATE system_scheduler SET last_run = :lr, next_run = :nr, last_result = :res, last_error = :err, "
          "run_count = :rc, fail_count = :fc WHERE id = :id");
      BindTime(q, "lr", t.LastRun);
      BindTime(q, "nr", t.NextRun);
      q.Param("res", t.LastResult).Param("err", t.LastError);
      q.Param("rc", t.RunCount).Param("fc", t.FailCount).Param("id", t.Id);
    });
  }

  void StoreEdit(const TOVSchedulerTask& t) override {
    WriteStatement([&](TOVDatabase&, TOVWriteQuery& q) {
      q.SetSQL(
          "UPDATE system_scheduler SET enabled = :en, schedule_type = :st, interval_seconds = :iv, "
          "cron_expr = :ce, next_run = :nr, user_modified = 1 WHERE id = :id");
      q.Param("en", t.Enabled ? 1 : 0).Param("st", t.Kind == stkCron ? "cron" : "interval");
      q.Param("iv", t.IntervalSeconds).Param("ce", t.CronExpr);
      BindTime(q, "nr", t.NextRun);
      q.Param("id", t.Id);
    });
  }

  void LogRun(const TOVTaskRunRecord& r) override {
    WriteStatement([&](TOVDatabase& db, TOVWriteQuery& q) {
      q.SetSQL(
          "INSERT INTO scheduler_log (task_name, plugin_name, started_at, finished_at, duration_ms, result, "
          "error_message) VALUES (:tn, :pn, :sa, " +
          db.NowExpr() + ", :dm, :res, :err)");
      q.Param("tn", r.TaskName).Param("pn", r.PluginName).Param("sa", FormatUTCText(r.StartedAt));
      q.Param("dm", r.DurationMs).Param("res", r.Result).Param("err", r.Error);
    });
  }

  void AddPluginTask(const std::string& plugin, const std::string& task, const std::string& description,
                     std::int32_t interval_seconds) override {
    WriteStatement([&](TOVDatabase& db, TOVWriteQuery& q) {
      q.SetSQL(db.Dialect()->InsertOrIgnoreStmt(
          "system_scheduler",
          {"task_name", "plugin_name", "description", "category", "schedule_type", "interval_seconds", "enabled"}));
      q.Param("p1", task).Param("p2", plugin).Param("p3", description).Param("p4", "plugin");
      q.Param("p5", "interval").Param("p6", interval_seconds).Param("p7", 1);
    });
  }

  std::vector<std::string> UneditedPluginNames() override {
    std::vector<std::string> names;
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL(
        "SELECT DISTINCT plugin_name FROM system_scheduler WHERE plugin_name <> '' AND category = 'plugin' "
        "AND user_modified = 0");
    q.Open();
    for (; !q.Eof(); q.Next()) names.push_back(q.Field(std::size_t{0}).AsText());
    return names;
  }

  void DeletePluginTasks(const std::string& plugin) override {
    WriteStatement([&](TOVDatabase&, TOVWriteQuery& q) {
      q.SetSQL("DELETE FROM system_scheduler WHERE plugin_name = :pn");
      q.Param("pn", plugin);
    });
  }
};

}  // namespace

std::unique_ptr<IOVSchedulerStore> MakeSchedulerDBStore() { return std::make_unique<TSchedulerDBStore>(); }

// ---- life -----------------------------------------------------------------------------------

TOVScheduler::TOVScheduler(TRunPluginTaskProc run_plugin_task, TGetPluginTasksFunc get_plugin_tasks,
                           TOVSchedulerOptions options)
    : clock_(options.clock ? *options.clock : SystemClock()),
      store_(options.store ? std::move(options.store) : MakeSchedulerDBStore()),
      run_plugin_task_(std::move(run_plugin_task)),
      get_plugin_tasks_(std::move(get_plugin_tasks)),
      tick_(options.tick) {
  LogInfo("Scheduler initialized with %d tasks", LoadAll());
}

TOVScheduler::~TOVScheduler() {
  Terminate();
  if (thread_.joinable()) thread_.join();
  // The stop request has ended their waits on a peer; they finish their bookkeeping.
  std::vector<TApartRun> apart;
  {
    TOVLockGuard g(lock_);
    apart.swap(apart_);
  }
  for (TApartRun& r : apart) r.thread.join();
}

void TOVScheduler::Start() {
  if (thread_.joinable()) return;
  running_.store(true);  // from here until the body ends, so that Running() never misses it
  thread_ = std::thread([this] { Execute(); });
}

void TOVScheduler::Terminate() noexcept { stop_.request_stop(); }

void TOVScheduler::Execute() {
  LogInfo("Scheduler thread started");
  const std::stop_token stop = stop_.get_token();
  while (!stop.stop_requested()) {
    try {
      Tick();
    } catch (const std::exception& e) {
      LogError("Scheduler: tick failed: %s", MessageOf(e));
    } catch (...) {
      LogError("Scheduler: tick failed: %s", "unknown exception");
    }
    TOVUniqueLock lk(wait_lock_);
    wait_cv_.wait_for(lk, stop, tick_, [] { return false; });
  }
  running_.store(false);
  LogInfo("Scheduler thread stopped");
}

// ---- loading and plug-in tasks --------------------------------------------------------------

void TOVScheduler::LoadTasksFromDB() {
  TOVLockGuard g(lock_);
  std::vector<TOVSchedulerTask> loaded = store_->LoadTasks();
  const std::int64_t now = clock_.WallSeconds();
  const TOVMonoTime mono = clock_.MonoNow();
  tasks_ = std::move(loaded);
  due_.assign(tasks_.size(), TDue{});
  ++generation_;
  for (std::size_t i = 0; i < tasks_.size(); ++i) {
    TOVSchedulerTask& t = tasks_[i];
    t.IsRunning = Claimed(t);
    t.Cron = TOVCronSchedule::Parse(t.CronExpr);
    // Stored next runs are never used: an enabled task is due one full period (or at the next
    // cron minute) from now, and runs missed while the server was down are not caught up.
    // Disabled tasks keep what their row holds.
    if (!t.Enabled) continue;
    ScheduleTask(t, now, mono);
    SetDue(i);
    store_->StoreRun(t);
  }
}

void TOVScheduler::SyncPluginTasks() {
  if (!get_plugin_tasks_) return;
  TJSON list;
  try {
    list = get_plugin_tasks_();
  } catch (const std::exception& e) {
    // Without the list nothing is known about the plug-ins: their rows are neither added nor
    // taken for orphans.
    LogWarning("Scheduler: plugin task list failed: %s", MessageOf(e));
    return;
  } catch (...) {
    LogWarning("Scheduler: plugin task list failed: %s", "unknown exception");
    return;
  }
  if (!list.is_array()) list = TJSON::array();

  std::set<std::string> declared;  // plug-in names, lower case
  for (const TJSON& item : list) {
    if (!item.is_object()) continue;
    const std::string plugin = JStr(item, "plugin_name");
    const std::string task = JStr(item, "task_name");
    if (plugin.empty() || task.empty()) continue;
    const std::string description = JStr(item, "description", task);
    const std::int32_t interval = ClampToInt32(JInt(item, "interval_seconds", 60));
    declared.insert(ToLowerAscii(plugin));
    bool known = false;
    {
      TOVLockGuard g(lock_);
      for (const TOVSchedulerTask& t : tasks_)
        if (EqualsIgnoreCase(t.PluginName, plugin) && EqualsIgnoreCase(t.TaskName, task)) {
          known = true;
          break;
        }
    }
    if (known) continue;
    store_->AddPluginTask(plugin, task, description, interval);
    LogInfo("Scheduler: registered plugin task %s/%s (every %ds)", plugin, task, interval);
  }

  // Rows of plug-ins that no longer declare tasks go, edited rows with them, unless every row
  // of that plug-in was edited.
  for (const std::string& name : store_->UneditedPluginNames()) {
    if (declared.count(ToLowerAscii(name))) continue;
    LogInfo("Scheduler: removing orphaned tasks for unloaded plugin: %s", name);
    store_->DeletePluginTasks(name);
  }
  LoadTasksFromDB();
}

std::size_t TOVScheduler::LoadAll() {
  LoadTasksFromDB();
  SyncPluginTasks();
  TOVLockGuard g(lock_);
  return tasks_.size();
}

void TOVScheduler::RefreshTasks() { LogInfo("Scheduler: tasks refreshed (%d total)", LoadAll()); }

// ---- scheduling -----------------------------------------------------------------------------

void TOVScheduler::CalcNextRunCron(TOVSchedulerTask& task, std::int64_t now) const {
  // An expression that selects no minute within the search's horizon (29 February years
  // away, or a stored row that never matches) is searched again a day later; the task does
  // not run for it.
  const std::optional<std::int64_t> next = task.Cron.NextRun(now, clock_);
  task.Recheck = !next;
  task.NextRun = next.value_or(now + 86400);
}

void TOVScheduler::ScheduleTask(TOVSchedulerTask& t, std::int64_t wall_now, TOVMonoTime mono_now) const {
  if (t.Kind == stkCron) {
    CalcNextRunCron(t, wall_now);
  } else {
    // Zero or negative intervals (a stored row's; edits refuse them): the task is due again at once.
    t.NextRun = wall_now + t.IntervalSeconds;
    t.DueMono = mono_now + std::chrono::seconds(t.IntervalSeconds);
  }
}

void TOVScheduler::SetDue(std::size_t index) {
  const TOVSchedulerTask& t = tasks_[index];
  TDue& d = due_[index];
  if (!t.Enabled || (t.Kind == stkCron && t.NextRun == 0)) {
    d = {std::numeric_limits<std::int64_t>::max(), dcNever};
  } else if (t.Kind == stkCron) {
    d = {t.NextRun, dcWall};
  } else {
    d = {std::chrono::duration_cast<std::chrono::nanoseconds>(t.DueMono.time_since_epoch()).count(), dcMono};
  }
}

void TOVScheduler::Recheck(std::size_t index, std::int64_t now) {
  TOVSchedulerTask& t = tasks_[index];
  CalcNextRunCron(t, now);
  SetDue(index);
  try {
    store_->StoreRun(t);
  } catch (const std::exception& e) {
    LogExecuteError(t.TaskName, e);
  }
}

void TOVScheduler::NoticeClockJump(TOVWallTime wall, TOVMonoTime mono) {
  const auto previous = last_look_;
  last_look_ = {wall, mono};
  if (!previous) return;
  const auto skew = std::chrono::duration_cast<std::chrono::milliseconds>(wall - previous->first) -
                    std::chrono::duration_cast<std::chrono::milliseconds>(mono - previous->second);
  if (skew < kClockJumpTolerance && skew > -kClockJumpTolerance) return;
  LogWarning("Scheduler: the wall clock moved by %d s against the monotonic clock; cron schedules recomputed",
             static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::seconds>(skew).count()));
  // Tasks already due run at this tick, once; every other cron task is due at its next minute
  // from the clock's new now.  Interval tasks keep their monotonic deadline; only the wall time
  // it stands for moves.
  const std::int64_t now = WallSecondsOf(wall);
  for (std::size_t i = 0; i < tasks_.size(); ++i) {
    TOVSchedulerTask& t = tasks_[i];
    if (!t.Enabled || IsClaimed(i)) continue;
    const std::int64_t before = t.NextRun;
    if (t.Kind == stkCron) {
      if (t.NextRun <= now) continue;
      CalcNextRunCron(t, now);
    } else {
      t.NextRun = now + std::chrono::ceil<std::chrono::seconds>(t.DueMono - mono).count();
    }
    SetDue(i);
    if (t.NextRun == before) continue;
    try {
      store_->StoreRun(t);
    } catch (const std::exception& e) {
      LogExecuteError(t.TaskName, e);
    }
  }
}

void TOVScheduler::Tick() {
  const TOVWallTime wall = clock_.WallNow();
  const TOVMonoTime mono = clock_.MonoNow();
  TOVUniqueLock lk(lock_);
  NoticeClockJump(wall, mono);
  // The now each entry of the compact schedule is compared with, by its clock.
  const std::int64_t now_of[3] = {
      std::numeric_limits<std::int64_t>::min(),
      std::chrono::duration_cast<std::chrono::nanoseconds>(mono.time_since_epoch()).count(), WallSecondsOf(wall)};
  // The list may be reloaded while a task runs: each index is checked against the list as it
  // is when the lock is taken again.
  for (std::size_t i = 0; i < due_.size(); ++i) {
    const TDue& d = due_[i];
    if (d.at > now_of[d.clock] || IsClaimed(i)) continue;
    if (tasks_[i].Recheck) {
      Recheck(i, now_of[dcWall]);
      continue;
    }
    const TTaskRef ref = Claim(i);
    if (ref.plugin == "system" && MaintenanceTaskWaitsOnPeer(ref.task)) {
      StartApart(ref);
      continue;
    }
    lk.unlock();
    RunClaimed(ref);
    lk.lock();
    if (stop_.stop_requested()) break;
  }
}

// ---- running a task -------------------------------------------------------------------------

std::optional<std::size_t> TOVScheduler::FindTask(std::int64_t id) const {
  for (std::size_t i = 0; i < tasks_.size(); ++i)
    if (tasks_[i].Id == id) return i;
  return std::nullopt;
}

// Few tasks run at once: the claims are a short list searched by name.
bool TOVScheduler::Claimed(const TOVSchedulerTask& t) const {
  for (const TClaim& c : claimed_)
    if (SameRunKey(c.plugin, c.task, t.PluginName, t.TaskName)) return true;
  return false;
}

bool TOVScheduler::IsClaimed(std::size_t index) const {
  const TOVSchedulerTask& t = tasks_[index];
  return t.IsRunning || Claimed(t);
}

TOVScheduler::TTaskRef TOVScheduler::Claim(std::size_t index) {
  TOVSchedulerTask& t = tasks_[index];
  TTaskRef ref{t.Id, t.PluginName, t.TaskName, index, generation_};
  claimed_.push_back({ref.plugin, ref.task});
  t.IsRunning = true;
  return ref;
}

bool TOVScheduler::ReleaseLocked(const TTaskRef& ref) noexcept {
  for (auto it = claimed_.begin(); it != claimed_.end(); ++it)
    if (it->plugin == ref.plugin && it->task == ref.task) {
      claimed_.erase(it);
      break;
    }
  if (ref.generation == generation_) {
    if (ref.index < tasks_.size()) tasks_[ref.index].IsRunning = false;
  } else {
    // The list was reloaded during the run and marked whatever carries the names.
    for (TOVSchedulerTask& t : tasks_)
      if (t.IsRunning && !Claimed(t)) t.IsRunning = false;
  }
  return run_waiters_ > 0;
}

void TOVScheduler::Release(const TTaskRef& ref) noexcept {
  bool wake;
  {
    TOVLockGuard g(lock_);
    wake = ReleaseLocked(ref);
  }
  if (wake) run_ended_.notify_all();
}

void TOVScheduler::RunClaimed(const TTaskRef& ref) noexcept {
  try {
    ExecuteTask(ref);
  } catch (const std::exception& e) {
    LogExecuteError(ref.task, e);
  } catch (...) {
    LogError("Scheduler: execute error for task %s: %s", ref.task, "unknown exception");
  }
}

void TOVScheduler::StartApart(const TTaskRef& ref) {
  // A run that is over has only its return left: joining it here is short.
  std::erase_if(apart_, [](TApartRun& r) {
    if (!r.done->load()) return false;
    r.thread.join();
    return true;
  });
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    apart_.reserve(apart_.size() + 1);  // the push below cannot fail once the thread runs
    apart_.push_back({std::thread([this, ref, done] {
                        RunClaimed(ref);
                        done->store(true);
                      }),
                      done});
  } catch (const std::exception& e) {
    LogExecuteError(ref.task, e);
    if (ReleaseLocked(ref)) run_ended_.notify_all();
  }
}

void TOVScheduler::RunSystemTask(const std::string& task_name) {
  if (!RunMaintenanceTask(task_name, stop_.get_token())) LogWarning("Scheduler: unknown system task: %s", task_name);
}

void TOVScheduler::ExecuteTask(const TTaskRef& ref) {
  // The claim ends with the run's bookkeeping, its run-log row and its result event, whatever
  // happens on the way.
  struct ReleaseAtEnd {
    TOVScheduler& s;
    const TTaskRef& ref;
    ~ReleaseAtEnd() { s.Release(ref); }
  } release{*this, ref};

  const std::int64_t started_at = clock_.WallSeconds();
  const TOVMonoTime started = clock_.MonoNow();
  LogDebug("Scheduler: running task %s/%s", ref.plugin, ref.task);
  FireSchedulerEvent("scheduler.task_start", [&] {
    TJSON d = TJSON::object();
    d["task_name"] = ref.task;
    d["plugin_name"] = ref.plugin;
    return d;
  });

  bool success = true;
  std::string error;
  try {
    if (ref.plugin == "system") {
      RunSystemTask(ref.task);
    } else if (run_plugin_task_) {
      run_plugin_task_(ref.plugin, ref.task);
    } else {
      success = false;
      error = "No plugin task runner available";
    }
  } catch (const std::exception& e) {
    // The run is recorded as failed either way; only the log line is left to the outage's own.
    success = false;
    error = MessageOf(e);
    if (!FailedForOutage(e)) LogError("Scheduler: task %s/%s failed: %s", ref.plugin, ref.task, error);
  } catch (...) {
    // Also what a plug-in throws that is no std::exception.
    success = false;
    error = "unknown exception";
    LogError("Scheduler: task %s/%s failed: %s", ref.plugin, ref.task, error);
  }
  const std::int64_t duration_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_.MonoNow() - started).count();

  // Bookkeeping errors do not cost the run its log row or its result event; the first one is
  // passed on afterwards.
  std::exception_ptr failure;
  {
    TOVLockGuard g(lock_);
    // The list may have been reloaded under the run: the task is found again by id and names,
    // and a task that is gone is left alone.
    std::optional<std::size_t> index;
    if (ref.index < tasks_.size() && SameTask(tasks_[ref.index], ref.id, ref.plugin, ref.task))
      index = ref.index;
    else if (auto found = FindTask(ref.id); found && SameTask(tasks_[*found], ref.id, ref.plugin, ref.task))
      index = found;
    if (index) {
      TOVSchedulerTask& t = tasks_[*index];
      t.LastRun = clock_.WallSeconds();
      t.RunCount = t.RunCount < std::numeric_limits<std::int32_t>::max() ? t.RunCount + 1 : t.RunCount;
      if (success) {
        t.LastResult = "success";
        t.LastError.clear();
      } else {
        t.LastResult = "error";
        t.LastError = error;
        t.FailCount = t.FailCount < std::numeric_limits<std::int32_t>::max() ? t.FailCount + 1 : t.FailCount;
      }
      // Interval runs are counted from the end of the run.
      if (t.Enabled) {
        ScheduleTask(t, t.LastRun, clock_.MonoNow());
        SetDue(*index);
      }
      try {
        store_->StoreRun(t);
      } catch (...) {
        failure = std::current_exception();
      }
    }
  }
  try {
    store_->LogRun({ref.plugin, ref.task, started_at, ClampToInt32(duration_ms), success ? "success" : "error", error});
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  FireSchedulerEvent(OV_EVENT_SCHEDULER_RESULT, [&] {
    TJSON d = TJSON::object();
    d["task_name"] = ref.task;
    d["plugin_name"] = ref.plugin;
    d["success"] = success;
    d["duration_ms"] = duration_ms;
    d["error_message"] = error;
    return d;
  });
  if (failure) std::rethrow_exception(failure);
}

bool TOVScheduler::RunTaskNow(std::int64_t task_id) {
  TTaskRef ref;
  {
    TOVUniqueLock lk(lock_);
    for (;;) {
      const std::optional<std::size_t> index = FindTask(task_id);
      if (!index) return false;
      if (!IsClaimed(*index)) {
        ref = Claim(*index);
        break;
      }
      // The run in progress ends first; then the task is looked up again.
      ++run_waiters_;
      run_ended_.wait(lk);
      --run_waiters_;
    }
  }
  ExecuteTask(ref);
  return true;
}

// ---- reading and editing --------------------------------------------------------------------

TJSON TOVScheduler::TaskJSON(const TOVSchedulerTask& t) const {
  TJSON o = TJSON::object();
  o["id"] = t.Id;
  o["task_name"] = t.TaskName;
  o["plugin_name"] = t.PluginName;
  o["description"] = t.Description;
  o["category"] = t.Category;
  o["schedule_type"] = t.Kind == stkCron ? "cron" : "interval";
  o["interval_seconds"] = t.IntervalSeconds;
  o["cron_expr"] = t.CronExpr;
  o["enabled"] = t.Enabled;
  o["last_run"] = TimeJSON(t.LastRun);
  o["next_run"] = TimeJSON(t.NextRun);
  o["last_result"] = t.LastResult;
  o["last_error"] = t.LastError;
  o["run_count"] = t.RunCount;
  o["fail_count"] = t.FailCount;
  o["user_modified"] = t.UserModified;
  o["is_running"] = t.IsRunning || Claimed(t);
  return o;
}

TJSON TOVScheduler::GetTasksJSON() const {
  TOVLockGuard g(lock_);
  TJSON a = TJSON::array();
  for (const TOVSchedulerTask& t : tasks_) a.push_back(TaskJSON(t));
  return a;
}

std::optional<TJSON> TOVScheduler::GetTaskJSON(std::int64_t task_id) const {
  TOVLockGuard g(lock_);
  const std::optional<std::size_t> index = FindTask(task_id);
  if (!index) return std::nullopt;
  return TaskJSON(tasks_[*index]);
}

bool TOVScheduler::UpdateTask(std::int64_t task_id, const TJSON& updates) {
  TOVLockGuard g(lock_);
  const std::optional<std::size_t> index = FindTask(task_id);
  if (!index) return false;
  // Changed on a copy: a refused edit or a failing store leaves the task as it was.
  TOVSchedulerTask t = tasks_[*index];
  if (auto it = updates.find("enabled"); it != updates.end()) {
    // 1, "true" or null silently ignored would answer "Task updated" for a task left as it was.
    if (!it->is_boolean()) throw EOVTaskUpdateRefused("Invalid enabled: must be true or false");
    t.Enabled = it->get<bool>();
  }
  const auto type = updates.find("schedule_type");
  if (type != updates.end())
    t.Kind = type->is_string() && type->get_ref<const std::string&>() == "cron" ? stkCron : stkInterval;
  if (auto it = updates.find("interval_seconds"); it != updates.end()) t.IntervalSeconds = IntervalSecondsOf(*it);
  const auto cron = updates.find("cron_expr");
  if (cron != updates.end()) {
    if (!cron->is_string()) throw EOVTaskUpdateRefused("Invalid cron_expr: must be a string");
    t.CronExpr = cron->get<std::string>();
    t.Cron = TOVCronSchedule::Parse(t.CronExpr);
  }
  // A cron task whose expression the edit set or kept must be one the scheduler can follow: a
  // bad one falls back to a run a day after each look, which is not what it says.
  if ((cron != updates.end() && !t.CronExpr.empty()) ||
      (t.Kind == stkCron && (cron != updates.end() || type != updates.end()))) {
    if (const std::optional<std::string> why = CronExpressionProblem(t.CronExpr))
      throw EOVTaskUpdateRefused("Invalid cron_expr: " + *why);
  }
  t.UserModified = true;
  if (t.Enabled) ScheduleTask(t, clock_.WallSeconds(), clock_.MonoNow());
  store_->StoreEdit(t);
  tasks_[*index] = std::move(t);
  SetDue(*index);
  return true;
}

// ---- start-up and shutdown ------------------------------------------------------------------

void StartupScheduler(TRunPluginTaskProc run_plugin_task, TGetPluginTasksFunc get_plugin_tasks) {
  const bool plugins = run_plugin_task || get_plugin_tasks;
  auto scheduler = std::make_unique<TOVScheduler>(std::move(run_plugin_task), std::move(get_plugin_tasks));
  scheduler->Start();
  Scheduler.Publish(std::move(scheduler));
  LogInfo(plugins ? "Task scheduler started" : "Task scheduler started (no plugins)");
}

void ShutdownScheduler(const std::function<void(const std::string&)>& step) {
  if (!Scheduler.Exists()) return;
  if (step) step("Scheduler.Terminate");
  if (auto s = Scheduler.Get()) s->Terminate();
  if (step) step("Scheduler.Free");
  Scheduler.Free();
}

}  // namespace ov
