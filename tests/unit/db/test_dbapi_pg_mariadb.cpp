// The MariaDB and PostgreSQL dialects: their SQL text (no server needed) and round trips
// through the dialect and the declarative storage against the test servers started by
// scripts/test-db-servers (skipped when the OV_TEST_* variables are absent).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db_test_env.h"
#include "dbapi_mariadb.h"
#include "dbapi_postgres.h"
#include "dbapi_storage.h"
#include "ov_sqlconn.h"

using namespace ov;

namespace {

const char kPgWarning[] =
    "dbapi_postgres: case-insensitive collation not configured \xE2\x80\x94 use CITEXT extension or LOWER() in queries";

// Dialects whose connection is never opened: only their SQL words are asked for.
std::shared_ptr<TDBAPostgresDialect> OfflinePg() { return TDBAPostgresDialect::CreateOwned("127.0.0.1", 1, "x", "u", "p", false); }
std::shared_ptr<TDBAMariaDBDialect> OfflineMy() { return TDBAMariaDBDialect::CreateOwned("127.0.0.1", 1, "x", "u", "p", false); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// SQL text

TEST(DbaServerDialects, QuotingAndExpressions) {
  auto pg = OfflinePg();
  auto my = OfflineMy();
  EXPECT_EQ(my->QuoteIdent("key"), "`key`");
  EXPECT_EQ(my->QuoteIdent("a`b"), "`a``b`");
  EXPECT_EQ(my->QuoteIdent("UserName"), "`UserName`");
  EXPECT_EQ(pg->QuoteIdent("UserName"), "\"username\"");
  EXPECT_EQ(pg->QuoteIdent("a\"B"), "\"a\"\"b\"");

  EXPECT_EQ(my->NowExpr(), "NOW()");
  EXPECT_EQ(pg->NowExpr(), "NOW()");
  EXPECT_EQ(my->DateAddExpr(-2, duMinute), "DATE_ADD(NOW(), INTERVAL -2 MINUTE)");
  EXPECT_EQ(pg->DateAddExpr(-2, duMinute), "NOW() + INTERVAL '-2 minutes'");
  const std::vector<std::pair<TDBADateUnit, std::pair<const char*, const char*>>> units = {
      {duSecond, {"SECOND", "seconds"}}, {duHour, {"HOUR", "hours"}},   {duDay, {"DAY", "days"}},
      {duWeek, {"WEEK", "weeks"}},       {duMonth, {"MONTH", "months"}}, {duYear, {"YEAR", "years"}},
      {static_cast<TDBADateUnit>(99), {"DAY", "days"}}};
  for (const auto& [unit, words] : units) {
    EXPECT_EQ(my->DateAddExpr(3, unit), std::string("DATE_ADD(NOW(), INTERVAL 3 ") + words.first + ")");
    EXPECT_EQ(pg->DateAddExpr(3, unit), std::string("NOW() + INTERVAL '3 ") + words.second + "'");
  }
  EXPECT_EQ(pg->DateAddExpr(0, duDay), "NOW() + INTERVAL '0 days'");

  EXPECT_EQ(my->AutoIncPrimaryKey(dctInteger), "INT PRIMARY KEY AUTO_INCREMENT");
  EXPECT_EQ(my->AutoIncPrimaryKey(dctBigInt), "BIGINT PRIMARY KEY AUTO_INCREMENT");
  EXPECT_EQ(pg->AutoIncPrimaryKey(dctInteger), "SERIAL PRIMARY KEY");
  EXPECT_EQ(pg->AutoIncPrimaryKey(dctBigInt), "BIGSERIAL PRIMARY KEY");
  EXPECT_EQ(my->BooleanLiteral(true) + my->BooleanLiteral(false), "10");
  EXPECT_EQ(pg->BooleanLiteral(true) + pg->BooleanLiteral(false), "TRUEFALSE");
  EXPECT_EQ(my->InsertReturningIdClause(), "");
  EXPECT_EQ(pg->InsertReturningIdClause(), " RETURNING id");

  EXPECT_EQ(my->InsertOrIgnoreStmt("t", {"a", "key"}), "INSERT IGNORE INTO `t` (`a`, `key`) VALUES (:p1, :p2)");
  EXPECT_EQ(pg->InsertOrIgnoreStmt("T", {"a", "Key"}),
            "INSERT INTO \"t\" (\"a\", \"key\") VALUES (:p1, :p2) ON CONFLICT DO NOTHING");

  EXPECT_EQ(my->LimitOffsetClause(0, 5), " LIMIT 18446744073709551615 OFFSET 5");
  EXPECT_EQ(my->LimitOffsetClause(10, 5), " LIMIT 10 OFFSET 5");
  EXPECT_EQ(my->LimitOffsetClause(10, 0), " LIMIT 10");
  EXPECT_EQ(pg->LimitOffsetClause(0, 5), " OFFSET 5");
  EXPECT_EQ(pg->LimitOffsetClause(0, 0), "");

  EXPECT_EQ(my->Backend(), dbMariaDB);
  EXPECT_EQ(pg->Backend(), dbPostgres);
}

TEST(DbaServerDialects, CollationAndItsWarning) {
  auto pg = OfflinePg();
  auto my = OfflineMy();
  std::vector<std::string> warnings;
  pg->Hooks().AddOnLog([&](TDBALogLevel level, const std::string& msg) {
    EXPECT_EQ(level, dllWarning);
    warnings.push_back(msg);
  });
  EXPECT_EQ(my->CollationClause(true), " COLLATE utf8mb4_general_ci");
  EXPECT_EQ(my->CollationClause(false), "");
  EXPECT_EQ(pg->CollationClause(false), "");
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(pg->CollationClause(true), "");
  EXPECT_EQ(pg->CollationClause(true), "");
  EXPECT_EQ(warnings, (std::vector<std::string>{kPgWarning, kPgWarning}));
}

TEST(DbaServerDialects, ColumnTypes) {
  auto pg = OfflinePg();
  auto my = OfflineMy();
  struct Row {
    TDBAColumnType type;
    int length;
    const char* my;
    const char* pg;
  };
  const Row rows[] = {
      {dctText, 0, "TEXT", "TEXT"},
      {dctVarchar, 64, "VARCHAR(64)", "VARCHAR(64)"},
      {dctVarchar, 0, "VARCHAR(255)", "TEXT"},
      {dctVarchar, -3, "VARCHAR(255)", "TEXT"},
      {dctInteger, 0, "INT", "INTEGER"},
      {dctBigInt, 0, "BIGINT", "BIGINT"},
      {dctFloat, 0, "FLOAT", "REAL"},
      {dctDouble, 0, "DOUBLE", "DOUBLE PRECISION"},
      {dctBoolean, 0, "TINYINT(1)", "BOOLEAN"},
      {dctBlob, 0, "LONGBLOB", "BYTEA"},
      {dctDateTime, 0, "DATETIME", "TIMESTAMP"},
      {dctDate, 0, "DATE", "DATE"},
      {dctTime, 0, "TIME", "TIME"},
      {dctJSON, 0, "JSON", "JSONB"},
      {dctUUID, 0, "CHAR(36)", "UUID"},
      {static_cast<TDBAColumnType>(42), 0, "TEXT", "TEXT"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(my->SqlType(r.type, r.length), r.my) << r.type;
    EXPECT_EQ(pg->SqlType(r.type, r.length), r.pg) << r.type;
  }
}

TEST(DbaServerDialects, UpsertStatements) {
  auto pg = OfflinePg();
  auto my = OfflineMy();
  // Key columns match ignoring case; the update list keeps the other columns in order.
  EXPECT_EQ(my->UpsertStmt("cfg", {"key", "value", "note"}, {"KEY"}),
            "INSERT INTO `cfg` (`key`, `value`, `note`) VALUES (:p1, :p2, :p3) ON DUPLICATE KEY UPDATE "
            "`value` = VALUES(`value`), `note` = VALUES(`note`)");
  EXPECT_EQ(pg->UpsertStmt("Cfg", {"key", "Value"}, {"Key"}),
            "INSERT INTO \"cfg\" (\"key\", \"value\") VALUES (:p1, :p2) ON CONFLICT (\"key\") DO UPDATE SET "
            "\"value\" = EXCLUDED.\"value\"");
  // Every column a key: MariaDB writes a plain insert, PostgreSQL does nothing on conflict.
  EXPECT_EQ(my->UpsertStmt("t", {"a", "b"}, {"a", "b"}), "INSERT INTO `t` (`a`, `b`) VALUES (:p1, :p2)");
  EXPECT_EQ(pg->UpsertStmt("t", {"a", "b"}, {"b", "a"}),
            "INSERT INTO \"t\" (\"a\", \"b\") VALUES (:p1, :p2) ON CONFLICT (\"b\", \"a\") DO NOTHING");
  // No key columns: PostgreSQL writes a plain insert, MariaDB updates every column.
  EXPECT_EQ(pg->UpsertStmt("t", {"a"}, {}), "INSERT INTO \"t\" (\"a\") VALUES (:p1)");
  EXPECT_EQ(my->UpsertStmt("t", {"a"}, {}), "INSERT INTO `t` (`a`) VALUES (:p1) ON DUPLICATE KEY UPDATE `a` = VALUES(`a`)");
}

TEST(DbaServerDialects, ColumnDefinitions) {
  auto pg = OfflinePg();
  auto my = OfflineMy();
  const auto id = MakeColumn("id", dctBigInt, 0, false, "", true, false, true);
  EXPECT_EQ(RenderColumnDDL(*my, id), "`id` BIGINT PRIMARY KEY AUTO_INCREMENT NOT NULL");
  EXPECT_EQ(RenderColumnDDL(*pg, id), "\"id\" BIGSERIAL PRIMARY KEY NOT NULL");
  auto name = MakeColumn("UserName", dctText, 0, false, "", false, true, false);
  name.CaseInsensitive = true;
  EXPECT_EQ(RenderColumnDDL(*my, name), "`UserName` TEXT COLLATE utf8mb4_general_ci NOT NULL UNIQUE");
  EXPECT_EQ(RenderColumnDDL(*pg, name), "\"username\" TEXT NOT NULL UNIQUE");
  EXPECT_EQ(RenderColumnDDL(*my, MakeColumn("n", dctInteger, 0, false, "0")), "`n` INT NOT NULL DEFAULT (0)");
}

TEST(DbaServerDialects, ConstructionAndConnectFailures) {
  try {
    TDBAMariaDBDialect::CreateFromConnection(nullptr);
    FAIL();
  } catch (const sql::SqlError& e) {
    EXPECT_STREQ(e.what(), "dbapi_mariadb: CreateFromConnection: AConn is nil");
  }
  try {
    TDBAPostgresDialect::CreateFromConnection(nullptr);
    FAIL();
  } catch (const sql::SqlError& e) {
    EXPECT_STREQ(e.what(), "dbapi_postgres: CreateFromConnection: AConn is nil");
  }
  // A borrowed connection copies host, database and user, and must be of the right kind.
  sql::ConnectOptions o;
  o.host = "db.example";
  o.port = 6543;
  o.database = "board";
  o.user = "bbs";
  auto pgconn = sql::CreateConnection(sql::Backend::Postgres, o);
  auto pg = TDBAPostgresDialect::CreateFromConnection(pgconn.get());
  EXPECT_EQ(pg->Host(), "db.example");
  EXPECT_EQ(pg->Database(), "board");
  EXPECT_EQ(pg->UserName(), "bbs");
  EXPECT_FALSE(pg->Owned());
  EXPECT_THROW(TDBAMariaDBDialect::CreateFromConnection(pgconn.get()), sql::SqlError);

  // Nothing listens on port 1: Connect raises the client's error and leaves the dialect down.
  for (TDBADialectRef d : {TDBADialectRef(OfflinePg()), TDBADialectRef(OfflineMy())}) {
    EXPECT_TRUE(d->Owned());
    EXPECT_THROW(d->Connect(), sql::SqlError);
    EXPECT_FALSE(d->IsConnected());
  }
  auto my = OfflineMy();
  EXPECT_EQ(my->Port(), 1);
  EXPECT_FALSE(my->UseSSL());
}

// ---------------------------------------------------------------------------------------------
// Against the servers

namespace {

class ServerDialect : public ::testing::TestWithParam<sql::Backend> {
 protected:
  void SetUp() override {
    auto o = ovtest::TestServerOptions(GetParam());
    if (!o) GTEST_SKIP() << ovtest::NoServerMessage(GetParam());
    opts_ = *o;
    d_ = Make();
    d_->Connect();
  }
  bool IsPg() const { return GetParam() == sql::Backend::Postgres; }
  TDBADialectRef Make() const {
    if (IsPg())
      return TDBAPostgresDialect::CreateOwned(opts_.host, opts_.port, opts_.database, opts_.user, opts_.password, false);
    return TDBAMariaDBDialect::CreateOwned(opts_.host, opts_.port, opts_.database, opts_.user, opts_.password, false);
  }
  // What another session sees: only committed rows.
  std::int64_t CountElsewhere(const std::string& table) {
    auto c = sql::CreateConnection(GetParam(), opts_);
    c->Open();
    return c->Run("SELECT COUNT(*) FROM " + d_->QuoteIdent(table), {}).rows.at(0).at(0).i;
  }
  void Drop(const std::string& table) { d_->ExecSQL("DROP TABLE IF EXISTS " + d_->QuoteIdent(table), {}); }
  // Declares through the storage, which fits the table to the server first.
  bool Declare(const TDBATableSpec& table) { return DeclareTable(*d_, table); }

  sql::ConnectOptions opts_;
  TDBADialectRef d_;
};

TDBATableSpec OwnersSpec() {
  TDBATableSpec t;
  t.Name = "ovt_dia_owners";
  t.Columns.push_back(MakeColumn("id", dctBigInt, 0, false, "", true, false, true));
  auto name = MakeColumn("UserName", dctText, 0, false, "", false, true, false);
  name.CaseInsensitive = true;
  t.Columns.push_back(name);
  t.Columns.push_back(MakeColumn("guid", dctText, 0, false, "''"));
  t.Columns.push_back(MakeColumn("key", dctVarchar, 50, true));
  t.Columns.push_back(MakeColumn("flag", dctBoolean, 0, true));
  t.Columns.push_back(MakeColumn("score", dctDouble, 0, true));
  t.Columns.push_back(MakeColumn("created_at", dctDateTime, 0, false, "NOW()"));
  t.Indexes.push_back(MakeIndex("idx_dia_owners_guid", {"guid"}, true));
  return t;
}

TDBATableSpec ItemsSpec() {
  TDBATableSpec t;
  t.Name = "ovt_dia_items";
  t.Columns.push_back(MakeColumn("id", dctBigInt, 0, false, "", true, false, true));
  auto owner = MakeColumn("owner_id", dctInteger, 0, true);
  owner.ForeignKey = MakeFK("ovt_dia_owners", "id", doaSetNull);
  t.Columns.push_back(owner);
  auto parent = MakeColumn("parent_id", dctInteger, 0, true);
  parent.ForeignKey = MakeFK("ovt_dia_items", "id", doaCascade);
  t.Columns.push_back(parent);
  t.Columns.push_back(MakeColumn("title", dctText, 0, false, "''"));
  t.Columns.push_back(MakeColumn("body", dctText, 0, true));
  t.Indexes.push_back(MakeIndex("idx_dia_items_text", {"title", "body", "owner_id"}, false));
  t.UniqueConstraints.push_back(MakeUnique("uq_dia_items_owner_title", {"owner_id", "title"}));
  return t;
}

}  // namespace

TEST_P(ServerDialect, ConnectReportsTheServer) {
  if (IsPg()) {
    EXPECT_EQ(d_->ServerFlavor().rfind("PostgreSQL 15", 0), 0u) << d_->ServerFlavor();
  } else {
    EXPECT_EQ(d_->ServerFlavor().rfind("MariaDB 10.11", 0), 0u) << d_->ServerFlavor();
  }
  EXPECT_TRUE(d_->IsConnected());
  d_->Disconnect();
  EXPECT_FALSE(d_->IsConnected());
}

TEST_P(ServerDialect, StatementsWithJsonParameters) {
  Drop("ovt_dia_values");
  d_->ExecSQL("CREATE TABLE " + d_->QuoteIdent("ovt_dia_values") + " (n BIGINT, t TEXT, b " +
                  d_->SqlType(dctBoolean, 0) + ", d " + d_->SqlType(dctDouble, 0) + ", ts " +
                  d_->SqlType(dctDateTime, 0) + ")",
              {});
  const std::string tricky = "quote ' double \" back \\ colon :p1 ?";
  EXPECT_EQ(d_->ExecSQL("INSERT INTO " + d_->QuoteIdent("ovt_dia_values") + " VALUES (:p1, :p2, :p3, :p4, " +
                            d_->NowExpr() + ")",
                        TJSON::array({9007199254740993LL, tricky, true, 0.25})),
            1);
  // Committed at once by the owning dialect.
  EXPECT_EQ(CountElsewhere("ovt_dia_values"), 1);
  TJSON rows = d_->QuerySQL("SELECT n, t, b, d, ts, NULL AS z FROM " + d_->QuoteIdent("ovt_dia_values") +
                                " WHERE t = :p1 AND ts >= " + d_->DateAddExpr(-1, duHour),
                            TJSON::array({tricky}));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["n"], 9007199254740993LL);
  EXPECT_EQ(rows[0]["t"], tricky);
  EXPECT_EQ(rows[0]["b"], true);
  EXPECT_EQ(rows[0]["d"], 0.25);
  EXPECT_EQ(rows[0]["ts"].get<std::string>().size(), 19u);
  EXPECT_TRUE(rows[0]["z"].is_null());
  Drop("ovt_dia_values");
}

TEST_P(ServerDialect, FailureOutsideABatchLeavesTheNextWriterClean) {
  Drop("ovt_dia_fail");
  d_->ExecSQL("CREATE TABLE " + d_->QuoteIdent("ovt_dia_fail") + " (k INT PRIMARY KEY)", {});
  d_->ExecSQL("INSERT INTO " + d_->QuoteIdent("ovt_dia_fail") + " VALUES (1)", {});
  EXPECT_THROW(d_->ExecSQL("INSERT INTO " + d_->QuoteIdent("ovt_dia_fail") + " VALUES (1)", {}), sql::SqlError);
  EXPECT_THROW(d_->QuerySQL("SELECT nope FROM " + d_->QuoteIdent("ovt_dia_fail"), {}), sql::SqlError);
  EXPECT_EQ(d_->ExecSQL("INSERT INTO " + d_->QuoteIdent("ovt_dia_fail") + " VALUES (2)", {}), 1);
  EXPECT_EQ(CountElsewhere("ovt_dia_fail"), 2);
  // A data-changing statement run for its rows is committed as well.
  TJSON rows = d_->QuerySQL("INSERT INTO " + d_->QuoteIdent("ovt_dia_fail") + " VALUES (3) RETURNING k", {});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["k"], 3);
  EXPECT_EQ(CountElsewhere("ovt_dia_fail"), 3);
  Drop("ovt_dia_fail");
}

TEST_P(ServerDialect, DeclaredTablesWorkAndRedeclareCleanly) {
  Drop("ovt_dia_items");
  Drop("ovt_dia_owners");
  EXPECT_FALSE(d_->TableExists("ovt_dia_owners"));
  EXPECT_EQ(d_->GetColumns("ovt_dia_owners"), TJSON::array());  // a missing table has no columns
  EXPECT_TRUE(Declare(OwnersSpec()));
  EXPECT_TRUE(Declare(ItemsSpec()));
  EXPECT_TRUE(d_->TableExists("ovt_dia_items"));
  if (IsPg()) {
    EXPECT_TRUE(d_->TableExists("OVT_DIA_ITEMS"));
  }

  // The live types satisfy the declarations: declaring again changes nothing but the indexes.
  EXPECT_TRUE(Declare(OwnersSpec()));
  EXPECT_TRUE(Declare(ItemsSpec()));

  const TJSON cols = d_->GetColumns("ovt_dia_owners");
  ASSERT_EQ(cols.size(), 7u);
  EXPECT_EQ(cols[0]["name"], "id");
  EXPECT_EQ(cols[0]["is_pk"], true);
  EXPECT_EQ(cols[0]["nullable"], false);
  EXPECT_EQ(cols[1]["name"], IsPg() ? "username" : "UserName");
  EXPECT_EQ(cols[1]["is_pk"], false);
  EXPECT_EQ(cols[3]["nullable"], true);
  EXPECT_TRUE(cols[3]["default"].is_null());
  EXPECT_EQ(cols[2]["type"], "text");

  // A new column is added to the existing table.
  TDBATableSpec more = OwnersSpec();
  more.Columns.push_back(MakeColumn("extra", dctInteger, 0, false, "7"));
  EXPECT_TRUE(Declare(more));
  EXPECT_EQ(d_->GetColumns("ovt_dia_owners").size(), 8u);

  // Rows: ids, foreign keys with their delete actions, case-insensitive uniqueness on MariaDB.
  const std::int64_t alice = StoreInsert(*d_, "ovt_dia_owners", {{"UserName", "Alice"}, {"guid", "g1"}, {"flag", true}});
  ASSERT_GT(alice, 0);
  EXPECT_EQ(d_->GetLastInsertID(), alice);
  EXPECT_EQ(CountElsewhere("ovt_dia_owners"), 1);  // committed, also through RETURNING
  const std::int64_t root = StoreInsert(*d_, "ovt_dia_items", {{"owner_id", alice}, {"title", "root"}});
  const std::int64_t child = StoreInsert(*d_, "ovt_dia_items", {{"parent_id", root}, {"title", "child"}});
  EXPECT_EQ(child, root + 1);
  EXPECT_EQ(CountElsewhere("ovt_dia_items"), 2);
  EXPECT_THROW(StoreInsert(*d_, "ovt_dia_items", {{"owner_id", alice}, {"title", "root"}}), sql::SqlError);
  if (!IsPg()) {
    EXPECT_THROW(StoreInsert(*d_, "ovt_dia_owners", {{"UserName", "ALICE"}, {"guid", "g2"}}), sql::SqlError);
  }

  auto byOwner = CmpInt("owner_id", dcoEq, alice);
  StoreDelete(*d_, "ovt_dia_owners", nullptr);  // SET NULL on the item
  TDBASelectSpec sel;
  sel.Table = "ovt_dia_items";
  sel.Columns = {"title", "owner_id"};
  sel.OrderBy = {MakeOrder("id", dodAsc)};
  TJSON rows = StoreSelect(*d_, sel);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0]["owner_id"].is_null());
  sel.Offset = 1;  // an offset without a limit
  rows = StoreSelect(*d_, sel);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["title"], "child");

  auto isRoot = CmpStr("title", dcoEq, "root");
  StoreDelete(*d_, "ovt_dia_items", isRoot.get());  // CASCADE to the child
  EXPECT_EQ(CountElsewhere("ovt_dia_items"), 0);
  Drop("ovt_dia_items");
  Drop("ovt_dia_owners");
}

