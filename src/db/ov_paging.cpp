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

// SQLite: up to three statements over disjoint ranges of the key, in the list's order, that
// together read the table once: the matches before the page counted (and the key of the last
// of them), the page read from after that key on, and the matches past the page's last key
// counted.  Each statement seeks the key it starts from instead of testing every row of the
// table against a bound.  A page past the end is known by the first statement, which has then
// counted every match.
TOVPagedRows ReadScanSQLite(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                            const TOVRowToJSON& row) {
  TOVPagedRows out;
  out.rows = TJSON::array();
  const bool desc = select.order.front().descending;
  const std::string after = std::string(kKey) + (desc ? " < :ov_after" : " > :ov_after");
  bool from_key = false;  // the page starts after the key ov_after, not at the list's first row
  std::int64_t key = 0;
  if (page.offset > 0) {
    TOVQueryBase& q = run.Set("SELECT COUNT(*), " + std::string(desc ? "MIN(" : "MAX(") + kKey + ") FROM (SELECT " +
                              kKey + " FROM " + select.table + run.Where() + " ORDER BY " + run.Order(false) +
                              " LIMIT :ov_skip) ov_before");
    q.Param("ov_skip", page.offset);
    run.Open();
    const std::int64_t before = q.Eof() ? 0 : q.Field(std::size_t{0}).AsInt64(0);
    key = q.Eof() ? 0 : q.Field(std::size_t{1}).AsInt64(0);
    q.Close();
    if (before < page.offset) {  // past the end: every match counted
      out.total = before;
      return out;
    }
    from_key = true;
  }
  TOVQueryBase& q = run.Set("SELECT " + select.columns + " FROM " + select.table +
                            (from_key ? run.WhereAnd(after) : run.Where()) + " ORDER BY " + run.Order(false) +
                            " LIMIT :lim");
  if (from_key) q.Param("ov_after", key);
  q.Param("lim", page.per_page);
  std::int64_t last = 0;
  out.rows = run.Rows(row, &last);
  const auto n = static_cast<std::int64_t>(out.rows.size());
  out.total = page.offset + n;
  if (n == page.per_page) {
    run.Set("SELECT COUNT(*) FROM (SELECT " + std::string(kKey) + " FROM " + select.table + run.WhereAnd(after) +
            " ORDER BY " + run.Order(false) + ") ov_rest")
        .Param("ov_after", last);
    out.total += run.Scalar();
  }
  return out;
}

// Reads the rows of the given keys, in the list's order.
TJSON FetchByKeys(ListStatements& run, const TOVPagedSelect& select, const std::vector<std::int64_t>& keys,
                  const TOVRowToJSON& row) {
  if (keys.empty()) return TJSON::array();
  std::string list;
  for (std::size_t i = 0; i < keys.size(); ++i) list += (i ? ", :k" : ":k") + std::to_string(i);
  TOVQueryBase& fetch = run.Set("SELECT " + select.columns + " FROM " + select.table + " WHERE " + kKey + " IN (" +
                                list + ") ORDER BY " + run.Order(false));
  for (std::size_t i = 0; i < keys.size(); ++i) fetch.Param("k" + std::to_string(i), keys[i]);
  return run.Rows(row);
}

// ---- lists placed by blocks of keys (PostgreSQL, MariaDB) -------------------------------------

// The rows of a list that lie in one block of keys: how many, and the lowest and highest key
// among them (the block's own edges where they are not known).
struct KeyBlock {
  std::int64_t no = 0;
  std::int64_t rows = 0;
  std::int64_t first = 0;
  std::int64_t last = 0;
};

