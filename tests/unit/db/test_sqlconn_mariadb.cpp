// MariaDB connection against the test server started by scripts/test-db-servers.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "db_test_env.h"
#include "ov_sqlconn_mariadb.h"

using namespace ov::sql;
using ovtest::Cell;

namespace {

using MyConn = ovtest::ServerConnTest<Backend::MariaDB>;

}  // namespace

TEST(MyConnOffline, UnreachableServerRaisesAndStaysClosed) {
  ConnectOptions o;
  o.host = "127.0.0.1";
  o.port = 1;
  o.connect_timeout_s = 2;
  auto c = CreateMariaDBConnection(o);
  EXPECT_EQ(c->Kind(), Backend::MariaDB);
  EXPECT_EQ(c->NativePlaceholder(3), "?");
  try {
    c->Open();
    FAIL() << "connected to port 1";
  } catch (const SqlError& e) {
    EXPECT_EQ(e.Code(), "2002");  // can't connect
  }
  EXPECT_FALSE(c->Connected());
  EXPECT_FALSE(c->Ping());
  EXPECT_FALSE(c->InTransaction());
  EXPECT_THROW(c->Run("SELECT 1", {}), SqlError);
}

TEST_F(MyConn, FieldKindsAndSessionSettings) {
  Run("DROP TABLE IF EXISTS ovt_myconn_kinds");
  Run("CREATE TABLE ovt_myconn_kinds (flag TINYINT(1), tiny TINYINT, big BIGINT, ubig BIGINT UNSIGNED, "
      "d DOUBLE, f FLOAT, dec_ DECIMAL(10,2), dt DATETIME(3), ts TIMESTAMP NULL, day DATE, tm TIME, "
      "bl BLOB, tx TEXT, vc VARCHAR(20), bits BIT(12), js JSON, nothing INT)");
  Run("INSERT INTO ovt_myconn_kinds VALUES (?, ?, ?, 18446744073709551615, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, b'101', ?, ?)",
      {Value::Boolean(true), Value::Int(-7), Value::Int(std::numeric_limits<std::int64_t>::min()), Value::Real(2.5),
       Value::Real(1.1), Value::Text("12.25"), Value::Text("2024-01-02 03:04:05.678"),
       Value::DateTime("2024-06-30 23:59:59"), Value::Text("2024-01-02"), Value::Text("30:00:01"),
       Value::Blob(std::string("\0\xff" "A", 3)), Value::Text("text"), Value::Text("vc"), Value::Text("{\"a\": 1}"),
       Value::Null()});
  auto rs = Run("SELECT * FROM ovt_myconn_kinds");
  ASSERT_TRUE(rs.has_rows);
  ASSERT_EQ(rs.rows.size(), 1u);
  ASSERT_EQ(rs.names.size(), 17u);
  EXPECT_EQ(rs.names[0], "flag");
  EXPECT_EQ(Cell(rs, 0).kind, FieldKind::Bool);
  EXPECT_TRUE(Cell(rs, 0).b);
  EXPECT_EQ(Cell(rs, 1).kind, FieldKind::Int64);  // TINYINT without (1) is a number
  EXPECT_EQ(Cell(rs, 1).i, -7);
  EXPECT_EQ(Cell(rs, 2).i, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Cell(rs, 3).kind, FieldKind::Text);  // beyond int64: kept exact as text
  EXPECT_EQ(Cell(rs, 3).s, "18446744073709551615");
  EXPECT_EQ(Cell(rs, 4).kind, FieldKind::Double);
  EXPECT_DOUBLE_EQ(Cell(rs, 4).d, 2.5);
  EXPECT_EQ(Cell(rs, 5).kind, FieldKind::Double);
  EXPECT_EQ(Cell(rs, 5).d, 1.1);
  EXPECT_EQ(Cell(rs, 6).kind, FieldKind::Double);
  EXPECT_DOUBLE_EQ(Cell(rs, 6).d, 12.25);
  EXPECT_EQ(Cell(rs, 7).kind, FieldKind::DateTime);
  EXPECT_EQ(Cell(rs, 7).s, "2024-01-02 03:04:05");
  EXPECT_EQ(Cell(rs, 8).kind, FieldKind::DateTime);
  EXPECT_EQ(Cell(rs, 8).s, "2024-06-30 23:59:59");
  EXPECT_EQ(Cell(rs, 9).kind, FieldKind::Date);
  EXPECT_EQ(Cell(rs, 9).s, "2024-01-02");
  EXPECT_EQ(Cell(rs, 10).kind, FieldKind::Time);
  EXPECT_EQ(Cell(rs, 10).s, "30:00:01");
  EXPECT_EQ(Cell(rs, 11).kind, FieldKind::Blob);
  EXPECT_EQ(Cell(rs, 11).s, std::string("\0\xff" "A", 3));
  EXPECT_EQ(Cell(rs, 12).kind, FieldKind::Text);
  EXPECT_EQ(Cell(rs, 12).s, "text");
  EXPECT_EQ(Cell(rs, 13).s, "vc");
  EXPECT_EQ(Cell(rs, 14).kind, FieldKind::Int64);
  EXPECT_EQ(Cell(rs, 14).i, 5);
  EXPECT_EQ(Cell(rs, 15).kind, FieldKind::Text);
  EXPECT_TRUE(Cell(rs, 16).IsNull());

  rs = Run("SELECT @@session.time_zone, @@character_set_connection, ABS(TIMESTAMPDIFF(SECOND, UTC_TIMESTAMP(), NOW())), "
           "NOW(), FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@session.sql_mode) > 0");
  EXPECT_EQ(Cell(rs, 0).s, "+00:00");
  EXPECT_EQ(Cell(rs, 1).s, "utf8mb4");
  EXPECT_LE(Cell(rs, 2).i, 1);
  EXPECT_EQ(Cell(rs, 3).s.size(), 19u);
  EXPECT_EQ(Cell(rs, 4).i, 1);
  Run("DROP TABLE ovt_myconn_kinds");
}

