#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "clock_test_util.h"
#include "loopback_proxy.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_logsink.h"
#include "ov_schema.h"
#include "db_test_env.h"
#include "test_util.h"

using namespace ov;
using ovtest::RawSqlite;
using ovtest::TempDir;

namespace {

long long Count(TOVDatabase& db, const std::string& table) {
  auto q = db.NewReadQuery();
  q.SetSQL("SELECT COUNT(*) FROM " + table);
  q.Open();
  return q.Field(0).AsInt64();
}

}  // namespace

class DatabaseTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string file = dir / "sub/dir/orvanta.db";
};

// The calling convention on every backend: SQLite always, PostgreSQL and MariaDB when the test
// servers run (scripts/test-db-servers).  Each test gets an empty database of its own.
class DatabaseBackendTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!ovtest::WriteDatabaseConfig(GetParam(), dir / "o.ini")) GTEST_SKIP() << "no " << GetParam() << " test server";
    Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
    db = std::make_unique<TOVDatabase>(dir / "orvanta.db");
  }
  void TearDown() override {
    db.reset();
    Config.Free();
  }
  long long AuditCount(const std::string& where) { return Count(*db, "audit_log WHERE " + where); }

  TempDir dir;
  std::unique_ptr<TOVDatabase> db;
};

INSTANTIATE_TEST_SUITE_P(Backends, DatabaseBackendTest, ::testing::Values("sqlite3", "postgresql", "mariadb"));

// The database object on a PostgreSQL or MariaDB test server reached through a relay that
// stands in for the server's restarts and outages (ovtest::LoopbackProxy).
class DatabaseServerLossTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    kind_ = GetParam() == "postgresql" ? sql::Backend::Postgres : sql::Backend::MariaDB;
    auto o = ovtest::TestServerOptions(kind_);
    if (!o) GTEST_SKIP() << ovtest::NoServerMessage(kind_);
    server_ = *o;
    static int counter = 0;
    server_.database = "ov_unit_loss_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    auto admin = sql::CreateConnection(kind_, *o);
    admin->Open();
    admin->Run("CREATE DATABASE " + server_.database, {});
    proxy_ = std::make_unique<ovtest::LoopbackProxy>(server_.port);
    ovtest::WriteText(dir / "o.ini", "[database]\ntype=" + GetParam() + "\nhost=127.0.0.1\nport=" +
                                         std::to_string(proxy_->Port()) + "\nname=" + server_.database +
                                         "\nusername=" + server_.user + "\npassword=" + server_.password + "\n");
    Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
    TOVDatabaseOptions options;
    options.clock = &clock_;
    db = std::make_unique<TOVDatabase>(dir / "orvanta.db", options);
  }
  void TearDown() override {
    db.reset();
    Config.Free();
    proxy_.reset();
  }

  TempDir dir;
  // The server's next attempt is due when the test moves this clock on.
  ovtest::FakeClock clock_{0};
  sql::Backend kind_ = sql::Backend::Postgres;
  sql::ConnectOptions server_;  // the server itself, past the relay
  std::unique_ptr<ovtest::LoopbackProxy> proxy_;
  std::unique_ptr<TOVDatabase> db;
};

INSTANTIATE_TEST_SUITE_P(Servers, DatabaseServerLossTest, ::testing::Values("postgresql", "mariadb"));

