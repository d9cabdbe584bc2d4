// PostgreSQL connection against the test server started by scripts/test-db-servers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>

#include "db_test_env.h"
#include "ov_sqlconn_pg.h"

using namespace ov::sql;
using ovtest::Cell;

namespace {

using PgConn = ovtest::ServerConnTest<Backend::Postgres>;

}  // namespace

TEST(PgTemporalText, FractionsAndZonesAreCut) {
  EXPECT_EQ(pgdetail::TrimTemporal("2024-01-02 03:04:05.678901"), "2024-01-02 03:04:05");
  EXPECT_EQ(pgdetail::TrimTemporal("2024-01-02 03:04:05+00"), "2024-01-02 03:04:05");
  EXPECT_EQ(pgdetail::TrimTemporal("2024-01-02 03:04:05.5-03:30"), "2024-01-02 03:04:05");
  EXPECT_EQ(pgdetail::TrimTemporal("2024-01-02 03:04:05"), "2024-01-02 03:04:05");
  EXPECT_EQ(pgdetail::TrimTemporal("23:59:59.999"), "23:59:59");
  EXPECT_EQ(pgdetail::TrimTemporal("12:00:00+02"), "12:00:00");
  EXPECT_EQ(pgdetail::TrimTemporal("0044-03-15 12:00:00.25 BC"), "0044-03-15 12:00:00 BC");
  EXPECT_EQ(pgdetail::TrimTemporal("infinity"), "infinity");
  EXPECT_EQ(pgdetail::TrimTemporal("2024-01-02"), "2024-01-02");
  EXPECT_EQ(pgdetail::TrimTemporal("1:2"), "1:2");
}

TEST(PgConnOffline, UnreachableServerRaisesAndStaysClosed) {
  ConnectOptions o;
  o.host = "127.0.0.1";
  o.port = 1;  // nothing listens there
  o.database = "x";
  o.connect_timeout_s = 2;
  auto c = CreatePostgresConnection(o);
  EXPECT_EQ(c->Kind(), Backend::Postgres);
  EXPECT_EQ(c->NativePlaceholder(3), "$3");
  try {
    c->Open();
    FAIL() << "connected to port 1";
  } catch (const SqlError& e) {
    EXPECT_NE(std::string(e.what()), "");
  }
  EXPECT_FALSE(c->Connected());
  EXPECT_FALSE(c->Ping());
  EXPECT_THROW(c->Run("SELECT 1", {}), SqlError);
}

