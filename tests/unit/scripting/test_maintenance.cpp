#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <chrono>
#include <future>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "ov_config.h"
#include "ov_event_bus.h"
#include "ov_log.h"
#include "db_test_env.h"
#include "ov_maintenance.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;
using ovtest::RawExec;
using ovtest::RawText;

namespace {

// PATH for the scope of a test.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& path) : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", path.c_str(), 1);
  }
  ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

class MaintenanceTest : public ovtest::SqliteDBTest {
 protected:
  void SetUp() override {
    SqliteDBTest::SetUp();
    Log.Publish(std::make_unique<TOVLog>(dir / "test.log", false));
  }
  void TearDown() override {
    Log.Free();
    SqliteDBTest::TearDown();
  }

  std::string LogText() { return ovtest::ReadText(dir / "test.log"); }
  std::string Count(const std::string& sql) { return RawText(file, "SELECT COUNT(*) FROM " + sql); }
  // A program named sqlite3 in a directory of its own; returns a PATH that finds it first.
  std::string FakeSqlite(const std::string& script) {
    const std::string bin = dir / "bin";
    ovtest::WriteText(bin + "/sqlite3", "#!/bin/sh\n" + script + "\n");
    ::chmod((bin + "/sqlite3").c_str(), 0755);
    return bin + ":" + std::getenv("PATH");
  }
  // An ordinary writer: it must find a working connection.
  void ExpectWriteWorks(const std::string& tag) {
    auto db = DB.Get();
    auto q = db->NewQuery();
    q.SetSQL("INSERT INTO audit_log (action, target) VALUES ('probe', :t)");
    q.Param("t", tag);
    ASSERT_NO_THROW(q.ExecSQL()) << tag;
    ASSERT_NO_THROW(db->Commit()) << tag;
  }
};

}  // namespace

TEST_F(MaintenanceTest, PruningRemovesExactlyTheOldRows) {
  for (const char* level : {"debug", "info", "warning", "error"})
    for (const char* age : {"-2 hours", "-2 days", "-10 days", "-40 days"})
      RawExec(file, std::string("INSERT INTO system_logs (timestamp, level, source, category, message) VALUES "
                                "(datetime('now', '") + age + "'), '" + level + "', 't', 'g', '" + age + "')");
  for (const char* age : {"-1 hours", "-40 days"})
    RawExec(file, std::string("INSERT INTO scheduler_log (task_name, plugin_name, started_at) VALUES ('t', 'p', "
                              "datetime('now', '") + age + "'))");
  for (const char* age : {"-10 minutes", "-40 minutes"})
    RawExec(file, std::string("INSERT INTO active_sessions (guid, node, protocol, ip_address, last_activity) "
                              "VALUES (hex(randomblob(8)), 1, 'telnet', '1.2.3.4', datetime('now', '") + age + "'))");

  ASSERT_TRUE(RunMaintenanceTask("log_cleanup"));
  EXPECT_EQ(Count("system_logs WHERE message = '-40 days'"), "0");
  EXPECT_EQ(Count("system_logs WHERE source = 't'"), "12");
  // The pages the deletion changed went back into the database file; the WAL is empty.
  EXPECT_EQ(std::filesystem::file_size(file + "-wal"), 0u);
  ASSERT_TRUE(RunMaintenanceTask("scheduler_log_cleanup"));
  EXPECT_EQ(Count("scheduler_log"), "1");
  ASSERT_TRUE(RunMaintenanceTask("session_cleanup"));
  EXPECT_EQ(Count("active_sessions"), "1");

  // The vacuum's pruning keeps debug lines a day and error lines a week; then sqlite3 runs.
  RawExec(file, "CREATE TABLE filler (x BLOB)");
  RawExec(file, "INSERT INTO filler SELECT randomblob(100000) FROM (SELECT 1 UNION SELECT 2 UNION SELECT 3)");
  RawExec(file, "DROP TABLE filler");
  ASSERT_NE(RawText(file, "PRAGMA freelist_count"), "0");
  ASSERT_TRUE(RunMaintenanceTask("db_vacuum"));
  EXPECT_EQ(RawText(file, "SELECT group_concat(level || message, ',') FROM system_logs WHERE source = 't'"),
            "debug-2 hours,info-2 hours,info-2 days,info-10 days,warning-2 hours,warning-2 days,"
            "warning-10 days,error-2 hours,error-2 days");
  EXPECT_EQ(RawText(file, "PRAGMA freelist_count"), "0");
  EXPECT_NE(LogText().find("Scheduler: db_vacuum completed"), std::string::npos);
  ExpectWriteWorks("after vacuum");

  EXPECT_FALSE(RunMaintenanceTask("no_such_task"));
  EXPECT_FALSE(RunMaintenanceTask("LOG_CLEANUP"));  // names compare exactly
}