// The total and the page of a list whose rows all lie in blocks (ascending by number, each
// count exact, every row of the list counted): the total is their sum, and the page's keys are
// walked from the nearer edge of the blocks that hold it, so that at most a block's rows of the
// list are stepped over however deep the page is.  A filter an index serves walks one span of
// keys (the index passes over the blocks between without reading them, and PostgreSQL keeps one
// index-only scan); a search reads every row it walks, so it walks each block's keys from its
// first match to its last only.
TOVPagedRows ReadByBlocks(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                          const TOVRowToJSON& row, const std::vector<KeyBlock>& blocks, bool one_span) {
  TOVPagedRows out;
  out.rows = TJSON::array();
  for (const KeyBlock& b : blocks) out.total += b.rows;
  if (page.offset >= out.total) return out;  // past the end: an empty page with the right total
  const bool desc = select.order.front().descending;
  const std::size_t m = blocks.size();
  const auto at = [&](std::size_t i) -> const KeyBlock& { return blocks[desc ? m - 1 - i : i]; };
  const std::int64_t limit = std::min(page.per_page, out.total - page.offset);
  const std::int64_t end = page.offset + limit;
  std::size_t j = 0;        // the block (in the list's order) of the page's first row
  std::int64_t before = 0;  // rows of the list before block j
  while (before + at(j).rows <= page.offset) before += at(j++).rows;
  std::size_t k = j;                           // the block of the page's last row
  std::int64_t through = before + at(j).rows;  // rows of the list up to block k, with it
  while (through < end) through += at(++k).rows;
  const std::int64_t skip_front = page.offset - before;  // rows of block j before the page
  const std::int64_t skip_back = through - end;          // rows of block k after it
  const bool from_front = skip_front <= skip_back;

  // The keys the walk may pass, ascending, as ranges.
  const std::size_t lo = desc ? m - 1 - k : j;
  const std::size_t hi = desc ? m - 1 - j : k;
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  for (std::size_t i = lo; i <= hi; ++i) {
    if (!ranges.empty() && (one_span || blocks[i].no == blocks[i - 1].no + 1))
      ranges.back().second = blocks[i].last;
    else
      ranges.emplace_back(blocks[i].first, blocks[i].last);
  }
  std::string in;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const std::string n = std::to_string(i);
    in += std::string(i ? " OR " : "") + kKey + " BETWEEN :ov_lo" + n + " AND :ov_hi" + n;
  }
  TOVQueryBase& q = run.Set("SELECT " + select.columns + " FROM " + select.table + " WHERE " + kKey +
                            " IN (SELECT " + kKey + " FROM (SELECT " + kKey + " FROM " + select.table +
                            run.WhereAnd("(" + in + ")") + " ORDER BY " + run.Order(!from_front) +
                            " LIMIT :lim OFFSET :off) ov_page) ORDER BY " + run.Order(false));
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    q.Param("ov_lo" + std::to_string(i), ranges[i].first);
    q.Param("ov_hi" + std::to_string(i), ranges[i].second);
  }
  q.Param("lim", limit);
  q.Param("off", from_front ? skip_front : skip_back);
  out.rows = run.Rows(row);
  return out;
}

// A list with a tally: the counts per block of the rows its filter selects, from the tally.
TOVPagedRows ReadTallied(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                         const TOVRowToJSON& row) {
  const TOVTallySpec& tally = *select.tally;
  const std::int64_t size = tally.BlockSize();
  std::vector<KeyBlock> blocks;
  TOVQueryBase& q = run.Set("SELECT block_no, SUM(n) AS ov_rows FROM " + tally.Name() + run.Where() +
                            " GROUP BY block_no HAVING SUM(n) > 0 ORDER BY block_no");
  for (run.Open(); !q.Eof(); q.Next()) {
    const std::int64_t no = q.Int("block_no");
    blocks.push_back({no, q.Int("ov_rows"), no * size, no * size + (size - 1)});
  }
  q.Close();
  return ReadByBlocks(run, select, page, row, blocks, /*one_span=*/true);
}

