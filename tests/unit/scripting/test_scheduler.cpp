#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "clock_test_util.h"
#include "dbapi_pool.h"
#include "ov_database.h"
#include "ov_log.h"
#include "ov_config.h"
#include "ov_event_bus.h"
#include "ov_plugin_updates.h"
#include "ov_scheduler.h"
#include "ov_security.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;
using ovtest::RawExec;
using ovtest::RawText;
using ovtest::UTC;

namespace {

// A gate a plug-in task waits at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> g(m_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

class SchedulerTest : public ovtest::SqliteDBTest {
 protected:
  ovtest::ScopedTZ tz{"UTC"};
  ovtest::FakeClock clock{UTC(2024, 6, 12, 12, 0, 0)};  // a Wednesday
  std::unique_ptr<TOVScheduler> s;
  std::vector<std::string> events;  // "type plugin/task" and the result's members
  std::mutex events_lock;

  void SetUp() override {
    SqliteDBTest::SetUp();
    RawExec(file, "DELETE FROM system_scheduler");  // the seeded maintenance tasks
    EventBus.Publish(std::make_unique<TOVEventBus>());
    EventBus->Subscribe("test", "*", {nullptr, this, [this](const std::string& type, const TJSON* d) {
                                        std::lock_guard<std::mutex> g(events_lock);
                                        events.push_back(type + " " + JsonCompact(*d));
                                      }});
  }
  void TearDown() override {
    s.reset();
    EventBus.Free();
    SqliteDBTest::TearDown();
    Log.Free();
  }

  void Make(TRunPluginTaskProc run = {}, TGetPluginTasksFunc list = {}) {
    TOVSchedulerOptions o;
    o.clock = &clock;
    s = std::make_unique<TOVScheduler>(std::move(run), std::move(list), std::move(o));
  }

  std::int64_t AddTask(const std::string& plugin, const std::string& task, const std::string& type, int interval,
                       const std::string& cron = "", int enabled = 1, const std::string& next_run = "NULL") {
    RawExec(file, "INSERT INTO system_scheduler (task_name, plugin_name, schedule_type, interval_seconds, "
                  "cron_expr, enabled, next_run) VALUES ('" + task + "', '" + plugin + "', '" + type + "', " +
                      std::to_string(interval) + ", '" + cron + "', " + std::to_string(enabled) + ", " + next_run +
                      ")");
    return std::stoll(RawText(file, "SELECT MAX(id) FROM system_scheduler"));
  }

  TJSON Task(std::int64_t id) { return s->GetTaskJSON(id).value_or(TJSON()); }
  std::string Row(std::int64_t id, const std::string& columns) {
    return RawText(file, "SELECT " + columns + " FROM system_scheduler WHERE id = " + std::to_string(id));
  }
  std::string RunLog() {
    return RawText(file, "SELECT group_concat(task_name || ':' || result || ':' || error_message, ',') FROM "
                         "(SELECT * FROM scheduler_log ORDER BY id)");
  }
  // Advances both clocks one second at a time, ticking after each.
  void TickFor(std::chrono::seconds d) {
    for (auto i = 0s; i < d; i += 1s) {
      clock.Advance(1s);
      s->Tick();
    }
  }
};

}  // namespace

