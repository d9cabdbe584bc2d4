// Declarative storage on the SQLite dialect, against real SQLite files.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "db_test_env.h"
#include "dbapi_sqlite.h"
#include "dbapi_storage.h"
#include "ov_plugin_host.h"
#include "ov_plugin_sdk.h"
#include "test_util.h"

using namespace ov;

namespace {

class Storage : public ::testing::Test {
 protected:
  void SetUp() override {
    d_ = TDBASQLiteDialect::CreateOwned(dir_ / "storage.db");
    d_->Connect();
    d_->Hooks().AddOnSchemaChange(
        [this](TDBASchemaChangeKind k, const std::string& t, const std::string& detail, const std::string& sql) {
          changes_.push_back(std::to_string(k) + "|" + t + "|" + detail + "|" + sql);
        });
    d_->Hooks().AddOnBeforeQuery([this](std::string_view sql, const TJSON& params, bool&) {
      last_sql_ = sql;
      last_params_ = params;
      ++statements_;
    });
  }
  std::string SchemaSQL(const std::string& name) {
    const TJSON r = d_->QuerySQL("SELECT sql FROM sqlite_master WHERE name = :p1", TJSON::array({name}));
    return r.empty() ? std::string() : r[0]["sql"].get<std::string>();
  }

  ovtest::TempDir dir_;
  std::shared_ptr<TDBASQLiteDialect> d_;
  std::vector<std::string> changes_;
  std::string last_sql_;
  TJSON last_params_;
  int statements_ = 0;
};

TDBATableSpec UsersSpec() {
  TDBATableSpec t;
  t.Name = "users";
  t.Columns.push_back(MakeColumn("id", dctBigInt, 0, false, "", true, false, true));
  t.Columns.push_back(MakeColumn("guid", dctUUID, 0, false, "", false, true));
  auto name = MakeColumn("name", dctVarchar, 64, false);
  name.CaseInsensitive = true;
  t.Columns.push_back(name);
  t.Columns.push_back(MakeColumn("active", dctBoolean, 0, false, "1"));
  t.Columns.push_back(MakeColumn("created", dctDateTime, 0, false, "(datetime('now'))"));
  auto group = MakeColumn("group_id", dctInteger);
  group.ForeignKey = MakeFK("groups", "id", doaSetNull);
  t.Columns.push_back(group);
  t.UniqueConstraints.push_back(MakeUnique("uq_users_name_group", {"name", "group_id"}));
  t.Indexes.push_back(MakeIndex("ix_users_created", {"created"}));
  return t;
}

TDBATableSpec GroupsSpec() {
  TDBATableSpec t;
  t.Name = "groups";
  t.Columns.push_back(MakeColumn("id", dctInteger, 0, false, "", true, false, true));
  t.Columns.push_back(MakeColumn("name", dctText, 0, false, "", false, true));
  return t;
}

TDBATableSpec UserGroupsSpec() {
  TDBATableSpec t;
  t.Name = "user_groups";
  auto u = MakeColumn("user_id", dctBigInt, 0, false);
  u.ForeignKey = MakeFK("users", "id", doaCascade);
  auto g = MakeColumn("group_id", dctInteger, 0, false);
  g.ForeignKey = MakeFK("groups", "id", doaCascade);
  t.Columns = {u, g};
  t.PrimaryKeyColumns = {"user_id", "group_id"};
  t.UniqueConstraints.push_back(MakeUnique("", {"group_id", "user_id"}));
  return t;
}

// ---------------------------------------------------------------------------------------------
// DDL text

TEST_F(Storage, ColumnDefinitions) {
  EXPECT_EQ(RenderColumnDDL(*d_, MakeColumn("id", dctBigInt, 0, false, "", true, false, true)),
            "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL");
  EXPECT_EQ(RenderColumnDDL(*d_, MakeColumn("id", dctInteger, 0, true, "5", true, true, true)),
            "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT");  // nothing else on the key form
  EXPECT_EQ(RenderColumnDDL(*d_, MakeColumn("n", dctInteger, 0, false, "0")), "\"n\" INTEGER NOT NULL DEFAULT (0)");
  EXPECT_EQ(RenderColumnDDL(*d_, MakeColumn("at", dctDateTime, 0, true, "(datetime('now'))")),
            "\"at\" DATETIME DEFAULT (datetime('now'))");
  EXPECT_EQ(RenderColumnDDL(*d_, MakeColumn("s", dctVarchar, 32, true, "'x'", false, true)),
            "\"s\" VARCHAR(32) DEFAULT ('x') UNIQUE");
  auto ci = MakeColumn("c", dctText, 0, false);
  ci.CaseInsensitive = true;
  EXPECT_EQ(RenderColumnDDL(*d_, ci), "\"c\" TEXT COLLATE NOCASE NOT NULL");
  // A key column without auto-increment gets its key.
  EXPECT_EQ(RenderColumnDDL(*d_, MakeColumn("k", dctText, 0, false, "", true)), "\"k\" TEXT NOT NULL PRIMARY KEY");
  EXPECT_EQ(RenderColumnDDL(*d_, MakeColumn("k", dctText, 0, true, "", true, false, true)), "\"k\" TEXT PRIMARY KEY");
}

TEST_F(Storage, ForeignKeyAndUniqueConstraintText) {
  auto c = MakeColumn("uid", dctInteger);
  EXPECT_EQ(RenderForeignKeyDDL(*d_, c), "");
  c.ForeignKey = MakeFK("users", "id", doaCascade);
  EXPECT_EQ(RenderForeignKeyDDL(*d_, c), "FOREIGN KEY (\"uid\") REFERENCES \"users\"(\"id\") ON DELETE CASCADE");
  c.ForeignKey.OnDelete = doaNoAction;
  EXPECT_EQ(RenderForeignKeyDDL(*d_, c), "FOREIGN KEY (\"uid\") REFERENCES \"users\"(\"id\")");
  EXPECT_EQ(RenderUniqueConstraintDDL(*d_, MakeUnique("uq", {"a", "b"})), "CONSTRAINT \"uq\" UNIQUE (\"a\", \"b\")");
  EXPECT_EQ(RenderUniqueConstraintDDL(*d_, MakeUnique("", {"a"})), "UNIQUE (\"a\")");
}

TEST_F(Storage, CreateTableText) {
  EXPECT_EQ(BuildCreateTable(*d_, UsersSpec()),
            "CREATE TABLE \"users\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, "
            "\"guid\" CHAR(36) NOT NULL UNIQUE, \"name\" VARCHAR(64) COLLATE NOCASE NOT NULL, "
            "\"active\" INTEGER NOT NULL DEFAULT (1), \"created\" DATETIME NOT NULL DEFAULT (datetime('now')), "
            "\"group_id\" INTEGER, CONSTRAINT \"uq_users_name_group\" UNIQUE (\"name\", \"group_id\"), "
            "FOREIGN KEY (\"group_id\") REFERENCES \"groups\"(\"id\") ON DELETE SET NULL)");
  EXPECT_EQ(BuildCreateTable(*d_, UserGroupsSpec()),
            "CREATE TABLE \"user_groups\" (\"user_id\" BIGINT NOT NULL, \"group_id\" INTEGER NOT NULL, "
            "PRIMARY KEY (\"user_id\", \"group_id\"), UNIQUE (\"group_id\", \"user_id\"), "
            "FOREIGN KEY (\"user_id\") REFERENCES \"users\"(\"id\") ON DELETE CASCADE, "
            "FOREIGN KEY (\"group_id\") REFERENCES \"groups\"(\"id\") ON DELETE CASCADE)");
}

TEST_F(Storage, SingleColumnKeysAreWritten) {
  TDBATableSpec flagged;
  flagged.Name = "config";
  flagged.Columns = {MakeColumn("key", dctVarchar, 100, false, "", true), MakeColumn("value", dctText)};
  EXPECT_EQ(BuildCreateTable(*d_, flagged),
            "CREATE TABLE \"config\" (\"key\" VARCHAR(100) NOT NULL PRIMARY KEY, \"value\" TEXT)");

  TDBATableSpec listed;
  listed.Name = "codes";
  listed.Columns = {MakeColumn("code", dctVarchar, 8, false), MakeColumn("label", dctText)};
  listed.PrimaryKeyColumns = {"CODE"};
  EXPECT_EQ(BuildCreateTable(*d_, listed),
            "CREATE TABLE \"codes\" (\"code\" VARCHAR(8) NOT NULL PRIMARY KEY, \"label\" TEXT)");

  // Several flagged columns without a list: one table-level key.
  TDBATableSpec two;
  two.Name = "pairs";
  two.Columns = {MakeColumn("a", dctInteger, 0, false, "", true), MakeColumn("b", dctInteger, 0, false, "", true)};
  EXPECT_EQ(BuildCreateTable(*d_, two),
            "CREATE TABLE \"pairs\" (\"a\" INTEGER NOT NULL, \"b\" INTEGER NOT NULL, PRIMARY KEY (\"a\", \"b\"))");

  // The key really holds.
  EXPECT_TRUE(DeclareTable(*d_, flagged));
  d_->ExecSQL("INSERT INTO config (key, value) VALUES ('a', '1')", {});
  EXPECT_THROW(d_->ExecSQL("INSERT INTO config (key, value) VALUES ('a', '2')", {}), sql::SqlError);
  EXPECT_EQ(d_->GetColumns("config")[0]["is_pk"], true);
}

TEST_F(Storage, IndexAndAlterText) {
  EXPECT_EQ(BuildCreateIndex(*d_, "users", MakeIndex("ix_u", {"name", "guid"}, true)),
            "CREATE UNIQUE INDEX IF NOT EXISTS \"ix_u\" ON \"users\" (\"name\", \"guid\")");
  EXPECT_EQ(BuildCreateIndex(*d_, "users", MakeIndex("ix_c", {"created"})),
            "CREATE INDEX IF NOT EXISTS \"ix_c\" ON \"users\" (\"created\")");
  EXPECT_EQ(BuildAddColumn(*d_, "users", MakeColumn("email", dctVarchar, 255, true, "''")),
            "ALTER TABLE \"users\" ADD COLUMN \"email\" VARCHAR(255) DEFAULT ('')");
}

// ---------------------------------------------------------------------------------------------
// Type compatibility

TEST(DbaTypeCompatible, ThePartsTable) {
  EXPECT_TRUE(TypeCompatible("varchar(64)", dctText));
  EXPECT_TRUE(TypeCompatible("character varying", dctVarchar));
  EXPECT_TRUE(TypeCompatible("TEXT", dctVarchar, 10));
  EXPECT_FALSE(TypeCompatible("text", dctInteger));
  for (const char* t : {"int", "INTEGER", "bigint", "smallint", "mediumint"}) EXPECT_TRUE(TypeCompatible(t, dctBigInt)) << t;
  EXPECT_FALSE(TypeCompatible("tinyint", dctInteger));
  EXPECT_FALSE(TypeCompatible("int unsigned", dctInteger));
  for (const char* t : {"real", "FLOAT", "double", "double precision", "numeric"}) EXPECT_TRUE(TypeCompatible(t, dctDouble)) << t;
  EXPECT_FALSE(TypeCompatible("decimal", dctFloat));
  for (const char* t : {"boolean", "tinyint", "integer", "int"}) EXPECT_TRUE(TypeCompatible(t, dctBoolean)) << t;
  EXPECT_FALSE(TypeCompatible("bit", dctBoolean));
  EXPECT_TRUE(TypeCompatible("LONGBLOB", dctBlob));
  EXPECT_TRUE(TypeCompatible("bytea", dctBlob));
  EXPECT_FALSE(TypeCompatible("text", dctBlob));
  for (const char* t : {"timestamp without time zone", "DATETIME", "char(19)", "text"})
    EXPECT_TRUE(TypeCompatible(t, dctDateTime)) << t;
  EXPECT_FALSE(TypeCompatible("date", dctDateTime));
  EXPECT_TRUE(TypeCompatible("DATE", dctDate));
  EXPECT_FALSE(TypeCompatible("datetime", dctDate));
  EXPECT_TRUE(TypeCompatible("time", dctTime));
  EXPECT_FALSE(TypeCompatible("timestamp", dctTime));
  for (const char* t : {"json", "JSONB", "text", "longtext"}) EXPECT_TRUE(TypeCompatible(t, dctJSON)) << t;
  EXPECT_FALSE(TypeCompatible("varchar(10)", dctJSON));
  EXPECT_TRUE(TypeCompatible("uuid", dctUUID));
  EXPECT_TRUE(TypeCompatible("CHAR(36)", dctUUID));
  EXPECT_FALSE(TypeCompatible("text", dctUUID));
  EXPECT_FALSE(TypeCompatible("text", static_cast<TDBAColumnType>(40)));
}

TEST(DbaFindLiveColumn, IgnoresCase) {
  const TJSON live = TJSON::parse(R"([{"name":"Id","type":"INTEGER"},{"name":"name","type":"TEXT"},{"name":"NAME","type":"x"}])");
  ASSERT_NE(FindLiveColumn(live, "id"), nullptr);
  EXPECT_EQ((*FindLiveColumn(live, "Name"))["type"], "TEXT");  // first match wins
  EXPECT_EQ(FindLiveColumn(live, "other"), nullptr);
  EXPECT_EQ(FindLiveColumn(TJSON(), "id"), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Declaring

TEST_F(Storage, DeclareCreatesTablesIndexesAndForeignKeys) {
  EXPECT_TRUE(DeclareTable(*d_, GroupsSpec()));
  EXPECT_TRUE(DeclareTable(*d_, UsersSpec()));
  EXPECT_TRUE(DeclareTable(*d_, UserGroupsSpec()));
  EXPECT_EQ(SchemaSQL("users"), BuildCreateTable(*d_, UsersSpec()));
  EXPECT_NE(SchemaSQL("ix_users_created"), "");
  ASSERT_GE(changes_.size(), 2u);
  EXPECT_EQ(changes_[1], "0|users|table created|" + BuildCreateTable(*d_, UsersSpec()));
  EXPECT_EQ(changes_[2], "3|users|ensure index ix_users_created|CREATE INDEX IF NOT EXISTS \"ix_users_created\" ON "
                         "\"users\" (\"created\")");

  // Foreign keys are really on: a cascade removes the link rows, a dangling id is refused.
  const auto gid = StoreInsert(*d_, "groups", TJSON{{"name", "g"}});
  const auto uid = StoreInsert(*d_, "users", TJSON{{"guid", "0123"}, {"name", "u"}, {"group_id", gid}});
  StoreInsert(*d_, "user_groups", TJSON{{"user_id", uid}, {"group_id", gid}});
  EXPECT_THROW(StoreInsert(*d_, "user_groups", TJSON{{"user_id", 999}, {"group_id", gid}}), sql::SqlError);
  StoreDelete(*d_, "users", CmpInt("id", dcoEq, uid).get());
  EXPECT_EQ(d_->QuerySQL("SELECT COUNT(*) AS n FROM user_groups", {})[0]["n"], 0);
}

TEST_F(Storage, DeclaringAgain) {
  EXPECT_TRUE(DeclareTable(*d_, GroupsSpec()));
  EXPECT_TRUE(DeclareTable(*d_, UsersSpec()));
  changes_.clear();
  EXPECT_FALSE(DeclareTable(*d_, GroupsSpec()));  // no indexes: nothing to do
  EXPECT_TRUE(DeclareTable(*d_, UsersSpec()));    // its index is ensured again
  EXPECT_EQ(changes_.size(), 1u);

  // A new column is added with ALTER TABLE.
  auto groups = GroupsSpec();
  groups.Columns.push_back(MakeColumn("note", dctVarchar, 40, true, "'-'"));
  changes_.clear();
  EXPECT_TRUE(DeclareTable(*d_, groups));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0], "1|groups|added column note|ALTER TABLE \"groups\" ADD COLUMN \"note\" VARCHAR(40) DEFAULT ('-')");
  EXPECT_FALSE(DeclareColumn(*d_, "groups", groups.Columns.back()));
  EXPECT_TRUE(DeclareColumn(*d_, "groups", MakeColumn("extra", dctInteger)));
  EXPECT_EQ(d_->GetColumns("groups").size(), 4u);
}

TEST_F(Storage, IncompatibleSchemaStopsTheDeclaration) {
  d_->ExecSQL("CREATE TABLE t (a TEXT, b TEXT)", {});
  TDBATableSpec t;
  t.Name = "t";
  t.Columns = {MakeColumn("a", dctInteger), MakeColumn("b", dctText), MakeColumn("c", dctText)};
  t.Indexes = {MakeIndex("ix_t_b", {"b"})};
  try {
    DeclareTable(*d_, t);
    FAIL();
  } catch (const EDBAIncompatibleSchema& e) {
    EXPECT_STREQ(e.what(), "dbapi: incompatible type change for t.a \xE2\x80\x94 live=TEXT, declared=2");
  }
  EXPECT_EQ(d_->GetColumns("t").size(), 2u);  // nothing after the conflict was changed
  EXPECT_EQ(SchemaSQL("ix_t_b"), "");
  try {
    DeclareColumn(*d_, "t", MakeColumn("b", dctBlob));
    FAIL();
  } catch (const EDBAIncompatibleSchema& e) {
    EXPECT_STREQ(e.what(), "dbapi: incompatible type change for t.b \xE2\x80\x94 live=TEXT, declared=7");
  }
  // A compatible live type passes.
  EXPECT_FALSE(DeclareColumn(*d_, "t", MakeColumn("b", dctVarchar, 10)));
}

// ---------------------------------------------------------------------------------------------
// The JSON row store

class RowStore : public Storage {
 protected:
  void SetUp() override {
    Storage::SetUp();
    TDBATableSpec t;
    t.Name = "items";
    t.Columns = {MakeColumn("id", dctBigInt, 0, false, "", true, false, true), MakeColumn("code", dctVarchar, 16, false),
                 MakeColumn("name", dctText), MakeColumn("qty", dctInteger, 0, false, "0"),
                 MakeColumn("price", dctDouble), MakeColumn("flag", dctBoolean)};
    t.UniqueConstraints = {MakeUnique("uq_items_code", {"code"})};
    DeclareTable(*d_, t);
    for (int i = 1; i <= 5; ++i)
      StoreInsert(*d_, "items", TJSON{{"code", "c" + std::to_string(i)}, {"name", "item " + std::to_string(i)}, {"qty", i * 10}});
  }
};

TEST_F(RowStore, InsertReturnsTheNewId) {
  const auto id = StoreInsert(*d_, "items", TJSON{{"code", "x"}, {"name", "n"}, {"price", 2.5}, {"flag", true}});
  EXPECT_EQ(id, 6);
  EXPECT_EQ(last_sql_, "INSERT INTO \"items\" (\"code\", \"name\", \"price\", \"flag\") VALUES (:p1, :p2, :p3, :p4)");
  EXPECT_EQ(last_params_, TJSON::array({"x", "n", 2.5, true}));
  const int before = statements_;
  EXPECT_EQ(StoreInsert(*d_, "items", TJSON::object()), 0);  // empty row: nothing runs
  EXPECT_EQ(statements_, before);
  EXPECT_THROW(StoreInsert(*d_, "items", TJSON::array({1})), std::invalid_argument);
  // 64-bit ids.
  const auto big = StoreInsert(*d_, "items", TJSON{{"id", 5000000000LL}, {"code", "big"}});
  EXPECT_EQ(big, 5000000000LL);
}

TEST_F(RowStore, UpdateSetValuesComeBeforeTheCriterion) {
  EXPECT_EQ(StoreUpdate(*d_, "items", CmpInt("id", dcoEq, 2).get(), TJSON{{"name", "renamed"}}), 1);
  EXPECT_EQ(last_sql_, "UPDATE \"items\" SET \"name\" = :p1 WHERE \"id\" = :p2");
  EXPECT_EQ(last_params_, TJSON::array({"renamed", 2}));
  auto rows = StoreSelect(*d_, TDBASelectSpec{"items", {"name"}, CmpInt("id", dcoEq, 2).get(), {}, 0, 0});
  EXPECT_EQ(rows, TJSON::parse(R"([{"name":"renamed"}])"));
  EXPECT_EQ(StoreUpdate(*d_, "items", nullptr, TJSON::object()), 0);
  EXPECT_EQ(StoreUpdate(*d_, "items", nullptr, TJSON{{"qty", 1}}), 5);  // no criterion: every row
  EXPECT_EQ(last_sql_, "UPDATE \"items\" SET \"qty\" = :p1");
  EXPECT_EQ(d_->QuerySQL("SELECT SUM(qty) AS s FROM items", {})[0]["s"], 5);
  EXPECT_THROW(StoreUpdate(*d_, "items", nullptr, TJSON()), std::invalid_argument);
}

TEST_F(RowStore, Delete) {
  EXPECT_EQ(StoreDelete(*d_, "items", Cmp("id", dcoIn, TJSON::array({1, 3})).get()), 2);
  EXPECT_EQ(last_sql_, "DELETE FROM \"items\" WHERE \"id\" IN (:p1, :p2)");
  EXPECT_EQ(d_->QuerySQL("SELECT COUNT(*) AS n FROM items", {})[0]["n"], 3);
  EXPECT_EQ(StoreDelete(*d_, "items", Cmp("id", dcoIn, TJSON::array()).get()), 0);  // matches nothing
  EXPECT_EQ(d_->QuerySQL("SELECT COUNT(*) AS n FROM items", {})[0]["n"], 3);
  EXPECT_EQ(StoreDelete(*d_, "items", nullptr), 3);
  EXPECT_EQ(last_sql_, "DELETE FROM \"items\"");
  EXPECT_EQ(d_->QuerySQL("SELECT COUNT(*) AS n FROM items", {})[0]["n"], 0);
}

TEST_F(RowStore, Select) {
  TDBASelectSpec s;
  s.Table = "items";
  TJSON rows = StoreSelect(*d_, s);
  EXPECT_EQ(last_sql_, "SELECT * FROM \"items\"");
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0]["id"], 1);
  EXPECT_TRUE(rows[0]["price"].is_null());

  auto where = OrOf(CmpInt("qty", dcoGe, 40), CmpStr("name", dcoILike, "ITEM 1"));
  s.Columns = {"id", "qty"};
  s.Where = where.get();
  s.OrderBy = {MakeOrder("qty", dodDesc), MakeOrder("id")};
  s.Limit = 2;
  rows = StoreSelect(*d_, s);
  EXPECT_EQ(last_sql_, "SELECT \"id\", \"qty\" FROM \"items\" WHERE (\"qty\" >= :p1) OR (LOWER(\"name\") LIKE LOWER(:p2)) "
                       "ORDER BY \"qty\" DESC, \"id\" ASC LIMIT 2");
  EXPECT_EQ(rows, TJSON::parse(R"([{"id":5,"qty":50},{"id":4,"qty":40}])"));
  s.Offset = 2;
  rows = StoreSelect(*d_, s);
  EXPECT_EQ(rows, TJSON::parse(R"([{"id":1,"qty":10}])"));

  // An offset without a limit is kept, not dropped.
  TDBASelectSpec skip;
  skip.Table = "items";
  skip.Columns = {"id"};
  skip.OrderBy = {MakeOrder("id")};
  skip.Offset = 3;
  rows = StoreSelect(*d_, skip);
  EXPECT_EQ(last_sql_, "SELECT \"id\" FROM \"items\" ORDER BY \"id\" ASC LIMIT -1 OFFSET 3");
  EXPECT_EQ(rows, TJSON::parse(R"([{"id":4},{"id":5}])"));
  skip.Offset = 0;
  skip.Limit = 0;
  EXPECT_EQ(StoreSelect(*d_, skip).size(), 5u);
  EXPECT_EQ(last_sql_, "SELECT \"id\" FROM \"items\" ORDER BY \"id\" ASC");
}