TEST_P(ServerDialect, UpsertReturnsTheRowId) {
  Drop("ovt_dia_cfg");
  TDBATableSpec t;
  t.Name = "ovt_dia_cfg";
  t.Columns.push_back(MakeColumn("id", dctBigInt, 0, false, "", true, false, true));
  t.Columns.push_back(MakeColumn("name", dctVarchar, 64, false, "", false, true, false));
  t.Columns.push_back(MakeColumn("value", dctText, 0, false, "''"));
  ASSERT_TRUE(Declare(t));
  const std::int64_t first = StoreUpsert(*d_, "ovt_dia_cfg", {{"name", "a"}, {"value", "1"}}, {"name"});
  EXPECT_GT(first, 0);
  const std::int64_t other = StoreUpsert(*d_, "ovt_dia_cfg", {{"name", "b"}, {"value", "1"}}, {"name"});
  EXPECT_EQ(other, first + 1);
  // An upsert that updates hands back the updated row's id, not the latest insert's.
  EXPECT_EQ(StoreUpsert(*d_, "ovt_dia_cfg", {{"name", "a"}, {"value", "2"}}, {"name"}), first);
  EXPECT_EQ(d_->GetLastInsertID(), first);
  EXPECT_EQ(d_->QuerySQL("SELECT value FROM " + d_->QuoteIdent("ovt_dia_cfg") + " WHERE name = 'a'", {})[0]["value"],
            "2");
  EXPECT_EQ(CountElsewhere("ovt_dia_cfg"), 2);
  Drop("ovt_dia_cfg");
}