TEST_F(SchedulerTest, LoadingSchedulesFromNowAndIntervalsFollowTheMonotonicClock) {
  const std::int64_t daily = AddTask("p", "daily", "interval", 86400, "", 1, "'2000-01-01 00:00:00'");
  const std::int64_t off = AddTask("p", "off", "interval", 10, "", 0, "'2001-02-03 04:05:06'");
  const std::int64_t often = AddTask("p", "often", "interval", 10);
  std::vector<std::string> runs;
  Make([&](const std::string& p, const std::string& t) { runs.push_back(p + "/" + t); });

  // A stored next run is never used: the enabled task is due one full period from now.
  EXPECT_EQ(Task(daily)["next_run"], "2024-06-13 12:00:00");
  EXPECT_EQ(Row(daily, "next_run"), "2024-06-13 12:00:00");
  EXPECT_EQ(Task(off)["next_run"], "2001-02-03 04:05:06");
  EXPECT_TRUE(Task(often)["last_run"].is_null());

  TickFor(9s);
  EXPECT_TRUE(runs.empty());
  TickFor(1s);
  ASSERT_EQ(runs, std::vector<std::string>{"p/often"});
  const TJSON t = Task(often);
  EXPECT_EQ(t["last_run"], "2024-06-12 12:00:10");
  EXPECT_EQ(t["next_run"], "2024-06-12 12:00:20");
  EXPECT_EQ(t["run_count"], 1);
  EXPECT_EQ(t["last_result"], "success");
  EXPECT_EQ(Row(often, "run_count || ' ' || last_run || ' ' || last_result"), "1 2024-06-12 12:00:10 success");
  EXPECT_EQ(RunLog(), "often:success:");
  EXPECT_EQ(RawText(file, "SELECT started_at || ' ' || plugin_name || ' ' || duration_ms FROM scheduler_log"),
            "2024-06-12 12:00:10 p 0");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], R"(scheduler.task_start {"task_name":"often","plugin_name":"p"})");
  EXPECT_EQ(events[1], R"(scheduler.task_result {"task_name":"often","plugin_name":"p","success":true,)"
                       R"("duration_ms":0,"error_message":""})");

  // The wall clock set back an hour: interval tasks go on, and "next_run" shows the wall time
  // their deadline now stands for.
  clock.JumpWall(-3600s);
  TickFor(10s);
  EXPECT_EQ(runs.size(), 2u);
  EXPECT_EQ(Task(often)["next_run"], "2024-06-12 11:00:30");
  // The daily task is due 24 hours after the start, by the monotonic clock.
  clock.JumpWall(86400s);
  TickFor(1s);
  EXPECT_EQ(std::count(runs.begin(), runs.end(), "p/daily"), 0);
}

TEST_F(SchedulerTest, ClockJumpsRecomputeCronAndNeverBurst) {
  const std::int64_t nightly = AddTask("p", "nightly", "cron", 60, "0 3 * * *");
  const std::int64_t quarter = AddTask("p", "quarter", "cron", 60, "*/15 * * * *");
  std::vector<std::string> runs;
  Make([&](const std::string&, const std::string& t) { runs.push_back(t); });
  EXPECT_EQ(Task(nightly)["next_run"], "2024-06-13 03:00:00");

  // A clock briefly years ahead runs each due task once ...
  clock.JumpWall(std::chrono::seconds(UTC(2030, 1, 1, 12) - UTC(2024, 6, 12, 12)));
  TickFor(3s);
  EXPECT_EQ(runs, (std::vector<std::string>{"nightly", "quarter"}));
  EXPECT_EQ(Task(nightly)["next_run"], "2030-01-02 03:00:00");
  // ... and when it comes back, the cron tasks are due at their next minute from the new now,
  // not years ahead.
  clock.SetWall(UTC(2024, 6, 12, 12, 0, 10));
  TickFor(1s);
  EXPECT_EQ(Task(nightly)["next_run"], "2024-06-13 03:00:00");
  EXPECT_EQ(Task(quarter)["next_run"], "2024-06-12 12:15:00");
  EXPECT_EQ(Row(quarter, "next_run"), "2024-06-12 12:15:00");
  EXPECT_EQ(runs.size(), 2u);
  TickFor(15min);
  EXPECT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs.back(), "quarter");
}

// A row that came in some other way than an edit may hold an expression that never matches:
// it is searched again a day later, and the task never runs for it.
TEST_F(SchedulerTest, StoredExpressionsThatNeverMatchAreLookedAtADayLater) {
  const std::int64_t feb31 = AddTask("p", "feb31", "cron", 60, "0 0 31 2 *");
  const std::int64_t bogus = AddTask("p", "bogus", "cron", 60, "bogus");
  std::vector<std::string> runs;
  Make([&](const std::string&, const std::string& t) { runs.push_back(t); });
  for (const std::int64_t id : {feb31, bogus}) EXPECT_EQ(Task(id)["next_run"], "2024-06-13 12:00:00");
  clock.Advance(24h);
  s->Tick();
  for (const std::int64_t id : {feb31, bogus}) {
    EXPECT_EQ(Task(id)["next_run"], "2024-06-14 12:00:00");
    EXPECT_EQ(Row(id, "next_run"), "2024-06-14 12:00:00");
  }
  EXPECT_TRUE(runs.empty());
}

