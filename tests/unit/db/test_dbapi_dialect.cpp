// Dialect interface, criteria, JSON binding and row conversion, and the SQLite dialect, against
// real SQLite files in temp directories.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "dbapi_dialect.h"
#include "dbapi_sqlite.h"
#include "ov_json_helpers.h"
#include "ov_sqlconn_sqlite.h"
#include "test_util.h"

using namespace ov;

namespace {

class SqliteDialect : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_ / "dialect.db";
    d_ = TDBASQLiteDialect::CreateOwned(file_);
    d_->Connect();
  }
  // A second, independent connection on the same file (sees committed data only).
  std::int64_t CountElsewhere(const std::string& table) {
    sql::ConnectOptions o;
    o.database = file_;
    sql::SqliteConnection c(o);
    c.Open();
    return c.Run("SELECT COUNT(*) FROM \"" + table + "\"", {}).rows.at(0).at(0).i;
  }

  ovtest::TempDir dir_;
  std::string file_;
  std::shared_ptr<TDBASQLiteDialect> d_;
};

// ---------------------------------------------------------------------------------------------
// Enumerations and records

TEST(DbaConsts, OrdinalsAreFixed) {
  EXPECT_EQ(dbPostgres, 2);
  EXPECT_EQ(dctUUID, 12);
  EXPECT_EQ(dcoIsNotNull, 11);
  EXPECT_EQ(dboOr, 1);
  EXPECT_EQ(dodDesc, 1);
  EXPECT_EQ(duYear, 6);
  EXPECT_EQ(doaSetDefault, 4);
  EXPECT_EQ(dllError, 3);
  EXPECT_EQ(dsckDropIndex, 4);
  EXPECT_EQ(sizeof(TDBAColumnType), 4u);
}