TEST_P(DatabaseServerLossTest, WritersGetTheServerBackAndFailFastWhileItIsGone) {
  using Mode = ovtest::LoopbackProxy::Mode;
  TOVDatabase& db = *this->db;
  const bool pg = kind_ == sql::Backend::Postgres;
  // The session set-up every connection gets, as the write connection sees it.
  const auto session = [&] {
    auto q = db.NewQuery();
    q.SetSQL(pg ? "SELECT current_setting('TimeZone') || ' ' || current_setting('client_encoding')"
                : "SELECT CONCAT(@@session.time_zone, ' ', @@session.character_set_client, ' ', "
                  "@@session.sql_mode LIKE '%NO_BACKSLASH_ESCAPES%')");
    q.Open();
    return q.Field(0).AsText();
  };
  const std::string set_up = pg ? "UTC UTF8" : "+00:00 utf8mb4 1";
  // A committed write; its id.
  const auto write = [&](const std::string& action) {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES (:a)");
    q.Param("a", action);
    q.ExecSQL();
    db.Commit();
    return db.GetLastInsertID();
  };
  const auto failure = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  };
  const auto unavailable = [](const std::string& what) { return what.rfind("Database unavailable: ", 0) == 0; };

  EXPECT_EQ(session(), set_up);
  EXPECT_GT(write("before"), 0);

  // A restart, as the board sees one: the server drops every connection.  The next writer
  // works at once, on a session set up as the first one was; so does the next reader.
  proxy_->CutAll();
  EXPECT_GT(write("after a restart"), 0);
  EXPECT_EQ(session(), set_up);
  EXPECT_EQ(Count(db, "audit_log WHERE action = 'after a restart'"), 1);
  EXPECT_EQ(db.WriteConnectionProblem(), "");

  // A unit of work the loss cuts short fails with its error, and nothing of it runs again on
  // the new session; the next unit works.
  {
    TOVDBLockGuard unit(db);
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES ('cut short')");
    q.ExecSQL();
    proxy_->CutAll();
    auto next = db.NewQuery();
    next.SetSQL("INSERT INTO audit_log (action) VALUES ('after the cut, same unit')");
    try {
      next.ExecSQL();
      db.Commit();
      ADD_FAILURE() << "a unit went on on a new session";
    } catch (const sql::SqlError& e) {
      EXPECT_TRUE(e.IsConnectionLost()) << e.what();
    }
  }
  EXPECT_GT(write("next unit"), 0);

  // A server that closes every connection at once (one going away): the writer that finds it
  // so fails, naming the reason, and from then on the server is down for readers too.  Until
  // the next attempt is due, nobody tries it: writers (the log's store), a monitor's check and
  // readers fail at once.  The one after it is due makes it; once the server is back, so does
  // the next writer, and works.
  proxy_->SetMode(Mode::Close);
  const std::string down_write = failure([&] { write("while down"); });
  EXPECT_TRUE(unavailable(down_write)) << down_write;
  EXPECT_TRUE(db.ReadPool().Reachability().Down());
  int tried = proxy_->Accepted();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(db.WriteLogBatch({{"info", "t", "c", "not due", ""}}), 0u);
    EXPECT_NE(db.WriteConnectionProblem(), "");
  }
  const std::string not_due = failure([&] { Count(db, "audit_log"); });
  EXPECT_TRUE(unavailable(not_due)) << not_due;
  EXPECT_EQ(proxy_->Accepted(), tried);
  clock_.Advance(std::chrono::seconds(1));
  const std::string due = failure([&] { Count(db, "audit_log"); });
  EXPECT_TRUE(unavailable(due)) << due;
  EXPECT_GT(proxy_->Accepted(), tried);
  proxy_->SetMode(Mode::Forward);
  clock_.Advance(std::chrono::seconds(1));
  // A monitor's health check alone brings the board back (it makes the attempt due).
  EXPECT_EQ(db.HealthProblem(std::chrono::seconds(5)), "");
  EXPECT_GT(write("after the start"), 0);
  EXPECT_EQ(db.WriteConnectionProblem(), "");
  EXPECT_FALSE(db.ReadPool().Reachability().Down());
  EXPECT_EQ(Count(db, "audit_log WHERE action = 'after the start'"), 1);

  // A server that accepts and never answers: the writer that finds it waits for one connect
  // time-out; the next one fails at once, without trying.
  proxy_->SetMode(Mode::Silent);
  proxy_->CutAll();
  const std::string silent = failure([&] { write("silent"); });
  EXPECT_TRUE(unavailable(silent)) << silent;
  const int tried_silent = proxy_->Accepted();
  const std::string next = failure([&] { write("silent, next"); });
  EXPECT_TRUE(unavailable(next)) << next;
  EXPECT_NE(db.WriteConnectionProblem(), "");
  EXPECT_EQ(proxy_->Accepted(), tried_silent);

  // Every write that was acknowledged is there, and nothing of the others.
  auto own = sql::CreateConnection(kind_, server_);
  own->Open();
  std::vector<std::string> kept;
  for (const auto& row : own->Run("SELECT action FROM audit_log ORDER BY id", {}).rows) kept.push_back(row.at(0).AsText());
  EXPECT_EQ(kept, (std::vector<std::string>{"before", "after a restart", "next unit", "after the start"}));
}

TEST_F(DatabaseTest, AnEarlierDatabaseGetsTheNewIndexesAtTheNextStart) {
  { TOVDatabase db(file); }
  RawSqlite(file).Exec("DROP INDEX idx_logs_id");  // as an earlier version left the table
  { TOVDatabase db(file); }
  EXPECT_EQ(RawSqlite(file).Int("SELECT COUNT(*) FROM sqlite_master WHERE name='idx_logs_id'"), 1);
}

