// The SQL bridge's table sandbox: statements a node plug-in may run, and every way around
// the prefix rule that must be refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "ov_ws_sqlbridge.h"

using namespace ov;

namespace {

std::string Refusal(const std::string& sql, TWSSqlKind kind = TWSSqlKind::Exec, TDBABackend b = dbSQLite,
                    const std::string& plugin = "Chat-Log") {
  try {
    ValidatePluginSandbox(plugin, sql, kind, b);
  } catch (const ESqlSandbox& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(SqlBridgeSandbox, PrefixAndOwnTablesPass) {
  EXPECT_EQ(NormalizePluginPrefix("My-Game"), "p_my_game_");
  const char* ok[] = {
      "SELECT * FROM p_chat_log_msgs",
      "select a.x, b.y from p_chat_log_a a join P_CHAT_LOG_B b on a.id = b.id where a.datefrom > 1",
      "SELECT * FROM p_chat_log_a, p_chat_log_b AS b LEFT OUTER JOIN p_chat_log_c c USING (id)",
      "SELECT (SELECT count(*) FROM p_chat_log_a) AS n FROM p_chat_log_b WHERE id IN (SELECT id FROM p_chat_log_c)",
      "WITH p_chat_log_cte AS (SELECT 1 AS x) SELECT x FROM p_chat_log_cte",
      "SELECT 'FROM users; -- ?' AS s FROM p_chat_log_t;",
      "SELECT \"FROM\" FROM \"p_chat_log_t\"",
      "SELECT * FROM (SELECT * FROM p_chat_log_t) sub, p_chat_log_u",
  };
  for (const char* s : ok) EXPECT_EQ(Refusal(s, TWSSqlKind::Query), "") << s;
  const char* exec_ok[] = {
      ("CREATE TABLE IF NOT EXISTS p_chat_log_x (id INTEGER PRIMARY KEY, a TEXT DEFAULT 'x', "
       "u INTEGER REFERENCES p_chat_log_y(id) ON DELETE CASCADE ON UPDATE SET NULL)"),
      "CREATE UNIQUE INDEX IF NOT EXISTS idx_p_chat_log_x_a ON p_chat_log_x (a)",
      "DROP INDEX IF EXISTS p_chat_log_idx",
      "INSERT OR REPLACE INTO p_chat_log_t (a, b) SELECT a, b FROM p_chat_log_u",
      "INSERT INTO p_chat_log_t (a) VALUES (1) ON CONFLICT(a) DO UPDATE SET a = excluded.a",
      "UPDATE OR IGNORE p_chat_log_t SET a = (SELECT max(a) FROM p_chat_log_u), b = 2 WHERE id = 1",
      "DELETE FROM p_chat_log_t WHERE id NOT IN (SELECT id FROM p_chat_log_u)",
      "ALTER TABLE p_chat_log_t RENAME TO p_chat_log_t2",
      "ALTER TABLE p_chat_log_t RENAME COLUMN a TO b",
      "DROP TABLE IF EXISTS p_chat_log_t",
      "REPLACE INTO p_chat_log_t VALUES (1, replace('a', 'b', 'c'))",
  };
  for (const char* s : exec_ok) EXPECT_EQ(Refusal(s), "") << s;
}

TEST(SqlBridgeSandbox, RefusesEveryBypass) {
  EXPECT_EQ(Refusal("SELECT * FROM users", TWSSqlKind::Query),
            "Plugin \"Chat-Log\" cannot access table \"users\" \xE2\x80\x94 must use prefix \"p_chat_log_*\"");
  const char* bad[] = {
      "SELECT * FROM p_chat_log_a JOIN users ON 1=1",
      "SELECT * FROM p_chat_log_a, users",
      "SELECT * FROM p_chat_log_a a, users u",
      "SELECT * FROM\tusers",
      "SELECT * FROM\nusers",
      "SELECT * FROM \"users\"",
      "SELECT * FROM `users`",
      "SELECT * FROM [users]",
      "SELECT * FROM main.p_chat_log_a",
      "SELECT * FROM p_chat_log_a /* x */",
      "SELECT * FROM p_chat_log_a -- x",
      "SELECT * FROM (users)",
      "SELECT * FROM (p_chat_log_a), users",
      "SELECT * FROM p_chat_log_a WHERE x IN users",
      "SELECT * FROM pragma_table_info('users')",
      "SELECT * FROM sqlite_master",
      "WITH x AS (SELECT * FROM users) SELECT * FROM p_chat_log_a",
      "WITH users AS (SELECT 1) SELECT * FROM users",
      "SELECT load_extension('x')",
      "SELECT 1; DELETE FROM users",
      "SELECT 1 FROM p_chat_log_a; ATTACH 'x' AS y",
  };
  for (const char* s : bad) EXPECT_NE(Refusal(s, TWSSqlKind::Query), "") << s;
  const char* bad_exec[] = {
      "ATTACH DATABASE '/tmp/x.db' AS x",
      "DETACH x",
      "PRAGMA writable_schema = 1",
      "VACUUM INTO '/tmp/copy.db'",
      "BEGIN",
      "COMMIT",
      "CREATE TRIGGER p_chat_log_t AFTER INSERT ON p_chat_log_a BEGIN DELETE FROM users; END",
      "CREATE TABLE p_chat_log_x AS SELECT * FROM api_keys",
      "CREATE TABLE users2 (a)",
      "CREATE TABLE p_chat_log_x (u INTEGER REFERENCES users(id))",
      "CREATE INDEX idx_users_x ON p_chat_log_a (x)",
      "CREATE INDEX p_chat_log_i ON users (x)",
      "DROP INDEX idx_users_guid",
      // Index statements that end on a word the check skips over.
      "CREATE INDEX IF NOT ",
      "CREATE UNIQUE INDEX CONCURRENTLY IF",
      "DROP INDEX IF EXISTS",
      "CREATE INDEX p_chat_log_i ON ONLY",
      "DROP TABLE p_chat_log_a, users",
      "ALTER TABLE users ADD COLUMN x",
      "ALTER TABLE p_chat_log_a RENAME TO users_copy",
      "INSERT INTO users (username) VALUES ('x')",
      "INSERT INTO p_chat_log_a SELECT * FROM users",
      "UPDATE users SET is_admin = 1",
      "UPDATE p_chat_log_a SET x = 1 FROM users",
      "DELETE FROM users",
      "REPLACE INTO users VALUES (1)",
      "SELECT * FROM p_chat_log_a WHERE a = $x",
      "SELECT * FROM p_chat_log_a WHERE a = ?1",
      "SELECT * FROM p_chat_log_a WHERE a = ?",
  };
  for (const char* s : bad_exec) EXPECT_NE(Refusal(s), "") << s;
}

TEST(SqlBridgeSandbox, QueryAcceptsOnlyReads) {
  EXPECT_EQ(Refusal("INSERT INTO p_chat_log_a VALUES (1)", TWSSqlKind::Query),
            "db_query accepts only SELECT statements");
  EXPECT_NE(Refusal("WITH x AS (DELETE FROM p_chat_log_a RETURNING *) SELECT * FROM x", TWSSqlKind::Query,
                    dbPostgres),
            "");
  EXPECT_NE(Refusal("SELECT * INTO p_chat_log_new FROM p_chat_log_a", TWSSqlKind::Query, dbPostgres), "");
  EXPECT_NE(Refusal("SELECT * FROM p_chat_log_a FOR UPDATE", TWSSqlKind::Query, dbPostgres), "");
}

TEST(SqlBridgeSandbox, ServerDialectsQuotingAndFunctions) {
  // Backslash escapes would split the text differently for the server.
  EXPECT_NE(Refusal("SELECT 'a\\' FROM p_chat_log_a", TWSSqlKind::Query, dbMariaDB), "");
  EXPECT_EQ(Refusal("SELECT 'a\\' FROM p_chat_log_a", TWSSqlKind::Query, dbSQLite), "");
  EXPECT_NE(Refusal("SELECT 1 # comment", TWSSqlKind::Query, dbMariaDB), "");
  EXPECT_EQ(Refusal("SELECT 1 FROM DUAL", TWSSqlKind::Query, dbMariaDB), "");
  EXPECT_NE(Refusal("SELECT * FROM p_chat_log_a INTO OUTFILE '/tmp/x'", TWSSqlKind::Exec, dbMariaDB), "");
  EXPECT_NE(Refusal("SELECT * FROM information_schema.tables", TWSSqlKind::Query, dbMariaDB), "");
  EXPECT_NE(Refusal("SELECT query_to_xml('select * from users', true, true, '')", TWSSqlKind::Query, dbPostgres),
            "");
  EXPECT_NE(Refusal("SELECT set_config('search_path', 'x', false)", TWSSqlKind::Query, dbPostgres), "");
  EXPECT_NE(Refusal("SELECT $$x$$", TWSSqlKind::Query, dbPostgres), "");
  EXPECT_NE(Refusal("DELETE FROM p_chat_log_a USING users", TWSSqlKind::Exec, dbPostgres), "");
  EXPECT_NE(Refusal("DELETE FROM p_chat_log_a USING btree", TWSSqlKind::Exec, dbPostgres), "");
  // An index's access method is no table.
  for (const auto& [sql, backend] : {std::pair{"CREATE INDEX p_chat_log_i ON p_chat_log_t USING gin (a)", dbPostgres},
                                     {"CREATE INDEX p_chat_log_i USING BTREE ON p_chat_log_t (a)", dbMariaDB},
                                     {"CREATE INDEX p_chat_log_i ON p_chat_log_t (a) USING BTREE", dbMariaDB},
                                     {"CREATE TABLE p_chat_log_t (a INT, KEY k (a) USING HASH)", dbMariaDB}})
    EXPECT_EQ(Refusal(sql, TWSSqlKind::Exec, backend), "") << sql;
  EXPECT_NE(Refusal("TRUNCATE p_chat_log_a, users", TWSSqlKind::Exec, dbPostgres), "");
  EXPECT_NE(Refusal("SELECT * FROM p_chat_log_a UNION TABLE users", TWSSqlKind::Query, dbPostgres), "");
  EXPECT_EQ(Refusal("SELECT extract(year FROM created), substring(s FROM 2 FOR 3), a IS DISTINCT FROM b "
                    "FROM p_chat_log_a",
                    TWSSqlKind::Query, dbPostgres),
            "");
  EXPECT_EQ(Refusal("INSERT INTO p_chat_log_a (a) VALUES (1) ON DUPLICATE KEY UPDATE a = 2", TWSSqlKind::Exec,
                    dbMariaDB),
            "");
  EXPECT_NE(Refusal("UPDATE p_chat_log_a a JOIN users u ON u.id = a.id SET a.x = u.password_hash",
                    TWSSqlKind::Exec, dbMariaDB),
            "");
  EXPECT_NE(Refusal("DELETE p_chat_log_a, users FROM p_chat_log_a JOIN users", TWSSqlKind::Exec, dbMariaDB), "");
}

// A table tied to a core table through inheritance, a copied shape or a merge reaches that
// table: on PostgreSQL a child's rows show up in every scan of its parent, so a child of
// api_keys would add working keys.
TEST(SqlBridgeSandbox, TablesTiedToOtherTablesAreChecked) {
  const std::string users_refused =
      "Plugin \"Chat-Log\" cannot access table \"users\" \xE2\x80\x94 must use prefix \"p_chat_log_*\"";
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_k () INHERITS (users)", TWSSqlKind::Exec, dbPostgres), users_refused);
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_k (a int) INHERITS (p_chat_log_base, users)", TWSSqlKind::Exec,
                    dbPostgres),
            users_refused);
  EXPECT_EQ(Refusal("ALTER TABLE p_chat_log_k INHERIT users", TWSSqlKind::Exec, dbPostgres), users_refused);
  EXPECT_EQ(Refusal("ALTER TABLE p_chat_log_k NO INHERIT users", TWSSqlKind::Exec, dbPostgres), users_refused);
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_k PARTITION OF users FOR VALUES IN (1)", TWSSqlKind::Exec,
                    dbPostgres),
            users_refused);
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_k OF users", TWSSqlKind::Exec, dbPostgres), users_refused);
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_k (LIKE users INCLUDING ALL)", TWSSqlKind::Exec, dbPostgres),
            users_refused);
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_k (a int, LIKE users)", TWSSqlKind::Exec, dbPostgres), users_refused);
  EXPECT_EQ(Refusal("CREATE TABLE IF NOT EXISTS p_chat_log_k LIKE users", TWSSqlKind::Exec, dbMariaDB),
            users_refused);
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_m (id INT) ENGINE=MERGE UNION=(p_chat_log_a, users)", TWSSqlKind::Exec,
                    dbMariaDB),
            users_refused);
  EXPECT_EQ(Refusal("ALTER TABLE p_chat_log_m UNION=(users)", TWSSqlKind::Exec, dbMariaDB), users_refused);
  // The same clauses within the prefix, and LIKE as an operator, pass.
  const char* ok[] = {
      "CREATE TABLE p_chat_log_k () INHERITS (p_chat_log_base)",
      "ALTER TABLE p_chat_log_k INHERIT p_chat_log_base",
      "CREATE TABLE p_chat_log_k (LIKE p_chat_log_base INCLUDING ALL)",
      "CREATE TABLE p_chat_log_k (a text CHECK (a LIKE 'x%'))",
      "CREATE TABLE p_chat_log_k PARTITION OF p_chat_log_base FOR VALUES IN (1)",
      "CREATE TABLE p_chat_log_k (a int) PARTITION BY RANGE (a)",
      "CREATE VIEW p_chat_log_v AS SELECT * FROM p_chat_log_a WHERE b LIKE 'x%' UNION SELECT * FROM p_chat_log_b",
  };
  for (const char* s : ok) EXPECT_EQ(Refusal(s, TWSSqlKind::Exec, dbPostgres), "") << s;
  EXPECT_EQ(Refusal("CREATE TABLE p_chat_log_k LIKE p_chat_log_base", TWSSqlKind::Exec, dbMariaDB), "");
  EXPECT_EQ(Refusal("SELECT * FROM p_chat_log_a WHERE b LIKE 'a%' OR b LIKE ?", TWSSqlKind::ExecParams, dbSQLite),
            "");
}