TEST(DbaRecords, BuildersFillTheRecords) {
  auto c = MakeColumn("name", dctVarchar, 64, false, "'x'", false, true, false);
  EXPECT_EQ(c.Name, "name");
  EXPECT_EQ(c.ColType, dctVarchar);
  EXPECT_EQ(c.Length, 64);
  EXPECT_FALSE(c.Nullable);
  EXPECT_EQ(c.DefaultExpr, "'x'");
  EXPECT_TRUE(c.Unique);
  EXPECT_FALSE(c.CaseInsensitive);
  EXPECT_TRUE(c.ForeignKey.RefTable.empty());
  EXPECT_EQ(c.ForeignKey.OnDelete, doaNoAction);
  auto i = MakeIndex("ix", {"a", "b"}, true);
  EXPECT_EQ(i.Columns, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(i.Unique);
  EXPECT_EQ(MakeUnique("u", {"a"}).Name, "u");
  EXPECT_EQ(MakeFK("users", "id", doaCascade).OnDelete, doaCascade);
  EXPECT_EQ(MakeOrder("a", dodDesc).Direction, dodDesc);
}

TEST(DbaCriteria, OwnershipAndChildren) {
  auto c = CmpInt("a", dcoEq, 5);
  EXPECT_TRUE(c->OwnsValue());
  EXPECT_EQ(*c->Value(), TJSON(5));
  TJSON external = "x";
  TDBACompareCriterion borrowed("b", dcoEq, &external);
  EXPECT_FALSE(borrowed.OwnsValue());
  EXPECT_EQ(borrowed.Value(), &external);
  EXPECT_EQ(IsNull("c")->Value(), nullptr);
  TDBACompoundCriterion comp(dboOr);
  comp.Add(nullptr);
  EXPECT_EQ(comp.ChildCount(), 0u);
  comp.Add(std::move(c));
  EXPECT_EQ(comp.ChildCount(), 1u);
  EXPECT_NE(dynamic_cast<const TDBACompareCriterion*>(comp.Child(0)), nullptr);
}

// ---------------------------------------------------------------------------------------------
// WhereToSQL

TEST_F(SqliteDialect, WhereToSqlPartExamples) {
  TJSON p = TJSON::array();
  auto eq_and_null = AndOf(CmpStr("name", dcoEq, "bob"), IsNull("deleted_at"));
  EXPECT_EQ(d_->WhereToSQL(eq_and_null.get(), p), "(\"name\" = :p1) AND (\"deleted_at\" IS NULL)");
  EXPECT_EQ(p, TJSON::array({"bob"}));

  p = TJSON::array();
  auto nested = OrOf(AndOf(CmpInt("a", dcoEq, 1), CmpInt("b", dcoGt, 2)), CmpStr("c", dcoLike, "x%"));
  EXPECT_EQ(d_->WhereToSQL(nested.get(), p), "((\"a\" = :p1) AND (\"b\" > :p2)) OR (\"c\" LIKE :p3)");
  EXPECT_EQ(p, TJSON::array({1, 2, "x%"}));

  p = TJSON::array();
  EXPECT_EQ(d_->WhereToSQL(AndOf(std::vector<TDBACriterionPtr>{}).get(), p), "1=1");
  EXPECT_EQ(d_->WhereToSQL(OrOf(std::vector<TDBACriterionPtr>{}).get(), p), "1=1");
  EXPECT_EQ(d_->WhereToSQL(Cmp("id", dcoIn, TJSON::array()).get(), p), "1=0");
  EXPECT_EQ(d_->WhereToSQL(Cmp("id", dcoNotIn, TJSON::array()).get(), p), "1=1");
  EXPECT_EQ(d_->WhereToSQL(Cmp("id", dcoIn, TJSON(3)).get(), p), "1=0");
  EXPECT_EQ(d_->WhereToSQL(Cmp("id", dcoNotIn, TJSON("x")).get(), p), "1=0");
  EXPECT_EQ(d_->WhereToSQL(nullptr, p), "");
  EXPECT_TRUE(p.empty());
}

TEST_F(SqliteDialect, WhereToSqlNumberingContinuesTheCallersArray) {
  TJSON p = TJSON::array({"set1", "set2"});
  EXPECT_EQ(d_->WhereToSQL(CmpInt("id", dcoEq, 7).get(), p), "\"id\" = :p3");
  EXPECT_EQ(p, TJSON::array({"set1", "set2", 7}));
  EXPECT_EQ(d_->WhereToSQL(Cmp("id", dcoIn, TJSON::array({4, 5})).get(), p), "\"id\" IN (:p4, :p5)");
  EXPECT_EQ(p.size(), 5u);
  TJSON null_params;  // JSON null becomes an array
  EXPECT_EQ(d_->WhereToSQL(CmpBool("on", dcoEq, true).get(), null_params), "\"on\" = :p1");
  EXPECT_EQ(null_params, TJSON::array({true}));
}

TEST_F(SqliteDialect, WhereToSqlEveryOperator) {
  struct Case {
    TDBACompareOp op;
    const char* text;
  } cases[] = {{dcoEq, "\"c\" = :p1"},     {dcoNeq, "\"c\" <> :p1"},  {dcoLt, "\"c\" < :p1"},
               {dcoLe, "\"c\" <= :p1"},    {dcoGt, "\"c\" > :p1"},    {dcoGe, "\"c\" >= :p1"},
               {dcoLike, "\"c\" LIKE :p1"}, {dcoILike, "LOWER(\"c\") LIKE LOWER(:p1)"}};
  for (const auto& c : cases) {
    TJSON p = TJSON::array();
    EXPECT_EQ(d_->WhereToSQL(CmpStr("c", c.op, "v").get(), p), c.text);
    EXPECT_EQ(p.size(), 1u);
  }
  TJSON p = TJSON::array();
  EXPECT_EQ(d_->WhereToSQL(Cmp("c", dcoNotIn, TJSON::array({1, "two"})).get(), p), "\"c\" NOT IN (:p1, :p2)");
  EXPECT_EQ(d_->WhereToSQL(IsNotNull("c").get(), p), "\"c\" IS NOT NULL");
  EXPECT_EQ(p.size(), 2u);
  // A comparison without a value is an error.
  TDBACompareCriterion no_value("c", dcoEq);
  EXPECT_THROW(d_->WhereToSQL(&no_value, p), std::invalid_argument);
  // Column names are quoted, never spliced.
  EXPECT_EQ(d_->WhereToSQL(IsNull("a\"; DROP TABLE x; --").get(), p), "\"a\"\"; DROP TABLE x; --\" IS NULL");
}

class OtherCriterion : public TDBACriterion {};

TEST_F(SqliteDialect, WhereToSqlSkipsUnknownCriteria) {
  TJSON p = TJSON::array();
  OtherCriterion other;
  EXPECT_EQ(d_->WhereToSQL(&other, p), "");
  std::vector<TDBACriterionPtr> kids;
  kids.push_back(std::make_unique<OtherCriterion>());
  EXPECT_EQ(d_->WhereToSQL(AndOf(std::move(kids)).get(), p), "1=1");
  std::vector<TDBACriterionPtr> mixed;
  mixed.push_back(std::make_unique<OtherCriterion>());
  mixed.push_back(CmpInt("a", dcoEq, 1));
  EXPECT_EQ(d_->WhereToSQL(OrOf(std::move(mixed)).get(), p), "(\"a\" = :p1)");
}

// ---------------------------------------------------------------------------------------------
// JSON parameters and rows

TEST_F(SqliteDialect, JsonParametersBindByKind) {
  const TJSON params = TJSON::array({nullptr, 1.5, std::int64_t{1} << 40, "text", true, TJSON::array({1, 2}),
                                     TJSON::object({{"a", 1}}), 18446744073709551615ULL, -7});
  const TJSON rows = d_->QuerySQL(
      "SELECT typeof(:p1) AS t1, typeof(:p2) AS t2, typeof(:p3) AS t3, typeof(:p4) AS t4, typeof(:p5) AS t5, "
      ":p3 AS v3, :p5 AS v5, :p6 AS v6, :p7 AS v7, :p8 AS v8, :p9 AS v9",
      params);
  ASSERT_EQ(rows.size(), 1u);
  const TJSON& r = rows[0];
  EXPECT_EQ(r["t1"], "null");
  EXPECT_EQ(r["t2"], "real");
  EXPECT_EQ(r["t3"], "integer");
  EXPECT_EQ(r["t4"], "text");
  EXPECT_EQ(r["t5"], "integer");  // SQLite stores booleans as 1/0
  EXPECT_EQ(r["v3"], std::int64_t{1} << 40);
  EXPECT_EQ(r["v5"], 1);
  EXPECT_EQ(r["v6"], "[1, 2]");              // spaced JSON text
  EXPECT_EQ(r["v7"], "{ \"a\" : 1 }");
  EXPECT_EQ(r["v8"], "18446744073709551615");  // beyond int64: its decimal text
  EXPECT_EQ(r["v9"], -7);
}

TEST_F(SqliteDialect, ExtraParametersAreIgnoredAndMissingOnesAreNull) {
  TJSON rows = d_->QuerySQL("SELECT :p1 AS a", TJSON::array({1, 2, 3}));
  EXPECT_EQ(rows, TJSON::parse(R"([{"a":1}])"));
  rows = d_->QuerySQL("SELECT :p1 AS a, :p3 AS c", TJSON::array({1}));
  EXPECT_EQ(rows[0]["c"], nullptr);
  rows = d_->QuerySQL("SELECT :p1 AS a", {});  // nil parameters
  EXPECT_TRUE(rows[0]["a"].is_null());
  // Names that merely look like parameter names are not bound.
  rows = d_->QuerySQL("SELECT :p01 AS a, :px AS b, :P2 AS c", TJSON::array({1, 2}));
  EXPECT_TRUE(rows[0]["a"].is_null());
  EXPECT_TRUE(rows[0]["b"].is_null());
  EXPECT_EQ(rows[0]["c"], 2);
}

// The rules a caller that numbers its own placeholders from 0 uses (the hub's SQL bridge).
TEST_F(SqliteDialect, BindRulesNumberFromZeroAndRefuseSurplus) {
  TDBABindRules rules;
  rules.FirstNumber = 0;
  rules.MaxItems = 3;
  rules.HugeUnsignedAsDouble = true;
  auto run = [&](const std::string& text, const TJSON& params) {
    sql::Query q(*d_->Connection());
    q.SetSQL(text);
    BindJSONParams(q, params, rules);
    q.Open();
    return DBARowToJSON(q);
  };
  TJSON r = run("SELECT :p0 AS a, typeof(:p1) AS t, :p1 AS b, :p2 AS c, :p3 AS d, :p00 AS e, :p01 AS f",
                TJSON::array({7, 18446744073709551615ULL}));
  EXPECT_EQ(r["a"], 7);
  EXPECT_EQ(r["t"], "real");  // beyond int64: a double under these rules
  EXPECT_DOUBLE_EQ(r["b"].get<double>(), 18446744073709551615.0);
  EXPECT_TRUE(r["c"].is_null());  // a placeholder without an item stays NULL
  EXPECT_TRUE(r["d"].is_null());
  EXPECT_TRUE(r["e"].is_null());
  EXPECT_TRUE(r["f"].is_null());
  // More items than placeholders is an error before anything is bound; as many is fine.
  EXPECT_EQ(run("SELECT :p2 AS c", TJSON::array({1, 2, 3}))["c"], 3);
  try {
    run("SELECT :p0 AS a", TJSON::array({1, 2, 3, 4}));
    ADD_FAILURE() << "surplus items were bound";
  } catch (const sql::SqlError& e) {
    EXPECT_STREQ(e.what(), "Too many parameters: 4 given for 3 placeholders");
  }
  // The default rules never see :p0 and skip surplus items.
  sql::Query q(*d_->Connection());
  q.SetSQL("SELECT :p0 AS z, :p1 AS o");
  BindJSONParams(q, TJSON::array({1, 2, 3, 4}));
  q.Open();
  EXPECT_EQ(DBARowToJSON(q), TJSON::parse(R"({"z":null,"o":1})"));
}

TEST_F(SqliteDialect, RowsBecomeJsonByFieldKind) {
  d_->ExecSQL("CREATE TABLE r (id INTEGER PRIMARY KEY, flag BOOLEAN, big BIGINT, ratio REAL, name TEXT, "
              "at DATETIME, data BLOB, missing TEXT)",
              {});
  const std::int64_t big_id = (std::int64_t{1} << 33) + 1;
  d_->ExecSQL("INSERT INTO r VALUES (:p1, :p2, :p3, :p4, :p5, :p6, :p7, :p8)",
              TJSON::array({big_id, true, -(std::int64_t{1} << 62), 0.25, "Zoë", "2024-05-06 07:08:09", "raw", nullptr}));
  const TJSON rows = d_->QuerySQL("SELECT * FROM r", {});
  ASSERT_EQ(rows.size(), 1u);
  const TJSON& r = rows[0];
  EXPECT_TRUE(r["id"].is_number_integer());
  EXPECT_EQ(r["id"].get<std::int64_t>(), big_id);  // 64-bit, not cut to 32
  EXPECT_TRUE(r["flag"].is_boolean());
  EXPECT_EQ(r["flag"], true);
  EXPECT_EQ(r["big"].get<std::int64_t>(), -(std::int64_t{1} << 62));
  EXPECT_TRUE(r["ratio"].is_number_float());
  EXPECT_DOUBLE_EQ(r["ratio"].get<double>(), 0.25);
  EXPECT_EQ(r["name"], "Zoë");
  EXPECT_EQ(r["at"], "2024-05-06 07:08:09");
  EXPECT_EQ(r["data"], "raw");
  ASSERT_TRUE(r.contains("missing"));  // NULL is a member holding null, never absent
  EXPECT_TRUE(r["missing"].is_null());
  // Member order is field order.
  std::vector<std::string> keys;
  for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "flag", "big", "ratio", "name", "at", "data", "missing"}));
}