TEST_F(MyConn, ParametersAndLiteralsRoundTrip) {
  Run("DROP TABLE IF EXISTS ovt_myconn_params");
  Run("CREATE TABLE ovt_myconn_params (id BIGINT PRIMARY KEY AUTO_INCREMENT, t LONGTEXT, b LONGBLOB)");
  const std::string tricky = "it's a \"test\" \\ back\\slash ? :p1 `x` -- ; ünïcödé 😀";
  const std::string bytes("\0\x01'\\\xff", 5);
  const std::string big(300000, 'z');
  auto ins = Run("INSERT INTO ovt_myconn_params (t, b) VALUES (?, ?)", {Value::Text(tricky), Value::Blob(bytes)});
  EXPECT_EQ(ins.affected, 1);
  EXPECT_GT(ins.last_insert_id, 0);
  auto ins2 = Run("INSERT INTO ovt_myconn_params (t, b) VALUES (?, NULL)", {Value::Text(big)});
  EXPECT_EQ(ins2.last_insert_id, ins.last_insert_id + 1);

  auto rs = Run("SELECT t, b FROM ovt_myconn_params ORDER BY id");
  ASSERT_EQ(rs.rows.size(), 2u);
  EXPECT_EQ(Cell(rs, 0).s, tricky);
  EXPECT_EQ(Cell(rs, 1).s, bytes);
  EXPECT_EQ(Cell(rs, 0, 1).s, big);
  EXPECT_TRUE(Cell(rs, 1, 1).IsNull());

  rs = Run("SELECT count(*) FROM ovt_myconn_params WHERE t = ?", {Value::Text("x' OR '1'='1")});
  EXPECT_EQ(Cell(rs, 0).i, 0);

  // A backslash in SQL text is an ordinary character, as on SQLite and PostgreSQL.
  rs = Run("SELECT 'a\\b', LENGTH('a\\nb'), 'it''s'");
  EXPECT_EQ(Cell(rs, 0).s, "a\\b");
  EXPECT_EQ(Cell(rs, 1).i, 4);
  EXPECT_EQ(Cell(rs, 2).s, "it's");

  // Booleans bind as 0/1; an UPDATE counts the rows it matched, changed or not.
  EXPECT_EQ(Run("UPDATE ovt_myconn_params SET t = t WHERE id > ?", {Value::Int(0)}).affected, 2);
  rs = Run("SELECT ? = 1, ?", {Value::Boolean(true), Value::Null()});
  EXPECT_EQ(Cell(rs, 0).i, 1);
  EXPECT_TRUE(Cell(rs, 1).IsNull());

  EXPECT_THROW(Run("SELECT ?", {}), SqlError);  // placeholder without a value
  EXPECT_THROW(Run("SELECT 1", {Value::Int(1)}), SqlError);
  Run("DROP TABLE ovt_myconn_params");
}

