#include "ov_paging.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace ov {

TOVPaging MakePaging(std::optional<std::int64_t> page, std::optional<std::int64_t> per_page, TOVPageLimits limits) {
  TOVPaging p;
  p.page = page.value_or(1);
  if (p.page < 1) p.page = 1;
  p.per_page = per_page.value_or(limits.default_per_page);
  if (p.per_page < 1) p.per_page = limits.default_per_page;
  if (p.per_page > limits.max_per_page) p.per_page = limits.max_per_page;
  if (p.per_page < 1) p.per_page = 1;  // limits with a default below 1
  // (page - 1) * per_page must fit: page - 1 may be at most INT64_MAX / per_page.
  const std::int64_t max_steps = std::numeric_limits<std::int64_t>::max() / p.per_page;
  if (p.page - 1 > max_steps) p.page = max_steps + 1;
  p.offset = (p.page - 1) * p.per_page;
  return p;
}

namespace {

// The key every list table has, and the last column of every list's order.
constexpr const char* kKey = "id";

// Runs one statement of a list: sets it, binds the filter's values, lets the hook see it.
class ListStatements {
 public:
  ListStatements(TOVQueryBase& q, const TOVPagedSelect& select, const TOVStatementHook& hook)
      : q_(q), select_(select), hook_(hook) {}

  TOVQueryBase& Set(std::string sql) {
    q_.SetSQL(std::move(sql));
    if (select_.bind) select_.bind(q_);
    return q_;
  }
  void Open() {
    if (hook_) hook_(q_);
    q_.Open();
  }
  void Exec() {
    if (hook_) hook_(q_);
    q_.ExecSQL();
  }
  // The first column of the statement's first row as an integer, 0 without a row.
  std::int64_t Scalar() {
    Open();
    const std::int64_t n = q_.Eof() ? 0 : q_.Field(std::size_t{0}).AsInt64(0);
    q_.Close();
    return n;
  }
  // The rows through the caller's row function; last_key gets the key of the last row.
  TJSON Rows(const TOVRowToJSON& row, std::int64_t* last_key = nullptr) {
    TJSON items = TJSON::array();
    Open();
    for (; !q_.Eof(); q_.Next()) {
      items.push_back(row(q_));
      if (last_key) *last_key = q_.Int(kKey);
    }
    q_.Close();
    return items;
  }

  std::string Where() const { return select_.where.empty() ? std::string() : " WHERE " + select_.where; }
  // " WHERE (<where>) AND <extra>", or " WHERE <extra>" without a filter.
  std::string WhereAnd(const std::string& extra) const {
    return select_.where.empty() ? " WHERE " + extra : " WHERE (" + select_.where + ") AND " + extra;
  }
  std::string Order(bool reversed) const {
    std::string out;
    for (const TOVOrderColumn& c : select_.order) {
      if (!out.empty()) out += ", ";
      out += c.column + ((c.descending != reversed) ? " DESC" : " ASC");
    }
    return out;
  }
  // The number of rows the filter selects.
  std::int64_t Count() {
    Set("SELECT COUNT(*) FROM " + select_.table + Where());
    return Scalar();
  }