TEST_P(ServerDialect, PostgresNamesNeedingQuotes) {
  if (!IsPg()) GTEST_SKIP() << "PostgreSQL only";
  Drop("Odd Name");
  TDBATableSpec t;
  t.Name = "Odd Name";
  t.Columns.push_back(MakeColumn("id", dctBigInt, 0, false, "", true, false, true));
  t.Columns.push_back(MakeColumn("Some Col", dctText, 0, true));
  ASSERT_TRUE(DeclareTable(*d_, t));
  const TJSON cols = d_->GetColumns("Odd Name");
  ASSERT_EQ(cols.size(), 2u);
  EXPECT_EQ(cols[0]["is_pk"], true);
  EXPECT_EQ(cols[1]["name"], "some col");
  EXPECT_EQ(cols[1]["is_pk"], false);
  EXPECT_FALSE(DeclareTable(*d_, t));  // no index, nothing missing
  // A plain INSERT (no RETURNING) still yields its id.
  d_->ExecSQL("INSERT INTO " + d_->QuoteIdent("Odd Name") + " (" + d_->QuoteIdent("Some Col") + ") VALUES (:p1)",
              TJSON::array({"x"}));
  EXPECT_GT(d_->GetLastInsertID(), 0);
  Drop("Odd Name");
}