TEST_F(PgConn, FieldKindsAndSessionSettings) {
  auto rs = Run(
      "SELECT true AS b, 9223372036854775807::bigint AS big, (-5)::int2 AS small, 1.5::float8 AS d, "
      "12.25::numeric AS num, NULL::int AS n, '2024-01-02 03:04:05.678'::timestamp AS ts, "
      "'2024-01-02 03:04:05.678+02'::timestamptz AS tz, '2024-01-02'::date AS dt, '03:04:05.9'::time AS tm, "
      "'\\x00ff41'::bytea AS bl, 'x'::varchar AS t, '{\"a\":1}'::jsonb AS j");
  ASSERT_TRUE(rs.has_rows);
  ASSERT_EQ(rs.rows.size(), 1u);
  ASSERT_EQ(rs.names.size(), 13u);
  EXPECT_EQ(rs.names[0], "b");
  EXPECT_EQ(Cell(rs, 0).kind, FieldKind::Bool);
  EXPECT_TRUE(Cell(rs, 0).b);
  EXPECT_EQ(Cell(rs, 1).kind, FieldKind::Int64);
  EXPECT_EQ(Cell(rs, 1).i, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Cell(rs, 2).kind, FieldKind::Int64);
  EXPECT_EQ(Cell(rs, 2).i, -5);
  EXPECT_EQ(Cell(rs, 3).kind, FieldKind::Double);
  EXPECT_DOUBLE_EQ(Cell(rs, 3).d, 1.5);
  EXPECT_EQ(Cell(rs, 4).kind, FieldKind::Double);
  EXPECT_DOUBLE_EQ(Cell(rs, 4).d, 12.25);
  EXPECT_EQ(Cell(rs, 5).kind, FieldKind::Null);
  EXPECT_EQ(Cell(rs, 6).kind, FieldKind::DateTime);
  EXPECT_EQ(Cell(rs, 6).s, "2024-01-02 03:04:05");
  EXPECT_EQ(Cell(rs, 7).kind, FieldKind::DateTime);
  EXPECT_EQ(Cell(rs, 7).s, "2024-01-02 01:04:05");  // shown in UTC
  EXPECT_EQ(Cell(rs, 8).kind, FieldKind::Date);
  EXPECT_EQ(Cell(rs, 8).s, "2024-01-02");
  EXPECT_EQ(Cell(rs, 9).kind, FieldKind::Time);
  EXPECT_EQ(Cell(rs, 9).s, "03:04:05");
  EXPECT_EQ(Cell(rs, 10).kind, FieldKind::Blob);
  EXPECT_EQ(Cell(rs, 10).s, std::string("\0\xff" "A", 3));
  EXPECT_EQ(Cell(rs, 11).kind, FieldKind::Text);
  EXPECT_EQ(Cell(rs, 11).s, "x");
  EXPECT_EQ(Cell(rs, 12).kind, FieldKind::Text);

  rs = Run("SELECT current_setting('TimeZone'), current_setting('client_encoding'), "
           "to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') = left(now()::text, 19)");
  EXPECT_EQ(Cell(rs, 0).s, "UTC");
  EXPECT_EQ(Cell(rs, 1).s, "UTF8");
  EXPECT_TRUE(Cell(rs, 2).b);
  rs = Run("SELECT now()");
  EXPECT_EQ(Cell(rs, 0).s.size(), 19u);  // "yyyy-mm-dd hh:nn:ss"
}

TEST_F(PgConn, ParametersRoundTrip) {
  Run("DROP TABLE IF EXISTS ovt_pgconn_params");
  Run("CREATE TABLE ovt_pgconn_params (id BIGSERIAL PRIMARY KEY, t TEXT, n BIGINT, d DOUBLE PRECISION, "
      "f BOOLEAN, bl BYTEA, ts TIMESTAMP, u VARCHAR(10))");
  const std::string tricky = "it's a \"test\" \\ back\\slash $1 :p1 ? -- not a comment; ünïcödé";
  const std::string bytes("\0\x01'\\\xff", 5);
  auto ins = Run("INSERT INTO ovt_pgconn_params (t, n, d, f, bl, ts, u) VALUES ($1, $2, $3, $4, $5, $6, $7) RETURNING id",
                 {Value::Text(tricky), Value::Int(std::numeric_limits<std::int64_t>::min()), Value::Real(-0.1),
                  Value::Boolean(false), Value::Blob(bytes), Value::DateTime("2023-12-31 23:59:58"), Value::Null()});
  EXPECT_EQ(ins.affected, 1);
  ASSERT_GT(ins.last_insert_id, 0);

  auto rs = Run("SELECT t, n, d, f, bl, ts, u FROM ovt_pgconn_params WHERE id = $1", {Value::Int(ins.last_insert_id)});
  ASSERT_EQ(rs.rows.size(), 1u);
  EXPECT_EQ(Cell(rs, 0).s, tricky);
  EXPECT_EQ(Cell(rs, 1).i, std::numeric_limits<std::int64_t>::min());
  EXPECT_DOUBLE_EQ(Cell(rs, 2).d, -0.1);
  EXPECT_EQ(Cell(rs, 3).kind, FieldKind::Bool);
  EXPECT_FALSE(Cell(rs, 3).b);
  EXPECT_EQ(Cell(rs, 4).s, bytes);
  EXPECT_EQ(Cell(rs, 5).s, "2023-12-31 23:59:58");
  EXPECT_TRUE(Cell(rs, 6).IsNull());

  // Parameters are untyped: an integer goes into a boolean column, a boolean compares with
  // one and also goes into an integer flag column.
  Run("UPDATE ovt_pgconn_params SET f = $1", {Value::Int(1)});
  rs = Run("SELECT count(*) FROM ovt_pgconn_params WHERE f = $1", {Value::Boolean(true)});
  EXPECT_EQ(Cell(rs, 0).i, 1);
  rs = Run("SELECT $1::int + 0, $2 AND true", {Value::Boolean(true), Value::Boolean(false)});
  EXPECT_EQ(Cell(rs, 0).i, 1);
  EXPECT_FALSE(Cell(rs, 1).b);

  // A parameter is a value, never SQL.
  rs = Run("SELECT count(*) FROM ovt_pgconn_params WHERE t = $1", {Value::Text("x' OR '1'='1")});
  EXPECT_EQ(Cell(rs, 0).i, 0);

  // A double keeps every bit; infinities use the server's spelling.
  const double third = 1.0 / 3.0;
  rs = Run("SELECT $1::float8, $2::float8", {Value::Real(third), Value::Real(std::numeric_limits<double>::infinity())});
  EXPECT_EQ(Cell(rs, 0).d, third);
  EXPECT_TRUE(std::isinf(Cell(rs, 1).d));

  EXPECT_THROW(Run("SELECT $1::text", {Value::Text(std::string("a\0b", 3))}), SqlError);
  Run("DROP TABLE ovt_pgconn_params");
}

