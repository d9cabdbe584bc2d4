// SQL connection layer: the colon-name scanner, values, and the SQLite connection with
// transactions and queries, against real SQLite files in temp directories; and what the
// PostgreSQL and MariaDB connections do when the server ends a session or stops answering,
// against the test servers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "db_test_env.h"
#include "loopback_proxy.h"
#include "ov_sqlconn.h"
#include "ov_sqlconn_sqlite.h"
#include "test_util.h"

using namespace ov::sql;

namespace {

// ---------------------------------------------------------------------------------------------
// Scanner

TEST(SqlScanner, NamesBecomePlaceholdersInTextOrder) {
  auto s = ScanNamedParams("SELECT * FROM t WHERE a = :a AND b=:Bee", Backend::SQLite);
  EXPECT_EQ(s.native, "SELECT * FROM t WHERE a = ? AND b=?");
  EXPECT_EQ(s.order, (std::vector<std::string>{"a", "Bee"}));
  EXPECT_EQ(s.names, (std::vector<std::string>{"a", "Bee"}));
  EXPECT_EQ(s.verb, "SELECT");
  EXPECT_FALSE(s.IsInsert());
}

TEST(SqlScanner, QuotedTextAndNamesAreSkipped) {
  auto s = ScanNamedParams("SELECT ':x', 'it'':s :y', \"c:d\", \"e\"\":f\", `g:h`, [i:j] FROM t WHERE k = :k",
                           Backend::SQLite);
  EXPECT_EQ(s.names, (std::vector<std::string>{"k"}));
  EXPECT_EQ(s.native, "SELECT ':x', 'it'':s :y', \"c:d\", \"e\"\":f\", `g:h`, [i:j] FROM t WHERE k = ?");
  // Backquotes with a doubled backquote inside (MariaDB).
  auto m = ScanNamedParams("SELECT `a``:b` FROM t WHERE c = :c", Backend::MariaDB);
  EXPECT_EQ(m.names, (std::vector<std::string>{"c"}));
}

TEST(SqlScanner, CommentsAreSkipped) {
  auto s = ScanNamedParams("SELECT 1 -- :a\n, /* :b \n :c */ :d FROM t", Backend::SQLite);
  EXPECT_EQ(s.names, (std::vector<std::string>{"d"}));
  EXPECT_EQ(s.native, "SELECT 1 -- :a\n, /* :b \n :c */ ? FROM t");
  // MariaDB: '#' comments, and "--" is a comment only before a blank.
  auto m = ScanNamedParams("SELECT 5--:x\n, 1 # :y\n, 2 -- :z\n", Backend::MariaDB);
  EXPECT_EQ(m.names, (std::vector<std::string>{"x"}));
  // PostgreSQL block comments nest.
  auto p = ScanNamedParams("SELECT /* a /* :b */ :c */ :d", Backend::Postgres);
  EXPECT_EQ(p.names, (std::vector<std::string>{"d"}));
}

TEST(SqlScanner, CastsAndAssignmentsAreNotNames) {
  auto p = ScanNamedParams("SELECT :v::int, x::text, arr[1:n], arr[lo:hi] FROM t", Backend::Postgres);
  EXPECT_EQ(p.native, "SELECT $1::int, x::text, arr[1:n], arr[lo:hi] FROM t");
  EXPECT_EQ(p.names, (std::vector<std::string>{"v"}));
  auto m = ScanNamedParams("SET @x := :val", Backend::MariaDB);
  EXPECT_EQ(m.native, "SET @x := ?");
  EXPECT_EQ(m.names, (std::vector<std::string>{"val"}));
  auto lone = ScanNamedParams("SELECT ':' || : || :1", Backend::SQLite);
  EXPECT_TRUE(lone.names.empty());
}

TEST(SqlScanner, RepeatedNames) {
  auto s = ScanNamedParams("SELECT * FROM t WHERE a = :x OR b = :X OR c = :y OR d = :x", Backend::SQLite);
  EXPECT_EQ(s.native, "SELECT * FROM t WHERE a = ? OR b = ? OR c = ? OR d = ?");
  EXPECT_EQ(s.order, (std::vector<std::string>{"x", "x", "y", "x"}));
  EXPECT_EQ(s.names, (std::vector<std::string>{"x", "y"}));
  // "$n" backends reuse the number of a repeated name.
  auto p = ScanNamedParams("SELECT * FROM t WHERE a = :x OR b = :X OR c = :y OR d = :x", Backend::Postgres);
  EXPECT_EQ(p.native, "SELECT * FROM t WHERE a = $1 OR b = $1 OR c = $2 OR d = $1");
  EXPECT_EQ(p.order, (std::vector<std::string>{"x", "y"}));
}

TEST(SqlScanner, PostgresStringForms) {
  auto p = ScanNamedParams("SELECT E'it\\'s :no', $$ :no $$, $body$ ' :no $body$, :yes", Backend::Postgres);
  EXPECT_EQ(p.names, (std::vector<std::string>{"yes"}));
  EXPECT_EQ(p.native, "SELECT E'it\\'s :no', $$ :no $$, $body$ ' :no $body$, $1");
  // Without E a backslash is an ordinary character: 'a\' ends the string.
  auto q = ScanNamedParams("SELECT 'a\\', :b", Backend::Postgres);
  EXPECT_EQ(q.names, (std::vector<std::string>{"b"}));
}

TEST(SqlScanner, OneStatementPerCall) {
  EXPECT_THROW(ScanNamedParams("SELECT 1; SELECT 2", Backend::SQLite), SqlError);
  EXPECT_THROW(ScanNamedParams("DELETE FROM t; DROP TABLE t", Backend::Postgres), SqlError);
  try {
    ScanNamedParams("SELECT 1; x", Backend::MariaDB);
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_NE(std::string(e.what()).find("one statement per call"), std::string::npos);
  }
  // A terminating ';' with blanks, comments or empty statements after it is fine.
  auto s = ScanNamedParams("SELECT :a ; -- done\n /* c */ ;; ", Backend::SQLite);
  EXPECT_EQ(s.native, "SELECT ? ");
  EXPECT_NO_THROW(ScanNamedParams("SELECT ';' || \";\" -- ;\n", Backend::SQLite));
  // A ';' inside a trigger body does not end the statement, but text after END; does.
  const std::string trig =
      "CREATE TRIGGER tr AFTER INSERT ON t BEGIN UPDATE t SET a = CASE WHEN :x THEN 1 ELSE 2 END; "
      "INSERT INTO log VALUES (1); END";
  EXPECT_NO_THROW(ScanNamedParams(trig, Backend::SQLite));
  EXPECT_NO_THROW(ScanNamedParams(trig + ";", Backend::SQLite));
  EXPECT_THROW(ScanNamedParams(trig + "; DROP TABLE t", Backend::SQLite), SqlError);
  // MariaDB procedure: END IF does not close the BEGIN block.
  EXPECT_NO_THROW(ScanNamedParams(
      "CREATE PROCEDURE p() BEGIN IF 1 THEN SELECT 1; END IF; SELECT 2; END", Backend::MariaDB));
}

TEST(SqlScanner, PositionalPlaceholdersAreRefused) {
  EXPECT_THROW(ScanNamedParams("SELECT ?", Backend::SQLite), SqlError);
  EXPECT_THROW(ScanNamedParams("SELECT ?", Backend::MariaDB), SqlError);
  EXPECT_THROW(ScanNamedParams("SELECT $1", Backend::Postgres), SqlError);
  EXPECT_NO_THROW(ScanNamedParams("SELECT '?', a$1 FROM t", Backend::SQLite));
  EXPECT_NO_THROW(ScanNamedParams("SELECT doc ? 'key' FROM t", Backend::Postgres));  // jsonb operator
}

TEST(SqlScanner, StatementVerb) {
  EXPECT_EQ(ScanNamedParams("  insert into t values (:a)", Backend::SQLite).verb, "INSERT");
  EXPECT_TRUE(ScanNamedParams("REPLACE INTO t VALUES (1)", Backend::SQLite).IsInsert());
  auto w = ScanNamedParams("WITH x(a) AS (SELECT 1 UNION SELECT (SELECT 2)) INSERT INTO t SELECT a FROM x",
                           Backend::SQLite);
  EXPECT_EQ(w.verb, "INSERT");
  EXPECT_EQ(ScanNamedParams("/* c */ -- d\n update t set a = 1", Backend::SQLite).verb, "UPDATE");
}

TEST(SqlScanner, UnterminatedTextDoesNotOverrun) {
  EXPECT_TRUE(ScanNamedParams("SELECT 'abc :x", Backend::SQLite).names.empty());
  EXPECT_TRUE(ScanNamedParams("SELECT /* :x", Backend::Postgres).names.empty());
  EXPECT_TRUE(ScanNamedParams("SELECT $q$ :x", Backend::Postgres).names.empty());
  EXPECT_TRUE(ScanNamedParams("SELECT E'\\", Backend::Postgres).names.empty());
  EXPECT_EQ(ScanNamedParams(":", Backend::SQLite).native, ":");
}

// ---------------------------------------------------------------------------------------------
// Values

TEST(SqlValue, TextAndNumberConversions) {
  EXPECT_EQ(Value::Int(-42).AsText(), "-42");
  EXPECT_EQ(Value::Boolean(true).AsText(), "1");
  EXPECT_EQ(Value::Real(1.5).AsText(), "1.5");
  EXPECT_EQ(Value::Null().AsText(), "");
  EXPECT_EQ(Value::Text(" 123 ").AsInt64(), 123);
  EXPECT_EQ(Value::Text("x").AsInt64(7), 7);
  EXPECT_EQ(Value::Int(std::int64_t{1} << 40).AsInt64(), std::int64_t{1} << 40);
  EXPECT_DOUBLE_EQ(Value::Text("2.25").AsDouble(), 2.25);
  EXPECT_TRUE(Value::Text("true").AsBool());
  EXPECT_FALSE(Value::Text("0").AsBool(true));
  EXPECT_TRUE(Value::Null().AsBool(true));
  EXPECT_TRUE(Value::Int(5).AsBool());
}

// ---------------------------------------------------------------------------------------------
// SQLite connection

class SqliteConn : public ::testing::Test {
 protected:
  void SetUp() override {
    ConnectOptions o;
    o.database = dir_ / "test.db";
    conn_ = CreateConnection(Backend::SQLite, o);
    conn_->Open();
  }
  ResultSet Run(const std::string& sql, const std::vector<Value>& params = {}) {
    auto s = ScanNamedParams(sql, *conn_);
    return conn_->Run(s.native, params);
  }
  SqliteConnection& Sqlite() { return static_cast<SqliteConnection&>(*conn_); }