// Sequences live outside transactions: a reset of a core table's sequence would make that
// table's next inserts collide.
TEST(SqlBridgeSandbox, SequenceFunctionsStayInsideThePrefix) {
  EXPECT_EQ(Refusal("SELECT setval('users_id_seq', 1)", TWSSqlKind::Query, dbPostgres),
            "Plugin \"Chat-Log\" cannot access table \"users_id_seq\" \xE2\x80\x94 must use prefix \"p_chat_log_*\"");
  EXPECT_NE(Refusal("SELECT nextval('users_id_seq')", TWSSqlKind::Query, dbPostgres), "");
  EXPECT_NE(Refusal("SELECT currval('public.p_chat_log_s')", TWSSqlKind::Query, dbPostgres), "");
  EXPECT_NE(Refusal("SELECT setval(b, 1) FROM p_chat_log_a", TWSSqlKind::Query, dbPostgres), "");
  EXPECT_NE(Refusal("SELECT NEXTVAL(users_seq)", TWSSqlKind::Query, dbMariaDB), "");
  EXPECT_EQ(Refusal("SELECT nextval('p_chat_log_a_id_seq'::regclass), setval('\"P_Chat_Log_S\"', 5), lastval()",
                    TWSSqlKind::Query, dbPostgres),
            "");
  EXPECT_EQ(Refusal("SELECT NEXTVAL(p_chat_log_seq)", TWSSqlKind::Query, dbMariaDB), "");
}