TEST_F(DatabaseTest, FreshStartCreatesSchemaSeedsAndVersions) {
  {
    TOVDatabase db(file);
    EXPECT_EQ(db.Backend(), dbSQLite);
  }
  RawSqlite raw(file);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'"), 21);
  for (const auto& name : CoreTableNames())
    EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='" + name + "'"), 1) << name;
  const char* indexes[] = {"idx_users_guid", "idx_api_keys_guid", "idx_active_sessions_guid", "idx_logs_timestamp",
                           "idx_logs_source", "idx_logs_level", "idx_logs_category", "idx_acl_groups_guid",
                           "idx_scheduler_log_started", "idx_scheduler_log_task", "idx_users_id",
                           "idx_audit_log_id", "idx_connection_log_id", "idx_logs_id", "idx_logs_level_source",
                           "idx_logs_level_category", "idx_logs_source_category"};
  for (const char* idx : indexes)
    EXPECT_EQ(raw.Int(std::string("SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name='") + idx + "'"), 1)
        << idx;
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name LIKE 'idx%'"), 17);
  EXPECT_EQ(raw.Text("SELECT group_concat(version) FROM (SELECT version FROM schema_info ORDER BY rowid)"), "0,3");
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM system_config"), 6);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM acl_flag_definitions"), 19);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM acl_groups"), 4);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM acl_group_flags"), 42);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM system_scheduler"), 8);
  EXPECT_EQ(raw.Text("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(raw.Text("SELECT value FROM system_config WHERE key='bbs_name'"), "Orvanta BBS");
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM acl_group_flags f JOIN acl_groups g ON g.id=f.group_id WHERE g.name='Co-Sysop'"), 16);
  EXPECT_EQ(raw.Text("SELECT description FROM acl_groups WHERE name='Sysop'"), "Full system access \xE2\x80\x94 all flags granted");
  EXPECT_EQ(raw.Int("SELECT length(guid) FROM acl_groups WHERE name='Guest'"), 36);
}

TEST_F(DatabaseTest, ExactTableText) {
  { TOVDatabase db(file); }
  RawSqlite raw(file);
  EXPECT_EQ(raw.Text("SELECT sql FROM sqlite_master WHERE name='schema_info'"),
            "CREATE TABLE \"schema_info\" (\"version\" INTEGER NOT NULL, \"applied_at\" DATETIME NOT NULL DEFAULT "
            "(datetime('now')))");
  EXPECT_EQ(raw.Text("SELECT sql FROM sqlite_master WHERE name='acl_group_flags'"),
            "CREATE TABLE \"acl_group_flags\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, \"group_id\" "
            "INTEGER NOT NULL, \"flag_name\" TEXT NOT NULL, CONSTRAINT \"uq_acl_group_flags\" UNIQUE (\"group_id\", "
            "\"flag_name\"), FOREIGN KEY (\"group_id\") REFERENCES \"acl_groups\"(\"id\") ON DELETE CASCADE)");
  EXPECT_EQ(raw.Text("SELECT sql FROM sqlite_master WHERE name='users'").substr(0, 183),
            "CREATE TABLE \"users\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, \"guid\" TEXT NOT NULL "
            "DEFAULT (''), \"username\" TEXT COLLATE NOCASE NOT NULL UNIQUE, \"password_hash\" TEXT NOT NULL");
  EXPECT_EQ(raw.Text("SELECT sql FROM sqlite_master WHERE name='idx_scheduler_log_task'"),
            "CREATE INDEX \"idx_scheduler_log_task\" ON \"scheduler_log\" (\"plugin_name\", \"task_name\")");
}

TEST_F(DatabaseTest, RestartKeepsEditsRestoresDeletedSeedsAndColumns) {
  { TOVDatabase db(file); }
  {
    RawSqlite raw(file);
    raw.Exec("UPDATE system_config SET value='My Board' WHERE key='bbs_name'");
    raw.Exec("DELETE FROM system_scheduler WHERE task_name='db_vacuum'");
    raw.Exec("DELETE FROM acl_group_flags WHERE flag_name='MSG_READ' AND group_id=(SELECT id FROM acl_groups WHERE name='Guest')");
    raw.Exec("ALTER TABLE users DROP COLUMN gender");
    raw.Exec("INSERT INTO users (username, password_hash, password_salt) VALUES ('bob','h','s')");
    raw.Exec("INSERT INTO active_sessions (node, username) VALUES (1, 'bob')");
  }
  std::string guid_before = RawSqlite(file).Text("SELECT value FROM system_config WHERE key='system_guid'");
  { TOVDatabase db(file); }
  RawSqlite raw(file);
  EXPECT_EQ(raw.Text("SELECT value FROM system_config WHERE key='bbs_name'"), "My Board");
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM system_scheduler"), 8);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM acl_group_flags"), 42);
  EXPECT_EQ(raw.Text("SELECT gender FROM users WHERE username='bob'"), "");
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM pragma_table_info('users') WHERE name='gender'"), 1);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM active_sessions"), 0);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM schema_info"), 2);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM system_config"), 6);
  EXPECT_EQ(raw.Text("SELECT value FROM system_config WHERE key='system_guid'"), guid_before);
}