TEST_P(ServerDialect, MariaDBDdlFitsInnoDB) {
  if (IsPg()) GTEST_SKIP() << "MariaDB only";
  auto* my = dynamic_cast<TDBAMariaDBDialect*>(d_.get());
  ASSERT_NE(my, nullptr);
  Drop("ovt_dia_items");
  Drop("ovt_dia_owners");
  ASSERT_TRUE(DeclareTable(*d_, OwnersSpec()));

  // As declared, the INT reference to the BIGINT key is refused by InnoDB (errno 150).
  TDBATableSpec items = ItemsSpec();
  items.Indexes.clear();
  EXPECT_THROW(d_->ExecSQL(BuildCreateTable(*d_, items), {}), sql::SqlError);
  my->AdaptTableSpec(items);
  EXPECT_EQ(items.Columns[1].ColType, dctBigInt);  // from the live owners.id
  EXPECT_EQ(items.Columns[2].ColType, dctBigInt);  // self-reference: from the declaration
  EXPECT_EQ(items.Columns[3].ColType, dctText);
  d_->ExecSQL(BuildCreateTable(*d_, items), {});

  // Two TEXT columns in a non-unique index exceed the key size without prefixes.
  const TDBAIndexSpec idx = ItemsSpec().Indexes[0];
  EXPECT_THROW(d_->ExecSQL(BuildCreateIndex(*d_, "ovt_dia_items", idx), {}), sql::SqlError);
  const std::string create = my->CreateIndexSQL("ovt_dia_items", idx);
  EXPECT_EQ(create,
            "CREATE INDEX IF NOT EXISTS `idx_dia_items_text` ON `ovt_dia_items` (`title`(191), `body`(191), `owner_id`)");
  d_->ExecSQL(create, {});
  // Unique indexes stay whole (the server enforces them by hash), as does a table unknown yet.
  EXPECT_EQ(my->CreateIndexSQL("ovt_dia_owners", OwnersSpec().Indexes[0]), BuildCreateIndex(*d_, "ovt_dia_owners", OwnersSpec().Indexes[0]));
  EXPECT_EQ(my->CreateIndexSQL("ovt_dia_none", idx), BuildCreateIndex(*d_, "ovt_dia_none", idx));
  Drop("ovt_dia_items");
  Drop("ovt_dia_owners");
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerDialect, ::testing::Values(sql::Backend::Postgres, sql::Backend::MariaDB),
                         [](const auto& info) { return info.param == sql::Backend::Postgres ? "Postgres" : "MariaDB"; });