  ovtest::TempDir dir_;
  std::unique_ptr<Connection> conn_;
};

TEST_F(SqliteConn, PragmasAreOnForAFileDatabase) {
  EXPECT_EQ(Sqlite().SetupProblems(), "");
  EXPECT_EQ(Run("PRAGMA journal_mode").rows.at(0).at(0).AsText(), "wal");
  EXPECT_EQ(Run("PRAGMA foreign_keys").rows.at(0).at(0).AsInt64(), 1);
  EXPECT_EQ(Run("PRAGMA synchronous").rows.at(0).at(0).AsInt64(), 1);
  EXPECT_EQ(Run("PRAGMA busy_timeout").rows.at(0).at(0).AsInt64(), 5000);
  EXPECT_FALSE(conn_->InTransaction());
}

TEST_F(SqliteConn, ForeignKeysAreEnforced) {
  Run("CREATE TABLE parent (id INTEGER PRIMARY KEY)");
  Run("CREATE TABLE child (id INTEGER PRIMARY KEY, pid INTEGER REFERENCES parent(id))");
  try {
    Run("INSERT INTO child (pid) VALUES (:p)", {Value::Int(99)});
    FAIL() << "foreign key not enforced";
  } catch (const SqlError& e) {
    EXPECT_NE(std::string(e.what()).find("FOREIGN KEY"), std::string::npos);
  }
}

TEST_F(SqliteConn, MemoryDatabaseIsNotAProblem) {
  ConnectOptions o;
  o.database = ":memory:";
  SqliteConnection mem(o);
  mem.Open();
  EXPECT_EQ(mem.SetupProblems(), "");
  EXPECT_TRUE(mem.Ping());
  mem.Close();
  EXPECT_FALSE(mem.Ping());
}

TEST_F(SqliteConn, OpenFailureIsReported) {
  ConnectOptions o;
  o.database = dir_ / "missing-dir/x.db";
  SqliteConnection c(o);
  EXPECT_THROW(c.Open(), SqlError);
  EXPECT_FALSE(c.Connected());
}

TEST_F(SqliteConn, FieldKindsFollowStorageAndDeclaredType) {
  Run("CREATE TABLE k (i INTEGER, r REAL, t TEXT, b BLOB, f BOOLEAN, dt DATETIME, d DATE, tm TIME, n TEXT)");
  Run("INSERT INTO k VALUES (:i, :r, :t, :b, :f, :dt, :d, :tm, :n)",
      {Value::Int(std::int64_t{1} << 40), Value::Real(2.5), Value::Text("héllo"), Value::Blob(std::string("\0\1\2", 3)),
       Value::Boolean(true), Value::DateTime("2024-01-02 03:04:05"), Value::Text("2024-01-02"), Value::Text("03:04:05"),
       Value::Null()});
  auto rs = Run("SELECT * FROM k");
  ASSERT_EQ(rs.rows.size(), 1u);
  const auto& r = rs.rows[0];
  EXPECT_EQ(r[0].kind, FieldKind::Int64);
  EXPECT_EQ(r[0].i, std::int64_t{1} << 40);
  EXPECT_EQ(r[1].kind, FieldKind::Double);
  EXPECT_EQ(r[2].kind, FieldKind::Text);
  EXPECT_EQ(r[2].s, "héllo");
  EXPECT_EQ(r[3].kind, FieldKind::Blob);
  EXPECT_EQ(r[3].s, std::string("\0\1\2", 3));
  EXPECT_EQ(r[4].kind, FieldKind::Bool);
  EXPECT_TRUE(r[4].b);
  EXPECT_EQ(r[5].kind, FieldKind::DateTime);
  EXPECT_EQ(r[6].kind, FieldKind::Date);
  EXPECT_EQ(r[7].kind, FieldKind::Time);
  EXPECT_EQ(r[8].kind, FieldKind::Null);
  EXPECT_TRUE(r[8].IsNull());
  EXPECT_EQ(rs.names, (std::vector<std::string>{"i", "r", "t", "b", "f", "dt", "d", "tm", "n"}));
  EXPECT_TRUE(rs.has_rows);
}

TEST_F(SqliteConn, InsertIdsAre64BitAndCapturedPerStatement) {
  Run("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE)");
  const std::int64_t big = (std::int64_t{1} << 31) + 5;
  auto rs = Run("INSERT INTO t (id, name) VALUES (:id, :n)", {Value::Int(big), Value::Text("a")});
  EXPECT_EQ(rs.last_insert_id, big);
  EXPECT_EQ(rs.affected, 1);
  rs = Run("INSERT INTO t (name) VALUES (:n)", {Value::Text("b")});
  EXPECT_EQ(rs.last_insert_id, big + 1);
  // An insert that inserts nothing reports 0, and SQLite's own last_insert_rowid() is kept.
  rs = Run("INSERT OR IGNORE INTO t (name) VALUES (:n)", {Value::Text("b")});
  EXPECT_EQ(rs.last_insert_id, 0);
  EXPECT_EQ(rs.affected, 0);
  EXPECT_EQ(sqlite3_last_insert_rowid(Sqlite().Handle()), big + 1);
  // Statements that are not inserts report no id.
  rs = Run("UPDATE t SET name = name || 'x'");
  EXPECT_EQ(rs.last_insert_id, 0);
  EXPECT_EQ(rs.affected, 2);
  rs = Run("CREATE TABLE u (x INTEGER)");
  EXPECT_EQ(rs.affected, 0);
  rs = Run("SELECT * FROM t");
  EXPECT_EQ(rs.affected, -1);
}

TEST_F(SqliteConn, UniqueViolationIsFlagged) {
  Run("CREATE TABLE t (name TEXT UNIQUE)");
  Run("INSERT INTO t VALUES ('a')");
  try {
    Run("INSERT INTO t VALUES ('a')");
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_TRUE(e.IsUniqueViolation());
    EXPECT_EQ(e.Code(), std::to_string(SQLITE_CONSTRAINT_UNIQUE));
    EXPECT_NE(std::string(e.what()).find("UNIQUE constraint failed"), std::string::npos);
  }
}

TEST_F(SqliteConn, DriverRefusesTrailingStatementsAndParameterMismatch) {
  Run("CREATE TABLE t (a INTEGER)");
  EXPECT_THROW(conn_->Run("INSERT INTO t VALUES (1); DROP TABLE t", {}), SqlError);
  EXPECT_THROW(conn_->Run("SELECT 1; garbage", {}), SqlError);
  EXPECT_NO_THROW(conn_->Run("SELECT 1; -- fine", {}));
  EXPECT_EQ(Run("SELECT COUNT(*) FROM t").rows[0][0].i, 0);  // nothing of the refused text ran
  EXPECT_THROW(conn_->Run("SELECT ?", {}), SqlError);
  EXPECT_THROW(conn_->Run("SELECT @x, ?", {Value::Int(1)}), SqlError);
  EXPECT_THROW(conn_->Run("   ", {}), SqlError);
}

TEST_F(SqliteConn, PreparedStatementsAreCached) {
  Run("CREATE TABLE t (a INTEGER)");
  const std::size_t before = Sqlite().CachedStatements();
  for (int i = 0; i < 50; ++i) Run("INSERT INTO t (a) VALUES (:a)", {Value::Int(i)});
  EXPECT_EQ(Sqlite().CachedStatements(), before + 1);
  EXPECT_EQ(Run("SELECT SUM(a) FROM t").rows[0][0].i, 49 * 50 / 2);
  // A cached statement survives a schema change (SQLite re-prepares it).
  Run("ALTER TABLE t ADD COLUMN b TEXT");
  EXPECT_EQ(Run("INSERT INTO t (a) VALUES (:a)", {Value::Int(1)}).affected, 1);
  EXPECT_EQ(Sqlite().CachedStatements(), before + 3);
}

TEST_F(SqliteConn, BusyTimeoutWaitsThenFails) {
  Run("CREATE TABLE t (a INTEGER)");
  ConnectOptions o;
  o.database = dir_ / "test.db";
  o.busy_timeout_ms = 150;
  SqliteConnection other(o);
  other.Open();
  conn_->Begin();
  Run("INSERT INTO t VALUES (1)");  // holds the write lock
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(other.Run("INSERT INTO t VALUES (2)", {}), SqlError);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
  // WAL: the reader still reads the last committed state.
  EXPECT_EQ(other.Run("SELECT COUNT(*) FROM t", {}).rows[0][0].i, 0);
  conn_->Commit();
  EXPECT_EQ(other.Run("SELECT COUNT(*) FROM t", {}).rows[0][0].i, 1);
}

// ---------------------------------------------------------------------------------------------
// Transaction and Query

TEST_F(SqliteConn, TransactionLifecycle) {
  Run("CREATE TABLE t (a INTEGER)");
  Transaction tx(*conn_);
  EXPECT_FALSE(tx.Active());
  Query q(*conn_, &tx);
  q.SetSQL("INSERT INTO t VALUES (:a)");
  q.SetParam("a", Value::Int(1));
  EXPECT_EQ(q.ExecSQL(), 1);
  EXPECT_TRUE(tx.Active());  // started by the query
  EXPECT_TRUE(conn_->InTransaction());
  tx.Rollback();
  EXPECT_FALSE(tx.Active());
  EXPECT_EQ(Run("SELECT COUNT(*) FROM t").rows[0][0].i, 0);

  q.ExecSQL();
  tx.CommitRetaining();
  EXPECT_TRUE(tx.Active());
  EXPECT_TRUE(conn_->InTransaction());
  q.ExecSQL();
  tx.RollbackRetaining();
  EXPECT_TRUE(tx.Active());
  tx.Commit();
  EXPECT_FALSE(tx.Active());
  EXPECT_FALSE(conn_->InTransaction());
  EXPECT_EQ(Run("SELECT COUNT(*) FROM t").rows[0][0].i, 1);
  tx.Commit();  // nothing active: nothing happens
  {
    Transaction scoped(*conn_);
    Query q2(*conn_, &scoped);
    q2.SetSQL("INSERT INTO t VALUES (5)");
    q2.ExecSQL();
  }  // destroyed active: rolled back
  EXPECT_EQ(Run("SELECT COUNT(*) FROM t").rows[0][0].i, 1);
}

TEST_F(SqliteConn, QueryParametersAndRows) {
  Run("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, score REAL)");
  Query ins(*conn_);
  ins.SetSQL("INSERT INTO t (name, score) VALUES (:name, :score)");
  EXPECT_TRUE(ins.HasParam("NAME"));
  EXPECT_FALSE(ins.HasParam("other"));
  ins.SetParam("name", Value::Text("a"));
  ins.SetParam("score", Value::Real(1.5));
  ins.SetParam("unused", Value::Int(7));  // bound but absent from the text: skipped
  EXPECT_EQ(ins.ExecSQL(), 1);
  EXPECT_EQ(ins.LastInsertId(), 1);
  EXPECT_EQ(conn_->LastInsertId(), 1);
  ins.ClearParams();
  ins.SetParam("Name", Value::Text("b"));  // score has no value: NULL
  ins.ExecSQL();
  EXPECT_EQ(conn_->LastInsertId(), 2);

  Query sel(*conn_);
  sel.SetSQL("SELECT id, name, score FROM t WHERE id >= :min ORDER BY id");
  sel.SetParam("min", Value::Int(1));
  sel.Open();
  EXPECT_EQ(conn_->LastInsertId(), 2);  // a SELECT leaves the captured id alone
  ASSERT_TRUE(sel.Active());
  ASSERT_FALSE(sel.Eof());
  EXPECT_EQ(sel.FieldCount(), 3u);
  EXPECT_EQ(sel.FieldByName("NAME").AsText(), "a");
  EXPECT_DOUBLE_EQ(sel.Field(2).AsDouble(), 1.5);
  sel.Next();
  EXPECT_EQ(sel.FieldByName("name").AsText(), "b");
  EXPECT_TRUE(sel.FieldByName("score").IsNull());
  sel.Next();
  EXPECT_TRUE(sel.Eof());
  EXPECT_THROW(sel.Field(0), SqlError);
  EXPECT_EQ(sel.FieldIndex("nope"), -1);
  sel.Close();
  EXPECT_FALSE(sel.Active());
  EXPECT_THROW(sel.FieldByName("name"), SqlError);
}

TEST_F(SqliteConn, QueryParameterLifecycle) {
  Query q(*conn_);
  q.SetParam("b", Value::Text("early"));  // before any text: kept for it
  q.SetSQL("SELECT :a AS a, :b AS b, :a AS a2");  // a repeated name
  EXPECT_EQ(q.ParamNames(), (std::vector<std::string>{"a", "b"}));
  q.SetParamAt(0, Value::Int(7));
  q.Open();
  EXPECT_EQ(q.Field(0).AsInt64(), 7);
  EXPECT_EQ(q.Field(1).AsText(), "early");
  EXPECT_EQ(q.Field(2).AsInt64(), 7);
  // Run again with a value changed in place.
  q.ParamAt(1).s = "later";
  q.Open();
  EXPECT_EQ(q.Field(1).AsText(), "later");
  EXPECT_EQ(q.Field(2).AsInt64(), 7);
  // Another text keeps the values of the names it shares.
  q.SetSQL("SELECT :B AS b, :c AS c");
  q.Open();
  EXPECT_EQ(q.Field(0).AsText(), "later");
  EXPECT_TRUE(q.Field(1).IsNull());
  q.SetSQL("SELECT :a AS a");
  q.Open();
  EXPECT_EQ(q.Field(0).AsInt64(), 7);
  q.ClearParams();
  q.Open();
  EXPECT_TRUE(q.Field(0).IsNull());
  EXPECT_THROW(q.ParamAt(5), std::out_of_range);
  q.SetParamAt(5, Value::Int(1));  // ignored

  // Texts set by name, in any order and letter case, row after row on the same text: the
  // same text set again keeps its values.
  q.SetSQL("SELECT :x AS x, :y AS y, :z AS z");
  for (const char* row : {"1", "22", "a text longer than any short-string buffer"}) {
    q.SetSQL("SELECT :x AS x, :y AS y, :z AS z");
    q.SetParamText("Z", std::string("z") + row);
    q.SetParamText("x", std::string("x") + row);
    q.SetParamText("y", std::string("y") + row);
    q.Open();
    EXPECT_EQ(q.Field(0).AsText() + q.Field(1).AsText() + q.Field(2).AsText(),
              std::string("x") + row + "y" + row + "z" + row);
  }
  q.SetSQL("SELECT :x AS x, :y AS y, :z AS z");
  q.SetParamText("x", "only x changed");
  q.Open();
  EXPECT_EQ(q.Field(1).AsText(), "ya text longer than any short-string buffer");
  q.SetParamText("w", "not in the text");  // kept for a later text
  q.SetSQL("SELECT :w AS w");
  q.Open();
  EXPECT_EQ(q.Field(0).AsText(), "not in the text");
}

TEST_F(SqliteConn, QueryRefusesSecondStatementAtSetSQL) {
  Query q(*conn_);
  EXPECT_THROW(q.SetSQL("SELECT 1; SELECT 2"), SqlError);
}

TEST_F(SqliteConn, TransactionRestartsAfterSqliteRolledItBack) {
  Run("CREATE TABLE t (a INTEGER)");
  Transaction tx(*conn_);
  Query q(*conn_, &tx);
  q.SetSQL("INSERT INTO t VALUES (1)");
  q.ExecSQL();
  conn_->Rollback();  // behind the Transaction's back, as SQLite does after some errors
  EXPECT_TRUE(tx.Active());
  q.ExecSQL();  // starts a fresh transaction instead of running in autocommit
  EXPECT_TRUE(conn_->InTransaction());
  tx.Rollback();
  EXPECT_EQ(Run("SELECT COUNT(*) FROM t").rows[0][0].i, 0);
}

TEST(SqlConnFactory, UnknownBackendIsRefused) {
  EXPECT_THROW(CreateConnection(static_cast<Backend>(9), ConnectOptions{}), SqlError);
}

// ---------------------------------------------------------------------------------------------
// PostgreSQL and MariaDB sessions that end, and servers that do not answer

class ServerSession : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    auto o = ovtest::TestServerOptions(GetParam());
    if (!o) GTEST_SKIP() << ovtest::NoServerMessage(GetParam());
    opts_ = *o;
  }
  bool Pg() const { return GetParam() == Backend::Postgres; }
  std::int64_t SessionId(Connection& c) {
    return c.Run(Pg() ? "SELECT pg_backend_pid()" : "SELECT CONNECTION_ID()", {}).rows.at(0).at(0).AsInt64();
  }
  std::string TimeZone(Connection& c) {
    return c.Run(Pg() ? "SELECT current_setting('TimeZone')" : "SELECT @@session.time_zone", {}).rows.at(0).at(0).AsText();
  }

  ConnectOptions opts_;
};