TEST_F(DatabaseTest, NewerSchemaIsRefusedWithoutTouchingTheFile) {
  { TOVDatabase db(file); }
  {
    RawSqlite raw(file);
    raw.Exec("INSERT INTO schema_info (version) VALUES (4)");
    raw.Exec("DELETE FROM system_scheduler");
    raw.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  std::string before = ovtest::ReadText(file);
  try {
    TOVDatabase db(file);
    FAIL() << "opened a newer database";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Database schema version 4 is newer than code version 3. Upgrade the server.");
  }
  EXPECT_EQ(ovtest::ReadText(file), before);
  RawSqlite raw(file);
  EXPECT_EQ(raw.Int("SELECT COUNT(*) FROM system_scheduler"), 0);
}

TEST_F(DatabaseTest, UnsupportedTypeMessage) {
  ovtest::WriteText(dir / "o.ini", "[database]\ntype=Oracle\n");
  Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
  try {
    TOVDatabase db(file);
    ADD_FAILURE();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "ov_database: unsupported database type \"oracle\" (expected sqlite3, mariadb, or postgres)");
  }
  Config.Free();
}

TEST_P(DatabaseBackendTest, WriteQueriesCommitOrRollBack) {
  TOVDatabase& db = *this->db;
  {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES (:a)");
    q.Param("a", "uncommitted");
    q.ExecSQL();
  }
  {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES (:a)");
    q.Param("a", "kept");
    q.ExecSQL();
    db.Commit();
  }
  EXPECT_EQ(Count(db, "audit_log WHERE action='uncommitted'"), 0);
  EXPECT_EQ(Count(db, "audit_log WHERE action='kept'"), 1);
}

TEST_P(DatabaseBackendTest, FailedStatementDoesNotPoisonTheNextWriter) {
  TOVDatabase& db = *this->db;
  {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES ('first')");
    q.ExecSQL();
    auto bad = db.NewQuery();  // re-entrant on the same thread
    bad.SetSQL("INSERT INTO no_such_table (x) VALUES (1)");
    EXPECT_THROW(bad.ExecSQL(), sql::SqlError);
  }
  {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES ('second')");
    q.ExecSQL();
    db.Commit();
  }
  EXPECT_EQ(Count(db, "audit_log WHERE action='first'"), 0);  // the failed unit was undone
  EXPECT_EQ(Count(db, "audit_log WHERE action='second'"), 1);
}