TEST_F(SqliteDialect, InvalidUtf8RowTextNeverMakesJsonWritingThrow) {
  const std::string bad = std::string("ok\xff\xfe") + "\xc3";
  const TJSON rows = d_->QuerySQL("SELECT CAST(:p1 AS TEXT) AS t, CAST(:p1 AS BLOB) AS b", TJSON::array({bad}));
  ASSERT_EQ(rows[0]["t"].get<std::string>(), bad);  // bytes kept as they are
  std::string spaced, compact;
  EXPECT_NO_THROW(spaced = JsonSpaced(rows));
  EXPECT_NO_THROW(compact = JsonCompact(rows));
  EXPECT_NE(spaced.find("ok"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// ExecSQL / QuerySQL: hooks, commits and failures

TEST_F(SqliteDialect, OwningExecSqlCommitsRetaining) {
  EXPECT_EQ(d_->ExecSQL("CREATE TABLE t (a INTEGER)", {}), 0);
  EXPECT_EQ(d_->ExecSQL("INSERT INTO t VALUES (:p1)", TJSON::array({1})), 1);
  EXPECT_TRUE(d_->Transaction()->Active());  // the transaction stays open for the next one
  EXPECT_EQ(CountElsewhere("t"), 1);         // ... and what ran is committed
  EXPECT_EQ(d_->ExecSQL("UPDATE t SET a = a + 1", {}), 1);
}

TEST_F(SqliteDialect, FailingStatementLeavesTheConnectionUsable) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER UNIQUE)", {});
  d_->ExecSQL("INSERT INTO t VALUES (1)", {});
  try {
    d_->ExecSQL("INSERT INTO t VALUES (1)", {});
    FAIL();
  } catch (const sql::SqlError& e) {
    EXPECT_TRUE(e.IsUniqueViolation());
    EXPECT_NE(std::string(e.what()).find("UNIQUE constraint failed: t.a"), std::string::npos);  // driver's text
  }
  EXPECT_FALSE(d_->Connection()->InTransaction());  // rolled back outside a batch
  EXPECT_THROW(d_->QuerySQL("SELECT nope FROM t", {}), sql::SqlError);
  d_->ExecSQL("INSERT INTO t VALUES (2)", {});
  EXPECT_EQ(CountElsewhere("t"), 2);
}

TEST_F(SqliteDialect, ExplicitBatchDefersCommitAndRollback) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER UNIQUE)", {});
  d_->SetExplicitBatch(true);
  EXPECT_TRUE(d_->InExplicitBatch());
  d_->ExecSQL("INSERT INTO t VALUES (1)", {});
  EXPECT_EQ(CountElsewhere("t"), 0);  // not committed inside the batch
  EXPECT_THROW(d_->ExecSQL("INSERT INTO t VALUES (1)", {}), sql::SqlError);
  EXPECT_TRUE(d_->Transaction()->Active());  // the batch's owner decides
  d_->ExecSQL("INSERT INTO t VALUES (2)", {});
  d_->Transaction()->Commit();
  d_->SetExplicitBatch(false);
  EXPECT_EQ(CountElsewhere("t"), 2);
}