INSTANTIATE_TEST_SUITE_P(Servers, ServerSession, ::testing::Values(Backend::Postgres, Backend::MariaDB),
                         [](const auto& info) { return std::string(ovtest::ServerName(info.param)); });

// The descriptors of this process's sockets connected to 127.0.0.1:port.
std::set<int> SocketsTo(int port) {
  std::set<int> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port)
      out.insert(fd);
  }
  return out;
}

int SocketOption(int fd, int level, int option) {
  int v = -1;
  socklen_t len = sizeof v;
  ::getsockopt(fd, level, option, &v, &len);
  return v;
}

TEST_P(ServerSession, AnEndedSessionIsSeenBetweenStatementsAndOpeningAgainRestoresIt) {
  auto admin = CreateConnection(GetParam(), opts_);
  admin->Open();
  struct Ending {
    const char* how;
    std::function<void(Connection&)> end;
  };
  const Ending endings[] = {
      {"killed by an administrator",
       [&](Connection& c) {
         const std::string id = std::to_string(SessionId(c));
         admin->Run(Pg() ? "SELECT pg_terminate_backend(" + id + ")" : "KILL CONNECTION " + id, {});
       }},
      {"idle time-out",
       [&](Connection& c) { c.Run(Pg() ? "SET idle_session_timeout = 100" : "SET SESSION wait_timeout = 1", {}); }},
  };
  for (const Ending& e : endings) {
    SCOPED_TRACE(e.how);
    auto c = CreateConnection(GetParam(), opts_);
    c->Open();
    // A live session stays open, also after a notice or a warning and inside a transaction.
    c->Run("SELECT 1", {});
    EXPECT_TRUE(c->StillOpen());
    c->Run(Pg() ? "DO $$ BEGIN RAISE NOTICE 'just a notice'; END $$" : "SELECT 1/0", {});
    EXPECT_TRUE(c->StillOpen());
    c->Begin();
    c->Run("SELECT 2", {});
    EXPECT_TRUE(c->StillOpen());
    c->Rollback();
    EXPECT_TRUE(c->StillOpen());

    e.end(*c);
    EXPECT_TRUE(ovtest::PollUntil([&] { return !c->StillOpen(); }));
    EXPECT_FALSE(c->Connected());
    try {
      c->Run("SELECT 3", {});
      ADD_FAILURE() << "an ended session ran a statement";
    } catch (const SqlError& x) {
      EXPECT_TRUE(x.IsConnectionLost()) << x.what();
    }
    c->Open();
    EXPECT_TRUE(c->StillOpen());
    EXPECT_EQ(c->Run("SELECT 4", {}).rows.at(0).at(0).AsInt64(), 4);
    EXPECT_EQ(TimeZone(*c), Pg() ? "UTC" : "+00:00");
  }
}