TEST_F(DatabaseTest, WriteLockIsReentrantAndExclusive) {
  TOVDatabase db(file);
  std::atomic<bool> other_got_lock{false};
  db.Lock();
  {
    auto q = db.NewQuery();  // same thread: enters again
    q.SetSQL("SELECT 1");
    q.Open();
  }
  std::thread t([&] {
    auto q = db.NewQuery();
    other_got_lock = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(other_got_lock.load());
  db.Unlock();
  t.join();
  EXPECT_TRUE(other_got_lock.load());
}

TEST_P(DatabaseBackendTest, BatchesCommitOnlyAtTheEnd) {
  TOVDatabase& db = *this->db;
  db.BeginBatch();
  {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES ('a')");
    q.ExecSQL();
    db.Commit();  // inside a batch: nothing
  }                // FreeQuery inside a batch rolls nothing back
  db.ExecSQL("INSERT INTO audit_log (action) VALUES ('b')");
  EXPECT_EQ(Count(db, "audit_log"), 0);  // readers see nothing yet
  db.CommitBatch();
  EXPECT_EQ(Count(db, "audit_log"), 2);

  db.BeginBatch();
  db.BeginBatch();
  db.BeginBatch();
  db.ExecSQL("INSERT INTO audit_log (action) VALUES ('c')");
  db.RollbackBatch();  // closes all three levels and undoes everything, ExecSQL included
  EXPECT_EQ(db.BatchDepth(), 0);
  EXPECT_EQ(Count(db, "audit_log WHERE action='c'"), 0);
  std::thread t([&] { db.Lock(); db.Unlock(); });  // the lock was left three times
  t.join();
  db.CommitBatch();  // without a batch: nothing, and no unlock
  db.RollbackBatch();
}

TEST_P(DatabaseBackendTest, GuidLookups) {
  TOVDatabase& db = *this->db;
  {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO users (guid, username, password_hash, password_salt) VALUES (:g, 'ann', 'h', 's')");
    q.Param("g", "abcdef01-2345-6789-abcd-ef0123456789");
    q.ExecSQL();
    db.Commit();
  }
  std::int64_t id = db.GetLastInsertID();
  EXPECT_GT(id, 0);
  EXPECT_EQ(db.LookupGUID("users", id), "abcdef01-2345-6789-abcd-ef0123456789");
  EXPECT_EQ(db.LookupIDByGUID("users", "abcdef01-2345-6789-abcd-ef0123456789"), id);
  EXPECT_EQ(db.LookupGUID("users", 999), "");
  EXPECT_EQ(db.LookupIDByGUID("users", "00000000-0000-0000-0000-000000000000"), -1);
}

TEST_P(DatabaseBackendTest, LastInsertIdIsPerThreadDespiteConcurrentLogging) {
  TOVDatabase& db = *this->db;
  std::atomic<bool> stop{false};
  std::thread logger([&] {
    while (!stop) db.WriteLog("info", "system", "general", "noise");
  });
  for (int i = 0; i < 200; ++i) {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO users (guid, username, password_hash, password_salt) VALUES (:g, :u, 'h', 's')");
    q.Param("g", "g" + std::to_string(i));
    q.Param("u", "user" + std::to_string(i));
    q.ExecSQL();
    db.Commit();
    std::int64_t id = db.GetLastInsertID();
    q.Free();
    auto r = db.NewReadQuery();
    r.SetSQL("SELECT username FROM users WHERE id = :id");
    r.Param("id", id);
    r.Open();
    ASSERT_FALSE(r.Eof());
    ASSERT_EQ(r.Str("username"), "user" + std::to_string(i));
  }
  stop = true;
  logger.join();
}

TEST_F(DatabaseTest, LogSinkStoresLinesWithoutBlockingTheCaller) {
  TOVDatabase db(file);
  std::atomic<int> pushed{0};
  {
    TOVLogSink sink([&](const std::vector<TOVLogSink::Row>& rows) { return db.WriteLogBatch(rows); });
    sink.SetPushHandler([&](const TOVLogSink::Row&) { ++pushed; });
    db.Lock();  // a writer holds the database: logging still returns at once
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) sink.Enqueue("info", "ws", "general", "line " + std::to_string(i));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    db.Unlock();
    sink.StopAndDrain();
    EXPECT_EQ(sink.Stored(), 1000u);
  }
  EXPECT_EQ(pushed.load(), 1000);
  EXPECT_EQ(Count(db, "system_logs WHERE source='ws'"), 1000);
}

TEST_F(DatabaseTest, LogSinkDropsOldestWhenFull) {
  std::atomic<bool> release{false};
  std::vector<std::string> stored;
  std::mutex m;
  TOVLogSink sink(
      [&](const std::vector<TOVLogSink::Row>& rows) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard<std::mutex> g(m);
        for (auto& r : rows) stored.push_back(r.message);
        return rows.size();
      },
      10, 100);
  sink.Enqueue("info", "s", "c", "first");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // "first" is being stored
  for (int i = 0; i < 25; ++i) sink.Enqueue("info", "s", "c", "m" + std::to_string(i));
  EXPECT_EQ(sink.Dropped(), 15u);
  release = true;
  sink.StopAndDrain();
  ASSERT_EQ(stored.size(), 11u);
  EXPECT_EQ(stored[1], "m15");
  EXPECT_EQ(stored.back(), "m24");
}

TEST_P(DatabaseBackendTest, LogLinesWithBytesThatAreNotTextAreStoredWithTheOthers) {
  TOVDatabase& db = *this->db;
  const std::vector<TOVDatabase::LogRow> rows = {
      {"info", "probe", "general", "before", ""},
      {"info", "probe", "general", std::string("bad \xFF\xC3 bytes \xE2\x82"), ""},
      {"info", "probe", std::string("c\0t", 3), std::string("nul \0 inside", 12), std::string("\x80")},
      {"info", "probe", "general", "caf\xC3\xA9 \xF0\x9F\x98\x80 after", ""},
  };
  EXPECT_EQ(db.WriteLogBatch(rows), 4u);
  db.WriteLog("warning", "probe", "general", std::string("single \xC0\xAF"));
  auto q = db.NewReadQuery();
  q.SetSQL("SELECT level, category, message, details FROM system_logs WHERE source = 'probe' ORDER BY id");
  q.Open();
  std::vector<std::string> seen;
  for (; !q.Eof(); q.Next()) seen.push_back(q.Str("category") + "|" + q.Str("message") + "|" + q.Str("details"));
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD for each byte that is not text
  EXPECT_EQ(seen, (std::vector<std::string>{"general|before|", "general|bad " + r + r + " bytes " + r + r + "|",
                                            "c" + r + "t|nul " + r + " inside|" + r,
                                            "general|caf\xC3\xA9 \xF0\x9F\x98\x80 after|",
                                            "general|single " + r + r + "|"}));
}