TEST_F(SqliteDialect, RepeatedStatementsNeverSeeOldParameters) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER, b TEXT)", {});
  const std::string ins = "INSERT INTO t (a, b) VALUES (:p1, :p2)";
  d_->ExecSQL(ins, TJSON::array({1, std::string(10000, 'x')}));
  d_->ExecSQL(ins, TJSON::array({2}));    // :p2 has no item now: NULL, not the old text
  d_->ExecSQL(ins, {});                   // no parameters at all
  d_->ExecSQL(ins, TJSON::array({4, "d"}));
  EXPECT_EQ(d_->QuerySQL("SELECT a, b FROM t ORDER BY rowid", {}),
            TJSON::parse(R"([{"a":1,"b":")" + std::string(10000, 'x') +
                         R"("},{"a":2,"b":null},{"a":null,"b":null},{"a":4,"b":"d"}])"));
  // A statement run from a hook handler, on the same dialect, in the middle of others.
  int inner = 0;
  d_->Hooks().AddOnAfterQuery([&](std::string_view sql, const TJSON&, std::int64_t, std::int64_t) {
    if (sql == ins && inner++ == 0) d_->ExecSQL("UPDATE t SET b = :p1 WHERE a = 4", TJSON::array({"hooked"}));
  });
  d_->ExecSQL(ins, TJSON::array({5, "e"}));
  EXPECT_EQ(d_->QuerySQL("SELECT b FROM t WHERE a = 4", {})[0]["b"], "hooked");
  EXPECT_EQ(d_->QuerySQL("SELECT b FROM t WHERE a = 5", {})[0]["b"], "e");
}