TEST(SqlBridgeSandbox, PlaceholdersOutsideQuotesOnly) {
  auto r = ValidatePluginSandbox("Chat-Log", "INSERT INTO p_chat_log_t (a, b, c) VALUES (?, '?', ?)",
                                 TWSSqlKind::ExecParams, dbSQLite);
  EXPECT_EQ(r.sql, "INSERT INTO p_chat_log_t (a, b, c) VALUES (:p0, '?', :p1)");
  EXPECT_EQ(r.placeholders, 2);
  EXPECT_EQ(r.verb, "INSERT");
  EXPECT_FALSE(r.ddl);
}

// The authorizer refuses what the statement check might have missed.
TEST(SqlBridgeSandbox, SqliteAuthorizerIsADefenceInDepth) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE users(id, name); CREATE TABLE p_x_t(id INTEGER PRIMARY KEY AUTOINCREMENT, a);"
                             "CREATE VIEW p_x_v AS SELECT * FROM users;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  auto run = [&](const char* sql, TWSSqlKind kind, bool ddl) {
    TWSSqliteGuard g(db, "p_x_", kind, ddl);
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  };
  EXPECT_EQ(run("SELECT * FROM p_x_t", TWSSqlKind::Query, false), SQLITE_OK);
  EXPECT_EQ(run("SELECT * FROM users", TWSSqlKind::Query, false), SQLITE_AUTH);
  EXPECT_EQ(run("SELECT * FROM p_x_v", TWSSqlKind::Query, false), SQLITE_AUTH);  // a view over users
  EXPECT_EQ(run("INSERT INTO p_x_t (a) VALUES (1)", TWSSqlKind::Query, false), SQLITE_AUTH);
  EXPECT_EQ(run("INSERT INTO p_x_t (a) VALUES (1)", TWSSqlKind::ExecParams, false), SQLITE_OK);
  EXPECT_EQ(run("CREATE TABLE p_x_u (a)", TWSSqlKind::Exec, true), SQLITE_OK);
  EXPECT_EQ(run("CREATE INDEX p_x_i ON p_x_u (a)", TWSSqlKind::Exec, true), SQLITE_OK);
  EXPECT_EQ(run("ALTER TABLE p_x_u ADD COLUMN b", TWSSqlKind::Exec, true), SQLITE_OK);
  EXPECT_EQ(run("DROP TABLE p_x_u", TWSSqlKind::Exec, true), SQLITE_OK);
  EXPECT_EQ(run("CREATE TABLE other (a)", TWSSqlKind::Exec, true), SQLITE_AUTH);
  EXPECT_EQ(run("PRAGMA user_version = 5", TWSSqlKind::Exec, false), SQLITE_AUTH);
  EXPECT_EQ(run("ATTACH ':memory:' AS x", TWSSqlKind::Exec, false), SQLITE_AUTH);
  EXPECT_EQ(run("UPDATE users SET name = 'x'", TWSSqlKind::Exec, false), SQLITE_AUTH);
  // Without the guard the connection is unrestricted again.
  EXPECT_EQ(sqlite3_exec(db, "SELECT * FROM users", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}