TEST_F(PgConn, AffectedRowsAndInsertIds) {
  Run("DROP TABLE IF EXISTS ovt_pgconn_ids");
  Run("CREATE TABLE ovt_pgconn_ids (id SERIAL PRIMARY KEY, name TEXT)");
  auto a = Run("INSERT INTO ovt_pgconn_ids (name) VALUES ($1) RETURNING id", {Value::Text("a")});
  auto b = Run("INSERT INTO ovt_pgconn_ids (name) VALUES ($1) RETURNING id", {Value::Text("b")});
  EXPECT_EQ(b.last_insert_id, a.last_insert_id + 1);
  // Without RETURNING id the key comes from the sequence the insert moved.
  EXPECT_EQ(Run("INSERT INTO ovt_pgconn_ids (name) VALUES ('c')").last_insert_id, a.last_insert_id + 2);
  EXPECT_EQ(Run("INSERT INTO ovt_pgconn_ids (name) VALUES ('d') RETURNING name").last_insert_id, a.last_insert_id + 3);
  EXPECT_EQ(Run("SELECT id FROM ovt_pgconn_ids ORDER BY id LIMIT 1").last_insert_id, 0);
  EXPECT_EQ(Run("UPDATE ovt_pgconn_ids SET name = name WHERE id <= $1", {Value::Int(b.last_insert_id)}).affected, 2);
  EXPECT_EQ(Run("DELETE FROM ovt_pgconn_ids WHERE id < 0").affected, 0);
  // An insert that generates no key claims none, not the previous insert's.
  Run("DROP TABLE IF EXISTS ovt_pgconn_nokey");
  Run("CREATE TABLE ovt_pgconn_nokey (k INT)");
  EXPECT_EQ(Run("INSERT INTO ovt_pgconn_nokey VALUES (1)").last_insert_id, 0);
  EXPECT_EQ(Run("INSERT INTO ovt_pgconn_ids (name) VALUES ('f') ON CONFLICT DO NOTHING").last_insert_id,
            a.last_insert_id + 4);

  // A fresh session that has used no sequence yet: the insert inside a transaction reports no
  // key and leaves the transaction usable.
  auto fresh = CreatePostgresConnection(opts_);
  fresh->Open();
  fresh->Begin();
  EXPECT_EQ(fresh->Run("INSERT INTO ovt_pgconn_nokey VALUES (2)", {}).last_insert_id, 0);
  EXPECT_EQ(fresh->Run("SELECT count(*) FROM ovt_pgconn_nokey", {}).rows[0][0].i, 2);
  fresh->Commit();
  Run("DROP TABLE ovt_pgconn_nokey");
  Run("DROP TABLE ovt_pgconn_ids");
}