TEST_F(SqliteDialect, BeforeQueryCancelRunsNothing) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER)", {});
  int second = 0;
  d_->Hooks().AddOnBeforeQuery([](std::string_view, const TJSON&, bool& cancel) { cancel = true; });
  d_->Hooks().AddOnBeforeQuery([&](std::string_view, const TJSON&, bool&) { ++second; });
  EXPECT_EQ(d_->ExecSQL("INSERT INTO t VALUES (1)", {}), 0);
  EXPECT_EQ(d_->QuerySQL("SELECT * FROM t", {}), TJSON::array());
  EXPECT_EQ(d_->ExecSQL("this is not even SQL", {}), 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(CountElsewhere("t"), 0);
}

TEST_F(SqliteDialect, ErrorHooksCanHandleFailures) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER)", {});
  std::vector<std::string> errors;
  std::vector<std::int64_t> after_rows;
  bool handle = true;
  d_->Hooks().AddOnError([&](std::string_view sql, const std::string& err, bool& handled) {
    errors.push_back(std::string(sql) + " | " + err);
    handled = handle;
  });
  d_->Hooks().AddOnAfterQuery([&](std::string_view, const TJSON&, std::int64_t ms, std::int64_t rows) {
    EXPECT_GE(ms, 0);
    after_rows.push_back(rows);
  });
  EXPECT_EQ(d_->ExecSQL("INSERT INTO nope VALUES (1)", {}), -1);
  EXPECT_EQ(d_->QuerySQL("SELECT * FROM nope", {}), TJSON::array());
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "INSERT INTO nope VALUES (1) | no such table: nope");
  d_->ExecSQL("INSERT INTO t VALUES (1)", {});
  d_->QuerySQL("SELECT * FROM t", {});
  EXPECT_EQ(after_rows, (std::vector<std::int64_t>{-1, -1, 1, -1}));
  handle = false;
  EXPECT_THROW(d_->ExecSQL("INSERT INTO nope VALUES (1)", {}), sql::SqlError);
  EXPECT_THROW(d_->QuerySQL("SELECT * FROM nope", {}), sql::SqlError);
  EXPECT_EQ(after_rows.size(), 4u);  // no after-query call for an unhandled failure
}

TEST_F(SqliteDialect, TrailingStatementIsRefused) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER)", {});
  try {
    d_->ExecSQL("INSERT INTO t VALUES (1); DROP TABLE t", {});
    FAIL();
  } catch (const sql::SqlError& e) {
    EXPECT_NE(std::string(e.what()).find("one statement per call"), std::string::npos);
  }
  EXPECT_TRUE(d_->TableExists("t"));
  EXPECT_EQ(CountElsewhere("t"), 0);
}

// ---------------------------------------------------------------------------------------------
// Connect, disconnect, borrowed connections

TEST_F(SqliteDialect, ConnectSetsFlavourAndFiresHooks) {
  auto d = TDBASQLiteDialect::CreateOwned(dir_ / "other.db");
  std::vector<std::string> events;
  d->Hooks().AddOnConnect([&](const std::string& info) { events.push_back("connect " + info); });
  d->Hooks().AddOnDisconnect([&](const std::string& why) { events.push_back("disconnect " + why); });
  EXPECT_FALSE(d->IsConnected());
  EXPECT_TRUE(d->Owned());
  EXPECT_EQ(d->Backend(), dbSQLite);
  EXPECT_EQ(d->DbFile(), dir_ / "other.db");
  d->Connect();
  d->Connect();  // already connected: nothing
  EXPECT_TRUE(d->IsConnected());
  EXPECT_EQ(d->ServerFlavor(), std::string("SQLite ") + sqlite3_libversion());
  EXPECT_FALSE(d->Connection()->InTransaction());  // connecting leaves no transaction open
  d->Disconnect();
  d->Disconnect();
  EXPECT_FALSE(d->IsConnected());
  EXPECT_FALSE(d->Connection()->Connected());
  EXPECT_EQ(events, (std::vector<std::string>{"connect " + d->ServerFlavor(), "disconnect requested"}));
}