TEST_F(SchedulerTest, UpdateTaskRules) {
  const std::int64_t id = AddTask("p", "t", "interval", 300);
  Make();
  clock.Advance(100s);

  // An interval or expression the scheduler would not run is refused, and nothing changes:
  // not the other members, not user_modified, not the next run.
  const TJSON unchanged = Task(id);
  const std::string row = Row(id, "user_modified || interval_seconds || ' ' || next_run || enabled || cron_expr");
  for (const char* refused : {R"({"interval_seconds": 0})", R"({"enabled": false, "interval_seconds": -5})",
                              R"({"interval_seconds": 7.9})", R"({"cron_expr": 7})",
                              R"({"schedule_type": "cron", "cron_expr": "61 * * * *"})",
                              R"({"schedule_type": "cron"})", R"({"enabled": "no"})"}) {
    EXPECT_THROW(s->UpdateTask(id, TJSON::parse(refused)), EOVTaskUpdateRefused) << refused;
    EXPECT_EQ(Task(id), unchanged) << refused;
    EXPECT_EQ(Row(id, "user_modified || interval_seconds || ' ' || next_run || enabled || cron_expr"), row);
  }
  // No members: marked as edited and rescheduled from now.
  ASSERT_TRUE(s->UpdateTask(id, TJSON::object()));
  TJSON t = Task(id);
  EXPECT_EQ(t["interval_seconds"], 300);
  EXPECT_EQ(t["user_modified"], true);
  EXPECT_EQ(t["next_run"], "2024-06-12 12:06:40");
  EXPECT_EQ(Row(id, "user_modified || interval_seconds || ' ' || next_run"), "1300 2024-06-12 12:06:40");

  // Any schedule_type but "cron" is interval.
  ASSERT_TRUE(s->UpdateTask(id, TJSON::parse(R"({"schedule_type": 5})")));
  t = Task(id);
  EXPECT_EQ(t["enabled"], true);
  EXPECT_EQ(t["schedule_type"], "interval");
  EXPECT_EQ(t["cron_expr"], "");

  ASSERT_TRUE(s->UpdateTask(id, TJSON::parse(R"({"schedule_type": "cron", "cron_expr": "*/5 * * * *"})")));
  EXPECT_EQ(Task(id)["next_run"], "2024-06-12 12:05:00");
  EXPECT_EQ(Row(id, "schedule_type || ' ' || cron_expr"), "cron */5 * * * *");

  // Disabled: the old next run stays (and nothing runs); enabled again: rescheduled from now.
  clock.Advance(1h);
  ASSERT_TRUE(s->UpdateTask(id, TJSON::parse(R"({"enabled": false, "cron_expr": "0 0 * * *"})")));
  EXPECT_EQ(Task(id)["next_run"], "2024-06-12 12:05:00");
  s->Tick();
  EXPECT_EQ(Task(id)["run_count"], 0);
  ASSERT_TRUE(s->UpdateTask(id, TJSON::parse(R"({"enabled": true, "schedule_type": "interval",
                                                "interval_seconds": 7})")));
  EXPECT_EQ(Task(id)["next_run"], "2024-06-12 13:01:47");
  EXPECT_EQ(Row(id, "enabled || ' ' || interval_seconds || ' ' || cron_expr"), "1 7 0 0 * * *");

  EXPECT_FALSE(s->UpdateTask(id + 100, TJSON::object()));
  EXPECT_FALSE(s->RunTaskNow(id + 100));
  EXPECT_FALSE(s->GetTaskJSON(id + 100));
}

TEST_F(SchedulerTest, FailuresAreRecordedRuns) {
  const std::int64_t std_throw = AddTask("p", "std", "interval", 60);
  const std::int64_t int_throw = AddTask("p", "int", "interval", 60);
  const std::int64_t empty = AddTask("p", "empty", "interval", 60);
  const std::int64_t unknown = AddTask("system", "no_such_task", "interval", 60);
  Make([](const std::string&, const std::string& t) {
    if (t == "std") throw std::runtime_error("boom");
    if (t == "int") throw 42;
    throw std::runtime_error("");
  });
  for (std::int64_t id : {std_throw, int_throw, empty, unknown}) ASSERT_TRUE(s->RunTaskNow(id));

  EXPECT_EQ(Task(std_throw)["last_error"], "boom");
  EXPECT_EQ(Task(int_throw)["last_error"], "unknown exception");
  EXPECT_EQ(Task(empty)["last_error"], "unknown exception");
  EXPECT_EQ(Task(std_throw)["fail_count"], 1);
  EXPECT_EQ(Task(unknown)["last_result"], "success");  // an unknown system task only warns
  EXPECT_EQ(Row(std_throw, "last_result || ' ' || last_error || ' ' || fail_count || run_count"), "error boom 11");
  EXPECT_EQ(RunLog(), "std:error:boom,int:error:unknown exception,empty:error:unknown exception,no_such_task:success:");
  EXPECT_EQ(events[1], R"(scheduler.task_result {"task_name":"std","plugin_name":"p","success":false,)"
                       R"("duration_ms":0,"error_message":"boom"})");

  // Without a plug-in manager a plug-in task cannot run.
  s.reset();
  Make();
  ASSERT_TRUE(s->RunTaskNow(std_throw));
  EXPECT_EQ(Task(std_throw)["last_error"], "No plugin task runner available");
  EXPECT_EQ(Task(std_throw)["fail_count"], 2);

  // The tick goes on when the bookkeeping fails (the table is gone).
  RawExec(file, "ALTER TABLE scheduler_log RENAME TO scheduler_log_away");
  clock.Advance(60s);
  EXPECT_NO_THROW(s->Tick());
  EXPECT_THROW(s->RunTaskNow(std_throw), std::exception);
  RawExec(file, "ALTER TABLE scheduler_log_away RENAME TO scheduler_log");
}

// A run that fails only because the database is known to be down adds no line of its own (the
// outage's lines tell it); the same failure while the database is thought up, or any other
// failure, is logged.  The run is recorded as failed in every case.
TEST_F(SchedulerTest, ARunFailedForTheOutageAloneAddsNoLine) {
  Log.Publish(std::make_unique<TOVLog>("", false));
  std::vector<std::string> lines;
  Log->SetDBCallback([&](const std::string&, const std::string&, const std::string&, const std::string& msg) {
    if (msg.starts_with("Scheduler: task")) lines.push_back(msg);
  });
  std::function<void()> fail;
  const std::int64_t id = AddTask("p", "t", "interval", 60);
  Make([&](const std::string&, const std::string&) { fail(); });
  const auto refused = [] { throw EDBAPoolDead("Database unavailable: connection refused"); };
  const auto lost = [] { throw sql::SqlError("server closed the connection", "", false, true); };
  const auto other = [] { throw sql::SqlError("no such table: p_t"); };
  const struct {
    bool down;
    std::function<void()> fail;
    bool logged;
  } cases[] = {{false, refused, true}, {false, lost, true}, {true, refused, false}, {true, lost, false},
               {true, other, true}};
  int failures = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(failures);
    // The record goes down with the first case that says so and stays down for the rest.
    if (c.down) DB->ReadPool().Reachability().Begin().Failed("connection refused");
    lines.clear();
    fail = c.fail;
    ASSERT_TRUE(s->RunTaskNow(id));
    EXPECT_EQ(lines.size(), c.logged ? 1u : 0u);
    EXPECT_EQ(Task(id)["fail_count"], ++failures);
  }
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM scheduler_log WHERE result = 'error'"), "5");
}

