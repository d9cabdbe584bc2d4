// Paged lists on every backend: the pages, totals and order of the plain statement, from either
// end of a list, with filters and searches and past the end, and plans that never step over
// rows to reach a deep page; an earlier SQLite board given its log's indexes at its next
// start; lookups by name and GUID through an index.  The tallies PostgreSQL and MariaDB keep
// of the log and the users (ov_tally.h): exact after every kind of write, whoever makes it,
// mended at the next start when something went round them, and built for a board an earlier
// version made, with every row kept.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db_test_env.h"
#include "ov_paging.h"
#include "ov_schema.h"
#include "ov_tally.h"
#include "plugin_test_env.h"

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

// What the plans of a list must show: nothing, the page reached over keys alone (and on SQLite
// the total counted on an index alone), or (SQLite) a search whose statements read the table
// once between them, whatever the page.
enum class Plans { Any, Keys, OnePass };

// The keys of the lists are spread (every 37th for the log, every 7th user), so that the rows
// of a list lie in many blocks of keys on PostgreSQL and MariaDB (ov_tally.h) and a page often
// spans two.
class PagedLists : public ovtest::BackendDBTest {
 protected:
  void SetUp() override {
    BackendDBTest::SetUp();
    if (IsSkipped()) return;
    auto db = DB.Get();
    const Words w{db->Backend()};
    const char* levels = "CASE WHEN i % 20 = 0 THEN 'error' WHEN i % 10 = 1 THEN 'warning' ELSE 'info' END";
    for (const std::string& sql :
         {w.Fill("system_logs", "id, level, source, category, message",
                 "i * 37, " + std::string(levels) + ", CASE WHEN i % 3 = 0 THEN 'ws' ELSE 'http' END, " +
                     "CASE WHEN i % 4 = 0 THEN 'auth' WHEN i % 7 = 0 THEN 'task' ELSE 'general' END, " +
                     w.Cat("line ", "i * 7 % 1000"),
                 kRows),
          w.Fill("users", "id, guid, username, password_hash, password_salt",
                 "i * 7, " + w.Cat("g", "i") + ", " + w.Cat("u", "i") + ", 'h', 's'", 3000),
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
          // SQLite counts the total on an index that holds the filter's columns; on PostgreSQL
          // and MariaDB the total's plan is the database's choice of index (or the tally's few
          // rows).  The pages' plans are checked everywhere.
          if (plans == Plans::Keys && sql.find("_tally") == std::string::npos &&
              (Backend() == dbSQLite || sql.rfind("SELECT COUNT(*) FROM " + s.table, 0) != 0))
            CheckPlan(st, s.table);
          if (plans == Plans::OnePass && Backend() == dbSQLite)
            full_scans += CheckOnePass(st, s.table, s.order.front().descending);
          // A tally places the page in its block: never more than a block's rows stepped over.
          if (s.tally && sql.find("OFFSET :off") != std::string::npos) {
            EXPECT_LE(ParamInt(st, "off"), s.tally->BlockSize()) << sql;
          }
        });
    EXPECT_LE(full_scans, 1) << s.where << " page " << page << " of " << per_page;
    std::vector<std::int64_t> want;
    for (std::int64_t i = p.offset; i < static_cast<std::int64_t>(all.size()) && i < p.offset + p.per_page; ++i)
      want.push_back(all[static_cast<std::size_t>(i)]);
    const std::string what = s.table + " where [" + s.where + "] page " + std::to_string(page) + " of " +
                             std::to_string(per_page);
    EXPECT_EQ(got.total, static_cast<std::int64_t>(all.size())) << what;
    EXPECT_EQ(got.rows.get<std::vector<std::int64_t>>(), want) << what;
  }