TEST_F(SqliteDialect, PragmaFailureIsAWarning) {
  // A file in rollback-journal mode held under an exclusive lock by someone else: switching to
  // WAL cannot take effect.
  const std::string file = dir_ / "locked.db";
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE t (a); BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  auto d = TDBASQLiteDialect::CreateOwned(file, 50);
  std::vector<std::string> warnings;
  d->Hooks().AddOnLog([&](TDBALogLevel lvl, const std::string& msg) {
    if (lvl == dllWarning) warnings.push_back(msg);
  });
  EXPECT_NO_THROW(d->Connect());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("dbapi_sqlite: PRAGMA setup failed", 0), 0u) << warnings[0];
  EXPECT_NE(warnings[0].find("journal_mode"), std::string::npos);
  sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
}

TEST_F(SqliteDialect, ConnectWithoutConnection) {
  TDBASQLiteDialect d;
  try {
    d.Connect();
    FAIL();
  } catch (const sql::SqlError& e) {
    EXPECT_STREQ(e.what(), "dbapi_sqlite: no connection attached");
  }
  try {
    TDBASQLiteDialect::CreateFromConnection(nullptr);
    FAIL();
  } catch (const sql::SqlError& e) {
    EXPECT_STREQ(e.what(), "dbapi_sqlite: CreateFromConnection: AConn is nil");
  }
}

TEST_F(SqliteDialect, BorrowedConnectionIsNeverCommittedOrClosed) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER)", {});
  sql::ConnectOptions o;
  o.database = file_;
  sql::SqliteConnection conn(o);
  conn.Open();
  sql::Transaction tx(conn);
  {
    auto b = TDBASQLiteDialect::CreateFromConnection(&conn, &tx);
    EXPECT_FALSE(b->Owned());
    EXPECT_EQ(b->DbFile(), file_);
    b->Connect();
    b->ExecSQL("INSERT INTO t VALUES (1)", {});
    EXPECT_TRUE(tx.Active());
    EXPECT_EQ(CountElsewhere("t"), 0);
    EXPECT_EQ(b->QuerySQL("SELECT COUNT(*) AS n FROM t", {})[0]["n"], 1);
  }  // dropping the borrowed dialect leaves the connection open
  EXPECT_TRUE(conn.Connected());
  tx.Commit();
  EXPECT_EQ(CountElsewhere("t"), 1);
}

// ---------------------------------------------------------------------------------------------
// SQLite words