TEST_F(SchedulerTest, OneRunOfATaskAtATime) {
  const std::int64_t id = AddTask("p", "slow", "interval", 1);
  Gate gate;
  std::atomic<int> calls{0}, inside{0}, most_inside{0};
  Make([&](const std::string&, const std::string&) {
    const int n = ++inside;
    most_inside = std::max(most_inside.load(), n);
    if (++calls == 1) gate.Wait();
    --inside;
  });
  std::thread first([&] { s->RunTaskNow(id); });
  if (!ovtest::PollUntil([&] { return calls > 0; })) {
    gate.Open();
    first.join();
    FAIL() << "the first run never began";
  }
  EXPECT_EQ(Task(id)["is_running"], true);

  // The tick skips the running task; a second request waits for the first run.
  TickFor(3s);
  std::atomic<bool> second_done{false};
  std::thread second([&] {
    s->RunTaskNow(id);
    second_done = true;
  });
  // Time for a second run that did not wait to begin.  (The pause only decides how surely a
  // fault shows; a sound scheduler passes whatever the timing.)
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(second_done);
  gate.Open();
  first.join();
  second.join();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(most_inside, 1);
  EXPECT_EQ(Task(id)["is_running"], false);
  EXPECT_EQ(Task(id)["run_count"], 2);
}