TEST_F(MaintenanceTest, VacuumFailuresReopenTheConnection) {
  // A program that fails and one that is not there: the failure is the task's, and the
  // connection is open again for the next writer.
  const struct {
    std::string path, failure;
  } cases[] = {{FakeSqlite("exit 3"), "sqlite3 VACUUM failed (exit code 3)"},
               {dir / "empty", "Cannot start sqlite3: No such file or directory"}};
  for (const auto& c : cases) {
    ScopedPath path(c.path);
    std::string failure = "<none>";
    try {
      RunMaintenanceTask("db_vacuum");
    } catch (const std::exception& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, c.failure);
    ExpectWriteWorks("after " + c.failure);
  }
  EXPECT_EQ(LogText().find("Scheduler: db_vacuum completed"), std::string::npos);

  // sqlite3 gets the write connection's file and "VACUUM"; a writer waits until the connection
  // is open again, and its row is there.
  ScopedPath path(FakeSqlite("echo \"$1 $2\" > \"" + dir / "args" + "\"; sleep 0.3; touch \"" + dir / "done" +
                             "\""));
  std::thread vacuum([&] { EXPECT_NO_THROW(RunMaintenanceTask("db_vacuum")); });
  while (!std::filesystem::exists(dir / "args")) std::this_thread::sleep_for(5ms);
  ExpectWriteWorks("during vacuum");
  const bool program_ended_first = std::filesystem::exists(dir / "done");
  vacuum.join();
  EXPECT_TRUE(program_ended_first);
  EXPECT_EQ(ovtest::ReadText(dir / "args"), file + " VACUUM\n");
  EXPECT_EQ(Count("audit_log WHERE target = 'during vacuum'"), "1");
}

TEST_F(MaintenanceTest, WalCheckpointConfigWatchAndNews) {
  ASSERT_TRUE(RunMaintenanceTask("wal_checkpoint"));
  EXPECT_NE(LogText().find("wal_checkpoint(TRUNCATE) ok: log="), std::string::npos) << LogText();

  // Door-game tables are usually missing; the task succeeds and the connection stays usable.
  ASSERT_TRUE(RunMaintenanceTask("old_news_cleanup"));
  ExpectWriteWorks("after news");
  RawExec(file, "CREATE TABLE p_drake_daily_news (game_day INTEGER)");
  RawExec(file, "INSERT INTO p_drake_daily_news VALUES (1), (50), (200)");
  RawExec(file, "CREATE TABLE p_starhaul_news (created_at DATETIME)");
  RawExec(file, "INSERT INTO p_starhaul_news VALUES (datetime('now', '-100 days')), (datetime('now', '-1 days'))");
  ASSERT_TRUE(RunMaintenanceTask("old_news_cleanup"));
  EXPECT_EQ(RawText(file, "SELECT group_concat(game_day) FROM p_drake_daily_news"), "200");
  EXPECT_EQ(Count("p_starhaul_news"), "1");
  EXPECT_NE(LogText().find("Scheduler: old_news_cleanup pruned old news entries"), std::string::npos);

  ASSERT_TRUE(RunMaintenanceTask("plugin_update_check"));

  // config_watch: an untouched file does nothing; a changed one is reloaded and announced.
  const std::string ini = dir / "orvanta.ini";
  ovtest::WriteText(ini, "[i18n]\nlanguage=en\n");
  Config.Publish(std::make_unique<TOVConfig>(ini));
  EventBus.Publish(std::make_unique<TOVEventBus>());
  std::string seen;
  EventBus->Subscribe("test", "*", {nullptr, this, [&](const std::string& type, const TJSON* d) {
                                      seen += type + " " + JsonCompact(*d) + ";";
                                    }});
  ASSERT_TRUE(RunMaintenanceTask("config_watch"));
  EXPECT_EQ(seen, "");
  std::this_thread::sleep_for(20ms);  // a new modification time
  ovtest::WriteText(ini, "[i18n]\nlanguage=de\n");
  ASSERT_TRUE(RunMaintenanceTask("config_watch"));
  EXPECT_EQ(seen, "config.changed {};");
  EXPECT_EQ(Config->ReadString("i18n", "language", ""), "de");
  EXPECT_NE(LogText().find("Scheduler: config file changed \xE2\x80\x94 reloaded"), std::string::npos);

  // A file the watch cannot read fails the run, which names the file and the reason; the
  // settings in use stay, and the run after the file is back reloads it.
  const struct {
    std::function<void()> break_it;
    std::string failure;
  } unreadable[] = {
      {[&] { std::filesystem::rename(ini, ini + ".away"); }, "No such file or directory"},
      {[&] { std::filesystem::create_directory(ini); }, "Is a directory"},
  };
  for (const auto& u : unreadable) {
    u.break_it();
    std::string failure = "<none>";
    try {
      RunMaintenanceTask("config_watch");
    } catch (const std::exception& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, "Cannot read configuration file " + ini + ": " + u.failure);
  }
  EXPECT_EQ(Config->ReadString("i18n", "language", ""), "de");
  std::filesystem::remove(ini);
  ovtest::WriteText(ini, "[i18n]\nlanguage=fr\n");
  ASSERT_TRUE(RunMaintenanceTask("config_watch"));
  EXPECT_EQ(Config->ReadString("i18n", "language", ""), "fr");
  EXPECT_EQ(seen, "config.changed {};config.changed {};");
  EventBus.Free();
  Config.Free();
}