TEST_F(SqliteDialect, SqlWords) {
  EXPECT_EQ(d_->QuoteIdent("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(d_->QuoteIdent("key"), "\"key\"");
  EXPECT_EQ(d_->NowExpr(), "datetime('now')");
  EXPECT_EQ(d_->DateAddExpr(-2, duMinute), "datetime('now', '-2 minutes')");
  EXPECT_EQ(d_->DateAddExpr(1, duWeek), "datetime('now', '+7 days')");
  EXPECT_EQ(d_->DateAddExpr(0, duHour), "datetime('now', '+0 hours')");
  EXPECT_EQ(d_->DateAddExpr(-30, duDay), "datetime('now', '-30 days')");
  EXPECT_EQ(d_->DateAddExpr(5, duSecond), "datetime('now', '+5 seconds')");
  EXPECT_EQ(d_->DateAddExpr(3, duMonth), "datetime('now', '+3 months')");
  EXPECT_EQ(d_->DateAddExpr(-1, duYear), "datetime('now', '-1 years')");
  EXPECT_EQ(d_->DateAddExpr(4, static_cast<TDBADateUnit>(99)), "datetime('now', '+4 days')");
  EXPECT_EQ(d_->DateAddExpr(-2147483647 - 1, duSecond), "datetime('now', '-2147483648 seconds')");
  EXPECT_EQ(d_->AutoIncPrimaryKey(dctBigInt), "INTEGER PRIMARY KEY AUTOINCREMENT");
  EXPECT_EQ(d_->BooleanLiteral(true), "1");
  EXPECT_EQ(d_->BooleanLiteral(false), "0");
  EXPECT_EQ(d_->CollationClause(true), " COLLATE NOCASE");
  EXPECT_EQ(d_->CollationClause(false), "");
  EXPECT_EQ(d_->InsertReturningIdClause(), "");
  EXPECT_EQ(d_->OnDeleteAction(doaCascade), "CASCADE");
  EXPECT_EQ(d_->OnDeleteAction(doaSetNull), "SET NULL");
  EXPECT_EQ(d_->OnDeleteAction(doaRestrict), "RESTRICT");
  EXPECT_EQ(d_->OnDeleteAction(doaSetDefault), "SET DEFAULT");
  EXPECT_EQ(d_->OnDeleteAction(doaNoAction), "");
  EXPECT_EQ(d_->InsertOrIgnoreStmt("t", {"a", "b"}), "INSERT OR IGNORE INTO \"t\" (\"a\", \"b\") VALUES (:p1, :p2)");
  EXPECT_EQ(d_->TDBADialectBase::InsertOrIgnoreStmt("t", {"a", "b"}),
            "INSERT INTO \"t\" (\"a\", \"b\") VALUES (:p1, :p2) ON CONFLICT DO NOTHING");
}

TEST_F(SqliteDialect, SqlTypes) {
  const std::pair<TDBAColumnType, const char*> types[] = {
      {dctText, "TEXT"},  {dctInteger, "INTEGER"}, {dctBigInt, "BIGINT"}, {dctFloat, "REAL"},
      {dctDouble, "REAL"}, {dctBoolean, "INTEGER"}, {dctBlob, "BLOB"},    {dctDateTime, "DATETIME"},
      {dctDate, "DATE"},  {dctTime, "TIME"},       {dctJSON, "TEXT"},     {dctUUID, "CHAR(36)"},
      {static_cast<TDBAColumnType>(77), "TEXT"}};
  for (const auto& [t, text] : types) EXPECT_EQ(d_->SqlType(t, 0), text) << t;
  EXPECT_EQ(d_->SqlType(dctVarchar, 0), "TEXT");
  EXPECT_EQ(d_->SqlType(dctVarchar, 64), "VARCHAR(64)");
}

TEST_F(SqliteDialect, UpsertStatements) {
  EXPECT_EQ(d_->UpsertStmt("t", {"id", "name", "Score"}, {}),
            "INSERT OR REPLACE INTO \"t\" (\"id\", \"name\", \"Score\") VALUES (:p1, :p2, :p3)");
  EXPECT_EQ(d_->UpsertStmt("t", {"id", "name", "Score"}, {"ID"}),
            "INSERT INTO \"t\" (\"id\", \"name\", \"Score\") VALUES (:p1, :p2, :p3) ON CONFLICT (\"ID\") "
            "DO UPDATE SET \"name\" = excluded.\"name\", \"Score\" = excluded.\"Score\"");
  EXPECT_EQ(d_->UpsertStmt("t", {"a", "b"}, {"a", "b"}),
            "INSERT INTO \"t\" (\"a\", \"b\") VALUES (:p1, :p2) ON CONFLICT (\"a\", \"b\") DO NOTHING");
}

TEST_F(SqliteDialect, UpsertKeepsTheRowAndItsChildren) {
  d_->ExecSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY AUTOINCREMENT, code TEXT UNIQUE, name TEXT, "
              "note TEXT DEFAULT 'none')",
              {});
  d_->ExecSQL("CREATE TABLE child (id INTEGER PRIMARY KEY, pid INTEGER REFERENCES parent(id) ON DELETE CASCADE)", {});
  d_->ExecSQL("INSERT INTO parent (code, name, note) VALUES ('a', 'first', 'kept')", {});
  d_->ExecSQL("INSERT INTO child (pid) VALUES (1)", {});
  d_->ExecSQL(d_->UpsertStmt("parent", {"code", "name"}, {"code"}), TJSON::array({"a", "second"}));
  EXPECT_EQ(d_->GetLastInsertID(), 0);  // updated, nothing inserted
  TJSON rows = d_->QuerySQL("SELECT id, name, note FROM parent", {});
  EXPECT_EQ(rows, TJSON::parse(R"([{"id":1,"name":"second","note":"kept"}])"));
  EXPECT_EQ(d_->QuerySQL("SELECT COUNT(*) AS n FROM child", {})[0]["n"], 1);
  d_->ExecSQL(d_->UpsertStmt("parent", {"code", "name"}, {"code"}), TJSON::array({"b", "new"}));
  // (AUTOINCREMENT spends a number on the upsert that updated, so "b" is not 2.)
  EXPECT_EQ(d_->GetLastInsertID(), d_->QuerySQL("SELECT id FROM parent WHERE code = 'b'", {})[0]["id"]);
  EXPECT_GT(d_->GetLastInsertID(), 1);
  // Without key columns the old REPLACE semantics remain (new row, defaults, cascade).
  d_->ExecSQL(d_->UpsertStmt("parent", {"code", "name"}, {}), TJSON::array({"a", "third"}));
  rows = d_->QuerySQL("SELECT id, note FROM parent WHERE code = 'a'", {});
  EXPECT_EQ(rows[0]["note"], "none");
  EXPECT_NE(rows[0]["id"], 1);
  EXPECT_EQ(d_->GetLastInsertID(), rows[0]["id"]);
  EXPECT_EQ(d_->QuerySQL("SELECT COUNT(*) AS n FROM child", {})[0]["n"], 0);
}