TEST_P(ServerSession, ServersThatDoNotAnswerAreBounded) {
  // A server that accepts and never answers: opening gives up after its time-out, and every
  // statement after that names the reason.
  {
    ovtest::LoopbackProxy silent(opts_.port);
    silent.SetMode(ovtest::LoopbackProxy::Mode::Silent);
    ConnectOptions o = opts_;
    o.port = silent.Port();
    o.connect_timeout_s = 2;
    auto c = CreateConnection(GetParam(), o);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(c->Open(), SqlError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(silent.Accepted(), 1);
    try {
      c->Run("SELECT 1", {});
      ADD_FAILURE() << "ran without a connection";
    } catch (const SqlError& x) {
      EXPECT_EQ(std::string(x.what()).rfind("Database unavailable: ", 0), 0u) << x.what();
      EXPECT_TRUE(x.IsConnectionLost());
    }
  }
  // One that stops answering an open session is left to TCP: keepalive probes and the user
  // time-out are set on every session's socket, also on one opened again.
  ConnectOptions o = opts_;
  o.keepalive_idle_s = 7;
  o.keepalive_interval_s = 3;
  o.keepalive_count = 4;
  o.tcp_user_timeout_ms = 12345;
  auto c = CreateConnection(GetParam(), o);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    c->Close();  // its descriptor may come back for the new socket
    const std::set<int> before = SocketsTo(o.port);
    c->Open();
    std::vector<int> added;
    for (int fd : SocketsTo(o.port))
      if (!before.count(fd)) added.push_back(fd);
    ASSERT_EQ(added.size(), 1u);
    const int fd = added[0];
    EXPECT_EQ(SocketOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 12345);
  }
}

}  // namespace