TEST_F(MaintenanceTest, DeletionsGoInBatchesWithTheWriteLockFreeBetweenThem) {
  RawExec(file, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
                "INSERT INTO system_logs (level, message) SELECT 'info', 'old' FROM n");
  RawExec(file, "INSERT INTO system_logs (level, message) VALUES ('info', 'new')");
  auto db = DB.Get();
  std::vector<std::int64_t> progress;
  std::vector<std::future<void>> writers;
  TOVDeletionBatches batches{.first_rows = 300, .min_rows = 300, .max_rows = 300, .pause = 0ms, .after_batch = {}};
  batches.after_batch = [&](std::int64_t deleted) {
    progress.push_back(deleted);
    // Each batch is committed on its own, and the write lock is free: a writer on another
    // thread gets through now, not after the whole deletion.
    EXPECT_EQ(Count("system_logs WHERE message = 'old'"), std::to_string(2000 - deleted));
    writers.push_back(std::async(std::launch::async, [this, n = progress.size()] { ExpectWriteWorks(std::to_string(n)); }));
    EXPECT_EQ(writers.back().wait_for(30s), std::future_status::ready) << "a writer waited for the deletion";
  };
  EXPECT_EQ(DeleteInBatches(*db, "system_logs", "message = :m", {{"m", "old"}}, batches), 2000);
  EXPECT_EQ(progress, (std::vector<std::int64_t>{300, 600, 900, 1200, 1500, 1800, 2000}));
  EXPECT_EQ(Count("system_logs WHERE message = 'new'"), "1");
  EXPECT_EQ(Count("audit_log WHERE action = 'probe'"), "7");

  // A stop ends the deletion between batches, as a failure; the batches done stay done.
  RawExec(file, "INSERT INTO system_logs (level, message) SELECT level, 'old' FROM system_logs LIMIT 1");
  RawExec(file, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 999) "
                "INSERT INTO system_logs (level, message) SELECT 'info', 'old' FROM n");
  std::stop_source stop;
  batches.after_batch = [&](std::int64_t) { stop.request_stop(); };
  try {
    DeleteInBatches(*db, "system_logs", "message = :m", {{"m", "old"}}, batches, stop.get_token());
    ADD_FAILURE() << "a stopped deletion reported success";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Stopped after deleting 300 rows");
  }
  EXPECT_EQ(Count("system_logs WHERE message = 'old'"), "700");
}

// The batched deletions and the cleanup task's cut-off in each database's own words.
class MaintenanceOnEveryBackend : public ovtest::BackendDBTest {};
INSTANTIATE_TEST_SUITE_P(Backends, MaintenanceOnEveryBackend, ::testing::Values("sqlite3", "postgresql", "mariadb"));

TEST_P(MaintenanceOnEveryBackend, BatchedDeletionsLeaveTheRowsTheStatementWould) {
  auto db = DB.Get();
  auto count = [&](const std::string& where) {
    auto q = db->NewReadQuery();
    q.SetSQL("SELECT COUNT(*) FROM system_logs WHERE " + where);
    q.Open();
    return q.Field(std::size_t{0}).AsInt64();
  };
  db->BeginBatch();
  for (int i = 0; i < 40; ++i)
    for (const auto& [age, text] : {std::pair{db->DateAddExpr(-40, duDay), "old"}, {db->DateAddExpr(-29, duDay), "kept"},
                                    {db->DateAddExpr(0, duDay), "batch"}})
      db->ExecSQL("INSERT INTO system_logs (timestamp, level, message) VALUES (" + age + ", 'info', '" + text + "')");
  db->CommitBatch();

  std::int64_t batches = 0;
  TOVDeletionBatches b{.first_rows = 7, .min_rows = 7, .max_rows = 7, .pause = 0ms,
                       .after_batch = [&](std::int64_t) { ++batches; }};
  EXPECT_EQ(DeleteInBatches(*db, "system_logs", "message = :m", {{"m", "batch"}}, b), 40);
  EXPECT_EQ(batches, 6);  // five full batches and the last one
  EXPECT_EQ(count("message = 'batch'"), 0);

  ASSERT_TRUE(RunMaintenanceTask("log_cleanup"));
  EXPECT_EQ(count("message = 'old'"), 0);
  EXPECT_EQ(count("message = 'kept'"), 40);
}