TEST_F(DatabaseTest, OneLogLineTheDatabaseRefusesCostsOnlyItself) {
  TOVDatabase db(file);
  {
    RawSqlite raw(file, 5000);
    raw.Exec("CREATE TRIGGER refuse_boom BEFORE INSERT ON system_logs WHEN NEW.message LIKE 'boom%' "
             "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  std::vector<TOVDatabase::LogRow> rows;
  for (int i = 0; i < 10; ++i) rows.push_back({"info", "t1", "general", i == 4 ? "boom" : "ok " + std::to_string(i), ""});
  EXPECT_EQ(db.WriteLogBatch(rows), 9u);
  EXPECT_EQ(Count(db, "system_logs WHERE source='t1'"), 9);
  EXPECT_EQ(Count(db, "system_logs WHERE message='boom'"), 0);

  // Lines that keep failing mean the database is the problem: the rest is not tried one by one.
  rows.clear();
  for (int i = 0; i < 10; ++i) rows.push_back({"info", "t2", "general", i < 3 ? "ok" : "boom " + std::to_string(i), ""});
  EXPECT_EQ(db.WriteLogBatch(rows), 3u);
  // And the write connection is clean for the next writer.
  db.WriteLog("info", "t3", "general", "fine");
  EXPECT_EQ(Count(db, "system_logs WHERE source='t3'"), 1);
}

TEST_F(DatabaseTest, LockedDatabaseIsNotRetriedLineByLine) {
  TOVDatabase db(file);
  RawSqlite other(file);
  other.Exec("BEGIN IMMEDIATE");  // another process holds the write lock
  std::vector<TOVDatabase::LogRow> rows;
  for (int i = 0; i < 20; ++i) rows.push_back({"info", "t4", "general", "line " + std::to_string(i), ""});
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(db.WriteLogBatch(rows), 0u);
  // One wait for the lock (the busy time-out), not one per line.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(9));
  other.Exec("ROLLBACK");
  EXPECT_EQ(db.WriteLogBatch(rows), 20u);
}

// ---- interrupting statements at shutdown ----------------------------------------------------

using ovtest::RunawaySQL;
using ovtest::WaitRunning;

// A statement that would run for hours on the write connection (holding the write lock) and one
// on a read connection both end with the driver's error; both connections stay usable, and an
// interrupt while nothing runs leaves the next statement alone.
TEST_P(DatabaseBackendTest, InterruptStatementsEndsRunningStatements) {
  TOVDatabase& db = *this->db;
  const std::string runaway = RunawaySQL(GetParam());
  std::atomic<sql::Connection*> writer_conn{nullptr}, reader_conn{nullptr};
  auto writer = std::async(std::launch::async, [&]() -> std::string {
    TOVDBLockGuard g(db);
    writer_conn = &db.Connection();
    try {
      db.Connection().Run(runaway, {});
      return "finished";
    } catch (const sql::SqlError& e) {
      return e.what();
    }
  });
  auto reader = std::async(std::launch::async, [&]() -> std::string {
    auto r = db.NewReadQuery();
    reader_conn = &r.Connection();
    r.SetSQL(runaway);
    try {
      r.Open();
      return "finished";
    } catch (const sql::SqlError& e) {
      return e.what();
    }
  });
  ASSERT_TRUE(WaitRunning(writer_conn));
  ASSERT_TRUE(WaitRunning(reader_conn));
  db.InterruptStatements();
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const char* expected = GetParam() == "sqlite3" ? "interrupted"
                         : GetParam() == "postgresql" ? "canceling statement due to user request"
                                                      : "Query execution was interrupted";
  EXPECT_NE(writer.get().find(expected), std::string::npos);
  EXPECT_NE(reader.get().find(expected), std::string::npos);

  db.InterruptStatements();  // nothing runs: no effect on what comes next
  {
    auto q = db.NewQuery();
    q.SetSQL("INSERT INTO audit_log (action) VALUES (:a)");
    q.Param("a", "after interrupt");
    q.ExecSQL();
    db.Commit();
  }
  EXPECT_EQ(AuditCount("action = 'after interrupt'"), 1);
}

// A request's reads share one connection: borrowed at the first of them (nested ones too), kept
// across its own writes (whose rows its next read sees), exchanged when a long read follows
// short ones, and given back while the request waits for another thread's write.
TEST_P(DatabaseBackendTest, AScopeReadsOnOneConnectionAndNeverWaitsForTheWriterHoldingIt) {
  TOVDatabase& db = *this->db;
  const TDBAPool& pool = db.ReadPool();
  const std::uint64_t before = pool.LendCount();
  {
    TOVReadScope scope(db);
    EXPECT_EQ(pool.LendCount(), before);  // nothing borrowed until something is read
    EXPECT_EQ(AuditCount("action = 'mine'"), 0);
    {
      auto outer = db.NewReadQuery();
      auto inner = db.NewReadQuery(TDBAReadKind::Long);
      EXPECT_EQ(outer.Slot(), inner.Slot());
    }
    EXPECT_EQ(pool.InUseCount(), 1);
    {
      auto q = db.NewQuery();
      q.SetSQL("INSERT INTO audit_log (action) VALUES ('mine')");
      q.ExecSQL();
      db.Commit();
    }
    EXPECT_EQ(AuditCount("action = 'mine'"), 1);
    EXPECT_EQ(pool.LendCount(), before + 1);
    {
      auto q = db.NewReadQuery(TDBAReadKind::Long);
      EXPECT_EQ(pool.LongInUseCount(), 1);
    }
    EXPECT_EQ(pool.LendCount(), before + 2);

    std::promise<void> locked, go;
    std::thread writer([&] {
      TOVDBLockGuard g(db);
      locked.set_value();
      go.get_future().wait();
    });
    locked.get_future().wait();
    std::atomic<bool> returned{false};
    std::thread watcher([&] {
      for (int i = 0; i < 2000 && !returned; ++i) {
        returned = pool.InUseCount() == 0;
        if (!returned) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      go.set_value();
    });
    {
      auto q = db.NewQuery();  // waits for the writer, holding no read connection
    }
    watcher.join();
    writer.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(AuditCount("action = 'mine'"), 1);
    EXPECT_EQ(pool.InUseCount(), 1);
  }
  EXPECT_EQ(pool.InUseCount(), 0);
  EXPECT_EQ(pool.LendCount(), before + 3);
}

// The log sink's drain waits while batches are stored, however many, and gives up only when the
// store makes no progress: then the thread is left running and the sink must not be deleted.
TEST_F(DatabaseTest, LogSinkDrainGivesUpOnlyOnAStuckStore) {
  std::atomic<bool> stuck{false};
  std::atomic<int> stored{0};
  const auto store = [&](const std::vector<TOVLogSink::Row>& rows) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    while (stuck) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stored += static_cast<int>(rows.size());
    return rows.size();
  };
  TOVLogSink slow(store, 100, 1);
  for (int i = 0; i < 10; ++i) slow.Enqueue("info", "s", "c", "line " + std::to_string(i));
  EXPECT_TRUE(slow.StopAndDrain(std::chrono::milliseconds(200)));  // 300 ms in all, never stalled
  EXPECT_EQ(stored.load(), 10);

  TOVLogSink sink(store, 100, 1);
  stuck = true;
  sink.Enqueue("info", "s", "c", "stuck");
  EXPECT_FALSE(sink.StopAndDrain(std::chrono::milliseconds(50)));
  stuck = false;
  EXPECT_TRUE(sink.StopAndDrain());
  EXPECT_EQ(stored.load(), 11);
}

// A server that stops answering without closing anything (a network partition), two ways: a
// connect left unanswered, and sessions whose statements and probes hear nothing until TCP gives
// up on them.  From the first call left unanswered the pool says so (a monitor's health check
// reads "degraded") and a borrower that would wait behind it fails at once; a stop then opens
// no connection and cuts every call that waits, long before TCP or the connect time-out would
// end them.  Nothing acknowledged is lost.
TEST_P(DatabaseServerLossTest, APartitionIsToldAtOnceAndCannotHoldUpAStop) {
  using Mode = ovtest::LoopbackProxy::Mode;
  using namespace std::chrono_literals;
  // Far below the connect time-out (5 s) and TCP's user time-out (15 s) that end such calls
  // without a stop; far above what a cut takes on a busy machine.
  constexpr auto kEnded = 4s;
  struct Case {
    const char* name;
    Mode mode;
    bool reads_hang;  // the probes of live sessions wait (else: a connect does)
    int connects;     // the connects under way when the stop begins
  };
  for (const Case& c : {Case{"a connect unanswered", Mode::Silent, false, 2}, Case{"sessions unanswered", Mode::Hold, true, 1}}) {
    SCOPED_TRACE(c.name);
    proxy_->SetMode(Mode::Forward);
    db.reset();
    TOVDatabaseOptions options;
    options.read_pool_size = 2;
    options.pool_timings.ProbeStuck = 300ms;
    options.reach_timings.StallAfter = 300ms;
    db = std::make_unique<TOVDatabase>(dir / "orvanta.db", options);
    {
      auto q = db->NewQuery();
      q.SetSQL("INSERT INTO audit_log (action) VALUES (:a)");
      q.Param("a", c.name);
      q.ExecSQL();
      db->Commit();
    }
    EXPECT_EQ(Count(*db, "audit_log"), 1);
    EXPECT_EQ(db->HealthProblem(kEnded), "");

    const int accepted = proxy_->Accepted();
    if (c.reads_hang) {
      proxy_->SetMode(c.mode);  // the sessions open now hear nothing more
    } else {
      proxy_->SetMode(c.mode);
      proxy_->CutAll();  // the read slots' next borrower opens a session: it is never answered
    }
    // Two readers (the pool's two slots) and a writer wait on the server.
    std::vector<std::future<std::string>> waiting;
    const auto failure_of = [](std::function<void()> f) {
      return std::async(std::launch::async, [f] {
        try {
          f();
        } catch (const std::exception& e) {
          return std::string(e.what());
        }
        return std::string("(no error)");
      });
    };
    for (int i = 0; i < 2; ++i) waiting.push_back(failure_of([this] { Count(*db, "users"); }));
    if (c.reads_hang)
      waiting.push_back(failure_of([this] {
        auto q = db->NewQuery();
        q.SetSQL("INSERT INTO audit_log (action) VALUES ('never acknowledged')");
        q.ExecSQL();
        db->Commit();
      }));
    EXPECT_TRUE(ovtest::PollUntil([&] { return db->ReadPool().DownReason().rfind("no answer from the database", 0) == 0; }))
        << db->ReadPool().DownReason();
    const auto refused_at = std::chrono::steady_clock::now();
    try {
      Count(*db, "users");
      ADD_FAILURE() << "a reader was served with every slot waiting on the server";
    } catch (const EDBAPoolDead& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Database unavailable: no answer from the database", 0), 0u) << e.what();
    }
    // A health check says so without waiting on the server.
    EXPECT_NE(db->HealthProblem(500ms), "");
    EXPECT_LT(std::chrono::steady_clock::now() - refused_at, 1s);

    if (c.reads_hang) {
      // TCP gives up on the sessions: the probes left unanswered until then mark the server
      // down, and the slots come back one attempt at a time (the next one waits on the server).
      proxy_->CutAll();
      EXPECT_TRUE(ovtest::PollUntil([&] { return db->ReadPool().Reachability().Down(); }));
      EXPECT_EQ(db->ReadPool().Reachability().Reason().rfind("no answer from the database for ", 0), 0u);
      waiting.push_back(failure_of([this] { Count(*db, "users"); }));
    }

    EXPECT_TRUE(ovtest::PollUntil([&] { return proxy_->Accepted() == accepted + c.connects; }));
    const auto stop_began = std::chrono::steady_clock::now();
    db->BeginStop();
    for (auto& w : waiting) {
      ASSERT_EQ(w.wait_for(kEnded), std::future_status::ready) << "a call still waits on the server";
      const std::string what = w.get();
      EXPECT_NE(what, "(no error)");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stop_began, kEnded);
    // From now on nothing connects: a writer fails at once, and says why.
    try {
      auto q = db->NewQuery();
      q.SetSQL("INSERT INTO audit_log (action) VALUES ('after the stop')");
      q.ExecSQL();
      ADD_FAILURE() << "a write ran after the stop began";
    } catch (const sql::SqlError& e) {
      EXPECT_TRUE(e.IsConnectionLost()) << e.what();
    }
    EXPECT_EQ(proxy_->Accepted(), accepted + c.connects);
    db.reset();

    // Every acknowledged write is there, nothing else.
    auto own = sql::CreateConnection(kind_, server_);
    own->Open();
    EXPECT_EQ(own->Run("SELECT action FROM audit_log ORDER BY id", {}).rows.size(), 1u);
    own->Run("DELETE FROM audit_log", {});
  }
}
