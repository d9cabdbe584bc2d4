// Paged lists read from the database: page numbers from 1, a page size within limits, an
// offset that always fits, and the count and page of one list.  Shared by the REST lists and
// the plug-ins' "_system" lists.
//
// A list stays fast however far it is paged: the total comes from an index where the filter
// has one, the rows before a deep page are skipped through the primary key or a covering index
// (never through the rows themselves), from whichever end of the list is nearer, and a filter
// that no index serves (a substring search) is read in one pass for the total and the page.
//
// On PostgreSQL and MariaDB, where counting or stepping over a million index entries takes tens
// to hundreds of milliseconds, a list with a tally (ov_tally.h) takes its total and the block
// that holds its page from the tally, and a search counts its matches per block of keys in its
// one pass: the page is then read from a block or two, however deep it is.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ov_database.h"
#include "ov_json_helpers.h"
#include "ov_tally.h"

namespace ov {

struct TOVPageLimits {
  std::int64_t default_per_page;
  std::int64_t max_per_page;
};

struct TOVPaging {
  std::int64_t page = 1;
  std::int64_t per_page = 1;
  std::int64_t offset = 0;  // (page - 1) * per_page, never negative, never overflowing
};

// The page and page size asked for (nullopt: not given or not a number): a page below 1 is 1,
// a page size below 1 is the default and one above the maximum the maximum.  A page so large
// that its offset would not fit in 64 bits is lowered to the last page whose offset does.
TOVPaging MakePaging(std::optional<std::int64_t> page, std::optional<std::int64_t> per_page, TOVPageLimits limits);

// One column of a list's order.
struct TOVOrderColumn {
  std::string column;
  bool descending = false;
};

// What a paged list selects: "SELECT <columns> FROM <table> [WHERE <where>] ORDER BY <order>".
// Every list table has the integer key "id"; the order ends with it, so that it is a total
// order the list can be walked in from either end.
struct TOVPagedSelect {
  std::string columns;  // the item's columns; "id" among them when scan is set
  std::string table;
  std::string where;  // the filter without "WHERE"; empty: every row
  std::vector<TOVOrderColumn> order;
  std::function<void(TOVQueryBase&)> bind;  // binds where's values (empty: none)
  // The filter can use no index (a LIKE search): the rows are read once, in key order, for the
  // page and the total together.  The order must then be the key alone.
  bool scan = false;
  // PostgreSQL and MariaDB: the table's tally, when the database keeps one (LiveTally) and
  // where is empty or a conjunction of "<column> = :<param>" on its columns (the same text
  // then filters the tally).  The order must then be the key alone.  Not with scan.
  const TOVTallySpec* tally = nullptr;
};

// The blocks a search on PostgreSQL or MariaDB counts its matches by: 1024 keys.  Small enough
// that reading the page from the blocks that hold it costs little beside the search's pass,
// large enough that the counts per block are few (a thousand for a million rows).
inline constexpr int kScanBlockBits = 10;

struct TOVPagedRows {
  TJSON rows;  // the page, each row through the caller's row function
  std::int64_t total = 0;  // rows of the whole list
};

// The total and the page of select, both read on q: the same connection, and one snapshot of
// the data (the same write lock when q is a write query).  Statements of q's own: q's SQL and
// parameters are replaced.
// before_each, when set, sees every statement set and bound just before it runs (plan checks).
using TOVStatementHook = std::function<void(TOVQueryBase&)>;
TOVPagedRows ReadPagedRows(TOVQueryBase& q, const TOVPagedSelect& select, const TOVPaging& page,
                           const TOVRowToJSON& row, const TOVStatementHook& before_each = {});

}  // namespace ov