TEST_F(PgConn, InsertIdsOfTablesWhoseSequencesMeetTheSameValue) {
  // Two tables, each with its own sequence: their ids run 1, 2, ... side by side, so the key
  // an insert generated often equals the one the previous insert (into the other table) did.
  Run("DROP TABLE IF EXISTS ovt_pgconn_seq_a");
  Run("DROP TABLE IF EXISTS ovt_pgconn_seq_b");
  Run("DROP TABLE IF EXISTS ovt_pgconn_seq_none");
  Run("CREATE TABLE ovt_pgconn_seq_a (id BIGSERIAL PRIMARY KEY, v TEXT)");
  Run("CREATE TABLE ovt_pgconn_seq_b (id BIGSERIAL PRIMARY KEY, v TEXT)");
  Run("CREATE TABLE ovt_pgconn_seq_none (k INT)");
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(Run("INSERT INTO ovt_pgconn_seq_a (v) VALUES ('a')").last_insert_id, i);
    EXPECT_EQ(Run("INSERT INTO ovt_pgconn_seq_b (v) VALUES ('b')").last_insert_id, i);
    EXPECT_EQ(Run("INSERT INTO ovt_pgconn_seq_none VALUES (1)").last_insert_id, 0);
  }
  // After a key handed back through RETURNING, an insert without a key still claims none.
  EXPECT_EQ(Run("INSERT INTO ovt_pgconn_seq_a (v) VALUES ('r') RETURNING id").last_insert_id, 4);
  EXPECT_EQ(Run("INSERT INTO ovt_pgconn_seq_none VALUES (2)").last_insert_id, 0);
  EXPECT_EQ(Run("INSERT INTO ovt_pgconn_seq_b (v) VALUES ('b')").last_insert_id, 4);
  Run("DROP TABLE ovt_pgconn_seq_a");
  Run("DROP TABLE ovt_pgconn_seq_b");
  Run("DROP TABLE ovt_pgconn_seq_none");
}