TEST_F(SqliteDialect, LastInsertIdIsCapturedWhenTheInsertRuns) {
  d_->ExecSQL("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE)", {});
  d_->ExecSQL("CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, msg TEXT)", {});
  d_->ExecSQL("INSERT INTO log (msg) VALUES ('x'), ('y'), ('z')", {});
  EXPECT_EQ(d_->GetLastInsertID(), 3);
  d_->ExecSQL("INSERT INTO t (id, name) VALUES (4000000000, 'big')", {});
  EXPECT_EQ(d_->GetLastInsertID(), 4000000000);
  d_->QuerySQL("SELECT * FROM log", {});
  d_->ExecSQL("UPDATE log SET msg = 'w'", {});
  EXPECT_EQ(d_->GetLastInsertID(), 4000000000);  // SELECT and UPDATE leave it alone
  d_->ExecSQL(d_->InsertOrIgnoreStmt("t", {"name"}), TJSON::array({"big"}));
  EXPECT_EQ(d_->GetLastInsertID(), 0);  // ignored: never an older row's id
  // An insert through a plain query on the same connection is seen too.
  sql::Query q(*d_->Connection(), d_->Transaction());
  q.SetSQL("INSERT INTO t (name) VALUES ('next')");
  q.ExecSQL();
  EXPECT_EQ(d_->GetLastInsertID(), d_->QuerySQL("SELECT id FROM t WHERE name = 'next'", {})[0]["id"]);
  EXPECT_GT(d_->GetLastInsertID(), 4000000000);
}

TEST_F(SqliteDialect, TableExistsAndColumns) {
  EXPECT_FALSE(d_->TableExists("Users"));
  d_->ExecSQL("CREATE TABLE Users (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(64) NOT NULL, "
              "score REAL DEFAULT 0, created DATETIME DEFAULT (datetime('now')))",
              {});
  EXPECT_TRUE(d_->TableExists("Users"));
  EXPECT_TRUE(d_->TableExists("users"));  // SQLite names are case-insensitive
  EXPECT_FALSE(d_->TableExists("user"));
  const TJSON cols = d_->GetColumns("users");
  EXPECT_EQ(cols, TJSON::parse(R"J([
    {"name":"id","type":"INTEGER","nullable":true,"default":null,"is_pk":true},
    {"name":"name","type":"VARCHAR(64)","nullable":false,"default":null,"is_pk":false},
    {"name":"score","type":"REAL","nullable":true,"default":"0","is_pk":false},
    {"name":"created","type":"DATETIME","nullable":true,"default":"datetime('now')","is_pk":false}])J"));
  EXPECT_EQ(d_->GetColumns("missing"), TJSON::array());
  EXPECT_EQ(d_->GetColumns("a\"b"), TJSON::array());
}

TEST_F(SqliteDialect, LimitOffsetForms) {
  EXPECT_EQ(d_->LimitOffsetClause(10, 0), " LIMIT 10");
  EXPECT_EQ(d_->LimitOffsetClause(10, 20), " LIMIT 10 OFFSET 20");
  EXPECT_EQ(d_->LimitOffsetClause(0, 20), " LIMIT -1 OFFSET 20");
  EXPECT_EQ(d_->LimitOffsetClause(0, 0), "");
  EXPECT_EQ(d_->TDBADialectBase::LimitOffsetClause(0, 20), " OFFSET 20");  // standard form (PostgreSQL)
}

TEST_F(SqliteDialect, WalLetsReadersReadWhileTheWriterWrites) {
  d_->ExecSQL("CREATE TABLE t (a INTEGER)", {});
  d_->ExecSQL("INSERT INTO t VALUES (1)", {});
  auto reader = TDBASQLiteDialect::CreateOwned(file_);
  reader->Connect();
  d_->SetExplicitBatch(true);
  d_->ExecSQL("INSERT INTO t VALUES (2)", {});  // the writer holds an open write transaction
  EXPECT_EQ(reader->QuerySQL("SELECT COUNT(*) AS n FROM t", {})[0]["n"], 1);
  reader->Transaction()->Rollback();
  d_->Transaction()->Commit();
  d_->SetExplicitBatch(false);
  EXPECT_EQ(reader->QuerySQL("SELECT COUNT(*) AS n FROM t", {})[0]["n"], 2);
  EXPECT_EQ(reader->QuerySQL("PRAGMA journal_mode", {})[0]["journal_mode"], "wal");
  EXPECT_EQ(reader->QuerySQL("PRAGMA foreign_keys", {})[0]["foreign_keys"], 1);
}

}  // namespace