TEST_F(SchedulerTest, PluginTasksAreRegisteredAndOrphansRemoved) {
  TJSON declared = TJSON::parse(R"([
      {"plugin_name": "alpha", "task_name": "sync", "interval_seconds": 30},
      {"plugin_name": "alpha", "task_name": "mail", "description": "Send mail"},
      {"plugin_name": "beta", "task_name": "tidy"},
      {"plugin_name": "", "task_name": "nameless"}, {"task_name": "x"}, 17, "text"])");
  bool fail = false;
  Make({}, [&] {
    if (fail) throw std::runtime_error("plug-in crashed");
    return declared;
  });
  EXPECT_EQ(RawText(file, "SELECT group_concat(plugin_name || '/' || task_name || '/' || description || '/' || "
                          "category || '/' || interval_seconds, ',') FROM (SELECT * FROM system_scheduler ORDER BY id)"),
            "alpha/sync/sync/plugin/30,alpha/mail/Send mail/plugin/60,beta/tidy/tidy/plugin/60");
  EXPECT_EQ(s->GetTasksJSON().size(), 3u);

  // A failing list changes nothing.
  fail = true;
  s->RefreshTasks();
  EXPECT_EQ(s->GetTasksJSON().size(), 3u);
  fail = false;

  // beta stops declaring: its row goes.  Names compare ignoring case.
  declared = TJSON::parse(R"([{"plugin_name": "ALPHA", "task_name": "SYNC"}])");
  s->RefreshTasks();
  EXPECT_EQ(RawText(file, "SELECT group_concat(task_name) FROM (SELECT * FROM system_scheduler ORDER BY id)"), "sync,mail");

  // alpha stops too: an edited row goes with the unedited one ...
  const std::int64_t sync = std::stoll(RawText(file, "SELECT id FROM system_scheduler WHERE task_name = 'sync'"));
  ASSERT_TRUE(s->UpdateTask(sync, TJSON::parse(R"({"interval_seconds": 5})")));
  declared = TJSON::array();
  s->RefreshTasks();
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM system_scheduler"), "0");
  // ... unless every row of the plug-in was edited.
  declared = TJSON::parse(R"([{"plugin_name": "gamma", "task_name": "a"}])");
  s->RefreshTasks();
  ASSERT_TRUE(s->UpdateTask(std::stoll(RawText(file, "SELECT id FROM system_scheduler")), TJSON::object()));
  declared = TJSON::array();
  s->RefreshTasks();
  EXPECT_EQ(RawText(file, "SELECT task_name FROM system_scheduler"), "a");
}

TEST_F(SchedulerTest, ReloadDuringARun) {
  const std::int64_t doomed = AddTask("p", "uninstall", "interval", 60);
  const std::int64_t kept = AddTask("p", "kept", "interval", 60);
  std::function<void()> during;
  Make([&](const std::string&, const std::string&) { during(); });

  // The run deletes its own row and reloads: another task now holds its slot, and neither row
  // is updated; the run log still has the run.
  during = [&] {
    RawExec(file, "DELETE FROM system_scheduler WHERE id = " + std::to_string(doomed));
    s->RefreshTasks();
  };
  ASSERT_TRUE(s->RunTaskNow(doomed));
  EXPECT_EQ(Task(kept)["run_count"], 0);
  EXPECT_EQ(Row(kept, "run_count || ' ' || IFNULL(last_run, '-')"), "0 -");
  EXPECT_EQ(RunLog(), "uninstall:success:");

  // A reload that keeps the task: the run is counted in the reloaded record and its row.
  during = [&] { s->RefreshTasks(); };
  ASSERT_TRUE(s->RunTaskNow(kept));
  EXPECT_EQ(Task(kept)["run_count"], 1);
  EXPECT_EQ(Task(kept)["is_running"], false);
  EXPECT_EQ(Row(kept, "run_count"), "1");
}