 private:
  TOVQueryBase& q_;
  const TOVPagedSelect& select_;
  const TOVStatementHook& hook_;
};

// PostgreSQL gives each statement of a READ COMMITTED transaction a snapshot of its own; the
// count and the page of one list must see the same rows, or a list walked from its far end
// would shift under a concurrent delete.  Only before the transaction's first statement.
void OneSnapshot(TOVQueryBase& q, ListStatements& run) {
  const sql::Transaction* tx = q.Raw().Tx();
  if (q.Raw().Conn().Kind() != sql::Backend::Postgres || (tx && tx->Active())) return;
  run.Set("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ");
  run.Exec();
}

// ---- lists an index serves ------------------------------------------------------------------

// The total from the filter's index (or the smallest index of the table), then the page: the
// keys of its rows found by walking the keys alone, from the nearer end of the list, and only
// those rows read.  The rows before the page are never read, however deep it is.
TOVPagedRows ReadIndexed(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                         const TOVRowToJSON& row) {
  TOVPagedRows out;
  out.total = run.Count();
  if (page.offset >= out.total) {  // past the end: an empty page with the right total
    out.rows = TJSON::array();
    return out;
  }
  const std::int64_t limit = std::min(page.per_page, out.total - page.offset);
  const std::int64_t after = out.total - page.offset - limit;  // rows after the page
  const bool from_end = after < page.offset;
  // The derived table holds the page's keys; MariaDB takes a LIMIT in one, not in IN (...).
  TOVQueryBase& q = run.Set("SELECT " + select.columns + " FROM " + select.table + " WHERE " + kKey +
                            " IN (SELECT " + kKey + " FROM (SELECT " + kKey + " FROM " + select.table + run.Where() +
                            " ORDER BY " + run.Order(from_end) + " LIMIT :lim OFFSET :off) ov_page) ORDER BY " +
                            run.Order(false));
  q.Param("lim", limit);
  q.Param("off", from_end ? after : page.offset);
  out.rows = run.Rows(row);
  return out;
}

// ---- lists read in one pass -----------------------------------------------------------------
//
// A filter no index serves must read every row once for the total; the page comes from the
// same pass.  Each database has its own way of counting what a LIMIT leaves out.

// SQLite: the page, read in key order, then the count of the rows past its last key.  The two
// statements read disjoint ranges of the key: together, one pass over the table.
TOVPagedRows ReadScanSQLite(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                            const TOVRowToJSON& row) {
  TOVPagedRows out;
  const bool desc = select.order.front().descending;
  TOVQueryBase& q = run.Set("SELECT " + select.columns + " FROM " + select.table + run.Where() + " ORDER BY " +
                            run.Order(false) + " LIMIT :lim OFFSET :off");
  q.Param("lim", page.per_page);
  q.Param("off", page.offset);
  std::int64_t last = 0;
  out.rows = run.Rows(row, &last);
  const auto n = static_cast<std::int64_t>(out.rows.size());
  if (n == page.per_page) {
    // Counted in the list's order from the page's last key on: SQLite then seeks that key and
    // walks on to the end, instead of testing every row of the table against a bound.
    run.Set("SELECT COUNT(*) FROM (SELECT " + std::string(kKey) + " FROM " + select.table +
            run.WhereAnd(std::string(kKey) + (desc ? " < :last" : " > :last")) + " ORDER BY " + run.Order(false) +
            ") ov_rest")
        .Param("last", last);
    out.total = page.offset + n + run.Scalar();
  } else if (n > 0 || page.offset == 0) {
    out.total = page.offset + n;
  } else {
    out.total = run.Count();  // past the end: nothing told how many there are
  }
  return out;
}

// PostgreSQL: the page's keys with a window count over every matching row (one scan), then
// those rows.
TOVPagedRows ReadScanPostgres(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                              const TOVRowToJSON& row) {
  TOVPagedRows out;
  TOVQueryBase& q = run.Set(std::string("SELECT ") + kKey + ", COUNT(*) OVER () AS ov_total FROM " + select.table +
                            run.Where() + " ORDER BY " + run.Order(false) + " LIMIT :lim OFFSET :off");
  q.Param("lim", page.per_page);
  q.Param("off", page.offset);
  std::vector<std::int64_t> keys;
  run.Open();
  for (; !q.Eof(); q.Next()) {
    keys.push_back(q.Int(kKey));
    out.total = q.Int("ov_total");
  }
  q.Close();
  if (keys.empty()) {
    out.rows = TJSON::array();
    out.total = page.offset == 0 ? 0 : run.Count();  // past the end: no row carried the count
    return out;
  }
  std::string list;
  for (std::size_t i = 0; i < keys.size(); ++i) list += (i ? ", :k" : ":k") + std::to_string(i);
  TOVQueryBase& fetch = run.Set("SELECT " + select.columns + " FROM " + select.table + " WHERE " + kKey + " IN (" +
                                list + ") ORDER BY " + run.Order(false));
  for (std::size_t i = 0; i < keys.size(); ++i) fetch.Param("k" + std::to_string(i), keys[i]);
  out.rows = run.Rows(row);
  return out;
}

// MariaDB: the server counts the rows the LIMIT leaves out while it reads them.
TOVPagedRows ReadScanMariaDB(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                             const TOVRowToJSON& row) {
  TOVPagedRows out;
  TOVQueryBase& q = run.Set("SELECT SQL_CALC_FOUND_ROWS " + select.columns + " FROM " + select.table + run.Where() +
                            " ORDER BY " + run.Order(false) + " LIMIT :lim OFFSET :off");
  q.Param("lim", page.per_page);
  q.Param("off", page.offset);
  out.rows = run.Rows(row);
  run.Set("SELECT FOUND_ROWS()");
  out.total = run.Scalar();
  return out;
}

}  // namespace

TOVPagedRows ReadPagedRows(TOVQueryBase& q, const TOVPagedSelect& select, const TOVPaging& page,
                           const TOVRowToJSON& row, const TOVStatementHook& before_each) {
  if (select.order.empty() || select.order.back().column != kKey)
    throw std::logic_error("ReadPagedRows: the order of " + select.table + " must end with its key");
  if (select.scan && select.order.size() != 1)
    throw std::logic_error("ReadPagedRows: a scanned list of " + select.table + " is ordered by its key alone");
  ListStatements run(q, select, before_each);
  OneSnapshot(q, run);
  if (!select.scan) return ReadIndexed(run, select, page, row);
  switch (q.Raw().Conn().Kind()) {
    case sql::Backend::Postgres: return ReadScanPostgres(run, select, page, row);
    case sql::Backend::MariaDB: return ReadScanMariaDB(run, select, page, row);
    default: return ReadScanSQLite(run, select, page, row);
  }
}

}  // namespace ov