TEST_F(PgConn, InsertIdsNeedNoTemporaryObjects) {
  // A role without the TEMP right on its database, as a hosted server may hand out: its
  // inserts still report their keys, and a session makes no temporary schema for them.
  const std::string tag = "ovt_notemp_" + std::to_string(::getpid());
  Run("DROP DATABASE IF EXISTS " + tag);
  Run("DROP ROLE IF EXISTS " + tag);
  Run("CREATE DATABASE " + tag);
  Run("CREATE ROLE " + tag + " LOGIN PASSWORD 'pw-" + tag + "'");
  ConnectOptions admin_opts = opts_;
  admin_opts.database = tag;
  {
    auto admin = CreatePostgresConnection(admin_opts);
    admin->Open();
    admin->Run("REVOKE TEMPORARY ON DATABASE " + tag + " FROM PUBLIC", {});
    admin->Run("CREATE TABLE \"Ids\" (n INT, \"Key\" BIGINT GENERATED ALWAYS AS IDENTITY, v TEXT)", {});
    admin->Run("CREATE TABLE plain (id SERIAL PRIMARY KEY, v TEXT)", {});
    admin->Run("CREATE TABLE nokey (k INT)", {});
    admin->Run("GRANT ALL ON ALL TABLES IN SCHEMA public TO " + tag, {});
    admin->Run("GRANT ALL ON ALL SEQUENCES IN SCHEMA public TO " + tag, {});
  }
  ConnectOptions user_opts = admin_opts;
  user_opts.user = tag;
  user_opts.password = "pw-" + tag;
  {
    auto c = CreatePostgresConnection(user_opts);
    c->Open();
    EXPECT_THROW(c->Run("CREATE TEMPORARY TABLE t (x INT)", {}), SqlError);  // the right is really gone
    struct Case {
      std::string sql;
      std::int64_t id;
      std::vector<std::string> names;  // the columns the caller sees
    };
    for (const Case& k : std::vector<Case>{
             {"INSERT INTO plain (v) VALUES ($1)", 1, {}},
             {"insert into PLAIN (v) values ($1) -- a trailing comment", 2, {}},
             {"INSERT INTO public.plain (v) VALUES ($1) RETURNING v", 3, {"v"}},
             {"INSERT INTO plain (v) VALUES ($1), ('x') RETURNING *", 5, {"id", "v"}},
             {"INSERT INTO \"Ids\" (n, v) VALUES (7, $1);", 1, {}},
             {"WITH w AS (SELECT 1) INSERT INTO \"Ids\" (n, v) SELECT 8, $1::text FROM w RETURNING n", 2, {"n"}},
             {"INSERT INTO nokey VALUES (1)", 0, {}},
             {"INSERT INTO plain (id, v) VALUES (5, $1) ON CONFLICT DO NOTHING", 0, {}}}) {
      std::vector<Value> params;
      if (k.sql.find("$1") != std::string::npos) params.push_back(Value::Text("a"));
      const ResultSet rs = c->Run(k.sql, params);
      EXPECT_EQ(rs.last_insert_id, k.id) << k.sql;
      EXPECT_EQ(rs.names, k.names) << k.sql;
      EXPECT_EQ(rs.has_rows, !k.names.empty()) << k.sql;
    }
    // A failed insert inside a transaction is the caller's error, not the key lookup's.
    c->Begin();
    EXPECT_THROW(c->Run("INSERT INTO missing_table VALUES (1)", {}), SqlError);
    c->Rollback();
    EXPECT_EQ(c->Run("SELECT pg_my_temp_schema()::int", {}).rows[0][0].i, 0);
  }
  Run("DROP DATABASE " + tag);
  Run("DROP ROLE " + tag);
}

TEST_F(PgConn, UniqueViolationIsRecognised) {
  Run("DROP TABLE IF EXISTS ovt_pgconn_uniq");
  Run("CREATE TABLE ovt_pgconn_uniq (k TEXT UNIQUE)");
  Run("INSERT INTO ovt_pgconn_uniq VALUES ($1)", {Value::Text("x")});
  try {
    Run("INSERT INTO ovt_pgconn_uniq VALUES ($1)", {Value::Text("x")});
    FAIL() << "duplicate accepted";
  } catch (const SqlError& e) {
    EXPECT_TRUE(e.IsUniqueViolation());
    EXPECT_FALSE(e.IsConnectionLost());
    EXPECT_EQ(e.Code(), "23505");
    EXPECT_NE(std::string(e.what()).find("duplicate key"), std::string::npos) << e.what();
  }
  try {
    Run("SELECT * FROM ovt_no_such_table");
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_FALSE(e.IsUniqueViolation());
    EXPECT_EQ(e.Code(), "42P01");
  }
  EXPECT_TRUE(conn_->Connected());
  Run("DROP TABLE ovt_pgconn_uniq");
}