TEST_F(RowStore, UpsertUpdatesInPlaceByKey) {
  // Existing code: the row keeps its id and the columns left out.
  d_->ExecSQL("UPDATE items SET price = 9.5 WHERE code = 'c2'", {});
  EXPECT_EQ(StoreUpsert(*d_, "items", TJSON{{"code", "c2"}, {"name", "new name"}}, {"code"}), 0);
  EXPECT_EQ(last_sql_, "INSERT INTO \"items\" (\"code\", \"name\") VALUES (:p1, :p2) ON CONFLICT (\"code\") DO UPDATE "
                       "SET \"name\" = excluded.\"name\"");
  TJSON rows = d_->QuerySQL("SELECT id, name, qty, price FROM items WHERE code = 'c2'", {});
  EXPECT_EQ(rows, TJSON::parse(R"([{"id":2,"name":"new name","qty":20,"price":9.5}])"));
  // New code: inserted, its id returned.
  const auto id = StoreUpsert(*d_, "items", TJSON{{"code", "c9"}, {"name", "nine"}}, {"code"});
  EXPECT_EQ(id, d_->QuerySQL("SELECT id FROM items WHERE code = 'c9'", {})[0]["id"]);
  // Every column a key: DO NOTHING.
  EXPECT_EQ(StoreUpsert(*d_, "items", TJSON{{"code", "c9"}}, {"code"}), 0);
  EXPECT_EQ(StoreUpsert(*d_, "items", TJSON::object(), {"code"}), 0);
  EXPECT_THROW(StoreUpsert(*d_, "items", TJSON("x"), {}), std::invalid_argument);
}

