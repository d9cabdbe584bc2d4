// Paged lists on every backend: the pages, totals and order of the plain statement, from either
// end of a list, with filters and searches and past the end, and plans that never step over
// rows to reach a deep page.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "db_test_env.h"
#include "ov_paging.h"

using namespace ov;

namespace {

constexpr std::int64_t kRows = 5000;

// "INSERT INTO <table> (<columns>) SELECT <values> FROM" the numbers 1..n as column i, in each
// backend's words.  Values use Cat for concatenation and Minutes for a time i minutes after
// 2024-01-01.
struct Words {
  TDBABackend backend;
  std::string Cat(const std::string& text, const std::string& expr) const {
    return backend == dbSQLite ? "'" + text + "' || (" + expr + ")" : "CONCAT('" + text + "', " + expr + ")";
  }
  std::string Minutes(const std::string& expr) const {
    switch (backend) {
      case dbSQLite: return "datetime('2024-01-01 00:00:00', '+' || (" + expr + ") || ' minutes')";
      case dbPostgres: return "TIMESTAMP '2024-01-01 00:00:00' + (" + expr + ") * INTERVAL '1 minute'";
      default: return "TIMESTAMP '2024-01-01 00:00:00' + INTERVAL (" + expr + ") MINUTE";
    }
  }
  std::string Fill(const std::string& table, const std::string& columns, const std::string& values,
                   std::int64_t n) const {
    const std::string N = std::to_string(n);
    switch (backend) {
      case dbSQLite:
        return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + N + ") INSERT INTO " +
               table + " (" + columns + ") SELECT " + values + " FROM n";
      case dbPostgres:
        return "INSERT INTO " + table + " (" + columns + ") SELECT " + values + " FROM generate_series(1, " + N +
               ") AS n(i)";
      default:
        return "INSERT INTO " + table + " (" + columns + ") SELECT " + values + " FROM (SELECT seq AS i FROM seq_1_to_" +
               N + ") AS n";
    }
  }
};

// Whether a plan (rows of EXPLAIN) steps over rows of table to reach the page instead of over
// keys: SQLite must reach table only through a covering index or its integer key; on
// PostgreSQL the scan that the LIMIT stops must be an index-only scan; on MariaDB the derived
// table of the page's keys must be read through a key of the table (its primary key is the
// table itself, walked in key order).  How the page's rows are then fetched by key is the
// planner's choice (a small table may well be read whole).
bool WalksRows(TDBABackend backend, const std::string& table, const std::vector<std::vector<std::string>>& plan) {
  switch (backend) {
    case dbSQLite:  // columns: id, parent, notused, detail
      for (const auto& row : plan) {
        const std::string& line = row.back();
        if (line.find(" " + table) != std::string::npos && line.find("COVERING INDEX") == std::string::npos &&
            line.find("INTEGER PRIMARY KEY") == std::string::npos)
          return true;
      }
      return false;
    case dbPostgres: {  // one column of text lines
      bool limit = false;
      for (const auto& row : plan) {
        const std::string& line = row.front();
        if (line.find("Limit") != std::string::npos) limit = true;
        if (limit && line.find(" on " + table) != std::string::npos) return line.find("Index Only Scan") == std::string::npos;
      }
      return true;
    }
    default: {  // columns: id, select_type, table, type, possible_keys, key, ...
      bool derived = false;
      for (const auto& row : plan) {
        if (row.size() < 6 || row[1] != "DERIVED" || row[2] != table) continue;
        derived = true;
        if (row[3] == "ALL" || row[5].empty()) return true;
      }
      return !derived;
    }
  }
}

// The rows of EXPLAIN (EXPLAIN QUERY PLAN on SQLite) of a statement set and bound, as text.
std::vector<std::vector<std::string>> Explain(TOVQueryBase& st) {
  auto db = DB.Get();
  auto e = db->NewReadQuery();
  e.SetSQL((db->Backend() == dbSQLite ? "EXPLAIN QUERY PLAN " : "EXPLAIN ") + st.SQL());
  const auto& names = st.Raw().ParamNames();
  for (std::size_t i = 0; i < names.size(); ++i) e.ParamValue(names[i], st.Raw().ParamAt(i));
  std::vector<std::vector<std::string>> plan;
  for (e.Open(); !e.Eof(); e.Next()) {
    std::vector<std::string> row;
    for (std::size_t c = 0; c < e.FieldCount(); ++c) row.push_back(e.Field(c).AsText());
    plan.push_back(std::move(row));
  }
  return plan;
}

// What the plans of a list must show: nothing, the page reached over keys alone, or (SQLite) a
// search whose statements read the table once between them.
enum class Plans { Any, Keys, OnePass };

class PagedLists : public ovtest::BackendDBTest {
 protected:
  void SetUp() override {
    BackendDBTest::SetUp();
    if (IsSkipped()) return;
    auto db = DB.Get();
    const Words w{db->Backend()};
    const char* levels = "CASE WHEN i % 20 = 0 THEN 'error' WHEN i % 10 = 1 THEN 'warning' ELSE 'info' END";
    for (const std::string& sql :
         {w.Fill("system_logs", "level, source, category, message",
                 std::string(levels) + ", CASE WHEN i % 3 = 0 THEN 'ws' ELSE 'http' END, 'general', " +
                     w.Cat("line ", "i * 7 % 1000"),
                 kRows),
          w.Fill("users", "guid, username, password_hash, password_salt", w.Cat("g", "i") + ", " + w.Cat("u", "i") +
                 ", 'h', 's'", 3000),
          w.Fill("scheduler_log", "task_name, plugin_name, started_at", "'t', 'p', " + w.Minutes("i % 40"), 3000)})
      db->ExecSQL(sql);
    // What a running server has: statistics, and on PostgreSQL the visibility map that lets an
    // index answer without the table (autovacuum's work).  A VACUUM right after the load may
    // find the new rows too young to mark; it is repeated until every page is marked.
    const char* tables[] = {"system_logs", "users", "scheduler_log"};
    auto own = OwnConnection();
    if (GetParam() == "mariadb")
      for (const char* table : tables) own->Run(std::string("ANALYZE TABLE ") + table, {});
    if (GetParam() == "postgresql") {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      for (const char* table : tables) {
        for (;;) {
          own->Run(std::string("VACUUM ANALYZE ") + table, {});
          const sql::ResultSet rs =
              own->Run(std::string("SELECT relallvisible >= relpages FROM pg_class WHERE relname = '") + table + "'", {});
          if (rs.rows.at(0).at(0).AsBool() || std::chrono::steady_clock::now() > deadline) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
    }
  }

  // The keys of the whole list, in its order, from the plain statement.
  std::vector<std::int64_t> AllKeys(const TOVPagedSelect& s) {
    auto db = DB.Get();
    auto q = db->NewReadQuery();
    std::string order;
    for (const TOVOrderColumn& c : s.order) order += (order.empty() ? "" : ", ") + c.column + (c.descending ? " DESC" : " ASC");
    q.SetSQL("SELECT id FROM " + s.table + (s.where.empty() ? "" : " WHERE " + s.where) + " ORDER BY " + order);
    if (s.bind) s.bind(q);
    std::vector<std::int64_t> keys;
    for (q.Open(); !q.Eof(); q.Next()) keys.push_back(q.Int("id"));
    return keys;
  }

  // Reads the page and checks it against the plain statement, and the plans of its statements
  // as plans says.
  void CheckPage(const TOVPagedSelect& s, const std::vector<std::int64_t>& all, std::int64_t page,
                 std::int64_t per_page, Plans plans) {
    const TOVPaging p = MakePaging(page, per_page, {per_page, 500});
    auto db = DB.Get();
    auto q = db->NewReadQuery();
    int full_scans = 0;
    const TOVPagedRows got = ReadPagedRows(
        q, s, p, [](const TOVQueryBase& r) { return TJSON(r.Int("id")); },
        [&](TOVQueryBase& st) {
          const std::string& sql = st.SQL();
          if (sql.rfind("SELECT ", 0) != 0) return;
          // The total's plan is the database's choice of index; the pages' plans are checked.
          if (plans == Plans::Keys && sql.rfind("SELECT COUNT(*) FROM " + s.table, 0) != 0) CheckPlan(st, s.table);
          if (plans == Plans::OnePass && Backend() == dbSQLite) full_scans += CheckOnePass(st, s.table);
        });
    // Only a page past the end has to count the matches again.
    if (p.offset == 0 || p.offset < static_cast<std::int64_t>(all.size())) {
      EXPECT_LE(full_scans, 1);
    }
    std::vector<std::int64_t> want;
    for (std::int64_t i = p.offset; i < static_cast<std::int64_t>(all.size()) && i < p.offset + p.per_page; ++i)
      want.push_back(all[static_cast<std::size_t>(i)]);
    const std::string what = s.table + " where [" + s.where + "] page " + std::to_string(page) + " of " +
                             std::to_string(per_page);
    EXPECT_EQ(got.total, static_cast<std::int64_t>(all.size())) << what;
    EXPECT_EQ(got.rows.get<std::vector<std::int64_t>>(), want) << what;
  }

  // EXPLAIN of a statement about to run, with its values: it may not step over rows.
  void CheckPlan(TOVQueryBase& st, const std::string& table) {
    const std::vector<std::vector<std::string>> plan = Explain(st);
    std::string text;
    for (const auto& row : plan) {
      for (const std::string& f : row) text += f + " | ";
      text += "\n";
    }
    EXPECT_FALSE(WalksRows(Backend(), table, plan)) << st.SQL() << "\n" << text;
  }

  // SQLite reads a searched page in key order, without sorting, and counts what lies past it
  // from the page's last key on: together, one pass over the table.  1 when the statement
  // scans the whole table.
  int CheckOnePass(TOVQueryBase& st, const std::string& table) {
    int full = 0;
    for (const auto& row : Explain(st)) {
      const std::string& line = row.back();
      EXPECT_EQ(line.find("TEMP B-TREE"), std::string::npos) << st.SQL();
      if (line.find(" " + table) == std::string::npos) continue;
      if (line == "SCAN " + table) {
        ++full;
      } else {
        EXPECT_NE(line.find("INTEGER PRIMARY KEY (rowid<?)"), std::string::npos) << st.SQL() << "\n" << line;
      }
    }
    return full;
  }
};

INSTANTIATE_TEST_SUITE_P(Backends, PagedLists, ::testing::Values("sqlite3", "postgresql", "mariadb"));

TOVPagedSelect Select(std::string table, std::string where, std::vector<TOVOrderColumn> order,
                      std::vector<std::pair<std::string, std::string>> binds = {}, bool scan = false) {
  TOVPagedSelect s;
  s.columns = "id";
  s.table = std::move(table);
  s.where = std::move(where);
  s.order = std::move(order);
  s.bind = [binds](TOVQueryBase& q) {
    for (const auto& [name, value] : binds) q.Param(name, value);
  };
  s.scan = scan;
  return s;
}

}  // namespace

TEST_P(PagedLists, PagesAndTotalsOfThePlainStatementFromEitherEnd) {
  const std::string like = Backend() == dbSQLite ? "message LIKE :s" : "message LIKE :s ESCAPE '!'";
  const struct {
    TOVPagedSelect select;
    Plans plans;
  } lists[] = {
      {Select("system_logs", "", {{"id", true}}), Plans::Keys},
      {Select("system_logs", "level = :l", {{"id", true}}, {{"l", "error"}}), Plans::Keys},
      {Select("system_logs", "level = :l AND source = :s", {{"id", true}}, {{"l", "warning"}, {"s", "ws"}}), Plans::Any},
      {Select("system_logs", "level = :l", {{"id", true}}, {{"l", "nothing"}}), Plans::Keys},
      {Select("users", "", {{"id", false}}), Plans::Keys},
      {Select("scheduler_log", "", {{"started_at", true}, {"id", true}}), Plans::Keys},
      // Searches read the rows they filter, once for the page and the total together.
      {Select("system_logs", like, {{"id", true}}, {{"s", "%line 7%"}}, true), Plans::OnePass},
      {Select("system_logs", like + " AND level = :l", {{"id", true}}, {{"s", "%9%"}, {"l", "info"}}, true), Plans::Any},
      {Select("system_logs", like, {{"id", true}}, {{"s", "%line 4%9%"}}, true), Plans::OnePass},  // rarer than a page
      {Select("system_logs", like, {{"id", true}}, {{"s", "%nowhere%"}}, true), Plans::OnePass},
  };
  for (const auto& l : lists) {
    const std::vector<std::int64_t> all = AllKeys(l.select);
    for (const std::int64_t per_page : {std::int64_t{1}, std::int64_t{7}, std::int64_t{100}}) {
      const std::int64_t last = std::max<std::int64_t>(1, (static_cast<std::int64_t>(all.size()) + per_page - 1) / per_page);
      // First pages, the middle from both sides, the last, one past it and far past it.
      for (const std::int64_t page : {std::int64_t{1}, std::int64_t{2}, last / 2, last / 2 + 1, last - 1, last,
                                      last + 1, last + 1000})
        CheckPage(l.select, all, std::max<std::int64_t>(page, 1), per_page, per_page == 100 ? l.plans : Plans::Any);
    }
  }
}

// A login and every lookup by GUID find their row through an index on every backend, so that
// they cost the same however many users the board has.  (MariaDB keeps unique TEXT keys as
// hashes it never looks a row up by.)
TEST_P(PagedLists, LookupsByNameAndGuidUseAnIndex) {
  const char* lookups[] = {
      "SELECT id, guid, password_hash, password_salt, is_admin, is_active, is_locked, locked_until, failed_logins, "
      "security_level FROM users WHERE username = :v",
      "UPDATE users SET failed_logins = failed_logins + 1 WHERE username = :v",
      "SELECT id FROM users WHERE guid = :v",
  };
  for (const char* sql : lookups) {
    auto db = DB.Get();
    auto q = db->NewReadQuery();
    q.SetSQL(sql);
    q.Param("v", std::string(std::string(sql).find("guid = ") != std::string::npos ? "g1500" : "U1500"));
    const auto plan = Explain(q);
    std::string text;
    bool indexed = false;
    for (const auto& row : plan) {
      for (const std::string& f : row) text += f + " | ";
      text += "\n";
      switch (Backend()) {
        case dbSQLite: indexed |= row.back().find("USING") != std::string::npos; break;
        case dbPostgres: indexed |= row.front().find("Index") != std::string::npos; break;
        default:  // id, select_type, table, type, possible_keys, key, ...: a key looked up, not walked
          indexed |= row.size() > 5 && row[2] == "users" && (row[3] == "ref" || row[3] == "const" || row[3] == "range");
      }
    }
    EXPECT_TRUE(indexed) << sql << "\n" << text;
  }
}