  static std::int64_t ParamInt(TOVQueryBase& st, const std::string& name) {
    const auto& names = st.Raw().ParamNames();
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return st.Raw().ParamAt(i).AsInt64();
    return -1;
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

  // SQLite reads a search in key order, without sorting: the matches before the page, the
  // page and the matches past it, each statement from the key the one before stopped at
  // (past the end, the first has counted them all): together, one pass over the table.  1
  // when the statement scans the table from its first row.
  int CheckOnePass(TOVQueryBase& st, const std::string& table, bool descending) {
    int full = 0;
    for (const auto& row : Explain(st)) {
      const std::string& line = row.back();
      EXPECT_EQ(line.find("TEMP B-TREE"), std::string::npos) << st.SQL();
      if (line.find(" " + table) == std::string::npos) continue;
      if (line == "SCAN " + table) {
        ++full;
      } else {
        const std::string seek = std::string("INTEGER PRIMARY KEY (rowid") + (descending ? "<" : ">") + "?)";
        EXPECT_NE(line.find(seek), std::string::npos) << st.SQL() << "\n" << line;
      }
    }
    return full;
  }
};

INSTANTIATE_TEST_SUITE_P(Backends, PagedLists, ::testing::Values("sqlite3", "postgresql", "mariadb"));

// A list of a table with a tally, as the server reads it: through the tally where the
// database keeps one (PostgreSQL, MariaDB), through its indexes elsewhere.
TOVPagedSelect Tallied(TOVPagedSelect s) {
  s.tally = LiveTally(s.table);
  return s;
}

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
      {Select("system_logs", "level = :l AND source = :s", {{"id", true}}, {{"l", "warning"}, {"s", "ws"}}),
       Plans::Keys},
      {Select("system_logs", "level = :l", {{"id", true}}, {{"l", "nothing"}}), Plans::Keys},
      {Select("users", "", {{"id", false}}), Plans::Keys},
      // As the server reads its log and users lists.
      {Tallied(Select("system_logs", "", {{"id", true}})), Plans::Keys},
      {Tallied(Select("system_logs", "level = :l", {{"id", true}}, {{"l", "info"}})), Plans::Keys},
      {Tallied(Select("system_logs", "category = :c", {{"id", true}}, {{"c", "task"}})), Plans::Keys},
      {Tallied(Select("system_logs", "level = :l AND source = :s", {{"id", true}}, {{"l", "warning"}, {"s", "ws"}})),
       Plans::Keys},
      {Tallied(Select("system_logs", "source = :s AND category = :c", {{"id", true}}, {{"s", "http"}, {"c", "auth"}})),
       Plans::Keys},
      {Tallied(Select("system_logs", "category = :c AND level = :l", {{"id", true}}, {{"c", "auth"}, {"l", "info"}})),
       Plans::Keys},
      {Tallied(Select("system_logs", "level = :l AND source = :s AND category = :c", {{"id", true}},
                      {{"l", "info"}, {"s", "ws"}, {"c", "general"}})),
       Plans::Any},
      {Tallied(Select("system_logs", "level = :l AND source = :s", {{"id", true}}, {{"l", "error"}, {"s", "nowhere"}})),
       Plans::Keys},
      {Tallied(Select("users", "", {{"id", false}})), Plans::Keys},
      {Select("scheduler_log", "", {{"started_at", true}, {"id", true}}), Plans::Keys},
      // Searches read the rows they filter, once for the page and the total together.
      {Select("system_logs", like, {{"id", true}}, {{"s", "%line 7%"}}, true), Plans::OnePass},
      {Select("system_logs", like + " AND level = :l", {{"id", true}}, {{"s", "%9%"}, {"l", "info"}}, true), Plans::Any},
      {Select("system_logs", like, {{"id", true}}, {{"s", "%line 4%9%"}}, true), Plans::OnePass},  // rarer than a page
      {Select("system_logs", like, {{"id", true}}, {{"s", "%nowhere%"}}, true), Plans::OnePass},
      {Select("system_logs", like, {{"id", false}}, {{"s", "%line 7%"}}, true), Plans::OnePass},  // oldest first
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

// The lists of an SQLite board alone.
class SQLiteLists : public PagedLists {};

INSTANTIATE_TEST_SUITE_P(SQLite, SQLiteLists, ::testing::Values("sqlite3"));

// A board an earlier version made (its log without the indexes over pairs of its filters): the
// next start builds them over the rows the log holds and says so, the start after that builds
// nothing, and a list with two filters then counts and walks its pages on one index.
TEST_P(SQLiteLists, AnEarlierBoardGetsTheIndexesOfItsLogFiltersAtItsNextStart) {
  const std::vector<std::string> pairs = {"idx_logs_level_source", "idx_logs_level_category",
                                          "idx_logs_source_category"};
  {
    auto db = DB.Get();
    for (const std::string& name : pairs) db->ExecSQL("DROP INDEX " + name);
  }
  const std::string built = "Schema: built index idx_logs_level_source, idx_logs_level_category, "
                            "idx_logs_source_category over " + std::to_string(kRows) + " rows in ";
  for (int start = 0; start < 2; ++start) {
    DB.Free();
    ovtest::LogCapture log;
    DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db"));
    EXPECT_EQ(log.Count(built), start == 0 ? 1 : 0) << "start " << start;
    EXPECT_EQ(log.Count("Schema: built"), start == 0 ? 1 : 0) << "start " << start;
  }
  auto own = OwnConnection();
  for (const std::string& name : pairs)
    EXPECT_EQ(own->Run("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = '" + name + "'", {}).rows.size(),
              1u)
        << name;
  const TOVPagedSelect s =
      Select("system_logs", "category = :c AND source = :s", {{"id", true}}, {{"c", "auth"}, {"s", "ws"}});
  const std::vector<std::int64_t> all = AllKeys(s);
  const auto last = static_cast<std::int64_t>((all.size() + 99) / 100);
  ASSERT_GT(last, 2);
  for (const std::int64_t page : {std::int64_t{1}, last / 2, last, last + 1}) CheckPage(s, all, page, 100, Plans::Keys);
}

// A login and every lookup by GUID find their row through an index on every backend, so that
// they cost the same however many users the board has.  (MariaDB keeps unique TEXT keys as
// hashes it never looks a row up by.)
TEST_P(PagedLists, LookupsByNameAndGuidUseAnIndex) {
  const char* lookups[] = {
      ("SELECT id, guid, password_hash, password_salt, is_admin, is_active, is_locked, locked_until, failed_logins, "
       "security_level FROM users WHERE username = :v"),
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

// ---- tallies ----------------------------------------------------------------------------------

namespace {

using BlockCounts = std::vector<std::pair<std::int64_t, std::int64_t>>;

BlockCounts Counts(const sql::ResultSet& rs) {
  BlockCounts out;
  for (const auto& r : rs.rows) out.emplace_back(r.at(0).AsInt64(), r.at(1).AsInt64());
  return out;
}

// The filters the checks compare under: every column alone and together, with values in other
// letter case and with a trailing blank (equal to MariaDB's case-insensitive, blank-padding
// collation, different to PostgreSQL).
const std::vector<std::string> kLogFilters = {
    "",
    "level = 'error'",
    "level = 'ERROR'",
    "level = 'info '",
    "source = 'ws'",
    "category = 'auth'",
    "level = 'warning' AND source = 'http'",
    "source = 'ws' AND category = 'task'",
    "level = 'info' AND source = 'ws' AND category = 'auth'",
};

class Tallies : public ovtest::BackendDBTest {
 protected:
  const TOVTallySpec& Spec(const char* table) const {
    for (const TOVTallySpec& t : TallySpecs())
      if (t.table == table) return t;
    throw std::logic_error("no tally spec");
  }

  // Per block, the rows each filter selects as the tally counts them and as the table holds
  // them, seen from a connection of its own (what is committed).
  void ExpectExact(const std::string& step) {
    ASSERT_NE(LiveTally("system_logs"), nullptr) << step;
    ASSERT_NE(LiveTally("users"), nullptr) << step;
    auto own = OwnConnection();
    const sql::Backend kind = own->Kind();
    for (const char* table : {"system_logs", "users"}) {
      const TOVTallySpec& t = Spec(table);
      for (const std::string& f : t.columns.empty() ? std::vector<std::string>{""} : kLogFilters) {
        const std::string where = f.empty() ? "" : " WHERE " + f;
        const BlockCounts counted = Counts(own->Run("SELECT block_no, SUM(n) FROM " + t.Name() + where +
                                                    " GROUP BY block_no HAVING SUM(n) <> 0 ORDER BY block_no", {}));
        const BlockCounts held = Counts(own->Run("SELECT " + KeyBlockExpr(kind, "id", t.block_bits) + ", COUNT(*) FROM " +
                                                 table + where + " GROUP BY 1 ORDER BY 1", {}));
        EXPECT_EQ(counted, held) << step << ": " << table << where;
      }
    }
  }

  void Restart() {
    DB.Free();
    DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db"));
  }

  // The log list filtered by level, as the server reads it (through the tally when the board
  // keeps one): the page and total of the plain statement.
  static void ExpectLogPage(const std::string& level, std::int64_t page, std::int64_t per_page) {
    auto q = DB.Get()->NewReadQuery();
    const TOVPagedRows got = ReadPagedRows(q, Tallied(Select("system_logs", "level = :l", {{"id", true}}, {{"l", level}})),
                                           MakePaging(page, per_page, {per_page, 500}),
                                           [](const TOVQueryBase& r) { return TJSON(r.Int("id")); });
    q.SetSQL("SELECT id FROM system_logs WHERE level = :l ORDER BY id DESC");
    q.Param("l", level);
    std::vector<std::int64_t> all;
    for (q.Open(); !q.Eof(); q.Next()) all.push_back(q.Int("id"));
    ASSERT_GT(all.size(), static_cast<std::size_t>(page * per_page));
    EXPECT_EQ(got.total, static_cast<std::int64_t>(all.size()));
    EXPECT_EQ(got.rows.get<std::vector<std::int64_t>>(),
              std::vector<std::int64_t>(all.begin() + (page - 1) * per_page, all.begin() + page * per_page));
  }
};

INSTANTIATE_TEST_SUITE_P(Servers, Tallies, ::testing::Values("postgresql", "mariadb"));

// INSERT ... SELECT over the numbers 1..n as i, in the backend's words.
std::string FillLogs(TDBABackend backend, const std::string& id, std::int64_t n) {
  const std::string values =
      id + ", CASE WHEN i % 9 = 0 THEN 'Error' WHEN i % 5 = 0 THEN 'error' WHEN i % 7 = 0 THEN 'info ' "
           "WHEN i % 3 = 0 THEN 'warning' ELSE 'info' END, CASE WHEN i % 2 = 0 THEN 'ws' ELSE 'http' END, "
           "CASE WHEN i % 4 = 0 THEN 'auth' WHEN i % 11 = 0 THEN 'task' ELSE 'general' END, 'm'";
  const std::string head = "INSERT INTO system_logs (id, level, source, category, message) SELECT " + values;
  if (backend == dbPostgres) return head + " FROM generate_series(1, " + std::to_string(n) + ") AS n(i)";
  return head + " FROM (SELECT seq AS i FROM seq_1_to_" + std::to_string(n) + ") AS n";
}

}  // namespace

TEST_P(Tallies, CountExactlyAfterEveryWrite) {
  auto db = DB.Get();
  const TDBABackend b = db->Backend();
  // Each write, in order, as the server, a plug-in or the SQL console might make it.
  const std::vector<std::pair<std::string, std::string>> writes = {
      {"bulk insert", FillLogs(b, "100000 + i * 13", 4000)},
      {"users", "INSERT INTO users (id, guid, username, password_hash, password_salt) VALUES "
                "(5, 'g5', 'u5', 'h', 's'), (4100, 'g4100', 'u4100', 'h', 's'), (9000, 'g9000', 'u9000', 'h', 's')"},
      {"levels changed", "UPDATE system_logs SET level = 'warning' WHERE id % 5 = 0"},
      {"letter case changed", "UPDATE system_logs SET level = 'ERROR' WHERE level = 'error' AND id % 3 = 0"},
      {"rows moved to other blocks", "UPDATE system_logs SET id = id + 50000 WHERE id % 7 = 0"},
      {"message changed", "UPDATE system_logs SET message = 'n' WHERE id % 2 = 0"},
      {"users changed", "UPDATE users SET last_login = " + db->NowExpr() + ", id = id + 20000 WHERE id = 4100"},
      {"rows deleted", "DELETE FROM system_logs WHERE category = 'task'"},
      {"users deleted", "DELETE FROM users WHERE id = 5"},
      {"batch deleted", b == dbPostgres ? "DELETE FROM system_logs WHERE ctid = ANY(ARRAY(SELECT ctid FROM system_logs "
                                          "WHERE level = 'info' LIMIT 500))"
                                        : "DELETE FROM system_logs WHERE level = 'info' LIMIT 500"},
  };
  ExpectExact("new board");
  for (const auto& [step, sql] : writes) {
    db->ExecSQL(sql);
    ExpectExact(step);
  }
  // The log sink's statements, and a write rolled back.
  db->WriteLogBatch({{"info", "ws", "auth", "a", ""}, {"error", "http", "task", "b", ""}, {"Info", "ws", "auth", "c", ""}});
  ExpectExact("log sink");
  db->BeginBatch();
  db->ExecSQL("DELETE FROM system_logs WHERE source = 'ws'");
  db->RollbackBatch();
  ExpectExact("rolled back");

  // Written round the triggers, mended at the next start: a count made wrong, and a trigger
  // gone while rows changed (the total stays right, the blocks do not).
  db->ExecSQL("UPDATE system_logs_tally SET n = n + 5 WHERE block_no = (SELECT MIN(block_no) FROM (SELECT block_no "
              "FROM system_logs_tally) t)");
  db = {};
  Restart();
  ExpectExact("a count made wrong, after a start");
  db = DB.Get();
  db->ExecSQL(b == dbPostgres ? "DROP TRIGGER system_logs_tally_upd ON system_logs" : "DROP TRIGGER system_logs_tally_upd");
  db->ExecSQL("UPDATE system_logs SET id = id + 90000 WHERE id % 3 = 0");
  db = {};
  Restart();
  ExpectExact("a trigger gone, after a start");

  // TRUNCATE, which fires no trigger on MariaDB: the SQL console clears what counted the rows.
  db = DB.Get();
  db->ExecSQL("TRUNCATE TABLE system_logs");
  {
    TOVDBLockGuard lock(*db);
    ClearTalliesOfEmptyTables(db->Connection(), &db->Transaction(), {LiveTally("system_logs"), LiveTally("users")});
    db->Commit();
  }
  db->ExecSQL(FillLogs(b, "i * 3", 300));
  ExpectExact("truncated and filled again");
}

// A board as the previous version made it (its log and users tables as that version's DDL
// wrote them, filled): the next start adds the indexes and the tallies, keeps every row, and
// its lists answer as before.
TEST_P(Tallies, AnEarlierBoardIsUpgradedAtItsNextStart) {
  DB.Free();
  Config.Free();
  ASSERT_TRUE(ovtest::WriteDatabaseConfig(GetParam(), dir / "old.ini"));
  Config.Publish(std::make_unique<TOVConfig>(dir / "old.ini"));
  const bool pg = GetParam() == "postgresql";
  const std::vector<std::string> old_ddl =
      pg ? std::vector<std::string>{
               "CREATE TABLE system_logs (id BIGSERIAL PRIMARY KEY, \"timestamp\" TIMESTAMP NOT NULL DEFAULT (NOW()), "
               "level TEXT NOT NULL DEFAULT ('info'), source TEXT NOT NULL DEFAULT ('system'), category TEXT NOT NULL "
               "DEFAULT ('general'), message TEXT NOT NULL DEFAULT (''), details TEXT NOT NULL DEFAULT (''))",
               "CREATE INDEX idx_logs_timestamp ON system_logs (\"timestamp\")",
               "CREATE INDEX idx_logs_source ON system_logs (source)",
               "CREATE INDEX idx_logs_level ON system_logs (level)",
               "CREATE INDEX idx_logs_category ON system_logs (category)",
               "CREATE INDEX idx_logs_source_id ON system_logs (source, id)",
               "CREATE INDEX idx_logs_level_id ON system_logs (level, id)",
               "CREATE INDEX idx_logs_category_id ON system_logs (category, id)",
               "CREATE TABLE users (id BIGSERIAL PRIMARY KEY, guid TEXT NOT NULL DEFAULT (''), username TEXT NOT NULL "
               "UNIQUE, password_hash TEXT NOT NULL, password_salt TEXT NOT NULL, email TEXT NOT NULL DEFAULT (''), "
               "real_name TEXT NOT NULL DEFAULT (''), location TEXT NOT NULL DEFAULT (''), security_level INTEGER NOT "
               "NULL DEFAULT (10), is_admin INTEGER NOT NULL DEFAULT (0), gender TEXT NOT NULL DEFAULT (''), "
               "is_active INTEGER NOT NULL DEFAULT (1), is_locked INTEGER NOT NULL DEFAULT (0), failed_logins INTEGER "
               "NOT NULL DEFAULT (0), locked_until TIMESTAMP, last_login TIMESTAMP, total_calls INTEGER NOT NULL "
               "DEFAULT (0), total_posts INTEGER NOT NULL DEFAULT (0), total_uploads INTEGER NOT NULL DEFAULT (0), "
               "total_downloads INTEGER NOT NULL DEFAULT (0), created_at TIMESTAMP NOT NULL DEFAULT (NOW()), "
               "updated_at TIMESTAMP NOT NULL DEFAULT (NOW()))",
               "CREATE UNIQUE INDEX idx_users_guid ON users (guid)"}
         : std::vector<std::string>{
               "CREATE TABLE `system_logs` (`id` bigint(20) NOT NULL AUTO_INCREMENT, `timestamp` datetime NOT NULL "
               "DEFAULT current_timestamp(), `level` text NOT NULL DEFAULT 'info', `source` text NOT NULL DEFAULT "
               "'system', `category` text NOT NULL DEFAULT 'general', `message` text NOT NULL DEFAULT '', `details` "
               "text NOT NULL DEFAULT '', PRIMARY KEY (`id`), KEY `idx_logs_timestamp` (`timestamp`), KEY "
               "`idx_logs_source` (`source`(191)), KEY `idx_logs_level` (`level`(191)), KEY `idx_logs_category` "
               "(`category`(191))) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci",
               "CREATE TABLE `users` (`id` bigint(20) NOT NULL AUTO_INCREMENT, `guid` text NOT NULL DEFAULT '', "
               "`username` text NOT NULL, `password_hash` text NOT NULL, `password_salt` text NOT NULL, `email` text "
               "NOT NULL DEFAULT '', `real_name` text NOT NULL DEFAULT '', `location` text NOT NULL DEFAULT '', "
               "`security_level` int(11) NOT NULL DEFAULT 10, `is_admin` int(11) NOT NULL DEFAULT 0, `gender` text "
               "NOT NULL DEFAULT '', `is_active` int(11) NOT NULL DEFAULT 1, `is_locked` int(11) NOT NULL DEFAULT 0, "
               "`failed_logins` int(11) NOT NULL DEFAULT 0, `locked_until` datetime DEFAULT NULL, `last_login` "
               "datetime DEFAULT NULL, `total_calls` int(11) NOT NULL DEFAULT 0, `total_posts` int(11) NOT NULL "
               "DEFAULT 0, `total_uploads` int(11) NOT NULL DEFAULT 0, `total_downloads` int(11) NOT NULL DEFAULT 0, "
               "`created_at` datetime NOT NULL DEFAULT current_timestamp(), `updated_at` datetime NOT NULL DEFAULT "
               "current_timestamp(), PRIMARY KEY (`id`), UNIQUE KEY `username` (`username`) USING HASH, UNIQUE KEY "
               "`idx_users_guid` (`guid`) USING HASH) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 "
               "COLLATE=utf8mb4_general_ci"};
  const TDBABackend b = pg ? dbPostgres : dbMariaDB;
  const std::string users = "INSERT INTO users (id, guid, username, password_hash, password_salt) SELECT i * 11, " +
                            std::string(pg ? "'g' || i, 'u' || i" : "CONCAT('g', i), CONCAT('u', i)") + ", 'h', 's' " +
                            (pg ? "FROM generate_series(1, 700) AS n(i)" : "FROM (SELECT seq AS i FROM seq_1_to_700) n");
  // What the board holds, to compare after the start: every row, whole.
  const std::string digest =
      pg ? "SELECT COUNT(*), SUM(id), SUM(length(level || source || category || message)) FROM system_logs"
         : "SELECT COUNT(*), SUM(id), SUM(CHAR_LENGTH(CONCAT(level, source, category, message))) FROM system_logs";
  sql::ResultSet before;
  {
    auto own = OwnConnection();
    for (const std::string& sql : old_ddl) own->Run(sql, {});
    own->Run(FillLogs(b, "i * 17", 3000), {});
    own->Run(users, {});
    before = own->Run(digest, {});
  }

  DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db"));
  ExpectExact("upgraded");
  auto own = OwnConnection();
  const sql::ResultSet after = own->Run(digest, {});
  for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(after.rows.at(0).at(c).AsText(), before.rows.at(0).at(c).AsText()) << c;
  EXPECT_EQ(own->Run("SELECT COUNT(*) FROM users", {}).rows.at(0).at(0).AsInt64(), 700);
  const std::string indexes =
      pg ? "SELECT indexname FROM pg_indexes WHERE schemaname = current_schema() AND indexname = "
         : "SELECT DISTINCT index_name FROM information_schema.statistics WHERE table_schema = DATABASE() AND "
           "index_name = ";
  const std::vector<std::string> added =
      pg ? std::vector<std::string>{"idx_logs_level_source_id", "idx_logs_level_category_id", "idx_logs_source_category_id"}
         : std::vector<std::string>{"idx_logs_level_source", "idx_logs_level_category", "idx_logs_source_category",
                                    "idx_users_username_lookup", "idx_users_guid_lookup"};
  for (const std::string& name : added) EXPECT_EQ(own->Run(indexes + "'" + name + "'", {}).rows.size(), 1u) << name;

  ExpectLogPage("error", 3, 50);
}

// A MariaDB user granted everything on the board but TRIGGER (which a DBA may well leave out):
// the board starts without tallies, leaves none behind, and its lists count their rows.
TEST_P(Tallies, WithoutTheRightToCreateTriggersTheListsCountTheirRows) {
  if (GetParam() != "mariadb") GTEST_SKIP() << "on PostgreSQL the owner of a table may create its triggers";
  DB.Free();
  Config.Free();
  ASSERT_TRUE(ovtest::WriteDatabaseConfig(GetParam(), dir / "limited.ini"));
  std::string ini;
  {
    std::ifstream in(dir / "limited.ini");
    ini.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string name = ini.substr(ini.find("name=") + 5, ini.find('\n', ini.find("name=")) - ini.find("name=") - 5);
  const std::string user = "ovt_nt_" + std::to_string(::getpid());
  {
    auto admin = sql::CreateConnection(sql::Backend::MariaDB, *ovtest::TestServerOptions(sql::Backend::MariaDB));
    admin->Open();
    admin->Run("CREATE OR REPLACE USER '" + user + "'@'%' IDENTIFIED BY 'pw'", {});
    admin->Run("GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, ALTER, INDEX, REFERENCES ON " + name + ".* TO '" +
                   user + "'@'%'",
               {});
  }
  ini.replace(ini.find("username="), ini.find('\n', ini.find("username=")) - ini.find("username="), "username=" + user);
  ini.replace(ini.find("password="), ini.find('\n', ini.find("password=")) - ini.find("password="), "password=pw");
  std::ofstream(dir / "limited.ini", std::ios::trunc) << ini;
  Config.Publish(std::make_unique<TOVConfig>(dir / "limited.ini"));
  DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db"));

  EXPECT_EQ(LiveTally("system_logs"), nullptr);
  EXPECT_EQ(LiveTally("users"), nullptr);
  auto db = DB.Get();
  EXPECT_FALSE(db->TableExists("system_logs_tally"));
  db->ExecSQL(FillLogs(dbMariaDB, "i", 300));
  ExpectLogPage("info", 2, 10);
}