TEST(DbaRowToArrays, SplitsInMemberOrder) {
  std::vector<std::string> cols;
  TJSON params;
  RowToArrays(TJSON::parse(R"({"b":1,"a":[1,2],"c":null})"), cols, params);
  EXPECT_EQ(cols, (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(params, TJSON::parse(R"([1,[1,2],null])"));
}

}  // namespace

// ---- row counts as plug-ins read them, on every backend ----

class StoreCountsOnEveryBackend : public ovtest::BackendDBTest {};
INSTANTIATE_TEST_SUITE_P(Backends, StoreCountsOnEveryBackend, ::testing::Values("sqlite3", "postgresql", "mariadb"));

// StoreUpdate and StoreDelete called through the host's table, as a plug-in calls them: the rows
// the criterion matched, 0 when none, the same number on each database (a row that already
// holds the values counts).  Steps run in order on one table of five rows.
TEST_P(StoreCountsOnEveryBackend, UpdateAndDeleteReturnTheRowsMatched) {
  TOVPluginHost host("Counter", {}, nullptr, std::chrono::system_clock::now());
  host.SetGrantedPermissions({opDatabaseRead, opDatabaseWrite, opDatabaseCreateTables});
  TDBATableSpec spec;
  spec.Name = "p_counter_rows";
  spec.Columns = {MakeColumn("id", dctBigInt, 0, false, "", true, false, true), MakeColumn("grp", dctVarchar, 16),
                  MakeColumn("n", dctInteger)};
  ASSERT_TRUE(host.DeclareTable(spec));
  for (const char* grp : {"a", "b", "b", "b", "c"}) host.StoreInsert(spec.Name, TJSON{{"grp", grp}, {"n", 0}});

  IOVPluginHost* h = host.Intf();
  const TOVStrRef table(spec.Name);
  auto group = [](const char* g) { return ovdba_cmp_str("grp", OVDBA_EQ, g); };
  const struct {
    const char* step;
    OVDBACriterion* where;  // owned here; NULL: every row
    const char* row;        // nullptr: a deletion
    std::int32_t count;
    const char* sum_after;  // SUM(n) || '/' || COUNT(*)
  } steps[] = {
      {"update none", group("x"), R"({"n": 1})", 0, "0/5"},
      {"update one", group("a"), R"({"n": 1})", 1, "1/5"},
      {"update three", group("b"), R"({"n": 2})", 3, "7/5"},
      {"update three with the values they hold", group("b"), R"({"n": 2})", 3, "7/5"},
      {"update an empty set", ovdba_cmp("id", OVDBA_IN, ovj_parse("[]")), R"({"n": 9})", 0, "7/5"},
      {"update nothing", group("a"), "{}", 0, "7/5"},
      {"update every row", nullptr, R"({"n": 3})", 5, "15/5"},
      {"delete none", group("x"), nullptr, 0, "15/5"},
      {"delete one", group("a"), nullptr, 1, "12/4"},
      {"delete three", group("b"), nullptr, 3, "3/1"},
      {"delete every row", nullptr, nullptr, 1, "/0"},
      {"delete from an empty table", nullptr, nullptr, 0, "/0"},
  };
  auto sum = [&] {
    const TJSON r = host.StoreSelect(TDBASelectSpec{spec.Name, {}, nullptr, {}, 0, 0});
    std::int64_t n = 0;
    for (const TJSON& row : r) n += row["n"].get<std::int64_t>();
    return (r.empty() ? std::string() : std::to_string(n)) + "/" + std::to_string(r.size());
  };
  for (const auto& s : steps) {
    std::int32_t count = -2;
    if (s.row) {
      const TJSON row = TJSON::parse(s.row);
      count = h->vtbl->StoreUpdate(h, table.get(), s.where, BorrowOVJson(&row));
    } else {
      count = h->vtbl->StoreDelete(h, table.get(), s.where);
    }
    ovdba_free(s.where);
    EXPECT_EQ(count, s.count) << s.step;
    EXPECT_EQ(sum(), s.sum_after) << s.step;
  }
  // Errors are raised as before, not counted.
  const TJSON bad = TJSON::parse(R"({"no_such_column": 1})");
  EXPECT_THROW(h->vtbl->StoreUpdate(h, table.get(), nullptr, BorrowOVJson(&bad)), std::exception);
  EXPECT_THROW(h->vtbl->StoreDelete(h, TOVStrRef("p_counter_missing").get(), nullptr), std::exception);
}