// PostgreSQL and MariaDB: a search.  A page near the start of the list is looked for first
// among the rows nearest that end (a 1024th of the table, at least 1024 rows): a common term
// fills it there, and the matches after it are counted in one pass over the rest.  Otherwise
// one pass counts the matches per block of keys (PostgreSQL in parallel, as its own COUNT(*)
// would), and the page is read from the blocks that hold it.
TOVPagedRows ReadScanServer(ListStatements& run, const TOVPagedSelect& select, const TOVPaging& page,
                            const TOVRowToJSON& row, sql::Backend kind) {
  TOVPagedRows out;
  out.rows = TJSON::array();
  const bool desc = select.order.front().descending;
  // Keys are handed out in order: their range tells the table's size closely enough.
  TOVQueryBase& ends = run.Set(std::string("SELECT MIN(") + kKey + ") AS ov_min, MAX(" + kKey +
                               ") AS ov_max FROM " + select.table);
  run.Open();
  const bool empty = ends.Eof() || ends.Field(std::size_t{0}).IsNull();
  const std::uint64_t span = empty ? 0
                                   : static_cast<std::uint64_t>(ends.Field(std::size_t{1}).AsInt64()) -
                                         static_cast<std::uint64_t>(ends.Field(std::size_t{0}).AsInt64());
  ends.Close();
  if (empty) return out;
  const auto near = static_cast<std::int64_t>(std::max<std::uint64_t>(1024, span / 1024));
  if (page.offset + page.per_page <= near) {
    // The key of the near-th row: the edge of the rows looked among (none: fewer rows).
    TOVQueryBase& edge = run.Set("SELECT " + std::string(kKey) + " FROM " + select.table + " ORDER BY " +
                                 run.Order(false) + " LIMIT 1 OFFSET :off");
    edge.Param("off", near - 1);
    run.Open();
    const bool whole = edge.Eof();
    const std::int64_t bound = whole ? 0 : edge.Int(kKey);
    edge.Close();
    const std::string within = whole ? "" : std::string(kKey) + (desc ? " >= :ov_edge" : " <= :ov_edge");
    TOVQueryBase& q = run.Set("SELECT " + std::string(kKey) + " FROM " + select.table +
                              (whole ? run.Where() : run.WhereAnd(within)) + " ORDER BY " + run.Order(false) +
                              " LIMIT :lim OFFSET :off");
    if (!whole) q.Param("ov_edge", bound);
    q.Param("lim", page.per_page);
    q.Param("off", page.offset);
    std::vector<std::int64_t> keys;
    for (run.Open(); !q.Eof(); q.Next()) keys.push_back(q.Int(kKey));
    q.Close();
    const auto n = static_cast<std::int64_t>(keys.size());
    if (n == page.per_page || (whole && (n > 0 || page.offset == 0))) {
      out.total = page.offset + n;
      if (n == page.per_page) {
        // The matches after the page, nearly the whole table: read as a plain scan, not
        // through the key (which MariaDB walks slower, and PostgreSQL not in parallel).
        run.Set("SELECT COUNT(*) FROM " + select.table +
                run.WhereAnd(std::string(kKey) + " + 0" + (desc ? " < :last" : " > :last")))
            .Param("last", keys.back());
        out.total += run.Scalar();
      }
      out.rows = FetchByKeys(run, select, keys, row);
      return out;
    }
  }
  std::vector<KeyBlock> blocks;
  TOVQueryBase& q = run.Set("SELECT " + KeyBlockExpr(kind, kKey, kScanBlockBits) + " AS ov_block, COUNT(*) AS ov_rows, MIN(" +
                            kKey + ") AS ov_first, MAX(" + kKey + ") AS ov_last FROM " + select.table + run.Where() +
                            " GROUP BY 1");
  for (run.Open(); !q.Eof(); q.Next())
    blocks.push_back({q.Int("ov_block"), q.Int("ov_rows"), q.Int("ov_first"), q.Int("ov_last")});
  q.Close();
  std::sort(blocks.begin(), blocks.end(), [](const KeyBlock& a, const KeyBlock& b) { return a.no < b.no; });
  return ReadByBlocks(run, select, page, row, blocks, /*one_span=*/false);
}

}  // namespace

TOVPagedRows ReadPagedRows(TOVQueryBase& q, const TOVPagedSelect& select, const TOVPaging& page,
                           const TOVRowToJSON& row, const TOVStatementHook& before_each) {
  if (select.order.empty() || select.order.back().column != kKey)
    throw std::logic_error("ReadPagedRows: the order of " + select.table + " must end with its key");
  if ((select.scan || select.tally) && select.order.size() != 1)
    throw std::logic_error("ReadPagedRows: a scanned or tallied list of " + select.table + " is ordered by its key alone");
  ListStatements run(q, select, before_each);
  OneSnapshot(q, run);
  const sql::Backend kind = q.Raw().Conn().Kind();
  if (select.tally && !select.scan && kind != sql::Backend::SQLite) return ReadTallied(run, select, page, row);
  if (!select.scan) return ReadIndexed(run, select, page, row);
  if (kind == sql::Backend::SQLite) return ReadScanSQLite(run, select, page, row);
  return ReadScanServer(run, select, page, row, kind);
}

}  // namespace ov