TEST_F(PgConn, FailedStatementInTransactionThenRollback) {
  Run("DROP TABLE IF EXISTS ovt_pgconn_tx");
  Run("CREATE TABLE ovt_pgconn_tx (k INT PRIMARY KEY)");
  EXPECT_FALSE(conn_->InTransaction());
  conn_->Begin();
  EXPECT_TRUE(conn_->InTransaction());
  Run("INSERT INTO ovt_pgconn_tx VALUES (1)");
  EXPECT_THROW(Run("INSERT INTO ovt_pgconn_tx VALUES (1)"), SqlError);
  EXPECT_TRUE(conn_->InTransaction());
  // The server refuses everything until the transaction ends.
  try {
    Run("INSERT INTO ovt_pgconn_tx VALUES (2)");
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_EQ(e.Code(), "25P02");
  }
  EXPECT_TRUE(conn_->Ping());
  conn_->Rollback();
  EXPECT_FALSE(conn_->InTransaction());
  Run("INSERT INTO ovt_pgconn_tx VALUES (3)");
  auto rs = Run("SELECT k FROM ovt_pgconn_tx ORDER BY k");
  ASSERT_EQ(rs.rows.size(), 1u);
  EXPECT_EQ(Cell(rs, 0).i, 3);

  // COMMIT of an aborted transaction is a failure, not a silent rollback.
  conn_->Begin();
  Run("INSERT INTO ovt_pgconn_tx VALUES (4)");
  EXPECT_THROW(Run("INSERT INTO ovt_pgconn_tx VALUES (3)"), SqlError);
  try {
    conn_->Commit();
    FAIL() << "commit of an aborted transaction reported success";
  } catch (const SqlError& e) {
    EXPECT_EQ(e.Code(), "25P02");
  }
  EXPECT_FALSE(conn_->InTransaction());
  EXPECT_EQ(Run("SELECT count(*) FROM ovt_pgconn_tx").rows[0][0].i, 1);

  conn_->Begin();
  Run("INSERT INTO ovt_pgconn_tx VALUES (5)");
  conn_->Commit();
  EXPECT_EQ(Run("SELECT count(*) FROM ovt_pgconn_tx").rows[0][0].i, 2);
  Run("DROP TABLE ovt_pgconn_tx");
}

TEST_F(PgConn, OneStatementPerCall) {
  Run("DROP TABLE IF EXISTS ovt_pgconn_multi");
  Run("CREATE TABLE ovt_pgconn_multi (k INT)");
  try {
    Run("SELECT 1; DROP TABLE ovt_pgconn_multi");
    FAIL() << "two statements accepted";
  } catch (const SqlError& e) {
    EXPECT_NE(std::string(e.what()).find("one statement"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Run("SELECT count(*) FROM ovt_pgconn_multi").rows.size(), 1u);  // still there
  // A trailing terminator alone is one statement.
  EXPECT_EQ(Cell(Run("SELECT 7;"), 0).i, 7);
  // COPY would leave the connection waiting for data; it is refused and the session goes on.
  EXPECT_THROW(Run("COPY ovt_pgconn_multi FROM STDIN"), SqlError);
  EXPECT_THROW(Run("COPY ovt_pgconn_multi TO STDOUT"), SqlError);
  EXPECT_EQ(Cell(Run("SELECT 8"), 0).i, 8);
  Run("DROP TABLE ovt_pgconn_multi");
}

TEST_F(PgConn, LostConnectionIsDetectedAndReopenRecovers) {
  auto killer = CreatePostgresConnection(opts_);
  killer->Open();
  auto pid = Cell(Run("SELECT pg_backend_pid()"), 0).i;
  // With a time-out the call waits until the backend has gone.
  auto k = killer->Run("SELECT pg_terminate_backend($1::int, 5000)", {Value::Int(pid)});
  EXPECT_TRUE(Cell(k, 0).b);
  try {
    Run("SELECT 1");
    FAIL() << "terminated session still answers";
  } catch (const SqlError& e) {
    EXPECT_TRUE(e.IsConnectionLost()) << e.what() << " code " << e.Code();
  }
  EXPECT_FALSE(conn_->Connected());
  EXPECT_FALSE(conn_->Ping());
  EXPECT_FALSE(conn_->InTransaction());
  try {
    Run("SELECT 1");
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_TRUE(e.IsConnectionLost());
  }
  conn_->Open();
  EXPECT_TRUE(conn_->Connected());
  EXPECT_EQ(Cell(Run("SELECT 2"), 0).i, 2);
  EXPECT_EQ(Cell(Run("SELECT current_setting('TimeZone')"), 0).s, "UTC");
}

TEST_F(PgConn, WrongPasswordIsRefused) {
  ConnectOptions o = opts_;
  o.password = "wrong-" + o.password;
  auto c = CreatePostgresConnection(o);
  try {
    c->Open();
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_NE(std::string(e.what()).find("password authentication failed"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(c->Connected());
}