TEST_F(MyConn, UniqueViolationIsRecognised) {
  Run("DROP TABLE IF EXISTS ovt_myconn_uniq");
  Run("CREATE TABLE ovt_myconn_uniq (k VARCHAR(20) UNIQUE)");
  Run("INSERT INTO ovt_myconn_uniq VALUES (?)", {Value::Text("x")});
  try {
    Run("INSERT INTO ovt_myconn_uniq VALUES (?)", {Value::Text("x")});
    FAIL() << "duplicate accepted";
  } catch (const SqlError& e) {
    EXPECT_TRUE(e.IsUniqueViolation());
    EXPECT_FALSE(e.IsConnectionLost());
    EXPECT_EQ(e.Code(), "1062");
    EXPECT_NE(std::string(e.what()).find("Duplicate entry"), std::string::npos) << e.what();
  }
  try {
    Run("SELECT * FROM ovt_no_such_table");
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_FALSE(e.IsUniqueViolation());
    EXPECT_EQ(e.Code(), "1146");
  }
  EXPECT_TRUE(conn_->Connected());
  Run("DROP TABLE ovt_myconn_uniq");
}

TEST_F(MyConn, FailedStatementInTransactionThenRollback) {
  Run("DROP TABLE IF EXISTS ovt_myconn_tx");
  Run("CREATE TABLE ovt_myconn_tx (k INT PRIMARY KEY) ENGINE=InnoDB");
  EXPECT_FALSE(conn_->InTransaction());
  conn_->Begin();
  EXPECT_TRUE(conn_->InTransaction());
  Run("INSERT INTO ovt_myconn_tx VALUES (1)");
  EXPECT_THROW(Run("INSERT INTO ovt_myconn_tx VALUES (1)"), SqlError);
  EXPECT_TRUE(conn_->InTransaction());
  conn_->Rollback();
  EXPECT_FALSE(conn_->InTransaction());
  Run("INSERT INTO ovt_myconn_tx VALUES (3)");
  auto rs = Run("SELECT k FROM ovt_myconn_tx ORDER BY k");
  ASSERT_EQ(rs.rows.size(), 1u);
  EXPECT_EQ(Cell(rs, 0).i, 3);

  conn_->Begin();
  Run("INSERT INTO ovt_myconn_tx VALUES (4)");
  conn_->Commit();
  EXPECT_FALSE(conn_->InTransaction());
  EXPECT_EQ(Run("SELECT count(*) FROM ovt_myconn_tx").rows[0][0].i, 2);
  Run("DROP TABLE ovt_myconn_tx");
}

TEST_F(MyConn, OneStatementPerCall) {
  Run("DROP TABLE IF EXISTS ovt_myconn_multi");
  Run("CREATE TABLE ovt_myconn_multi (k INT)");
  try {
    Run("SELECT 1; DROP TABLE ovt_myconn_multi");
    FAIL() << "two statements accepted";
  } catch (const SqlError& e) {
    EXPECT_NE(std::string(e.what()).find("one statement"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Run("SELECT count(*) FROM ovt_myconn_multi").rows.size(), 1u);  // still there
  // A syntax error alone is not reported as a second statement.
  try {
    Run("SELEC 1");
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_EQ(std::string(e.what()).find("one statement"), std::string::npos) << e.what();
    EXPECT_EQ(e.Code(), "1064");
  }
  // A semicolon inside a literal is data.
  EXPECT_EQ(Cell(Run("SELECT 'a;b'"), 0).s, "a;b");
  Run("DROP TABLE ovt_myconn_multi");
}

TEST_F(MyConn, LostConnectionIsDetectedAndReopenRecovers) {
  auto killer = CreateMariaDBConnection(opts_);
  killer->Open();
  auto id = Cell(Run("SELECT CONNECTION_ID()"), 0).i;
  killer->Run("KILL CONNECTION " + std::to_string(id), {});
  try {
    Run("SELECT 1");
    FAIL() << "killed session still answers";
  } catch (const SqlError& e) {
    EXPECT_TRUE(e.IsConnectionLost()) << e.what() << " code " << e.Code();
  }
  EXPECT_FALSE(conn_->Connected());
  EXPECT_FALSE(conn_->Ping());
  EXPECT_FALSE(conn_->InTransaction());
  EXPECT_THROW(Run("SELECT 1"), SqlError);
  conn_->Open();
  EXPECT_TRUE(conn_->Connected());
  EXPECT_TRUE(conn_->Ping());
  EXPECT_EQ(Cell(Run("SELECT 2"), 0).i, 2);
  EXPECT_EQ(Cell(Run("SELECT @@session.time_zone"), 0).s, "+00:00");
}

TEST_F(MyConn, WrongPasswordIsRefused) {
  ConnectOptions o = opts_;
  o.password = "wrong-" + o.password;
  auto c = CreateMariaDBConnection(o);
  try {
    c->Open();
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_EQ(e.Code(), "1045");
  }
  EXPECT_FALSE(c->Connected());
}