TEST_F(SchedulerTest, TheThreadTicksOnItsOwnAndStopsAtOnce) {
  // Every tick looks at the list: a task runs when its time has come on the clock, with no call
  // from outside.
  const std::int64_t id = AddTask("p", "t", "interval", 60);
  TOVSchedulerOptions ticking;
  ticking.clock = &clock;
  ticking.tick = 10ms;
  s = std::make_unique<TOVScheduler>([](const std::string&, const std::string&) {}, nullptr, std::move(ticking));
  s->Start();
  for (int n = 1; n <= 2; ++n) {
    clock.Advance(60s);
    EXPECT_TRUE(ovtest::PollUntil([&] { return Task(id)["run_count"] == n; })) << n;
  }
  s.reset();

  TOVSchedulerOptions o;
  o.clock = &clock;
  o.tick = 1h;  // the stop must not wait for the pause between ticks to end
  s = std::make_unique<TOVScheduler>(nullptr, nullptr, std::move(o));
  s->Start();
  EXPECT_TRUE(s->Running());
  const auto t0 = std::chrono::steady_clock::now();
  s->Terminate();
  s.reset();  // joins
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ovtest::kPatience);
}

// The registry's check-in waits on a peer: it runs on a thread of its own, so a registry that
// sends a byte now and then (fast enough for the I/O time-out) delays no other task, and the
// check-in fails "timed out" at its deadline.  A stop ends a check-in under way at once.
TEST_F(SchedulerTest, ARegistryCheckInDelaysNoOtherTask) {
  ovtest::LoopbackHttp registry;
  ovtest::TempDir dir;
  ovtest::WriteText(dir / "o.ini", "[plugins]\nregistry_url=" + registry.Url("/trickle") + "\n");
  Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
  struct TFree {
    ~TFree() {
      UpdateChecker.Free();
      Config.Free();
    }
  } free_services;
  auto checker = [](std::chrono::milliseconds deadline) {
    UpdateChecker.Free();
    TOVHttpClientOptions o = RegistryHttpOptions();
    o.io_timeout = 1000ms;
    o.total_timeout = deadline;
    UpdateChecker.Publish(std::make_unique<TOVPluginUpdateChecker>(o));
  };
  checker(1500ms);
  const std::int64_t check = AddTask("system", "plugin_update_check", "interval", 1);
  const std::int64_t wal = AddTask("system", "wal_checkpoint", "interval", 1);
  Make();

  const auto started = std::chrono::steady_clock::now();
  TickFor(1s);
  ASSERT_TRUE(registry.NextRequest());  // the check-in has reached the registry and waits there
  TickFor(3s);
  EXPECT_EQ(Task(wal)["run_count"], 4);
  EXPECT_EQ(Task(check)["is_running"], true);
  EXPECT_EQ(Task(check)["run_count"], 0);
  // Over once its bookkeeping is done too: a tick skips a task that is still running.
  ASSERT_TRUE(ovtest::PollUntil([&] { return Task(check)["run_count"] == 1 && Task(check)["is_running"] == false; }));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  const TJSON failed = Task(check);
  EXPECT_EQ(failed["last_result"], "error");
  EXPECT_EQ(failed["last_error"].get<std::string>().rfind("Plugin registry timed out: Operation timed out after ", 0), 0u)
      << failed;

  checker(60s);
  TickFor(1s);
  ASSERT_TRUE(registry.NextRequest());
  const auto stopping = std::chrono::steady_clock::now();
  s.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
  EXPECT_EQ(Row(check, "run_count || ' ' || last_error"), "2 Server is stopping: plugin registry check-in cancelled");
}
